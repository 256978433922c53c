"""Property tests of the value services against Python's own json, str, round,
format and hashlib."""

import hashlib
import json
import math
import sys

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import tessarin
from tessarin import _core

# The parametrized properties run once per setting: fewer examples each.
per_setting = settings(max_examples=100)

INT64 = st.integers(min_value=-(2**63), max_value=2**63 - 1)
FLOATS = st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True)
# Any code point but surrogates, which UTF-8 cannot carry.
TEXT = st.text(st.characters(blacklist_categories=("Cs",)), max_size=12)
SCALARS = st.none() | st.booleans() | INT64 | FLOATS | TEXT
VALUES = st.recursive(
    SCALARS,
    lambda inner: st.lists(inner, max_size=5) | st.dictionaries(TEXT, inner, max_size=5),
    max_leaves=25,
)

# (sort_keys, indent, ensure_ascii): the settings the libraries use, and more.
WRITE_SETTINGS = [
    (False, None, False),
    (False, 2, True),
    (True, None, False),
    (False, None, True),
    (True, 2, False),
    (False, 0, True),
    (True, 4, True),
]


def same(a, b):
    """Equality that also tells int from float, -0.0 from 0.0 and NaN from NaN."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        if math.isnan(a) or math.isnan(b):
            return math.isnan(a) and math.isnan(b)
        return a == b and math.copysign(1, a) == math.copysign(1, b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


# ---------------------------------------------------------------- writing


@pytest.mark.parametrize("sort_keys, indent, ensure_ascii", WRITE_SETTINGS)
@per_setting
@given(value=VALUES)
def test_json_text_matches_json_dumps(value, sort_keys, indent, ensure_ascii):
    expected = json.dumps(value, sort_keys=sort_keys, indent=indent, ensure_ascii=ensure_ascii)
    assert tessarin.json_text(value, sort_keys=sort_keys, indent=indent, ensure_ascii=ensure_ascii) == expected


@pytest.mark.parametrize(
    "value",
    [
        {"b": 1, "a": 2.5},
        "café",
        "\U0001f600\x7f\x00\x1f\"\\\u2028",
        [0.5, 100.0, 1e-05, 1.5e16, -0.0, float("nan"), float("inf"), -float("inf"), 5e-324],
        {"\u00e9": {"z": [], "Z": {}}, "": None},
        [[[]], {}, [{}]],
        -(2**63),
    ],
)
def test_json_text_edge_values(value):
    for sort_keys, indent, ensure_ascii in WRITE_SETTINGS:
        assert tessarin.json_text(value, sort_keys=sort_keys, indent=indent, ensure_ascii=ensure_ascii) == (
            json.dumps(value, sort_keys=sort_keys, indent=indent, ensure_ascii=ensure_ascii)
        )


def test_json_text_negative_indent_breaks_lines_like_json_dumps():
    assert tessarin.json_text([1, [2]], indent=-3) == json.dumps([1, [2]], indent=-3)


class Card:
    def __str__(self):
        return "Card(\u00e9)"


def test_objects_without_json_form_are_written_as_their_str():
    value = {"card": Card(), "tags": {1, 2}, "pair": (1, "a")}
    for ensure_ascii in (True, False):
        assert tessarin.json_text(value, ensure_ascii=ensure_ascii) == json.dumps(
            value, default=str, ensure_ascii=ensure_ascii
        )


@pytest.mark.parametrize("big", [2**63, -(2**63) - 1, 10**30])
def test_integers_beyond_64_bits_raise_overflow_error(big):
    with pytest.raises(OverflowError):
        tessarin.json_text([big])
    with pytest.raises(OverflowError):
        tessarin.display_text({"k": big})


def test_self_containing_values_raise_instead_of_crashing():
    loop = []
    loop.append(loop)
    with pytest.raises(ValueError):
        tessarin.json_text(loop)
    cycle = {}
    cycle["self"] = cycle
    with pytest.raises(ValueError):
        tessarin.display_text(cycle)


# ---------------------------------------------------------------- reading


@pytest.mark.parametrize("indent, ensure_ascii", [(None, False), (None, True), (2, True)])
@per_setting
@given(value=VALUES)
def test_parse_json_reads_json_dumps_output(value, indent, ensure_ascii):
    text = json.dumps(value, indent=indent, ensure_ascii=ensure_ascii)
    assert same(tessarin.parse_json(text), json.loads(text))


JSONISH = st.text(st.sampled_from(list('{}[]:,"\\ \n0123456789.eE+-truefalsnNIfiyaxu\u00e9')), max_size=20)


def python_outcome(text):
    try:
        return json.loads(text), None
    except json.JSONDecodeError as e:
        return None, e


def has_unsupported_content(value):
    """Values json.loads gives that have no form here: big ints, lone surrogates."""
    if isinstance(value, int) and not isinstance(value, bool):
        return not -(2**63) <= value < 2**63
    if isinstance(value, str):
        return any(0xD800 <= ord(c) <= 0xDFFF for c in value)
    if isinstance(value, list):
        return any(has_unsupported_content(v) for v in value)
    if isinstance(value, dict):
        return any(has_unsupported_content(k) or has_unsupported_content(v) for k, v in value.items())
    return False


@given(text=JSONISH)
@example('{"a": 1, "a": 2, "b": 3}')
@example("[1, 2.5e3, -0, NaN, -Infinity]")
@example('"\\ud83d\\ude00"')
@example("[1e-310, 2.4703282292062328e-324, 2e-324, 1.7976931348623159e308, -0.0e-99999999999999999999, 1e99999]")
def test_parse_json_agrees_with_json_loads_on_any_text(text):
    expected, error = python_outcome(text)
    if error is not None:
        with pytest.raises(ValueError) as raised:
            tessarin.parse_json(text)
        assert str(raised.value) == str(error)
    elif has_unsupported_content(expected):
        with pytest.raises(ValueError):
            tessarin.parse_json(text)
    else:
        assert same(tessarin.parse_json(text), expected)


@pytest.mark.parametrize(
    "text, offset",
    [
        ("", 0),
        ("[1,]", 3),
        ('{"\u00e9\u00e9": x}', 7),
        ('"\\ud800"', 1),
        ("18446744073709551616", 0),
        ("[" * 1001 + "]" * 1001, 1000),
    ],
)
def test_parse_json_errors_name_the_character_offset(text, offset):
    with pytest.raises(ValueError, match=rf"\(char {offset}\)"):
        tessarin.parse_json(text)


# ---------------------------------------------------------------- display text


@given(value=VALUES)
def test_display_text_matches_str(value):
    assert tessarin.display_text(value) == str(value)


@given(x=FLOATS)
def test_float_repr_matches_repr(x):
    assert _core._float_repr(x) == repr(x)


# ---------------------------------------------------------------- rounding


@given(x=FLOATS, n=st.integers(min_value=-30, max_value=30))
@example(0.1234565, 6)
@example(2.675, 2)
@example(5e-324, 323)
def test_round_to_matches_round(x, n):
    check_round_to(x, n)


def check_round_to(x, n):
    try:
        expected = round(x, n)
    except OverflowError:
        with pytest.raises(OverflowError):
            _core._round_to(x, n)
        return
    assert same(_core._round_to(x, n), expected)


@pytest.mark.parametrize("n", [-400, -309, -308, -300, 300, 323, 324, 1000])
@per_setting
@given(x=st.floats(allow_nan=False, allow_infinity=False))
def test_round_to_extreme_digits(x, n):
    check_round_to(x, n)


@pytest.mark.parametrize("n", range(11))
@per_setting
@given(x=FLOATS | st.decimals(places=4, allow_nan=False, allow_infinity=False).map(float))
def test_format_fixed_matches_format(x, n):
    assert _core._format_fixed(x, n) == format(x, f".{n}f")


# ---------------------------------------------------------------- Unicode

import unicodedata

# The tables follow the Unicode version of the Python that generated them.
same_unicode = pytest.mark.skipif(
    unicodedata.unidata_version != _core._unicode_version, reason="different Unicode version"
)
ALL_CHARS = "".join(chr(c) for c in range(sys.maxunicode + 1) if not 0xD800 <= c <= 0xDFFF)


@same_unicode
def test_character_classes_match_str_methods_on_every_code_point():
    flags = _core._char_flags(ALL_CHARS)
    for c, f in zip(ALL_CHARS, flags):
        expected = (
            c.isspace() * 1 + c.isalnum() * 2 + c.isdecimal() * 4 + c.isprintable() * 8
            + (c.isalnum() or c == "_") * 16
        )
        assert f == expected, hex(ord(c))


@same_unicode
def test_decimal_values_match_unicodedata_on_every_code_point():
    values = _core._decimal_values(ALL_CHARS)
    for c, v in zip(ALL_CHARS, values):
        assert v == (unicodedata.decimal(c) if c.isdecimal() else -1), hex(ord(c))


def python_simple_fold(c):
    for mapped in (c.casefold(), c.lower()):
        if len(mapped) == 1:
            return mapped
    return c


@same_unicode
def test_simple_fold_and_variants_on_every_code_point():
    folded = _core._simple_fold(ALL_CHARS)
    classes = {}
    for c, f in zip(ALL_CHARS, folded):
        assert f == python_simple_fold(c), hex(ord(c))
        classes.setdefault(f, []).append(c)
    for members in classes.values():
        if len(members) > 1:
            for c in members:
                assert _core._case_variants(c) == "".join(m for m in members if m != c)
    assert _core._case_variants("k") == "K\u212a"
    assert _core._case_variants("1") == ""


@same_unicode
def test_lower_matches_str_lower_on_every_code_point():
    chunk = 4096
    for start in range(0, len(ALL_CHARS), chunk):
        # A blank after each character keeps sigma contexts out of this check.
        text = " ".join(ALL_CHARS[start : start + chunk])
        assert _core._lower(text) == text.lower()


SIGMA_TEXT = st.text(
    st.sampled_from(list("\u03a3\u03c3\u03c2Aa1 '.\u00ad\u0301\u02b0\u0345\u2019_-\u0130\u1e9e"))
    | st.characters(blacklist_categories=("Cs",)),
    max_size=12,
)


@given(text=SIGMA_TEXT)
@example("\u039f\u0394\u039f\u03a3")
@example("A'\u03a3'")
@example("A\u03a3\u0345B")
def test_lower_matches_str_lower(text):
    assert _core._lower(text) == text.lower()


WHITE = st.sampled_from([" ", "\t", "\n", "\x0b", "\x1c", "\x85", "\xa0", "\u2000", "\u3000", "\u200b", "\ufeff"])


@given(text=st.text(WHITE | st.characters(blacklist_categories=("Cs",)), max_size=12))
def test_strip_matches_str_strip(text):
    assert _core._strip(text) == text.strip()


@given(text=TEXT | st.text(st.characters(blacklist_categories=("Cs",)), min_size=50, max_size=200))
@example("")
@example("a" * 55)
@example("a" * 64)
def test_sha256_matches_hashlib(text):
    assert _core._sha256_hex(text) == hashlib.sha256(text.encode()).hexdigest()


def test_unicode_version_is_that_of_python_3_11():
    assert _core._unicode_version == "14.0.0"
    if sys.version_info[:2] == (3, 11):
        assert unicodedata.unidata_version == _core._unicode_version
