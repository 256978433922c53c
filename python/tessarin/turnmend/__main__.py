"""Demonstration run: resolves four messages against one example card."""

from tessarin.turnmend import _native

print(_native._demonstration_text(), end="")
