"""Introspection of the public API: every public function, method and
constructor has a signature that inspect and help() show, with the
parameters, kinds and defaults the type stubs declare; a call with a keyword
that does not exist names that keyword."""

from __future__ import annotations

import ast
import enum
import inspect
import pickle
import pydoc
import re
from pathlib import Path

import pytest
import tessarin
import tessarin.schemasift as schemasift
import tessarin.turnmend as turnmend
from tessarin.schemasift import Schemasift
from tessarin.turnmend import TurnContextCard, Turnmend

MODULES = (tessarin, turnmend, schemasift)
P = inspect.Parameter


def stub_tree(module):
    path = Path(module.__file__).with_suffix(".pyi")
    return ast.parse(path.read_text(encoding="utf-8"))


def is_skipped(node):
    """Overloads, and properties (attributes, not calls)."""
    names = {getattr(d, "id", getattr(d, "attr", None)) for d in node.decorator_list}
    return bool(names & {"overload", "property", "setter"})


def stub_parameters(node: ast.FunctionDef):
    """(name, kind, default) of a stub function; default is None when absent,
    Ellipsis for `...` and the literal otherwise."""
    declared = node.args
    positional = declared.posonlyargs + declared.args
    defaults = [None] * (len(positional) - len(declared.defaults)) + list(declared.defaults)
    out = []
    for index, (arg, default) in enumerate(zip(positional, defaults, strict=True)):
        kind = P.POSITIONAL_ONLY if index < len(declared.posonlyargs) else P.POSITIONAL_OR_KEYWORD
        out.append((arg.arg, kind, default))
    if declared.vararg:
        out.append((declared.vararg.arg, P.VAR_POSITIONAL, None))
    out += [
        (a.arg, P.KEYWORD_ONLY, d)
        for a, d in zip(declared.kwonlyargs, declared.kw_defaults, strict=True)
    ]
    if declared.kwarg:
        out.append((declared.kwarg.arg, P.VAR_KEYWORD, None))
    return [(name, kind, None if d is None else ast.literal_eval(d)) for name, kind, d in out]


def is_record_stub(node: ast.ClassDef):
    return any(getattr(base, "id", None) == "_Record" for base in node.bases)


def fields_init(node: ast.ClassDef) -> ast.FunctionDef:
    """The constructor a record stub without __init__ declares through its
    fields (the dataclass convention): one parameter per field, in order."""
    parameters = ["self"] + [
        ast.unparse(item.target)
        + ": "
        + ast.unparse(item.annotation)
        + ("" if item.value is None else " = " + ast.unparse(item.value))
        for item in node.body
        if isinstance(item, ast.AnnAssign)
    ]
    function = ast.parse(f"def __init__({', '.join(parameters)}) -> None: ...").body[0]
    assert isinstance(function, ast.FunctionDef)
    return function


def stub_routines():
    """(qualified name, runtime object, stub FunctionDef) of every public
    function, and of every method and constructor of the public classes."""
    for module in MODULES:
        for node in stub_tree(module).body:
            public = node.name in module.__all__ if hasattr(node, "name") else False
            if isinstance(node, ast.FunctionDef) and public and not is_skipped(node):
                yield f"{module.__name__}.{node.name}", getattr(module, node.name), node
            elif isinstance(node, ast.ClassDef) and public:
                cls = getattr(module, node.name)
                if issubclass(cls, enum.Enum):
                    continue
                if is_record_stub(node) and not any(
                    getattr(item, "name", None) == "__init__" for item in node.body
                ):
                    yield f"{module.__name__}.{node.name}.__init__", cls, fields_init(node)
                for item in node.body:
                    if not isinstance(item, ast.FunctionDef) or is_skipped(item):
                        continue
                    if item.name.startswith("__") and item.name != "__init__":
                        continue
                    yield f"{module.__name__}.{node.name}.{item.name}", cls, item


ROUTINES = list(stub_routines())


