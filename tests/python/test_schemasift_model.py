"""The selector's model from Python: text primitives, vocabularies, catalog
records, the normalizer, the intent parser and the selection records."""

import copy
import decimal
import enum
import hashlib
import json
import math
import pickle

import pytest
from hypothesis import given, strategies as st

import tessarin.schemasift as ss
from support import IDENTIFIER_SPLITS, TOKEN_ESTIMATES, expect_result, shuffled_keys

# ---------------------------------------------------------------- text


@pytest.mark.parametrize("value, expected", IDENTIFIER_SPLITS)
def test_split_identifier(value, expected):
    assert ss._split_identifier(value) == expected


@pytest.mark.parametrize(
    "text, stopwords, expected",
    [
        ("", None, []),
        ("the data", None, []),
        ("the data", set(), ["the", "data"]),
        ("the data", frozenset({"data"}), ["the"]),
        ("the data", ["the"], ["data"]),
        ("customerID by Region", None, ["customer", "i", "d", "region"]),
        ("order_date2023", None, ["order", "date2023"]),
        ("Show total revenue by region for last 6 months", None,
         ["total", "revenue", "region", "last", "6", "months"]),
        ("café naïve", None, ["caf", "na", "ve"]),
    ],
)
def test_tokenize(text, stopwords, expected):
    assert ss.tokenize(text, stopwords) == expected


_WORDY = st.lists(
    st.sampled_from(list("aZqT7_-. \tbyIDé\u0130\u212a\u03a3\u0663!") + ["The", "by", "Data"]),
    max_size=16,
).map("".join)


@given(_WORDY)
def test_tokenize_follows_the_patterns(text):
    import re

    split = re.sub("(?<!^)(?=[A-Z])", " ", text.replace("_", " ").replace("-", " ").replace(".", " "))
    assert ss._split_identifier(text) == split.lower()
    expected = [t.lower() for t in re.findall("[a-zA-Z0-9_]+", split.lower())]
    assert ss.tokenize(text) == [t for t in expected if t not in ss.DEFAULT_STOPWORDS]


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, ""),
        ({"a": [1, None]}, "a 1 "),
        ([], ""),
        ([["x", {"k": True}], 2.0, "Y"], "x k True 2.0 Y"),
        (1e-05, "1e-05"),
        ({"n": {"m": None}}, "n m "),
    ],
)
def test_normalize_text(value, expected):
    assert ss.normalize_text(value) == expected


@pytest.mark.parametrize("text, per_token, expected", TOKEN_ESTIMATES)
def test_estimate_tokens(text, per_token, expected):
    expect_result(lambda: ss.estimate_tokens(text, per_token), expected)


def _reference_hash(value):
    text = json.dumps(value, sort_keys=True, ensure_ascii=False)
    return hashlib.sha256(text.encode("utf-8")).hexdigest()[:16]


_JSON_LEAVES = (
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**63), max_value=2**63 - 1)
    | st.floats(allow_nan=False)
    | st.text(max_size=8)
)
_JSON = st.recursive(
    _JSON_LEAVES,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=5), inner, max_size=4),
    max_leaves=20,
)


@given(_JSON, st.randoms(use_true_random=False))
def test_stable_hash_matches_hashlib_and_ignores_key_order(value, rnd):
    assert ss.stable_hash(value) == _reference_hash(value)
    assert ss.stable_hash(shuffled_keys(value, rnd)) == ss.stable_hash(value)


def test_stable_hash_of_a_string_hashes_its_quotes():
    assert ss.stable_hash("abc") == hashlib.sha256(b'"abc"').hexdigest()[:16]
    assert ss.stable_hash(math.nan) == hashlib.sha256(b"NaN").hexdigest()[:16]


def _python_float(value, default=0.0):
    if value is None:
        return default
    try:
        return float(value)
    except (TypeError, ValueError, OverflowError):
        return default


