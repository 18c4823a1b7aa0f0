"""Columnar export: record-batch layout, NUL-marked JSON cells, the hand-over to pyarrow, and
agreement with parse_raw on inline texts and real files."""

import json
import os
import queue
import subprocess
import sys
import threading
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

from conftest import arrow_name

tessrin_core = pytest.importorskip("tessrin_core")
pa = pytest.importorskip("pyarrow")

CORPUS = Path(__file__).resolve().parents[1].parent / "shared" / "corpus"

LEADING = pa.schema(
    [
        pa.field("_tessrin_block_idx", pa.int32(), nullable=False),
        pa.field("_block_name", pa.utf8(), nullable=False),
        pa.field("_frame_idx", pa.int32(), nullable=True),
        pa.field("_frame_name", pa.utf8(), nullable=True),
        pa.field("_loop_id", pa.utf8(), nullable=False),
    ]
)


def decode(cell):
    """A cell back as parse_raw gives the value: containers through the NUL + JSON rule."""
    if cell is not None and cell.startswith("\0"):
        return json.loads(cell[1:])
    return cell


def layout(batches):
    """Per batch: the leading values, the row count and the tag columns (decoded), checking on
    the way that the schema is exact and the leading columns are constant."""
    out = []
    for batch in batches:
        schema = batch.schema
        assert schema.metadata is None
        assert all(field.metadata is None for field in schema)
        assert pa.schema(list(schema)[:5]).equals(LEADING)
        for field in list(schema)[5:]:
            assert field.type == pa.utf8() and field.nullable
        leading = [batch.column(i).to_pylist() for i in range(5)]
        assert all(len(set(column)) == 1 for column in leading)
        columns = [
            (schema.names[i], [decode(c) for c in batch.column(i).to_pylist()])
            for i in range(5, batch.num_columns)
        ]
        out.append((tuple(column[0] for column in leading), batch.num_rows, columns))
    return out


def expected_layout(raw):
    """The batches that the parse_raw result calls for: plain tags first, then one per loop;
    rows = longest column, shorter columns padded with None."""
    out = []
    for b, block in enumerate(raw["blocks"]):
        frames = [(None, None, block)]
        frames += [(f, frame["name"], frame) for f, frame in enumerate(block["save_frames"])]
        for f, frame_name, frame in frames:
            looped = {tag for loop in frame["loops"] for tag in loop}
            groups = [("__scalars__", [t for t in frame["tag_order"] if t not in looped])]
            groups += [(f"__loop_{i}__", loop) for i, loop in enumerate(frame["loops"])]
            for loop_id, tags in groups:
                rows = max((len(frame["tags"][tag]) for tag in tags), default=0)
                if rows == 0:
                    continue
                columns = [
                    (arrow_name(tag), frame["tags"][tag] + [None] * (rows - len(frame["tags"][tag])))
                    for tag in tags
                ]
                out.append(((b, block["name"], f, frame_name, loop_id), rows, columns))
    return out


def check_against_raw(source, mode=None):
    batches, errors = tessrin_core.parse_arrow(source, mode)
    raw = tessrin_core.parse_raw(source, mode)
    assert errors == raw["errors"]
    assert layout(batches) == expected_layout(raw)
    return batches


def cells(source, tag, loop_id="__scalars__"):
    batches = check_against_raw(source)
    (batch,) = [b for b in batches if b["_loop_id"][0].as_py() == loop_id]
    return batch[tag].to_pylist()


# --- layout -------------------------------------------------------------------------------


