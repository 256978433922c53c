"""Benchmark of Schemasift.select (strategy "lexical" unless --strategy says otherwise).

Generated catalogs of 10, 100 and 1,000 tables of 30 columns, selected from a
catalog dict and from a prepared MetadataCatalog; median milliseconds per
call (wall clock and process CPU time: on a shared machine the CPU time is
the steadier figure), with the share of the dict path spent converting and
normalizing the catalog, and the cost per column.

When the Spider data is present (../shared/data/spider next to the
repository, or the folder given as the first argument), its 876 tables also
form one catalog that is asked each of the 1,034 development questions; the
run reports the median per question and how often the tables of the gold
query are all among those selected.

    PYTHONPATH=build/<dir>/pkg python bench/bench_schemasift.py [--strategy S] [spider-folder]
"""

from __future__ import annotations

import argparse
import json
import random
import statistics
import sys
import time
from pathlib import Path

from tessarin import schemasift as ss

QUESTION = "total revenue by region and product category for the last 6 months"
WORDS = ["order", "customer", "product", "region", "revenue", "amount", "status", "type", "date",
         "created", "price", "quantity", "store", "channel", "segment", "account", "invoice",
         "payment", "item", "category", "country", "city", "discount", "margin", "shipment"]
TYPES = ["String", "Int64", "Float64", "Date", "DateTime", "Bool", "LowCardinality(String)"]


def generated_catalog(n_tables: int, n_columns: int = 30, seed: int = 1) -> dict:
    rnd = random.Random(seed)
    tables = []
    for t in range(n_tables):
        columns = []
        for c in range(n_columns):
            a, b = rnd.choice(WORDS), rnd.choice(WORDS)
            column = {"name": f"{a}_{b}_{c}", "type": rnd.choice(TYPES),
                      "description": f"The {a} {b} of the {rnd.choice(WORDS)} record"}
            if c % 3 == 0:
                column["synonyms"] = [b, f"{a} {b}"]
            if c == 0:
                column["is_primary_key"] = True
            columns.append(column)
        tables.append({"table_name": f"{rnd.choice(WORDS)}_{rnd.choice(WORDS)}_{t}",
                       "business_name": f"{rnd.choice(WORDS).title()} facts",
                       "description": f"Facts about {rnd.choice(WORDS)} and {rnd.choice(WORDS)}",
                       "tags": [rnd.choice(WORDS)], "columns": columns})
    return {"database": "bench", "tables": tables}


def timed(call, repeat: int) -> tuple[float, float]:
    """Median wall and CPU milliseconds of call()."""
    wall, cpu = [], []
    for _ in range(repeat):
        w, c = time.perf_counter(), time.process_time()
        call()
        cpu.append((time.process_time() - c) * 1000)
        wall.append((time.perf_counter() - w) * 1000)
    return statistics.median(wall), statistics.median(cpu)


def bench_generated(strategy: str) -> None:
    selector = ss.Schemasift(ss.SelectorConfig(strategy=strategy))
    print(f"{'tables':>7} {'columns':>8} {'source':>8} {'wall ms':>9} {'cpu ms':>8} {'us/col':>7}")
    for n_tables, repeat in ((10, 200), (100, 40), (1000, 9)):
        catalog = generated_catalog(n_tables)
        prepared = ss.CatalogNormalizer.normalize(catalog)
        n_columns = sum(len(t.columns) for t in prepared.tables)
        selector.select(QUESTION, prepared)  # warm up
        record_ms = timed(lambda: selector.select(QUESTION, prepared), repeat)
        dict_ms = timed(lambda: selector.select(QUESTION, catalog), repeat)
        normalize_ms = timed(lambda: ss.CatalogNormalizer.normalize(catalog), repeat)
        for source, (wall, cpu) in (("record", record_ms), ("dict", dict_ms)):
            print(f"{n_tables:>7} {n_columns:>8} {source:>8} {wall:>9.2f} {cpu:>8.2f} "
                  f"{1000 * cpu / n_columns:>7.2f}")
        conversion = min(1.0, normalize_ms[1] / dict_ms[1]) if dict_ms[1] else 0.0
        rest = 1.0 - conversion
        print(f"{'':>7} dict path: conversion+normalization {100 * conversion:.0f}%, "
              f"scoring, choice, output and measuring {100 * rest:.0f}% "
              f"(normalize alone {normalize_ms[1]:.2f} ms cpu)")


def spider_catalog(folder: Path) -> tuple[dict, list[dict]]:
    schemas = json.loads((folder / "tables.json").read_text())
    tables, relationships = [], []
    for db in schemas:
        names = db["table_names_original"]
        columns: list[list[dict]] = [[] for _ in names]
        primary = set(db["primary_keys"]) if all(isinstance(k, int) for k in db["primary_keys"]) else set()
        foreign = {a for a, _ in db["foreign_keys"]}
        for index, ((table_index, name), kind) in enumerate(
                zip(db["column_names_original"], db["column_types"])):
            if table_index < 0:
                continue
            columns[table_index].append({"name": name, "type": kind, "is_primary_key": index in primary,
                                         "is_foreign_key": index in foreign})
        for i, name in enumerate(names):
            tables.append({"table_name": f"{db['db_id']}.{name}", "columns": columns[i]})
        for a, b in db["foreign_keys"]:
            (ta, ca), (tb, cb) = db["column_names_original"][a], db["column_names_original"][b]
            relationships.append({"from_table": f"{db['db_id']}.{names[ta]}", "from_column": ca,
                                  "to_table": f"{db['db_id']}.{names[tb]}", "to_column": cb})
    questions = json.loads((folder / "dev_questions.json").read_text())
    return {"database": "spider", "tables": tables, "relationships": relationships}, questions


def bench_spider(folder: Path, strategy: str) -> None:
    catalog, questions = spider_catalog(folder)
    prepared = ss.CatalogNormalizer.normalize(catalog)
    selector = ss.Schemasift(ss.SelectorConfig(strategy=strategy, include_debug=False))
    wall, cpu, hits = [], [], 0
    for q in questions:
        w, c = time.perf_counter(), time.process_time()
        result = selector.select(q["question"], prepared)
        cpu.append((time.process_time() - c) * 1000)
        wall.append((time.perf_counter() - w) * 1000)
        chosen = {t["table_name"] for t in result.selected_metadata["tables"]}
        hits += all(f"{q['db_id']}.{t}" in chosen for t in q["tables"])
    n_columns = sum(len(t.columns) for t in prepared.tables)
    print(f"spider: {len(prepared.tables)} tables, {n_columns} columns, {len(questions)} questions: "
          f"median {statistics.median(wall):.2f} ms wall, {statistics.median(cpu):.2f} ms cpu per "
          f"question; gold tables all selected (top 3) for {100 * hits / len(questions):.1f}%")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--strategy", default="lexical", choices=[s.value for s in ss.Strategy])
    parser.add_argument("spider", nargs="?", type=Path,
                        default=Path(__file__).resolve().parents[2] / "shared" / "data" / "spider")
    args = parser.parse_args()
    print(f"strategy {args.strategy}")
    bench_generated(args.strategy)
    folder = args.spider
    if (folder / "tables.json").exists() and (folder / "dev_questions.json").exists():
        bench_spider(folder, args.strategy)
    else:
        print(f"spider data not found under {folder}; skipped")


if __name__ == "__main__":
    main()
