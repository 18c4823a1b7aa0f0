"""Writing CIF: `dumps` and `dump` (the writing itself is native, `tessrin_core._dumps`)."""

from __future__ import annotations

import collections
import io
import operator
import os
import re
import secrets

from tessrin_core import CifFile, _dumps, _parse_raw_origins

from tessrin._write_tables import is_table_dict, table_blocks
from tessrin.types import CifVersion

__all__ = ["dump", "dumps"]

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


def _write(blocks, preferred: str, asked, width: int, source=None) -> tuple[str, str]:
    """The text of `blocks` and the version it is written in: the version asked for, else
    `preferred`, or CIF 2.0 where CIF 1.1 cannot hold the data."""
    target = _target(asked, preferred)
    try:
        return _render(blocks, target, width, source), target
    except ValueError as error:
        if target != "1.1":
            raise
        # CIF 2.0 holds what CIF 1.1 cannot (non-ASCII text, lists, tables); a problem no
        # version escapes (a carriage return) raises as CIF 2.0 reports it.
        try:
            text = _render(blocks, "2.0", width, source)
        except ValueError:
            if asked is None:
                raise
            raise error from None
        if asked is None:
            return text, "2.0"
        raise NeedsCif2(str(error)) from None


def _render(blocks, target: str, width: int, source) -> str:
    if source is None:
        return _dumps(blocks, target, width)
    if not isinstance(blocks, (list, tuple)):
        blocks = list(blocks)  # read twice: compared with the text, maybe written afresh
    kept = _kept_layout(blocks, source, target)
    if kept is not None:
        return kept
    text = _dumps(blocks, target, width)
    comments = _opening_comments(source, target)
    first = text.index("\n") + 1
    return text[:first] + comments + text[first:] if comments else text


def write_with_version(obj, *, version=None, width: int = 80, source=None) -> tuple[str, str]:
    """`dumps(obj, ...)` and the version written ("1.1" or "2.0")."""
    width = _checked_width(width)
    if source is not None and not isinstance(source, str):
        raise TypeError(f"dumps() source must be str or None, not {type(source).__name__}")
    if is_table_dict(obj):
        if source is not None:
            raise TypeError("dumps() source keeps the layout of a parse_raw result or a CifFile; "
                            "a tables dict is always written afresh")
        blocks, needs_cif2 = table_blocks(obj)
        return _write(blocks, "2.0" if needs_cif2 else "1.1", version, width)
    blocks, data_version = _blocks_and_version(obj)
    return _write(blocks, data_version, version, width, source)


def dumps(obj, *, version=None, width: int = 80, source=None) -> str:
    """CIF text of `obj` (a `parse_raw` result, a `CifFile`, or a `parse_tables` dict).

    `version` is "1.1" or "2.0"; by default the version the data came from (for tables "1.1"),
    or CIF 2.0 where CIF 1.1 cannot hold the data (non-ASCII text, lists, tables). Every value
    is written in the lightest form that reads back unchanged; a value or name that the target
    version cannot hold raises ValueError (TypeError for a value that is not a str, list or
    dict), naming block and tag. `source`, the text `obj` was read from, keeps its layout:
    only values that changed are written anew, in their place.
    """
    return write_with_version(obj, version=version, width=width, source=source)[0]


def dump(obj, file, *, version=None, width: int = 80, source=None) -> None:
    """Writes `dumps(obj, ...)` to a path or to a text or binary file object.

    A path is written through a temporary file beside it, renamed over the target only once
    complete: an error never leaves a half-written file there.
    """
    dump_with_version(obj, file, version=version, width=width, source=source)


def dump_with_version(obj, file, *, version=None, width: int = 80, source=None) -> str:
    """`dump(obj, file, ...)`; returns the version written."""
    text, written = write_with_version(obj, version=version, width=width, source=source)
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


# --- Writing back into the text the data came from ------------------------------------------
#
# `dumps(obj, source=text)` keeps the text's layout: what the data holds as the text had it
# stays byte for byte (names as spelt, value forms, rows, comments, white space), and only a
# value that changed is written anew, in its place. The spelling and forms travel in the text
# itself, so parse_raw's dicts and the CifFile objects keep their shape and parse_raw its
# speed: the text is read a second time, with each value's origin, only when writing.


def _frame_parts(frame, block: bool):
    """name, tag order, loops, tags and (for a block) save frames of a dict or CifBlock."""
    if isinstance(frame, dict):
        get = frame.get
        return (get("name"), get("tag_order"), get("loops"), get("tags"),
                get("save_frames") if block else ())
    return (frame.name, frame._tag_order, frame._loops, frame._tags,
            frame._save_frame_list if block else ())


def _frame_edits(frame, original, origins, block: bool, where: tuple, edits: list) -> bool:
    """Adds (start, end, block, frame, tag, value) for each value of `frame` that differs from
    the same place in `original`; False when the two differ in more than values."""
    name, order, loops, tags, frames = _frame_parts(frame, block)
    o_name, o_order, o_loops, o_tags, o_frames = _frame_parts(original, block)
    if (name != o_name or not isinstance(tags, dict) or list(order) != o_order
            or [list(loop) for loop in loops] != o_loops or len(tags) != len(o_tags)):
        return False
    where = (*where, name)
    for tag, spans in zip(o_order, origins[0] if block else origins):
        values = tags.get(tag)
        old = o_tags[tag]
        if values is None or len(values) != len(old):
            return False
        if values == old:
            continue
        words = memoryview(spans).cast("Q")
        for i, (value, was) in enumerate(zip(values, old)):
            if value == was:
                continue
            start, end = words[2 * i], words[2 * i + 1]
            if start == 2**64 - 1:  # a list or table: no one token to replace
                return False
            edits.append((start, end, where, tag, value))
    if not block:
        return True
    frames = list(frames)
    if len(frames) != len(o_frames):
        return False
    return all(
        _frame_edits(f, o, spans, False, where, edits)
        for f, o, spans in zip(frames, o_frames, origins[1])
    )