_FLOATY = st.text(
    alphabet=st.sampled_from(
        list("0123456789_.eE+- \t\n\x0b\x0c\r\x1c\x85\xa0\u2003\u0663\u0966\uff11\u2160xinfatyINFATY")
    ),
    max_size=14,
)


@given(_FLOATY)
def test_safe_float_accepts_what_float_accepts(text):
    got = ss.safe_float(text, -12345.0)
    expected = _python_float(text, -12345.0)
    if math.isnan(expected):
        assert math.isnan(got)
    else:
        assert got == expected and math.copysign(1, got) == math.copysign(1, expected)


@given(st.floats(allow_nan=False) | st.integers(min_value=-(10**20), max_value=10**20))
def test_safe_float_reads_repr_of_numbers(number):
    assert ss.safe_float(repr(number)) == float(number)
    assert ss.safe_float(f" {number!r}\u2003") == float(number)


@pytest.mark.parametrize(
    "value, default, expected",
    [
        (" 2.5 ", 0.0, 2.5),
        ("1_000", 0.0, 1000.0),
        ("abc", 7.0, 7.0),
        (None, 3.0, 3.0),
        (True, 0.0, 1.0),
        (2**70, 0.0, float(2**70)),
        (10**400, 5.0, 5.0),
        ([1], 4.0, 4.0),
        ({"a": 1}, 4.0, 4.0),
        (decimal.Decimal("1.25"), 0.0, 1.25),
        ("1e999", 0.0, math.inf),
        (object(), 6.0, 6.0),
    ],
)
def test_safe_float_values(value, default, expected):
    assert ss.safe_float(value, default) == expected


# ---------------------------------------------------------------- vocabulary


def test_term_sets_and_patterns():
    assert isinstance(ss.DEFAULT_STOPWORDS, frozenset) and len(ss.DEFAULT_STOPWORDS) == 39
    assert len(ss.DATE_TERMS) == 27 and len(ss.METRIC_TERMS) == 27 and len(ss.DIMENSION_TERMS) == 22
    assert {"by", "wise"} <= ss.DEFAULT_STOPWORDS & ss.DIMENSION_TERMS
    assert isinstance(ss.ROW_LISTING_PHRASES, tuple) and len(ss.ROW_LISTING_PHRASES) == 9
    assert ss.TOP_N_RE.pattern == r"\btop\s+(\d+)\b" and ss.TOP_N_RE.ignorecase
    assert ss.BOTTOM_N_RE.search("the BOTTOM  3").group(1) == "3"
    assert ss._WORD_RE.findall("ab_1 é x") == ["ab_1", "x"]
    assert ss._CAMEL_RE.pattern == "(?<!^)(?=[A-Z])" and not ss._CAMEL_RE.ignorecase


def test_vocabularies_are_str_enums():
    assert issubclass(ss.ColumnRole, enum.StrEnum) and issubclass(ss.Strategy, enum.StrEnum)
    assert [m.name for m in ss.ColumnRole] == [
        "METRIC", "DIMENSION", "DATE", "DATETIME", "ID", "PRIMARY_KEY", "FOREIGN_KEY", "TEXT",
        "BOOLEAN", "UNKNOWN",
    ]
    assert [m.value for m in ss.Strategy] == ["lexical", "tfidf", "embedding", "hybrid"]
    assert ss.ColumnRole.PRIMARY_KEY == "primary_key"
    assert pickle.loads(pickle.dumps(ss.Strategy.HYBRID)) is ss.Strategy.HYBRID


# ---------------------------------------------------------------- records


def _metrics(**overrides):
    fields = dict(
        input_tables=2, input_columns=8, output_tables=1, output_columns=4, input_chars=1600,
        output_chars=400, input_estimated_tokens=400, output_estimated_tokens=100,
        table_reduction_percent=50.0, column_reduction_percent=50.0, char_reduction_percent=75.0,
        token_reduction_percent=75.0, compression_ratio=4.0, catalog_hash="0123456789abcdef",
    )
    fields.update(overrides)
    return ss.SelectionMetrics(**fields)


