"""Catalogs from where schemas live: a live database, or DDL text.

:func:`catalog_from_database` reads a database through SQLAlchemy's inspector
(extra ``sql``); :func:`catalog_from_ddl` reads ``CREATE TABLE`` statements
through sqlglot (extra ``ddl``). Both return a catalog map in the list shape
that :class:`~tessarin.schemasift.CatalogNormalizer` accepts, made only of
JSON values, so it can be saved with ``json.dump``, edited (add synonyms,
business names, descriptions) and given to ``Schemasift.select``::

    {"database": ..., "tables": [{"table_name": ..., "description": ...,
      "columns": [{"name", "type", "nullable", "description",
                   "is_primary_key", "is_foreign_key", "sample_values"}]}],
     "relationships": [{"from_table", "from_column", "to_table", "to_column"}],
     "skipped": [...]}

Optional keys appear only when they carry something. ``"skipped"`` lists what
could not be used, each entry with a ``"reason"``; the normalizer keeps it in
``MetadataCatalog.extra``, outside every prompt.

SQLAlchemy and sqlglot are imported when a function is called, never when
:mod:`tessarin.schemasift` is imported.
"""

from __future__ import annotations

import datetime as _datetime
import decimal as _decimal
import logging as _logging
import uuid as _uuid
from collections.abc import Iterable
from pathlib import PurePath
from typing import Any

__all__ = ["catalog_from_database", "catalog_from_ddl"]

#: Rows read per column, at most, to find its distinct sample values: the
#: sample query is ``SELECT DISTINCT c FROM (SELECT c FROM t WHERE c IS NOT
#: NULL LIMIT this) ... LIMIT n``, so its cost is bounded on any table size.
SAMPLE_SCAN_ROWS = 10_000
#: Sample values longer than this (as text) are left out.
SAMPLE_MAX_CHARS = 200
#: Statements quoted in ``"skipped"`` entries are cut to this many characters.
SKIPPED_STATEMENT_CHARS = 200


def _require(module: str, extra: str, purpose: str) -> Any:
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(
            f"{purpose} needs the optional package {module!r}, which is not installed; "
            f"install it with: pip install 'tessarin[{extra}]'"
        ) from error


def _first_line(error: BaseException) -> str:
    text = str(error).strip().splitlines()
    return text[0] if text else type(error).__name__


# ================================================================ database


def catalog_from_database(
    url_or_engine: Any,
    *,
    schemas: Iterable[str | None] | str | None = None,
    include_views: bool = False,
    sample_values: int = 0,
) -> dict[str, Any]:
    """Read a catalog from a live database through SQLAlchemy's inspector.

    ``url_or_engine`` is a SQLAlchemy database URL (``"sqlite:///shop.db"``,
    ``"postgresql+psycopg://user@host/db"``), a ``sqlalchemy.URL`` or an
    ``Engine`` (left open; an engine made from a URL is disposed of).

    ``schemas``: the schemas to read; ``None`` reads the default schema. When
    more than one schema is read, table names are qualified
    (``"sales.orders"``); with one schema they are bare. A foreign key to a
    table of another schema names it qualified.

    ``include_views``: also read views (and materialized views where the
    database has them), as tables without keys, with ``"kind": "view"``.

    ``sample_values``: when above 0, up to that many distinct non-null values
    per column, read with a bounded query (:data:`SAMPLE_SCAN_ROWS`), in
    ascending order. Binary columns get none, values longer than
    :data:`SAMPLE_MAX_CHARS` are left out, and a column whose query fails gets
    none and an entry in ``"skipped"``.

    Each table has ``"table_name"``, its comment as ``"description"`` and
    ``"schema"``; each column ``"name"``, ``"type"`` (the database's type
    text), ``"nullable"`` (false for primary-key columns), its comment as
    ``"description"``, ``"is_primary_key"``/``"is_foreign_key"`` when true and
    ``"sample_values"``. Every foreign-key column pair is one relationship;
    composite keys give one per pair.
    """
    sa = _require("sqlalchemy", "sql", "catalog_from_database")
    if isinstance(schemas, str):
        schemas = [schemas]
    read: list[str | None] = list(schemas) if schemas is not None else [None]
    if not read:
        raise ValueError("schemas must name at least one schema (None reads the default one)")
    if isinstance(sample_values, bool) or not isinstance(sample_values, int) or sample_values < 0:
        raise ValueError(f"sample_values must be a non-negative integer, got {sample_values!r}")

    owned = False
    if isinstance(url_or_engine, (str, sa.engine.URL)):
        engine = sa.create_engine(url_or_engine)
        owned = True
    elif isinstance(url_or_engine, sa.engine.Engine):
        engine = url_or_engine
    else:
        raise TypeError(
            "url_or_engine must be a database URL or a SQLAlchemy Engine, "
            f"got {type(url_or_engine).__name__}"
        )
    try:
        with engine.connect() as conn:
            return _DatabaseReader(sa, conn, read, include_views, sample_values).catalog()
    finally:
        if owned:
            engine.dispose()


