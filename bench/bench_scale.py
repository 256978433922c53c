"""Scaling of Schemasift.select with catalog size, on full-featured catalogs.

Catalogs of 1,000, 5,000, 20,000 and 50,000 tables of 10 columns (every field
in use: see catalogs.py) are selected from as a dict, the way a service that
does not prepare its catalog calls the library. Each size runs in a fresh
process (its peak memory is its own); the table gives milliseconds per call,
microseconds per table, the growth factor from the previous size (linear
growth is the ratio of the sizes), and the peak resident memory.

The same run measures a baseline build beside the current one, given by
--baseline (a folder to put first on sys.path, such as a `pip install
--target` of the previous release); a baseline size that takes longer than
--timeout seconds is reported as not finished.

    PYTHONPATH=build/<dir>/pkg python bench/bench_scale.py [--baseline DIR] [--strategy S]
"""

from __future__ import annotations

import argparse
import json
import math
import os
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

SIZES = (1_000, 5_000, 20_000, 50_000)
HERE = Path(__file__).resolve().parent


def worker(n_tables: int, strategy: str, repeat: int, prepared: bool) -> None:
    sys.path.insert(0, str(HERE))
    from catalogs import QUESTIONS, generated_catalog

    from tessarin import schemasift as ss

    catalog = generated_catalog(n_tables)
    selector = ss.Schemasift(ss.SelectorConfig(strategy=strategy))
    source = catalog
    prepare_ms = None
    if prepared:
        started = time.perf_counter()
        source = ss.PreparedCatalog(catalog)
        prepare_ms = (time.perf_counter() - started) * 1000
    times = []
    for i in range(repeat):
        started = time.perf_counter()
        selector.select(QUESTIONS[i % len(QUESTIONS)], source)
        times.append((time.perf_counter() - started) * 1000)
    peak_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(json.dumps({"ms": statistics.median(times), "peak_mb": peak_mb,
                      "prepare_ms": prepare_ms}))


def measure(n_tables: int, strategy: str, repeat: int, path: str | None, timeout: float,
            prepared: bool = False) -> dict | None:
    env = dict(os.environ)
    if path:
        env["PYTHONPATH"] = os.pathsep.join([path, env.get("PYTHONPATH", "")])
    command = [sys.executable, __file__, "--worker", str(n_tables), "--strategy", strategy,
               "--repeat", str(repeat)] + (["--prepared"] if prepared else [])
    try:
        done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=timeout,
                              check=True)
    except subprocess.TimeoutExpired:
        return None
    except subprocess.CalledProcessError as error:
        raise SystemExit(f"worker for {n_tables} tables failed:\n{error.stderr}") from None
    return json.loads(done.stdout.strip().splitlines()[-1])


def print_table(title: str, rows: list[tuple[int, dict | None]]) -> None:
    print(title)
    print(f"{'tables':>7} {'ms/call':>10} {'us/table':>9} {'growth':>7} {'size x':>7} "
          f"{'/doubling':>9} {'peak MB':>8}")
    previous = None
    for n, row in rows:
        if row is None:
            print(f"{n:>7} {'not finished':>10}")
            previous = None
            continue
        growth = ratio = per_doubling = ""
        if previous:
            factor, size = row["ms"] / previous[1]["ms"], n / previous[0]
            # The growth factor the step amounts to per doubling of the catalog.
            growth, ratio = f"{factor:.2f}", f"{size:.1f}"
            per_doubling = f"{factor ** (1 / math.log2(size)):.2f}"
        print(f"{n:>7} {row['ms']:>10.1f} {row['ms'] * 1000 / n:>9.1f} {growth:>7} {ratio:>7} "
              f"{per_doubling:>9} {row['peak_mb']:>8.0f}")
        previous = (n, row)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline", help="folder holding the baseline tessarin package")
    parser.add_argument("--strategy", default="lexical")
    parser.add_argument("--timeout", type=float, default=300.0)
    parser.add_argument("--sizes", default=",".join(map(str, SIZES)))
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--worker", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--prepared", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(args.worker, args.strategy, args.repeat, args.prepared)
        return
    sizes = [int(n) for n in args.sizes.split(",")]
    print(f"select from a dict, strategy {args.strategy!r}, median of {args.repeat} calls")
    current = [(n, measure(n, args.strategy, args.repeat, None, args.timeout)) for n in sizes]
    print_table("current build", current)
    if args.baseline:
        baseline = []
        for n in sizes:
            row = measure(n, args.strategy, 1, args.baseline, args.timeout)
            baseline.append((n, row))
            if row is None:  # larger sizes cannot finish either
                baseline += [(m, None) for m in sizes if m > n]
                break
        print_table(f"baseline ({args.baseline})", baseline)
        for (n, new), (_, old) in zip(current, baseline):
            if new and old:
                print(f"{n:>7} tables: baseline / current = {old['ms'] / new['ms']:.1f}x")


if __name__ == "__main__":
    main()
