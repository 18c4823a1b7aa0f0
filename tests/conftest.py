"""Shared helpers: a handler recording every call of `tessrin_core.parse`; the corpus path."""

from pathlib import Path

import pytest

tessrin_core = pytest.importorskip("tessrin_core")
from tessrin.types import ParseError, ValueType

CORPUS = Path(__file__).resolve().parents[1].parent / "shared" / "corpus"

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
