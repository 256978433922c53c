"""Type stubs of tessarin.turnmend."""

import enum
from collections.abc import Callable, Iterable, Mapping, Sequence
from types import ModuleType
from typing import Any

from typing_extensions import disjoint_base

from tessarin import Pattern, _NativeType, _Record

_native: ModuleType  # tessarin._core.turnmend

JsonValue = Any
ResolverLLMFallback = Callable[[str, list[dict[str, Any]], dict[str, Any]], dict[str, Any] | None]

def split_identifier(value: object | None) -> str: ...
def tokenize(text: object | None, stopwords: Iterable[str] | None = None) -> list[str]: ...
def compact_text(value: object | None, max_chars: int = 500) -> str: ...
def estimate_tokens(text: str, chars_per_token: float = 4.0) -> int: ...
def overlap_score(a: Iterable[str], b: Iterable[str]) -> float: ...
def now_ms() -> int: ...

STOPWORDS: frozenset[str]
FOLLOWUP_TERMS: frozenset[str]
MODIFY_TERMS: frozenset[str]
SUGGESTION_PHRASES: tuple[str, ...]
CLARIFICATION_RISK_PHRASES: tuple[str, ...]
GRANULARITY_ALIASES: dict[str, tuple[str, ...]]
AGGREGATION_ALIASES: dict[str, tuple[str, ...]]
ORDINAL_WORDS: dict[str, int]
_DURATION_UNITS_PATTERN: str
_WORD_RE: Pattern
_CAMEL_RE: Pattern
TOP_N_RE: Pattern
BOTTOM_N_RE: Pattern
TURN_REF_RE: Pattern
BACKREF_NUMERIC_RE: Pattern
ORDINAL_SUFFIX_RE: Pattern
GENERIC_NUMBER_RE: Pattern

class ContextType(enum.StrEnum):
    FRESH_QUESTION = "fresh_question"
    FOLLOW_UP_LATEST = "follow_up_latest"
    FOLLOW_UP_SPECIFIC_TURN = "follow_up_specific_turn"
    MODIFY_PREVIOUS_QUERY = "modify_previous_query"
    SUGGESTION_REQUEST = "suggestion_request"
    CLARIFICATION_NEEDED = "clarification_needed"

class TaskType(enum.StrEnum):
    TEXT_TO_SQL = "text_to_sql"
    TEXT_TO_CONFIG = "text_to_config"
    DOCUMENT_QA = "document_qa"
    RAG = "rag"
    CHART_GENERATION = "chart_generation"
    REPORT_GENERATION = "report_generation"
    GENERAL_ANSWER = "general_answer"
    UNKNOWN = "unknown"

class ArtifactType(enum.StrEnum):
    SQL = "sql"
    JSON_CONFIG = "json_config"
    TEXT_ANSWER = "text_answer"
    CHART = "chart"
    TABLE = "table"
    DOCUMENT_SUMMARY = "document_summary"
    RETRIEVAL_ANSWER = "retrieval_answer"
    UNKNOWN = "unknown"

class OperationType(enum.StrEnum):
    NONE = "none"
    ADD_GRANULARITY = "add_granularity"
    REPLACE_GRANULARITY = "replace_granularity"
    REPLACE_GROUP_BY = "replace_group_by"
    ADD_GROUP_BY = "add_group_by"
    REPLACE_METRIC = "replace_metric"
    ADD_FILTER = "add_filter"
    REMOVE_FILTER = "remove_filter"
    CHANGE_SORT = "change_sort"
    SET_TOP_N = "set_top_n"
    SET_BOTTOM_N = "set_bottom_n"
    COMPARE = "compare"
    SUGGEST = "suggest"
    REPLACE_NUMERIC_VALUE = "replace_numeric_value"
    UNKNOWN_MODIFY = "unknown_modify"

