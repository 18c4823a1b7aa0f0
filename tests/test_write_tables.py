"""Writing category tables back: what `dumps` writes from `parse_tables` tables, `parse_tables`
reads back as the same tables (text and typed), and `convert --to cif` does the same from the
Parquet tables `convert --to parquet` wrote."""

import json
import math

import pyarrow as pa
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from tessrin_core import _number_cells

import tessrin
from conftest import CORPUS

# A sample of the corpus: structure files, a large mmCIF, CIF 2.0 and Unicode files.
SAMPLE_DIRS = [
    "cif1-real/gemmi-tests", "cif1-real/pycifrw-tests", "cif1-real/finalcif-tests",
    "cif1-real/diffpy-structure-tests", "cif2-syntax/comcifs-cif_core",
    "cif2-syntax/pycifrw-tests", "cif2-syntax/pycifrw-unicode-tests", "mmcif-big/small",
]  # fmt: skip


def sample_params():
    if not CORPUS.is_dir():
        return [pytest.param(None, marks=pytest.mark.skip(reason="corpus absent"))]
    paths = sorted(p for d in SAMPLE_DIRS for p in (CORPUS / d).rglob("*") if p.is_file())
    return [pytest.param(p, id=str(p.relative_to(CORPUS))) for p in paths]


def rules(table):
    """The type and uncertainty companion of each column (not why it got them)."""
    found = json.loads((table.schema.metadata or {}).get(b"tessrin.types", b"{}"))
    return {column: (rule.get("type"), rule.get("su")) for column, rule in found.items()}


def assert_same_tables(original, back, skip=()):
    assert sorted(back) == sorted(original)
    for name, table in original.items():
        if name in skip:
            continue
        assert back[name].schema.names == table.schema.names, name
        assert rules(back[name]) == rules(table), name
        for column in table.column_names:
            assert back[name].column(column).to_pylist() == table.column(column).to_pylist(), (
                name,
                column,
            )


@pytest.mark.parametrize("path", sample_params())
@pytest.mark.parametrize("types", ["text", "infer"])
def test_corpus_tables_round_trip(path, types):
    text = path.read_bytes().decode("utf-8", errors="replace")
    tables, _ = tessrin.parse_tables(text, types=types)
    back, _ = tessrin.parse_tables(tessrin.dumps(tables), types=types)
    # `_unknown` gathers tags no rule places from unrelated loops and items of a frame; which
    # of its rows stood together is not kept, so it is compared by its values only.
    assert_same_tables(tables, back, skip={"_unknown"})
    if "_unknown" in tables:
        for column in tables["_unknown"].column_names[2:]:
            kept = [v for v in tables["_unknown"].column(column).to_pylist() if v is not None]
            assert [v for v in back["_unknown"].column(column).to_pylist()
                    if v not in (None, "?")] == [v for v in kept if v != "?"]  # fmt: skip


# Values on the edges of the number forms and placeholders, each in a loop column of its own
# (with a second row) and as a plain item of its own.
EDGE_VALUES = [
    "1.234(5)", "-0.0015", "1e-30(2)", "-2.5E+20(13)", "1200(300)", "0.00(2)", "-0.0", "?",
    ".", "'.'", '"?"', "12", "-7", "9223372036854775807", "1.5e300", "4.9e-324", "0.1(10)",
    "123456789012345678(9)", "3", "1e16", "-1e-5", "'quoted text'", "'1.5'", "x1",
]  # fmt: skip


@pytest.mark.parametrize("types", ["text", "infer"])
def test_edge_values(types):
    loop = "".join(f"_edge.v{i}\n" for i in range(len(EDGE_VALUES)))
    rows = " ".join(EDGE_VALUES) + "\n" + " ".join(["2.5(1)"] * len(EDGE_VALUES))
    items = "".join(f"_plain.v{i} {v}\n" for i, v in enumerate(EDGE_VALUES))
    text = f"data_a\nloop_\n{loop}{rows}\n{items}save_f\n_plain.v0 1\nsave_\ndata_b\n_edge.v3 ?\n"
    tables, errors = tessrin.parse_tables(text, types=types)
    assert errors == []
    written = tessrin.dumps(tables)
    assert written.startswith("#\\#CIF_1.1\n")
    back, errors = tessrin.parse_tables(written, types=types)
    assert errors == []
    assert_same_tables(tables, back)


def test_containers_and_unicode_need_cif2():
    text = "#\\#CIF_2.0\ndata_a\n_c.list [1 'a b' {'k':v}]\n_c.word café\nloop_ _d.x [] ['']\n"
    tables, _ = tessrin.parse_tables(text)
    written = tessrin.dumps(tables)
    assert written.startswith("#\\#CIF_2.0\n")
    assert_same_tables(tables, tessrin.parse_tables(written)[0])
    with pytest.raises(ValueError, match="list"):
        tessrin.dumps(tables, version="1.1")


