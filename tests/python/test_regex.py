"""The tessarin pattern engine against Python's re, on the patterns the
libraries use and on small random patterns of the same dialect."""

import contextlib
import copy
import pickle
import re
import subprocess
import sys

import pytest
from hypothesis import assume, given, settings, strategies as st

from tessarin import _core, compile_pattern

# --- The patterns of both libraries, built as the libraries build them ------

_UNITS = "|".join(["hour", "day", "week", "month", "quarter", "year"])
_NOUNS = "question|query|answer|result|chart|table|card|widget"
_ORDINALS = ["first", "second", "third", "fourth", "fifth", "sixth", "seventh", "eighth", "ninth", "tenth"]
_ALIASES = [
    "sum", "total", "overall", "aggregate",
    "count", "number of", "how many", "total records", "record count",
    "avg", "average", "mean",
    "min", "minimum", "least", "lowest",
    "max", "maximum", "highest", "largest",
]

LIBRARY_PATTERNS = [
    (r"[a-zA-Z0-9_]+", False),
    (r"(?<!^)(?=[A-Z])", False),
    (r"\btop\s+(\d+)\b", True),
    (r"\bbottom\s+(\d+)\b", True),
    (
        r"(?:turn|question|query|answer|result|chart|table|card|widget)\s*#?\s*(\d+)|#\s*(\d+)"
        r"|\b(\d+)\s*(?:st|nd|rd|th)?\s+(?:question|query|answer|result|chart|table|card|widget)\b",
        True,
    ),
    (r"\b(?:last|previous)\s+(?:\d+\s*)?(?:" + _UNITS + r")s?\b", True),
    (r"\d+\s*(?:st|nd|rd|th)\b", True),
    (r"\$?\d+(?:\.\d+)?%?", False),
    *[(r"\b" + word + r"\s+(" + _NOUNS + r")\b", False) for word in _ORDINALS],
    (r"\b(chart|table|card|widget|result)\s*#?\s*(\w+)\b", False),
    (r"\b(\w+_\d+)\b", False),
    (r"\bby\s+([a-zA-Z0-9_\- ]{2,60})", False),
    (r"\bgroup\s+by\s+([a-zA-Z0-9_\- ]{2,60})", False),
    (r"\bmake\s+(?:it\s+)?([a-zA-Z0-9_\- ]{2,60})\s+(?:based|wise)", False),
    (r"\b([a-zA-Z0-9_\- ]{2,60})\s+(?:based|wise)\b", False),
    (r"\bonly\s+([a-zA-Z0-9_\- =']{2,80})", False),
    (r"\binclude\s+([a-zA-Z0-9_\- =']{2,80})", False),
    (r"\bwhere\s+([a-zA-Z0-9_\- =']{2,80})", False),
    (r"\bfilter\s+(?:by\s+)?([a-zA-Z0-9_\- =']{2,80})", False),
    *[(r"\b" + re.escape(alias) + r"\s+(?:of\s+)?([a-zA-Z0-9_\- ]{2,50})", False) for alias in _ALIASES],
    (r"\b(for|with|from|last|previous|current|next|top|bottom|sort|order|limit)\b.*$", False),
    (r"\s+", False),
]

VOCABULARY = [
    "top", "Top", "TOP", "bottom", "turn", "return", "question", "query", "answer", "result", "chart",
    "table", "card", "widget", "#", "last", "previous", "month", "months", "day", "days", "week",
    "hours", "quarter", "year", "1st", "2nd", "3 rd", "4th", "st", "nd", "th", "$12.5%", "$1500",
    "12.5", "30", "7", "2023", "camelCase", "snake_case", "customerID", "revenue_2023", "by",
    "group", "make", "it", "based", "wise", "only", "include", "where", "filter", "for", "with",
    "from", "current", "next", "sort", "order", "limit", "sum", "total", "count", "number of",
    "how many", "avg", "average", "min", "max", "of", "=", "'", "first", "second", "third",
    "tenth", "café", "é", "ß", "Σ", "σ", "ς", "\u212a", "ſ", "k", "s", "٣", "३", "３", "_", "-",
    ".", ",", "?", "ı", "İ", "i", "I",
]

SEPARATORS = [" ", " ", " ", "", "  ", "\n", "\t", "-", ",", ".", "\u00a0", "\u3000"]

# Python's re relates these to i and I through lower/upper mappings; simple
# case folding keeps each of them apart.
FOLDING_DIFFERS = "\u0130\u0131"


def _recase(word, how):
    return {0: word, 1: word.upper(), 2: word.lower(), 3: word.title(), 4: word.swapcase()}[how]


