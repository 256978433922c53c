"""select on one MetadataCatalog record while other threads assign its fields
or select on it with excluded tables, in a subprocess so that a crash fails
this test only."""

from support import run_program

_PROGRAM = """
    import sys, threading
    from tessarin.schemasift import CatalogNormalizer, Schemasift, demo_catalog

    catalog = CatalogNormalizer.normalize(demo_catalog())
    tables = list(catalog.tables)
    names = [t.table_name for t in tables]
    selector = Schemasift()
    stop = threading.Event()

    def assign():
        n = 0
        while not stop.is_set():
            n += 1
            catalog.tables = tables[: 1 + n % len(tables)]
            catalog.database = "warehouse_" + "x" * (n % 40)

    def select_excluding():
        n = 0
        while not stop.is_set():
            n += 1
            selector.select("revenue by region", catalog, excluded_tables=[names[n % len(names)]])

    sys.setswitchinterval(1e-5)
    threads = [threading.Thread(target=assign), threading.Thread(target=select_excluding)]
    for t in threads:
        t.start()
    try:
        for _ in range(3000):
            selector.select("monthly order count by region", catalog)
    finally:
        stop.set()
        for t in threads:
            t.join()
    print("done")
"""


def test_select_on_a_catalog_record_shared_with_assigning_threads():
    assert run_program(_PROGRAM, timeout=300).strip() == "done"