# Required fields are built per test: records kept in module globals would
# outlive the interpreter's last collection.
RECORDS = [
    (ss.ColumnMeta, lambda: {"name": "revenue"}, "type", ""),
    (ss.TableMeta, lambda: {"table_name": "orders"}, "columns", []),
    (ss.RelationshipMeta,
     lambda: {"from_table": "a", "from_column": "b", "to_table": "c", "to_column": "d"},
     "relationship_type", "many_to_one"),
    (ss.MetadataCatalog, dict, "database", ""),
    (ss.QueryIntent, lambda: {"raw_question": "q"}, "top_n", None),
    (ss.SelectorConfig, dict, "strategy", "hybrid"),
    (ss.ScoredColumn, lambda: {"column": ss.ColumnMeta("c"), "score": 0.5}, "reasons", []),
    (ss.ScoredTable, lambda: {"table": ss.TableMeta("t"), "score": 0.5}, "columns", []),
    (ss.MetadataSelectionResult,
     lambda: {"selected_metadata": {"database": "x"}, "metrics": _metrics(),
              "intent": ss.QueryIntent("q")}, "debug", {}),
]


@pytest.mark.parametrize("cls, make_required, field, default", RECORDS,
                         ids=[r[0].__name__ for r in RECORDS])
def test_records_behave_like_dataclasses(cls, make_required, field, default):
    required = make_required()
    record = cls(**required)
    assert getattr(record, field) == default
    assert cls(*required.values()) == record
    assert repr(record).startswith(cls.__name__ + "(")
    for clone in (copy.copy(record), copy.deepcopy(record), pickle.loads(pickle.dumps(record))):
        assert clone == record and clone is not record
        assert type(clone).__module__ == "tessarin.schemasift"
    with pytest.raises(TypeError, match="unexpected keyword"):
        cls(**required, no_such_field=1)
    for missing in required:
        with pytest.raises(TypeError, match=missing):
            cls(**{k: v for k, v in required.items() if k != missing})


def test_record_defaults_are_fresh_and_fields_assignable():
    a, b = ss.ScoredColumn(ss.ColumnMeta("x"), 0.1), ss.ScoredColumn(ss.ColumnMeta("x"), 0.1)
    a.reasons = ["r"]
    assert b.reasons == []
    config = ss.SelectorConfig(strategy="lexical")
    assert config.top_k_tables == 3 and config.max_output_chars is None
    assert config.embedding_model_name_or_path is None and config.include_debug
    config.max_output_chars = 100
    assert config == ss.SelectorConfig("lexical", max_output_chars=100)
    assert config != ss.SelectorConfig("lexical")


def test_list_of_records_fields_survive_reassignment():
    table = ss.TableMeta("t", columns=[ss.ColumnMeta("a"), ss.ColumnMeta("b")])
    first = table.columns[0]
    table.columns = []
    assert first.name == "a" and table.columns == []


def test_summary_and_to_dict():
    assert _metrics().summary() == (
        "tables 2 → 1 (50.0% cut), columns 8 → 4 (50.0% cut), tokens ~400 → ~100 (75.0% cut), "
        "compression 4.00x"
    )
    assert "(66.7% cut), columns" in _metrics(table_reduction_percent=66.666).summary()
    assert _metrics(compression_ratio=1.005).summary().endswith("compression 1.00x")
    assert "(-12.5% cut)" in _metrics(token_reduction_percent=-12.5).summary()

    result = ss.MetadataSelectionResult({"database": "x"}, _metrics(), ss.QueryIntent("q", top_n=3))
    plain = result.to_dict()
    assert list(plain) == ["selected_metadata", "metrics", "intent"]
    assert list(result.to_dict(True)) == ["selected_metadata", "metrics", "intent", "debug"]
    assert list(plain["metrics"])[0] == "input_tables" and len(plain["metrics"]) == 14
    assert plain["intent"]["top_n"] == 3 and len(plain["intent"]) == 12
    json.loads(json.dumps(result.to_dict(True)))