def _value_text(value, where: tuple, tag: str, target: str) -> str:
    """The written form of one value, as the writer chooses it."""
    # Written under stand-in names: the file's own names stay as they are, whatever the
    # target version thinks of them; an error is raised again naming the real place.
    try:
        text = _dumps([_one_item("b", "_x", value, len(where) == 2)], target, 1 << 30)
    except (ValueError, TypeError):
        frame = where[-1] if len(where) == 2 else None
        _dumps([_one_item(where[0], tag, value, frame)], target, 1 << 30)
        raise
    start = text.index("\n_x", text.index("\ndata_")) + len("\n_x") + 1
    end = len(text) - (len("\nsave_\n") if len(where) == 2 else 1)
    return text[start:end]


def _one_item(block: str, tag: str, value, frame) -> dict:
    """A block holding `tag` with `value`, directly or in a save frame named `frame`."""
    item = {"name": block, "tag_order": [tag], "loops": [], "tags": {tag: [value]},
            "save_frames": []}
    if not frame:
        return item
    item["name"] = "f" if frame is True else frame
    return {"name": block, "tag_order": [], "loops": [], "tags": {}, "save_frames": [item]}


def _splice(text: bytes, edits: list, target: str) -> bytes:
    pieces = []
    done = 0
    for start, end, where, tag, value in sorted(edits, key=lambda e: e[0]):
        piece = _value_text(value, where, tag, target).encode("utf-8")
        if piece.startswith(b";"):  # a text field: from the first column to the line's end
            if start > 0 and text[start - 1] != 0x0A:
                piece = b"\n" + piece
            if end < len(text) and text[end] != 0x0A:
                piece += b"\n"
        else:
            if start > 0 and text[start - 1] not in b" \t\n":
                piece = b" " + piece
            if end < len(text) and text[end] not in b" \t\n":
                piece += b" "
        pieces += (text[done:start], piece)
        done = end
    pieces.append(text[done:])
    return b"".join(pieces)


def _normalised(source: str) -> str:
    return source.replace("\r\n", "\n").replace("\r", "\n") if "\r" in source else source


def _edits(blocks, original: dict, origins) -> list | None:
    """What `_frame_edits` finds over all blocks, or None."""
    edits: list = []
    try:
        if len(blocks) != len(original["blocks"]) or not all(
            _frame_edits(b, o, spans, True, (), edits)
            for b, o, spans in zip(blocks, original["blocks"], origins)
        ):
            return None
    except (AttributeError, TypeError):
        return None  # not data the writer takes: written afresh, which says what is wrong
    return edits


# A character outside what CIF 1.1 allows (tab, line ends and printable ASCII).
_NOT_CIF11 = re.compile(r"[^\t\n\r -~]")


def _problems(parsed: dict) -> collections.Counter:
    """The diagnostics of a reading, without their places (an edit may move them)."""
    return collections.Counter((e["error_type"], e["message"]) for e in parsed["errors"])


def _kept_layout(blocks, source: str, target: str) -> str | None:
    """`blocks` written into `source`, changing only the values that differ from what it
    reads as; None when the two differ in more than values, or the text is of another
    version. A text read with diagnostics is kept too: the data is what it reads as, and
    the written text must read back with no diagnostic the text did not have."""
    text = _normalised(source)
    if target == "1.1" and _NOT_CIF11.search(text):
        # A text may hold what CIF 1.1 cannot (non-ASCII words read without diagnostics):
        # kept, it would not be CIF 1.1. Raises as writing afresh would.
        _dumps(blocks, "1.1", 1 << 30)
    try:
        original, origins, start = _parse_raw_origins(text)
    except UnicodeEncodeError:
        raise ValueError(
            "dumps() source is not valid Unicode (it holds a lone surrogate)"
        ) from None
    if start < 0 or _VERSIONS[original["version"]] != target:
        return None
    edits = _edits(blocks, original, origins)
    if edits is None:
        return None
    if not edits:
        return source
    data = text.encode("utf-8")
    written = (data[:start] + _splice(data[start:], edits, target)).decode("utf-8")
    # Read back to be sure each new value stands on its own where it was put.
    check, check_origins, _ = _parse_raw_origins(written)
    # No diagnostic the text did not have (a fixed value may have taken one away).
    if _problems(check) - _problems(original) or _edits(blocks, check, check_origins) != []:
        return None
    if "\r\n" in source and "\r" not in source.replace("\r\n", ""):
        written = written.replace("\n", "\r\n")
    return written


def _opening_comments(source: str, target: str) -> str:
    """The comment lines before the first data block (the version line aside), for a text
    written afresh; none where the target version cannot hold them."""
    lines = []
    for line in _normalised(source).lstrip("\ufeff").split("\n"):
        stripped = line.strip()
        if stripped and not stripped.startswith("#"):
            break
        if not lines and not stripped:
            continue
        lines.append(line)
    if lines and lines[0].startswith("#\\#CIF_"):
        lines.pop(0)
    while lines and not lines[-1].strip():
        lines.pop()
    comments = "".join(line + "\n" for line in lines)
    if target == "1.1" and not all(c == "\t" or " " <= c <= "~" for c in comments if c != "\n"):
        return ""
    return comments
