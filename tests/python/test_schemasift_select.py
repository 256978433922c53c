"""Selector surface of tessarin.schemasift: select and its steps, the budget,
metrics, backends and the demonstration run."""

import copy
import hashlib
import json
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tessarin
from tessarin import schemasift as ss

from support import shuffled_keys

QUESTION = "Show total revenue by region for last 6 months"
DEMO_SHA256 = "fd8aaff522acc06b02447ed2310cc98e4d438899b1a04d70b7b91c3c6ccc671c"


def lexical(**fields):
    return ss.Schemasift(ss.SelectorConfig(strategy="lexical", **fields))


def measure(value):
    return len(tessarin.json_text(value, ensure_ascii=False))


def table_names(result):
    return [t["table_name"] for t in result.selected_metadata["tables"]]


def shop():
    return {
        "database": "shop",
        "tables": [
            {
                "table_name": "orders",
                "default_date_column": "order_date",
                "columns": [
                    {"name": "order_id", "is_primary_key": True},
                    {"name": "order_date", "type": "Date"},
                    {"name": "amount", "type": "Float64", "description": "Order amount"},
                ],
            },
            {"table_name": "customers", "columns": {"customer_id": {"primary_key": 1}, "city": {}}},
            {"table_name": "products", "columns": [{"name": "price", "type": "Int64"}]},
        ],
        "relationships": [
            {"from_table": "orders", "from_column": "customer_id", "to_table": "customers",
             "to_column": "customer_id"},
        ],
    }


# ---------------------------------------------------------------- pipeline


@pytest.mark.parametrize("question", ["", "   ", "\t\n", "\u3000"])
def test_blank_question_is_a_value_error_before_the_catalog_is_read(question):
    with pytest.raises(ValueError, match="^question is required$"):
        ss.Schemasift().select(question, {"tables": 7})
    with pytest.raises(ValueError, match="^question is required$"):
        ss.select_metadata(question, {"tables": 7})


def test_constructor_and_keyword_only_arguments():
    config = ss.SelectorConfig(strategy="lexical")
    selector = ss.Schemasift(config)
    assert selector.config is config
    assert isinstance(selector.intent_parser, ss.IntentParser)
    assert ss.Schemasift().config == ss.SelectorConfig()
    with pytest.raises(TypeError):
        selector.select("q", shop(), "db")
    with pytest.raises(TypeError):
        ss.Schemasift(config=object())


def test_metadata_catalog_is_changed_in_place_and_dict_never():
    raw = shop()
    before = copy.deepcopy(raw)
    catalog = ss.CatalogNormalizer.normalize(raw)
    result = lexical().select("orders", catalog, database="x", excluded_tables=["customers"])
    assert catalog.database == "x"
    assert [t.table_name for t in catalog.tables] == ["orders", "products"]
    assert result.metrics.input_tables == 2
    lexical().select("orders", raw, database="x", excluded_tables=["customers"])
    assert raw == before


def test_database_empty_keeps_and_given_wins_over_the_map():
    assert lexical().select("orders", shop(), database="").selected_metadata["database"] == "shop"
    assert lexical().select("orders", shop(), database="x").selected_metadata["database"] == "x"


def test_required_and_excluded_names():
    selector = lexical(top_k_tables=1)
    both = selector.select("orders", shop(), required_tables=["products"], excluded_tables=["products"])
    assert "products" not in table_names(both)
    required = selector.select("orders", shop(), required_tables=("products",))
    assert table_names(required) == ["products"]
    cols = selector.select(
        "orders", shop(), required_columns={"orders": ["amount"]}, excluded_columns={"orders": ["order_id"]}
    )
    names = [c["name"] for c in cols.selected_metadata["tables"][0]["columns"]]
    assert "amount" in names and "order_id" not in names


@pytest.mark.parametrize(
    "kwargs",
    [{"required_tables": "orders"}, {"required_tables": [1]}, {"required_columns": ["a"]},
     {"excluded_columns": {"orders": "amount"}}, {"database": 5}],
)
def test_malformed_named_arguments_are_type_errors(kwargs):
    with pytest.raises(TypeError):
        lexical().select("orders", shop(), **kwargs)


