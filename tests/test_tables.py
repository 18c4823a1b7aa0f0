"""Category tables (`parse_tables`): the grouping rules on small texts, agreement with
`parse_raw` on every corpus file, and the chemical-component file's one row per block."""

import json
from collections import Counter, defaultdict

import pytest

from conftest import CORPUS, tessrin_core
from test_corpus import corpus_files, read_as_user

pa = pytest.importorskip("pyarrow")


def rows(table):
    """The table as (column names without block/frame, rows as tuples with block and frame)."""
    return table.column_names[2:], [tuple(r.values()) for r in table.to_pylist()]


MMCIF = """data_x
_cell.length_a 5.0
_cell.Length_b 6
loop_
_atom_site.id
_atom_site.Cartn_x
1 2.0
2 '.'
data_y
_cell.LENGTH_A 7
loop_
_Atom_Site.ID
_atom_site.B_iso_or_equiv
3 ?
"""

# (text, {category: (columns, rows)}, number of "semantic" diagnostics)
CASES = {
    "mmcif, scalar and loop mix, case kept from first spelling": (
        MMCIF,
        {
            "cell": (["length_a", "Length_b"], [("x", None, "5.0", "6"), ("y", None, "7", None)]),
            "atom_site": (
                ["id", "Cartn_x", "B_iso_or_equiv"],
                [("x", None, "1", "2.0", None), ("x", None, "2", '"."', None),
                 ("y", None, "3", None, "?")],
            ),
        },
        0,
    ),
    "ddl1 known, unknown plain, unknown in loop beside known": (
        (
            "data_d\n_cell_length_a 5\n_Symmetry_space_group_name_H-M 'P 1'\n_my_thing 1\n"
            "loop_ _atom_site_label _atom_site_fract_x _atom_site_my_extra\nC1 0.1 e\n"
        ),
        {
            "cell": (["length_a"], [("d", None, "5")]),
            "space_group": (["name_H-M_full"], [("d", None, "P 1")]),
            "_unknown": (["_my_thing"], [("d", None, "1")]),
            "atom_site": (["label", "fract_x", "my_extra"], [("d", None, "C1", "0.1", "e")]),
        },
        0,
    ),
    "unknown loop: longest common prefix": (
        "data_d\nloop_ _foo_bar_a _foo_bar_b _Foo_bar_c_d\n1 2 3\n",
        {"foo_bar": (["a", "b", "c_d"], [("d", None, "1", "2", "3")])},
        0,
    ),
    "unknown loop without a common prefix": (
        "data_d\nloop_ _p _q\n1 2\n",
        {"_unknown": (["_p", "_q"], [("d", None, "1", "2")])},
        0,
    ),
    "save frames and a block without categories": (
        "data_e\ndata_d\n_a.x 1\nsave_f\n_a.x 2\nsave_\n",
        {"a": (["x"], [("d", "f", "2"), ("d", None, "1")])},
        0,
    ),
    "two loops of one category append": (
        "data_d\nloop_ _a.x 1 2\nloop_ _a.y 3\nloop_ _a.y 4\n",
        {"a": (["x", "y"], [("d", None, "1", None), ("d", None, "2", None),
                            ("d", None, None, "3"), ("d", None, None, "4")])},
        1,
    ),
    "loop and plain tag name one tag": (
        "data_d\n_a.x 0\nloop_ _a.x _a.y\n1 2\n",
        {"a": (["x", "y"], [("d", None, "1", "2"), ("d", None, "0", None)])},
        1,
    ),
    "plain tag given twice": (
        "data_d\n_a.x 1\n_a.y 2\n_a.x 3\n",
        {"a": (["x", "y"], [("d", None, "1", "2"), ("d", None, "3", None)])},
        1,
    ),
    "a block's tags around a save frame": (
        "data_d\n_a.x 1\nsave_f\n_a.x 2\n_a.x 3\nsave_\n_a.x 4\n",
        {"a": (["x"], [("d", "f", "2"), ("d", "f", "3"), ("d", None, "1"), ("d", None, "4")])},
        2,
    ),
    "loop header names a tag twice": (
        "data_d\nloop_ _a.x _a.y _A.X\n1 2 3\n4 5 6\n",
        {"a": (["x", "y"], [("d", None, "1", "2"), ("d", None, "3", None),
                            ("d", None, "4", "5"), ("d", None, "6", None)])},
        1,
    ),
    "loop of two categories": (
        "data_d\nloop_ _a.x _b.y\n1 2\n3 4\n",
        {"a": (["x"], [("d", None, "1"), ("d", None, "3")]),
         "b": (["y"], [("d", None, "2"), ("d", None, "4")])},
        0,
    ),
    "cif2 containers, text field, padded loop": (
        "#\\#CIF_2.0\ndata_d\n_a.l [1 [2]]\n_a.t\n;\nline\n;\nloop_ _b.x _b.y\n1\n",
        {"a": (["l", "t"], [("d", None, '\x00["1",["2"]]', "\nline")]),
         "b": (["x", "y"], [("d", None, "1", "?")])},
        1,
    ),
}  # fmt: skip