class _DatabaseReader:
    def __init__(
        self, sa: Any, conn: Any, schemas: list[str | None], include_views: bool, samples: int
    ) -> None:
        self.sa = sa
        self.conn = conn
        self.inspector = sa.inspect(conn)
        self.include_views = include_views
        self.samples = samples
        self.default_schema = self.inspector.default_schema_name or ""
        # The schemas as the caller named them (None: default) with their real names.
        self.schemas = [(s, s if s is not None else self.default_schema) for s in schemas]
        names = {real for _, real in self.schemas}
        self.qualified = len(names) > 1
        self.single = next(iter(names)) if len(names) == 1 else None
        self.skipped: list[dict[str, Any]] = []

    def display(self, schema: str | None, table: str) -> str:
        real = schema if schema is not None else self.default_schema
        if self.qualified or real != self.single:
            return f"{real}.{table}" if real else table
        return table

    def multi(self, method: str, schema: str | None, kind: Any) -> dict[Any, Any]:
        try:
            return dict(getattr(self.inspector, method)(schema=schema, kind=kind))
        except NotImplementedError:  # e.g. comments on SQLite
            return {}

    def type_text(self, column_type: Any) -> str:
        if isinstance(column_type, self.sa.types.NullType):
            return ""
        try:
            return str(column_type.compile(dialect=self.conn.dialect))
        except (self.sa.exc.SQLAlchemyError, NotImplementedError, TypeError):
            return type(column_type).__name__  # a type the dialect cannot render

    def catalog(self) -> dict[str, Any]:
        from sqlalchemy.engine.reflection import ObjectKind

        tables: list[dict[str, Any]] = []
        relationships: list[dict[str, Any]] = []
        kinds = [(ObjectKind.TABLE, "table")]
        if self.include_views:
            kinds.append((ObjectKind.ANY_VIEW, "view"))
        for asked, real in self.schemas:
            for kind, kind_name in kinds:
                columns = self.multi("get_multi_columns", asked, kind)
                keys = (
                    self.multi("get_multi_pk_constraint", asked, kind)
                    if kind_name == "table"
                    else {}
                )
                foreign = (
                    self.multi("get_multi_foreign_keys", asked, kind)
                    if kind_name == "table"
                    else {}
                )
                comments = self.multi("get_multi_table_comment", asked, kind)
                for key in sorted(columns, key=lambda k: k[1]):
                    name = key[1]
                    table = self.table(
                        asked,
                        real,
                        name,
                        kind_name,
                        columns[key],
                        keys.get(key),
                        foreign.get(key),
                        comments.get(key),
                    )
                    tables.append(table)
                    for fk in foreign.get(key) or []:
                        relationships.extend(self.relationships(real, name, fk))
        catalog: dict[str, Any] = {}
        database = _database_name(self.conn.engine.url)
        if database:
            catalog["database"] = database
        catalog["tables"] = tables
        catalog["relationships"] = relationships
        catalog["skipped"] = self.skipped
        return catalog

    def table(
        self,
        asked: str | None,
        real: str,
        name: str,
        kind_name: str,
        raw_columns: list[dict[str, Any]],
        pk: dict[str, Any] | None,
        fks: list[dict[str, Any]] | None,
        comment: dict[str, Any] | None,
    ) -> dict[str, Any]:
        pk_columns = set((pk or {}).get("constrained_columns") or [])
        fk_columns = {c for fk in fks or [] for c in fk.get("constrained_columns") or []}
        table: dict[str, Any] = {"table_name": self.display(real, name)}
        text = (comment or {}).get("text")
        if text:
            table["description"] = text
        columns = []
        for raw in raw_columns:
            column: dict[str, Any] = {"name": raw["name"], "type": self.type_text(raw["type"])}
            is_pk = raw["name"] in pk_columns
            column["nullable"] = False if is_pk else bool(raw.get("nullable", True))
            if raw.get("comment"):
                column["description"] = raw["comment"]
            if is_pk:
                column["is_primary_key"] = True
            if raw["name"] in fk_columns:
                column["is_foreign_key"] = True
            if self.samples:
                values = self.sample(asked, name, raw)
                if values:
                    column["sample_values"] = values
            columns.append(column)
        table["columns"] = columns
        if real:
            table["schema"] = real
        if kind_name != "table":
            table["kind"] = kind_name
        return table

    def relationships(self, real: str, name: str, fk: dict[str, Any]) -> list[dict[str, Any]]:
        target = self.display(fk.get("referred_schema"), fk["referred_table"])
        source = self.display(real, name)
        columns = list(fk.get("constrained_columns") or [])
        referred = list(fk.get("referred_columns") or [])
        if not columns or len(columns) != len(referred):
            self.skipped.append(
                {
                    "object": source,
                    "reason": f"foreign key ({', '.join(columns)}) references {target} "
                    "without a matching column list",
                }
            )
            return []
        pairs = zip(columns, referred)
        return [
            {"from_table": source, "from_column": c, "to_table": target, "to_column": r}
            for c, r in pairs
        ]

    def sample(self, schema: str | None, table: str, raw: dict[str, Any]) -> list[Any]:
        sa = self.sa
        if isinstance(raw["type"], sa.types._Binary):
            return []
        column = sa.column(raw["name"])
        source = sa.table(table, column, schema=schema)
        inner = (
            sa.select(column.label("v"))
            .select_from(source)
            .where(column.is_not(None))
            .limit(SAMPLE_SCAN_ROWS)
            .subquery("s")
        )
        query = sa.select(inner.c.v).distinct().order_by(inner.c.v).limit(self.samples)
        try:
            rows = self.conn.execute(query).fetchall()
        except sa.exc.DBAPIError as error:
            self.conn.rollback()
            self.skipped.append(
                {
                    "object": f"{self.display(schema, table)}.{raw['name']}",
                    "reason": f"sample values not read: {_first_line(error.orig or error)}",
                }
            )
            return []
        values = []
        for (value,) in rows:
            value = _json_value(value)
            if value is not None:
                values.append(value)
        return values


