"""tessarin.turnmend surface: text primitives, vocabulary, records and the
resolver's methods as Python sees them."""

import copy
import pickle

import pytest

import tessarin
from tessarin import turnmend as tm
from tessarin.turnmend import (
    ContextCandidate,
    ContextResolution,
    IntentDelta,
    ResolverConfig,
    Turnmend,
    TurnContextCard,
)

from support import IDENTIFIER_SPLITS, TOKEN_ESTIMATES, expect_result

# ---------------------------------------------------------------- text primitives


@pytest.mark.parametrize("value, expected", [(None, ""), *IDENTIFIER_SPLITS])
def test_split_identifier(value, expected):
    assert tm.split_identifier(value) == expected


@pytest.mark.parametrize(
    "text, stopwords, expected",
    [
        ("Show revenue by orderDate", None, ["revenue", "order", "date"]),
        ("Show revenue by orderDate", set(), ["show", "revenue", "by", "order", "date"]),
        ("table:sales_orders", None, ["table", "sales", "orders"]),
        ("v2_metrics", None, ["v2", "metrics"]),
        ("café", None, ["caf"]),
        ("show it to me", None, []),
        (None, None, []),
        (["sales_orders", 2023], None, ["sales", "orders", "2023"]),
        ([], None, []),
        (2.0, None, ["2", "0"]),
        ({"k": None}, frozenset(), ["k", "none"]),
        ("revenue region", {"region"}, ["revenue"]),
        ("a\u00a0b", frozenset(), ["a", "b"]),
    ],
)
def test_tokenize(text, stopwords, expected):
    assert tm.tokenize(text, stopwords) == expected


def test_tokenize_default_stopwords_is_keyword():
    assert tm.tokenize(text="the revenue", stopwords=None) == ["revenue"]


@pytest.mark.parametrize(
    "value, max_chars, expected",
    [
        (None, 500, ""),
        ("x" * 600, 500, "x" * 497 + "..."),
        ("y" * 500, 500, "y" * 500),
        ("y" * 501, 500, "y" * 497 + "..."),
        ("a\n\nb  c\u3000", 500, "a b c"),
        ({}, 500, "{}"),
        ({"k": [1, "é", None]}, 500, '{"k": [1, "é", null]}'),
        ("abcdef ghij", 10, "abcdef..."),
    ],
)
def test_compact_text(value, max_chars, expected):
    assert tm.compact_text(value, max_chars) == expected


def test_compact_text_keeps_opaque_values_as_text():
    class Thing:
        def __str__(self):
            return "thing  one"

    assert tm.compact_text({"t": Thing()}) == '{"t": "thing one"}'


@pytest.mark.parametrize("text, cpt, expected", TOKEN_ESTIMATES)
def test_estimate_tokens(text, cpt, expected):
    expect_result(lambda: tm.estimate_tokens(text, cpt), expected)


@pytest.mark.parametrize(
    "a, b, expected",
    [
        (["sales", "region", "sales"], ["region", "month"], 0.5),
        ({"a", "b"}, ("a", "b", "c"), 1.0),
        ([], ["a"], 0.0),
        (["a"], [], 0.0),
    ],
)
def test_overlap_score(a, b, expected):
    assert tm.overlap_score(a, b) == expected


def test_now_ms_is_wall_clock():
    import time

    before = int(time.time() * 1000)
    assert before - 5 <= tm.now_ms() <= int(time.time() * 1000) + 5


# ---------------------------------------------------------------- vocabulary


def test_word_sets_and_phrase_lists():
    assert isinstance(tm.STOPWORDS, frozenset) and len(tm.STOPWORDS) == 49
    assert {"i", "by", "wise"} <= tm.STOPWORDS and not {"what", "top"} & tm.STOPWORDS
    assert len(tm.FOLLOWUP_TERMS) == 22 and len(tm.MODIFY_TERMS) == 21
    assert not tm.FOLLOWUP_TERMS & tm.MODIFY_TERMS
    assert isinstance(tm.SUGGESTION_PHRASES, tuple) and len(tm.SUGGESTION_PHRASES) == 16
    assert tm.SUGGESTION_PHRASES[-1] == "what else can we get"
    assert tm.CLARIFICATION_RISK_PHRASES[:2] == ("that one", "this one")


