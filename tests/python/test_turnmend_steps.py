"""The resolver's internal steps through the Python API: reference detection,
ranking, signals, intent delta, composition and the metadata query."""

import math

import pytest

from tessarin.turnmend import (
    ContextCandidate,
    IntentDelta,
    ResolverConfig,
    TurnContextCard,
    Turnmend,
)

from support import demo_card_fields

T = Turnmend()


def demo_card(**changes):
    """The demonstration card without its answer summary, metadata ids and SQL."""
    fields = demo_card_fields()
    for name in ("assistant_answer_summary", "selected_metadata_ids", "sql"):
        del fields[name]
    fields.update(changes)
    return TurnContextCard(**fields)


# ---------------------------------------------------------------- ranking


@pytest.mark.parametrize(
    "message, expected",
    [
        ("show turn 3 again", 3),
        ("compare #12", 12),
        ("use the 2nd chart", 2),
        ("the second answer", 2),
        ("third table", 3),
        ("first, show sales", None),
        ("turn 0", 0),
        ("turn \u0663", 3),
        ("RETURN 5 rows", 5),
    ],
)
def test_explicit_turn_reference(message, expected):
    assert T._detect_explicit_turn_reference(question=message) == expected


@pytest.mark.parametrize(
    "message, expected",
    [
        ("chart #3", "chart_3"),
        ("the table sales", "table_sales"),
        ("make a table of sales", "table_of"),
        ("revenue_2023", "revenue_2023"),
        ("nothing to see", None),
    ],
)
def test_artifact_reference(message, expected):
    assert T._detect_artifact_reference(message) == expected


@pytest.mark.parametrize(
    "ref, card, expected",
    [
        ("revenue_2023", TurnContextCard(turn_id=1, artifact_id="Revenue_2023"), True),
        ("revenue_2023", TurnContextCard(turn_id=1, artifact_label="#revenue_2023"), True),
        ("chart_3", TurnContextCard(turn_id=3, artifact_type="chart"), True),
        ("turn_5", TurnContextCard(turn_id=5), True),
        ("turn_5", TurnContextCard(turn_id=6), False),
    ],
)
def test_artifact_matches(ref, card, expected):
    assert T._artifact_matches(ref=ref, card=card) is expected


def test_rank_candidates_scores_and_reasons():
    cards = [TurnContextCard(turn_id=7, is_active=False), demo_card(turn_id=9)]
    ranked = T._rank_candidates(
        current_question="revenue by category", cards=cards, preferred_task_type="text_to_sql"
    )
    assert [c.turn_id for c in ranked] == [9, 7]
    best = ranked[0]
    assert best.reasons == [
        "active card",
        "latest active turn",
        "recent turn",
        "keyword overlap 0.50",
        "entity/metadata overlap 0.50",
        "task type match: text_to_sql",
    ]
    assert best.score == pytest.approx(0.15 * 2 + 0.25 + 0.5 * 0.35 + 0.5 * 0.2 + 0.1)
    assert best.card is cards[1] or best.card == cards[1]
    assert ranked[1].score == pytest.approx(0.125)
    assert ranked[1].reasons == []


@pytest.mark.parametrize(
    "quality, score", [(0.5, 0.275), (2.0, 0.55), (-1.0, 0.0), (math.nan, 0.55)]
)
def test_rank_candidates_clamps_quality(quality, score):
    (candidate,) = T._rank_candidates("x", [TurnContextCard(turn_id=1, quality_score=quality)])
    assert candidate.score == pytest.approx(score)


@pytest.mark.parametrize(
    "best, second, message, ambiguous, chosen",
    [
        (0.70, 0.65, "x", True, False),
        (0.70, 0.65, "x", False, True),
        (0.70, 0.60, "x", True, True),
        (0.70, 0.62, "x", True, False),
        (0.40, None, "compare it", False, True),
        (0.15, None, "compare it", False, False),
        (0.40, None, "compare sales", False, False),
        (None, None, "compare it", True, False),
    ],
)
def test_choose_base(best, second, message, ambiguous, chosen):
    b = None if best is None else ContextCandidate(turn_id=2, score=best)
    s = None if second is None else ContextCandidate(turn_id=1, score=second)
    result = T._choose_base_for_contextual_request(b, s, message, ambiguous)
    assert (result is not None) is chosen
    if chosen:
        assert result.score == best


