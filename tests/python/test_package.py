import ast
import importlib
from pathlib import Path

import pytest


@pytest.mark.parametrize("name", ["tessarin", "tessarin.turnmend", "tessarin.schemasift"])
def test_modules_import(name):
    assert importlib.import_module(name) is not None


@pytest.mark.parametrize("module_name", ["tessarin", "tessarin.turnmend", "tessarin.schemasift"])
def test_every_public_name_has_a_stub(module_name):
    module = importlib.import_module(module_name)
    tree = ast.parse((Path(module.__file__).parent / "__init__.pyi").read_text())
    stubbed = set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            stubbed.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            stubbed.add(node.target.id)
        elif isinstance(node, ast.Assign):
            stubbed.update(t.id for t in node.targets if isinstance(t, ast.Name))
        elif isinstance(node, ast.ImportFrom):
            stubbed.update(a.asname or a.name for a in node.names)
    assert sorted(set(module.__all__) - stubbed) == []