def test_alias_tables_and_ordinals():
    assert list(tm.GRANULARITY_ALIASES) == ["hour", "day", "week", "month", "quarter", "year"]
    assert tm.GRANULARITY_ALIASES["hour"] == ("hour", "hourly", "hr")
    assert tm.AGGREGATION_ALIASES["count"][1] == "number of"
    assert all(spellings[0] == key for key, spellings in tm.AGGREGATION_ALIASES.items())
    assert tm.ORDINAL_WORDS == {
        w: i + 1
        for i, w in enumerate(
            "first second third fourth fifth sixth seventh eighth ninth tenth".split()
        )
    }
    assert tm._DURATION_UNITS_PATTERN == "hour|day|week|month|quarter|year"


@pytest.mark.parametrize(
    "name, text, ignorecase",
    [
        ("_WORD_RE", "[a-zA-Z0-9_]+", False),
        ("_CAMEL_RE", "(?<!^)(?=[A-Z])", False),
        ("TOP_N_RE", r"\btop\s+(\d+)\b", True),
        ("BOTTOM_N_RE", r"\bbottom\s+(\d+)\b", True),
        ("ORDINAL_SUFFIX_RE", r"\d+\s*(?:st|nd|rd|th)\b", True),
        ("GENERIC_NUMBER_RE", r"\$?\d+(?:\.\d+)?%?", False),
        (
            "BACKREF_NUMERIC_RE",
            r"\b(?:last|previous)\s+(?:\d+\s*)?(?:hour|day|week|month|quarter|year)s?\b",
            True,
        ),
    ],
)
def test_patterns(name, text, ignorecase):
    pattern = getattr(tm, name)
    assert pattern.pattern == text and pattern.ignorecase is ignorecase


def test_pattern_examples():
    assert [m.group() for m in tm.GENERIC_NUMBER_RE.finditer(
        "set budget to $1500, margin 12.5% over 30 days")] == ["$1500", "12.5%", "30"]
    for text in ["turn 3", "Chart #2", "#7", "2nd question", "3 result"]:
        assert tm.TURN_REF_RE.search(text), text
    assert tm.TURN_REF_RE.search("return 5 rows").group() == "turn 5"
    assert tm.BACKREF_NUMERIC_RE.search("Previous Quarter")
    assert not tm.BACKREF_NUMERIC_RE.search("previous chart")
    assert tm._CAMEL_RE.sub(" ", "orderDate") == "order Date"


@pytest.mark.parametrize(
    "enum_cls, count, first, last",
    [
        (tm.ContextType, 6, "FRESH_QUESTION", "clarification_needed"),
        (tm.TaskType, 8, "TEXT_TO_SQL", "unknown"),
        (tm.ArtifactType, 8, "SQL", "unknown"),
        (tm.OperationType, 15, "NONE", "unknown_modify"),
    ],
)
def test_vocabularies_are_str_enums(enum_cls, count, first, last):
    members = list(enum_cls)
    assert len(members) == count
    assert members[0].name == first and members[-1] == last
    assert enum_cls.__module__ == "tessarin.turnmend"
    assert isinstance(members[0], str)


def test_public_names():
    for name in tm.__all__:
        assert hasattr(tm, name), name
    for name in ["resolve_context", "Turnmend", "TurnContextCard", "STOPWORDS", "ContextType"]:
        assert name in tm.__all__


# ---------------------------------------------------------------- records


def test_card_defaults():
    card = TurnContextCard(5)
    assert card.turn_id == 5 and card.task_type == "unknown" and card.artifact_type == "unknown"
    assert card.quality_score == 1.0 and card.is_active is True
    assert card.topic_keywords == [] and card.query_state == {} and card.config is None
    assert abs(card.created_at_ms - tm.now_ms()) < 5000