@disjoint_base
class TurnContextCard(_Record):
    turn_id: int
    session_id: str
    tenant_id: str
    user_question: str
    resolved_question: str
    assistant_answer_summary: str
    task_type: str
    artifact_type: str
    artifact_id: str | None
    artifact_label: str | None
    topic_keywords: list[str]
    entities: list[str]
    selected_metadata_ids: list[str]
    query_state: dict[str, Any]
    retrieval_state: dict[str, Any]
    output_state: dict[str, Any]
    sql: str | None
    config: dict[str, Any] | None
    answer_excerpt: str | None
    created_at_ms: int
    quality_score: float
    is_active: bool
    extra: dict[str, Any]
    def __init__(
        self,
        turn_id: int,
        session_id: str = "",
        tenant_id: str = "",
        user_question: str = "",
        resolved_question: str = "",
        assistant_answer_summary: str = "",
        task_type: str = "unknown",
        artifact_type: str = "unknown",
        artifact_id: str | None = None,
        artifact_label: str | None = None,
        topic_keywords: Sequence[str] = ...,
        entities: Sequence[str] = ...,
        selected_metadata_ids: Sequence[str] = ...,
        query_state: Mapping[str, Any] = ...,
        retrieval_state: Mapping[str, Any] = ...,
        output_state: Mapping[str, Any] = ...,
        sql: str | None = None,
        config: Mapping[str, Any] | None = None,
        answer_excerpt: str | None = None,
        created_at_ms: int = ...,
        quality_score: float = 1.0,
        is_active: bool = True,
        extra: Mapping[str, Any] = ...,
    ) -> None: ...
    @staticmethod
    def from_dict(mapping: Mapping[str, Any]) -> TurnContextCard: ...
    def searchable_text(self) -> str: ...
    def tokens(self) -> list[str]: ...
    def active_tables(self) -> list[Any]: ...
    def active_columns(self) -> list[Any]: ...
    def required_columns_by_table(self) -> dict[str, list[str]]: ...
    def to_resolver_summary(self, max_chars: int = 1200) -> dict[str, Any]: ...
    @staticmethod
    def _compact_state(state: Mapping[str, Any]) -> dict[str, Any]: ...

@disjoint_base
class IntentDelta(_Record):
    operation: str
    granularity: str | None
    dimension_hint: str | None
    metric_hint: str | None
    filter_hint: str | None
    sort_hint: str | None
    compare_hint: str | None
    top_n: int | None
    bottom_n: int | None
    replace_numeric_value: float | None
    raw_hints: list[str]
    def __init__(
        self,
        operation: str = "none",
        granularity: str | None = None,
        dimension_hint: str | None = None,
        metric_hint: str | None = None,
        filter_hint: str | None = None,
        sort_hint: str | None = None,
        compare_hint: str | None = None,
        top_n: int | None = None,
        bottom_n: int | None = None,
        replace_numeric_value: float | None = None,
        raw_hints: Sequence[str] = ...,
    ) -> None: ...
    def to_dict(self) -> dict[str, Any]: ...

@disjoint_base
class ContextCandidate(_Record):
    turn_id: int
    score: float
    reasons: list[str]
    card: TurnContextCard | None
    def __init__(
        self,
        turn_id: int,
        score: float,
        reasons: Sequence[str] = ...,
        card: TurnContextCard | None = None,
    ) -> None: ...
    def to_dict(self) -> dict[str, Any]: ...

@disjoint_base
class ContextResolution(_Record):
    context_type: str
    current_question: str
    resolved_question: str
    metadata_search_query: str
    base_turn_id: int | None
    use_previous_state: bool
    intent_delta: IntentDelta
    required_tables: list[str]
    required_columns: dict[str, list[str]]
    anchor_metadata_ids: list[str]
    allow_related_tables: bool
    confidence: float
    reason: str | None
    clarification_question: str | None
    candidates: list[ContextCandidate]
    route: str
    extra: dict[str, Any]
    def __init__(
        self,
        context_type: str,
        current_question: str,
        resolved_question: str,
        metadata_search_query: str,
        base_turn_id: int | None = None,
        use_previous_state: bool = False,
        intent_delta: IntentDelta = ...,
        required_tables: Sequence[str] = ...,
        required_columns: Mapping[str, Sequence[str]] = ...,
        anchor_metadata_ids: Sequence[str] = ...,
        allow_related_tables: bool = True,
        confidence: float = 0.0,
        reason: str | None = "",
        clarification_question: str | None = None,
        candidates: Sequence[ContextCandidate] = ...,
        route: str = "generate",
        extra: Mapping[str, Any] = ...,
    ) -> None: ...
    def to_dict(self, include_candidates: bool = True) -> dict[str, Any]: ...

