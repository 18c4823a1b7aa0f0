"""Writing CIF: `dumps` and `dump` (the writing itself is native, `tessrin_core._dumps`)."""

from __future__ import annotations

import io
import operator
import os
import secrets

from tessrin_core import CifFile, _dumps

from tessrin._write_tables import is_table_dict, table_blocks
from tessrin.types import CifVersion

__all__ = ["dumps", "dump"]

_VERSIONS = {"1.1": "1.1", "2.0": "2.0", "CIF_1_1": "1.1", "CIF_2_0": "2.0"}


def _target(version, data_version: str) -> str:
    if version is None:
        return data_version
    if isinstance(version, CifVersion):
        return version.value
    if isinstance(version, str) and version in ("1.1", "2.0"):
        return version
    raise ValueError(f'version must be None, "1.1" or "2.0", not {version!r}')


def _blocks_and_version(obj) -> tuple[object, str]:
    """The blocks to write and the version the data came from."""
    if isinstance(obj, CifFile):
        return obj._block_list, obj.version.value
    if isinstance(obj, dict) and "blocks" in obj:
        version = _VERSIONS.get(obj.get("version"), "2.0")
        return obj["blocks"], version
    raise TypeError(
        "dumps() takes a parse_raw result dict, a CifFile or a parse_tables dict, not " + type(obj).__name__
    )


class NeedsCif2(ValueError):
    """A value or name that CIF 1.1 cannot hold and CIF 2.0 can; `reason` says which, naming
    block and tag."""

    def __init__(self, reason: str):
        super().__init__(f'{reason}; CIF 2.0 can hold it: version="2.0"')
        self.reason = reason


def _checked_width(width) -> int:
    try:
        width = operator.index(width)
    except TypeError:
        raise TypeError(f"dumps() width must be an int, not {type(width).__name__}") from None
    if width < 1:
        raise ValueError(f"dumps() width must be at least 1, not {width}")
    return width


def _write(blocks, preferred: str, asked, width: int) -> tuple[str, str]:
    """The text of `blocks` and the version it is written in: the version asked for, else
    `preferred`, or CIF 2.0 where CIF 1.1 cannot hold the data."""
    target = _target(asked, preferred)
    try:
        return _dumps(blocks, target, width), target
    except ValueError as error:
        if target != "1.1":
            raise
        # CIF 2.0 holds what CIF 1.1 cannot (non-ASCII text, lists, tables); a problem no
        # version escapes (a carriage return) raises as CIF 2.0 reports it.
        try:
            text = _dumps(blocks, "2.0", width)
        except ValueError:
            if asked is None:
                raise
            raise error from None
        if asked is None:
            return text, "2.0"
        raise NeedsCif2(str(error)) from None


def write_with_version(obj, *, version=None, width: int = 80) -> tuple[str, str]:
    """`dumps(obj, ...)` and the version written ("1.1" or "2.0")."""
    width = _checked_width(width)
    if is_table_dict(obj):
        blocks, needs_cif2 = table_blocks(obj)
        return _write(blocks, "2.0" if needs_cif2 else "1.1", version, width)
    blocks, data_version = _blocks_and_version(obj)
    return _write(blocks, data_version, version, width)


def dumps(obj, *, version=None, width: int = 80) -> str:
    """CIF text of `obj` (a `parse_raw` result, a `CifFile`, or a `parse_tables` dict).

    `version` is "1.1" or "2.0"; by default the version the data came from (for tables "1.1"),
    or CIF 2.0 where CIF 1.1 cannot hold the data (non-ASCII text, lists, tables). Every value
    is written in the lightest form that reads back unchanged; a value or name that the target
    version cannot hold raises ValueError (TypeError for a value that is not a str, list or
    dict), naming block and tag.
    """
    return write_with_version(obj, version=version, width=width)[0]


def dump(obj, file, *, version=None, width: int = 80) -> None:
    """Writes `dumps(obj, ...)` to a path or to a text or binary file object.

    A path is written through a temporary file beside it, renamed over the target only once
    complete: an error never leaves a half-written file there.
    """
    dump_with_version(obj, file, version=version, width=width)


def dump_with_version(obj, file, *, version=None, width: int = 80) -> str:
    """`dump(obj, file, ...)`; returns the version written."""
    text, written = write_with_version(obj, version=version, width=width)
    if hasattr(file, "write"):
        if isinstance(file, io.TextIOBase):
            file.write(text)
        else:
            file.write(text.encode("utf-8"))
        return written
    _write_atomically(os.fspath(file), text.encode("utf-8"))
    return written


def _write_atomically(path, data: bytes) -> None:
    folder, name = os.path.split(path)
    suffix = secrets.token_hex(4)
    if isinstance(name, bytes):
        temp = os.path.join(folder, b"." + name + b"." + suffix.encode() + b".tmp")
    else:
        temp = os.path.join(folder, f".{name}.{suffix}.tmp")
    try:
        # os.open applies the umask as a plain open would (tempfile would make it 0600).
        fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    except OSError as error:
        raise _at_path(error, path) from None
    try:
        with os.fdopen(fd, "wb") as out:
            out.write(data)
        os.replace(temp, path)
    except BaseException as error:
        try:
            os.unlink(temp)
        except OSError:
            pass
        if isinstance(error, OSError):
            raise _at_path(error, path) from None
        raise


def _at_path(error: OSError, path) -> OSError:
    """The error as one about `path`: the temporary file beside it is not the caller's."""
    if error.errno is None:
        return error
    return OSError(error.errno, error.strerror, path)  # the subclass the errno maps to