def _json_value(value: Any) -> Any:
    """A sample value as a JSON value, or None to leave it out."""
    if isinstance(value, bool | int | float):
        return value
    if isinstance(value, _decimal.Decimal):
        if not value.is_finite():
            return None
        return int(value) if value == value.to_integral_value() else float(value)
    if isinstance(value, (bytes, bytearray, memoryview)):
        return None
    if isinstance(value, (_datetime.date, _datetime.time)):
        text = value.isoformat()
    elif isinstance(value, (str, _uuid.UUID)):
        text = str(value)
    else:
        text = str(value)
    return text if len(text) <= SAMPLE_MAX_CHARS else None


def _database_name(url: Any) -> str:
    name = url.database or ""
    if url.get_backend_name() == "sqlite":
        if name in ("", ":memory:") or name.startswith("file:"):
            return ""
        return PurePath(name).stem
    return name


# ================================================================ DDL


def catalog_from_ddl(sql_text: str, *, dialect: str | None = None) -> dict[str, Any]:
    """Read a catalog from DDL text (``CREATE TABLE`` statements) through sqlglot.

    ``dialect`` is a sqlglot dialect name ("postgres", "mysql", "sqlite",
    "snowflake", "bigquery", "tsql", ...); ``None`` reads sqlglot's generic SQL.

    Read: ``CREATE TABLE`` with its column types (as sqlglot writes them in
    that dialect), ``NOT NULL``, inline and table-level ``PRIMARY KEY``,
    ``REFERENCES`` and ``FOREIGN KEY ... REFERENCES`` (a reference without
    columns means the referenced table's primary key), inline comments
    (MySQL's ``COMMENT '...'`` on columns and tables), ``COMMENT ON TABLE`` /
    ``COMMENT ON COLUMN``, and ``ALTER TABLE ... ADD CONSTRAINT`` (primary and
    foreign keys) and ``ADD COLUMN``, as pg_dump writes them.

    Every other statement (views, indexes, inserts, settings, functions),
    every statement that does not parse, and every comment or constraint
    naming an unknown table is listed in ``"skipped"`` with the statement's
    first :data:`SKIPPED_STATEMENT_CHARS` characters and a reason. Tables
    are qualified (``"sales.orders"``) when the DDL creates tables in more
    than one schema, bare otherwise.
    """
    sqlglot = _require("sqlglot", "ddl", "catalog_from_ddl")
    if not isinstance(sql_text, str):
        raise TypeError(f"sql_text must be a str, got {type(sql_text).__name__}")
    return _DdlReader(sqlglot, dialect).read(sql_text)


