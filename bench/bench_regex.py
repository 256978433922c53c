"""Times the patterns of both libraries on long chat-like messages, tessarin's
engine against Python's re in the same run, then patterns that make a
backtracking engine go exponential.

    PYTHONPATH=build/<dir>/pkg python bench/bench_regex.py [--sizes 1000,10000,100000]
        [--backtracking-size 100000] [--re-limit 10] [--skip-library]

For each pattern and message size it prints the median time of findall and
of sub(" ", text) for both engines and the ratio tessarin / re (below 1 means
tessarin is faster). The backtracking table times one search on texts of
--backtracking-size characters; re runs in a subprocess stopped after
--re-limit seconds (shown as ">limit").
"""

import argparse
import random
import re
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))

from bench_util import median_seconds  # noqa: E402
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


# Patterns that go exponential in a plain backtracking engine, each with a
# text built from the size: (pattern, text of n characters).
BACKTRACKING = [
    (r"(a*)*$", lambda n: "a" * (n - 1) + "b"),
    (r"()*(a+)+b", lambda n: "a" * n),
    (r"(?=(a+)+b)", lambda n: "a" * n),
    (r"(.*)*x", lambda n: "a" * n),
    (r"(a(?!b)+)+b", lambda n: "a" * n),
    (r"(a+)+b", lambda n: "a" * n),
    (r"(a|a)*b", lambda n: "a" * n),
    (r"(a|aa)*b", lambda n: "a" * n),
    (r"(a*)+b", lambda n: "a" * n),
    (r"(a?){25}a{25}", lambda n: "a" * 25 + "b" * (n - 25)),
    (r"^(\w+\s?)*$", lambda n: "ab " * (n // 3 - 1) + "!!!"),
    (r"^(([a-z])+.)+[A-Z]([a-z])+$", lambda n: "a" * (n - 1) + "!"),
    (r"(x+x+)+y", lambda n: "x" * n),
    (r"(.*a){12}", lambda n: "a" * (n - 1) + "b"),
    (r"^([a-zA-Z0-9])(([\-.]|[_]+)?([a-zA-Z0-9]+))*(@){1}[a-z0-9]+[.]{1}(([a-z]{2,3})|([a-z]{2,3}[.]{1}[a-z]{2,3}))$",
     lambda n: "a" * (n - 1) + "@"),
    (r"(\d+|\d+\.\d+)*x", lambda n: "1" * n),
    (r"((?=a*)a?)*$", lambda n: "a" * (n - 1) + "b"),
]

_RE_TIMER = """
import re, sys, time
pattern, n, index = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
sys.path.insert(0, sys.argv[4])
from bench_regex import BACKTRACKING
text = BACKTRACKING[index][1](n)
compiled = re.compile(pattern)
start = time.perf_counter()
compiled.search(text)
print(time.perf_counter() - start)
"""


def time_re_limited(index, n, limit):
    """Seconds of one re search in a subprocess, or None past the limit."""
    pattern = BACKTRACKING[index][0]
    here = str(Path(__file__).resolve().parent)
    try:
        done = subprocess.run([sys.executable, "-c", _RE_TIMER, pattern, str(n), str(index), here],
                              capture_output=True, text=True, timeout=limit, check=True)
    except subprocess.TimeoutExpired:
        return None
    return float(done.stdout)


def backtracking_table(n, limit):
    print(f"\nbacktracking patterns, one search on {n} characters (re stopped after {limit:g} s)")
    print(f"{'pattern':48} {'tessarin ms':>12} {'re ms':>10} {'match':>16}")
    worst = 0.0
    for index, (pattern, make) in enumerate(BACKTRACKING):
        text = make(n)
        mine = compile_pattern(pattern)
        times = []
        for _ in range(3):
            start = time.perf_counter()
            found = mine.search(text)
            times.append(time.perf_counter() - start)
        t_mine = min(times)
        worst = max(worst, t_mine)
        t_ref = time_re_limited(index, n, limit)
        shown_ref = f">{limit * 1e3:.0f}" if t_ref is None else f"{t_ref * 1e3:.2f}"
        span = str(found.span()) if found else "None"
        shown = pattern if len(pattern) <= 46 else pattern[:43] + "..."
        print(f"{shown:48} {t_mine * 1e3:>12.2f} {shown_ref:>10} {span:>16}")
    print(f"slowest tessarin search: {worst * 1e3:.2f} ms")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="1000,10000,100000")
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--backtracking-size", type=int, default=100_000)
    parser.add_argument("--re-limit", type=float, default=10.0)
    parser.add_argument("--skip-library", action="store_true")
    args = parser.parse_args()
    if not args.skip_library:
        library_table(args)
    backtracking_table(args.backtracking_size, args.re_limit)


def library_table(args):
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
                t_mine = median_seconds(run_mine, repeat)
                t_ref = median_seconds(run_ref, repeat)
                ratio = t_mine / t_ref if t_ref > 0 else float("inf")
                ratios.append(ratio)
                shown = pattern if len(pattern) <= 46 else pattern[:43] + "..."
                print(f"{shown:48} {size:>7} {op:>7} {t_mine * 1e3:>12.3f} {t_ref * 1e3:>9.3f} {ratio:>6.2f}")
    print(f"median ratio tessarin / re over all rows: {statistics.median(ratios):.2f}")


if __name__ == "__main__":
    main()