def test_plain_tags_and_loop_give_two_batches():
    batches, errors = tessrin_core.parse_arrow("data_B\n_x 1\n_y 2\nloop_ _l.a _l.b 1 2 3 4 5 6\n")
    assert errors == []
    assert [(b.num_rows, b.num_columns) for b in batches] == [(1, 7), (3, 7)]
    assert batches[0].to_pydict() == {
        "_tessrin_block_idx": [0], "_block_name": ["b"], "_frame_idx": [None],
        "_frame_name": [None], "_loop_id": ["__scalars__"], "_x": ["1"], "_y": ["2"],
    }  # fmt: skip
    assert batches[1]["_loop_id"].to_pylist() == ["__loop_0__"] * 3
    assert batches[1]["_l.b"].to_pylist() == ["2", "4", "6"]


@pytest.mark.parametrize(
    ("source", "expected"),
    [
        ("data_a loop_ _l.a 1 2", [(0, None, "__loop_0__", 2)]),  # no plain-tag batch
        # A loop without rows gives no batch but still counts in the next loop's id.
        ("data_a loop_ _p.a loop_ _q.a 1", [(0, None, "__loop_1__", 1)]),
        ("data_a _x 1 _y 2 _x 3", [(0, None, "__scalars__", 2)]),  # _y padded with null
        ("data_Data _x 1 data_DATA _x 2",
         [(0, None, "__scalars__", 1), (1, None, "__scalars__", 1)]),
        ("data_a", []),
        ("", []),
        ("data_a loop_ _p.a _p.b data_b loop_ _q.a", []),
        ("#\\#CIF_2.0\ndata_D _b 0\nsave_First _f 1 save_\nsave_second loop_ _s.a 1 2 save_\n",
         [(0, None, "__scalars__", 1), (0, 0, "__scalars__", 1), (0, 1, "__loop_0__", 2)]),
    ],
)  # fmt: skip
def test_which_batches_are_made(source, expected):
    batches = check_against_raw(source)
    got = [(b[0][0].as_py(), b[2][0].as_py(), b[4][0].as_py(), b.num_rows) for b in batches]
    assert got == expected


def test_strict_mode_stops_at_duplicate_block():
    batches, errors = tessrin_core.parse_arrow("data_a _x 1\ndata_a _y 2\n", "strict")
    assert [b.to_pydict()["_x"] for b in batches] == [["1"]]
    assert [(e["error_type"], e["recovery_action"]) for e in errors] == [
        ("semantic", "duplicate block stored with distinct internal id")
    ]


# Texts whose batches must equal what parse_raw calls for; ragged loops lose nothing.
RICH = """#\\#CIF_2.0
data_one
_cell.a 10.0(2)
_cell.note
;
 a text field
;
_multi 1
_nested {'a':[1 {'b':'two words'}] 'c':{}}
loop_ _atom.id _atom.x _atom.extra
 1 0.1 .  2 0.2 [p q]  3 0.3 {'k':?}
_multi 2
save_frame1
 _f.x 'quoted value'
 loop_ _g.a _g.b 1 2 3
save_
save_FRAME1 _f.y 1 save_
data_two
loop_ _l.a 'x' "y"
loop_ _none.a
loop_ _m.b _m.c [] {}
"""


@pytest.mark.parametrize(
    "source",
    [
        RICH,
        "data_a loop_ _l.a _l.b 1 2 3 4 _l.a 5",  # a later assignment grows a loop column
        "data_a loop_ _l.a _l.b 1 2 3 4 loop_ _l.a 9",  # a later loop replaces it
        "data_a loop_ _l.a _l.b 1 2 3 4 loop_ _l.a",  # ... even with an empty list
        "data_a loop_ _l.a _l.b _l.a 1 2 3 4 5 6",  # a tag named twice in one header
        "#\\#CIF_2.0\ndata_a loop_ _l.a _l.b 1 2 loop_ _l.a _l.c [x] 3 {'k':y} 4",
        "data_a loop_ _l.a x \x00y z",
        "#\\#CIF_2.0\ndata_ΣΑΣ\n_Tag.Ωmega 'Ünïcode'\nloop_ _é.x {'Ключ':[ß]} Ø\n",
    ],
)
@pytest.mark.parametrize("mode", [None, "strict"])
def test_matches_parse_raw(source, mode):
    check_against_raw(source, mode)


