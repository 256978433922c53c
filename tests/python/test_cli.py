"""The command line, run as a user runs it: in a child process, through
``python -m tessarin.schemasift``, ``python -m tessarin.turnmend``,
``python -m tessarin.cli`` and the installed ``tessarin`` console script."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
import tessarin
from tessarin.schemasift import Schemasift, SelectorConfig, demo_catalog
from tessarin.turnmend import Turnmend

SCHEMASIFT = [sys.executable, "-m", "tessarin.schemasift"]
TURNMEND = [sys.executable, "-m", "tessarin.turnmend"]
CLI = [sys.executable, "-m", "tessarin.cli"]

CARD = {
    "turn_id": 1,
    "user_question": "Show total revenue by region for last 6 months",
    "resolved_question": "Show total revenue by region for last 6 months",
    "task_type": "text_to_sql",
    "artifact_type": "sql",
    "query_state": {
        "active_tables": ["sales_orders"],
        "active_columns": ["revenue", "region", "order_date"],
        "group_by": ["region"],
        "aggregation": {"function": "sum", "column": "revenue"},
        "filters": [{"column": "order_date", "operation": "last_6_months"}],
    },
}


def run(command, *args, stdin=None):
    return subprocess.run([*command, *args], input=stdin, capture_output=True, timeout=120, check=False)


def ok(command, *args, stdin=None) -> str:
    result = run(command, *args, stdin=stdin)
    assert result.returncode == 0, result.stderr.decode()
    assert result.stderr == b""
    return result.stdout.decode("utf-8")


def fails(command, *args, status=1, stdin=None) -> str:
    """The one line of standard error of a run that exits with `status`."""
    result = run(command, *args, stdin=stdin)
    assert result.returncode == status, (result.stdout, result.stderr)
    assert result.stdout == b""
    err = result.stderr.decode()
    assert "Traceback" not in err
    if status == 1:
        assert err.endswith("\n") and err.count("\n") == 1, err
    return err


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("cli")
    catalog = folder / "catalog.json"
    catalog.write_text(json.dumps(demo_catalog()))
    cards = folder / "cards.json"
    cards.write_text(json.dumps([CARD]))
    return {"folder": folder, "catalog": str(catalog), "cards": str(cards)}


def console_script():
    for candidate in (Path(sys.executable).parent / "tessarin", shutil.which("tessarin")):
        if candidate and Path(candidate).is_file():
            return [str(candidate)]
    return None


# ---------------------------------------------------------------- select


def test_select_json_is_the_results_to_dict_with_debug(files):
    out = ok(SCHEMASIFT, "select", files["catalog"], "total revenue by region")
    result = Schemasift().select("total revenue by region", demo_catalog())
    assert out == tessarin.json_text(result.to_dict(True), indent=2, ensure_ascii=False) + "\n"
    assert list(json.loads(out)) == ["selected_metadata", "metrics", "intent", "debug"]


def test_select_options_reach_the_selector(files):
    args = ["--strategy", "lexical", "--top-k", "1", "--max-output-chars", "300",
            "--required-table", "customers", "--excluded-table", "nothing",
            "--database", "prod"]
    out = json.loads(ok(SCHEMASIFT, "select", files["catalog"], "revenue by region", *args))
    config = SelectorConfig(strategy="lexical", top_k_tables=1, max_output_chars=300)
    result = Schemasift(config).select("revenue by region", demo_catalog(), database="prod",
                                       required_tables=["customers"], excluded_tables=["nothing"])
    assert out == json.loads(tessarin.json_text(result.to_dict(True)))
    assert out["selected_metadata"]["database"] == "prod"
    assert out["debug"]["strategy"] == "lexical"
    excluded = json.loads(ok(SCHEMASIFT, "select", files["catalog"], "customer age group",
                             "--excluded-table", "customers", "--format", "prompt"))
    assert [t["table_name"] for t in excluded["tables"]] == ["sales_orders"]


def test_select_summary_is_the_metrics_line_and_the_chosen_tables(files):
    out = ok(SCHEMASIFT, "select", files["catalog"], "total revenue by region", "--format", "summary")
    result = Schemasift().select("total revenue by region", demo_catalog())
    lines = out.splitlines()
    assert lines[0] == result.metrics.summary()
    assert lines[1] == "database: client_abc_db"
    expected_tables = [
        "table " + t["table_name"] + ": " + ", ".join(c["name"] for c in t["columns"])
        for t in result.selected_metadata["tables"]
    ]
    assert lines[2 : 2 + len(expected_tables)] == expected_tables
    assert lines[-1] == "join sales_orders.customer_id = customers.customer_id"


def test_select_prompt_is_the_measured_text_of_the_selected_metadata(files):
    out = ok(SCHEMASIFT, "select", files["catalog"], "total revenue by region", "--format", "prompt")
    result = Schemasift().select("total revenue by region", demo_catalog())
    assert out.endswith("\n") and "\n" not in out[:-1]
    assert json.loads(out) == json.loads(tessarin.json_text(result.selected_metadata))
    # The text whose size the metrics report, and that the budget bounds.
    assert len(out) - 1 == result.metrics.output_chars
    small = ok(SCHEMASIFT, "select", files["catalog"], "total revenue by region", "--format", "prompt",
               "--max-output-chars", "400")
    budgeted = Schemasift(SelectorConfig(max_output_chars=400)).select("total revenue by region",
                                                                      demo_catalog())
    assert len(small) - 1 == budgeted.metrics.output_chars < result.metrics.output_chars


def test_select_reads_standard_input_and_keeps_non_ascii_text(files):
    catalog = {"database": "Ventes", "tables": [
        {"table_name": "commandes", "description": "Commandes réglées", "columns": [
            {"name": "montant", "type": "decimal", "description": "Montant payé en €"}]}]}
    out = ok(SCHEMASIFT, "select", "-", "montant des commandes", "--format", "prompt",
             stdin=json.dumps(catalog).encode())
    assert "Montant payé en €" in out


# ---------------------------------------------------------------- resolve


def test_resolve_json_is_the_resolutions_to_dict(files):
    out = ok(TURNMEND, "resolve", files["cards"], "make it category based")
    resolution = Turnmend().resolve("make it category based", [CARD])
    assert out == tessarin.json_text(resolution.to_dict(), indent=2, ensure_ascii=False) + "\n"
    assert json.loads(out)["context_type"] == "modify_previous_query"


def test_resolve_text_format(files):
    out = ok(TURNMEND, "resolve", files["cards"], "make it category based", "--format", "text")
    assert out.splitlines() == [
        "context_type: modify_previous_query",
        "route: generate",
        "confidence: 0.55",
        "base_turn_id: 1",
        "resolved_question: Show sum revenue by category where order_date last_6_months",
        "metadata_search_query: sum revenue category where order date last 6 months sales orders region",
        "required_tables: sales_orders",
        "required_columns: sales_orders: revenue, region, order_date",
        "operation: replace_group_by",
        "reason: User message appears to modify or continue a previous result.",
    ]
    ask = ok(TURNMEND, "resolve", "-", "consider monthly?", "--format", "text",
             stdin=json.dumps([CARD]).encode())
    assert "context_type: clarification_needed" in ask.splitlines()
    assert ask.splitlines()[-1].startswith("clarification_question: Which previous result should I use? ")


# ---------------------------------------------------------------- argparse conventions


def test_help_and_version():
    for command in (SCHEMASIFT, TURNMEND, CLI):
        assert "usage:" in ok(command, "--help")
        assert ok(command, "--version") == f"tessarin {tessarin.__version__}\n"
    assert "--required-table" in ok(SCHEMASIFT, "select", "--help")
    assert "--format {json,text}" in ok(TURNMEND, "resolve", "--help")


@pytest.mark.parametrize(
    "command, args, message",
    [
        (SCHEMASIFT, ["select"], "the following arguments are required: CATALOG, QUESTION"),
        (SCHEMASIFT, ["select", "c.json", "q", "--format", "yaml"], "argument --format: invalid choice"),
        (SCHEMASIFT, ["select", "c.json", "q", "--strategy", "fuzzy"], "argument --strategy: invalid choice"),
        (SCHEMASIFT, ["select", "c.json", "q", "--top-k", "many"], "argument --top-k: invalid integer"),
        (SCHEMASIFT, ["select", "c.json", "q", "--max-output-chars", "0"], "must be at least 1"),
        (SCHEMASIFT, ["select", "c.json", "   "], "QUESTION must not be blank"),
        (SCHEMASIFT, ["resolve", "c.json", "q"], "invalid choice: 'resolve'"),
        (TURNMEND, ["select", "c.json", "q"], "invalid choice: 'select'"),
        (TURNMEND, ["resolve", "c.json"], "the following arguments are required: MESSAGE"),
        (CLI, ["frobnicate"], "invalid choice: 'frobnicate'"),
        (CLI, ["select", "c.json", "q", "--no-such-option"], "unrecognized arguments: --no-such-option"),
    ],
)
def test_usage_errors_exit_2(command, args, message):
    err = fails(command, *args, status=2)
    assert err.startswith("usage: ")
    assert message in err


def test_unreadable_files_exit_1_with_one_line(files):
    missing = str(files["folder"] / "missing.json")
    err = fails(SCHEMASIFT, "select", missing, "q")
    assert err == f"python -m tessarin.schemasift select: error: cannot read catalog {missing}: " \
                  "No such file or directory\n"
    err = fails(TURNMEND, "resolve", str(files["folder"]), "q")
    assert err.endswith(": Is a directory\n")
    latin1 = files["folder"] / "latin1.json"
    latin1.write_bytes('{"database": "caf\u00e9"}'.encode("latin-1"))
    assert "not UTF-8 text" in fails(CLI, "select", str(latin1), "q")


def test_invalid_json_names_line_and_column(files):
    bad = files["folder"] / "bad.json"
    bad.write_text('{\n  "tables": [\n    {"table_name": "a",}\n  ]\n}\n')
    err = fails(SCHEMASIFT, "select", str(bad), "q")
    assert err == (f"python -m tessarin.schemasift select: error: {bad}: invalid JSON: "
                   "Expecting property name enclosed in double quotes: line 3 column 24 (char 39)\n")
    err = fails(TURNMEND, "resolve", "-", "q", stdin=b"[{]")
    assert err.startswith("python -m tessarin.turnmend resolve: error: <stdin>: invalid JSON: ")
    assert "line 1 column 3" in err


def test_malformed_catalogs_name_the_path(files):
    cases = [
        ({"tables": 5}, 'catalog["tables"] must be a list or a map, got int'),
        ({"tables": [{"table_name": "a", "columns": ["id"]}]},
         'catalog["tables"][0]["columns"][0] must be a map, got str'),
        ({"tables": {"orders": 3}}, 'catalog["tables"]["orders"] must be a map, got int'),
        ([1, 2], "catalog must be an object, got a list"),
    ]
    for catalog, message in cases:
        err = fails(CLI, "select", "-", "q", stdin=json.dumps(catalog).encode())
        assert err == f"python -m tessarin.cli select: error: <stdin>: malformed catalog: {message}\n"


def test_malformed_cards_name_the_card(files):
    cases = [
        ({"turn_id": 1}, "malformed cards: expected a list of card maps, got an object"),
        ([CARD, {"turn_id": 2, "colour": "red"}],
         "malformed card [1]: TurnContextCard() got an unexpected keyword argument 'colour'"),
        ([{"user_question": "hi"}], "malformed card [0]: TurnContextCard() missing required argument: 'turn_id'"),
        ([{"turn_id": "7"}], "malformed card [0]: TurnContextCard.turn_id must be int, got str"),
    ]
    for cards, message in cases:
        err = fails(TURNMEND, "resolve", "-", "make it weekly", stdin=json.dumps(cards).encode())
        assert err == f"python -m tessarin.turnmend resolve: error: <stdin>: {message}\n"


def test_a_closed_pipe_ends_the_run_quietly(files):
    catalog = {"tables": [
        {"table_name": f"table_{i}", "description": "orders revenue " * 20,
         "columns": [{"name": f"revenue_{j}", "type": "Float64"} for j in range(40)]}
        for i in range(60)]}
    big = files["folder"] / "big.json"
    big.write_text(json.dumps(catalog))
    process = subprocess.Popen([*SCHEMASIFT, "select", str(big), "orders revenue", "--top-k", "60"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    process.stdout.read(10)
    process.stdout.close()
    err = process.stderr.read().decode()
    process.wait(timeout=120)
    process.stderr.close()
    assert "Traceback" not in err and err == ""


# ---------------------------------------------------------------- console script


def test_console_script_has_both_subcommands(files):
    script = console_script()
    if script is None:
        if os.environ.get("CI"):
            pytest.fail("the tessarin console script is not installed beside the interpreter")
        pytest.skip("the tessarin console script is not installed (package not installed with pip)")
    assert ok(script, "--version") == f"tessarin {tessarin.__version__}\n"
    summary = ok(script, "select", files["catalog"], "total revenue by region", "--format", "summary")
    assert summary.splitlines()[0].startswith("tables 2 → ")
    text = ok(script, "resolve", files["cards"], "make it category based", "--format", "text")
    assert text.splitlines()[0] == "context_type: modify_previous_query"
    err = fails(script, "select", str(files["folder"] / "missing.json"), "q")
    assert err.startswith("tessarin select: error: cannot read catalog ")
