"""``python -m tessarin.turnmend``: the demonstration run, or the command line.

Without arguments it resolves four messages against one example card and
prints the resolutions. With arguments it is the ``resolve`` command of
:mod:`tessarin.cli`: ``python -m tessarin.turnmend resolve CARDS MESSAGE``.
"""

import sys


def main(argv: list[str] | None = None) -> int:
    args = sys.argv[1:] if argv is None else argv
    if args:
        from tessarin.cli import main as cli_main

        return cli_main(args, prog="python -m tessarin.turnmend", commands=("resolve",))
    from tessarin.turnmend import _native

    print(_native._demonstration_text(), end="")
    return 0


if __name__ == "__main__":
    sys.exit(main())