@pytest.mark.parametrize(
    "values, su, message",
    [
        ([math.nan], None, "NaN"),
        ([math.inf], None, "NaN"),
        ([None], [0.1], "uncertainty without a value"),
        ([1.0], [-0.1], "no CIF number"),
        ([1e-300], [1.0], "no CIF number"),
    ],
)
def test_unwritable_numbers(values, su, message):
    columns = {"block": pa.array(["b"] * len(values)), "frame": pa.array([None], pa.string()),
               "x": pa.array(values, pa.float64())}  # fmt: skip
    metadata = None
    if su is not None:
        columns["x_su"] = pa.array(su, pa.float64())
        metadata = {"tessrin.types": json.dumps({"x": {"type": "float64", "su": "x_su"}})}
    table = pa.table(columns, metadata=metadata)
    with pytest.raises(ValueError, match=message) as caught:
        tessrin.dumps({"cat": table})
    assert "'cat'" in str(caught.value) and "'x'" in str(caught.value)


def test_number_cells_own_the_columns_they_read():
    """_number_cells takes each column out of its capsule: a capsule some consumer already took
    is refused, and the caller's code run during the call (the uncertainties' producer here)
    can no longer take the values' capsule and free the buffers being read."""
    n = 10000
    su = pa.array([0.25] * n)

    class Values:
        def __init__(self, taken):
            self.taken = taken

        def __arrow_c_array__(self, requested_schema=None):
            # A column no one else holds: whoever takes the capsule frees its buffers.
            self.capsules = pa.array([i + 0.5 for i in range(n)]).__arrow_c_array__()
            if self.taken:  # the array only: a taken schema is refused by nanoarrow itself
                schema = pa.array([0.0]).__arrow_c_array__()[0]
                pa.Array._import_from_c_capsule(schema, self.capsules[1])
            return self.capsules

    class Su:
        def __arrow_c_array__(self, requested_schema=None):
            try:
                pa.Array._import_from_c_capsule(*values.capsules)
            except pa.ArrowInvalid:  # already taken by _number_cells
                pass
            return su.__arrow_c_array__()

    with pytest.raises(ValueError, match="released"):
        _number_cells(Values(taken=True))
    values = Values(taken=False)
    assert _number_cells(values, Su()) == _number_cells(pa.array([i + 0.5 for i in range(n)]), su)


def parquet_and_back(tmp_path, source, written="ds.cif"):
    """`convert --to parquet` of `source` into tmp/ds, then `convert --to cif` of that; the
    tables of the CIF written (`written`, in tmp/back) and their diagnostics."""
    from tessrin.cli import main

    assert main(["convert", "--to", "parquet", "-j", "1", "-o", str(tmp_path / "ds"),
                 str(source)]) == 0  # fmt: skip
    assert main(["convert", "--to", "cif", "-o", str(tmp_path / "back"),
                 str(tmp_path / "ds")]) == 0  # fmt: skip
    return tessrin.parse_tables((tmp_path / "back" / written).read_text())


def test_convert_parquet_back_to_cif(tmp_path):
    source = tmp_path / "s.cif"
    source.write_text(
        "data_one\n_cell.length_a 5.4(2)\nloop_ _atom_site.label _atom_site.x\n"
        "C1 0.1(2) O' -1e-3 N1 ?\nsave_f\n_cell.length_a 2\nsave_\n"
        "data_two\n_cell.length_a 7.25\n_cell_measurement_temperature 293(2)\n"
    )
    back, errors = parquet_and_back(tmp_path, source)
    assert errors == []
    assert_same_tables(tessrin.parse_tables(source.read_text())[0], back)


def test_convert_archive_dataset_back_to_cif(tmp_path):
    """The archive layout (OUT/<category>/part-*.parquet, a `file` column, manifest and
    diagnostics beside) gives back every row of every category, one CIF per input, under
    its own name where the dataset's is hashed."""
    inputs = tmp_path / "in"
    inputs.mkdir()
    (inputs / "a.cif").write_text("data_a\n_cell.length_a 5.4(2)\nloop_ _atom.id 1 2\n_a-b.x 3\n")
    (inputs / "b.cif").write_text("data_b\n_cell.length_a 7\n_cell.volume 300.5\n")
    back, errors = parquet_and_back(tmp_path, inputs, "a.cif")
    assert errors == []
    assert back["cell"].column("block").to_pylist() == ["a"]
    assert back["atom"].column("id").to_pylist() == [1, 2]
    assert back["a-b"].column("x").to_pylist() == [3]
    back, errors = tessrin.parse_tables((tmp_path / "back" / "b.cif").read_text())
    assert errors == [] and list(back) == ["cell"]
    assert back["cell"].column("volume").to_pylist() == [300.5]


