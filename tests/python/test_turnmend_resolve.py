"""Turnmend.resolve end to end: the two roads of a message, card lists, the
LLM fallback from Python, the demonstration and a property test."""

import json
import math
import os
import pathlib
import subprocess
import sys

import pytest
from hypothesis import given, settings, strategies as st

import tessarin
from tessarin.turnmend import (
    ContextType,
    ResolverConfig,
    Turnmend,
    TurnContextCard,
    resolve_context,
)

from support import demo_card_fields, run_in_threads

HERE = pathlib.Path(__file__).parent


def demo_card():
    return TurnContextCard(**demo_card_fields())


# ---------------------------------------------------------------- the two roads


def test_road_make_it_category_based():
    card = demo_card()
    r = Turnmend().resolve("make it category based", [card])
    assert r.context_type == "modify_previous_query"
    assert r.route == "generate"
    assert r.confidence == 0.55
    assert r.reason == "User message appears to modify or continue a previous result."
    assert r.resolved_question == "Show sum revenue by category where order_date last_6_months"
    assert r.required_tables == ["sales_orders"]
    assert r.base_turn_id == 1 and r.use_previous_state
    assert r.intent_delta.operation == "replace_group_by"
    assert r.intent_delta.dimension_hint == "category"
    assert r.candidates[0].card is card
    assert r.candidates[0].reasons == ["active card", "latest active turn", "recent turn"]


def test_road_consider_monthly():
    r = Turnmend().resolve("consider monthly?", [demo_card()])
    assert r.context_type == "clarification_needed"
    assert r.route == "clarify"
    assert r.reason == "The question looks contextual, but the base turn is ambiguous."
    assert r.clarification_question.startswith("Which previous result should I use? ")
    assert "turn 1: Show total revenue by region for last 6 months" in r.clarification_question


# ---------------------------------------------------------------- the decision list


def test_blank_message():
    r = Turnmend().resolve("   ", [{"bogus": 1}])
    assert (r.context_type, r.current_question, r.resolved_question, r.confidence) == (
        "clarification_needed", "   ", "", 1.0)
    assert r.clarification_question == "Please enter a question or instruction."


@pytest.mark.parametrize(
    "message, context_type, route, confidence",
    [
        ("what else can we get", "suggestion_request", "suggest", 0.9),
        ("  total revenue by region ", "fresh_question", "generate", 0.95),
    ],
)
def test_without_cards(message, context_type, route, confidence):
    for cards in (None, [], [None, 3, "card"]):
        r = Turnmend().resolve(message, cards)
        assert (r.context_type, r.route, r.confidence) == (context_type, route, confidence)
        assert r.current_question == message.strip() and r.candidates == []


def test_mixed_cards_and_none_items():
    record = TurnContextCard(2, user_question="Orders by month")
    r = Turnmend().resolve("compare it", [None, {"turn_id": 1, "user_question": "Revenue"},
                                          record, None])
    assert [c.turn_id for c in r.candidates] == [2, 1]
    assert r.candidates[0].card is record
    assert isinstance(r.candidates[1].card, TurnContextCard)


def test_only_the_most_recent_cards_count():
    cards = [TurnContextCard(i) for i in range(1, 12)]
    r = Turnmend().resolve("show it", cards)
    assert sorted(c.turn_id for c in r.candidates) == list(range(2, 12))


def test_active_turn_and_task_type_are_keywords():
    cards = [TurnContextCard(1, task_type="rag"), TurnContextCard(2)]
    r = Turnmend().resolve("show it again", cards, active_turn_id=1, preferred_task_type="rag")
    first = next(c for c in r.candidates if c.turn_id == 1)
    assert first.reasons == ["active card", "active turn id match", "task type match: rag"]
    assert first.score == pytest.approx(0.15 + 0.15 + 0.5 * 0.25 + 0.1)


def test_resolve_context_function():
    r = resolve_context("make it category based", [demo_card()],
                        config=ResolverConfig(include_debug_candidates=False))
    assert r.context_type == "modify_previous_query" and r.candidates == []
    assert resolve_context(None).context_type == "clarification_needed"


def test_resolve_rejects_non_text_message():
    with pytest.raises(TypeError):
        Turnmend().resolve(42)


# ---------------------------------------------------------------- the fallback


def fallback_resolver(fn, **config):
    return Turnmend(ResolverConfig(use_llm_fallback=True, **config), fn)


