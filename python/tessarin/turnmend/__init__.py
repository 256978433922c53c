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

# Everything the native module defines is part of this module, bar the
# vocabulary values the enums below are built from; classes are re-homed here
# so that pickles name tessarin.turnmend.
_public: list[str] = []
for _name, _value in vars(_native).items():
    if _name.startswith("__") or _name.endswith("_TYPES"):
        continue
    if isinstance(_value, type) and _value.__module__.startswith("tessarin._core"):
        _value.__module__ = __name__
    globals()[_name] = _value
    if not _name.startswith("_"):
        _public.append(_name)
del _name, _value


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
    *_public,
    "ContextType",
    "TaskType",
    "ArtifactType",
    "OperationType",
    "ResolverLLMFallback",
]
del _public