def test_the_walk_covers_the_api():
    names = {name for name, _, _ in ROUTINES}
    assert len(names) > 120
    for name in (
        "tessarin.json_text",
        "tessarin.turnmend.resolve_context",
        "tessarin.turnmend.Turnmend.resolve",
        "tessarin.turnmend.TurnContextCard.__init__",
        "tessarin.schemasift.Schemasift.select",
        "tessarin.schemasift.SelectorConfig.__init__",
        "tessarin.schemasift.ColumnMeta.__init__",
        "tessarin.schemasift.PreparedCatalog.__init__",
    ):
        assert name in names


PUBLIC = [(m.__name__, name, getattr(m, name)) for m in MODULES for name in m.__all__]


@pytest.mark.parametrize("module, name, value", PUBLIC, ids=[f"{m}.{n}" for m, n, _ in PUBLIC])
def test_every_public_callable_has_a_signature(module, name, value):
    routine = inspect.isroutine(value)
    if not (routine or isinstance(value, type)) or (
        isinstance(value, type) and issubclass(value, enum.Enum)
    ):
        return  # constants, type aliases, vocabularies
    if value is tessarin.Match:  # made by Pattern methods only
        with pytest.raises(TypeError):
            value()
        return
    if routine:
        assert value.__module__.startswith(module)
    assert inspect.signature(value) is not None


@pytest.mark.parametrize("name, owner, node", ROUTINES, ids=[r[0] for r in ROUTINES])
def test_signature_matches_the_stub(name, owner, node):
    expected = stub_parameters(node)
    if node.name == "__init__":
        runtime = inspect.signature(owner)  # the class: without self
        expected = expected[1:]
    else:
        runtime = inspect.signature(getattr(owner, node.name) if isinstance(owner, type) else owner)
    got = [(p.name, p.kind, p.default) for p in runtime.parameters.values()]
    assert [(n, k) for n, k, _ in got] == [(n, k) for n, k, _ in expected]
    for (pname, _, default), (_, _, stub_default) in zip(got, expected, strict=True):
        if stub_default is None:
            assert default is P.empty or default is None, pname
        elif stub_default is not Ellipsis:
            assert default == stub_default and type(default) is type(stub_default), pname
        else:
            assert default is not P.empty, pname


@pytest.mark.parametrize("name, owner, node", ROUTINES, ids=[r[0] for r in ROUTINES])
def test_a_misspelled_keyword_is_named(name, owner, node):
    target = (
        owner
        if node.name == "__init__" or not isinstance(owner, type)
        else getattr(owner, node.name)
    )
    if any(kind is P.VAR_KEYWORD for _, kind, _ in stub_parameters(node)):
        pytest.skip("takes any keyword")
    with pytest.raises(
        TypeError, match=r"\(\) got an unexpected keyword argument 'no_such_parameter'"
    ):
        target(no_such_parameter=1)


def test_methods_bind_like_python_methods():
    resolver = Turnmend()
    assert list(inspect.signature(resolver.resolve).parameters)[:2] == [
        "current_question",
        "context_cards",
    ]
    assert "self" in inspect.signature(Turnmend.resolve).parameters
    assert resolver.resolve("show revenue") == Turnmend.resolve(resolver, "show revenue")
    card = TurnContextCard(3)
    assert (
        card.from_dict({"turn_id": 4}).turn_id
        == TurnContextCard.from_dict({"turn_id": 4}).turn_id
        == 4
    )


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: Schemasift().select("q"),
            "Schemasift.select() missing a required argument: 'catalog'",
        ),
        (lambda: turnmend.tokenize("a", None, None), "tokenize() too many positional arguments"),
        (lambda: Turnmend(None, None, None), "Turnmend() too many positional arguments"),
        (
            lambda: TurnContextCard(turn_id=1, turnid=2),
            "TurnContextCard() got an unexpected keyword argument 'turnid'",
        ),
        (
            lambda: schemasift.SelectorConfig(top_k=3),
            "SelectorConfig() got an unexpected keyword argument 'top_k'",
        ),
    ],
)
def test_calls_that_do_not_fit_say_why(call, message):
    with pytest.raises(TypeError) as error:
        call()
    assert str(error.value) == message


@pytest.mark.parametrize(
    "call",
    [
        lambda: turnmend.estimate_tokens(1),
        lambda: tessarin.compile_pattern(3),
        lambda: Schemasift().select(question=None, catalog=[]),
    ],
)
def test_arguments_of_the_wrong_type_keep_their_message(call):
    with pytest.raises((TypeError, ValueError)) as error:
        call()
    assert "unexpected keyword" not in str(error.value)
    assert "too many positional" not in str(error.value)


