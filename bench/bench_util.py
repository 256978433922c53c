"""Timing helpers the benchmark scripts share."""

from __future__ import annotations

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
