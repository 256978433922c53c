"""Prepared catalogs and batch selection give exactly what selecting on the catalog gives."""

from __future__ import annotations

import datetime
import pickle

import pytest
from hypothesis import given
from hypothesis import strategies as st

from tessarin import schemasift as ss

from support import run_in_threads

# A small vocabulary, so that questions and catalogs share words, phrases and
# roles often; with capitals, non-ASCII letters and separators the scanners
# treat differently.
WORDS = ["order", "orders", "customer", "revenue", "region", "status", "type", "category",
         "date", "created", "amount", "total", "count", "id", "name", "city", "Café",
         "İstanbul", "naïve", "OrderDate", "customerID", "sales_orders", "x"]
ROLES = ["metric", "dimension", "date", "datetime", "id", "primary_key", "foreign_key", "text",
         "boolean", "unknown", "other"]

words = st.lists(st.sampled_from(WORDS), min_size=1, max_size=3)
phrase = words.map(" ".join)
identifier = st.tuples(words, st.sampled_from(["_", "", ".", "-", " "])).map(
    lambda parts: parts[1].join(parts[0]))
samples = st.lists(st.one_of(st.none(), st.booleans(), st.integers(-5, 5),
                             st.floats(allow_nan=False), phrase), max_size=3)


@st.composite
def columns(draw):
    column = {"name": draw(identifier)}
    optional = {
        "type": st.sampled_from(["String", "Date", "Float64", "Int64"]),
        "description": phrase,
        "synonyms": st.lists(phrase, max_size=3),
        "role": st.sampled_from(ROLES),
        "tags": st.lists(phrase, max_size=2),
        "is_primary_key": st.booleans(),
        "sample_values": samples,
        "owner": phrase,  # an unknown key: kept in extra
    }
    for key, strategy in optional.items():
        if draw(st.booleans()):
            column[key] = draw(strategy)
    return column


@st.composite
def catalogs(draw):
    tables = []
    for _ in range(draw(st.integers(0, 6))):
        table = {"table_name": draw(identifier), "columns": draw(st.lists(columns(), max_size=5))}
        for key, strategy in {"business_name": phrase, "description": phrase,
                              "tags": st.lists(phrase, max_size=2), "row_count": st.integers(0, 9),
                              "refresh": phrase}.items():
            if draw(st.booleans()):
                table[key] = draw(strategy)
        if table["columns"] and draw(st.booleans()):
            table["default_date_column"] = draw(st.sampled_from(table["columns"]))["name"]
        tables.append(table)
    if len(tables) > 1 and draw(st.booleans()):
        tables.append(dict(tables[0]))  # the same table twice
    names = [t["table_name"] for t in tables] or ["t"]
    relationships = [{"from_table": draw(st.sampled_from(names)), "from_column": "id",
                      "to_table": draw(st.sampled_from(names)), "to_column": "id"}
                     for _ in range(draw(st.integers(0, 3)))]
    return {"database": draw(st.sampled_from(["", "shop"])), "tables": tables,
            "relationships": relationships}


weights = st.sampled_from([0.0, 1.0, 4.0, -2.0, 8.0])


@st.composite
def configs(draw):
    return ss.SelectorConfig(
        strategy=draw(st.sampled_from(["lexical", "tfidf", "hybrid", "embedding"])),
        top_k_tables=draw(st.integers(0, 4)),
        max_columns_per_table=draw(st.integers(1, 6)),
        min_table_score=draw(st.sampled_from([0.0, 0.03, 0.5])),
        max_output_chars=draw(st.sampled_from([None, 0, 300])),
        include_sample_values=draw(st.booleans()),
        table_name_weight=draw(weights), column_name_weight=draw(weights),
        column_synonym_weight=draw(weights), column_description_weight=draw(weights),
        role_intent_weight=draw(weights), exact_phrase_bonus=draw(weights),
    )


@st.composite
def options(draw, names):
    chosen = st.lists(st.sampled_from(names + ["missing"]), max_size=2)
    out = {}
    if draw(st.booleans()):
        out["database"] = draw(st.sampled_from(["", "warehouse"]))
    if draw(st.booleans()):
        out["required_tables"] = draw(chosen)
    if draw(st.booleans()):
        out["excluded_tables"] = draw(chosen)
    if draw(st.booleans()):
        out["required_columns"] = {name: ["id", "status"] for name in draw(chosen)}
    return out


questions = st.lists(st.sampled_from(WORDS + ["by", "the", "top 3", "last month", "trend",
                                              "how many", "sum of"]),
                     min_size=1, max_size=7).map(" ".join)