@disjoint_base
class ResolverConfig(_Record):
    max_recent_cards: int = 10
    max_cards_for_llm_fallback: int = 5
    followup_threshold: float = 0.58
    clarification_margin: float = 0.08
    fresh_question_min_tokens: int = 3
    recency_weight: float = 0.25
    keyword_overlap_weight: float = 0.35
    entity_overlap_weight: float = 0.2
    artifact_match_weight: float = 0.5
    explicit_reference_weight: float = 2.0
    active_card_bonus: float = 0.15
    task_type_match_weight: float = 0.1
    prefer_latest_for_pronoun_followup: bool = True
    ask_clarification_when_ambiguous: bool = True
    use_llm_fallback: bool = False
    llm_fallback_confidence_ceiling: float | None = None
    max_metadata_query_terms: int = 40
    include_previous_required_columns: bool = True
    include_anchor_metadata_ids: bool = True
    include_debug_candidates: bool = True

CardItem = TurnContextCard | Mapping[str, Any] | None

@disjoint_base
class Turnmend(metaclass=_NativeType):
    def __init__(
        self, config: ResolverConfig | None = None, llm_fallback: ResolverLLMFallback | None = None
    ) -> None: ...
    @property
    def config(self) -> ResolverConfig: ...
    @property
    def llm_fallback(self) -> ResolverLLMFallback | None: ...
    def resolve(
        self,
        current_question: str,
        context_cards: Iterable[CardItem] | None = None,
        *,
        active_turn_id: int | None = None,
        preferred_task_type: str | None = None,
    ) -> ContextResolution: ...
    def _fresh(
        self,
        current_question: str,
        candidates: Sequence[ContextCandidate] | None = None,
        reason: str = "",
    ) -> ContextResolution: ...
    def _clarify(
        self,
        current_question: str,
        candidates: Sequence[ContextCandidate],
        reason: str,
        question: str,
    ) -> ContextResolution: ...
    def _build_contextual_resolution(
        self,
        context_type: str,
        current_question: str,
        base_candidate: ContextCandidate,
        intent_delta: IntentDelta,
        candidates: Sequence[ContextCandidate],
        route: str,
        reason: str,
    ) -> ContextResolution: ...
    def _finalize_resolution(
        self,
        resolution: ContextResolution,
        cards: Sequence[TurnContextCard],
        preliminary: Mapping[str, Any],
    ) -> ContextResolution: ...
    def _normalize_cards(self, cards: Iterable[CardItem]) -> list[TurnContextCard]: ...
    def _recent_cards(self, cards: Sequence[TurnContextCard]) -> list[TurnContextCard]: ...
    def _latest_active_turn_id(self, cards: Sequence[TurnContextCard | None]) -> int | None: ...
    def _rank_candidates(
        self,
        current_question: str,
        cards: Sequence[TurnContextCard],
        explicit_turn_id: int | None = None,
        explicit_artifact_ref: str | None = None,
        active_turn_id: int | None = None,
        preferred_task_type: str | None = None,
    ) -> list[ContextCandidate]: ...
    def _choose_base_for_contextual_request(
        self,
        best: ContextCandidate | None,
        second: ContextCandidate | None,
        current_question: str,
        ambiguous_reference: bool,
    ) -> ContextCandidate | None: ...
    def _detect_explicit_turn_reference(self, question: str) -> int | None: ...
    def _detect_artifact_reference(self, question: str) -> str | None: ...
    def _artifact_matches(self, ref: str, card: TurnContextCard) -> bool: ...
    def _build_ambiguity_question(self, candidates: Sequence[ContextCandidate]) -> str: ...
    def _is_suggestion_request(self, question: str) -> bool: ...
    def _has_followup_signal(self, question: str) -> bool: ...
    def _has_modify_signal(self, question: str, delta: IntentDelta) -> bool: ...
    def _has_pronoun_followup(self, question: str) -> bool: ...
    def _has_ambiguous_reference(self, question: str) -> bool: ...
    def _looks_like_complete_question(self, question: str) -> bool: ...
    def _extract_intent_delta(self, question: str) -> IntentDelta: ...
    def _extract_metric_hint(self, q: str) -> str | None: ...
    def _extract_dimension_hint(self, q: str) -> str | None: ...
    def _extract_filter_hint(self, q: str) -> str | None: ...
    @staticmethod
    def _clean_hint(hint: str) -> str: ...
    def _compose_resolved_question(
        self,
        current_question: str,
        base: TurnContextCard,
        delta: IntentDelta,
        context_type: str,
        candidates: Sequence[ContextCandidate] | None = None,
        base_candidate: ContextCandidate | None = None,
    ) -> str: ...
    def _merge_top_candidate_states(
        self,
        base_candidate: ContextCandidate,
        candidates: Sequence[ContextCandidate],
        top_n: int = 3,
    ) -> dict[str, Any]: ...
    def _state_to_question_parts(self, state: Mapping[str, Any]) -> dict[str, str]: ...
    def _filters_to_text(self, filters: Any) -> str: ...
    def _render_question_parts(self, parts: Mapping[str, str], fallback: str) -> str: ...
    def _apply_numeric_override(self, parts: dict[str, str], delta: IntentDelta) -> None: ...
    def _compose_metadata_search_query(
        self,
        current_question: str,
        base: TurnContextCard,
        delta: IntentDelta,
        resolved_question: str,
    ) -> str: ...
    def _constraints_from_base(
        self, base: TurnContextCard, delta: IntentDelta
    ) -> tuple[list[str], dict[str, list[str]]]: ...
    def _limit_query_terms(self, text: str) -> str: ...
    def _try_llm_fallback(
        self,
        current_question: str,
        cards: Sequence[TurnContextCard],
        preliminary: Mapping[str, Any],
    ) -> ContextResolution | None: ...
    def _resolution_from_llm_dict(
        self,
        current_question: str,
        data: Mapping[str, Any],
        cards: Sequence[TurnContextCard],
    ) -> ContextResolution: ...