def test_records_construct_by_position_and_keyword():
    a = TurnContextCard(1, "s", "t", "q")
    b = TurnContextCard(turn_id=1, session_id="s", tenant_id="t", user_question="q",
                        created_at_ms=a.created_at_ms)
    assert a == b
    assert ContextCandidate(3, 0.5) == ContextCandidate(turn_id=3, score=0.5, reasons=[])
    r = ContextResolution("fresh_question", "q", "q", "q")
    assert r.route == "generate" and r.reason == "" and r.intent_delta == IntentDelta()
    assert ResolverConfig(20).max_recent_cards == 20
    assert ResolverConfig().followup_threshold == 0.58


@pytest.mark.parametrize(
    "make, word",
    [
        (lambda: TurnContextCard(), "turn_id"),
        (lambda: TurnContextCard(1, colour="red"), "colour"),
        (lambda: TurnContextCard(turn_id="1"), "turn_id"),
        (lambda: TurnContextCard(1, entities="abc"), "entities"),
        (lambda: ContextCandidate(1), "score"),
        (lambda: ContextCandidate(1, 0.5, card="not a card"), "card"),
        (lambda: ContextResolution("a", "b", "c"), "metadata_search_query"),
        (lambda: IntentDelta(top_n="3"), "top_n"),
        (lambda: ResolverConfig(use_llm_fallback=1), "use_llm_fallback"),
    ],
)
def test_record_type_errors_name_the_field(make, word):
    with pytest.raises(TypeError, match=word):
        make()


def test_fields_are_assignable_and_lists_come_back_as_lists():
    card = TurnContextCard(1)
    card.user_question = "Revenue"
    card.topic_keywords = ("a", "b")
    assert card.user_question == "Revenue" and card.topic_keywords == ["a", "b"]
    r = ContextResolution("fresh_question", "q", "q", "q", required_columns={"t": ["c"]})
    assert isinstance(r.required_columns, dict) and r.required_columns == {"t": ["c"]}
    r.intent_delta.operation = "compare"
    assert r.intent_delta.operation == "compare"


def test_repr_is_dataclass_style():
    assert repr(ContextCandidate(2, 0.25)) == (
        "ContextCandidate(turn_id=2, score=0.25, reasons=[], card=None)"
    )
    assert repr(IntentDelta()).startswith("IntentDelta(operation='none', granularity=None,")


def test_copy_deepcopy_pickle():
    card = TurnContextCard(1, query_state={"tables": ["t"]}, extra={"k": [1, 2]})
    cand = ContextCandidate(1, 0.5, ["active card"], card)
    res = ContextResolution("fresh_question", "q", "q", "q", candidates=[cand],
                            intent_delta=IntentDelta(top_n=5))
    for value in [card, cand, res, ResolverConfig(max_recent_cards=3), IntentDelta(top_n=2)]:
        assert copy.copy(value) == value
        assert copy.deepcopy(value) == value
        assert pickle.loads(pickle.dumps(value)) == value
    assert copy.copy(cand).card is card
    assert copy.deepcopy(cand).card is not card
    assert type(pickle.loads(pickle.dumps(res))).__module__ == "tessarin.turnmend"


def test_candidates_are_read_back_safely():
    card = TurnContextCard(1)
    res = ContextResolution("fresh_question", "q", "q", "q",
                            candidates=[ContextCandidate(1, 0.5, card=card)])
    first = res.candidates[0]
    res.candidates = []
    assert first.turn_id == 1 and first.card is card


def test_card_operations():
    card = TurnContextCard(
        1,
        user_question="Show total revenue by region for last 6 months",
        resolved_question="Show total revenue by region for last 6 months",
        task_type="text_to_sql",
        artifact_type="sql",
        query_state={"active_tables": ["sales_orders"],
                     "active_columns": ["revenue", "region", "order_date"]},
    )
    assert card.required_columns_by_table() == {"sales_orders": ["revenue", "region", "order_date"]}
    assert card.active_tables() == ["sales_orders"]
    assert card.tokens()[:2] == ["total", "revenue"]
    assert TurnContextCard(2).searchable_text().endswith("{} {} {}")
    summary = card.to_resolver_summary(max_chars=10)
    assert list(summary)[:4] == ["turn_id", "task_type", "artifact_type", "artifact_id"]
    assert summary["query_state"] == {"active_tables": ["sales_orders"],
                                      "active_columns": ["revenue", "region", "order_date"]}
    assert list(TurnContextCard._compact_state({"sort": 1, "tables": 2, "x": 3})) == [
        "tables", "sort"]