@pytest.mark.parametrize(
    ("source", "loop_id", "columns"),
    [
        ("data_a loop_ _l.a _l.b 1 2 3 4 _l.a 5", "__loop_0__",
         {"_l.a": ["1", "3"], "_l.b": ["2", "4"]}),
        ("data_a loop_ _l.a _l.b 1 2 3 4 loop_ _l.a", "__loop_0__",
         {"_l.a": ["1", "3"], "_l.b": ["2", "4"]}),
    ],
)  # fmt: skip
def test_ragged_loop_is_padded_with_nulls(source, loop_id, columns):
    for tag, column in columns.items():
        assert cells(source, tag, loop_id) == column


# --- cell text -----------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("value", "cell"),
    [
        ("[a b]", '\0["a","b"]'),
        ("[]", "\0[]"),
        ("{'k':[]}", '\0{"k":[]}'),
        ("{'k':1 'K':2 'k':3}", '\0{"k":"1","K":"2","k":"3"}'),  # repeated key written twice
        ("[[1 [2]] {'a':{'b':[]}}]", '\0[["1",["2"]],{"a":{"b":[]}}]'),
        ("[1.5 . ? '.' \"?\"]", '\0["1.5",".","?","\\".\\"","\\"?\\""]'),
        ("['a\"b' 'c\\d' 'x/y' 'é€😀']", '\0["a\\"b","c\\\\d","x/y","é€😀"]'),
        ('[\n;line one\n\tline "two"\n;\n]', '\0["line one\\n\\tline \\"two\\""]'),
        ("['\t\x0c\x01\x1f\x7f\u2028']", '\0["\\t\\u000c\\u0001\\u001f\x7f\u2028"]'),
        ("'[1,]'", "[1,]"),  # container-looking scalars stay as they are, no NUL
        ("'a\"b\\'", 'a"b\\'),
        ("'.'", '"."'),  # a quoted dot is kept apart from the placeholder
        # A stray NUL gets through the lexer; a scalar led by one is written as NUL + JSON
        # string, so the one decoding rule gives it back instead of failing.
        ("\x00abc", '\0"\\u0000abc"'),
        ("'\x00[1]'", '\0"\\u0000[1]"'),
        ("a\x00", "a\x00"),
    ],
)
def test_cell_text(value, cell):
    assert cells(f"#\\#CIF_2.0\ndata_a _v {value}\n", "_v") == [cell]


def test_deep_nesting_is_written_without_recursion():
    depth = 200_000
    source = "#\\#CIF_2.0\ndata_a _v " + "[" * depth + "]" * depth + "\n"
    (batch,), _ = tessrin_core.parse_arrow(source)
    assert batch["_v"].to_pylist() == ["\0" + "[" * depth + "]" * depth]


# --- files, errors, hand-over --------------------------------------------------------------


def same_batches(a, b):
    return len(a) == len(b) and all(x.equals(y) and x.schema.equals(y.schema) for x, y in zip(a, b))


# A pipe has no size to read up to: its text arrives in pieces and the buffer grows, past the
# size at which it moves to mapped pages.
@pytest.mark.parametrize("kind", ["file", "fifo"])
@pytest.mark.parametrize("copies", [1, 10_000])
def test_parse_arrow_file_equals_parse_arrow(tmp_path, kind, copies):
    source = RICH + "".join(f"data_more{i}\n_v {i}\n" for i in range(copies))
    path = tmp_path / "rich.cif"
    if kind == "file":
        path.write_bytes(source.encode())
    else:
        os.mkfifo(path)
        writer = threading.Thread(target=path.write_bytes, args=(source.encode(),))
        writer.start()
    file_batches, file_errors = tessrin_core.parse_arrow_file(str(path))
    if kind == "fifo":
        writer.join()
    batches, errors = tessrin_core.parse_arrow(source)
    assert file_errors == errors and same_batches(file_batches, batches)


