"""Shared helpers: a handler recording every call of `tessrin_core.parse`, the checker of the
event ordering guarantees, the agreement of the entry functions, and the corpus path."""

import gc
import json
import os
import sys
import tracemalloc
from pathlib import Path

import pytest

tessrin_core = pytest.importorskip("tessrin_core")
from tessrin.types import ParseError, ValueType

CORPUS = Path(__file__).resolve().parents[1].parent / "shared" / "corpus"

# Under AddressSanitizer (`make test-asan`) redzones and the free quarantine inflate memory
# several times over, so the resident-size bounds mean nothing there; everything else holds.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def traced():
    return tracemalloc.get_traced_memory()[0]


def growth_trend(call, rounds, measures=(traced,)):
    """How much each measure grows over a batch of `rounds` calls, judged as a trend: the
    smaller growth of the second and the third batch (the first warms free lists and caches
    up). A leak grows in every batch, so one object per call still shows as `rounds` objects;
    noise, or a cache filled once, grows in one batch at most."""
    tracemalloc.start()
    try:
        marks = []
        for _ in range(3):
            for _ in range(rounds):
                call()
            # Garbage, and the type attribute cache (it keeps the last few thousand attribute
            # names looked up, each a fresh str).
            gc.collect()
            sys._clear_type_cache()
            marks.append([measure() for measure in measures])
    finally:
        tracemalloc.stop()
    return [min(b - a, c - b) for a, b, c in zip(*marks)]


HANDLER_METHODS = (
    "on_data_block", "on_save_frame_start", "on_save_frame_end", "add_tag", "add_value",
    "on_loop_start", "on_loop_end", "on_list_start", "on_list_end", "on_table_start",
    "on_table_key", "on_table_end", "on_error",
)  # fmt: skip


def _plain(arg):
    if isinstance(arg, ValueType):
        return arg.name
    if isinstance(arg, ParseError):
        return (arg.error_type, arg.message, arg.line, arg.column, arg.context,
                arg.recovery_action)  # fmt: skip
    return arg


def _recorder(name):
    def record(self, *args):
        self.calls.append((name, *map(_plain, args)))

    record.__name__ = name
    return record


class Recorder:
    """Handler with exactly the 13 protocol methods, so a misnamed call fails the parse.

    Each call is stored as (method name, *args): ValueType members by name, a ParseError as the
    tuple of its six fields.
    """

    def __init__(self):
        self.calls = []


for _name in HANDLER_METHODS:
    setattr(Recorder, _name, _recorder(_name))


def events(source):
    """Every handler call of one parse, in order."""
    recorder = Recorder()
    tessrin_core.parse(source, recorder)
    return recorder.calls


def errors(source):
    """The diagnostics of one parse, as six-field tuples."""
    return [call[1] for call in events(source) if call[0] == "on_error"]


def structure(source):
    """The calls of one parse other than diagnostics."""
    return [call for call in events(source) if call[0] != "on_error"]


def check_order(calls):
    """Asserts the event ordering guarantees on one parse's calls."""
    in_frame = in_loop = pending_tag = False
    stack = []  # per open container: [is_table, key_waits_for_value, owner]

    def value_arrives(is_container):
        if stack:
            top = stack[-1]
            if top[0]:
                # A container may stand in key position (no key); a scalar may not.
                assert top[1] or is_container, calls
                owner, top[1] = top[1], False
                return owner
            return False
        if in_loop:
            return False
        assert pending_tag, calls
        return True

    for call in calls:
        name = call[0]
        if name == "on_error":
            continue
        if name not in ("add_value", "on_list_start", "on_table_start", "on_list_end",
                        "on_table_end", "on_table_key", "on_loop_end"):  # fmt: skip
            assert not in_loop and not stack and not pending_tag, calls
        if name == "on_data_block":
            assert not in_frame, calls
        elif name == "on_save_frame_start":
            assert not in_frame, calls
            in_frame = True
        elif name == "on_save_frame_end":
            assert in_frame, calls
            in_frame = False
        elif name == "add_tag":
            pending_tag = True
        elif name == "on_loop_start":
            assert call[1], calls
            in_loop = True
        elif name == "on_loop_end":
            assert in_loop and not stack, calls
            in_loop = False
        elif name == "add_value":
            if value_arrives(False) and not stack:
                pending_tag = False
        elif name in ("on_list_start", "on_table_start"):
            owner = value_arrives(True)
            stack.append([name == "on_table_start", False, owner])
        elif name in ("on_list_end", "on_table_end"):
            is_table, waits, _ = stack.pop()
            assert is_table == (name == "on_table_end") and not waits, calls
            if not stack and not in_loop:
                pending_tag = False
        elif name == "on_table_key":
            assert stack and stack[-1][0] and not stack[-1][1], calls
            stack[-1][1] = True
    assert not (in_frame or in_loop or stack or pending_tag), calls


ERROR_KINDS = ("lexical", "syntactic", "semantic")


def decode_cell(cell):
    """A record-batch cell as parse_raw gives the value: a NUL-led cell is JSON."""
    if cell is not None and cell.startswith("\0"):
        return json.loads(cell[1:])
    return cell


