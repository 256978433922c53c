"""The vector backends of tessarin.schemasift: the native TF-IDF facility
against scikit-learn inside whole selections, Python facilities plugged in,
and the sentence-embedding backend with a stand-in sentence_transformers."""

import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tessarin
from tessarin import schemasift as ss
from tessarin._core import schemasift as native

from support import install_sentence_transformers, run_in_threads

QUESTION = "Show total revenue by region for last 6 months"


class SklearnTfidf:
    """The TF-IDF facility as scikit-learn gives it."""

    def __init__(self):
        from sklearn.feature_extraction.text import TfidfVectorizer

        self.vectorizer = TfidfVectorizer(ngram_range=(1, 2), lowercase=True)

    def fit_transform(self, texts):
        return self.vectorizer.fit_transform(texts)

    def cosine_similarity(self, matrix, question):
        from sklearn.metrics.pairwise import cosine_similarity

        return cosine_similarity(self.vectorizer.transform([question]), matrix)[0]


@pytest.fixture
def facility():
    """Installs a Python TF-IDF factory for one test; the native one comes back after."""
    yield native._set_tfidf_vectorizer_factory
    native._restore_native_tfidf()


def select(question, catalog, **config):
    return ss.Schemasift(ss.SelectorConfig(**config)).select(question, catalog).to_dict(True)


# ---------------------------------------------------------------- parity with scikit-learn

WORDS = ["orders", "order", "customer", "customers", "region", "revenue", "total", "sales",
         "date", "amount", "product", "category", "monthly", "Über", "straße", "id", "by", "x"]
words = st.lists(st.sampled_from(WORDS), min_size=1, max_size=4).map(" ".join)
names = st.lists(st.sampled_from(WORDS), min_size=1, max_size=2).map("_".join)
column_maps = st.fixed_dictionaries(
    {"name": names}, optional={"description": words, "synonyms": st.lists(words, max_size=2)})
table_maps = st.fixed_dictionaries(
    {"table_name": names, "columns": st.lists(column_maps, max_size=5)},
    optional={"description": words, "tags": st.lists(names, max_size=2), "business_name": words})
catalogs = st.fixed_dictionaries({"tables": st.lists(table_maps, min_size=1, max_size=6)})


@settings(max_examples=80, deadline=None)
@given(catalog=catalogs, question=words, strategy=st.sampled_from(["tfidf", "hybrid"]),
       top_k=st.integers(1, 4))
def test_selections_equal_those_scored_by_scikit_learn(catalog, question, strategy, top_k):
    ours = select(question, catalog, strategy=strategy, top_k_tables=top_k)
    native._set_tfidf_vectorizer_factory(SklearnTfidf)
    try:
        theirs = select(question, catalog, strategy=strategy, top_k_tables=top_k)
    finally:
        native._restore_native_tfidf()
    assert ours == theirs
    assert ours["debug"]["tfidf_available"] is True


def test_demonstration_blends_the_same_tfidf_as_scikit_learn(facility):
    catalog = ss.demo_catalog()
    ours = ss.select_metadata(QUESTION, catalog, top_k_tables=2, max_columns_per_table=10)
    facility(SklearnTfidf)
    theirs = ss.select_metadata(QUESTION, catalog, top_k_tables=2, max_columns_per_table=10)
    assert ours.to_dict(True) == theirs.to_dict(True)
    assert ours.debug["tfidf_available"] is True


@pytest.mark.parametrize("catalog", [{}, {"tables": []}, {"tables": [{"description": "nameless"}]}])
def test_no_vocabulary_means_no_tfidf_scores_and_no_error(catalog):
    result = ss.Schemasift(ss.SelectorConfig(strategy="tfidf")).select("x", catalog)
    assert result.debug["tfidf_available"] is False


# ---------------------------------------------------------------- the TF-IDF backend


def test_native_backend_is_always_available():
    backend = ss.OptionalTfidfBackend()
    assert backend.available and backend.matrix is None
    docs = {"table::orders": "orders sales revenue", "table::people": "customer names"}
    assert backend.score("revenue") == {}
    backend.build(docs)
    assert backend.doc_ids == list(docs)
    scores = backend.score("sales revenue")
    assert list(scores) == list(docs)
    assert scores["table::orders"] > 0.5 and scores["table::people"] == 0.0
    expected = SklearnTfidf()
    rows = expected.fit_transform(list(docs.values()))
    assert list(scores.values()) == pytest.approx(
        list(expected.cosine_similarity(rows, "sales revenue")), abs=1e-12)


def test_python_facility_objects_are_what_the_backend_holds(facility):
    facility(SklearnTfidf)
    backend = ss.OptionalTfidfBackend()
    assert isinstance(backend.vectorizer, SklearnTfidf)
    backend.build({"table::a": "alpha beta"})
    assert backend.matrix.shape == (1, 3)