def test_threads_parse_and_free_each_others_batches():
    # Batches are freed by whichever thread drops them last, often not the one that made them,
    # while other threads export: every batch must still read as made until then.
    big_loop = "data_big\nloop_ _r " + " ".join(f"v{i}" for i in range(20_000)) + "\n"
    sources = [RICH + f"data_t{i}\n_v {i}\n" + (big_loop if i % 2 else "") for i in range(4)]
    expected = [tessrin_core.parse_arrow(source) for source in sources]
    handed = queue.Queue()

    def work(i):
        for _ in range(30):
            handed.put((i, tessrin_core.parse_arrow(sources[i])))
            j, (batches, errors) = handed.get()
            assert errors == expected[j][1] and same_batches(batches, expected[j][0])

    with ThreadPoolExecutor(max_workers=4) as pool:
        list(pool.map(work, range(4)))


PATH_FORMS = {"str": str, "bytes": os.fsencode, "PathLike": Path}


@pytest.mark.parametrize("form", PATH_FORMS)
@pytest.mark.parametrize(
    ("content", "message"),
    [
        (RICH.encode(), None),
        (b"data_a\n_x 'caf\xc3\xa9' caf\xe9\n", r"valid UTF-8 \(byte 0xE9 at line 2, column 14\)"),
        (None, "No such file"),
    ],
)
def test_parse_arrow_file_paths_and_errors(tmp_path, form, content, message):
    path = tmp_path / "x.cif"
    if content is not None:
        path.write_bytes(content)
    if message is None:
        _, errors = tessrin_core.parse_arrow_file(PATH_FORMS[form](path))
        assert errors == tessrin_core.parse_arrow(RICH)[1]
        return
    with pytest.raises(OSError, match=message) as raised:
        tessrin_core.parse_arrow_file(PATH_FORMS[form](path))
    assert os.fsdecode(raised.value.filename) == str(path)


def test_text_beyond_32_bit_offsets_raises_and_leaves_the_module_usable():
    # Every row repeats the block name: 1100 bytes times 2 million rows exceeds 2**31 - 1.
    source = "data_" + "b" * 1100 + "\nloop_ _l.a\n" + "1\n" * 2_000_000
    with pytest.raises(OverflowError, match="block name column of block 'b{60}\\.\\.\\.'"):
        tessrin_core.parse_arrow(source)
    assert tessrin_core.parse_arrow("data_a _x 1")[0][0]["_x"].to_pylist() == ["1"]


def test_repeated_calls_do_not_leak():
    source = "data_a _x 1 loop_ _l.a 1 2"
    tessrin_core.parse_arrow(source)
    before = sys.getrefcount(pa.RecordBatchReader), pa.total_allocated_bytes()
    for _ in range(200):
        tessrin_core.parse_arrow(source)
    # Arrow-pool memory of the leading columns comes back once the batches are dropped.
    after = sys.getrefcount(pa.RecordBatchReader), pa.total_allocated_bytes()
    assert after == before


def test_missing_pyarrow_raises_and_is_not_remembered():
    script = """if True:
        import sys, tessrin_core
        sys.modules["pyarrow"] = None
        try:
            tessrin_core.parse_arrow("data_a _x 1")
            raise SystemExit("no ImportError")
        except ImportError:
            pass
        del sys.modules["pyarrow"]
        assert tessrin_core.parse_arrow("data_a _x 1")[0][0]["_x"].to_pylist() == ["1"]
    """
    subprocess.run([sys.executable, "-c", script], check=True)


# --- the tools users reach for next -------------------------------------------------------


