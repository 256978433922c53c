"""Timing helpers the benchmark scripts share."""

from __future__ import annotations

import argparse
import statistics
import time
from collections.abc import Callable


def median_seconds(fn: Callable[[], object], runs: int,
                   clock: Callable[[], float] = time.perf_counter) -> float:
    """Median seconds of fn() over runs calls, on the given clock (wall time by
    default; time.process_time for CPU time, steadier on a shared machine)."""
    times = []
    for _ in range(runs):
        start = clock()
        fn()
        times.append(clock() - start)
    return statistics.median(times)


def int_options(doc: str, **defaults: int) -> argparse.Namespace:
    """Parses the command line as one --name N option per keyword, with that
    default; the first line of doc describes the script in --help."""
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    for name, default in defaults.items():
        parser.add_argument(f"--{name}", type=int, default=default)
    return parser.parse_args()