# --- the rules of the layout, one table each -----------------------------------------------


def table(blocks, frames=None, metadata=None, **columns):
    """A category table as parse_tables makes it: `block`, `frame`, then `columns` (lists,
    or arrays for a type of their own)."""
    frames = frames or [None] * len(blocks)
    data = {"block": pa.array(blocks, pa.string()), "frame": pa.array(frames, pa.string())}
    data.update((name, v if isinstance(v, pa.Array) else pa.array(v)) for name, v in columns.items())
    return pa.table(data, metadata=metadata)


def layout(tables, **kwargs):
    """What the written text holds per block and save frame: its loops and every tag's values
    (a tag outside the loops is a plain item)."""
    out = {}
    for block in tessrin.parse_raw(tessrin.dumps(tables, **kwargs))["blocks"]:
        for name, frame in [(block["name"], block), *((f"{block['name']}/{f['name']}", f)
                                                       for f in block["save_frames"])]:
            out[name] = (frame["loops"], frame["tags"])
    return out


SU_RULE = {"tessrin.types": json.dumps({"v": {"type": "float64", "su": "v_su"}})}

# (what the rule says, tables, {block or block/frame: (loops, tags)})
LAYOUTS = [
    ("a single row, its category's last there, is plain items; more rows are a loop",
     {"c": table(["a", "b", "b"], x=["1", "2", "3"])},
     {"a": ([], {"_c.x": ["1"]}), "b": ([["_c.x"]], {"_c.x": ["2", "3"]})}),
    ("a single row repeating items of the one before gives them again (a row of its own)",
     {"c": table(["a"] * 2, x=["1", "3"], y=["2", None])},
     {"a": ([], {"_c.x": ["1", "3"], "_c.y": ["2"]})}),
    ("text nulls cut stretches and a column without values in one is left out of it",
     {"c": table(["a"] * 3, x=["1", "2", None], y=[None, None, "3"])},
     {"a": ([["_c.x"]], {"_c.x": ["1", "2"], "_c.y": ["3"]})}),
    ("a typed null in a loop row is ?, a typed column without values in a stretch is left out",
     {"c": table(["a", "a", "b", "b"], x=["1", "2", "3", "4"], z=[1.5, None, None, None])},
     {"a": ([["_c.x", "_c.z"]], {"_c.x": ["1", "2"], "_c.z": ["1.5", "?"]}),
      "b": ([["_c.x"]], {"_c.x": ["3", "4"]})}),
    ("numbers: int64 as integers, float64 as repr writes them, other widths alike",
     {"c": table(["a"] * 4, i=pa.array([1, -2, 0, 2**63 - 1]), f=[0.0001, 1e16, 3.0, -0.0],
                 s=pa.array([1, 2, 3, 4], pa.int16()), h=pa.array([0.5, 1, 2, 3], pa.float32()))},
     {"a": ([["_c.i", "_c.f", "_c.s", "_c.h"]],
            {"_c.i": ["1", "-2", "0", "9223372036854775807"],
             "_c.f": ["0.0001", "1e+16", "3.0", "-0.0"], "_c.s": ["1", "2", "3", "4"],
             "_c.h": ["0.5", "1.0", "2.0", "3.0"]})}),
    ("a derived uncertainty folds into its value; a file's own _su column is an item",
     {"c": table(["a", "a"], metadata=SU_RULE, v=[1.5, 1200.0], v_su=[0.2, None],
                 w_su=[0.1, 0.3])},
     {"a": ([["_c.v", "_c.w_su"]], {"_c.v": ["1.5(2)", "1200.0"], "_c.w_su": ["0.1", "0.3"]})}),
    (("names already tags keep them (a loop of one row where only a loop places them in the "
      "table); blocks in order of first appearance, save frames after their block's items"),
     {"_unknown": table(["b", "a"], _my=["1", "2"]),
      "a": table(["a", "a"], frames=["f", None], **{"_a.block": ["3", "4"]})},
     {"b": ([], {"_my": ["1"]}), "a": ([["_a.block"]], {"_my": ["2"], "_a.block": ["4"]}),
      "a/f": ([["_a.block"]], {"_a.block": ["3"]})}),
    ("block and frame of any text type: a pandas category reads back as a dictionary",
     {"c": pa.table({"block": pa.array(["a", "a"]).dictionary_encode(),
                     "frame": pa.array(["f", None], pa.large_string()), "x": ["1", "2"]})},
     {"a": ([], {"_c.x": ["2"]}), "a/f": ([], {"_c.x": ["1"]})}),
]  # fmt: skip