@given(catalogs(), st.lists(questions, min_size=1, max_size=3), configs(), st.data())
def test_prepared_catalog_selects_as_the_catalog(catalog, asked, config, data):
    names = [t["table_name"] for t in catalog["tables"]] or ["t"]
    kwargs = data.draw(options(names))
    prepared = ss.PreparedCatalog(catalog)
    reloaded = pickle.loads(pickle.dumps(prepared))
    selector = ss.Schemasift(config)
    for question in asked:
        expected = selector.select(question, catalog, **kwargs).to_dict(True)
        assert selector.select(question, prepared, **kwargs).to_dict(True) == expected
        assert selector.select(question, reloaded, **kwargs).to_dict(True) == expected
    many = selector.select_many(asked, prepared, threads=2, **kwargs)
    assert [r.to_dict(True) for r in many] == [
        selector.select(q, catalog, **kwargs).to_dict(True) for q in asked]


def test_prepared_catalog_is_a_snapshot_that_selections_never_change():
    record = ss.CatalogNormalizer.normalize(ss.demo_catalog())
    prepared = ss.PreparedCatalog(record)
    before = prepared.catalog
    record.tables = []
    record.database = "changed"
    result = ss.Schemasift().select("revenue by region", prepared,
                                    excluded_tables=["sales_orders"], database="other")
    assert result.metrics.input_tables == len(before.tables) - 1
    assert prepared.catalog == before
    assert prepared.table_count == len(before.tables)
    assert prepared.column_count == sum(len(t.columns) for t in before.tables)
    assert prepared.catalog_hash == ss.Schemasift().select("x", before).metrics.catalog_hash
    assert prepared.nbytes > 0
    assert repr(prepared).startswith("PreparedCatalog(database='client_abc_db', tables=2, columns=8")


def test_select_metadata_and_prepared_from_prepared():
    catalog = ss.demo_catalog()
    prepared = ss.PreparedCatalog(ss.PreparedCatalog(catalog))
    for kwargs in ({}, {"strategy": "lexical", "top_k_tables": 1, "database": "x"}):
        assert (ss.select_metadata("total revenue by region", prepared, **kwargs).to_dict(True)
                == ss.select_metadata("total revenue by region", catalog, **kwargs).to_dict(True))


@pytest.mark.parametrize("catalog, error, message", [
    ({"tables": [3]}, TypeError, 'catalog["tables"][0] must be a map'),
    ([], TypeError, "catalog must be a MetadataCatalog, a PreparedCatalog or a dict, got list"),
    ("tables", TypeError, "got str"),
])
def test_bad_catalogs_raise_what_select_raises(catalog, error, message):
    with pytest.raises(error, match=message.replace("[", r"\[").replace("]", r"\]")):
        ss.PreparedCatalog(catalog)


@pytest.mark.parametrize("threads, error", [(0, ValueError), (-3, ValueError), ("2", TypeError),
                                            (True, TypeError), (2.0, TypeError)])
def test_select_many_checks_threads(threads, error):
    with pytest.raises(error, match="threads"):
        ss.Schemasift().select_many(["a"], ss.demo_catalog(), threads=threads)


def test_select_many_keeps_question_order_and_raises_the_first_error():
    selector = ss.Schemasift(ss.SelectorConfig(strategy="lexical"))
    prepared = ss.PreparedCatalog(ss.demo_catalog())
    asked = ["revenue by region", "customers by segment", "orders per day"] * 7
    results = selector.select_many(asked, prepared, threads=3)
    assert [r.to_dict(True) for r in results] == [
        selector.select(q, prepared).to_dict(True) for q in asked]
    assert selector.select_many([], prepared) == []
    with pytest.raises(ValueError, match="question is required"):
        selector.select_many(["revenue", "  ", "x"], prepared, threads=2)
    with pytest.raises(TypeError, match="questions"):
        selector.select_many("revenue", prepared)
    record = ss.CatalogNormalizer.normalize(ss.demo_catalog())
    selector.select_many(["revenue"], record, excluded_tables=["sales_orders"])
    assert "sales_orders" in [t.table_name for t in record.tables]  # not changed


def test_many_threads_on_one_prepared_catalog_agree_with_one_thread():
    prepared = ss.PreparedCatalog(ss.demo_catalog())
    selector = ss.Schemasift()
    asked = ["total revenue by region", "count customers by segment", "daily orders trend"]
    expected = [selector.select(q, prepared).to_dict(True) for q in asked]
    failures = []

    def work():
        for _ in range(30):
            for question, want in zip(asked, expected):
                if selector.select(question, prepared).to_dict(True) != want:
                    failures.append(question)

    run_in_threads(work, 8)
    assert not failures


