"""Catalog sources on real engines: SQLite files built here, a throwaway
PostgreSQL server started here, and DDL read by sqlglot.

The PostgreSQL tests start their own cluster (initdb into a temporary folder,
a free port on 127.0.0.1, trust authentication, stopped and removed at the
end; as root the server runs as the ``postgres`` user). Without a server
binary they are skipped with the reason, unless TESSARIN_POSTGRES_TESTS is
``required`` (as in CI), which turns the skip into a failure.
"""

from __future__ import annotations

import builtins
import glob
import json
import os
import shutil
import socket
import sqlite3
import subprocess
import tempfile
from pathlib import Path

import pytest
from tessarin.schemasift import (
    CatalogNormalizer,
    Schemasift,
    catalog_from_database,
    catalog_from_ddl,
)

sa = pytest.importorskip("sqlalchemy", reason="extra 'sql' (sqlalchemy) is not installed")
sqlglot = pytest.importorskip("sqlglot", reason="extra 'ddl' (sqlglot) is not installed")

POSTGRES_REQUIRED = os.environ.get("TESSARIN_POSTGRES_TESTS") == "required"


def accepted(catalog):
    """The catalog is JSON-able, normalizes, and a selection runs on it."""
    assert json.loads(json.dumps(catalog)) == catalog
    normalized = CatalogNormalizer.normalize(catalog)
    assert len(normalized.tables) == len(catalog["tables"])
    return normalized


def shape(catalog):
    """Names, keys and relationships of a catalog, without types and texts."""
    return {
        "tables": {
            t["table_name"]: [
                (c["name"], c.get("is_primary_key", False), c.get("is_foreign_key", False), c["nullable"])
                for c in t["columns"]
            ]
            for t in catalog["tables"]
        },
        "relationships": sorted(
            (r["from_table"], r["from_column"], r["to_table"], r["to_column"])
            for r in catalog["relationships"]
        ),
    }


def table(catalog, name):
    return next(t for t in catalog["tables"] if t["table_name"] == name)


def column(catalog, table_name, column_name):
    return next(c for c in table(catalog, table_name)["columns"] if c["name"] == column_name)


# ================================================================ SQLite

SQLITE_DDL = """
CREATE TABLE stadium (
  stadium_id INTEGER PRIMARY KEY,
  name TEXT NOT NULL,
  city TEXT,
  capacity INT
);
CREATE TABLE singer (
  singer_id INT PRIMARY KEY,
  name TEXT NOT NULL,
  country TEXT,
  born DATE,
  photo BLOB
);
CREATE TABLE concert (
  concert_id INT PRIMARY KEY,
  concert_name TEXT,
  year INT,
  stadium_id INT REFERENCES stadium
);
CREATE TABLE singer_in_concert (
  concert_id INT NOT NULL,
  singer_id INT NOT NULL,
  fee NUMERIC(10,2),
  PRIMARY KEY (concert_id, singer_id),
  FOREIGN KEY (concert_id) REFERENCES concert (concert_id),
  FOREIGN KEY (singer_id) REFERENCES singer (singer_id)
);
CREATE VIEW concert_sizes AS
  SELECT concert.concert_id, stadium.capacity FROM concert JOIN stadium USING (stadium_id);
CREATE INDEX concert_year ON concert (year);
"""

SQLITE_ROWS = """
INSERT INTO stadium VALUES (1, 'Hampden', 'Glasgow', 52000), (2, 'Balmoor', 'Peterhead', 4000);
INSERT INTO singer VALUES (1, 'Joe', 'France', '1980-02-01', x'00ff'),
  (2, 'Ann', 'Spain', '1990-12-31', NULL), (3, 'Bea', 'France', NULL, NULL),
  (4, 'Cy', 'Chile', '1975-05-05', NULL);
INSERT INTO concert VALUES (10, 'Auditions', 2014, 1), (11, 'Super bootcamp', 2015, 2);
INSERT INTO singer_in_concert VALUES (10, 1, 100.5), (10, 2, 80), (11, 3, NULL);
"""


@pytest.fixture(scope="module")
def sqlite_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("sqlite") / "concert_singer.sqlite"
    with sqlite3.connect(path) as conn:
        conn.executescript(SQLITE_DDL + SQLITE_ROWS)
    conn.close()
    return path


