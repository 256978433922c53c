"""Metadata selection: picks the tables, columns and joins a question needs."""

from tessarin._core import schemasift as _native  # noqa: F401
