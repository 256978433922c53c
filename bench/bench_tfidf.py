"""TF-IDF fit and score time of the native index against scikit-learn.

Builds the scoring documents of catalogs of 10, 100 and 1,000 tables with 30
columns each (one document per table and per column, as a selection does),
fits both vectorizers on them and scores one question, and prints the median
processor time of each (wall time is unreliable on a shared machine) and
their ratio. The native time covers the conversion of the Python strings too.
With --rounds N the whole table is measured N times and the median ratio of
each size closes the output, which steadies the figure on a busy machine.

    PYTHONPATH=build/<dir>/pkg python bench/bench_tfidf.py [--runs N] [--columns N] [--rounds N]
"""

import statistics
import time

from bench_util import int_options, median_seconds
from tessarin._core import schemasift

TABLE_WORDS = ["orders", "customers", "products", "invoices", "shipments", "regions", "payments"]
COLUMN_WORDS = [
    ("customer_id", "customer id", "identifier of the customer"),
    ("order_date", "order date", "date the order was placed"),
    ("total_amount", "total amount", "order total in USD"),
    ("region_name", "region name", "sales region"),
    ("product_category", "product category", "category of the product"),
    ("quantity", "quantity", "units sold"),
]
QUESTION = "total revenue by region for orders 12 last 6 months"


def documents(tables: int, columns: int) -> list[str]:
    docs = []
    for t in range(tables):
        base = TABLE_WORDS[t % len(TABLE_WORDS)]
        table = f"{base}_{t}"
        docs.append(f"table::{table} {base} {t} sales {base[:-1]} table fact data")
        for c in range(columns):
            name, words, description = COLUMN_WORDS[c % len(COLUMN_WORDS)]
            column = f"{name}_{c}"
            docs.append(
                f"column::{table}.{column} {table} {column} {words} {c} {description} {base}"
            )
    return docs


def main() -> None:
    args = int_options(__doc__, columns=30, runs=5, rounds=1)

    from sklearn.feature_extraction.text import TfidfVectorizer
    from sklearn.metrics.pairwise import cosine_similarity

    def sklearn_run(docs):
        vectorizer = TfidfVectorizer(ngram_range=(1, 2), lowercase=True)
        matrix = vectorizer.fit_transform(docs)
        return cosine_similarity(vectorizer.transform([QUESTION]), matrix)[0]

    sizes = (10, 100, 1000)
    corpora = {tables: documents(tables, args.columns) for tables in sizes}
    ratios: dict[int, list[float]] = {tables: [] for tables in sizes}
    for _ in range(args.rounds):
        print(f"{'tables':>7} {'docs':>7} {'native ms':>10} {'sklearn ms':>11} {'ratio':>7} {'max diff':>9}")
        for tables in sizes:
            docs = corpora[tables]
            native = median_seconds(lambda: schemasift._tfidf_similarities(docs, QUESTION),
                                    args.runs, time.process_time)
            reference = median_seconds(lambda: sklearn_run(docs), args.runs, time.process_time)
            ours = schemasift._tfidf_similarities(docs, QUESTION)
            diff = max(abs(a - b) for a, b in zip(ours, sklearn_run(docs)))
            ratios[tables].append(reference / native)
            print(
                f"{tables:>7} {len(docs):>7} {native * 1e3:>10.2f} {reference * 1e3:>11.2f}"
                f" {reference / native:>6.1f}x {diff:>9.1e}"
            )
    if args.rounds > 1:
        medians = ", ".join(f"{t} tables {statistics.median(r):.1f}x" for t, r in ratios.items())
        print(f"median ratio over {args.rounds} rounds: {medians}")

if __name__ == "__main__":
    main()