class Recorder:
    def __init__(self, answer):
        self.answer = answer
        self.calls = []

    def __call__(self, question, summaries, preliminary):
        self.calls.append((question, summaries, preliminary))
        if isinstance(self.answer, BaseException):
            raise self.answer
        return self.answer


@pytest.mark.parametrize(
    "answer",
    [
        ValueError("model offline"),
        RuntimeError("boom"),
        MemoryError(),
        None,
        {},
        [],
        ["not", "a", "dict"],
        "junk",
        {"confidence": "high"},
        {"confidence": None},
        {"intent_delta": {"colour": "red"}},
        {1: "non-str key"},
        {"context_type": 5},
    ],
)
def test_unusable_answers_leave_the_rule_based_result(answer):
    recorder = Recorder(answer)
    r = fallback_resolver(recorder).resolve("consider monthly?", [demo_card()])
    assert len(recorder.calls) == 1
    assert r.context_type == "clarification_needed"
    assert r.reason == "The question looks contextual, but the base turn is ambiguous."


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_interrupts_reach_the_caller(error):
    with pytest.raises(error):
        fallback_resolver(Recorder(error())).resolve("consider monthly?", [demo_card()])


def test_valid_answer_replaces_the_clarification():
    recorder = Recorder({"base_turn_id": 1, "context_type": "modify_previous_query",
                         "resolved_question": "Show sum revenue by region monthly",
                         "confidence": " 0.7 ", "intent_delta": {"granularity": "month"}})
    r = fallback_resolver(recorder, max_cards_for_llm_fallback=1).resolve(
        "consider monthly?", [demo_card(), TurnContextCard(0, is_active=False)])
    assert r.context_type == "modify_previous_query"
    assert r.confidence == 0.7 and r.reason == "LLM fallback resolution."
    assert r.resolved_question == r.metadata_search_query == "Show sum revenue by region monthly"
    assert r.required_tables == ["sales_orders"] and r.use_previous_state
    assert r.intent_delta.granularity == "month"
    assert r.anchor_metadata_ids[0] == "table:sales_orders"
    question, summaries, preliminary = recorder.calls[0]
    assert question == "consider monthly?"
    assert isinstance(summaries, list) and len(summaries) == 1
    assert summaries[0]["turn_id"] == 1 and summaries[0]["query_state"]["metrics"] == ["revenue"]
    assert list(preliminary) == [
        "explicit_turn_id", "explicit_artifact_ref", "suggestion", "followup_signal",
        "modification_signal", "complete_question", "ambiguous_reference", "intent_delta",
        "best_candidate", "second_candidate"]
    assert preliminary["modification_signal"] is True
    assert preliminary["intent_delta"]["granularity"] == "month"
    assert preliminary["best_candidate"] == {"turn_id": 1, "score": 0.55,
                                             "reasons": ["active card", "latest active turn",
                                                         "recent turn"]}


@pytest.mark.parametrize(
    "value, expected",
    [(" 0.7 ", 0.7), ("1_0", 10.0), (True, 1.0), (3, 3.0), ("٣", 3.0), ("-inf", -math.inf)],
)
def test_answer_confidence_reads_as_float(value, expected):
    r = fallback_resolver(Recorder({"confidence": value})).resolve("hmm", [demo_card()])
    assert r.confidence == expected and r.reason == "LLM fallback resolution."


@settings(deadline=None)
@given(st.text(alphabet=" \t\x1c\x1f\x85\u2003\x00+-_.eE0179\u0663infatyINF", max_size=10))
def test_answer_confidence_text_reads_as_python_float(text):
    r = fallback_resolver(Recorder({"confidence": text})).resolve("hmm", [demo_card()])
    try:
        expected = float(text)
    except ValueError:
        assert r.reason != "LLM fallback resolution."
        return
    assert r.reason == "LLM fallback resolution."
    assert r.confidence == expected or (math.isnan(expected) and math.isnan(r.confidence))


def test_answer_reason_may_be_null():
    r = fallback_resolver(Recorder({"reason": None})).resolve("hmm", [demo_card()])
    assert r.reason is None and r.context_type == "clarification_needed"


def test_ceiling_sends_the_preliminary_resolution():
    recorder = Recorder({"context_type": "follow_up_latest", "base_turn_id": 1})
    r = fallback_resolver(recorder, llm_fallback_confidence_ceiling=0.9).resolve(
        "make it category based", [demo_card()])
    assert r.context_type == "follow_up_latest" and r.confidence == 0.5
    preliminary = recorder.calls[0][2]
    assert list(preliminary)[-1] == "preliminary_resolution"
    assert "candidates" not in preliminary["preliminary_resolution"]
    assert preliminary["preliminary_resolution"]["confidence"] == 0.55


