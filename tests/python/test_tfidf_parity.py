"""The native TF-IDF index against scikit-learn's TfidfVectorizer.

Both fit the same documents (unigrams and bigrams, lower-casing) and score a
question by cosine similarity; every similarity must agree within 1e-12.
"""

import pytest
from hypothesis import example, given
from hypothesis import strategies as st

from tessarin._core import schemasift

TOLERANCE = 1e-12

WORDS = [
    "order", "orders", "Order", "customer", "customers", "id", "ID", "sales", "region",
    "amount", "total", "revenue", "date", "created_at", "table", "column", "by", "of",
    "the", "x", "a", "I", "monthly", "product", "category", "qty", "USD",
]
NON_ASCII = [
    "über", "Straße", "STRASSE", "né", "Café", "İstanbul", "ΟΔΟΣ", "οδος", "Ωmega",
    "日本", "東京都", "ﬁle", "ǅemal", "ß", "é", "Ü",
]
NUMBERS = ["12", "7", "2024", "٣٤", "x²", "½", "Ⅻ", "१०", "0"]
SEPARATORS = [" ", "  ", "_", ".", "::", ",", "-", "(", ")", "/", "'", "\t", "\n", "\xa0", "? "]


def identifier(parts: list[str], numbers: list[str]) -> str:
    name = "_".join(parts)
    return f"{name}_{numbers[0]}" if numbers else name


pieces = st.one_of(
    st.sampled_from(WORDS),
    st.sampled_from(NON_ASCII),
    st.sampled_from(NUMBERS),
    st.builds(
        identifier,
        st.lists(st.sampled_from(WORDS), min_size=1, max_size=3),
        st.lists(st.sampled_from(NUMBERS), max_size=1),
    ),
    st.text(min_size=1, max_size=4),
)


@st.composite
def texts(draw, max_pieces: int = 12) -> str:
    parts = draw(st.lists(pieces, max_size=max_pieces))
    out = []
    for part in parts:
        out.append(part)
        out.append(draw(st.sampled_from(SEPARATORS)))
    prefix = draw(st.sampled_from(["", "table::", "column::"]))
    return prefix + "".join(out)


@st.composite
def question_for(draw, docs: list[str]) -> str:
    # Mostly words taken from the documents, so that terms are shared.
    own = draw(texts(max_pieces=6))
    if not docs or draw(st.booleans()):
        return own
    borrowed = draw(st.sampled_from(docs))
    return draw(st.sampled_from([borrowed, borrowed.upper(), borrowed + " " + own, own]))


def sklearn_similarities(docs: list[str], question: str) -> list[float] | None:
    from sklearn.feature_extraction.text import TfidfVectorizer
    from sklearn.metrics.pairwise import cosine_similarity

    vectorizer = TfidfVectorizer(ngram_range=(1, 2), lowercase=True)
    try:
        matrix = vectorizer.fit_transform(docs)
    except ValueError:  # empty vocabulary
        return None
    return [float(s) for s in cosine_similarity(vectorizer.transform([question]), matrix)[0]]


def assert_parity(docs: list[str], question: str) -> None:
    ours = schemasift._tfidf_similarities(docs, question)
    theirs = sklearn_similarities(docs, question)
    if theirs is None:
        assert ours == []
        return
    assert len(ours) == len(theirs) == len(docs)
    for i, (a, b) in enumerate(zip(ours, theirs)):
        assert abs(a - b) <= TOLERANCE, (i, docs[i], question, a, b)


@st.composite
def corpus_and_question(draw):
    docs = draw(st.lists(texts(), max_size=25))
    return docs, draw(question_for(docs))


@given(corpus_and_question())
@example(([], "orders"))
@example((["a b", "!!", ""], "a b"))
@example((["İSTANBUL office", "istanbul"], "i̇stanbul stanbul"))
@example((["ΟΔΟΣ", "οδοσ"], "ΟΔΟΣ οδος"))
def test_similarities_match_sklearn(case):
    docs, question = case
    assert_parity(docs, question)


# Long ASCII texts, the fast path's domain: runs of every length around the
# 8- and 64-byte words it reads, cases mixed, rare control characters.
ascii_runs = st.text(alphabet="abcxyzABCXYZ0189_", min_size=1, max_size=70)
ascii_separators = st.sampled_from([" ", ".", "::", "-", "\t", "\n", "'", "\x7f", "\x01", "  "])


@st.composite
def ascii_texts(draw) -> str:
    parts = draw(st.lists(st.tuples(ascii_runs, ascii_separators), max_size=30))
    return "".join(run + sep for run, sep in parts)


@st.composite
def ascii_corpus_and_question(draw):
    docs = draw(st.lists(ascii_texts(), min_size=1, max_size=15))
    question = draw(st.one_of(st.sampled_from(docs), ascii_texts()))
    return docs, draw(st.sampled_from([question, question.upper(), question.lower()]))


@given(ascii_corpus_and_question())
def test_long_ascii_texts_match_sklearn(case):
    docs, question = case
    assert_parity(docs, question)


@pytest.mark.parametrize(
    "docs, question",
    [
        (["apple banana", "apple"], "apple"),
        (["sales sales sales region", "sales"], "sales sales region"),
        (["customer_id", "customer id", "customer-id"], "Customer ID"),
        (["table::orders_12 orders 12 sales order table", "column::orders_12.customer_id"],
         "orders customer"),
        (["x² ½ Ⅻ ٣٤", "x2 12"], "X² ٣٤"),
        (["ǅemal ﬁle", "DŽEMAL FILE"], "džemal ﬁle"),
        (["straße", "STRASSE"], "Straße strasse"),
        (["a", "b c", "d"], "a b"),
        # Tokens that differ only past their 16th byte, across 64-byte words.
        (["k" * 16 + "a " + "k" * 16 + "b", "k" * 16 + "b", "x" * 63 + " " + "k" * 16 + "a" * 60],
         "K" * 16 + "B " + "k" * 16 + "a"),
        (["ab " * 40, "ab cd " * 30 + "ab"], "ab ab cd"),
    ],
)
def test_tricky_texts_match_sklearn(docs, question):
    assert_parity(docs, question)


def test_catalog_sized_corpus_matches_sklearn():
    docs = []
    for t in range(60):
        docs.append(f"table::orders_{t} orders {t} sales order table region {t % 7}")
        for c in range(12):
            docs.append(f"column::orders_{t}.col_{c} col {c} customer id amount {c % 3}")
    for question in ["orders 17 sales", "customer id amount", "region 3 col 11", "nothing"]:
        assert_parity(docs, question)


def test_scores_every_document_in_order():
    sims = schemasift._tfidf_similarities(["x y", "apple", "apple pie"], "apple")
    assert sims[0] == 0.0
    assert sims[1] == pytest.approx(1.0, abs=1e-15)
    assert 0.0 < sims[2] < 1.0
