"""The collection checks both collectors share: each semantic diagnostic points at the token
that caused it, names what it concerns, and reads the same from every entry."""

import pytest

tessrin_core = pytest.importorskip("tessrin_core")

CIF2_HEADER = "#\\#CIF_2.0\n"

# Source, the message's start, where it points (line, column) and its context.
CASES = [
    ("data_x\n_a 1\ndata_X\n", 'duplicate data block name: "X"', (3, 1), "X"),
    ("data_x\nsave_f\n_a 1\nsave_\n  save_F\n_a 2\nsave_\n", 'duplicate save frame name: "F"',
     (5, 3), "F"),
    ("data_x\n_a 1\n  _A 2\n", 'tag "_a" defined again in the same data block', (3, 3), "_a"),
    ("data_x\nsave_f\nloop_ _a 1\n_a 2\nsave_\n", 'tag "_a" defined again in the same save frame',
     (4, 1), "_a"),
    ("data_x\n_a 1\nloop_ _b\n _A 2 3\n", 'tag "_a" defined again in the same data block', (4, 2),
     "_a"),
    ("data_x\n_k 0\n\n  loop_ _B _c\n 1 2 3\n", "loop value count 3 is not divisible by tag count 2",
     (4, 3), "_b"),
    ("data_x\nloop_ _a _b _A 1 2 3\n", 'loop names tag "_A" more than once in block "x"', (2, 13),
     "_A"),
    # Columns count characters, not bytes.
    (CIF2_HEADER + "data_x\n_\u00e9 '\u00fc' _\u00c9 2\n", 'tag "_\u00e9" defined again', (3, 8),
     "_\u00e9"),
]  # fmt: skip


def semantic(errors):
    return [e for e in errors if e["error_type"] == "semantic"]


@pytest.mark.parametrize("mode", [None, "strict"])
@pytest.mark.parametrize("source, message, at, context", CASES)
def test_semantic_diagnostic_points_at_its_cause(source, message, at, context, mode):
    raw = tessrin_core.parse_raw(source, mode)["errors"]
    (error,) = semantic(raw)
    assert error["message"].startswith(message)
    assert ((error["line"], error["column"]), error["context"]) == (at, context)
    # The batches and the object model report the collector's diagnostics as they are.
    assert tessrin_core.parse_arrow(source, mode)[1] == raw
    assert tessrin_core.parse_cif(source, mode)[1] == raw
    # The tables say the same of the same token (the recovery is what they did instead).
    (table_error,) = semantic(tessrin_core.parse_tables(source, mode, types="text")[1])
    assert table_error["message"].startswith(message)
    assert {k: v for k, v in table_error.items() if k != "recovery_action"} == {
        **{k: v for k, v in error.items() if k != "recovery_action"},
        "message": table_error["message"]}  # fmt: skip


def test_strict_collection_stops_at_a_loop_naming_a_tag_twice():
    # Both collectors stop there now: neither keeps the loop or anything after it.
    source = "data_x\n_k 0\nloop_ _a _a 1 2\n_c 3\n"
    raw = tessrin_core.parse_raw(source, "strict")
    assert raw["blocks"][0]["tags"] == {"_k": ["0"]}
    tables, _ = tessrin_core.parse_tables(source, "strict", types="text")
    assert [table.num_rows for table in tables.values()] == [1]
    assert tables["_unknown"].column("_k").to_pylist() == ["0"]