class Failing:
    def __init__(self, where):
        self.where = where

    def fit_transform(self, texts):
        if self.where == "fit":
            raise ZeroDivisionError("fit")
        return texts

    def cosine_similarity(self, matrix, question):
        if self.where == "score":
            raise ZeroDivisionError("score")
        return ["not a number"] * len(matrix) if self.where == "values" else [0.5] * len(matrix)


def raising_factory():
    raise ImportError("no TF-IDF here")


@pytest.mark.parametrize("factory", [None, raising_factory, lambda: None])
def test_unloadable_facility_leaves_selection_lexical(facility, factory):
    facility(factory)
    assert ss.OptionalTfidfBackend().available is False
    hybrid = select("orders", {"tables": [{"table_name": "orders"}]})
    lexical = select("orders", {"tables": [{"table_name": "orders"}]}, strategy="lexical")
    assert hybrid["debug"]["tfidf_available"] is False
    assert hybrid["selected_metadata"] == lexical["selected_metadata"]


@pytest.mark.parametrize("where", ["score", "values"])
def test_scoring_failures_give_no_scores(facility, where):
    facility(lambda: Failing(where))
    assert select("orders", {"tables": [{"table_name": "orders"}]})["debug"]["tfidf_available"] is False


def test_fitting_failure_reaches_the_caller(facility):
    facility(lambda: Failing("fit"))
    with pytest.raises(ZeroDivisionError, match="fit"):
        select("orders", {"tables": [{"table_name": "orders"}]})
    assert select("orders", {"tables": [{"table_name": "orders"}]}, strategy="lexical")


def test_similarities_follow_document_order_and_stop_at_the_shorter(facility):
    class Short(Failing):
        def cosine_similarity(self, matrix, question):
            return [0.25]

    facility(lambda: Short("none"))
    backend = ss.OptionalTfidfBackend()
    backend.build({"b": "x", "a": "y"})
    assert backend.score("q") == {"b": 0.25}


def test_factory_must_be_callable():
    with pytest.raises(TypeError, match="callable"):
        native._set_tfidf_vectorizer_factory("sklearn")


# ---------------------------------------------------------------- sentence embeddings


class FakeModel:
    """Encodes a text as its counts of a few words, normalized."""

    VOCABULARY = ["revenue", "region", "customer", "orders"]
    made: list = []
    fail = ""

    def __init__(self, name):
        if FakeModel.fail == "load":
            raise OSError(f"no model at {name}")
        self.name = name
        self.calls = []
        FakeModel.made.append(self)

    def encode(self, texts, normalize_embeddings=False):
        assert isinstance(texts, list) and normalize_embeddings is True
        self.calls.append(list(texts))
        if FakeModel.fail == "encode" or (FakeModel.fail == "question" and len(self.calls) > 1):
            raise RuntimeError("encoder broke")
        rows = np.array([[t.lower().count(w) + 0.5 for w in self.VOCABULARY] for t in texts], np.float32)
        return rows / np.linalg.norm(rows, axis=1, keepdims=True)


@pytest.fixture
def fake_sentence_transformers(monkeypatch):
    install_sentence_transformers(monkeypatch, FakeModel)
    FakeModel.made = []
    FakeModel.fail = ""
    native._clear_vector_caches()
    yield FakeModel
    native._clear_vector_caches()