def test_sqlite_tables_columns_keys_and_relationships(sqlite_file):
    catalog = catalog_from_database(f"sqlite:///{sqlite_file}")
    assert catalog["database"] == "concert_singer"
    assert [t["table_name"] for t in catalog["tables"]] == [
        "concert", "singer", "singer_in_concert", "stadium",
    ]
    assert column(catalog, "singer", "name") == {"name": "name", "type": "TEXT", "nullable": False}
    assert column(catalog, "singer", "singer_id") == {
        "name": "singer_id", "type": "INTEGER", "nullable": False, "is_primary_key": True,
    }
    assert column(catalog, "singer_in_concert", "fee")["type"] == "NUMERIC(10, 2)"
    # Composite primary key, foreign keys; a REFERENCES without columns means the key.
    link = {c["name"]: c for c in table(catalog, "singer_in_concert")["columns"]}
    assert link["concert_id"]["is_primary_key"] and link["concert_id"]["is_foreign_key"]
    assert link["singer_id"]["is_primary_key"] and link["singer_id"]["is_foreign_key"]
    assert shape(catalog)["relationships"] == [
        ("concert", "stadium_id", "stadium", "stadium_id"),
        ("singer_in_concert", "concert_id", "concert", "concert_id"),
        ("singer_in_concert", "singer_id", "singer", "singer_id"),
    ]
    assert all(t["schema"] == "main" for t in catalog["tables"])
    assert catalog["skipped"] == []
    normalized = accepted(catalog)
    roles = {c.name: c.role for c in normalized.tables[2].columns}
    assert roles == {"concert_id": "primary_key", "singer_id": "primary_key", "fee": "metric"}


def test_sqlite_views_and_an_engine_left_open(sqlite_file):
    engine = sa.create_engine(f"sqlite:///{sqlite_file}")
    catalog = catalog_from_database(engine, include_views=True)
    view = table(catalog, "concert_sizes")
    assert view["kind"] == "view"
    assert [c["name"] for c in view["columns"]] == ["concert_id", "capacity"]
    assert len(catalog["tables"]) == 5
    with engine.connect() as conn:  # still usable
        assert conn.execute(sa.text("select count(*) from singer")).scalar() == 4
    engine.dispose()


def test_sqlite_sample_values_distinct_sorted_bounded(sqlite_file):
    catalog = catalog_from_database(f"sqlite:///{sqlite_file}", sample_values=2)
    assert column(catalog, "singer", "country")["sample_values"] == ["Chile", "France"]
    assert column(catalog, "singer", "born")["sample_values"] == ["1975-05-05", "1980-02-01"]
    assert "sample_values" not in column(catalog, "singer", "photo")  # binary
    assert column(catalog, "singer_in_concert", "fee")["sample_values"] == [80, 100.5]
    assert column(catalog, "stadium", "capacity")["sample_values"] == [4000, 52000]
    everything = catalog_from_database(f"sqlite:///{sqlite_file}", sample_values=50)
    assert column(everything, "singer", "country")["sample_values"] == ["Chile", "France", "Spain"]
    accepted(catalog)


def test_sqlite_sample_query_reads_a_bounded_number_of_rows(tmp_path, monkeypatch):
    from tessarin.schemasift import sources

    path = tmp_path / "big.sqlite"
    with sqlite3.connect(path) as conn:
        conn.execute("CREATE TABLE t (v INT)")
        conn.executemany("INSERT INTO t VALUES (?)", [(i % 7,) for i in range(500)] + [(1000,)])
    conn.close()
    monkeypatch.setattr(sources, "SAMPLE_SCAN_ROWS", 100)
    catalog = catalog_from_database(f"sqlite:///{path}", sample_values=10)
    # The value 1000 is in row 501, beyond the 100 rows the query reads.
    assert column(catalog, "t", "v")["sample_values"] == [0, 1, 2, 3, 4, 5, 6]


def test_sqlite_matches_the_same_ddl_read_by_sqlglot(sqlite_file):
    from_db = catalog_from_database(f"sqlite:///{sqlite_file}")
    from_ddl = catalog_from_ddl(SQLITE_DDL, dialect="sqlite")
    # SQLite keeps NOT NULL off its INTEGER PRIMARY KEY columns; both say false.
    assert shape(from_ddl)["relationships"] == shape(from_db)["relationships"]
    assert shape(from_ddl)["tables"] == {
        name: columns for name, columns in shape(from_db)["tables"].items()
    }
    assert [s["statement"].split()[:2] for s in from_ddl["skipped"]] == [
        ["CREATE", "VIEW"], ["CREATE", "INDEX"],
    ]