@pytest.mark.parametrize("tables, expected", [c[1:] for c in LAYOUTS],
                         ids=[c[0] for c in LAYOUTS])
def test_layout(tables, expected):
    assert layout(tables) == expected
    assert list(layout(tables)) == list(expected)  # the blocks' order too


@settings(max_examples=400, deadline=None)
@given(st.lists(st.none() | st.floats(allow_nan=False, allow_infinity=False), min_size=1))
def test_reals_are_written_in_repr_form(values):
    """The text, not only the value: `1e-04` would read back as 0.0001 all the same."""
    cells = _number_cells(pa.array(values, pa.float64()))
    assert cells == ["?" if v is None else repr(v) for v in values]


@settings(max_examples=200, deadline=None)
@given(st.lists(st.integers(-(2**63), 2**63 - 1), min_size=1))
def test_integers_are_written_in_decimal(values):
    assert _number_cells(pa.array(values, pa.int64())) == [str(v) for v in values]


SU_PAIRS = [
    (1.234, 0.005, "1.234(5)"), (1.5e-10, 2e-12, "1.50e-10(2)"), (1200.0, 300.0, "1200(300)"),
    (0.0, 0.02, "0.00(2)"), (-0.5, 1.2, "-0.5(12)"), (5.431, 0.0012, "5.4310(12)"),
    (1.5, 0.0, "1.5(0)"), (-2.5e20, 1.3e19, "-2.50e20(13)"), (12.0, 3.0, "12(3)"),
]  # fmt: skip


@pytest.mark.parametrize("value, su, text", SU_PAIRS)
def test_uncertainty_pairs(value, su, text):
    assert _number_cells(pa.array([value]), pa.array([su])) == [text]


@settings(max_examples=300, deadline=None)
@given(mantissa=st.integers(-(10**12), 10**12), scale=st.integers(-40, 20),
       digits=st.integers(0, 99))
def test_uncertainty_pairs_read_back_exactly(mantissa, scale, digits):
    """Any pair a file gives (value and uncertainty to the same last digit)."""
    value, su = float(f"{mantissa}e{scale}"), float(f"{digits}e{scale}")
    (text,) = _number_cells(pa.array([value]), pa.array([su]))
    back = tessrin.parse_tables(f"data_x\n_t.v {text}\n")[0]["t"]
    assert (back.column("v")[0].as_py(), back.column("v_su")[0].as_py()) == (value, su), text


# (tables, error, message): what the writer refuses rather than write it wrongly
REFUSED = [
    ({"c": table(["a"], x=[math.nan])}, ValueError, "table 'c', column 'x': .*NaN"),
    ({"c": table(["a"], x=[-math.inf])}, ValueError, "column 'x'"),
    ({"c": table(["a"], metadata=SU_RULE, v=pa.array([None], pa.float64()), v_su=[0.1])},
     ValueError, "without a value"),
    ({"c": table(["a"], metadata=SU_RULE, v=[1.0], v_su=[-0.1])}, ValueError, "no CIF number"),
    ({"c": table(["a"], x=["caf\u00e9"])}, ValueError, "1.1"),
    ({"c": table(["a"], x=["\x00[\"1\"]"])}, ValueError, "list"),
    ({"c": pa.table({"block": ["a"], "x": ["1"]})}, ValueError, "no 'frame' column"),
    ({"c": table([None], x=["1"])}, ValueError, "table 'c': a row has no block"),
    ({"c": pa.table({"block": [1], "frame": ["f"]})}, TypeError, "'block' must hold str"),
    ({"c": pa.table({"block": ["a"], "frame": [None], "v": [None], "v_su": [0.5]},
                    metadata=SU_RULE)}, ValueError, "without a value"),
    ({1: table(["a"], x=["1"])}, TypeError, "category name must be str"),
]  # fmt: skip


@pytest.mark.parametrize("tables, error, message", REFUSED)
def test_refused(tables, error, message):
    with pytest.raises(error, match=message):
        tessrin.dumps(tables, version="1.1")


def test_a_frame_column_without_frames_may_be_of_null_type():
    tables = {"c": pa.table({"block": ["a", "a"], "frame": [None, None], "x": ["1", "2"]})}
    assert layout(tables) == {"a": ([["_c.x"]], {"_c.x": ["1", "2"]})}


def test_version_follows_what_the_values_need():
    assert tessrin.dumps({"c": table(["a"], x=["1"])}).startswith("#\\#CIF_1.1\n")
    for value in ["caf\u00e9", "\x00[\"1\"]"]:
        written = tessrin.dumps({"c": table(["a"], x=[value])})
        assert written.startswith("#\\#CIF_2.0\n")
        assert tessrin.parse_tables(written)[0]["c"].column("x").to_pylist() == [value]
