"""Metadata selection: picks the tables, columns and joins a question needs.

Give :class:`Schemasift` (or :func:`select_metadata`) a question and a catalog
of tables, columns and relationships, as a :class:`MetadataCatalog` or as a
dict in any of the shapes :class:`CatalogNormalizer` accepts, and get back
only the relevant slice of the catalog with size and reduction metrics.

The text primitives (:func:`tokenize`, :func:`normalize_text`,
:func:`estimate_tokens`, :func:`stable_hash`, :func:`safe_float`), the term
sets and patterns, and the :class:`ColumnRole` and :class:`Strategy`
vocabularies are exported too.
"""

import enum as _enum
from typing import Any as _Any

from tessarin._core import schemasift as _native

__all__: list[str] = []

# Everything the native module defines is part of this module; classes are
# re-homed here so that pickles name tessarin.schemasift.
for _name in dir(_native):
    if _name.startswith("__") or _name in ("_COLUMN_ROLES", "_STRATEGIES"):
        continue
    _value = getattr(_native, _name)
    if isinstance(_value, type) and getattr(_value, "__module__", "").startswith("tessarin._core"):
        try:
            _value.__module__ = __name__
        except (AttributeError, TypeError):
            pass
    globals()[_name] = _value
    if not _name.startswith("_") and not isinstance(_value, type(_native)):
        __all__.append(_name)


def _vocabulary(name: str, values: tuple[str, ...], doc: str) -> type[_enum.StrEnum]:
    vocabulary = _enum.StrEnum(name, [(value.upper(), value) for value in values], module=__name__)
    vocabulary.__doc__ = doc
    return vocabulary


ColumnRole = _vocabulary(
    "ColumnRole",
    _native._COLUMN_ROLES,
    "Semantic role of a column. Record fields hold plain str and accept any string.",
)
Strategy = _vocabulary(
    "Strategy",
    _native._STRATEGIES,
    "Which scorers a selection runs. SelectorConfig.strategy holds plain str.",
)
__all__ += ["ColumnRole", "Strategy"]

del _name, _value

#: What select accepts as a catalog.
CatalogInput = MetadataCatalog | PreparedCatalog | dict[str, _Any]  # type: ignore[name-defined]  # noqa: F821

# ---- catalog sources: a live database (extra "sql"), DDL text (extra "ddl").
# SQLAlchemy and sqlglot are imported only when these functions are called.
from tessarin.schemasift.sources import catalog_from_database, catalog_from_ddl  # noqa: E402

__all__ += ["catalog_from_database", "catalog_from_ddl"]
