"""Helpers the Python tests share: the demonstration card's fields, the
identifier splits and token estimates both libraries give, a runner for
programs that must not end the interpreter, a runner of the same work on
several threads, and a stand-in for the sentence-transformers package."""

from __future__ import annotations

import math
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


# Identifiers and their words as both libraries split them: at separators and
# before each capital, lowered in full Unicode.
IDENTIFIER_SPLITS = [
    ("", ""),
    ("OrderDate", "order date"),
    ("customerID", "customer i d"),
    ("URLPath", "u r l path"),
    ("ABCTable", "a b c table"),
    ("A", "a"),
    ("order_date", "order date"),
    ("created_at_ms", "created at ms"),
    ("Order_Date", "order  date"),
    ("order_Date", "order  date"),
    ("sales.orders-v2", "sales orders v2"),
    ("sales.orderDate", "sales order date"),
    ("\u212aey", "key"),
    ("ÉcoleName", "école name"),
]


# (text, characters per token, estimate) as both libraries count: the code
# points divided, rounded up; a bad count fails as Python's arithmetic does.
TOKEN_ESTIMATES = [
    ("", 4.0, 0),
    ("", 0.0, 0),
    ("a", 4.0, 1),
    ("abcd", 4.0, 1),
    ("abcde", 4.0, 2),
    ("a" * 8, 4.0, 2),
    ("a" * 9, 4.0, 3),
    ("ééééé", 4.0, 2),
    ("éé", 1.0, 2),
    ("abc", -1.0, 1),
    ("abc", 0.5, 6),
    ("a", 0, ZeroDivisionError),
    ("abc", 0.0, ZeroDivisionError),
    ("a", math.nan, ValueError),
    ("abc", 1e-320, OverflowError),
    ("a", -1e-320, OverflowError),  # math.ceil(-inf)
]


def expect_result(call, expected) -> None:
    """call() returns expected or, when expected is an exception class, raises it."""
    if isinstance(expected, type) and issubclass(expected, BaseException):
        with pytest.raises(expected):
            call()
    else:
        assert call() == expected


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
