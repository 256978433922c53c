"""Times the patterns of both libraries on long chat-like messages, tessarin's
engine against Python's re in the same run.

    PYTHONPATH=build/<dir>/pkg python bench/bench_regex.py [--sizes 1000,10000,100000]

For each pattern and message size it prints the median time of findall and
of sub(" ", text) for both engines and the ratio tessarin / re (below 1 means
tessarin is faster).
"""

import argparse
import random
import re
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))

from tessarin import compile_pattern  # noqa: E402
from test_regex import LIBRARY_PATTERNS, VOCABULARY  # noqa: E402


def message(size, seed):
    rng = random.Random(seed)
    words = [w for w in VOCABULARY if w not in ("\u0130", "\u0131")]
    parts, length = [], 0
    while length < size:
        word = rng.choice(words)
        if rng.random() < 0.2:
            word = word.upper()
        parts.append(word)
        parts.append(rng.choice([" ", " ", " ", ", ", ". ", "\n"]))
        length += len(word) + 1
    return "".join(parts)[:size]


def median_time(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="1000,10000,100000")
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    texts = {size: message(size, size) for size in sizes}
    print(f"{'pattern':48} {'size':>7} {'op':>7} {'tessarin ms':>12} {'re ms':>9} {'ratio':>6}")
    ratios = []
    for pattern, ignorecase in LIBRARY_PATTERNS:
        mine = compile_pattern(pattern, ignorecase)
        ref = re.compile(pattern, re.IGNORECASE if ignorecase else 0)
        for size in sizes:
            text = texts[size]
            repeat = args.repeat if size <= 10000 else max(3, args.repeat // 2)
            for op, run_mine, run_ref in (
                ("findall", lambda: mine.findall(text), lambda: ref.findall(text)),
                ("sub", lambda: mine.sub(" ", text), lambda: ref.sub(" ", text)),
            ):
                t_mine = median_time(run_mine, repeat)
                t_ref = median_time(run_ref, repeat)
                ratio = t_mine / t_ref if t_ref > 0 else float("inf")
                ratios.append(ratio)
                shown = pattern if len(pattern) <= 46 else pattern[:43] + "..."
                print(f"{shown:48} {size:>7} {op:>7} {t_mine * 1e3:>12.3f} {t_ref * 1e3:>9.3f} {ratio:>6.2f}")
    print(f"median ratio tessarin / re over all rows: {statistics.median(ratios):.2f}")


if __name__ == "__main__":
    main()