@st.composite
def messages(draw):
    parts = []
    for _ in range(draw(st.integers(0, 14))):
        word = _recase(draw(st.sampled_from(VOCABULARY)), draw(st.integers(0, 4)))
        parts.append(word + draw(st.sampled_from(SEPARATORS)))
    return "".join(parts)


_COMPILED = {}


def assert_same(pattern, ignorecase, text):
    key = (pattern, ignorecase)
    if key not in _COMPILED:
        _COMPILED[key] = compile_pattern(pattern, ignorecase)
    mine = _COMPILED[key]
    ref = re.compile(pattern, re.IGNORECASE if ignorecase else 0)
    found, expected = mine.search(text), ref.search(text)
    assert (found is None) == (expected is None), (pattern, text)
    if found is not None:
        for g in range(ref.groups + 1):
            assert found.span(g) == expected.span(g), (pattern, text, g)
        assert found.groups() == expected.groups()
    assert mine.findall(text) == ref.findall(text), (pattern, text)
    assert [m.span() for m in mine.finditer(text)] == [m.span() for m in ref.finditer(text)]
    assert mine.sub(" ", text) == ref.sub(" ", text), (pattern, text)


@given(text=messages())
def test_library_patterns_agree_with_re(text):
    # Each pattern under its own flag and under the other one.
    folding_differs = any(c in text for c in FOLDING_DIFFERS)
    for pattern, _ in LIBRARY_PATTERNS:
        assert_same(pattern, False, text)
        if not folding_differs:
            assert_same(pattern, True, text)


@pytest.mark.parametrize(
    "pattern,text,matches",
    [
        ("i", "\u0130", False),
        ("I", "\u0131", False),
        ("\u0131", "I", False),
        ("\u0130", "\u0130", True),
        ("\u0131", "\u0131", True),
        ("[a-z]", "\u0130", False),
        ("[a-z]", "\u0131", False),
        ("[^a-z]", "\u0131", True),
        ("k", "\u212a", True),
        ("[a-z]", "\u212a", True),
        ("s", "\u017f", True),
        ("\u03c3", "\u03c2", True),
        ("\u03a3", "\u03c2", True),
        ("\u00df", "\u1e9e", True),
        (r"\btop\b", "T\u0130P", False),
    ],
)
def test_ignorecase_follows_simple_folding(pattern, text, matches):
    assert (compile_pattern(pattern, True).search(text) is not None) == matches


def test_spec_examples():
    assert compile_pattern(r"(?<!^)(?=[A-Z])").sub(" ", "customerID") == "customer I D"
    top = compile_pattern(r"\btop\s+(\d+)\b", True)
    assert top.search("TOP 5").group(1) == "5"
    assert top.search("top5") is None and top.search("laptop 5") is None
    assert compile_pattern("[a-zA-Z0-9_]+").findall("café") == ["caf"]
    assert compile_pattern(r"\w+").findall("café") == ["café"]
    generic = compile_pattern(r"\$?\d+(?:\.\d+)?%?")
    assert generic.findall("set budget to $1500, margin 12.5% over 30 days") == ["$1500", "12.5%", "30"]


# --- Random patterns of the dialect ----------------------------------------

_ALPHABET = "abAB01 _-\nkKsS\u212a\u017f\u00e9\u00c9\u00df\u1e9e\u03a3\u03c3\u03c2\u0663"
_ATOMS = ["a", "b", "A", "0", " ", "_", "-", ".", r"\d", r"\w", r"\s", r"\D", r"\W", r"\S", "[ab]",
          "[^a]", "[a-c0]", r"[\d_]", r"[^\w]", r"\-", r"\.", "[-a]", "k", "s", "é", "ß", "σ",
          "[a-z]", "[^a-z]", "[é]", "[K-L]", "[ſ]", "[ς]", "[^ς]", "\u212a"]
_ANCHORS = ["^", "$", r"\b", r"\B", r"\A", r"\Z"]
_QUANTIFIERS = ["?", "*", "+", "{2}", "{1,}", "{0,2}", "{1,3}", "??", "*?", "+?", "{1,2}?"]