# ---------------------------------------------------------------- catalog model


def test_searchable_texts():
    assert ss.ColumnMeta("revenue").searchable_text() == (
        "table  table business name  column revenue type  description  synonyms  role unknown "
        "tags  sample values "
    )
    column = ss.ColumnMeta("amount", sample_values=list(range(12)) + [True])
    assert column.searchable_text("s", "S").endswith("sample values 0 1 2 3 4 5 6 7 8 9")
    column = ss.ColumnMeta("flag", sample_values=[True, 5, None])
    assert column.searchable_text().endswith("sample values True 5 None")
    table = ss.TableMeta("t", default_date_column=None, default_metric_column="m")
    assert table.searchable_text().endswith("default date column  default metric column m")


def test_relationship_membership():
    rel = ss.RelationshipMeta("orders", "customer_id", "customers", "id")
    assert not rel.involves(["orders"]) and rel.touches(["orders"])
    assert rel.involves(iter(["customers", "orders"])) and rel.involves({"orders": 1, "customers": 2})
    assert not rel.involves([]) and not rel.touches(())
    assert not rel.touches(["Orders", 3, None])


def test_prompt_dict():
    assert ss.MetadataCatalog().to_prompt_dict() == {"database": "", "tables": [], "relationships": []}
    catalog = ss.MetadataCatalog(
        "db", [ss.TableMeta("t", tags=["x"], extra={"e": 1}, columns=[ss.ColumnMeta("c", extra={"k": [1]})])],
        [ss.RelationshipMeta("t", "c", "u", "d")], {"owner": "me"},
    )
    prompt = catalog.to_prompt_dict()
    table = prompt["tables"][0]
    assert list(table) == ["table_name", "business_name", "description", "columns",
                           "default_date_column", "default_metric_column", "row_count"]
    assert table["row_count"] is None
    assert list(table["columns"][0]) == [
        "name", "type", "description", "synonyms", "role", "tags", "nullable", "is_primary_key",
        "is_foreign_key", "sample_values", "extra",
    ]
    table["columns"][0]["extra"]["k"].append(2)
    assert catalog.tables[0].columns[0].extra == {"k": [1]}
    assert list(prompt["relationships"][0])[-1] == "extra"


# ---------------------------------------------------------------- normalizer


def test_normalize_map_shapes():
    catalog = ss.CatalogNormalizer.normalize(
        {"tables": {"orders": {"columns": {"id": {"type": "Int64"}}}}}, database="prod"
    )
    assert catalog.database == "prod"
    assert [(t.table_name, [(c.name, c.type, c.role) for c in t.columns]) for t in catalog.tables] == [
        ("orders", [("id", "Int64", "id")])
    ]


def test_normalize_keeps_unknown_keys_and_reads_table_joins():
    raw = {
        "db": "d",
        "joins": [{"from_table": "a", "from_column": "b", "to_table": "c", "to_column": "d"}],
        "tables": [
            {"source": "events", "joins": [{"left_table": "events", "left_column": "u",
                                            "right_table": "users", "right_column": "id",
                                            "type": "one_to_one"}],
             "columns": [{"name": "x", "precision": 2, "unit": "m"}]},
            {"relationships": [{"from_table": "p", "from_column": "q", "to_table": "r",
                                "to_column": "s"}]},
        ],
    }
    before = copy.deepcopy(raw)
    catalog = ss.CatalogNormalizer.normalize(raw)
    assert raw == before
    assert catalog.database == "d" and [t.table_name for t in catalog.tables] == ["events"]
    assert "source" not in catalog.tables[0].extra and "joins" in catalog.tables[0].extra
    assert list(catalog.tables[0].columns[0].extra) == ["precision", "unit"]
    assert [(r.from_table, r.relationship_type) for r in catalog.relationships] == [
        ("a", "many_to_one"), ("events", "one_to_one"), ("p", "many_to_one")
    ]
    assert "joins" in catalog.extra


