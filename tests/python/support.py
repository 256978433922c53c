"""Helpers the Python tests share: the demonstration card's fields, a runner
for programs that must not end the interpreter, a runner of the same work on
several threads, and a stand-in for the sentence-transformers package."""

from __future__ import annotations

import subprocess
import sys
import textwrap
import threading
import types

import pytest


def demo_card_fields() -> dict:
    """The fields of the resolver's demonstration card (a new dict each call)."""
    return dict(
        turn_id=1,
        user_question="Show total revenue by region for last 6 months",
        resolved_question="Show total revenue by region for last 6 months",
        assistant_answer_summary=(
            "Generated SQL for total revenue grouped by region for the last 6 months."
        ),
        task_type="text_to_sql",
        artifact_type="sql",
        topic_keywords=["sales", "revenue", "region", "last 6 months"],
        entities=["sales_orders", "revenue", "region", "order_date"],
        selected_metadata_ids=[
            "table:sales_orders",
            "column:sales_orders.revenue",
            "column:sales_orders.region",
            "column:sales_orders.order_date",
        ],
        query_state={
            "active_tables": ["sales_orders"],
            "active_columns": ["revenue", "region", "order_date"],
            "metrics": ["revenue"],
            "dimensions": ["region"],
            "date_columns": ["order_date"],
            "group_by": ["region"],
            "filters": [{"column": "order_date", "operation": "last_6_months"}],
            "aggregation": {"function": "sum", "column": "revenue"},
            "granularity": None,
        },
        sql=(
            "SELECT region, sum(revenue) AS total_revenue FROM client_db.sales_orders "
            "WHERE order_date >= addMonths(today(), -6) GROUP BY region"
        ),
    )


def run_program(body: str, timeout: float = 180) -> str:
    """Runs the program in a fresh interpreter (so a crash fails one test, not
    the suite) and returns its output; fails with its errors when it dies,
    hangs or raises."""
    code = textwrap.dedent(body)
    try:
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail(f"program did not finish within {timeout} s:\n{code}")
    assert done.returncode == 0, f"exit status {done.returncode}\n{done.stderr[-3000:]}"
    return done.stdout


def run_in_threads(work, count: int) -> None:
    """Runs work() on count threads at once and waits for them all."""
    threads = [threading.Thread(target=work) for _ in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def install_sentence_transformers(monkeypatch, model_class) -> None:
    """Makes `import sentence_transformers` give a module whose
    SentenceTransformer is model_class, for the rest of the test."""
    module = types.ModuleType("sentence_transformers")
    module.SentenceTransformer = model_class
    monkeypatch.setitem(sys.modules, "sentence_transformers", module)


def shuffled_keys(value, rnd):
    """The value with the keys of every dict, at any depth, in an order drawn
    from rnd (a random.Random)."""
    if isinstance(value, dict):
        items = list(value.items())
        rnd.shuffle(items)
        return {k: shuffled_keys(v, rnd) for k, v in items}
    if isinstance(value, list):
        return [shuffled_keys(v, rnd) for v in value]
    return value