def _patterns(fixed_width):
    atom = st.sampled_from(_ATOMS)
    if fixed_width:
        return st.recursive(
            atom,
            lambda inner: st.one_of(
                st.tuples(inner, inner).map("".join),
                inner.map(lambda p: "(" + p + ")"),
                inner.map(lambda p: "(?:" + p + "){2}"),
            ),
            max_leaves=4,
        )
    behind = _patterns(True)
    base = st.one_of(atom, st.sampled_from(_ANCHORS))

    def extend(inner):
        quantified = st.tuples(inner.map(lambda p: "(?:" + p + ")"), st.sampled_from(_QUANTIFIERS)).map("".join)
        return st.one_of(
            st.tuples(inner, inner).map("".join),
            st.tuples(inner, inner).map("|".join),
            inner.map(lambda p: "(" + p + ")"),
            quantified,
            st.tuples(st.sampled_from(_ATOMS), st.sampled_from(_QUANTIFIERS)).map("".join),
            st.tuples(st.sampled_from(["(?=", "(?!"]), inner).map(lambda t: t[0] + t[1] + ")"),
            st.tuples(st.sampled_from(["(?<=", "(?<!"]), behind).map(lambda t: t[0] + t[1] + ")"),
        )

    return st.recursive(base, extend, max_leaves=6)


@given(pattern=_patterns(False), text=st.text(_ALPHABET, max_size=12), ignorecase=st.booleans())
def test_random_patterns_agree_with_re(pattern, text, ignorecase):
    assume_re_compiles(pattern)
    assert_same(pattern, ignorecase, text)


def assume_re_compiles(pattern):
    try:
        re.compile(pattern)
    except re.error:
        assume(False)


# --- Errors and the Python surface -------------------------------------------


@pytest.mark.parametrize(
    "pattern,fault",
    [
        ("*a", "nothing to repeat"),
        ("a**", "multiple repeat"),
        ("(a", "missing )"),
        ("a)", "unbalanced parenthesis"),
        ("[a", "unterminated character set"),
        ("[b-a]", "bad character range"),
        (r"[\w-z]", "bad character range"),
        (r"\q", "bad escape"),
        ("a{3,2}", "min repeat greater than max repeat"),
        ("(?<=a*)", "look-behind requires fixed-width pattern"),
        ("(?<=a|bc)", "look-behind requires fixed-width pattern"),
        (r"(a)\1", "backreferences are not supported"),
        ("(?P<name>a)", "unsupported group construct"),
        ("(?i)a", "unsupported group construct"),
        ("(?>a)", "unsupported group construct"),
        ("a*+", "possessive quantifiers are not supported"),
        (r"\b*", "nothing to repeat"),
        ("x\\", "bad escape"),
        (r"\x4", "incomplete escape"),
    ],
)
def test_bad_patterns_raise_value_error_with_position(pattern, fault):
    with pytest.raises(ValueError, match=re.escape(fault) + ".* at position \\d+"):
        compile_pattern(pattern)


@pytest.mark.parametrize("pattern", ["a{,2}", "a{,}", "{", "a{x}", "x{}", "[]a]", "[^]a]", r"\{1\}", "(?#note)a", r"\0\101"])
def test_python_quirks_of_the_syntax(pattern):
    for text in ["", "a", "aaa", "{", "a{x}", "x{}", "]", "{1}", "\0A", "b"]:
        assert_same(pattern, False, text)


@pytest.mark.parametrize("literal", ["a.b", "(x)*", "1+1=2 ?", "tab\there", "new\nline", "é ß #~&", "[]{}^$|\\"])
def test_escape_matches_the_literal_exactly(literal):
    from tessarin import _core

    pattern = re.escape(literal)
    p = compile_pattern(pattern)
    assert p.fullmatch(literal) is not None
    assert p.search("xx" + literal + "yy").span() == (2, 2 + len(literal))


def test_match_records():
    p = compile_pattern(r"(a)|(b)")
    m = p.search("xb")
    assert m.span() == (1, 2) and m.group() == "b"
    assert m.group(1) is None and m.span(1) == (-1, -1) and m.start(1) == -1
    assert m.groups() == (None, "b") and m.groups("") == ("", "b")
    assert m.group(0, 2) == ("b", "b") and m[2] == "b"
    with pytest.raises(IndexError):
        m.group(3)
    assert p.findall("ab") == [("a", ""), ("", "b")]
    assert repr(m) == "<tessarin.Match object; span=(1, 2), match='b'>"
    assert m.string == "xb" and m.re == p


def test_search_pos_counts_code_points_and_keeps_anchors_absolute():
    p = compile_pattern(r"\w")
    assert p.search("éé€x", 2).span() == (3, 4)
    assert compile_pattern("^a").search("aa", 1) is None
    assert compile_pattern(r"(?<=a)b").search("ab", 1).span() == (1, 2)
    assert p.search("ab", -5).span() == (0, 1) and p.search("ab", 9) is None


