"""Context resolution: decides how a chat message relates to earlier turns."""

from tessarin._core import turnmend as _native  # noqa: F401