def test_pickles_values_without_a_json_form_through_the_records():
    catalog = {"tables": [{"table_name": "events", "columns": [
        {"name": "day", "sample_values": [datetime.date(2024, 1, 2)]}]}]}
    config = ss.SelectorConfig(include_sample_values=True)
    prepared = ss.PreparedCatalog(catalog)
    reloaded = pickle.loads(pickle.dumps(prepared))
    assert (ss.Schemasift(config).select("events by day", reloaded).to_dict(True)
            == ss.Schemasift(config).select("events by day", catalog).to_dict(True))


def test_pickles_from_other_versions_and_bad_states_raise():
    prepared = ss.PreparedCatalog(ss.demo_catalog())
    tag, version, kind, payload, embeddings = prepared.__getstate__()
    other = ss.PreparedCatalog.__new__(ss.PreparedCatalog)
    with pytest.raises(ValueError, match=r"pickled by tessarin 0\.0\.1 .* tessarin 0\.1\.0"):
        other.__setstate__((tag, "0.0.1", kind, payload, embeddings))
    bad_states = [(), (tag, version, kind, payload), (tag, version, "other", payload, []),
                  ("x", version, kind, payload, []), (tag, version, kind, "text", []),
                  (tag, version, kind, payload, [("model",)])]
    for state in bad_states:
        with pytest.raises(TypeError, match="state"):
            ss.PreparedCatalog.__new__(ss.PreparedCatalog).__setstate__(state)
    for damaged in (payload[:-1], payload[:40], payload + b"\0", b"\xff" * 64,
                    payload.replace(b"client_abc_db", b"client_abc_d\xff")):
        with pytest.raises(ValueError, match="prepared catalog"):
            ss.PreparedCatalog.__new__(ss.PreparedCatalog).__setstate__(
                (tag, version, kind, damaged, embeddings))


@pytest.mark.filterwarnings("ignore:nanobind")
def test_an_uninitialized_prepared_catalog_raises_instead_of_crashing():
    blank = ss.PreparedCatalog.__new__(ss.PreparedCatalog)
    for use in (lambda: blank.table_count, lambda: repr(blank), lambda: blank.__getstate__(),
                lambda: ss.Schemasift().select("x", blank), lambda: blank.warm_up()):
        with pytest.raises(TypeError):
            use()


def test_warm_up_computes_what_the_first_selection_would():
    prepared = ss.PreparedCatalog(ss.demo_catalog())
    lexical_only = prepared.nbytes
    prepared.warm_up(ss.SelectorConfig(strategy="lexical"))
    prepared.warm_up()
    assert prepared.nbytes > lexical_only
    assert (ss.Schemasift().select("revenue", prepared).to_dict(True)
            == ss.Schemasift().select("revenue", ss.demo_catalog()).to_dict(True))
    with pytest.raises(TypeError, match="config"):
        prepared.warm_up("hybrid")


def _large_catalog(n_tables, seed):
    import random

    rnd = random.Random(seed)

    def pick(k):
        return " ".join(rnd.choice(WORDS) for _ in range(k))

    tables = []
    for t in range(n_tables):
        columns = [{"name": f"{rnd.choice(WORDS)}_{rnd.choice(WORDS)}{c}",
                    "description": pick(4), "synonyms": [pick(1), pick(2), pick(1)],
                    "role": rnd.choice(ROLES), "tags": [pick(1)]} for c in range(8)]
        tables.append({"table_name": f"{rnd.choice(WORDS)}{t}", "business_name": pick(2),
                       "description": pick(5), "tags": [pick(1)], "columns": columns})
    return {"tables": tables}


@pytest.mark.parametrize("strategy", ["lexical", "hybrid"])
def test_large_catalogs_with_many_phrases_select_as_the_catalog(strategy):
    # Enough distinct phrases that the index looks phrases up by substring
    # of the question rather than searching the question for each.
    catalog = _large_catalog(300, seed=7)
    prepared = ss.PreparedCatalog(catalog)
    selector = ss.Schemasift(ss.SelectorConfig(strategy=strategy, top_k_tables=5))
    asked = ["total revenue by region and status", "count of orders per customer id",
             "Café İstanbul naïve order date", "category type city name created date x",
             "order " * 40 + "revenue"]
    for question in asked:
        assert (selector.select(question, prepared).to_dict(True)
                == selector.select(question, catalog).to_dict(True))