def test_match_and_fullmatch():
    p = compile_pattern(r"a+|a+b")
    assert p.match("aab").span() == (0, 2)
    assert p.fullmatch("aab").span() == (0, 3)
    assert p.match("baa") is None and p.fullmatch("aa ") is None


@pytest.mark.parametrize(
    "repl",
    ["-", r"<\1>", r"\g<0>\g<1>", r"\n\t\\", r"\-", r"\101", r"\0", "\\g<2>" if False else r"[\1\1]"],
)
def test_sub_templates_as_re(repl):
    pattern, text = r"(\d+)", "a1b22c333"
    assert compile_pattern(pattern).sub(repl, text) == re.sub(pattern, repl, text)


@pytest.mark.parametrize("repl", [r"\2", r"\g<2>", r"\q", "\\", r"\g<x", r"\g<1a>"])
def test_sub_bad_templates_raise(repl):
    with pytest.raises((ValueError, IndexError)):
        compile_pattern(r"(\d)").sub(repl, "1")
    with pytest.raises((re.error, IndexError)):
        re.sub(r"(\d)", repl, "1")


def test_pattern_object_protocols():
    p = compile_pattern(r"\btop\s+(\d+)\b", ignorecase=True)
    assert repr(p) == "tessarin.compile_pattern('\\\\btop\\\\s+(\\\\d+)\\\\b', ignorecase=True)"
    assert p.pattern == r"\btop\s+(\d+)\b" and p.ignorecase is True and p.groups == 1
    clone = pickle.loads(pickle.dumps(p))
    assert clone == p and hash(clone) == hash(p) and clone.search("Top 3").group(1) == "3"
    assert copy.deepcopy(p) == p
    assert compile_pattern("a") != compile_pattern("a", True)


def test_non_str_text_is_a_type_error():
    with pytest.raises(TypeError):
        compile_pattern("a").search(b"a")


def test_long_texts_do_not_overflow_and_agree():
    text = "a" * 100_000
    assert compile_pattern("[a-zA-Z0-9_]+").findall(text) == [text]
    spaces = " " * 100_000
    assert compile_pattern(r"\s+").sub("", spaces + "x") == "x"
    assert compile_pattern(r"\d+\s*(?:st|nd|rd|th)\b").search("1" * 100_000) is None
    turn = "turn" + " " * 50_000
    assert compile_pattern(LIBRARY_PATTERNS[4][0], True).search(turn) is None


# --- Bounded matching: the memoized paths give re's results ------------------

_CATASTROPHIC = [r"(a*)*$", r"(a*)+b", r"a*(?:a*)*b", r"(?:a*){1,3}b", r"()*(a+)+b", r"(?=(a+)+b)", r"(.*)*x", r"(a(?!b)+)+b", r"(a+)+b",
                 r"(a|a)*b", r"(a|aa)*b", r"(\w+\s?)*$", r"^(a+)+$", r"(x+x+)+y", r"(?:(a*)*b|a)+c",
                 r"(?!(a*)*b)a", r"(?<=(?:a|a){2})(a*)*c", r"((?=a*)a?)*$"]


@contextlib.contextmanager
def memo_from_start():
    _core._regex_memo_from_start(True)
    try:
        yield
    finally:
        _core._regex_memo_from_start(False)


@settings(max_examples=1000)
@given(pattern=_patterns(False), text=st.text(_ALPHABET, max_size=12), ignorecase=st.booleans())
def test_memoized_search_agrees_with_re(pattern, text, ignorecase):
    assume_re_compiles(pattern)
    with memo_from_start():
        assert_same(pattern, ignorecase, text)


@pytest.mark.parametrize("pattern", _CATASTROPHIC)
@pytest.mark.parametrize("text", ["", "a", "aaab", "aaaa!", "abab c", "aaaaaaaaaaaac", "xxxxxxy"])
def test_backtracking_patterns_agree_with_re(pattern, text):
    with memo_from_start():
        assert_same(pattern, False, text)
    assert_same(pattern, False, text)


def test_backtracking_patterns_stay_linear_on_long_texts():
    # A blow-up shows as the subprocess timing out, not as a measured time.
    script = (
        "from tessarin import compile_pattern\n"
        f"for p in {_CATASTROPHIC!r}:\n"
        "    for t in ('a' * 50000, 'x' * 50000, 'a' * 50000 + '!'):\n"
        "        compile_pattern(p).search(t)\n"
        "        compile_pattern(p).findall(t[:2000])\n"
    )
    subprocess.run([sys.executable, "-c", script], check=True, timeout=120)