@pytest.mark.parametrize(
    "catalog, path",
    [({"tables": ["x"]}, 'catalog["tables"][0]'), ({"tables": 3}, 'catalog["tables"]'), ([], "catalog")],
)
def test_malformed_catalogs_name_the_path(catalog, path):
    with pytest.raises(TypeError, match=path.replace("[", r"\[").replace("]", r"\]")):
        lexical().select("orders", catalog)


def test_debug_record():
    tables = [{"table_name": f"t{i}"} for i in range(25)]
    result = lexical().select("t3", {"tables": tables})
    assert list(result.debug) == [
        "table_rankings", "selected_column_rankings", "strategy", "tfidf_available", "embedding_available",
    ]
    rankings = result.debug["table_rankings"]
    assert len(rankings) == 20 and rankings[0]["table_name"] == "t3"
    assert [r["table_name"] for r in rankings[1:4]] == ["t0", "t1", "t2"]
    assert lexical(include_debug=False).select("t3", {"tables": tables}).debug == {}


def test_nothing_matches_still_one_table_and_no_tables_none():
    assert len(table_names(lexical().select("zzz", shop()))) == 1
    assert lexical().select("zzz", {}).selected_metadata["tables"] == []


def test_embeddings_without_a_model_are_not_available():
    result = ss.select_metadata("revenue", ss.demo_catalog(), use_embeddings=True)
    assert result.debug["embedding_available"] is False
    assert result.debug["tfidf_available"] in (True, False)


# ---------------------------------------------------------------- steps


def test_lexical_steps():
    reasons = ["kept"]
    score = ss.Schemasift._token_overlap_score({"revenue", "region", "total"}, {"revenue", "amount"},
                                               10.0, reasons, "column name")
    assert score == 3.333333333333333
    assert reasons == ["kept", "column name overlap: revenue"]
    assert [ss.Schemasift._normalize_lexical(x) for x in (0.0, -3.0, 10.0, 5.0)] == [
        0.0, 0.0, 0.5, 0.3333333333333333]
    selector = ss.Schemasift()
    intent = selector.intent_parser.parse("count sales date and created date")
    col = ss.ColumnMeta("x", role="primary_key", synonyms=["sales date", "created date"])
    score, why = selector._lexical_score_column("count sales date and created date", ss.TableMeta("t"), col, intent)
    assert why[-3:] == ["exact synonym phrase: sales date", "exact synonym phrase: created date",
                        "id column useful for count intent"]
    assert selector._lexical_score_table("q", ss.TableMeta("t"), intent) == (0.0, [])


def test_blend_and_reduction():
    hybrid = ss.Schemasift()
    assert hybrid._blend_scores(0.5, 0.2, 0.0) == 0.4470588235294118
    assert hybrid._blend_scores(0.4, 0.0, 0.0) == 0.39999999999999997
    assert ss.Schemasift(ss.SelectorConfig(strategy="tfidf"))._blend_scores(0.4, 0.0, 0.3) == 0.4
    assert ss.Schemasift(ss.SelectorConfig(lexical_alpha=0.0))._blend_scores(0.4, 0.0, 0.0) == 0.0
    assert ss.Schemasift._reduction_percent(3, 1) == 66.66666666666666
    assert ss.Schemasift._reduction_percent(4, 10) == 0.0
    assert ss.Schemasift._reduction_percent(0, 0) == 0.0


