"""Selections on a local Ray cluster equal selections in one process.

Needs Ray (extra "ray"). With TESSARIN_RAY_TESTS=required (as CI sets it) a
missing Ray fails the run; otherwise these tests are skipped.
"""

import importlib
import os
import pickle
import sys
from pathlib import Path

import pytest

if os.environ.get("TESSARIN_RAY_TESTS") == "required":
    import ray
else:
    ray = pytest.importorskip("ray")

from tessarin import schemasift as ss  # noqa: E402

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "ray_batch.py"


def _example():
    # The example is a script beside the package, not part of it.
    if str(EXAMPLE.parent) not in sys.path:
        sys.path.insert(0, str(EXAMPLE.parent))
    return importlib.import_module("ray_batch")


@pytest.fixture(scope="module")
def cluster():
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False,
             runtime_env={"env_vars": {"PYTHONPATH": os.environ.get("PYTHONPATH", "")}})
    yield
    ray.shutdown()


def _catalog():
    catalog = ss.demo_catalog()
    for i in range(40):  # more tables than one chunk's answers touch
        catalog["tables"].append({"table_name": f"events_{i}", "description": f"event log {i}",
                                  "columns": [{"name": "event_date", "role": "date"},
                                              {"name": f"metric_{i}", "role": "metric"}]})
    return catalog


@pytest.mark.parametrize("strategy", ["lexical", "hybrid"])
def test_ray_results_equal_one_process(cluster, strategy):
    catalog = _catalog()
    questions = ["total revenue by region", "daily events 7", "count customers by segment",
                 "metric 12 trend last month"] * 5
    config = ss.SelectorConfig(strategy=strategy)
    on_ray = _example().select_on_ray(questions, catalog, config=config, chunk_size=3,
                                      required_tables=["events_3"])
    expected = [ss.Schemasift(config).select(q, catalog, required_tables=["events_3"])
                for q in questions]
    assert [r.to_dict(True) for r in on_ray] == [r.to_dict(True) for r in expected]


def test_prepared_catalogs_travel_by_pickle(cluster):
    prepared = ss.PreparedCatalog(_catalog())
    prepared.warm_up()
    assert pickle.loads(pickle.dumps(prepared)).catalog_hash == prepared.catalog_hash

    @ray.remote
    def remote_hash(p):
        return p.catalog_hash, p.table_count

    assert ray.get(remote_hash.remote(prepared)) == (prepared.catalog_hash, prepared.table_count)
    with pytest.raises(ValueError, match="chunk_size"):
        _example().select_on_ray(["x"], prepared, chunk_size=0)
