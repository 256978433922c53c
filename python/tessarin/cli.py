"""Command line of tessarin: selection and resolution on your own files.

Three ways in, one parser::

    tessarin select CATALOG QUESTION [options]      # console script
    tessarin resolve CARDS MESSAGE [options]
    python -m tessarin.schemasift select CATALOG QUESTION [options]
    python -m tessarin.turnmend resolve CARDS MESSAGE [options]

(``python -m tessarin.cli`` works too.) Run without arguments,
``python -m tessarin.schemasift`` and ``python -m tessarin.turnmend`` print
their demonstrations instead.

CATALOG is a JSON file holding a catalog map in any shape the catalog
normalizer accepts; CARDS a JSON file holding a list of card maps; either may
be ``-`` for standard input. Results are written to standard output as UTF-8.

Exit status: 0 on success, 2 for usage errors (argparse's convention), 1 for
a file that cannot be read, text that is not JSON and a catalog or card the
library refuses; each of these prints one line on standard error, never a
traceback.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from typing import Any

import tessarin

__all__ = ["build_parser", "main"]

_STRATEGIES = ("hybrid", "lexical", "tfidf", "embedding")
_SELECT_FORMATS = ("json", "summary", "prompt")
_RESOLVE_FORMATS = ("json", "text")


class _Failure(Exception):
    """A run-time failure reported as one line on standard error, exit status 1."""


# ---------------------------------------------------------------- parser


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid integer: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _add_command(subparsers: Any, name: str, run: Any, help: str, description: str,
                 arguments: list[tuple[str, str]]) -> argparse.ArgumentParser:
    """A subcommand that run() carries out, with positional (name, help) arguments."""
    p = subparsers.add_parser(name, help=help, description=description)
    for dest, text in arguments:
        p.add_argument(dest, metavar=dest.upper(), help=text)
    p.set_defaults(run=run, parser=p)
    return p


def _add_select(subparsers: Any) -> None:
    p = _add_command(
        subparsers,
        "select",
        _run_select,
        help="select the tables, columns and joins a question needs from a catalog",
        description=(
            "Select from CATALOG the tables, columns and joins that QUESTION needs "
            "(Schemasift.select). CATALOG is a JSON file with a catalog map in any "
            "accepted shape (see docs/catalogs.md), or - for standard input."
        ),
        arguments=[("catalog", "catalog JSON file, or - for standard input"),
                   ("question", "the question, in natural language")],
    )
    p.add_argument(
        "--strategy",
        choices=_STRATEGIES,
        default="hybrid",
        help="which scorers run (default: %(default)s)",
    )
    p.add_argument(
        "--top-k",
        type=_positive_int,
        default=3,
        metavar="N",
        help="number of best tables to choose (SelectorConfig.top_k_tables, default: %(default)s)",
    )
    p.add_argument(
        "--max-output-chars",
        type=_positive_int,
        default=None,
        metavar="N",
        help="character budget of the selected metadata (default: no budget)",
    )
    p.add_argument(
        "--required-table",
        action="append",
        default=[],
        metavar="T",
        help="a table the selection must keep (repeatable)",
    )
    p.add_argument(
        "--excluded-table",
        action="append",
        default=[],
        metavar="T",
        help="a table the selection must leave out (repeatable)",
    )
    p.add_argument(
        "--database",
        metavar="D",
        default=None,
        help="database name of the result (default: the catalog's own)",
    )
    p.add_argument(
        "--format",
        choices=_SELECT_FORMATS,
        default="json",
        help=(
            "json: the result's to_dict(True) as indented JSON; summary: the metrics "
            "line and the chosen tables; prompt: the selected metadata as compact JSON, "
            "the text a caller puts in its prompt (default: %(default)s)"
        ),
    )


def _add_resolve(subparsers: Any) -> None:
    p = _add_command(
        subparsers,
        "resolve",
        _run_resolve,
        help="resolve a chat message against cards of earlier turns",
        description=(
            "Resolve MESSAGE against the turn cards in CARDS (Turnmend.resolve). CARDS "
            "is a JSON file with a list of card maps (see docs/cards.md), or - for "
            "standard input."
        ),
        arguments=[("cards", "JSON file with a list of card maps, or -"),
                   ("message", "the user's new chat message")],
    )
    p.add_argument(
        "--format",
        choices=_RESOLVE_FORMATS,
        default="json",
        help="json: the resolution's to_dict() as indented JSON; text: one field a line "
        "(default: %(default)s)",
    )


def build_parser(
    prog: str | None = None, commands: Sequence[str] = ("select", "resolve")
) -> argparse.ArgumentParser:
    """The argument parser with the given subcommands ("select", "resolve")."""
    parser = argparse.ArgumentParser(
        prog=prog,
        description="tessarin: metadata selection and context resolution on your own files.",
        epilog="Run a subcommand with --help for its options.",
    )
    parser.add_argument("--version", action="version", version=f"tessarin {tessarin.__version__}")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    adders = {"select": _add_select, "resolve": _add_resolve}
    for name in commands:
        adders[name](subparsers)
    return parser


# ---------------------------------------------------------------- input


def _read_json(path: str, what: str) -> Any:
    """The JSON value held by the file at `path` (``-``: standard input)."""
    name = "<stdin>" if path == "-" else path
    try:
        if path == "-":
            data = sys.stdin.buffer.read()
        else:
            with open(path, "rb") as handle:
                data = handle.read()
    except OSError as error:
        reason = error.strerror or str(error)
        raise _Failure(f"cannot read {what} {name}: {reason}") from None
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError as error:
        raise _Failure(f"{name}: not UTF-8 text (byte {error.start})") from None
    try:
        return tessarin.parse_json(text)
    except ValueError as error:
        raise _Failure(f"{name}: invalid JSON: {error}") from None


def _json_kind(value: Any) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, (int, float)):
        return "a number"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, list):
        return "a list"
    return "an object"


def _write(text: str) -> None:
    # Bytes, not text: UTF-8 whatever the console encoding is.
    sys.stdout.buffer.write(text.encode("utf-8"))
    sys.stdout.flush()


def _json(value: Any, indent: int | None = 2) -> str:
    return tessarin.json_text(value, indent=indent, ensure_ascii=False)


# ---------------------------------------------------------------- select


def _run_select(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from tessarin.schemasift import Schemasift, SelectorConfig

    if not args.question.strip():
        parser.error("QUESTION must not be blank")
    catalog = _read_json(args.catalog, "catalog")
    name = "<stdin>" if args.catalog == "-" else args.catalog
    if not isinstance(catalog, dict):
        raise _Failure(
            f"{name}: malformed catalog: catalog must be an object, got {_json_kind(catalog)}"
        )
    config = SelectorConfig(
        strategy=args.strategy,
        top_k_tables=args.top_k,
        max_output_chars=args.max_output_chars,
    )
    try:
        result = Schemasift(config).select(
            args.question,
            catalog,
            database=args.database,
            required_tables=args.required_table,
            excluded_tables=args.excluded_table,
        )
    except TypeError as error:  # the normalizer names the path: catalog["tables"][0] ...
        raise _Failure(f"{name}: malformed catalog: {error}") from None
    except ValueError as error:
        raise _Failure(f"{name}: {error}") from None

    if args.format == "json":
        _write(_json(result.to_dict(True)) + "\n")
    elif args.format == "prompt":
        # The compact text the budget and metrics.output_chars measure.
        _write(_json(result.selected_metadata, indent=None) + "\n")
    else:
        _write(_select_summary(result.metrics.summary(), result.selected_metadata))
    return 0


def _select_summary(metrics_line: str, selected: dict[str, Any]) -> str:
    lines = [metrics_line]
    database = selected.get("database")
    if database:
        lines.append(f"database: {database}")
    for table in selected.get("tables") or []:
        columns = [str(column.get("name", "")) for column in table.get("columns") or []]
        lines.append(f"table {table.get('table_name', '')}: {', '.join(columns)}")
    for rel in selected.get("relationships") or []:
        lines.append(
            f"join {rel.get('from_table', '')}.{rel.get('from_column', '')} = "
            f"{rel.get('to_table', '')}.{rel.get('to_column', '')}"
        )
    return "".join(line + "\n" for line in lines)


# ---------------------------------------------------------------- resolve


def _run_resolve(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from tessarin.turnmend import TurnContextCard, Turnmend

    cards = _read_json(args.cards, "cards")
    name = "<stdin>" if args.cards == "-" else args.cards
    if not isinstance(cards, list):
        raise _Failure(
            f"{name}: malformed cards: expected a list of card maps, got {_json_kind(cards)}"
        )
    # The resolver raises the same errors, but without the card's place.
    for index, card in enumerate(cards):
        if isinstance(card, dict):
            try:
                TurnContextCard(**card)
            except TypeError as error:
                raise _Failure(f"{name}: malformed card [{index}]: {error}") from None
    try:
        resolution = Turnmend().resolve(args.message, cards)
    except (TypeError, ValueError) as error:
        raise _Failure(f"{name}: malformed cards: {error}") from None

    if args.format == "json":
        _write(_json(resolution.to_dict()) + "\n")
    else:
        _write(_resolution_text(resolution))
    return 0


def _resolution_text(res: Any) -> str:
    def show(value: Any) -> str:
        if value is None:
            return "-"
        if isinstance(value, list):
            return ", ".join(str(item) for item in value) or "-"
        return str(value)

    lines = [
        f"context_type: {res.context_type}",
        f"route: {res.route}",
        f"confidence: {tessarin.display_text(res.confidence)}",
        f"base_turn_id: {show(res.base_turn_id)}",
        f"resolved_question: {res.resolved_question}",
        f"metadata_search_query: {res.metadata_search_query}",
        f"required_tables: {show(res.required_tables)}",
    ]
    if res.required_columns:
        for table, columns in res.required_columns.items():
            lines.append(f"required_columns: {table}: {show(columns)}")
    else:
        lines.append("required_columns: -")
    if res.intent_delta.operation != "none":
        lines.append(f"operation: {res.intent_delta.operation}")
    lines.append(f"reason: {res.reason}")
    if res.clarification_question is not None:
        lines.append(f"clarification_question: {res.clarification_question}")
    return "".join(line + "\n" for line in lines)


# ---------------------------------------------------------------- main


def main(
    argv: Sequence[str] | None = None,
    *,
    prog: str | None = None,
    commands: Sequence[str] = ("select", "resolve"),
) -> int:
    """Run the command line; returns the exit status (argparse exits itself on usage errors)."""
    parser = build_parser(prog or "tessarin", commands)
    args = parser.parse_args(argv)
    try:
        return int(args.run(args, args.parser))
    except _Failure as failure:
        sys.stderr.write(f"{args.parser.prog}: error: {failure}\n")
        return 1
    except BrokenPipeError:
        # The reader went away (``| head``): say nothing more.
        _silence_stdout()
        return 1
    except KeyboardInterrupt:
        return 130


def _silence_stdout() -> None:
    # Python flushes stdout again at exit; point it at /dev/null so that this
    # last flush cannot raise a second BrokenPipeError.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass


def console_main() -> int:
    """Entry point of the ``tessarin`` console script."""
    return main(prog="tessarin")


if __name__ == "__main__":
    sys.exit(main(prog="python -m tessarin.cli"))
