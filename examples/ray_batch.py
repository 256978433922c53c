"""Selecting for a large list of questions on a Ray cluster.

The catalog is prepared once, here, and shipped to the workers as one object
in Ray's object store (a PreparedCatalog pickles: records, measure and any
document embeddings), so no worker prepares it again. Each task selects a
chunk of questions with Schemasift.select_many on the worker's cores, and the
results come back in question order, equal to selecting in one process.

    pip install 'tessarin[ray]'
    python examples/ray_batch.py catalog.json questions.txt     # one question a line

Without a running cluster, ray.init() starts a local one.
"""

from __future__ import annotations

import json
import sys
from collections.abc import Sequence
from typing import Any

from tessarin.schemasift import (
    MetadataSelectionResult,
    PreparedCatalog,
    Schemasift,
    SelectorConfig,
)


def select_on_ray(
    questions: Sequence[str],
    catalog: Any,
    *,
    config: SelectorConfig | None = None,
    chunk_size: int = 256,
    threads_per_task: int | None = None,
    **select_options: Any,
) -> list[MetadataSelectionResult]:
    """Schemasift(config).select_many(questions, catalog, ...) spread over Ray tasks.

    `catalog` is anything select accepts; it is prepared once. Ray must be
    initialized (ray.init()) by the caller.
    """
    import ray

    if chunk_size < 1:
        raise ValueError(f"chunk_size must be at least 1, got {chunk_size!r}")
    prepared = catalog if isinstance(catalog, PreparedCatalog) else PreparedCatalog(catalog)
    catalog_ref = ray.put(prepared)
    config = config or SelectorConfig()

    @ray.remote
    def select_chunk(chunk: list[str], prepared: PreparedCatalog) -> list[MetadataSelectionResult]:
        selector = Schemasift(config)
        return selector.select_many(chunk, prepared, threads=threads_per_task, **select_options)

    chunks = [list(questions[i:i + chunk_size]) for i in range(0, len(questions), chunk_size)]
    futures = [select_chunk.remote(chunk, catalog_ref) for chunk in chunks]
    return [result for chunk_results in ray.get(futures) for result in chunk_results]


def main(argv: list[str]) -> int:
    if len(argv) != 3:
        print(__doc__.strip().splitlines()[-3], file=sys.stderr)
        return 2
    import ray

    with open(argv[1], encoding="utf-8") as file:
        catalog = json.load(file)
    with open(argv[2], encoding="utf-8") as file:
        questions = [line.strip() for line in file if line.strip()]
    ray.init()
    try:
        for question, result in zip(questions, select_on_ray(questions, catalog)):
            tables = [t["table_name"] for t in result.selected_metadata["tables"]]
            print(json.dumps({"question": question, "tables": tables}, ensure_ascii=False))
    finally:
        ray.shutdown()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