def test_ambiguity_question():
    five = TurnContextCard(turn_id=5, resolved_question="Revenue by region")
    four = TurnContextCard(turn_id=4, user_question="Orders by month")
    three = TurnContextCard(turn_id=3)
    candidates = [
        ContextCandidate(turn_id=c.turn_id, score=0.5, card=c) for c in (five, four, three, five)
    ]
    assert T._build_ambiguity_question(candidates) == (
        "Which previous result should I use? turn 5: Revenue by region | "
        "turn 4: Orders by month | turn 3: turn 3"
    )
    assert T._build_ambiguity_question([]) == "Can you clarify what you want me to use as context?"


# ---------------------------------------------------------------- signals

SIGNALS = (
    "_is_suggestion_request",
    "_has_followup_signal",
    "_has_pronoun_followup",
    "_has_ambiguous_reference",
    "_looks_like_complete_question",
)


@pytest.mark.parametrize(
    "message, expected",
    [
        ("", (False, False, False, False, False)),
        ("what else can we get", (True, False, False, False, False)),
        ("that last chart", (False, True, True, True, False)),
        ("sales for the last 6 weeks", (False, True, False, False, True)),
        ("the previous one", (False, True, True, True, False)),
        ("Show sales", (False, False, False, False, True)),
        ("Show", (False, False, False, False, False)),
        # Capitals are split letter by letter before tokenizing.
        ("SHOW ME IT", (False, False, False, True, True)),
        ("show me it", (False, True, True, True, True)),
    ],
)
def test_signals(message, expected):
    assert tuple(getattr(T, name)(question=message) for name in SIGNALS) == expected


def test_modify_signal_reads_terms_and_delta():
    assert T._has_modify_signal("make it so", IntentDelta())
    assert not T._has_modify_signal("SHOW ME IT", IntentDelta())
    assert T._has_modify_signal(question="highest", delta=IntentDelta(operation="change_sort"))


def test_complete_question_uses_the_configured_minimum():
    assert not Turnmend(ResolverConfig(fresh_question_min_tokens=4))._looks_like_complete_question(
        "revenue region month"
    )
    assert T._looks_like_complete_question("revenue region month")


# ---------------------------------------------------------------- intent delta


@pytest.mark.parametrize(
    "message, fields",
    [
        (
            "top 10 customers by revenue",
            dict(operation="set_top_n", top_n=10, dimension_hint="revenue",
                 raw_hints=["top 10", "revenue"], replace_numeric_value=None),
        ),
        (
            "by region for last month",
            dict(operation="add_granularity", granularity="month", dimension_hint="region"),
        ),
        ("make it category based", dict(operation="replace_group_by", dimension_hint="category")),
        ("remove filter on status", dict(operation="remove_filter")),
        (
            "what about 2023",
            dict(operation="replace_numeric_value", replace_numeric_value=2023.0,
                 raw_hints=["numeric_override:2023"]),
        ),
        (
            "show 15% growth",
            dict(operation="compare", replace_numeric_value=15.0, compare_hint="show 15% growth",
                 raw_hints=["numeric_override:15%"]),
        ),
        ("top \u0665", dict(operation="set_top_n", top_n=5, raw_hints=["top 5"])),
        ("top 5 and bottom 3", dict(operation="set_bottom_n", top_n=5, bottom_n=3)),
        ("  ", dict(operation="none", raw_hints=[])),
    ],
)
def test_extract_intent_delta(message, fields):
    delta = T._extract_intent_delta(message)
    for name, value in fields.items():
        assert getattr(delta, name) == value, name


def test_huge_replacement_number_is_infinity():
    delta = T._extract_intent_delta("what about " + "9" * 400)
    assert delta.replace_numeric_value == math.inf


@pytest.mark.parametrize(
    "method, q, expected",
    [
        ("_extract_metric_hint", "total revenue for last year", "revenue"),
        ("_extract_metric_hint", "show the total", "total"),
        ("_extract_metric_hint", "revenue", None),
        ("_extract_dimension_hint", "group by it", None),
        ("_extract_dimension_hint", "by region for last month", "region"),
        ("_extract_filter_hint", "filter by status = 'paid'", "status = 'paid'"),
    ],
)
def test_hint_extractors(method, q, expected):
    assert getattr(T, method)(q=q) == expected


@pytest.mark.parametrize(
    "hint, cleaned",
    [("region for last month", "region"), (" sales  ?.", "sales"), ("it", ""), ("x", "")],
)
def test_clean_hint(hint, cleaned):
    assert Turnmend._clean_hint(hint) == cleaned
    assert T._clean_hint(hint=hint) == cleaned


# ---------------------------------------------------------------- composition


