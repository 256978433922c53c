"""tessarin: prepares the input of LLM features that answer questions about data.

Two independent libraries:

* :mod:`tessarin.turnmend` resolves a chat message against compact cards of
  earlier turns.
* :mod:`tessarin.schemasift` selects from a metadata catalog only the tables,
  columns and joins a question needs.

The value services shared by both are exposed here: :func:`json_text`,
:func:`parse_json`, :func:`display_text` and :func:`compile_pattern`.
"""

from tessarin import _core, _signatures

# Before anything is exported: every native function and method gets its
# signature (inspect, help) and keyword errors that name the keyword.
_signatures.wrap_module(_core, __name__)
_signatures.wrap_module(_core.turnmend, "tessarin.turnmend")
_signatures.wrap_module(_core.schemasift, "tessarin.schemasift")

__all__: list[str] = []
for _name in ("json_text", "parse_json", "display_text", "compile_pattern", "Pattern", "Match"):
    if hasattr(_core, _name):
        globals()[_name] = getattr(_core, _name)
        __all__.append(_name)
del _name

#: The metaclass of every native class (nanobind's), named for the type stubs.
_NativeType = type(_core.Pattern)

__version__ = "0.1.0"