@pytest.mark.parametrize(
    "column, role",
    [
        ({"role": " Measure "}, "metric"),
        ({"role": "unknown", "type": "int"}, "unknown"),
        ({"role": "kpi", "type": "int"}, "metric"),
        ({"name": "created_at", "type": "DateTime64(3)"}, "datetime"),
        ({"name": "created_at", "type": "Date"}, "date"),
        ({"name": "created_at"}, "unknown"),
        ({"name": "created_time"}, "date"),
        ({"name": "customer_id", "primary_key": 1}, "primary_key"),
        ({"name": "flag", "type": "Bool"}, "boolean"),
        ({"name": "city", "type": "String"}, "dimension"),
        ({"name": "candidate_name", "type": "String"}, "date"),
        ({"column": "order_date"}, "unknown"),
    ],
)
def test_infer_role(column, role):
    assert ss.CatalogNormalizer._infer_role(column) == role


@pytest.mark.parametrize(
    "catalog, message",
    [
        ({"tables": None}, 'catalog["tables"] must be a list or a map, got NoneType'),
        ({"tables": 3}, 'catalog["tables"] must be a list or a map, got int'),
        ({"tables": "orders"}, 'catalog["tables"] must be a list or a map, got str'),
        ({"tables": [{}, {}, {}, "x"]}, 'catalog["tables"][3] must be a map, got str'),
        ({"tables": ({"name": "t"}, 5)}, 'catalog["tables"][1] must be a map, got int'),
        ({"tables": {"orders": [1]}}, 'catalog["tables"]["orders"] must be a map, got list'),
        ({"tables": [{"name": "t", "columns": False}]},
         'catalog["tables"][0]["columns"] must be a list or a map, got bool'),
        ({"tables": {"t": {"columns": [{"name": "a"}, "b"]}}},
         'catalog["tables"]["t"]["columns"][1] must be a map, got str'),
        ({"tables": [{"name": "t", "columns": {"c": 1.5}}]},
         'catalog["tables"][0]["columns"]["c"] must be a map, got float'),
        ({"relationships": {"a": 1}}, 'catalog["relationships"] must be a list, got dict'),
        ({"relationships": None, "joins": "x"}, 'catalog["joins"] must be a list, got str'),
        ({"relationships": [None]}, 'catalog["relationships"][0] must be a map, got NoneType'),
        ({"tables": [{"joins": [{}, 2]}]}, 'catalog["tables"][0]["joins"][1] must be a map, got int'),
        ({"tables": [{"name": "t", "columns": [{"name": object()}, 1]}]},
         'catalog["tables"][0]["columns"][1] must be a map, got int'),
    ],
)
def test_malformed_catalogs_raise_type_error_naming_the_path(catalog, message):
    before = copy.deepcopy(catalog) if "object" not in repr(catalog) else None
    with pytest.raises(TypeError) as info:
        ss.CatalogNormalizer.normalize(catalog)
    assert str(info.value) == message
    if before is not None:
        assert catalog == before


@pytest.mark.parametrize("catalog", [[], "x", None, 3])
def test_non_dict_catalog_is_a_type_error(catalog):
    with pytest.raises(TypeError, match="catalog must be a map"):
        ss.CatalogNormalizer.normalize(catalog)


@pytest.mark.parametrize(
    "catalog",
    [{"tables": ""}, {"tables": [{"name": "t", "columns": ""}]}, {"relationships": "", "joins": 0},
     {"tables": [{"columns": 5}]}, {"tables": {"t": None, "u": ""}}],
)
def test_empty_shapes_are_accepted(catalog):
    ss.CatalogNormalizer.normalize(catalog)