def test_to_dict_forms():
    cand = ContextCandidate(3, 0.1234565, ["active card"], TurnContextCard(3))
    assert cand.to_dict() == {"turn_id": 3, "score": 0.123456, "reasons": ["active card"]}
    res = ContextResolution("fresh_question", "q", "q", "q", candidates=[cand])
    full, short = res.to_dict(), res.to_dict(include_candidates=False)
    assert len(full) == 17 and len(short) == 16 and "candidates" not in short
    assert list(full)[14] == "candidates" and list(full)[-1] == "extra"
    assert full["intent_delta"] == IntentDelta().to_dict() and len(full["intent_delta"]) == 11


# ---------------------------------------------------------------- cards from maps


def test_card_from_dict():
    card = TurnContextCard.from_dict({"turn_id": 7, "entities": ("a",), "quality_score": 1})
    assert card.turn_id == 7 and card.entities == ["a"] and card.quality_score == 1.0


@pytest.mark.parametrize(
    "mapping, word",
    [
        ({"turn_id": 1, "colour": "red"}, "colour"),
        ({"user_question": "x"}, "turn_id"),
        ({"turn_id": "1"}, "turn_id"),
        ({"turn_id": 1, "query_state": []}, "query_state"),
        ({"turn_id": 1, "topic_keywords": [1]}, "topic_keywords"),
        ({"turn_id": 1, "is_active": "yes"}, "is_active"),
    ],
)
def test_card_map_errors_are_type_errors_naming_the_key(mapping, word):
    with pytest.raises(TypeError, match=word):
        TurnContextCard.from_dict(mapping)
    with pytest.raises(TypeError, match=word):
        Turnmend().resolve("make it weekly", [mapping])


# ---------------------------------------------------------------- resolver surface


def test_resolver_construction():
    config = ResolverConfig(max_recent_cards=4)
    fallback = lambda q, s, p: None  # noqa: E731
    resolver = Turnmend(config, fallback)
    assert resolver.config == config and resolver.llm_fallback is fallback
    assert Turnmend().config == ResolverConfig() and Turnmend().llm_fallback is None
    with pytest.raises(TypeError):
        Turnmend(llm_fallback=5)
    with pytest.raises(TypeError):
        Turnmend(config={"max_recent_cards": 1})


def test_resolve_takes_ids_by_keyword_only():
    resolver = Turnmend()
    with pytest.raises(TypeError):
        resolver.resolve("x", [], 3)
    assert resolver.resolve("x", None, active_turn_id=3, preferred_task_type="rag")


CARD = TurnContextCard(4, user_question="Revenue by region", query_state={"tables": ["t"]})
CAND = ContextCandidate(4, 0.7, [], CARD)


