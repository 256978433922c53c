"""The documentation in docs/ says what the package does: its catalog examples
are accepted shapes, its card examples are cards, and its configuration
tables list every field with its real default."""

from __future__ import annotations

import json
import re
from pathlib import Path

import pytest
from tessarin.schemasift import CatalogNormalizer, Schemasift, SelectorConfig
from tessarin.turnmend import ResolverConfig, TurnContextCard, Turnmend

DOCS = Path(__file__).resolve().parents[2] / "docs"
pytestmark = pytest.mark.skipif(not DOCS.is_dir(), reason="docs/ is not beside the tests")


def json_blocks(name):
    text = (DOCS / name).read_text(encoding="utf-8")
    return [json.loads(block) for block in re.findall(r"```json\n(.*?)```", text, re.DOTALL)]


def test_every_catalog_example_is_an_accepted_shape():
    blocks = json_blocks("catalogs.md")
    assert len(blocks) >= 12
    for catalog in blocks:
        normalized = CatalogNormalizer.normalize(catalog)
        assert normalized.tables, catalog
        Schemasift().select("orders revenue", catalog)


def test_catalog_examples_show_what_the_aliases_become():
    by_first_table = {json.dumps(c["tables"])[:60]: c for c in json_blocks("catalogs.md")}
    aliases = next(c for k, c in by_first_table.items() if '"display_name"' in k)
    tables = CatalogNormalizer.normalize(aliases).tables
    assert [t.table_name for t in tables] == ["orders", "order_lines", "events"]
    assert (tables[0].business_name, tables[0].description) == ("Orders", "Order headers")
    joins = next(c for c in json_blocks("catalogs.md") if "joins" in c)
    (rel,) = CatalogNormalizer.normalize(joins).relationships
    assert (rel.from_table, rel.to_table, rel.to_column) == ("orders", "customers", "id")


def test_every_card_example_is_a_card():
    blocks = json_blocks("cards.md")
    assert blocks
    for block in blocks:
        cards = block if isinstance(block, list) else [block]
        for card in cards:
            TurnContextCard(**card)
        Turnmend().resolve("make it weekly", cards)


@pytest.mark.parametrize("record", [SelectorConfig, ResolverConfig])
def test_every_config_field_is_documented_with_its_default(record):
    text = (DOCS / "configuration.md").read_text(encoding="utf-8")
    defaults = record()
    for field in record.__match_args__:
        value = getattr(defaults, field)
        if value is None:
            shown = "None"
        elif isinstance(value, bool):
            shown = "true" if value else "false"
        elif isinstance(value, str):
            shown = f'"{value}"'
        else:
            shown = repr(value)
        assert f"| `{field}` | `{shown}` |" in text, (field, shown)


def test_the_result_examples_have_the_real_keys():
    from tessarin.schemasift import demo_catalog

    blocks = json_blocks("results.md")
    result = Schemasift().select("revenue by region last 6 months", demo_catalog())
    as_dict = result.to_dict(True)
    selected, metrics, intent, debug = blocks[0], blocks[1], blocks[2], blocks[3]
    assert list(selected) == list(as_dict["selected_metadata"])
    assert list(metrics) == list(as_dict["metrics"])
    assert list(intent) == list(as_dict["intent"])
    assert list(debug) == list(as_dict["debug"])
    resolution = blocks[4]
    card = json_blocks("cards.md")[0]
    assert list(resolution) == list(Turnmend().resolve("make it weekly", [card]).to_dict())