def test_table_pandas_and_parquet(tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    source = "data_a loop_ _l.a _l.b 1 2 3 4 _l.a 5 data_b loop_ _l.a 6"
    batches, _ = tessrin_core.parse_arrow(source)
    with pytest.raises(pa.ArrowInvalid):  # different schemas: no table
        pa.Table.from_batches(batches)
    same_schema, _ = tessrin_core.parse_arrow("data_a loop_ _l.a 1 2 data_b _l.a 3")
    table = pa.Table.from_batches(same_schema)
    assert table["_tessrin_block_idx"].to_pylist() == [0, 0, 1]
    assert table["_l.a"].to_pylist() == ["1", "2", "3"]
    frame = batches[0].to_pandas()
    assert frame["_l.a"].tolist() == ["1", "3"] and frame["_block_name"].tolist() == ["a"] * 2
    assert frame["_l.b"].isna().tolist() == [False, False]
    for i, batch in enumerate(check_against_raw(RICH) + batches):
        table = pa.Table.from_batches([batch])
        pq.write_table(table, tmp_path / f"{i}.parquet")
        assert pq.read_table(tmp_path / f"{i}.parquet").equals(table)


# --- real files ---------------------------------------------------------------------------


def corpus_files(*patterns):
    if not CORPUS.is_dir():
        return [pytest.param(None, marks=pytest.mark.skip(reason="corpus absent"))]
    return [
        pytest.param(path, id=str(path.relative_to(CORPUS)))
        for pattern in patterns
        for path in sorted(CORPUS.glob(pattern))
    ]


def manifest_files(flag):
    if not CORPUS.is_dir():
        return [pytest.param(None, marks=pytest.mark.skip(reason="corpus absent"))]
    rows = (line.split("\t") for line in (CORPUS / "MANIFEST.tsv").read_text().splitlines()[1:])
    return [pytest.param(CORPUS / row[0], id=row[0]) for row in rows if flag in row[7].split()]


@pytest.mark.parametrize(
    "path",
    corpus_files(
        "mmcif-big/small/1cbs.cif",
        "mmcif-big/medium/biopython/1A8O.cif",
        "mmcif-big/medium/ciftools-java/1onx.cif",
        "mmcif-big/medium/wwpdb-assembly-examples/2or2-assembly1.cif",
        "cif1-real/cod-tools-tests/utf8-to-cif/illegal-ascii-symbols.cif",
        "cif2-syntax/comcifs-DDLm/ddl.dic",
        "cif2-syntax/cod-tools-tests/*.cif",
        "cif2-syntax/cod-tools-yapp-parser/*.cif",
        "cif2-syntax/cod-tools-codcif/*.cif",
    ),
)
def test_corpus_file_matches_parse_raw(path):
    text = path.read_bytes().decode("utf-8")
    batches = check_against_raw(text)
    file_batches, file_errors = tessrin_core.parse_arrow_file(str(path))
    assert file_errors == tessrin_core.parse_raw(text)["errors"]
    assert same_batches(file_batches, batches)


@pytest.mark.parametrize("path", manifest_files("non-ascii-not-utf8"))
def test_corpus_non_utf8_file_is_refused(path):
    with pytest.raises(OSError, match="stream did not contain valid UTF-8"):
        tessrin_core.parse_arrow_file(str(path))


def test_large_columns_on_recycled_pages_stay_intact():
    # Columns past a megabyte live on page mappings that are recycled between parses.
    n = 300_000
    first = "data_a loop_ _x " + " ".join(f"a{i}" for i in range(n))
    second = "data_b loop_ _x " + " ".join(f"b{i}" for i in range(n))
    kept, _ = tessrin_core.parse_arrow(first)
    dropped, _ = tessrin_core.parse_arrow(second)
    del dropped
    again, _ = tessrin_core.parse_arrow(second)
    raw = tessrin_core.parse_raw(first)
    assert kept[0].column("_x").to_pylist() == [f"a{i}" for i in range(n)]
    assert again[0].column("_x").to_pylist() == [f"b{i}" for i in range(n)]
    assert raw["blocks"][0]["tags"]["_x"] == [f"a{i}" for i in range(n)]
