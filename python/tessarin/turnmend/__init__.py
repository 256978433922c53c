"""Context resolution: decides how a chat message relates to earlier turns.

The caller stores a compact :class:`TurnContextCard` after every successful AI
turn and passes the recent cards back with the next user message.
:meth:`Turnmend.resolve` (or :func:`resolve_context`) then decides whether the
message is a fresh question, a follow-up of the latest or of a specific turn,
a modification of a previous result, a request for suggestions, or too
ambiguous to answer without asking back, and returns a
:class:`ContextResolution` with a standalone resolved question, a short
metadata search query and the tables and columns carried over from the base
turn. An optional LLM callable is consulted only for cases the rules cannot
settle.
"""

from __future__ import annotations

import enum
from collections.abc import Callable, Mapping
from typing import Any

from tessarin._core import turnmend as _native

_FUNCTIONS = (
    "split_identifier",
    "tokenize",
    "compact_text",
    "estimate_tokens",
    "overlap_score",
    "now_ms",
    "resolve_context",
)
_CLASSES = (
    "TurnContextCard",
    "IntentDelta",
    "ContextCandidate",
    "ContextResolution",
    "ResolverConfig",
    "Turnmend",
)
_CONSTANTS = (
    "STOPWORDS",
    "FOLLOWUP_TERMS",
    "MODIFY_TERMS",
    "SUGGESTION_PHRASES",
    "CLARIFICATION_RISK_PHRASES",
    "GRANULARITY_ALIASES",
    "AGGREGATION_ALIASES",
    "ORDINAL_WORDS",
    "_DURATION_UNITS_PATTERN",
    "_WORD_RE",
    "_CAMEL_RE",
    "TOP_N_RE",
    "BOTTOM_N_RE",
    "TURN_REF_RE",
    "BACKREF_NUMERIC_RE",
    "ORDINAL_SUFFIX_RE",
    "GENERIC_NUMBER_RE",
)

for _name in _FUNCTIONS + _CLASSES + _CONSTANTS:
    if hasattr(_native, _name):
        globals()[_name] = getattr(_native, _name)
for _name in _CLASSES:
    # Pickle finds the classes under their public module.
    getattr(_native, _name).__module__ = __name__
del _name


def _vocabulary(name: str, values: tuple[str, ...], doc: str) -> type[enum.StrEnum]:
    vocabulary = enum.StrEnum(name, [(value.upper(), value) for value in values])
    vocabulary.__module__ = __name__
    vocabulary.__doc__ = doc
    return vocabulary


ContextType = _vocabulary(
    "ContextType", _native._CONTEXT_TYPES, "Kinds of resolution a message can get."
)
TaskType = _vocabulary("TaskType", _native._TASK_TYPES, "Kinds of AI task a turn performed.")
ArtifactType = _vocabulary(
    "ArtifactType", _native._ARTIFACT_TYPES, "Kinds of artifact a turn produced."
)
OperationType = _vocabulary(
    "OperationType", _native._OPERATION_TYPES, "Kinds of change an intent delta asks for."
)

#: Any value a JSON map may hold.
JsonValue = Any
#: An item of a card list: a card record, a card map, or None (skipped).
CardItem = TurnContextCard | Mapping[str, Any] | None  # type: ignore[name-defined]  # noqa: F821

#: The optional LLM callable: ``(question, card_summaries, preliminary) -> dict | None``.
ResolverLLMFallback = Callable[[str, list[dict[str, Any]], dict[str, Any]], "dict[str, Any] | None"]

__all__ = [
    *(name for name in _FUNCTIONS + _CLASSES if name in globals()),
    *(name for name in _CONSTANTS if name in globals() and not name.startswith("_")),
    "ContextType",
    "TaskType",
    "ArtifactType",
    "OperationType",
    "ResolverLLMFallback",
]