def _frames(raw):
    """(leading values without the loop id, frame dict) of every block and save frame, in the
    order their record batches come."""
    for b, block in enumerate(raw["blocks"]):
        yield (b, block["name"], None, None), block
        for f, frame in enumerate(block["save_frames"]):
            yield (b, block["name"], f, frame["name"]), frame


def arrow_name(tag):
    return tag.replace("\0", "\ufffd")


def expected_batches(raw):
    """The batches a parse_raw result calls for, as (leading values, [(tag, cells)]): plain tags
    first, then one batch per loop; rows as many as the longest column, the rest null."""
    out = []
    for origin, frame in _frames(raw):
        looped = {tag for loop in frame["loops"] for tag in loop}
        groups = [("__scalars__", [t for t in frame["tag_order"] if t not in looped])]
        groups += [(f"__loop_{i}__", loop) for i, loop in enumerate(frame["loops"])]
        for loop_id, tags in groups:
            rows = max((len(frame["tags"][tag]) for tag in tags), default=0)
            if rows:
                columns = [(t, frame["tags"][t] + [None] * (rows - len(frame["tags"][t])))
                           for t in tags]  # fmt: skip
                out.append(((*origin, loop_id), columns))
    return out


def batch_view(batch):
    """One record batch as (leading values, [(tag, decoded cells)])."""
    names = batch.schema.names
    columns = [column.to_pylist() for column in batch.columns]
    leading = []
    for i, column in enumerate(columns[:5]):
        values = set(column)
        assert len(values) == 1, f"leading column {names[i]} is not constant: {values}"
        leading.append(values.pop())
    tags = [(names[i], [decode_cell(c) for c in columns[i]]) for i in range(5, len(columns))]
    return tuple(leading), tags


def model_view(cif_file):
    """A parse_cif tree in the shape of parse_raw's "blocks"."""

    def frame(obj):
        return {"name": obj.name, "tag_order": obj._tag_order, "loops": obj._loops,
                "tags": obj._tags}  # fmt: skip

    return [{**frame(b), "save_frames": [frame(s) for s in b._save_frame_list]}
            for b in cif_file._block_list]  # fmt: skip


def entries_agree(source, mode=None, calls=None):
    """Asserts that parse_raw, parse_cif and parse_arrow give the same diagnostics and the same
    values, and, given the `calls` of a recorded parse, that the handler saw the same parser
    diagnostics. Returns the parse_raw result and the record batches."""
    raw = tessrin_core.parse_raw(source, mode)
    cif_file, cif_errors = tessrin_core.parse_cif(source, mode)
    assert cif_errors == raw["errors"]
    assert cif_file.version.name == raw["version"]
    assert model_view(cif_file) == raw["blocks"]
    assert [b._id for b in cif_file._block_list] == list(range(len(raw["blocks"])))
    # Arrow field names cannot hold NUL: U+FFFD stands in for it there.
    expected = [(leading, [(arrow_name(t), cells) for t, cells in columns])
                for leading, columns in expected_batches(raw)]  # fmt: skip
    batches, arrow_errors = tessrin_core.parse_arrow(source, mode)
    assert arrow_errors == raw["errors"]
    assert [batch_view(b) for b in batches] == expected
    # parse_tables reports the collector's diagnostics, and only adds conflicts of its own.
    _, table_errors = tessrin_core.parse_tables(source, mode)
    if all(e in raw["errors"] for e in table_errors):
        assert table_errors == raw["errors"]
    if calls is not None:
        handler_errors = [call[1] for call in calls if call[0] == "on_error"]
        parser_errors = [tuple(e.values()) for e in raw["errors"] if e["error_type"] != "semantic"]
        assert handler_errors == parser_errors
    return raw, batches


def check_positions(source, errors):
    """Asserts that every diagnostic dict has a known kind and a place inside `source`: a line
    of the source after line-end normalisation and a column at most one past that line's end
    (in characters). Where the context is text of the source, it stands at that place (after an
    opening quote or semicolon, or three quotes, or a byte-order mark); a semantic diagnostic
    stands at the name it concerns (its context, in any case), at the data_ or save_ header
    before it, or at the loop_ whose tags it names."""
    text = source.replace("\r\n", "\n").replace("\r", "\n")
    lines = text.split("\n")
    starts = [0]
    for line in lines:
        starts.append(starts[-1] + len(line) + 1)
    for error in errors:
        kind, line, column = error["error_type"], error["line"], error["column"]
        assert kind in ERROR_KINDS, error
        if error["context"] == "diagnostic limit":
            assert (line, column) == (0, 0), error
            continue
        assert 1 <= line <= len(lines), error
        assert 1 <= column <= len(lines[line - 1]) + 1, error
        context = error["context"]
        if kind == "semantic":
            at = text[starts[line - 1] + column - 1 :].lower()
            name = context.lower()
            assert any(at.startswith(head + name) for head in ("", "data_", "save_")) or (
                at.startswith("loop_") and name in at), (error, at[:50])  # fmt: skip
            continue
        if context not in ("", "EOF") and not error["message"].endswith(" at EOF"):
            start = starts[line - 1] + column - 1
            at = text[start : start + len(context) + 3]
            assert any(at[skip:].startswith(context) for skip in (0, 1, 3)), (error, at[:50])