def test_single_values_count_as_one_element_lists():
    catalog = ss.CatalogNormalizer.normalize({"tables": [{"name": "t", "tags": "core", "columns": [
        {"name": "c", "synonyms": "client", "tags": 7, "samples": {"a": 1}},
        {"name": "d", "aliases": ["x", 2], "sample_values": "v"},
    ]}]})
    table = catalog.tables[0]
    assert table.tags == ["core"]
    c, d = table.columns
    assert (c.synonyms, c.tags, c.sample_values) == (["client"], ["7"], [{"a": 1}])
    assert (d.synonyms, d.sample_values) == (["x", "2"], ["v"])


def test_relationships_helper():
    rels = ss.CatalogNormalizer._normalize_relationships(
        {"relationships": [], "joins": [{"source_table": "a", "source_column": "b",
                                         "target_table": "c", "target_column": "d", "x": 1},
                                        {"from_table": "a", "from_column": "b", "to_table": "c",
                                         "to_column": ""}]}
    )
    assert rels == [ss.RelationshipMeta("a", "b", "c", "d", extra={"x": 1})]


_KEYS = ["name", "table_name", "table", "source", "column", "column_name", "type", "data_type",
         "description", "comment", "synonyms", "aliases", "tags", "role", "primary_key",
         "is_foreign_key", "sample_values", "nullable", "row_count", "default_date_column",
         "relationships", "joins", "from_table", "left_column", "to_table", "to_column", "other"]
_VALUES = st.none() | st.booleans() | st.integers(-3, 3) | st.floats(allow_nan=True) | st.sampled_from(
    ["", "id", "order_date", "Int64", "String", "metric", "x"]
) | st.lists(st.sampled_from(["a", "b", 1]), max_size=3)


def _raw_map(extra_values):
    return st.dictionaries(st.sampled_from(_KEYS), _VALUES | extra_values, max_size=6)


_COLUMN = _raw_map(st.nothing())
_COLUMNS = st.lists(_COLUMN | _VALUES, max_size=4) | st.dictionaries(
    st.text(max_size=3), _COLUMN | _VALUES, max_size=4
)
_TABLE = st.builds(
    lambda base, columns, has_columns: {**base, **({"columns": columns} if has_columns else {})},
    _raw_map(st.lists(_COLUMN, max_size=2)), _COLUMNS, st.booleans(),
)
_TABLES = st.lists(_TABLE | _VALUES, max_size=4) | st.dictionaries(
    st.text(max_size=3), _TABLE | _VALUES, max_size=4
) | _VALUES
_CATALOG = st.builds(
    lambda base, tables: {**base, "tables": tables}, _raw_map(st.lists(_COLUMN, max_size=2)), _TABLES
)


@given(_CATALOG, st.one_of(st.none(), st.text(max_size=3)))
def test_random_catalogs_normalize_or_raise_the_documented_type_error(catalog, database):
    before = copy.deepcopy(catalog)
    try:
        result = ss.CatalogNormalizer.normalize(catalog, database)
    except TypeError as error:
        assert str(error).startswith("catalog[") and " must be " in str(error)
    else:
        assert all(t.table_name for t in result.tables)
        assert all(c.name for t in result.tables for c in t.columns)
        json.loads(json.dumps(result.to_prompt_dict(), default=str))
        for table in result.tables:
            table.searchable_text()
            for column in table.columns:
                column.searchable_text(table.table_name, table.business_name)
    assert catalog == before or any(isinstance(v, float) and v != v for v in _leaves(catalog))


def _leaves(value):
    if isinstance(value, dict):
        for v in value.values():
            yield from _leaves(v)
    elif isinstance(value, list):
        for v in value:
            yield from _leaves(v)
    else:
        yield value


# ---------------------------------------------------------------- intent


