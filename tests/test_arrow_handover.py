"""The hand-over of the collector's buffers to Arrow: batches outlive the parse and each other,
every buffer is released once, memory does not grow over many batches, an old pyarrow is
refused by name, and the batches work in the tools users take them to next."""

import gc
import os
import subprocess
import sys
from pathlib import Path

import pytest

tessrin_core = pytest.importorskip("tessrin_core")
pa = pytest.importorskip("pyarrow")

# Save frames, a ragged loop (padding shares the text buffer), a tag in two loops (one column
# in two batches), containers and NUL-led values (rewritten columns), non-ASCII text.
SOURCE = """#\\#CIF_2.0
data_one
_plain 'h\u00e9llo'
_list [1 [2 3] {'k':v}]
loop_ _a _b
x 1 y 2 z
loop_ _c _a
p q r s
save_frame1
_s.x 7
loop_ _s.l 1 2 3
save_
data_two
_plain ?
loop_ _t.id _t.v 1 . 2 ?
"""


def fresh():
    batches, errors = tessrin_core.parse_arrow(SOURCE)
    assert len(batches) >= 6
    return batches, errors


# Run in a child so that a buffer freed twice (glibc aborts) fails the test instead of pytest.
RELEASE_SCRIPT = """if True:
    import gc, itertools, sys, tessrin_core
    source = sys.argv[1]
    expected = [b.to_pylist() for b in tessrin_core.parse_arrow(source)[0]]
    n = len(expected)
    for order in itertools.islice(itertools.permutations(range(n)), 0, None, 499):
        batches = tessrin_core.parse_arrow(source)[0]
        slices = [b.slice(1) for b in batches]
        for i in order:
            assert batches[i].to_pylist() == expected[i]
            batches[i] = None
            gc.collect()
            assert slices[i].to_pylist() == expected[i][1:]
        del slices
        gc.collect()
    print("ok")
"""


def test_batches_outlive_the_parse_and_each_other_and_release_once():
    done = subprocess.run(
        [sys.executable, "-c", RELEASE_SCRIPT, SOURCE], capture_output=True, text=True,
        check=False,
    )
    assert done.returncode == 0 and done.stdout == "ok\n", done.stderr


def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif("TESSRIN_SANITIZED" in os.environ, reason="ASan quarantines freed memory")
def test_many_batches_do_not_grow_memory():
    # Thousands of small frames (like a chemical-component file) and one large column on page
    # mappings (about 8 MB of text and 2 MB of offsets): were the buffers never given back, eight
    # rounds would hold 80 MB more.
    many = "".join(f"data_c{i} _x.id c{i} loop_ _y.a _y.b 1 2 3 4\n" for i in range(3000))
    large = "data_big loop_ _z.v " + " ".join(f"value{i:09d}" for i in range(500_000))

    def round_trip():
        for source in (many, large):
            batches, _ = tessrin_core.parse_arrow(source)
            assert batches[-1].num_rows > 0
            del batches
        gc.collect()

    round_trip()
    round_trip()
    before = resident(), pa.total_allocated_bytes()
    for _ in range(8):
        round_trip()
    grown = resident() - before[0]
    assert grown < 24 << 20, f"resident size grew by {grown} bytes"
    assert pa.total_allocated_bytes() == before[1]


def test_module_names_no_arrow_library():
    # A linked library's name sits in the module's dynamic section (what ldd reads).
    assert b"libarrow" not in Path(tessrin_core.__file__).read_bytes()


def test_too_old_pyarrow_is_refused_by_name():
    script = """if True:
        import sys, types, tessrin_core
        sys.modules["pyarrow"] = types.SimpleNamespace(__version__="13.0.0")
        try:
            tessrin_core.parse_arrow("data_a _x 1")
        except ImportError as e:
            print(e)
    """
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          check=False)
    assert done.returncode == 0, done.stderr
    assert "pyarrow>=14" in done.stdout and "13.0.0" in done.stdout


# --- where users take the batches next ------------------------------------------------------


def test_polars_duckdb_pandas_and_parquet_see_every_batch(tmp_path):
    pl = pytest.importorskip("polars")
    duckdb = pytest.importorskip("duckdb")
    pq = pytest.importorskip("pyarrow.parquet")
    batches, _ = fresh()
    for i, batch in enumerate(batches):
        rows = batch.to_pylist()
        names = batch.schema.names

        frame = pl.from_arrow(batch)
        assert frame.columns == names and frame.rows(named=True) == rows

        table = pa.Table.from_batches([batch])
        con = duckdb.connect()
        con.register("batch", table)
        got = con.execute("SELECT * FROM batch").fetchall()
        assert [dict(zip(names, row)) for row in got] == rows
        padded = sum(value is None for row in rows for value in list(row.values())[5:])
        nulls = " + ".join(f'count(*) - count("{name}")' for name in names[5:])
        assert con.execute(f"SELECT {nulls} FROM batch").fetchone()[0] == padded
        con.close()

        pandas_rows = batch.to_pandas().to_dict("records")
        # pandas gives NaN for a missing number: the one value not equal to itself.
        assert [{k: (None if v != v else v) for k, v in row.items()}  # noqa: PLR0124
                for row in pandas_rows] == rows

        pq.write_table(table, tmp_path / f"{i}.parquet")
        assert pq.read_table(tmp_path / f"{i}.parquet").equals(table)
