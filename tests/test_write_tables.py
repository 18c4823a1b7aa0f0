"""Writing category tables back: what `dumps` writes from `parse_tables` tables, `parse_tables`
reads back as the same tables (text and typed), and `convert --to cif` does the same from the
Parquet tables `convert --to parquet` wrote."""

import json
import math

import pyarrow as pa
import pytest
from conftest import CORPUS

import tessrin

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
    from tessrin_core import _number_cells

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
    diagnostics beside) gives back every row of every category, one CIF per input."""
    inputs = tmp_path / "in"
    inputs.mkdir()
    (inputs / "a.cif").write_text("data_a\n_cell.length_a 5.4(2)\nloop_ _atom.id 1 2\n")
    (inputs / "b.cif").write_text("data_b\n_cell.length_a 7\n_cell.volume 300.5\n")
    back, errors = parquet_and_back(tmp_path, inputs, "a.cif")
    assert errors == []
    assert back["cell"].column("block").to_pylist() == ["a"]
    assert back["atom"].column("id").to_pylist() == [1, 2]
    back, errors = tessrin.parse_tables((tmp_path / "back" / "b.cif").read_text())
    assert errors == [] and list(back) == ["cell"]
    assert back["cell"].column("volume").to_pylist() == [300.5]