def test_intent_worked_example():
    intent = ss.IntentParser().parse("Show total revenue by region for last 6 months")
    assert intent == ss.QueryIntent(
        "Show total revenue by region for last 6 months",
        ["total", "revenue", "region", "last", "6", "months"],
        has_time_filter=True, wants_metric=True, wants_grouping=True,
        metric_terms=["revenue", "total"], dimension_terms=["region"], date_terms=["last"],
    )


@pytest.mark.parametrize(
    "question, field, value",
    [
        ("Top 10 products by sales", "top_n", 10),
        ("Top 10 products by sales", "wants_grouping", True),
        ("Top 10 products by sales", "dimension_terms", []),
        ("top10 customers", "top_n", None),
        ("laptop 3", "top_n", None),
        ("top 10k", "top_n", None),
        ("Top 5 and top 7 items", "top_n", 5),
        ("top \u0663\u0664 rows", "top_n", 34),
        ("show me the bottom 3 regions", "bottom_n", 3),
        ("show me the bottom 3 regions", "wants_metric", True),
        ("list all records from orders", "tokens", ["orders"]),
        ("list all records from orders", "wants_table_rows", True),
        ("show rowsets", "wants_table_rows", True),
        ("daily active users", "wants_trend", True),
        ("trend of cost", "has_time_filter", True),
        ("by region", "wants_grouping", True),
        ("revenue,by,x", "wants_grouping", False),
        ("", "tokens", []),
    ],
)
def test_intent_signals(question, field, value):
    assert getattr(ss.IntentParser().parse(question), field) == value


def test_intent_parser_is_stateless_and_picklable():
    parser = ss.IntentParser()
    assert pickle.loads(pickle.dumps(parser)).parse("x") == parser.parse("x")


class _Opaque:
    def __str__(self):
        return "opaque!"


@given(_CATALOG, st.one_of(st.none(), st.text(max_size=3)), st.booleans())
def test_reading_in_place_equals_reading_converted(catalog, database, with_object):
    if with_object:
        catalog = {**catalog, "owner": _Opaque()}

    def run(normalize):
        try:
            return normalize(catalog, database)
        except TypeError as error:
            return str(error)

    in_place, converted = run(ss.CatalogNormalizer.normalize), run(ss.CatalogNormalizer._normalize_converted)
    assert in_place == converted or repr(in_place) == repr(converted)  # NaN never equals itself


def test_in_place_reading_takes_tuples_subclasses_and_objects():
    class Name(str):
        pass

    catalog = {"tables": ({"name": Name("t"), "columns": ({"name": "c", "samples": (1, 2)},)},),
               "extra": _Opaque()}
    result = ss.CatalogNormalizer.normalize(catalog)
    assert result.tables[0].table_name == "t"
    assert result.tables[0].columns[0].sample_values == [1, 2]
    assert str(result.extra["extra"]) == "opaque!"
    with pytest.raises(OverflowError):
        ss.CatalogNormalizer.normalize({"tables": [{"name": "t", "big": 10**30}]})


@pytest.mark.parametrize("record, field, value", [
    (ss.SelectorConfig(embedding_model_name_or_path="m"), "embedding_model_name_or_path", "m"),
    (ss.SelectorConfig(max_output_chars=5), "max_output_chars", 5),
    (ss.TableMeta("t", default_date_column="d", row_count=3), "default_date_column", "d"),
    (ss.TableMeta("t", row_count=3), "row_count", 3),
    (ss.ColumnMeta("c", nullable=False), "nullable", False),
])
def test_optional_fields_can_be_set_back_to_none(record, field, value):
    assert getattr(record, field) == value
    setattr(record, field, None)
    assert getattr(record, field) is None


@pytest.mark.parametrize("record, field", [(ss.SelectorConfig(), "strategy"),
                                           (ss.SelectorConfig(), "top_k_tables"),
                                           (ss.TableMeta("t"), "table_name")])
def test_none_in_a_required_field_is_a_type_error_naming_it(record, field):
    with pytest.raises(TypeError, match=rf"\.{field} must be"):
        setattr(record, field, None)
