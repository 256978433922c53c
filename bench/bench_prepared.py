"""Prepared catalogs: what preparing costs and what it saves.

On full-featured generated catalogs (see catalogs.py) of 1,000 tables x 30
columns and 20,000 tables x 10 columns, it prints:

* preparing from the dict, the pickled size against the JSON text, and
  loading the pickle (elapsed time, and the processor time of all threads);
* memory held (PreparedCatalog.nbytes) against the JSON text size;
* the median selection on the prepared catalog, "lexical" and "hybrid"
  (native TF-IDF; the index is fitted by a warm-up first), beside the same
  selection from the dict, in this build and, with --baseline, in a baseline
  build (the previous release, from a `pip install --target` folder) run in
  a subprocess in the same run;
* select_many throughput with 1 and 2 threads.

    PYTHONPATH=build/<dir>/pkg python bench/bench_prepared.py [--baseline DIR] [--quick]
"""

from __future__ import annotations

import argparse
import json
import os
import pickle
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from catalogs import QUESTIONS, generated_catalog  # noqa: E402

SHAPES = ((1_000, 30), (20_000, 10))


def median_ms(call, repeat: int, clock=time.perf_counter) -> float:
    """Median milliseconds of call(i) for i in range(repeat), elapsed by default,
    after one untimed call (the first call of a kind also pays for what the
    calls before it left: the allocator's free lists, the caches). What call
    returns is freed after the clock stops: preparing or loading a catalog is
    timed without freeing the previous one."""
    call(0)
    times = []
    for i in range(repeat):
        started = clock()
        result = call(i)
        times.append((clock() - started) * 1000)
        del result
    return statistics.median(times)


def median_cpu_ms(call, repeat: int) -> float:
    """Median processor time of the whole process (all its threads): the work
    done, which a busy machine does not inflate as it does the elapsed time."""
    return median_ms(call, repeat, time.process_time)


def dict_select_ms(n_tables: int, n_columns: int, strategy: str, repeat: int) -> float:
    """Median select from the dict with whatever tessarin is importable."""
    from tessarin import schemasift as ss

    catalog = generated_catalog(n_tables, n_columns)
    selector = ss.Schemasift(ss.SelectorConfig(strategy=strategy))
    selector.select(QUESTIONS[0], catalog)
    return median_ms(lambda i: selector.select(QUESTIONS[i % len(QUESTIONS)], catalog), repeat)


def baseline_ms(path: str, n_tables: int, n_columns: int, strategy: str, repeat: int,
                timeout: float) -> float | None:
    """The baseline's median, or None when it does not finish within timeout seconds."""
    env = dict(os.environ, PYTHONPATH=path)
    code = (f"import sys; sys.path.insert(0, {str(HERE)!r}); import bench_prepared as b; "
            f"print(b.dict_select_ms({n_tables}, {n_columns}, {strategy!r}, {repeat}))")
    try:
        done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                              text=True, check=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return None
    return float(done.stdout.strip().splitlines()[-1])


def bench_shape(n_tables: int, n_columns: int, baseline: str | None, repeat: int,
                timeout: float) -> None:
    from tessarin import schemasift as ss

    catalog = generated_catalog(n_tables, n_columns)
    json_bytes = len(json.dumps(catalog, ensure_ascii=False).encode())
    print(f"\n{n_tables} tables x {n_columns} columns, JSON text {json_bytes / 1e6:.1f} MB")

    prepare = median_ms(lambda i: ss.PreparedCatalog(catalog), 7)
    prepared = ss.PreparedCatalog(catalog)
    blob = pickle.dumps(prepared)
    load = median_ms(lambda i: pickle.loads(blob), 7)
    print(f"  prepare {prepare:8.1f} ms   pickle {len(blob) / json_bytes:.2f}x JSON   "
          f"load {load:8.1f} ms ({prepare / load:.1f}x faster than preparing)")
    prepare_cpu = median_cpu_ms(lambda i: ss.PreparedCatalog(catalog), 7)
    load_cpu = median_cpu_ms(lambda i: pickle.loads(blob), 7)
    print(f"  processor time: prepare {prepare_cpu:8.1f} ms   load {load_cpu:8.1f} ms "
          f"({prepare_cpu / load_cpu:.1f}x less)")
    lexical_bytes = prepared.nbytes
    prepared.warm_up()
    print(f"  memory {lexical_bytes / json_bytes:.2f}x JSON after preparing, "
          f"{prepared.nbytes / json_bytes:.2f}x with the TF-IDF index")

    print(f"  {'strategy':>8} {'prepared ms':>12} {'dict ms':>9} {'ratio':>7}"
          + (f" {'baseline dict ms':>17} {'ratio':>7}" if baseline else ""))
    for strategy in ("lexical", "hybrid"):
        selector = ss.Schemasift(ss.SelectorConfig(strategy=strategy))
        on_prepared = median_ms(
            lambda i: selector.select(QUESTIONS[i % len(QUESTIONS)], prepared), repeat * 10)
        on_dict = dict_select_ms(n_tables, n_columns, strategy, max(3, repeat // 2))
        line = f"  {strategy:>8} {on_prepared:12.2f} {on_dict:9.1f} {on_dict / on_prepared:6.0f}x"
        if baseline:
            old = baseline_ms(baseline, n_tables, n_columns, strategy, 1, timeout)
            line += (f" {old:17.1f} {old / on_prepared:6.0f}x" if old is not None
                     else f" {f'> {timeout:.0f} s':>17}")
        print(line)

    selector = ss.Schemasift(ss.SelectorConfig(strategy="lexical"))
    batch = [QUESTIONS[i % len(QUESTIONS)] for i in range(200)]
    for threads in (1, 2):
        started = time.perf_counter()
        selector.select_many(batch, prepared, threads=threads)
        elapsed = time.perf_counter() - started
        print(f"  select_many, {threads} thread(s): {len(batch) / elapsed:8.0f} questions/s")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline", help="folder holding the baseline tessarin package")
    parser.add_argument("--quick", action="store_true", help="only the first shape")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--timeout", type=float, default=300.0,
                        help="seconds a baseline selection may take")
    args = parser.parse_args()
    for n_tables, n_columns in SHAPES[:1] if args.quick else SHAPES:
        bench_shape(n_tables, n_columns, args.baseline, args.repeat, args.timeout)


if __name__ == "__main__":
    main()
