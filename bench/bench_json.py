"""JSON writing throughput of tessarin.json_text against json.dumps.

Writes a catalog-like value (1,000 tables of 30 columns as nested dicts) in
the settings the libraries use and prints MB/s of output for each writer and
their ratio, as the median of several runs in the same process.

    PYTHONPATH=build/<dir>/pkg python bench/bench_json.py [--tables N] [--runs N]
"""

import json

import tessarin
from bench_util import int_options, median_seconds


def catalog(tables: int, columns: int) -> dict:
    return {
        "database": "warehouse",
        "tables": [
            {
                "name": f"table_{t}",
                "description": f"Rows of business entity {t}, refreshed daily (région {t % 7})",
                "row_count": 1000 + t * 37,
                "score": t / 7.0,
                "tags": ["finance", "daily", None, True],
                "columns": [
                    {
                        "name": f"column_{c}_of_{t}",
                        "type": "VARCHAR" if c % 3 else "NUMERIC(12,2)",
                        "description": f"Attribute {c} of table {t}; values like 'x{c}'",
                        "nullable": c % 2 == 0,
                        "position": c,
                        "weight": c * 0.125,
                    }
                    for c in range(columns)
                ],
            }
            for t in range(tables)
        ],
    }


def main() -> None:
    args = int_options(__doc__, tables=1000, columns=30, runs=7)
    value = catalog(args.tables, args.columns)

    settings = [
        ("compact, unicode", dict(sort_keys=False, indent=None, ensure_ascii=False)),
        ("sorted keys", dict(sort_keys=True, indent=None, ensure_ascii=False)),
        ("indent 2, ascii", dict(sort_keys=False, indent=2, ensure_ascii=True)),
    ]
    print(f"catalog: {args.tables} tables x {args.columns} columns, median of {args.runs} runs")
    for label, kwargs in settings:
        text = json.dumps(value, **kwargs)
        assert tessarin.json_text(value, **kwargs) == text
        megabytes = len(text.encode()) / 1e6
        ours = median_seconds(lambda: tessarin.json_text(value, **kwargs), args.runs)
        theirs = median_seconds(lambda: json.dumps(value, **kwargs), args.runs)
        print(
            f"{label:18s} {megabytes:7.2f} MB  tessarin.json_text {megabytes / ours:8.1f} MB/s  "
            f"json.dumps {megabytes / theirs:8.1f} MB/s  ratio {theirs / ours:5.2f}x"
        )
    text = json.dumps(value, ensure_ascii=False)
    megabytes = len(text.encode()) / 1e6
    ours = median_seconds(lambda: tessarin.parse_json(text), args.runs)
    theirs = median_seconds(lambda: json.loads(text), args.runs)
    print(
        f"{'read':18s} {megabytes:7.2f} MB  tessarin.parse_json {megabytes / ours:7.1f} MB/s  "
        f"json.loads {megabytes / theirs:8.1f} MB/s  ratio {theirs / ours:5.2f}x"
    )


if __name__ == "__main__":
    main()
