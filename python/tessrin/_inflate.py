"""Gzipped CIF (`.cif.gz` as the PDB distributes it), recognised by its first two bytes wherever
a file is read, and inflated into a buffer kept for the next file. The native file readers
(parse_tables_file, parse_arrow_file, conformance_file) call `gunzip` here too, so there is one
inflater."""

from __future__ import annotations

import os
import zlib

from tessrin._memory import keep_buffer, take_buffer

try:
    # Intel's ISA-L inflates mmCIF about 1.8 times as fast as zlib (the same gzip format);
    # where no wheel of it exists, the standard library does the same work.
    from isal import igzip as _gzip
    from isal.isal_zlib import error as _inflate_error
except ImportError:  # pragma: no cover - only where isal is not installed
    import gzip as _gzip
    from zlib import error as _inflate_error

GZIP_MAGIC = b"\x1f\x8b"


class GzipError(OSError):
    """A gzip file that cannot be inflated (cut short, corrupt): `filename` names it and
    `strerror` says why."""

    def __str__(self) -> str:
        return f"{self.filename}: {self.strerror}"


def is_gzip(path) -> bool:
    """Whether the file starts as gzip does; raises OSError for a file that cannot be read.
    Without a file object: this runs once per file of an archive, before it is parsed."""
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
    try:
        return os.read(fd, 2) == GZIP_MAGIC
    finally:
        os.close(fd)


# A decompression buffer is kept for the next file (tessrin._memory) up to this size; a larger
# one (a single huge file) is freed when the file is done.
KEEP_BUFFER = 256 << 20
MAX_INFLATION = 1032  # deflate's largest ratio of output to input


def gunzip(path) -> tuple[bytearray, int]:
    """The decompressed bytes of a gzip file: (buffer, size), in a buffer taken from those the
    process keeps (tessrin._memory): hand it to `give_back` once nothing views it any more, so
    the next file, in any thread, reuses it. A fresh bytes object for every file had the kernel
    map and clear as many pages as the text has, twice per file (bytes, then str): that cost
    more CPU than inflating it. Raises GzipError for data that does not inflate and OSError
    for a file the system refuses."""
    buffer = take_buffer()  # a failure keeps nothing of it
    try:
        with open(path, "rb") as raw:
            # The gzip trailer gives the size (of the last member, modulo 4 GiB): a hint only,
            # and never above what deflate can expand the file to, whatever the trailer says.
            end = raw.seek(0, os.SEEK_END)
            if end >= 4:
                raw.seek(end - 4)
                hint = min(int.from_bytes(raw.read(4), "little"), end * MAX_INFLATION) + 1
                if hint > len(buffer):
                    buffer = bytearray(hint)
                raw.seek(0)
            reader = _gzip_reader(raw)
            size = 0
            while True:
                if size == len(buffer):
                    buffer.extend(bytes(max(len(buffer), 1 << 20)))
                with memoryview(buffer) as view, view[size:] as free:
                    got = reader.readinto(free)
                if not got:
                    break
                size += got
    except OSError as error:
        if isinstance(error, _gzip.BadGzipFile) or error.errno is None:
            raise _corrupt(path, error) from None
        raise
    except (EOFError, zlib.error, _inflate_error) as error:
        raise _corrupt(path, error) from None
    return buffer, size


def give_back(buffer: bytearray) -> None:
    """Keeps a buffer `gunzip` gave for the next file, within the kept budget and KEEP_BUFFER.
    Only once nothing views it: the next user may resize it."""
    if len(buffer) <= KEEP_BUFFER:
        keep_buffer(buffer)


def _corrupt(path, error: Exception) -> GzipError:
    return GzipError(None, f"truncated or corrupt gzip data: {error}", os.fsdecode(path))


def _gzip_reader(raw):
    """A reader of the gzip members in `raw` whose readinto inflates straight into the buffer
    it is given (ISA-L's does; the standard library's GzipFile reads and then copies)."""
    reader = getattr(_gzip, "_IGzipReader", None)
    return reader(raw) if reader is not None else _gzip.GzipFile(fileobj=raw)