def test_choice_steps_keep_the_callers_objects():
    selector = lexical(min_table_score=0.9)
    entries = [ss.ScoredTable(ss.TableMeta(n), s) for n, s in (("a", 0.1), ("b", 0.3), ("c", 0.3))]
    chosen = selector._choose_tables(entries, set())
    assert chosen == [entries[1]] and chosen[0] is entries[1]
    ranked = [ss.ScoredColumn(ss.ColumnMeta("m", role="metric"), 0.5),
              ss.ScoredColumn(ss.ColumnMeta("d", role="date"), 0.1)]
    selected = []
    intent = ss.QueryIntent("q", has_time_filter=True, wants_metric=True)
    out = ss.Schemasift._ensure_intent_columns(ss.TableMeta("t"), ranked, selected, intent)
    assert out is selected and [c.column.name for c in selected] == ["d", "m"]
    assert selected[0] is ranked[1]


def test_pipeline_steps_compose_to_select():
    selector = lexical()
    catalog = ss.CatalogNormalizer.normalize(shop())
    intent = selector.intent_parser.parse("order amount last month")
    scored = selector._score_tables("order amount last month", catalog, intent, {}, {}, set())
    assert [t.table.table_name for t in scored] == ["orders", "customers", "products"]
    chosen = selector._choose_tables(scored, set())
    for entry in chosen:
        entry.columns = selector._score_and_choose_columns(
            "order amount last month", entry.table, intent, {}, {}, set(), set())
    rels = selector._select_relationships(catalog, chosen)
    built = selector._build_selected_metadata(catalog, chosen, rels)
    assert selector._apply_output_budget(built) is built
    assert built == selector.select("order amount last month", catalog).selected_metadata
    docs = ss.Schemasift._build_doc_texts(catalog)
    assert list(docs)[:2] == ["table::orders", "column::orders.order_id"]
    assert selector._get_tfidf_scores("q", docs) == {}


def test_backends_report_themselves_unavailable():
    tfidf = ss.OptionalTfidfBackend()
    tfidf.build({"a": "text"})
    assert tfidf.score("q") == {} or tfidf.available
    embedding = ss.OptionalEmbeddingBackend()
    assert embedding.available is False and embedding.model is None
    assert embedding.model_name_or_path is None
    embedding.build({"a": "x"})
    assert embedding.score("x") == {} and embedding.doc_ids == []


# ---------------------------------------------------------------- budget


def budget_catalog():
    columns = [{"name": f"c{i}", "description": "about " * 5, "synonyms": ["alias"], "samples": [i]}
               for i in range(10)]
    return {"tables": [{"table_name": f"t{k}", "description": "table " * 6, "columns": columns}
                       for k in range(3)]}


def select_with_budget(budget):
    config = ss.SelectorConfig(strategy="lexical", max_output_chars=budget, include_sample_values=True,
                               max_columns_per_table=8, min_table_score=0.0, min_column_score=0.0)
    return ss.Schemasift(config).select("t0 t1 t2 c1", budget_catalog())


def test_budget_stages():
    full = select_with_budget(None).selected_metadata
    assert select_with_budget(measure(full)).selected_metadata == full
    stage1 = select_with_budget(measure(full) - 1).selected_metadata
    assert all("description" not in t for t in stage1["tables"])
    assert all(set(c) <= {"name", "type", "role", "score"} for t in stage1["tables"] for c in t["columns"])
    assert [len(t["columns"]) for t in stage1["tables"]] == [8, 8, 8]
    stage2 = select_with_budget(measure(stage1) - 1).selected_metadata
    assert [len(t["columns"]) for t in stage2["tables"]] == [4, 4, 4]
    stage3 = select_with_budget(1)
    assert len(stage3.selected_metadata["tables"]) == 1 and stage3.selected_metadata["relationships"] == []
    assert stage3.metrics.output_tables == 1 and stage3.metrics.output_chars > 1


# ---------------------------------------------------------------- properties