@pytest.mark.parametrize("text, expected, semantic", CASES.values(), ids=CASES.keys())
def test_grouping(text, expected, semantic):
    tables, errors = tessrin_core.parse_tables(text, types="text")
    assert list(tables) == list(expected)
    assert {name: rows(table) for name, table in tables.items()} == expected
    assert sum(e["error_type"] == "semantic" for e in errors) == semantic
    for table in tables.values():
        assert table.column_names[:2] == ["block", "frame"]
        assert all(t == pa.string() for t in table.schema.types)


# (a block's body, {value: (table, column)}): where each rule of one table per category puts
# a tag's value. Every value is distinct, so it names the cell it lands in.
PLACES = [
    # a period splits at the first one; the first spelling of a name is kept
    ("_a.b.c 1\n_A.x 2\n_.y 3\n_z. 4\n",
     {"1": ("a", "b.c"), "2": ("a", "x"), "3": ("_unknown", "_.y"), "4": ("_unknown", "_z.")}),
    # DDL1 names: the longest category the dictionary knows, the file's spelling where it spells
    # category and column out, the dictionary's where it does not
    (("_Cell_Length_A 1\n_cell_length_b 2\n_atom_site_aniso_U_11 3\n_atom_site_fract_x 4\n"
      "_refine_ls_wR_factor_gt 5\n_diffrn_radiation_wavelength 6\n_ATOM_SITE_LABEL 7\n"
      "_atom_rho_multipole_coeff_p1-1 8\n"),
     {"1": ("Cell", "Length_A"), "2": ("Cell", "length_b"), "3": ("atom_site_aniso", "U_11"),
      "4": ("atom_site", "fract_x"), "5": ("refine_ls", "wR_factor_gt"),
      "6": ("diffrn_radiation_wavelength", "value"), "7": ("atom_site", "LABEL"),
      "8": ("atom_rho_multipole_coeff", "P1_1")}),
    (("_symmetry_space_group_name_H-M 'P 1'\n_symmetry_space_group_name_Hall 'P 2'\n"
      "_space_group_name_H-M_alt 'P 3'\n"),
     {"P 1": ("space_group", "name_H-M_full"), "P 2": ("space_group", "name_Hall"),
      "P 3": ("space_group", "name_H-M_alt")}),
    # unknown names: in a loop, the first known name's category, under the rest of the name
    # where it starts with that category, else under the full name; a plain one in `_unknown`
    ("loop_ _atom_site_label _atom_site_my_extra _foo _atom_site_aniso_U_11 1 2 3 4\n_my 5\n",
     {"1": ("atom_site", "label"), "2": ("atom_site", "my_extra"), "3": ("atom_site", "_foo"),
      "4": ("atom_site_aniso", "U_11"), "5": ("_unknown", "_my")}),
    ("loop_ _q_1 _a.x _a_y 1 2 3\n_atom_site_mine 4\n",
     {"1": ("a", "_q_1"), "2": ("a", "x"), "3": ("a", "y"), "4": ("_unknown", "_atom_site_mine")}),
    # no known name: the longest common `_`-separated prefix, each tag keeping a part
    ("loop_ _foo_bar_a _Foo_bar_b_c 1 2\nloop_ _p_ab _p_ac 3 4\nloop_ _s_t 5\n",
     {"1": ("foo_bar", "a"), "2": ("foo_bar", "b_c"), "3": ("p", "ab"), "4": ("p", "ac"),
      "5": ("s", "t")}),
    ("loop_ _foo _foo_a 1 2\nloop_ _x_a _y_a 3 4\nloop_ _ab_c _ab_ 5 6\n",
     {"1": ("_unknown", "_foo"), "2": ("_unknown", "_foo_a"), "3": ("_unknown", "_x_a"),
      "4": ("_unknown", "_y_a"), "5": ("_unknown", "_ab_c"), "6": ("_unknown", "_ab_")}),
    # items called `block` and `frame` keep their full names
    ("_a.block 1\n_a.Frame 2\n_a.blocks 3\n",
     {"1": ("a", "_a.block"), "2": ("a", "_a.Frame"), "3": ("a", "blocks")}),
]  # fmt: skip


