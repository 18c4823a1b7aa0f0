"""Corners where data used to be lost or misplaced: a keyless container inside a table, a tag
defined twice in one frame, NUL inside names, and the `;\\` line-folding marker. Every entry
function must keep the data and say what it did."""

import pytest

from conftest import Recorder, check_positions, entries_agree, tessrin_core

C2 = "#\\#CIF_2.0\n"
KEYLESS = "\r_tessrin_keyless"


def only_frame(raw):
    """The values of the first save frame, or of the block when it has none."""
    block = raw["blocks"][0]
    return block["save_frames"][0] if block["save_frames"] else block


@pytest.mark.parametrize(
    ("body", "expected"),
    [
        ("_a {[1] 'k':2 {'z':3}}", {KEYLESS: [["1"], {"z": "3"}], "k": "2"}),
        # A key that held a CR in the file holds a line feed once line ends are normalised.
        ("_a {'''\r_tessrin_keyless''':1 [2]}",
         {"\n_tessrin_keyless": "1", KEYLESS: [["2"]]}),
    ],
)  # fmt: skip
def test_keyless_container_in_table_is_kept_under_one_key(body, expected):
    raw, _batches = entries_agree(C2 + "data_x\n" + body + "\n")
    assert raw["blocks"][0]["tags"]["_a"] == [expected]  # parse_cif and parse_arrow agree
    recoveries = {e["recovery_action"] for e in raw["errors"]
                  if e["message"] == "container in table key position"}  # fmt: skip
    assert recoveries == {('treating container as table value (no key); collected into the list '
                           'under key "\\r_tessrin_keyless"')}  # fmt: skip


AGAIN = 'tag "{}" defined again in the same {}'


@pytest.mark.parametrize(
    ("source", "tags", "loops", "diagnostics"),
    [
        ("data_x loop_ _a _b 1 2 3 4 loop_ _a _c 5 6",
         {"_a": ["1", "3"], "_b": ["2", "4"], "_c": ["6"]}, [["_a", "_b"], ["_c"]],
         [("_a", "kept the first definition (2 value(s)); 1 value(s) of this loop not kept")]),
        ("data_x _a 1 loop_ _a _b 2 3 4 5", {"_a": ["1"], "_b": ["3", "5"]}, [["_b"]],
         [("_a", "kept the first definition (1 value(s)); 2 value(s) of this loop not kept")]),
        ("data_x loop_ _a _b 1 2 3 4 _A 5", {"_a": ["1", "3"], "_b": ["2", "4"]}, [["_a", "_b"]],
         [("_a", "kept its loop's 2 value(s); 1 value not kept")]),
        ("data_x _t a _t b _t c", {"_t": ["a", "b", "c"]}, [],
         [("_t", "kept every value of the tag as one list; 0 values not kept")] * 2),
        ("data_x save_s loop_ _a 1 loop_ _a _b 2 3 save_", {"_a": ["1"], "_b": ["3"]},
         [["_a"], ["_b"]],
         [("_a", "kept the first definition (1 value(s)); 1 value(s) of this loop not kept")]),
    ],
)  # fmt: skip
def test_tag_defined_twice_is_reported_and_rows_stay_aligned(source, tags, loops, diagnostics):
    raw, _ = entries_agree(source)  # parse_cif and every record batch show the same values
    frame = only_frame(raw)
    assert (frame["tags"], frame["loops"]) == (tags, loops)
    for loop in frame["loops"]:
        assert len({len(frame["tags"][tag]) for tag in loop}) == 1
    where = "save frame" if raw["blocks"][0]["save_frames"] else "data block"
    assert [(e["error_type"], e["message"], e["recovery_action"]) for e in raw["errors"]] == [
        ("semantic", AGAIN.format(tag, where), action) for tag, action in diagnostics]


@pytest.mark.parametrize(
    ("source", "name", "recovery"),
    [
        ("data_a\n_a\0b 1\n", "_a\0b", "name kept; U+FFFD in its place in the Arrow field name"),
        (C2 + "data_a\nloop_ _x _\0\n1 2\n", "_\0", ("name kept; U+FFFD in its place in the "
          "Arrow field name")),
        ("data_a\0b\n_a 1\n", "a\0b", "name kept"),
        (C2 + "data_a\nsave_f\0\n_a 1\nsave_\n", "f\0", "name kept"),
    ],
)  # fmt: skip
def test_nul_in_a_name_is_reported_and_kept(source, name, recovery, tmp_path):
    raw, batches = entries_agree(source)  # no entry raises; field names carry U+FFFD
    frames = [raw["blocks"][0], *raw["blocks"][0]["save_frames"]]
    assert name in [f["name"] for f in frames] + [t for f in frames for t in f["tag_order"]]
    nul = source.index("\0")
    line = source.count("\n", 0, nul) + 1
    column = nul - source.rfind("\n", 0, nul)
    lexical = [e for e in raw["errors"] if e["error_type"] == "lexical"]
    assert [(e["line"], e["column"], e["recovery_action"]) for e in lexical] == [
        (line, column, recovery)]
    check_positions(source, raw["errors"])
    path = tmp_path / "nul.cif"
    path.write_text(source, encoding="utf-8", newline="")
    file_batches, file_errors = tessrin_core.parse_arrow_file(str(path))
    assert file_errors == raw["errors"]
    assert [b.schema.names for b in file_batches] == [b.schema.names for b in batches]
    tessrin_core.parse(source, Recorder())


@pytest.mark.parametrize(
    ("opening", "lines", "expected"),
    [
        ("\\", ["abc\\", "def"], "abcdef"),
        ("\\ \t", ["one \\ ", "two\\", "three", "four"], "one twothree\nfour"),
        ("\\\\", ["abc\\", "def"], "abcdef"),
        ("> \\", ["> abc\\", "> def"], "abc\\\ndef"),
        ("> \\\\", ["> abc\\", "> def"], "abcdef"),
    ],
)  # fmt: skip
def test_backslash_alone_opens_line_folding(opening, lines, expected):
    source = "data_x\n_t\n;" + opening + "\n" + "\n".join(lines) + "\n;\n"
    raw, _ = entries_agree(source)
    assert raw["blocks"][0]["tags"]["_t"] == [expected]