def resolve_context(
    current_question: str,
    context_cards: Iterable[CardItem] | None = None,
    *,
    active_turn_id: int | None = None,
    preferred_task_type: str | None = None,
    config: ResolverConfig | None = None,
    llm_fallback: ResolverLLMFallback | None = None,
) -> ContextResolution: ...

__all__ = [
    "split_identifier",
    "tokenize",
    "compact_text",
    "estimate_tokens",
    "overlap_score",
    "now_ms",
    "resolve_context",
    "TurnContextCard",
    "IntentDelta",
    "ContextCandidate",
    "ContextResolution",
    "ResolverConfig",
    "Turnmend",
    "STOPWORDS",
    "FOLLOWUP_TERMS",
    "MODIFY_TERMS",
    "SUGGESTION_PHRASES",
    "CLARIFICATION_RISK_PHRASES",
    "GRANULARITY_ALIASES",
    "AGGREGATION_ALIASES",
    "ORDINAL_WORDS",
    "TOP_N_RE",
    "BOTTOM_N_RE",
    "TURN_REF_RE",
    "BACKREF_NUMERIC_RE",
    "ORDINAL_SUFFIX_RE",
    "GENERIC_NUMBER_RE",
    "ContextType",
    "TaskType",
    "ArtifactType",
    "OperationType",
    "ResolverLLMFallback",
]