@pytest.mark.parametrize("body, expected", PLACES)
def test_where_each_tag_goes(body, expected):
    tables, errors = tessrin_core.parse_tables("data_Blk\n" + body, types="text")
    assert errors == []
    placed = {}
    for name, table in tables.items():
        assert table.column("block").to_pylist() == ["blk"] * table.num_rows
        for column in table.column_names[2:]:
            placed.update((v, (name, column)) for v in table.column(column).to_pylist() if v)
    assert placed == expected


def test_block_and_frame_names_are_lower_cased():
    text = "data_Blk\n_a.x 1\nsave_Fr_One\n_a.x 2\nsave_\ndata_\u00c9T\n_a.x 3\n"
    table = tessrin_core.parse_tables("#\\#CIF_2.0\n" + text)[0]["a"]
    assert table.to_pylist() == [{"block": "blk", "frame": "fr_one", "x": 2},
                                 {"block": "blk", "frame": None, "x": 1},
                                 {"block": "\u00e9t", "frame": None, "x": 3}]  # fmt: skip


def test_strict_stops_at_the_first_conflict_and_drops_a_broken_loop():
    text = "data_d\nloop_ _a.x 1 2\nloop_ _b.x _b.y 1\n_c.z 1\n"
    tables, errors = tessrin_core.parse_tables(text, mode="strict", types="text")
    assert [e["recovery_action"] for e in errors] == ["stopped"]
    assert {name: t.num_rows for name, t in tables.items()} == {"a": 2, "b": 0}


def test_strict_stop_keeps_the_value_that_caused_it_as_the_collector_does():
    text = "data_d\n_A 1\n_a 2\n_b 3\n"
    tables, errors = tessrin_core.parse_tables(text, mode="strict", types="text")
    assert errors[0]["recovery_action"] == "value kept in a row of its own"
    assert tables["_unknown"].column("_A").to_pylist() == ["1", "2"]
    assert tessrin_core.parse_raw(text, "strict")["blocks"][0]["tags"] == {"_a": ["1", "2"]}


def cell(value):
    """A parse_raw value as its table cell reads back."""
    return value if isinstance(value, str) else ("json", json.dumps(value))


def decoded(cell_text):
    if cell_text.startswith("\x00"):
        try:
            value = json.loads(cell_text[1:])
        except (ValueError, RecursionError):
            return ("json", cell_text)
        return value if isinstance(value, str) else ("json", json.dumps(value))  # str: led by NUL
    return cell_text


def raw_sequences(raw):
    """(block, frame) -> each tag's value sequence (frames of one name joined)."""
    joined = defaultdict(lambda: defaultdict(list))
    for block in raw["blocks"]:
        for name, frame in [(None, block), *((f["name"], f) for f in block["save_frames"])]:
            for tag, values in frame["tags"].items():
                joined[(block["name"], name)][tag].extend(map(cell, values))
    return {k: [tuple(v) for v in tags.values() if v] for k, tags in joined.items()}


def table_sequences(tables):
    """(block, frame) -> each column's non-null cells, in row order."""
    joined = defaultdict(lambda: defaultdict(list))
    for name, table in tables.items():
        assert len(set(table.column_names)) == table.num_columns
        data = table.to_pydict()
        origins = list(zip(data["block"], data["frame"]))
        for column in table.column_names[2:]:
            for origin, value in zip(origins, data[column]):
                if value is not None:
                    joined[origin][(name, column)].append(decoded(value))
    return {k: [tuple(v) for v in cols.values()] for k, cols in joined.items()}


def contains_run(column, values):
    n = len(values)
    return any(column[i : i + n] == values for i in range(len(column) - n + 1))


@pytest.mark.parametrize("path", corpus_files(large=False) + corpus_files(large=True))
def test_agrees_with_parse_raw(path):
    text, _ = read_as_user(path)
    tables, errors = tessrin_core.parse_tables(text, types="text")
    raw = tessrin_core.parse_raw(text)
    if errors != raw["errors"]:
        # Conflicts: the same diagnostics but for what each entry kept (parse_raw drops values
        # there), and those of names that only the tables put in one column.
        def kinds(errs, semantic):
            return Counter((e["error_type"], e["message"]) for e in errs
                           if (e["error_type"] == "semantic") == semantic)  # fmt: skip
        assert kinds(errors, False) == kinds(raw["errors"], False)
        assert not kinds(raw["errors"], True) - kinds(errors, True)
        return
    cells, values = table_sequences(tables), raw_sequences(raw)
    assert cells.keys() == values.keys()
    for origin, tags in values.items():
        columns = cells[origin]
        # Every value in exactly one cell: the same values, and each tag's in order in one
        # column (tags spelled two ways, `_a_x` and `_a.x`, may share one).
        assert Counter(v for seq in columns for v in seq) == Counter(v for seq in tags for v in seq)
        whole = Counter(columns)
        for seq in tags:
            if whole[seq]:
                whole[seq] -= 1
            else:
                assert any(contains_run(c, seq) for c in columns if len(c) > len(seq)), seq