def test_importing_tessarin_loads_no_model_library():
    code = (
        "import sys, tessarin, tessarin.schemasift as ss, tessarin.turnmend\n"
        "ss.select_metadata('revenue by region', ss.demo_catalog())\n"
        "ss.select_metadata('revenue', ss.demo_catalog(), use_embeddings=True)\n"
        "assert not {'sentence_transformers', 'torch', 'sklearn'} & set(sys.modules), sys.modules\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


def test_embedding_backend_encodes_normalized_and_scores_by_dot_product(fake_sentence_transformers):
    backend = ss.OptionalEmbeddingBackend("tiny-model")
    assert backend.available and backend.model is FakeModel.made[0]
    assert backend.model.name == "tiny-model" and backend.embeddings is None
    docs = {"table::sales": "revenue by region", "table::people": "customer"}
    backend.build(docs)
    assert backend.model.calls == [list(docs.values())] and backend.embeddings.shape == (2, 4)
    scores = backend.score("revenue")
    assert backend.model.calls[-1] == ["revenue"]
    question = backend.model.encode(["revenue"], normalize_embeddings=True)[0]
    assert scores == {k: float(v) for k, v in zip(docs, backend.embeddings @ question)}
    assert scores["table::sales"] > scores["table::people"]


@pytest.mark.parametrize("name", [None, ""])
def test_no_model_name_loads_nothing(fake_sentence_transformers, name):
    assert ss.OptionalEmbeddingBackend(name).available is False
    result = ss.select_metadata("revenue", ss.demo_catalog(), strategy="embedding", use_embeddings=True,
                                embedding_model_name_or_path=name)
    assert result.debug["embedding_available"] is False and FakeModel.made == []


def test_missing_library_or_model_is_silent(fake_sentence_transformers, monkeypatch):
    FakeModel.fail = "load"
    assert ss.OptionalEmbeddingBackend("gone").available is False
    monkeypatch.setitem(sys.modules, "sentence_transformers", None)  # import raises ImportError
    result = ss.select_metadata("revenue", ss.demo_catalog(), use_embeddings=True,
                                embedding_model_name_or_path="any")
    assert result.debug["embedding_available"] is False


def embedding_select(strategy="embedding", **config):
    config = ss.SelectorConfig(strategy=strategy, use_embeddings_if_available=True,
                               embedding_model_name_or_path="tiny", **config)
    return ss.Schemasift(config).select(QUESTION, ss.demo_catalog())


def test_selection_blends_embedding_scores(fake_sentence_transformers):
    result = embedding_select("hybrid")
    assert result.debug["embedding_available"] is True and result.debug["tfidf_available"] is True
    docs = ss.Schemasift()._build_doc_texts(ss.CatalogNormalizer.normalize(ss.demo_catalog()))
    assert FakeModel.made[0].calls == [list(docs.values()), [QUESTION]]
    only = embedding_select("embedding")
    assert only.debug["tfidf_available"] is False
    assert [t["table_name"] for t in only.selected_metadata["tables"]][0] == "sales_orders"
    assert embedding_select("lexical").debug["embedding_available"] is False
    # One model, loaded once; the same documents are encoded once.
    assert len(FakeModel.made) == 1
    assert FakeModel.made[0].calls == [list(docs.values()), [QUESTION], [QUESTION]]


def test_loaded_models_and_document_rows_are_reused_only_when_equal(fake_sentence_transformers):
    first = ss.OptionalEmbeddingBackend("tiny")
    first.build({"a": "revenue"})
    second = ss.OptionalEmbeddingBackend("tiny")
    second.build({"a": "revenue"})
    assert second.model is first.model and second.embeddings is first.embeddings
    second.build({"a": "region"})
    assert second.embeddings is not first.embeddings
    assert ss.OptionalEmbeddingBackend("other").model is not first.model
    native._clear_vector_caches()
    assert ss.OptionalEmbeddingBackend("tiny").model is not first.model


def test_encoding_the_documents_failure_ends_the_selection(fake_sentence_transformers):
    FakeModel.fail = "encode"
    with pytest.raises(RuntimeError, match="encoder broke"):
        embedding_select()


def test_encoding_the_question_failure_gives_no_scores(fake_sentence_transformers):
    FakeModel.fail = "question"
    assert embedding_select().debug["embedding_available"] is False


def test_selections_with_a_python_model_from_threads(fake_sentence_transformers):
    expected = embedding_select("hybrid").to_dict(True)
    results, errors = [], []

    def run():
        try:
            for _ in range(5):
                results.append(embedding_select("hybrid").to_dict(True))
        except Exception as error:  # pragma: no cover - reported below
            errors.append(error)

    run_in_threads(run, 4)
    assert errors == [] and results == [expected] * 20


def test_demonstration_text_is_the_run_scored_by_scikit_learn(facility):
    facility(SklearnTfidf)
    result = ss.select_metadata(QUESTION, ss.demo_catalog(), strategy="hybrid", top_k_tables=2,
                                max_columns_per_table=10)
    texts = [tessarin.json_text(result.selected_metadata, indent=2, ensure_ascii=True),
             result.metrics.summary(), tessarin.json_text(result.debug, indent=2, ensure_ascii=True)]
    run = subprocess.run([sys.executable, "-m", "tessarin.schemasift"], capture_output=True, check=True)
    assert run.stdout.decode("utf-8") == "".join(text + "\n" for text in texts)


class Interrupting(Failing):
    def cosine_similarity(self, matrix, question):
        raise KeyboardInterrupt


def interrupting_factory():
    raise KeyboardInterrupt


@pytest.mark.parametrize("factory", [interrupting_factory, lambda: Interrupting("none")])
def test_keyboard_interrupt_in_the_tfidf_facility_reaches_the_caller(facility, factory):
    facility(factory)
    with pytest.raises(KeyboardInterrupt):
        select("orders", {"tables": [{"table_name": "orders"}]})


@pytest.mark.parametrize("where", ["load", "question"])
def test_keyboard_interrupt_in_the_model_reaches_the_caller(fake_sentence_transformers, monkeypatch, where):
    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    if where == "load":
        monkeypatch.setattr(sys.modules["sentence_transformers"], "SentenceTransformer", interrupted)
    else:
        FakeModel.fail = "question"
        monkeypatch.setattr(FakeModel, "encode", lambda self, texts, normalize_embeddings=False: (
            interrupted() if texts == [QUESTION] else np.ones((len(texts), 4), np.float32) / 2))
    with pytest.raises(KeyboardInterrupt):
        embedding_select()
    with pytest.raises(SystemExit):
        monkeypatch.setattr(sys.modules["sentence_transformers"], "SentenceTransformer",
                            lambda name: (_ for _ in ()).throw(SystemExit(3)))
        native._clear_vector_caches()
        embedding_select()
