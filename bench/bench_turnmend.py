"""Cost of Turnmend.resolve from Python: median microseconds per call for the
four demonstration messages, against one card and against ten (card records
passed in)."""

import statistics
import time
from pathlib import Path

from tessarin.turnmend import Turnmend, TurnContextCard

MESSAGES = ["consider monthly?", "make it category based", "what else we get?",
            "Show failed payment count by bank"]

# Nine earlier turns of a sales-analytics chat, shared with turnmend_bench.cpp
# (after the line of column names).
TURNS = [tuple(line.split("\t"))
         for line in (Path(__file__).parent / "turns.tsv").read_text().splitlines()[1:]]


def demo_card():
    return TurnContextCard(
        turn_id=1,
        user_question="Show total revenue by region for last 6 months",
        resolved_question="Show total revenue by region for last 6 months",
        assistant_answer_summary="Generated SQL for total revenue grouped by region for the "
        "last 6 months.",
        task_type="text_to_sql",
        artifact_type="sql",
        topic_keywords=["sales", "revenue", "region", "last 6 months"],
        entities=["sales_orders", "revenue", "region", "order_date"],
        selected_metadata_ids=["table:sales_orders", "column:sales_orders.revenue",
                               "column:sales_orders.region", "column:sales_orders.order_date"],
        query_state={
            "active_tables": ["sales_orders"],
            "active_columns": ["revenue", "region", "order_date"],
            "metrics": ["revenue"], "dimensions": ["region"], "date_columns": ["order_date"],
            "group_by": ["region"],
            "filters": [{"column": "order_date", "operation": "last_6_months"}],
            "aggregation": {"function": "sum", "column": "revenue"}, "granularity": None,
        },
    )


def realistic_cards():
    cards = []
    for turn_id, (question, table, metric, dimension, task, artifact) in enumerate(TURNS, 2):
        cards.append(TurnContextCard(
            turn_id=turn_id, user_question=question, resolved_question=question,
            assistant_answer_summary="Generated output for: " + question,
            task_type=task, artifact_type=artifact, topic_keywords=[metric, dimension],
            entities=[table, metric, dimension],
            selected_metadata_ids=[f"table:{table}", f"column:{table}.{metric}",
                                   f"column:{table}.{dimension}"],
            query_state={"active_tables": [table], "active_columns": [metric, dimension],
                         "metrics": [metric], "dimensions": [dimension],
                         "aggregation": {"function": "sum", "column": metric}},
        ))
    return cards + [demo_card()]


def median_us(resolver, cards, rounds):
    samples = []
    for _ in range(rounds):
        start = time.perf_counter()
        for message in MESSAGES:
            resolver.resolve(message, cards)
        samples.append((time.perf_counter() - start) / len(MESSAGES) * 1e6)
    return statistics.median(samples)


def main():
    resolver = Turnmend()
    one, ten = [demo_card()], realistic_cards()
    median_us(resolver, ten, 100)
    print("turnmend resolve (Python), median per call over the 4 demonstration messages")
    print(f"   1 card : {median_us(resolver, one, 1000):8.2f} us")
    print(f"  10 cards: {median_us(resolver, ten, 1000):8.2f} us  (goal < 25)")


if __name__ == "__main__":
    main()
