"""Gzipped files: recognised by their first bytes wherever a file is read, inflated by one
inflater (ISA-L where installed, else the standard library)."""

import gzip
import zlib

import pytest

import tessrin
from tessrin import _inflate

TEXT = "#\\#CIF_2.0\ndata_g\nloop_ _g.x _g.y 1.5(2) caf\u00e9 2.5 b stray\n"
PACKED = gzip.compress(TEXT.encode())
ENTRIES = {
    "parse_tables_file": lambda path: tessrin.parse_tables_file(path, types="text"),
    "parse_arrow_file": tessrin.parse_arrow_file,
    "conformance_file": tessrin.conformance_file,
}


@pytest.fixture(params=["isal", "standard library"])
def inflater(request, monkeypatch):
    # Both must read the same text and refuse the same broken files.
    if request.param == "standard library":
        monkeypatch.setattr(_inflate, "_gzip", gzip)
        monkeypatch.setattr(_inflate, "_inflate_error", zlib.error)
    else:
        pytest.importorskip("isal")


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize(
    ("name", "data"),
    [
        ("g.cif.gz", PACKED),
        ("g.cif", PACKED),  # by its bytes, not its name
        ("g.mmcif.gz", PACKED[: len(PACKED) // 2] + PACKED),  # two members, the first cut
        ("g.cif.gz", PACKED + PACKED),
        ("g.cif.gz", PACKED[:-12]),  # the trailer cut short
        ("g.cif.gz", PACKED[:10] + b"\xff" * 40),  # not deflate data
        ("g.cif.gz", TEXT.encode()),  # named .gz, but plain text
    ],
)
def test_file_entries_read_the_text_a_gzip_file_holds(tmp_path, inflater, entry, name, data):
    path = tmp_path / name
    path.write_bytes(data)
    try:
        expected = gzip.decompress(data) if data[:2] == b"\x1f\x8b" else data
    except (EOFError, OSError, zlib.error):
        expected = None
    read = ENTRIES[entry]
    if expected is None:
        # A clear error naming the file, never garbage diagnostics.
        with pytest.raises(OSError, match="truncated or corrupt gzip data") as caught:
            read(path)
        assert caught.value.filename == str(path)
        return
    plain = tmp_path / "plain.cif"
    plain.write_bytes(expected)
    assert read(path) == read(plain)


def test_text_that_is_not_utf8_names_the_gzip_file(tmp_path):
    path = tmp_path / "x.cif.gz"
    path.write_bytes(gzip.compress(b"data_x\n_a caf\xe9\n"))
    with pytest.raises(OSError, match=r"valid UTF-8 \(byte 0xE9 at line 2, column 7\)") as caught:
        tessrin.parse_tables_file(path)
    assert caught.value.filename == str(path)
    assert tessrin.conformance_file(path)[-1]["rule"] == "encoding"


@pytest.mark.parametrize("kept", [None, 1, 3 << 20])  # the buffer kept from a last file
@pytest.mark.parametrize("members", [1, 3])  # the trailer's size hint is the last member's
def test_gunzip_gives_every_member_whatever_buffer_it_reuses(tmp_path, monkeypatch, kept, members):
    from tessrin import _memory

    monkeypatch.setattr(_memory, "_idle", [])
    if kept is not None:
        tessrin.release_memory()  # room in the kept budget
        _memory.keep_buffer(bytearray(b"x" * kept))  # stale bytes past the new text
        assert _memory._idle
    pieces = [b"%d " % i * (40_000 + 70_000 * m) for m, i in enumerate(range(members))]
    (tmp_path / "f.gz").write_bytes(b"".join(gzip.compress(p) for p in pieces))
    buffer, size = _inflate.gunzip(str(tmp_path / "f.gz"))
    assert bytes(buffer[:size]) == b"".join(pieces)