@pytest.mark.parametrize(
    "method, kwargs",
    [
        ("_fresh", dict(current_question="q", candidates=None, reason="r")),
        ("_clarify", dict(current_question="q", candidates=[CAND], reason="r", question="?")),
        ("_build_contextual_resolution",
         dict(context_type="follow_up_latest", current_question="q", base_candidate=CAND,
              intent_delta=IntentDelta(), candidates=[CAND], route="generate", reason="r")),
        ("_finalize_resolution",
         dict(resolution=ContextResolution("a", "b", "c", "d"), cards=[CARD], preliminary={})),
        ("_normalize_cards", dict(cards=[CARD, None])),
        ("_recent_cards", dict(cards=[CARD])),
        ("_latest_active_turn_id", dict(cards=[None, CARD])),
        ("_rank_candidates",
         dict(current_question="q", cards=[CARD], explicit_turn_id=None,
              explicit_artifact_ref=None, active_turn_id=None, preferred_task_type=None)),
        ("_choose_base_for_contextual_request",
         dict(best=CAND, second=None, current_question="q", ambiguous_reference=False)),
        ("_detect_explicit_turn_reference", dict(question="turn 3")),
        ("_detect_artifact_reference", dict(question="chart 3")),
        ("_artifact_matches", dict(ref="turn_4", card=CARD)),
        ("_build_ambiguity_question", dict(candidates=[CAND])),
        ("_is_suggestion_request", dict(question="q")),
        ("_has_followup_signal", dict(question="q")),
        ("_has_modify_signal", dict(question="q", delta=IntentDelta())),
        ("_has_pronoun_followup", dict(question="q")),
        ("_has_ambiguous_reference", dict(question="q")),
        ("_looks_like_complete_question", dict(question="q")),
        ("_extract_intent_delta", dict(question="q")),
        ("_extract_metric_hint", dict(q="total sales")),
        ("_extract_dimension_hint", dict(q="by region")),
        ("_extract_filter_hint", dict(q="only east")),
        ("_clean_hint", dict(hint="region for x")),
        ("_compose_resolved_question",
         dict(current_question="q", base=CARD, delta=IntentDelta(),
              context_type="follow_up_latest", candidates=[CAND], base_candidate=CAND)),
        ("_merge_top_candidate_states", dict(base_candidate=CAND, candidates=[CAND], top_n=3)),
        ("_state_to_question_parts", dict(state={})),
        ("_filters_to_text", dict(filters=None)),
        ("_render_question_parts", dict(parts={"metric": "x"}, fallback="f")),
        ("_apply_numeric_override", dict(parts={"filter": "a > 1"}, delta=IntentDelta())),
        ("_compose_metadata_search_query",
         dict(current_question="q", base=CARD, delta=IntentDelta(), resolved_question="r")),
        ("_constraints_from_base", dict(base=CARD, delta=IntentDelta())),
        ("_limit_query_terms", dict(text="q")),
        ("_try_llm_fallback", dict(current_question="q", cards=[CARD], preliminary={})),
        ("_resolution_from_llm_dict", dict(current_question="q", data={}, cards=[CARD])),
    ],
)
def test_every_step_is_a_method_with_its_argument_names(method, kwargs):
    getattr(Turnmend(), method)(**kwargs)
    getattr(Turnmend(), method)(*kwargs.values())


def test_static_steps():
    assert Turnmend._clean_hint("region for last month") == "region"
    assert TurnContextCard._compact_state({"limit": 3}) == {"limit": 3}


def test_methods_return_the_callers_objects():
    resolver = Turnmend()
    other = ContextCandidate(5, 0.2, [], TurnContextCard(5))
    assert resolver._choose_base_for_contextual_request(CAND, other, "q", False) is CAND
    assert resolver._normalize_cards([CARD, None, 3, "x"])[0] is CARD
    built = resolver._normalize_cards([{"turn_id": 2}])
    assert isinstance(built[0], TurnContextCard) and built[0].turn_id == 2
    assert resolver._recent_cards([CARD])[0] is CARD
    ranked = resolver._rank_candidates("q", [CARD])
    assert ranked[0].card is CARD


def test_apply_numeric_override_changes_parts_in_place():
    parts = {"metric": "sum amount", "filter": "amount > 100 and status = 5"}
    assert Turnmend()._apply_numeric_override(parts, IntentDelta(replace_numeric_value=250.0)) is None
    assert parts == {"metric": "sum amount", "filter": "amount > 100 and status = 250"}


def test_constraints_come_back_as_a_pair():
    tables, columns = Turnmend()._constraints_from_base(CARD, IntentDelta())
    assert tables == ["t"] and isinstance(columns, dict)


def test_module_values_shared_with_json_services():
    res = Turnmend().resolve("hello there friend")
    assert tessarin.parse_json(tessarin.json_text(res.to_dict())) == res.to_dict()