class _QuietSqlglot(_logging.Filter):
    """Drops sqlglot's warnings about statements it parses as plain commands."""

    def filter(self, record: _logging.LogRecord) -> bool:
        return record.levelno > _logging.WARNING


class _DdlTable:
    def __init__(self, schema: str | None, name: str) -> None:
        self.schema = schema
        self.name = name
        self.description = ""
        self.columns: dict[str, dict[str, Any]] = {}
        self.primary_key: list[str] = []


class _DdlReader:
    def __init__(self, sqlglot: Any, dialect: str | None) -> None:
        from sqlglot import exp

        self.sqlglot = sqlglot
        self.exp = exp
        self.dialect = sqlglot.Dialect.get_or_raise(dialect)
        self.dialect_name = dialect
        self.tables: dict[tuple[str | None, str], _DdlTable] = {}
        # (statement text, table key, foreign key expression) and comments,
        # applied once every table is known.
        self.foreign: list[tuple[str, tuple[str | None, str], list[str], Any]] = []
        self.comments: list[tuple[str, Any]] = []
        self.skipped: list[tuple[int, dict[str, Any]]] = []
        self.index: dict[str, int] = {}

    # ---- statements

    def statements(self, sql: str) -> list[str]:
        """The statements of the text, split at semicolons outside strings and comments."""
        semicolon = self.sqlglot.TokenType.SEMICOLON
        try:
            tokens = self.dialect.tokenize(sql)
        except self.sqlglot.errors.SqlglotError:
            return [part.strip() for part in sql.split(";") if part.strip()]
        parts: list[str] = []
        span: tuple[int, int] | None = None
        for token in tokens:
            if token.token_type == semicolon:
                if span is not None:
                    parts.append(sql[span[0] : span[1] + 1])
                span = None
            else:
                span = (token.start if span is None else span[0], token.end)
        if span is not None:
            parts.append(sql[span[0] : span[1] + 1])
        return parts

    def skip(self, statement: str, reason: str) -> None:
        text = " ".join(statement.split())
        if len(text) > SKIPPED_STATEMENT_CHARS:
            text = text[: SKIPPED_STATEMENT_CHARS - 3] + "..."
        # Entries stand in statement order, also those found once all are read.
        self.skipped.append(
            (self.index.get(statement, len(self.index)), {"statement": text, "reason": reason})
        )

    def read(self, sql: str) -> dict[str, Any]:
        logger = _logging.getLogger("sqlglot")
        quiet = _QuietSqlglot()
        logger.addFilter(quiet)
        try:
            for statement in self.statements(sql):
                self.index.setdefault(statement, len(self.index))
                try:
                    parsed = [e for e in self.dialect.parse(statement) if e is not None]
                except (self.sqlglot.errors.SqlglotError, ValueError, RecursionError) as error:
                    self.skip(statement, f"does not parse: {_first_line(error)}")
                    continue
                for expression in parsed:
                    self.statement(statement, expression)
        finally:
            logger.removeFilter(quiet)
        return self.catalog()

    def statement(self, text: str, e: Any) -> None:
        exp = self.exp
        alter = getattr(exp, "Alter", None) or exp.AlterTable
        if isinstance(e, exp.Create):
            kind = str(e.args.get("kind") or "").upper()
            if kind == "TABLE" and isinstance(e.this, exp.Schema):
                self.create_table(text, e)
            elif kind == "TABLE":
                self.skip(text, "CREATE TABLE without column definitions (AS SELECT or LIKE)")
            else:
                self.skip(text, f"CREATE {kind or 'statement'} is not a table definition")
        elif isinstance(e, exp.Comment):
            self.comments.append((text, e))
        elif isinstance(e, alter) and str(e.args.get("kind") or "TABLE").upper() == "TABLE":
            self.alter_table(text, e)
        else:
            if isinstance(e, exp.Command):
                words = " ".join(text.split()[:2]).upper()
                self.skip(text, f"{words} statement of a form that is not read")
            else:
                self.skip(text, f"{e.key.upper()} is not a table definition")

    def table_key(self, table: Any) -> tuple[str | None, str]:
        return (table.db or None, table.name)

    def find(self, key: tuple[str | None, str]) -> tuple[str | None, str] | None:
        if key in self.tables:
            return key
        schema, name = key
        for fold in (False, True):
            found = [
                k
                for k in self.tables
                if (k[1] == name or (fold and k[1].lower() == name.lower()))
                and (
                    schema is None
                    or k[0] == schema
                    or (fold and (k[0] or "").lower() == schema.lower())
                )
            ]
            if len(found) == 1:
                return found[0]
        return None

    # ---- CREATE TABLE / ALTER TABLE

    def create_table(self, text: str, e: Any) -> None:
        exp = self.exp
        key = self.table_key(e.this.this)
        if not key[1]:
            self.skip(text, "CREATE TABLE without a table name")
            return
        if key in self.tables:
            self.skip(text, "table created twice; the first definition is kept")
            return
        table = self.tables[key] = _DdlTable(*key)
        for prop in (e.args.get("properties") or exp.Properties()).expressions:
            if isinstance(prop, exp.SchemaCommentProperty):
                table.description = _literal_text(prop.this)
        for item in e.this.expressions:
            self.table_item(text, key, item)

    def table_item(self, text: str, key: tuple[str | None, str], item: Any) -> None:
        exp = self.exp
        table = self.tables[key]
        if isinstance(item, exp.ColumnDef):
            self.column(text, key, item)
        elif isinstance(item, exp.PrimaryKey):
            table.primary_key = [_name(c) for c in item.expressions]
        elif isinstance(item, exp.ForeignKey):
            self.foreign.append(
                (text, key, [_name(c) for c in item.expressions], item.args.get("reference"))
            )
        elif isinstance(item, exp.Constraint):
            for inner in item.expressions:
                self.table_item(text, key, inner)

    def column(self, text: str, key: tuple[str | None, str], item: Any) -> None:
        exp = self.exp
        table = self.tables[key]
        name = item.name
        kind = item.args.get("kind")
        column: dict[str, Any] = {
            "name": name,
            "type": kind.sql(dialect=self.dialect_name) if kind is not None else "",
            "nullable": True,
        }
        for constraint in item.args.get("constraints") or []:
            c = constraint.args.get("kind")
            if isinstance(c, exp.NotNullColumnConstraint):
                column["nullable"] = bool(c.args.get("allow_null"))
            elif isinstance(c, exp.PrimaryKeyColumnConstraint):
                if name not in table.primary_key:
                    table.primary_key.append(name)
            elif isinstance(c, exp.CommentColumnConstraint):
                column["description"] = _literal_text(c.this)
            elif isinstance(c, exp.Reference):
                self.foreign.append((text, key, [name], c))
        table.columns[name] = column

    def alter_table(self, text: str, e: Any) -> None:
        exp = self.exp
        found = self.find(self.table_key(e.this))
        actions = e.args.get("actions") or []
        usable = [a for a in actions if isinstance(a, (exp.AddConstraint, exp.ColumnDef))]
        if not usable or len(usable) != len(actions):
            self.skip(text, "ALTER TABLE other than ADD CONSTRAINT or ADD COLUMN is not read")
            if not usable:
                return
        if found is None:
            self.skip(text, f"ALTER TABLE names an unknown table {e.this.sql()}")
            return
        for action in usable:
            if isinstance(action, exp.ColumnDef):
                self.column(text, found, action)
            else:
                for item in action.expressions:
                    self.table_item(text, found, item)

    # ---- the catalog

    def catalog(self) -> dict[str, Any]:
        schemas = {key[0] for key in self.tables}
        qualified = len(schemas) > 1
        single = next(iter(schemas)) if len(schemas) == 1 else None

        def display(schema: str | None, name: str) -> str:
            if schema and (qualified or schema != single):
                return f"{schema}.{name}"
            return name

        relationships: list[dict[str, Any]] = []
        for text, key, columns, reference in self.foreign:
            for relationship in self.relationships(text, key, columns, reference, display):
                # An inline REFERENCES and a FOREIGN KEY clause may say the same.
                if relationship not in relationships:
                    relationships.append(relationship)
        for text, comment in self.comments:
            self.comment(text, comment)

        tables = []
        for key, table in self.tables.items():
            out: dict[str, Any] = {"table_name": display(*key)}
            if table.description:
                out["description"] = table.description
            out_columns = []
            for name, column in table.columns.items():
                column = dict(column)
                if name in table.primary_key:
                    column["nullable"] = False
                    column["is_primary_key"] = True
                if column.pop("_fk", False):
                    column["is_foreign_key"] = True
                out_columns.append(column)
            out["columns"] = out_columns
            if key[0]:
                out["schema"] = key[0]
            tables.append(out)
        skipped = [entry for _, entry in sorted(self.skipped, key=lambda pair: pair[0])]
        return {"tables": tables, "relationships": relationships, "skipped": skipped}

    def relationships(
        self,
        text: str,
        key: tuple[str | None, str],
        columns: list[str],
        reference: Any,
        display: Any,
    ) -> list[dict[str, Any]]:
        exp = self.exp
        if reference is None:
            self.skip(text, "FOREIGN KEY without REFERENCES")
            return []
        target = reference.this
        if isinstance(target, exp.Schema):
            target_table, target_columns = target.this, [_name(c) for c in target.expressions]
        else:
            target_table, target_columns = target, []
        target_key = self.table_key(target_table)
        found = self.find(target_key)
        if not target_columns and found is not None:
            target_columns = list(self.tables[found].primary_key)
        if len(target_columns) != len(columns) or not columns:
            self.skip(
                text,
                f"foreign key ({', '.join(columns)}) references {target_table.sql()} "
                "without a matching column list or primary key",
            )
            return []
        source = self.tables[key]
        for c in columns:
            if c in source.columns:
                source.columns[c]["_fk"] = True
        to_table = display(*(found or target_key))
        return [
            {"from_table": display(*key), "from_column": c, "to_table": to_table, "to_column": r}
            for c, r in zip(columns, target_columns)
        ]

    def comment(self, text: str, e: Any) -> None:
        exp = self.exp
        kind = str(e.args.get("kind") or "").upper()
        target = e.this
        value = _literal_text(e.args.get("expression"))
        if kind == "TABLE" and isinstance(target, exp.Table):
            found = self.find(self.table_key(target))
            if found is None:
                self.skip(text, f"COMMENT ON TABLE names an unknown table {target.sql()}")
                return
            self.tables[found].description = value
        elif kind == "COLUMN" and isinstance(target, exp.Column):
            found = self.find((target.text("db") or None, target.table))
            column = self.tables[found].columns.get(target.name) if found is not None else None
            if column is None:
                self.skip(text, f"COMMENT ON COLUMN names an unknown column {target.sql()}")
                return
            if value:
                column["description"] = value
            else:
                column.pop("description", None)
        else:
            self.skip(text, f"COMMENT ON {kind or 'object'} is not read")


def _name(node: Any) -> str:
    return str(node.name)


def _literal_text(node: Any) -> str:
    if node is None:
        return ""
    if getattr(node, "is_string", False):
        return str(node.this)
    if node.key == "null":
        return ""
    return str(node.name or node.sql())