def test_compose_resolved_question_on_the_demo_card():
    card = demo_card()
    delta = T._extract_intent_delta("make it category based")
    candidate = ContextCandidate(turn_id=1, score=0.55, card=card)
    assert (
        T._compose_resolved_question(
            "make it category based", card, delta, "modify_previous_query", [candidate], candidate
        )
        == "Show sum revenue by category where order_date last_6_months"
    )
    assert T._compose_resolved_question(
        current_question="ideas", base=TurnContextCard(turn_id=2), delta=IntentDelta(),
        context_type="suggestion_request",
    ) == "Suggest related analyses or next useful questions based on: the previous request"


def test_merge_top_candidate_states():
    a = TurnContextCard(turn_id=1, query_state={"tables": ["Sales"], "granularity": "day"})
    b = TurnContextCard(turn_id=2, query_state={"tables": ["sales", "orders"], "limit": 5})
    ca = ContextCandidate(turn_id=1, score=0.9, card=a)
    cb = ContextCandidate(turn_id=2, score=0.1, card=b)
    assert T._merge_top_candidate_states(cb, [ca, cb], top_n=1) == {
        "tables": ["sales", "orders"],
        "granularity": "day",
        "limit": 5,
    }


@pytest.mark.parametrize(
    "filters, text",
    [
        (None, ""),
        ([], ""),
        ("plain text", "plain text"),
        ([{"field": "status", "operator": "=", "values": ["paid"]}], "status = ['paid']"),
        ([{"column": "a", "value": 1}, None, ""], "a  1, None"),
        ([{"column": "", "field": "f", "operation": 0, "operator": "<", "value": 2.0}], "f < 2.0"),
    ],
)
def test_filters_to_text(filters, text):
    assert T._filters_to_text(filters) == text


@pytest.mark.parametrize(
    "value, filter_after",
    [(250, "amount > 100 and status = 250"), (0.00001, "amount > 100 and status = 1e-05"),
     (12.5, "amount > 100 and status = 12.5")],
)
def test_apply_numeric_override_changes_the_dict(value, filter_after):
    parts = {"metric": "sum 7", "filter": "amount > 100 and status = 5"}
    T._apply_numeric_override(parts, IntentDelta(replace_numeric_value=value))
    assert parts == {"metric": "sum 7", "filter": filter_after}


@pytest.mark.parametrize(
    "parts, rendered",
    [
        ({}, "FALLBACK"),
        ({"granularity": "day", "metric": "sum x"}, "Show daily sum x"),
        ({"granularity": "week", "grouping": "region", "limit": "top 3"},
         "Show weekly the previous metric by region top 3"),
        ({"metric": "m", "filter": "a  b", "compare": "c"}, "Show m where a b and compare c"),
    ],
)
def test_render_question_parts(parts, rendered):
    assert T._render_question_parts(parts, "FALLBACK") == rendered


def test_state_to_question_parts():
    assert T._state_to_question_parts(demo_card().query_state) == {
        "metric": "sum revenue",
        "grouping": "region",
        "filter": "order_date last_6_months",
        "granularity": "",
    }


# ---------------------------------------------------------------- metadata query


@pytest.mark.parametrize(
    "limit, text, query",
    [
        (3, "sales sales region month region sales", "sales region month"),
        (2, "sales sales region month region sales", "sales region"),
        (40, "show it to me", "show it to me"),
        (40, "", ""),
    ],
)
def test_limit_query_terms(limit, text, query):
    assert Turnmend(ResolverConfig(max_metadata_query_terms=limit))._limit_query_terms(text) == query


def test_constraints_from_base():
    card = demo_card()
    tables, columns = T._constraints_from_base(card, IntentDelta())
    assert tables == ["sales_orders"]
    assert columns == {"sales_orders": ["order_date", "region", "revenue"]}
    regroup = IntentDelta(operation="replace_group_by")
    no_previous = Turnmend(ResolverConfig(include_previous_required_columns=False))
    assert no_previous._constraints_from_base(card, regroup) == (
        ["sales_orders"],
        {"sales_orders": ["order_date", "revenue"]},
    )


def test_metadata_search_query_for_the_demo_road():
    card = demo_card()
    delta = T._extract_intent_delta("make it category based")
    query = T._compose_metadata_search_query(
        "make it category based", card, delta,
        "Show sum revenue by category where order_date last_6_months",
    )
    assert query.split()[:3] == ["sum", "revenue", "category"]
    assert len(set(query.split())) == len(query.split())
    assert "make" not in query.split()
