"""Fuzz findings, kept: every input saved in fuzz/regressions/ goes through every Python entry
function in both modes, with the checks the fuzz targets make on the native side."""

from collections import Counter
from pathlib import Path

import pytest

from conftest import Recorder, tessrin_core
from test_arrow import check_against_raw

REGRESSIONS = Path(__file__).resolve().parents[1] / "fuzz" / "regressions"
# The magic lines that bits 1-2 of a saved input's flag byte stand for (fuzz/README.md).
PREFIXES = ("", "#\\#CIF_2.0\n", "#\\#CIF_1.1\n", "\ufeff#\\#CIF_2.0\r\n")
KINDS = {"lexical", "syntactic", "semantic"}


def fuzz_source(data):
    """The text a saved CIF-target input stands for, decoded as a user would read a file."""
    return PREFIXES[(data[0] >> 1) & 3] + data[1:].decode("utf-8", "replace") if data else ""


def lines_of(source):
    """The lines of `source`, line ends normalised the way the parser does."""
    return source.replace("\r\n", "\n").replace("\r", "\n").split("\n")


def check_everywhere(source, tmp_path):
    """Every entry function in both modes: no exception, one set of diagnostics, each with a
    known kind and a position inside the source."""
    lines = lines_of(source)
    recorder = Recorder()
    tessrin_core.parse(source, recorder)
    handler_errors = [call[1] for call in recorder.calls if call[0] == "on_error"]
    path = tmp_path / "input.cif"
    path.write_text(source, encoding="utf-8", newline="")
    for mode in (None, "strict"):
        raw = tessrin_core.parse_raw(source, mode)
        _, cif_errors = tessrin_core.parse_cif(source, mode)
        assert cif_errors == raw["errors"]
        batches, errors = tessrin_core.parse_arrow(source, mode)
        check_against_raw(source, mode)
        file_batches, file_errors = tessrin_core.parse_arrow_file(str(path), mode)
        assert file_errors == errors
        assert [b.to_pydict() for b in file_batches] == [b.to_pydict() for b in batches]
        for error in raw["errors"]:
            assert error["error_type"] in KINDS
            assert 1 <= error["line"] <= len(lines)
            assert 1 <= error["column"] <= len(lines[error["line"] - 1]) + 1
        if mode is None:
            non_semantic = [e for e in raw["errors"] if e["error_type"] != "semantic"]
            assert [tuple(e.values()) for e in non_semantic] == handler_errors
            # The tables keep every cell the batches have (and may split rows, never drop).
            tables, _ = tessrin_core.parse_tables(source, mode, types="text")
            assert not Counter(cells(batches, 5)) - Counter(
                cell for table in tables.values() for cell in cells(table.to_batches(), 2)
            )


def cells(batches, leading):
    """Every non-null value cell of some record batches, past their `leading` columns."""
    for batch in batches:
        for column in batch.columns[leading:]:
            yield from (cell for cell in column.to_pylist() if cell is not None)


@pytest.mark.parametrize("path", sorted((REGRESSIONS / "cif").glob("*")), ids=lambda p: p.name)
def test_saved_fuzz_input(path, tmp_path):
    check_everywhere(fuzz_source(path.read_bytes()), tmp_path)


@pytest.mark.parametrize(
    "path", sorted((REGRESSIONS / "textfield").glob("*")), ids=lambda p: p.name
)
def test_saved_text_field(path, tmp_path):
    content = path.read_bytes().decode("utf-8", "replace").replace("\r", "")
    if "\n;" in content:
        pytest.skip("content holding its own closing delimiter is not one text field")
    check_everywhere(f"data_x _t\n;{content}\n;\n", tmp_path)


def test_empty_string_beside_a_container_in_one_column():
    # Fuzz finding: the empty value was copied from a column that had no text buffer yet.
    batches, errors = tessrin_core.parse_arrow("#\\#CIF_2.0\ndata_x\nloop_ _s '' ['a']\n")
    assert batches[0].column("_s").to_pylist() == ["", '\x00["a"]']
    assert errors == []
