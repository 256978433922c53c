"""Full-featured generated catalogs for the schemasift benchmarks.

Every field a warehouse export carries is in use: business names,
descriptions, synonyms and tags on tables and columns, sample values (strings
and numbers), extra keys on tables and columns (they land in ``extra``),
default date and metric columns, row counts, and foreign-key relationships
between neighbouring tables.
"""

from __future__ import annotations

import random

WORDS = ["order", "customer", "product", "region", "revenue", "amount", "status", "type", "date",
         "created", "price", "quantity", "store", "channel", "segment", "account", "invoice",
         "payment", "item", "category", "country", "city", "discount", "margin", "shipment",
         "supplier", "warehouse", "employee", "campaign", "ticket", "contract", "balance"]
TYPES = ["String", "Int64", "Float64", "Date", "DateTime", "Bool", "LowCardinality(String)"]
ROLES = ["metric", "dimension", "date", "id", "text"]

QUESTIONS = [
    "total revenue by region and product category for the last 6 months",
    "how many open tickets per customer segment",
    "average discount of invoices by store and channel this quarter",
    "monthly payment amount trend for each supplier",
    "top 10 warehouses by shipment quantity",
]


def _column(rnd: random.Random, t: int, c: int) -> dict:
    a, b = rnd.choice(WORDS), rnd.choice(WORDS)
    column = {
        "name": f"{a}_{b}_{c}",
        "type": rnd.choice(TYPES),
        "description": f"The {a} {b} of the {rnd.choice(WORDS)} record, as loaded nightly",
        "synonyms": [b, f"{a} {b}"],
        "role": rnd.choice(ROLES),
        "tags": [rnd.choice(WORDS), "pii" if c % 7 == 0 else "public"],
        "nullable": c % 2 == 0,
        "sample_values": [f"{a}-{t}-{k}" for k in range(3)] + [rnd.randint(0, 10_000), 2.5 * c],
        # Unknown keys: the normalizer keeps them in the column's extra map.
        "source_system": "erp",
        "quality": {"null_rate": round(rnd.random(), 3), "checked": True},
    }
    if c == 0:
        column["is_primary_key"] = True
    if c == 1 and t > 0:
        column["is_foreign_key"] = True
    return column


def generated_catalog(n_tables: int, n_columns: int = 10, seed: int = 1) -> dict:
    """A catalog dict of n_tables tables of n_columns columns, every field in use."""
    rnd = random.Random(seed)
    tables, relationships = [], []
    for t in range(n_tables):
        columns = [_column(rnd, t, c) for c in range(n_columns)]
        name = f"{rnd.choice(WORDS)}_{rnd.choice(WORDS)}_{t}"
        tables.append({
            "table_name": name,
            "business_name": f"{rnd.choice(WORDS).title()} {rnd.choice(WORDS)} facts",
            "description": f"Facts about {rnd.choice(WORDS)} and {rnd.choice(WORDS)} per day",
            "tags": [rnd.choice(WORDS), "finance" if t % 3 else "sales"],
            "columns": columns,
            "default_date_column": columns[min(2, n_columns - 1)]["name"],
            "default_metric_column": columns[min(3, n_columns - 1)]["name"],
            "row_count": rnd.randint(1_000, 10_000_000),
            "owner": f"team-{t % 17}",
            "refresh": {"schedule": "daily", "sla_hours": t % 24},
        })
        if t > 0 and n_columns > 1:
            parent = tables[rnd.randrange(t)]
            relationships.append({
                "from_table": name, "from_column": columns[1]["name"],
                "to_table": parent["table_name"], "to_column": parent["columns"][0]["name"],
                "relationship_type": "many_to_one",
                "description": f"{name} belongs to {parent['table_name']}",
                "confidence": 0.9,
            })
    return {"database": "warehouse", "tables": tables, "relationships": relationships}