@pytest.mark.parametrize("n_tables", [3, 300])
def test_pickled_form_round_trips_and_refuses_damage(n_tables):
    # 300 tables are pickled in parts that load on several threads.
    catalog = _large_catalog(n_tables, seed=n_tables)
    prepared = ss.PreparedCatalog(catalog)
    tag, version, kind, payload, embeddings = prepared.__getstate__()
    reloaded = pickle.loads(pickle.dumps(prepared))
    assert reloaded.catalog == prepared.catalog
    assert reloaded.catalog_hash == prepared.catalog_hash
    selector = ss.Schemasift()
    assert (selector.select("revenue by region and status", reloaded).to_dict(True)
            == selector.select("revenue by region and status", catalog).to_dict(True))
    # One flipped bit anywhere, or a cut anywhere, is refused.
    step = max(1, len(payload) // 150)
    for at in range(0, len(payload), step):
        flipped = bytearray(payload)
        flipped[at] ^= 1 << (at % 8)
        for damaged in (bytes(flipped), payload[:at]):
            with pytest.raises(ValueError, match="prepared catalog"):
                ss.PreparedCatalog.__new__(ss.PreparedCatalog).__setstate__(
                    (tag, version, kind, damaged, embeddings))


def test_a_pickle_of_another_format_names_both_formats():
    tag, version, kind, payload, embeddings = ss.PreparedCatalog(ss.demo_catalog()).__getstate__()
    at = payload.index(b"prepared catalog") + len(b"prepared catalog")  # the format number follows
    older = payload[:at] + bytes([1]) + payload[at + 1:]
    with pytest.raises(ValueError, match="format 1; this tessarin reads format 3"):
        ss.PreparedCatalog.__new__(ss.PreparedCatalog).__setstate__(
            (tag, version, kind, older, embeddings))


tricky_text = st.text(st.sampled_from(list('ab"\\\n\t\x01\x1f\x7f/é日\u2028 ') + ["\U0001f600"]),
                      max_size=40)
tricky_value = st.recursive(
    st.one_of(st.none(), st.booleans(), st.integers(-2**63, 2**63 - 1), st.floats(), tricky_text),
    lambda inner: st.one_of(st.lists(inner, max_size=3),
                            st.dictionaries(tricky_text, inner, max_size=3)),
    max_leaves=8)


@given(st.lists(st.fixed_dictionaries({
    "table_name": tricky_text.filter(bool), "description": tricky_text,
    "columns": st.lists(st.fixed_dictionaries({
        "name": tricky_text.filter(bool), "description": tricky_text,
        "sample_values": st.lists(tricky_value, max_size=3), "other": tricky_value}),
        max_size=4)}), max_size=4), tricky_text)
def test_catalog_size_and_hash_are_those_of_the_catalog_json_text(tables, database):
    import json

    catalog = {"database": database, "tables": tables}
    prepared = ss.PreparedCatalog(catalog)
    prompt = prepared.catalog.to_prompt_dict()
    text = json.dumps(prompt, ensure_ascii=False)
    metrics = ss.Schemasift().select("a b", prepared).metrics
    assert metrics.input_chars == len(text)
    assert prepared.catalog_hash == metrics.catalog_hash == ss.stable_hash(prompt)


@pytest.mark.parametrize("late", ["datetime", "shape", "subclass"])
def test_preparing_gives_up_cleanly_on_a_late_table(late):
    # Tables are indexed on other threads while the dict is still read: a
    # value met late that needs the converting route, or a malformed one,
    # must leave no trace of the tables already handed over.
    catalog = _large_catalog(400, seed=3)
    last = catalog["tables"][-1]
    if late == "datetime":
        last["columns"][0]["sample_values"] = [datetime.date(2024, 1, 2)]
    elif late == "subclass":
        class Text(str):
            pass
        last["description"] = Text("orders placed by customers")
    else:
        last["columns"] = "not a list"
        with pytest.raises(TypeError, match=r'catalog\["tables"\]\[399\]\["columns"\]'):
            ss.PreparedCatalog(catalog)
        return
    prepared = ss.PreparedCatalog(catalog)
    assert prepared.catalog == ss.CatalogNormalizer.normalize(catalog)
    selector = ss.Schemasift(ss.SelectorConfig(include_sample_values=True))
    for question in ("total revenue by region", "orders placed by customers"):
        assert (selector.select(question, prepared).to_dict(True)
                == selector.select(question, catalog).to_dict(True))


@pytest.mark.parametrize("n_extra", [0, 1, 16, 17, 40])
def test_extra_keys_keep_their_order_however_many(n_extra):
    extra = {f"k{(i * 7) % 41}_{i}": i for i in range(n_extra)}
    column = {"name": "id", **{k: [v] for k, v in extra.items()}, "type": "Int64"}
    table = {**extra, "table_name": "t", "columns": [column]}
    catalog = {"tables": [table], "relationships": [
        {"from_table": "t", "from_column": "id", "to_table": "t", "to_column": "id", **extra}]}
    for records in (ss.CatalogNormalizer.normalize(catalog), ss.PreparedCatalog(catalog).catalog):
        assert list(records.tables[0].extra.items()) == list(extra.items())
        assert list(records.tables[0].columns[0].extra.items()) == [(k, [v]) for k, v in extra.items()]
        assert list(records.relationships[0].extra.items()) == list(extra.items())
