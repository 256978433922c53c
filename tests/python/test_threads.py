"""Both libraries called from many threads at once give the sequential results."""

from concurrent.futures import ThreadPoolExecutor

from tessarin import compile_pattern, json_text
from tessarin.schemasift import Schemasift, demo_catalog
from tessarin.turnmend import TurnContextCard, Turnmend

MESSAGES = [
    "make it category based",
    "consider monthly?",
    "what else we get?",
    "show top 5 regions by revenue for turn 1",
]
QUESTIONS = ["revenue by region", "monthly order count", "top customers", "failed payments"]


def _cards():
    return [
        TurnContextCard(
            turn_id=i,
            user_question=f"Show total revenue by region for last {i} months",
            query_state={"active_tables": ["sales_orders"], "active_columns": ["revenue", "region"]},
        )
        for i in range(1, 6)
    ]


def _run_in_threads(work, items, rounds=25):
    with ThreadPoolExecutor(max_workers=4) as pool:
        return list(pool.map(work, items * rounds))


def test_resolve_from_threads_matches_sequential():
    resolver, cards = Turnmend(), _cards()

    def work(message):
        return json_text(resolver.resolve(message, cards).to_dict(False))

    expected = [work(m) for m in MESSAGES]
    assert _run_in_threads(work, MESSAGES) == expected * 25


def test_select_from_threads_matches_sequential():
    selector, catalog = Schemasift(), demo_catalog()

    def work(question):
        return json_text(selector.select(question, catalog).selected_metadata)

    expected = [work(q) for q in QUESTIONS]
    assert _run_in_threads(work, QUESTIONS) == expected * 25


def test_one_pattern_shared_by_threads():
    pattern = compile_pattern(r"\btop\s+(\d+)\b", ignorecase=True)
    texts = [f"{'x ' * 3000}TOP {n} rows" for n in range(4)]

    def work(text):
        return pattern.findall(text)

    assert _run_in_threads(work, texts) == [[str(n)] for n in range(4)] * 25
