"""``python -m tessarin.schemasift``: the demonstration run, or the command line.

Without arguments it selects from the demonstration catalog for one question
and prints the selected metadata, the metrics summary and the debug record.
With arguments it is the ``select`` command of :mod:`tessarin.cli`:
``python -m tessarin.schemasift select CATALOG QUESTION``.
"""

import sys

from tessarin import json_text
from tessarin.schemasift import _DEMO_QUESTION, demo_catalog, select_metadata


def demo_text() -> str:
    """The three texts of the demonstration run, each ending in a line break."""
    result = select_metadata(
        _DEMO_QUESTION, demo_catalog(), strategy="hybrid", top_k_tables=2, max_columns_per_table=10
    )
    parts = [
        json_text(result.selected_metadata, indent=2, ensure_ascii=True),
        result.metrics.summary(),
        json_text(result.debug, indent=2, ensure_ascii=True),
    ]
    return "".join(part + "\n" for part in parts)


def main(argv: list[str] | None = None) -> int:
    args = sys.argv[1:] if argv is None else argv
    if args:
        from tessarin.cli import main as cli_main

        return cli_main(args, prog="python -m tessarin.schemasift", commands=("select",))
    # Bytes, not text: the summary's arrow must come out as UTF-8 whatever
    # the console encoding is.
    sys.stdout.buffer.write(demo_text().encode("utf-8"))
    sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