UTF8_TEXT = "data_x\n_a.name 'caf\u00e9 \u4e2d'\nloop_ _c.id _c.v 1 2.5(3) 2 ?\n"


@pytest.mark.parametrize("wrap", [bytes, bytearray, lambda b: memoryview(b"##" + b + b"##")[2:-2]])
def test_bytes_are_parsed_as_their_utf8_text(wrap):
    # The archive conversion parses decompressed files as bytes, in place.
    tables, errors = tessrin_core._parse_tables_bytes(wrap(UTF8_TEXT.encode()))
    expected, expected_errors = tessrin_core.parse_tables(UTF8_TEXT)
    assert errors == expected_errors and tables.keys() == expected.keys()
    assert all(tables[name].equals(expected[name]) for name in tables)


@pytest.mark.parametrize(
    "data",
    [b"\xe9t", b"\xf0\x9fA", b"\xe2\x82", b"\xc2", b"\xed\xa0\x80", b"\xe0\x80", b"\xf4\x90",
     b"\xc0\xaf", b"\xf5\x80", b"\xff"],
)
def test_bytes_that_are_not_utf8_fail_as_decoding_would(data):
    source = b"data_x _a.b " + data
    with pytest.raises(UnicodeDecodeError) as decoding:
        source.decode("utf-8")
    with pytest.raises(UnicodeDecodeError) as parsing:
        tessrin_core._parse_tables_bytes(source)
    got, want = parsing.value, decoding.value
    assert (got.start, got.end, got.reason) == (want.start, want.end, want.reason)


CHEM_COMP = CORPUS / "mmcif-big" / "components-ccd-first-5430-blocks.cif"


@pytest.mark.skipif(not CHEM_COMP.is_file(), reason="corpus absent")
def test_chem_comp_has_one_row_per_block():
    tables, errors = tessrin_core.parse_tables_file(str(CHEM_COMP))
    blocks = sum(line.startswith("data_") for line in CHEM_COMP.open(encoding="utf-8"))
    assert tables["chem_comp"].num_rows == blocks == 5430
    assert tables["chem_comp"].column("block").to_pylist()[:1] == ["000"]
    assert not errors


HOSTILE = (
    "data_d\n_../../evil.x 1\n_a/b.x 2\n_a:b.x 3\n_a_b.x 4\n_.hidden.x 5\n_nul\x01ctl.x 6\n"
    "_" + "long" * 100 + ".x 7\n_diagnostics.x 8\n_Atom_Site.x 9\n_atom_site.y 10\n"
)


@pytest.mark.parametrize("fmt", ["parquet", "arrow"])
def test_convert_writes_one_safe_file_per_category(tmp_path, fmt):
    from test_cli import tessrin

    (tmp_path / "h.cif").write_text(HOSTILE, encoding="utf-8")
    result = tessrin("convert", "h.cif", "--to", fmt, "-o", "out", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    tables, _ = tessrin_core.parse_tables(HOSTILE)
    written = sorted(p.name for p in (tmp_path / "out").iterdir())
    assert all(p.parent == tmp_path / "out" for p in tmp_path.rglob(f"*.{fmt}"))
    assert len(written) == len(tables) + 1 and "diagnostics.jsonl" in written
    assert f"atom_site.{fmt}" in written and f"a_b.{fmt}" in written
    assert all(len(name) < 100 and name[0] not in "._-" for name in written)
    read = pa.ipc.open_file if fmt == "arrow" else None
    on_disk = []
    for name in written:
        if name.endswith(fmt):
            path = str(tmp_path / "out" / name)
            if read:
                on_disk.append(read(path).read_all())
            else:
                import pyarrow.parquet as pq

                on_disk.append(pq.read_table(path))
    for table in tables.values():
        assert any(t.equals(table) for t in on_disk)


def test_show_lists_categories_with_row_counts_and_first_rows(tmp_path):
    from test_cli import tessrin

    (tmp_path / "m.cif").write_text(MMCIF, encoding="utf-8")
    out = tessrin("show", "m.cif", "--rows", "1", cwd=tmp_path).stdout
    assert "cell: 2 rows, 2 columns" in out and "atom_site: 3 rows, 3 columns" in out
    assert "Cartn_x" in out and "2.0" in out
    assert '"."' not in out  # --rows 1: only the first row of atom_site