def test_record_constructors_show_fields_and_defaults():
    signature = inspect.signature(TurnContextCard)
    assert list(signature.parameters) == list(TurnContextCard.__match_args__)
    assert signature.parameters["turn_id"].default is P.empty
    assert signature.parameters["task_type"].default == "unknown"
    assert signature.parameters["created_at_ms"].default is Ellipsis  # a clock reading
    config = inspect.signature(schemasift.SelectorConfig)
    defaults = schemasift.SelectorConfig()
    for parameter in config.parameters.values():
        if parameter.default is not Ellipsis:
            assert getattr(defaults, parameter.name) == parameter.default, parameter.name


def test_annotations_are_the_stubs_types():
    select = inspect.signature(Schemasift.select).parameters
    assert select["question"].annotation is str
    assert select["database"].annotation == (str | None)
    assert (
        inspect.signature(Schemasift.select).return_annotation is schemasift.MetadataSelectionResult
    )
    assert inspect.signature(turnmend.tokenize).return_annotation == list[str]
    # Record constructors are annotated from the field types.
    assert inspect.signature(TurnContextCard).parameters["turn_id"].annotation is int


def test_help_shows_the_parameters():
    text = pydoc.render_doc(Schemasift, renderer=pydoc.plaintext)
    assert "select(self, question: str, catalog:" in text and "excluded_columns:" in text
    text = pydoc.render_doc(TurnContextCard, renderer=pydoc.plaintext)
    assert "__init__(self, *args" not in text and "turn_id: int, session_id: str = ''" in text
    text = pydoc.render_doc(turnmend.resolve_context, renderer=pydoc.plaintext)
    assert "resolve_context(current_question" in text and "llm_fallback" in text


def test_functions_and_methods_pickle_by_name():
    for routine in (
        turnmend.tokenize,
        schemasift.select_metadata,
        Schemasift.select,
        tessarin.json_text,
    ):
        assert pickle.loads(pickle.dumps(routine)) is routine
    assert turnmend.tokenize.__module__ == "tessarin.turnmend"
    assert Schemasift.select.__qualname__ == "Schemasift.select"


DOCS = Path(__file__).resolve().parents[2] / "docs"
# The documentation sections whose tables list a record's fields.
FIELD_TABLES = {
    ("configuration.md", "`SelectorConfig`"): schemasift.SelectorConfig,
    ("configuration.md", "`ResolverConfig`"): turnmend.ResolverConfig,
    ("cards.md", "The card map"): TurnContextCard,
    ("results.md", "`MetadataSelectionResult` (from `Schemasift.select`)"): (
        schemasift.MetadataSelectionResult
    ),
    ("results.md", "`ContextResolution` (from `Turnmend.resolve`)"): turnmend.ContextResolution,
}


def documented_fields(name, heading, record):
    """{field: last cell of its row} of the tables in one ## section; a row
    may name several fields ("`a`, `b`")."""
    inside, out = False, {}
    for line in (DOCS / name).read_text(encoding="utf-8").splitlines():
        if line.startswith("## "):
            inside = line[3:] == heading
        if not inside or not line.startswith("| "):
            continue
        cells = [cell.strip() for cell in line.strip().strip("|").split(" | ")]
        named = next((c for c in cells if re.fullmatch(r"`\w+`(, `\w+`)*", c)), None)
        for field in re.findall(r"`(\w+)`", named or ""):
            if field in record.__match_args__:
                out.setdefault(field, cells[-1])
    return out


@pytest.mark.skipif(not DOCS.is_dir(), reason="docs/ is not beside the tests")
@pytest.mark.parametrize("name, heading", list(FIELD_TABLES), ids=[k[1] for k in FIELD_TABLES])
def test_field_docstrings_carry_the_documentation(name, heading):
    record = FIELD_TABLES[name, heading]
    documented = documented_fields(name, heading, record)
    assert sorted(documented) == sorted(record.__match_args__)
    for field, text in documented.items():
        assert getattr(record, field).__doc__ == text, field