names = st.text(alphabet="abcXY_-. é3K\u212a", min_size=0, max_size=8)
values = st.recursive(
    st.none() | st.booleans() | st.integers(-10, 10) | st.floats(allow_nan=True) | st.text(max_size=5),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=3), inner, max_size=3),
    max_leaves=6,
)
column_maps = st.fixed_dictionaries(
    {"name": names},
    optional={"type": st.sampled_from(["String", "Int64", "Date", "Bool", ""]), "description": names,
              "synonyms": st.lists(names, max_size=3) | names, "role": st.sampled_from(["metric", "date", "kpi"]),
              "primary_key": st.booleans(), "sample_values": st.lists(values, max_size=3), "unit": values},
)
table_maps = st.fixed_dictionaries(
    {"name": names},
    optional={"columns": st.lists(column_maps, max_size=4) | st.dictionaries(names, column_maps, max_size=3),
              "tags": st.lists(names, max_size=2), "row_count": st.integers(0, 5), "business_name": names},
)
catalogs = st.fixed_dictionaries(
    {},
    optional={
        "tables": st.lists(table_maps, max_size=4) | st.dictionaries(names, table_maps, max_size=3),
        "db": names,
        "joins": st.lists(st.fixed_dictionaries(
            {"left_table": names, "left_column": names, "right_table": names, "right_column": names}), max_size=2),
        "owner": values,
    },
)
questions = st.text(alphabet="abcXYé KType_ 3", min_size=1, max_size=20).filter(lambda q: q.strip())


@settings(max_examples=120, deadline=None)
@given(catalog=catalogs, question=questions, budget=st.none() | st.integers(0, 400),
       strategy=st.sampled_from(["lexical", "hybrid", "other"]))
def test_results_round_trip_and_measure(catalog, question, budget, strategy):
    before = copy.deepcopy(catalog)
    config = ss.SelectorConfig(strategy=strategy, max_output_chars=budget, include_sample_values=True)
    result = ss.Schemasift(config).select(question, catalog)
    assert catalog == before or repr(catalog) == repr(before)  # NaN never equals itself
    as_dict = result.to_dict(True)
    assert json.loads(tessarin.json_text(as_dict)) is not None
    assert tessarin.parse_json(tessarin.json_text(as_dict)) is not None
    metadata = result.selected_metadata
    assert result.metrics.output_chars == measure(metadata)
    assert result.metrics.output_tables == len(metadata["tables"])
    assert result.metrics.output_columns == sum(len(t["columns"]) for t in metadata["tables"])
    if budget and result.metrics.output_chars > budget:
        assert len(metadata["tables"]) <= 1 and metadata["relationships"] == []
    if budget and metadata["tables"]:
        unbudgeted = ss.Schemasift(ss.SelectorConfig(strategy=strategy, include_sample_values=True)).select(
            question, catalog).selected_metadata
        if measure(unbudgeted) <= budget:
            assert metadata == unbudgeted


@settings(max_examples=60, deadline=None)
@given(catalog=catalogs, seed=st.randoms())
def test_catalog_hash_ignores_key_order(catalog, seed):
    normalized = ss.CatalogNormalizer.normalize(catalog)
    a = lexical().select("q", normalized).metrics.catalog_hash
    assert a == ss.stable_hash(normalized.to_prompt_dict())
    for table in normalized.tables:
        for col in table.columns:
            col.extra = shuffled_keys(col.extra, seed)
    assert lexical().select("q", normalized).metrics.catalog_hash == a


# ---------------------------------------------------------------- demonstration


def test_demo_catalog_is_fresh_and_shaped():
    demo = ss.demo_catalog()
    assert list(demo) == ["database", "tables", "relationships"]
    demo["tables"].clear()
    assert len(ss.demo_catalog()["tables"]) == 2


def test_demonstration_output_bytes():
    run = subprocess.run([sys.executable, "-m", "tessarin.schemasift"], capture_output=True, check=True)
    assert hashlib.sha256(run.stdout).hexdigest() == DEMO_SHA256
    assert run.stdout.decode("utf-8") == ss._demo_output()
    lines = run.stdout.decode("utf-8").split("\n")
    assert '  "tfidf_available": true,' in lines
    assert ("tables 2 \u2192 2 (0.0% cut), columns 8 \u2192 8 (0.0% cut), "
            "tokens ~671 \u2192 ~452 (32.6% cut), compression 1.48x") in lines
