"""Every file of the shared corpus through every entry function, decoded as a user would: the
entry functions agree on each file, events keep their order, diagnostics point into the file,
and files that no tool complains about give no diagnostic at all."""

import pytest

from conftest import (
    CORPUS,
    Recorder,
    check_order,
    check_positions,
    entries_agree,
    tessrin_core,
)

LARGE = 5_000_000  # bytes; larger files go through one entry only, to keep the suite fast
RECORDED = 1_000_000  # bytes; the events of larger files are not recorded, only consumed

# Folders of files that their writers and other parsers read without complaint. A diagnostic
# here is a fault of ours until shown otherwise.
CLEAN = (
    "cif1-real/ciftools-java-non-mmcif/",
    "cif1-real/debian-misc/",
    "cif1-real/pymatgen-tests/",
    "cif1-real/qcrbox-examples/",
    "cif1-real/qcrboxtools-tests/",
    "cif2-syntax/cod-tools-codcif/",
    "cif2-syntax/cod-tools-yapp-parser/",
    "cif2-syntax/comcifs-DDLm/",
    "cif2-syntax/comcifs-MultiBlock_Dictionary/",
    "cif2-syntax/comcifs-Powder_Dictionary/",
    "cif2-syntax/comcifs-cif_core/",
    "cif2-syntax/comcifs-instrument-geometry-info/",
    "cif2-syntax/comcifs-misc/",
    "cif2-syntax/comcifs-spinCIF-examples/",
    "cif2-syntax/pycifrw-tests/",
    "mmcif-big/",
)
# The files of those folders that break a rule all the same, with what they get for it.
KNOWN = {
    # two data blocks named "mtz", as gemmi writes structure factors of several data sets
    "mmcif-big/medium/onedep-sf-examples/6s0v-small6-gemmi.cif": [
        ("semantic", 'duplicate data block name: "mtz"')
    ],
}


def check_clean(path, errors):
    relative = str(path.relative_to(CORPUS))
    if relative.startswith(CLEAN):
        assert [(e["error_type"], e["message"]) for e in errors] == KNOWN.get(relative, [])


def corpus_files(large):
    if not CORPUS.is_dir():
        return [pytest.param(None, marks=pytest.mark.skip(reason="corpus absent"))]
    notes = {CORPUS / "README.md", CORPUS / "MANIFEST.tsv"}
    paths = sorted(p for p in CORPUS.rglob("*") if p.is_file() and p not in notes)
    return [
        pytest.param(path, id=str(path.relative_to(CORPUS)))
        for path in paths
        if (path.stat().st_size > LARGE) == large
    ]


def read_as_user(path):
    """The file's text as a str entry gets it, and whether the file is UTF-8."""
    data = path.read_bytes()
    try:
        return data.decode("utf-8"), True
    except UnicodeDecodeError:
        return data.decode("utf-8", errors="replace"), False


class Consumer:
    """A handler that takes every call and keeps nothing."""

    def __getattr__(self, name):
        return lambda *args: None


@pytest.mark.parametrize("path", corpus_files(large=False))
def test_file_through_every_entry(path):
    text, is_utf8 = read_as_user(path)
    calls = None
    if len(text) <= RECORDED:
        recorder = Recorder()
        version = tessrin_core.parse(text, recorder)
        check_order(calls := recorder.calls)
    else:
        version = tessrin_core.parse(text, Consumer())
    raw, batches = entries_agree(text, calls=calls)
    assert version.name == raw["version"]
    check_positions(text, raw["errors"])
    if any(e["error_type"] == "semantic" for e in raw["errors"]):
        entries_agree(text, "strict")
    if is_utf8:
        # The file entry reads the bytes itself and must see exactly what the str entries saw.
        file_batches, file_errors = tessrin_core.parse_arrow_file(str(path))
        assert file_errors == raw["errors"]
        assert len(file_batches) == len(batches)
        assert all(a.equals(b) and a.schema.equals(b.schema)
                   for a, b in zip(file_batches, batches))  # fmt: skip
    else:
        with pytest.raises(OSError, match="stream did not contain valid UTF-8"):
            tessrin_core.parse_arrow_file(str(path))
    check_clean(path, raw["errors"])


@pytest.mark.parametrize("path", corpus_files(large=True))
def test_large_file(path):
    text, _ = read_as_user(path)
    raw = tessrin_core.parse_raw(text)
    check_positions(text, raw["errors"])
    assert raw["blocks"]
    check_clean(path, raw["errors"])
