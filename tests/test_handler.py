"""The Python handler protocol of `parse`: calls, arguments, handler failures and references."""

import gc
import sys
import types

import pytest

import tessrin.types
from conftest import HANDLER_METHODS, Recorder, events, tessrin_core
from tessrin.types import CifVersion, ValueType

CIF2 = "#\\#CIF_2.0\n"


class Boom(Exception):
    pass


class RaisingRecorder(Recorder):
    """Records calls and raises from `method` on its `after`-th call."""

    def __init__(self, method, after=1):
        super().__init__()
        self.method, self.after, self.raised = method, after, None
        original = getattr(Recorder, method)

        def failing(*args):
            original(self, *args)
            self.after -= 1
            if self.after == 0:
                self.raised = Boom(method)
                raise self.raised

        setattr(self, method, failing)


@pytest.mark.parametrize(
    ("method", "source", "after"),
    [
        ("add_value", "data_x _a 1 _b 2", 1),
        ("on_error", "data_x _a _b 2", 1),
        ("on_data_block", "data_x data_y", 2),
        ("on_loop_start", "data_x loop_ _a 1", 1),
        ("on_table_key", CIF2 + "data_x _a {'k':1 'j':2}", 1),
        ("on_list_end", CIF2 + "data_x _a [[1]]", 1),
    ],
)
def test_raising_handler_gets_no_further_calls_and_parse_reraises(method, source, after):
    handler = RaisingRecorder(method, after)
    with pytest.raises(Boom) as caught:
        tessrin_core.parse(source, handler)
    assert caught.value is handler.raised
    assert handler.calls[-1][0] == method
    assert handler.calls == events(source)[: len(handler.calls)]


def test_missing_on_error_ends_calls_at_the_first_diagnostic():
    class NoOnError:
        def __init__(self):
            self.calls = []

        def __getattr__(self, name):
            if name == "on_error":
                raise AttributeError(name)
            return lambda *args: self.calls.append(name)

    handler = NoOnError()
    with pytest.raises(AttributeError):
        tessrin_core.parse("data_x _a 1 2 _b 3", handler)
    assert handler.calls == ["on_data_block", "add_tag", "add_value"]


def test_handler_needs_only_the_methods_the_input_triggers():
    class Minimal:
        def on_data_block(self, name):
            self.name = name

    handler = Minimal()
    assert tessrin_core.parse("data_x # comment", handler) is CifVersion.CIF_1_1
    assert handler.name == "x"


def test_methods_are_looked_up_at_every_call():
    seen = []

    class Switching(Recorder):
        def add_tag(self, tag):
            self.add_value = lambda value, kind: seen.append((tag, value))

    tessrin_core.parse("data_x _a 1 _b 2", Switching())
    assert seen == [("_a", "1"), ("_b", "2")]


def test_parse_is_reentrant_from_a_handler():
    class Nested(Recorder):
        def on_data_block(self, name):
            super().on_data_block(name)
            self.inner = events("#\\#CIF_2.0\ndata_in _a [1")

    handler = Nested()
    tessrin_core.parse("data_out _b 2", handler)
    assert handler.calls == [
        ("on_data_block", "out"),
        ("add_tag", "_b"),
        ("add_value", "2", "STRING"),
    ]
    assert handler.inner[:3] == [("on_data_block", "in"), ("add_tag", "_a"), ("on_list_start",)]


def test_arguments_types_and_shared_members():
    received = []

    class Raw:
        def __getattr__(self, name):
            return lambda *args: received.append((name, args))

    version = tessrin_core.parse(CIF2 + "data_x loop_ _a _b 1 . {'k':2}\n_c", Raw())
    assert version is CifVersion.CIF_2_0
    kinds = [args[-1] for name, args in received if name in ("add_value", "on_table_key")]
    assert kinds[0] is ValueType.STRING and kinds[3] is ValueType.STRING
    assert kinds[1] is ValueType.PLACEHOLDER and kinds[-1] is ValueType.PLACEHOLDER
    assert kinds[2] is ValueType.SINGLE_QUOTED
    (loop_start,) = [args for name, args in received if name == "on_loop_start"]
    assert type(loop_start[0]) is list and loop_start[0] == ["_a", "_b"]
    for name, args in received:
        assert name in HANDLER_METHODS
        assert all(type(a) in (str, list, ValueType, tessrin.types.ParseError) for a in args)
    (error,) = [args[0] for name, args in received if name == "on_error"]
    assert (type(error.line), type(error.column)) == (int, int)


def failing_parse_error(*fields):
    raise Boom("ParseError")


@pytest.mark.parametrize(
    "replace",
    [
        {"ParseError": failing_parse_error},
        {"ParseError": None, "ValueType": None},
        {"ValueType": types.SimpleNamespace(STRING=0)},
    ],
)
def test_companion_classes_are_looked_up_once_at_import(monkeypatch, replace):
    expected = Recorder()
    tessrin_core.parse("#\\#CIF_9\ndata_x _a 'v' _b", expected)
    for name, value in replace.items():
        monkeypatch.setattr(tessrin.types, name, value)
    handler = Recorder()
    version = tessrin_core.parse("#\\#CIF_9\ndata_x _a 'v' _b", handler)
    # Recorder turns the real ParseError and ValueType into plain values, nothing else.
    assert handler.calls == expected.calls and version is CifVersion.CIF_2_0
    assert any(name == "on_error" and isinstance(args[0], tuple) for name, *args in handler.calls)


def test_reference_counts_stay_flat():
    sources = [
        CIF2 + "data_x _a [1 {'k':'v' 'j' [2]}] loop_ _b _c 1 ? '''t''' \"d\"\n;f\n; _d",
        "#\\#CIF_9\ndata_x _a _b {",
    ]
    handler = Recorder()
    failing = RaisingRecorder("on_error", 2)
    watched = [handler, failing, tessrin.types.ParseError, *ValueType, *CifVersion]

    def run():
        for source in sources:
            handler.calls.clear()
            tessrin_core.parse(source, handler)
            failing.after = 2
            with pytest.raises(Boom):
                tessrin_core.parse(source, failing)
            failing.calls.clear()
            failing.raised = None

    run()
    gc.collect()  # earlier tests may leave cycles that would be collected mid-loop
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(200):
        run()
    gc.collect()
    assert [sys.getrefcount(obj) for obj in watched] == before