def test_database_argument_errors(sqlite_file):
    with pytest.raises(TypeError, match="URL or a SQLAlchemy Engine"):
        catalog_from_database(42)
    with pytest.raises(ValueError, match="sample_values"):
        catalog_from_database(f"sqlite:///{sqlite_file}", sample_values=-1)
    with pytest.raises(ValueError, match="at least one schema"):
        catalog_from_database(f"sqlite:///{sqlite_file}", schemas=[])


def test_a_missing_extra_names_the_extra_to_install(monkeypatch):
    real_import = builtins.__import__

    def refuse(name, *args, **kwargs):
        if name.split(".")[0] in ("sqlalchemy", "sqlglot"):
            raise ImportError(f"No module named {name!r}")
        return real_import(name, *args, **kwargs)

    import importlib

    monkeypatch.setattr(importlib, "import_module", lambda name: refuse(name))
    with pytest.raises(ImportError, match=r"pip install 'tessarin\[sql\]'"):
        catalog_from_database("sqlite://")
    with pytest.raises(ImportError, match=r"pip install 'tessarin\[ddl\]'"):
        catalog_from_ddl("CREATE TABLE t (a int)")


def test_importing_schemasift_loads_neither_sqlalchemy_nor_sqlglot():
    import sys

    code = (
        "import sys, tessarin.schemasift\n"
        "assert 'sqlalchemy' not in sys.modules and 'sqlglot' not in sys.modules\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


# ================================================================ DDL

def test_ddl_postgres_dump_style():
    ddl = """
    SET statement_timeout = 0;
    SELECT pg_catalog.set_config('search_path', '', false);
    CREATE SCHEMA sales;
    CREATE TABLE sales.orders (
        order_id bigint NOT NULL,
        customer_id integer,
        note text DEFAULT 'a;b',
        total numeric(12,2)
    );
    ALTER TABLE sales.orders OWNER TO app;
    CREATE TABLE sales.customers (id integer NOT NULL, name text);
    COMMENT ON TABLE sales.orders IS 'One row per order';
    COMMENT ON COLUMN sales.orders.total IS 'Total in EUR, tax included';
    ALTER TABLE ONLY sales.customers ADD CONSTRAINT customers_pkey PRIMARY KEY (id);
    ALTER TABLE ONLY sales.orders ADD CONSTRAINT orders_pkey PRIMARY KEY (order_id);
    ALTER TABLE ONLY sales.orders
        ADD CONSTRAINT orders_customer_fk FOREIGN KEY (customer_id) REFERENCES sales.customers(id);
    CREATE INDEX orders_customer ON sales.orders USING btree (customer_id);
    """
    catalog = catalog_from_ddl(ddl, dialect="postgres")
    assert [t["table_name"] for t in catalog["tables"]] == ["orders", "customers"]
    orders = table(catalog, "orders")
    assert orders["description"] == "One row per order"
    assert orders["schema"] == "sales"
    assert shape(catalog)["tables"]["orders"] == [
        ("order_id", True, False, False), ("customer_id", False, True, True),
        ("note", False, False, True), ("total", False, False, True),
    ]
    assert column(catalog, "orders", "total") == {
        "name": "total", "type": "DECIMAL(12, 2)", "nullable": True,
        "description": "Total in EUR, tax included",
    }
    assert catalog["relationships"] == [
        {"from_table": "orders", "from_column": "customer_id", "to_table": "customers", "to_column": "id"}
    ]
    reasons = [(s["statement"].split()[0], s["reason"]) for s in catalog["skipped"]]
    assert reasons == [
        ("SET", "SET is not a table definition"),
        ("SELECT", "SELECT is not a table definition"),
        ("CREATE", "CREATE SCHEMA is not a table definition"),
        ("ALTER", "ALTER TABLE statement of a form that is not read"),
        ("CREATE", "CREATE INDEX is not a table definition"),
    ]
    accepted(catalog)


def test_ddl_mysql_inline_comments_and_composite_keys():
    ddl = """
    CREATE TABLE `orders` (
      `order_id` INT NOT NULL,
      `line_no` INT NOT NULL,
      `sku` VARCHAR(32) NOT NULL COMMENT 'Stock keeping unit',
      PRIMARY KEY (`order_id`, `line_no`)
    ) ENGINE=InnoDB COMMENT='Order lines';
    CREATE TABLE shipments (
      id INT PRIMARY KEY,
      order_id INT, line_no INT,
      CONSTRAINT fk_line FOREIGN KEY (order_id, line_no) REFERENCES orders (order_id, line_no)
    );
    """
    catalog = catalog_from_ddl(ddl, dialect="mysql")
    assert table(catalog, "orders")["description"] == "Order lines"
    assert column(catalog, "orders", "sku")["description"] == "Stock keeping unit"
    assert [c.get("is_primary_key", False) for c in table(catalog, "orders")["columns"]] == [True, True, False]
    assert shape(catalog)["relationships"] == [
        ("shipments", "line_no", "orders", "line_no"),
        ("shipments", "order_id", "orders", "order_id"),
    ]
    assert catalog["skipped"] == []
    accepted(catalog)


def test_ddl_two_schemas_are_qualified_and_unusable_statements_listed():
    ddl = """
    CREATE TABLE crm.customers (id INT PRIMARY KEY, name TEXT);
    CREATE TABLE sales.orders (id INT PRIMARY KEY, customer_id INT REFERENCES crm.customers);
    CREATE TABLE broken (id INT,;
    CREATE TABLE copy AS SELECT * FROM sales.orders;
    COMMENT ON COLUMN sales.orders.nothing IS 'x';
    COMMENT ON TABLE nowhere IS 'y';
    INSERT INTO sales.orders VALUES (1, 1);
    CREATE TABLE sales.orders (id INT);
    """
    catalog = catalog_from_ddl(ddl)
    assert [t["table_name"] for t in catalog["tables"]] == ["crm.customers", "sales.orders"]
    assert catalog["relationships"] == [
        {"from_table": "sales.orders", "from_column": "customer_id",
         "to_table": "crm.customers", "to_column": "id"}
    ]
    reasons = [s["reason"] for s in catalog["skipped"]]
    assert reasons[0].startswith("does not parse: ")
    assert reasons[1:] == [
        "CREATE TABLE without column definitions (AS SELECT or LIKE)",
        "COMMENT ON COLUMN names an unknown column sales.orders.nothing",
        "COMMENT ON TABLE names an unknown table nowhere",
        "INSERT is not a table definition",
        "table created twice; the first definition is kept",
    ]
    assert catalog["skipped"][0]["statement"] == "CREATE TABLE broken (id INT,"
    accepted(catalog)
    result = Schemasift().select("customer names", catalog)
    assert result.selected_metadata["tables"][0]["table_name"] == "crm.customers"


@pytest.mark.parametrize(
    "text, skipped",
    [("", []), ("  -- nothing here\n", []),
     ("INSERT INTO t VALUES (" + ", ".join(["1"] * 300) + ")",
      [{"statement": ("INSERT INTO t VALUES (" + "1, " * 60)[:197] + "...",
        "reason": "INSERT is not a table definition"}])],
)
def test_ddl_without_tables(text, skipped):
    assert catalog_from_ddl(text) == {"tables": [], "relationships": [], "skipped": skipped}


def test_ddl_refuses_bytes():
    with pytest.raises(TypeError, match="sql_text must be a str"):
        catalog_from_ddl(b"CREATE TABLE t (a int)")


# ================================================================ PostgreSQL

POSTGRES_DDL = """
CREATE SCHEMA crm;
CREATE SCHEMA sales;
CREATE TABLE crm.customers (
  region_code text NOT NULL,
  customer_no integer NOT NULL,
  full_name text NOT NULL,
  segment text,
  PRIMARY KEY (region_code, customer_no)
);
COMMENT ON TABLE crm.customers IS 'People and companies that buy from us';
COMMENT ON COLUMN crm.customers.segment IS 'Market segment: retail or wholesale';
CREATE TABLE sales.orders (
  order_id bigint PRIMARY KEY,
  region_code text NOT NULL,
  customer_no integer NOT NULL,
  ordered_at timestamp with time zone NOT NULL,
  total_amount numeric(12,2),
  attributes json,
  FOREIGN KEY (region_code, customer_no) REFERENCES crm.customers (region_code, customer_no)
);
COMMENT ON TABLE sales.orders IS 'One row per order';
COMMENT ON COLUMN sales.orders.total_amount IS 'Order total in EUR';
CREATE TABLE sales.order_lines (
  order_id bigint REFERENCES sales.orders,
  line_no integer,
  product text NOT NULL,
  quantity integer,
  PRIMARY KEY (order_id, line_no)
);
CREATE VIEW sales.big_orders AS SELECT order_id, total_amount FROM sales.orders WHERE total_amount > 100;
CREATE TABLE public.settings (key text PRIMARY KEY, value text);
"""

POSTGRES_ROWS = """
INSERT INTO crm.customers VALUES ('EU', 1, 'Ann Smith', 'retail'), ('EU', 2, 'Bolt Ltd', 'wholesale'),
  ('US', 1, 'Cy Jones', 'retail');
INSERT INTO sales.orders VALUES
  (100, 'EU', 1, '2024-01-05 10:00+00', 120.50, '{"channel": "web"}'),
  (101, 'EU', 2, '2024-02-01 09:30+00', 80.00, NULL),
  (102, 'US', 1, '2024-02-03 12:00+00', 15.25, '{"channel": "shop"}');
INSERT INTO sales.order_lines VALUES (100, 1, 'tea', 2), (100, 2, 'cups', 6), (101, 1, 'tea', 1);
INSERT INTO public.settings VALUES ('currency', 'EUR');
"""


def _unavailable(reason):
    if POSTGRES_REQUIRED:
        pytest.fail(f"TESSARIN_POSTGRES_TESTS=required, but {reason}", pytrace=False)
    pytest.skip(reason)


@pytest.fixture(scope="module")
def postgres_url():
    """A throwaway cluster with the shop database: initdb into a temporary
    folder, 127.0.0.1 and a free port only, stopped and removed at the end."""
    try:
        import psycopg  # noqa: F401
    except ImportError:
        _unavailable("the PostgreSQL driver psycopg is not installed (extra 'sql')")
    initdb = shutil.which("initdb") or max(
        glob.glob("/usr/lib/postgresql/*/bin/initdb"), default=None,
        key=lambda p: int(Path(p).parts[-3]) if Path(p).parts[-3].isdigit() else 0)
    if initdb is None:
        _unavailable("no PostgreSQL server binaries (initdb); Debian: apt-get install postgresql")
    bindir = Path(initdb).parent
    prefix, base = [], None
    if os.geteuid() == 0:  # postgres refuses to run as root
        import pwd

        try:
            user = pwd.getpwnam("postgres")
        except KeyError:
            _unavailable("running as root needs a 'postgres' user to start a server")
        prefix, base = ["runuser", "-u", "postgres", "--"], "/tmp"  # not a private TMPDIR
    folder = Path(tempfile.mkdtemp(prefix="tessarin-pg-", dir=base))
    data = folder / "pgdata"
    if prefix:
        os.chown(folder, user.pw_uid, user.pw_gid)

    def pg(tool, *args):
        subprocess.run([*prefix, str(bindir / tool), *args], check=True, capture_output=True,
                       text=True, timeout=120)

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    started = False
    try:
        try:
            pg("initdb", "-D", str(data), "-U", "tessarin", "--auth=trust", "-E", "UTF8",
               "--no-locale", "--no-sync")
            with open(data / "postgresql.conf", "a") as conf:
                conf.write(f"\nlisten_addresses = '127.0.0.1'\nport = {port}\n"
                           "unix_socket_directories = ''\nfsync = off\nmax_connections = 20\n")
            pg("pg_ctl", "-D", str(data), "-l", str(data / "server.log"), "-w", "-t", "60", "start")
            started = True
        except (OSError, subprocess.SubprocessError) as error:
            log = (data / "server.log").read_text()[-600:] if (data / "server.log").exists() else ""
            _unavailable(f"a PostgreSQL server could not be started: "
                         f"{(getattr(error, 'stderr', '') or str(error)).strip()[-400:]} {log}")
        url = f"postgresql+psycopg://tessarin@127.0.0.1:{port}"
        admin = sa.create_engine(f"{url}/postgres", isolation_level="AUTOCOMMIT")
        with admin.connect() as conn:
            conn.execute(sa.text("CREATE DATABASE shop"))
        admin.dispose()
        engine = sa.create_engine(f"{url}/shop")
        with engine.begin() as conn:
            conn.exec_driver_sql(POSTGRES_DDL)
            conn.exec_driver_sql(POSTGRES_ROWS)
        engine.dispose()
        yield f"{url}/shop"
    finally:
        if started:
            pg("pg_ctl", "-D", str(data), "-m", "immediate", "-w", "stop")
        shutil.rmtree(folder, ignore_errors=True)


def test_postgres_two_schemas_comments_and_composite_keys(postgres_url):
    catalog = catalog_from_database(postgres_url, schemas=["crm", "sales"])
    assert catalog["database"] == "shop"
    assert [t["table_name"] for t in catalog["tables"]] == [
        "crm.customers", "sales.order_lines", "sales.orders",
    ]
    customers = table(catalog, "crm.customers")
    assert customers["description"] == "People and companies that buy from us"
    assert customers["schema"] == "crm"
    assert customers["columns"] == [
        {"name": "region_code", "type": "TEXT", "nullable": False, "is_primary_key": True},
        {"name": "customer_no", "type": "INTEGER", "nullable": False, "is_primary_key": True},
        {"name": "full_name", "type": "TEXT", "nullable": False},
        {"name": "segment", "type": "TEXT", "nullable": True,
         "description": "Market segment: retail or wholesale"},
    ]
    orders = table(catalog, "sales.orders")
    assert orders["description"] == "One row per order"
    assert [(c["name"], c["type"]) for c in orders["columns"]] == [
        ("order_id", "BIGINT"), ("region_code", "TEXT"), ("customer_no", "INTEGER"),
        ("ordered_at", "TIMESTAMP WITH TIME ZONE"), ("total_amount", "NUMERIC(12, 2)"),
        ("attributes", "JSON"),
    ]
    assert column(catalog, "sales.orders", "total_amount")["description"] == "Order total in EUR"
    assert column(catalog, "sales.orders", "region_code")["is_foreign_key"] is True
    assert sorted(
        (r["from_table"], r["from_column"], r["to_table"], r["to_column"])
        for r in catalog["relationships"]
    ) == [
        ("sales.order_lines", "order_id", "sales.orders", "order_id"),
        ("sales.orders", "customer_no", "crm.customers", "customer_no"),
        ("sales.orders", "region_code", "crm.customers", "region_code"),
    ]
    assert catalog["skipped"] == []
    normalized = accepted(catalog)
    assert {c.name: c.role for c in normalized.tables[2].columns}["ordered_at"] == "datetime"
    result = Schemasift().select("total amount of orders per customer segment", catalog)
    chosen = [t["table_name"] for t in result.selected_metadata["tables"]]
    assert chosen[:2] == ["sales.orders", "crm.customers"]
    assert len(result.selected_metadata["relationships"]) >= 2


def test_postgres_default_schema_and_one_schema_are_bare(postgres_url):
    default = catalog_from_database(postgres_url)
    assert [t["table_name"] for t in default["tables"]] == ["settings"]
    assert table(default, "settings")["schema"] == "public"
    sales = catalog_from_database(postgres_url, schemas="sales")
    assert [t["table_name"] for t in sales["tables"]] == ["order_lines", "orders"]
    # A key into a schema that was not read names its table qualified.
    assert ("orders", "region_code", "crm.customers", "region_code") in shape(sales)["relationships"]
    accepted(sales)


def test_postgres_views_and_sample_values(postgres_url):
    catalog = catalog_from_database(postgres_url, schemas=["crm", "sales"], include_views=True,
                                    sample_values=2)
    view = table(catalog, "sales.big_orders")
    assert view["kind"] == "view"
    assert [c["name"] for c in view["columns"]] == ["order_id", "total_amount"]
    assert column(catalog, "crm.customers", "segment")["sample_values"] == ["retail", "wholesale"]
    assert column(catalog, "sales.orders", "total_amount")["sample_values"] == [15.25, 80]
    assert column(catalog, "sales.orders", "ordered_at")["sample_values"] == [
        "2024-01-05T10:00:00+00:00", "2024-02-01T09:30:00+00:00",
    ]
    # json has no equality operator: its sample query fails, is listed, and
    # the columns read after it still get theirs.
    assert "sample_values" not in column(catalog, "sales.orders", "attributes")
    assert [s["object"] for s in catalog["skipped"]] == ["sales.orders.attributes"]
    assert catalog["skipped"][0]["reason"].startswith("sample values not read: ")
    assert column(catalog, "sales.order_lines", "product")["sample_values"] == ["cups", "tea"]
    assert column(catalog, "sales.big_orders", "order_id")["sample_values"] == [100]
    accepted(catalog)


def test_postgres_matches_the_same_ddl_read_by_sqlglot(postgres_url):
    from_db = catalog_from_database(postgres_url, schemas=["crm", "sales", "public"])
    from_ddl = catalog_from_ddl(POSTGRES_DDL, dialect="postgres")
    db_shape, ddl_shape = shape(from_db), shape(from_ddl)
    assert ddl_shape["relationships"] == db_shape["relationships"]
    assert ddl_shape["tables"] == db_shape["tables"]
    assert [s["reason"] for s in from_ddl["skipped"]] == [
        "CREATE SCHEMA is not a table definition",
        "CREATE SCHEMA is not a table definition",
        "CREATE VIEW is not a table definition",
    ]
