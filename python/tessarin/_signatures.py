"""Signatures of the native functions, read from their own declarations.

nanobind functions carry their declaration as text (``__nb_signature__``:
``def name(params) -> result`` with defaults as ``\\0``, ``\\1``, ...) but no
``__signature__``. :func:`wrap_module` puts every function and method of a
native module into a ``_core._Function`` / ``_core._Method`` wrapper, whose
``__signature__`` comes from :func:`signature_of` and whose failed calls are
explained by :func:`binding_error`. Parameters and defaults are the
binding's; the annotations are the type stubs' where the binding only knows
``object`` (an argument it checks itself). A class's ``__init__`` is wrapped too,
which gives the class its signature; nanobind constructs instances through
the function it holds itself, so construction is unchanged.
"""

from __future__ import annotations

import collections.abc
import importlib
import re
import sys
import typing
from pathlib import Path
from typing import TYPE_CHECKING, Any

# ast and inspect are imported by the functions that read declarations,
# which run when a signature is asked for or a call fails, not at import.
if TYPE_CHECKING:
    import ast
    import inspect

from tessarin import _core

_DEFAULT = re.compile(r"\\(\d+)")


def _value(node: ast.expr | None, defaults: tuple[Any, ...]) -> Any:
    import ast
    import inspect
    if node is None:
        return inspect.Parameter.empty
    if isinstance(node, ast.Name) and node.id.startswith("__default_"):
        return defaults[int(node.id.removeprefix("__default_"))]
    try:
        return ast.literal_eval(node)
    except ValueError:
        return ast.unparse(node)


def _resolve(text: str, namespace: dict[str, Any]) -> Any:
    """An annotation as an object when its names resolve (so that help()
    shows `int`, not `'int'`), else as text."""
    try:
        return eval(text, dict(namespace))
    except Exception:
        return text


def _annotation(node: ast.expr | None) -> Any:
    import ast
    import inspect
    if node is None:
        return inspect.Parameter.empty
    return _resolve(ast.unparse(node), _BASE_NAMESPACE)


_BASE_NAMESPACE = {
    "collections": collections,
    "typing": typing,
    "tessarin": sys.modules["tessarin"],
}


_STUBS: dict[str, tuple[dict[str, ast.FunctionDef], dict[str, Any]]] = {}


def _stub(module_name: str) -> tuple[dict[str, ast.FunctionDef], dict[str, Any]]:
    """The functions of a module's type stub by qualified name, and the names
    its annotations use (the module's own and those the stub imports); read
    once."""
    if module_name not in _STUBS:
        _STUBS[module_name] = _read_stub(module_name)
    return _STUBS[module_name]


def _read_stub(module_name: str) -> tuple[dict[str, ast.FunctionDef], dict[str, Any]]:
    import ast
    module = sys.modules.get(module_name)
    path = Path(getattr(module, "__file__", None) or "").with_suffix(".pyi")
    if not path.is_file():
        return {}, {}
    tree = ast.parse(path.read_text(encoding="utf-8"))
    functions: dict[str, ast.FunctionDef] = {}
    namespace: dict[str, Any] = dict(_BASE_NAMESPACE)
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            functions[node.name] = node
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    functions[f"{node.name}.{item.name}"] = item
            fields = [item for item in node.body if isinstance(item, ast.AnnAssign)]
            if fields and f"{node.name}.__init__" not in functions:
                # A record stub declares its constructor through its fields.
                parameters = ", ".join(
                    f"{ast.unparse(f.target)}: {ast.unparse(f.annotation)}" for f in fields
                )
                init = ast.parse(f"def __init__(self, {parameters}) -> None: ...").body[0]
                assert isinstance(init, ast.FunctionDef)
                functions[f"{node.name}.__init__"] = init
        elif isinstance(node, ast.ImportFrom) and node.module:
            try:
                source = importlib.import_module(node.module)
            except ImportError:
                continue
            for alias in node.names:
                if hasattr(source, alias.name):
                    namespace[alias.asname or alias.name] = getattr(source, alias.name)
    namespace.update(vars(module))
    return functions, namespace


def _stub_annotations(routine: Any, signature: inspect.Signature) -> inspect.Signature:
    import ast
    functions, namespace = _stub(getattr(routine, "__module__", ""))
    node = functions.get(getattr(routine, "__qualname__", ""))
    if node is None:
        return signature
    arguments = node.args
    declared = {
        arg.arg: arg.annotation
        for arg in [*arguments.posonlyargs, *arguments.args, *arguments.kwonlyargs,
                    arguments.vararg, arguments.kwarg]
        if arg is not None and arg.annotation is not None
    }
    parameters = [
        p.replace(annotation=_resolve(ast.unparse(declared[p.name]), namespace))
        if p.name in declared
        else p
        for p in signature.parameters.values()
    ]
    returns = signature.return_annotation
    if node.returns is not None:
        returns = _resolve(ast.unparse(node.returns), namespace)
    return signature.replace(parameters=parameters, return_annotation=returns)