def test_fallback_may_call_back_into_the_library_from_another_thread():
    results = []

    def fallback(question, summaries, preliminary):
        inner = Turnmend().resolve("make it category based", [demo_card()])
        return {"context_type": inner.context_type, "confidence": 0.3}

    def work():
        results.append(fallback_resolver(fallback).resolve("consider monthly?", [demo_card()]))

    run_in_threads(work, 4)
    assert [r.context_type for r in results] == ["modify_previous_query"] * 4


def test_fallback_off_is_never_called():
    recorder = Recorder({"context_type": "fresh_question"})
    Turnmend(ResolverConfig(), recorder).resolve("consider monthly?", [demo_card()])
    assert recorder.calls == []


# ---------------------------------------------------------------- demonstration


def demonstration_through_the_api():
    out = []
    resolver = Turnmend()
    for message in ["consider monthly?", "make it category based", "what else we get?",
                    "Show failed payment count by bank"]:
        out.append("\nQUESTION: " + message + "\n")
        out.append(tessarin.json_text(resolver.resolve(message, [demo_card()]).to_dict(),
                                      indent=2) + "\n")
    return "".join(out)


def test_demonstration_prints_the_expected_bytes():
    expected = (HERE / "turnmend_demo_expected.txt").read_bytes()
    env = dict(os.environ)
    run = subprocess.run([sys.executable, "-m", "tessarin.turnmend"], capture_output=True,
                         env=env, check=True)
    assert run.stdout == expected
    assert demonstration_through_the_api().encode() == expected


# ---------------------------------------------------------------- properties

json_scalars = st.none() | st.booleans() | st.integers(-2**63, 2**63 - 1) | st.text(max_size=20) \
    | st.floats(allow_nan=False, allow_infinity=False)
json_values = st.recursive(
    json_scalars,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=8), inner,
                                                                max_size=4),
    max_leaves=12,
)
state_keys = st.sampled_from([
    "active_tables", "tables", "active_columns", "columns", "metrics", "dimensions",
    "date_columns", "group_by", "filters", "granularity", "aggregation", "sort", "limit",
    "required_columns", "columns_by_table", "other"])
words = st.sampled_from(["revenue", "region", "it", "that one", "turn 2", "#3", "chart_1",
                         "last 3 months", "top 5", "by category", "what else", "$10", "make"])
card_text = st.lists(words | st.text(max_size=15), max_size=6).map(" ".join)
card_fields = st.fixed_dictionaries(
    {"turn_id": st.integers(-5, 30)},
    optional={
        "user_question": card_text,
        "resolved_question": card_text,
        "task_type": st.sampled_from(["text_to_sql", "rag", "unknown", "x"]),
        "artifact_type": st.sampled_from(["chart", "sql", "table"]),
        "artifact_id": st.none() | st.text(max_size=10),
        "artifact_label": st.none() | card_text,
        "topic_keywords": st.lists(card_text, max_size=4),
        "entities": st.lists(st.text(max_size=10), max_size=4),
        "selected_metadata_ids": st.lists(st.text(max_size=12), max_size=4),
        "query_state": st.dictionaries(state_keys, json_values, max_size=6),
        "output_state": st.dictionaries(st.text(max_size=5), json_values, max_size=2),
        "quality_score": st.floats(-1, 3),
        "is_active": st.booleans(),
    },
)
card_items = st.one_of(
    card_fields,
    card_fields.map(lambda fields: TurnContextCard(**fields)),
    st.none(),
    st.integers(),
)
messages = st.one_of(
    st.text(max_size=5000),
    st.lists(words | st.text(max_size=10), max_size=12).map(" ".join),
)


@given(message=messages, cards=st.lists(card_items, max_size=6),
       active=st.none() | st.integers(-2, 12), preferred=st.none() | st.text(max_size=6))
def test_resolve_always_gives_a_serializable_resolution(message, cards, active, preferred):
    r = Turnmend().resolve(message, cards, active_turn_id=active, preferred_task_type=preferred)
    assert r.context_type in set(ContextType)
    assert r.route in {"generate", "clarify", "suggest"}
    data = r.to_dict()
    text = tessarin.json_text(data)
    assert json.loads(text) == data
    assert tessarin.json_text(json.loads(text)) == text
    assert 0.0 <= r.confidence <= 1.0
    if r.base_turn_id is not None:
        assert r.use_previous_state
