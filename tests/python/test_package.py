import importlib

import pytest


@pytest.mark.parametrize("name", ["tessarin", "tessarin.turnmend", "tessarin.schemasift"])
def test_modules_import(name):
    assert importlib.import_module(name) is not None