def signature_of(routine: Any) -> inspect.Signature:
    """The signature of a routine wrapper (or a nanobind function): the
    declaration of its first overload, annotated as its stub is."""
    return _stub_annotations(routine, _declared(getattr(routine, "__wrapped__", routine)))


def _declared(func: Any) -> inspect.Signature:
    import ast
    import inspect
    text, _doc, defaults = func.__nb_signature__[0]
    source = _DEFAULT.sub(lambda m: f"__default_{m.group(1)}", text) + ": ..."
    node = ast.parse(source).body[0]
    assert isinstance(node, ast.FunctionDef)
    arguments, defaults = node.args, tuple(defaults or ())
    P = inspect.Parameter
    positional = arguments.posonlyargs + arguments.args
    # (argument, kind, default expression) in declaration order.
    entries: list[tuple[ast.arg, Any, ast.expr | None]] = [
        (arg, P.POSITIONAL_ONLY if i < len(arguments.posonlyargs) else P.POSITIONAL_OR_KEYWORD, None)
        for i, arg in enumerate(positional)
    ]
    for i, default in enumerate(arguments.defaults, len(positional) - len(arguments.defaults)):
        entries[i] = (entries[i][0], entries[i][1], default)
    if arguments.vararg:
        entries.append((arguments.vararg, P.VAR_POSITIONAL, None))
    entries += [
        (a, P.KEYWORD_ONLY, d) for a, d in zip(arguments.kwonlyargs, arguments.kw_defaults, strict=True)
    ]
    if arguments.kwarg:
        entries.append((arguments.kwarg, P.VAR_KEYWORD, None))
    parameters = [
        P(arg.arg, kind, default=_value(default, defaults), annotation=_annotation(arg.annotation))
        for arg, kind, default in entries
    ]
    return inspect.Signature(parameters, return_annotation=_annotation(node.returns))


def _mismatch(
    signature: inspect.Signature, args: tuple[Any, ...], kwargs: dict[str, Any]
) -> str | None:
    import inspect
    # An unknown keyword is named first, as Python functions do.
    parameters = signature.parameters
    if not any(p.kind is inspect.Parameter.VAR_KEYWORD for p in parameters.values()):
        for key in kwargs:
            if key not in parameters or parameters[key].kind is inspect.Parameter.POSITIONAL_ONLY:
                return f"got an unexpected keyword argument '{key}'"
    try:
        signature.bind(*args, **kwargs)
    except TypeError as error:
        return str(error)
    return None


def binding_error(routine: Any, args: tuple[Any, ...], kwargs: dict[str, Any]) -> str | None:
    """Why the arguments do not fit the routine's signature, or None when they
    do (the types are wrong instead)."""
    problem = _mismatch(routine.__signature__, args, kwargs)
    return None if problem is None else f"{routine.__qualname__}() {problem}"


def construction_error(cls: type, args: tuple[Any, ...], kwargs: dict[str, Any]) -> str | None:
    """binding_error for a class call."""
    import inspect
    problem = _mismatch(inspect.signature(cls), args, kwargs)
    return None if problem is None else f"{cls.__name__}() {problem}"


def _doc(func: Any) -> str | None:
    doc = func.__nb_signature__[0][1]
    return None if doc is None else str(doc)


def _is_native(value: Any, kind: str) -> bool:
    return type(value).__name__ == kind and type(value).__module__ == "nanobind"


def _wrap(func: Any, wrapper: type, module: str) -> Any:
    routine = wrapper(func)
    routine.__module__ = module
    routine.__doc__ = _doc(func)
    return routine


def wrap_module(native: Any, public: str) -> None:
    """Wraps the functions of `native` and the methods of its classes, in
    place; `public` is the module users import them from."""
    for name, value in list(vars(native).items()):
        if _is_native(value, "nb_func"):
            setattr(native, name, _wrap(value, _core._Function, public))
        elif isinstance(value, type) and type(value).__module__ == "nanobind":
            _wrap_class(value, public)


def _wrap_class(cls: type, public: str) -> None:
    for name, value in list(vars(cls).items()):
        if name.startswith("__") and name.endswith("__") and name != "__init__":
            continue
        if _is_native(value, "nb_method"):
            setattr(cls, name, _wrap(value, _core._Method, public))
        elif _is_native(value, "nb_func"):
            setattr(cls, name, staticmethod(_wrap(value, _core._Function, public)))
    if "__init__" in vars(cls):
        _core._check_construction(cls)
