"""The module's face: registered members, signatures, docstrings and argument rules."""

import inspect
import pathlib

import pytest

from conftest import Recorder, tessrin_core

FUNCTIONS = [
    "parse", "parse_raw", "parse_cif", "parse_arrow", "parse_arrow_file", "parse_tables",
    "parse_tables_file",
]  # fmt: skip
SOURCE_MODE = ["parse_raw", "parse_cif", "parse_arrow", "parse_tables"]


def test_members_in_registration_order():
    members = [name for name in vars(tessrin_core) if not name.startswith("__")]
    # _dumps, _parse_raw_origins and _number_cells are native halves of tessrin.dumps
    # (python/tessrin/_write.py), _parse_tables_bytes reads decompressed archive files
    # (python/tessrin/convert/archive.py), _reserve_kept and _unreserve_kept count its kept buffers
    # (python/tessrin/_memory.py); _tokens serves the grammar's property test (test_grammar.py).
    assert members == [
        "CifSaveFrame", "CifBlock", "CifFile", *FUNCTIONS, "_dumps", "_parse_raw_origins",
        "_number_cells", "_parse_tables_bytes",
        "conformance", "conformance_file", "diagnostics", "conformance_rules",
        "release_memory", "_reserve_kept", "_unreserve_kept", "_tokens",
    ]  # fmt: skip
    assert tessrin_core.__doc__ == ""


@pytest.mark.parametrize(
    ("name", "signature"),
    [
        ("parse", "(source, handler, max_errors=None)"),
        ("parse_raw", "(source, mode=None, max_errors=None)"),
        ("parse_cif", "(source, mode=None, max_errors=None)"),
        ("parse_arrow", "(source, mode=None, max_errors=None)"),
        ("parse_arrow_file", "(path, mode=None, max_errors=None)"),
        ("parse_tables", "(source, mode=None, max_errors=None, types='infer')"),
        ("parse_tables_file", "(path, mode=None, max_errors=None, types='infer')"),
        ("CifFile", "(version=None)"),
        ("CifBlock", "(name, id=0)"),
        ("CifSaveFrame", "(name, id=0)"),
    ],
)
def test_text_signatures(name, signature):
    member = getattr(tessrin_core, name)
    assert member.__text_signature__ == signature
    assert str(inspect.signature(member)) == signature
    if name in FUNCTIONS:
        kinds = {p.kind for p in inspect.signature(member).parameters.values()}
        assert kinds == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
        documented = ("parse_raw", "parse_tables", "parse_tables_file")
        assert (member.__doc__ is None) == (name not in documented)


def test_parse_raw_docstring():
    paragraphs = tessrin_core.parse_raw.__doc__.split("\n\n")
    assert len(paragraphs) == 3
    first, shape, last = paragraphs
    assert "native code" in first and "dict" in first
    assert shape.startswith((" ", "\t"))
    for key, kind in (("version", "str"), ("errors", "list"), ("blocks", "list")):
        assert f"'{key}': {kind}" in shape or f'"{key}": {kind}' in shape
    assert last == (
        "No Python calls are made during parsing.  CifScalar objects are created\n"
        "lazily in Python when block data is first accessed via __getitem__."
    )


class Text(str):
    pass


@pytest.mark.parametrize("name", SOURCE_MODE + ["parse"])
@pytest.mark.parametrize("source", [b"data_x", 1, None, pathlib.Path("x.cif"), bytearray(b"")])
def test_source_must_be_str(name, source):
    args = (source, Recorder()) if name == "parse" else (source,)
    with pytest.raises(TypeError, match="source"):
        getattr(tessrin_core, name)(*args)


@pytest.mark.parametrize("name", SOURCE_MODE + ["parse_arrow_file", "parse_tables_file"])
@pytest.mark.parametrize("mode", [1, b"strict", ["strict"], True])
def test_mode_must_be_str_or_none(name, mode):
    # mode is checked before the file is read.
    with pytest.raises(TypeError, match="mode"):
        getattr(tessrin_core, name)("/nonexistent/x.cif", mode)


@pytest.mark.parametrize("path", [3, None, ["x.cif"]])
def test_path_must_be_str_bytes_or_pathlike(path):
    with pytest.raises(TypeError, match="os.PathLike"):
        tessrin_core.parse_arrow_file(path)


@pytest.mark.parametrize(
    ("name", "args", "kwargs"),
    [
        ("parse", ("data_x",), {}),
        ("parse", (), {"handler": Recorder()}),
        ("parse", ("a", Recorder(), None, None), {}),
        ("parse", ("a", Recorder()), {"max_errors": "1"}),
        ("parse", ("a",), {"handler": Recorder(), "mode": None}),
        ("parse", ("a", Recorder()), {"source": "b"}),
        ("parse_raw", (), {}),
        ("parse_raw", ("a", None, None, None), {}),
        ("parse_raw", ("a", None, 1.0), {}),
        ("parse_raw", ("a",), {"source": "b"}),
        ("parse_raw", ("a",), {"strict": True}),
        ("parse_cif", (), {"mode": None}),
        ("parse_arrow", ("a",), {"path": "b"}),
        ("parse_arrow_file", (), {"source": "a"}),
    ],
)
def test_call_errors(name, args, kwargs):
    with pytest.raises(TypeError):
        getattr(tessrin_core, name)(*args, **kwargs)


def test_keywords_and_str_subclasses_are_accepted():
    recorder = Recorder()
    tessrin_core.parse(handler=recorder, source=Text("data_x"))
    assert recorder.calls == [("on_data_block", "x")]
    strict = tessrin_core.parse_raw(mode=Text("strict"), source=Text("data_x"))
    assert strict == tessrin_core.parse_raw("data_x")


def test_handler_is_not_checked_until_an_event_needs_it():
    assert tessrin_core.parse("", None).name == "CIF_1_1"
    with pytest.raises(AttributeError):
        tessrin_core.parse("data_x", None)


SEMANTIC = "#\\#CIF_2.0\ndata_x\ndata_x _a 1 loop_ _b _c 1"


@pytest.mark.parametrize("name", [*FUNCTIONS[1:], "diagnostics", "_parse_tables_bytes"])
@pytest.mark.parametrize("mode", ["", "1.1", "CIF_1_1", "STRICT", "Strict", " strict", "\ud800"])
def test_modes_other_than_none_and_strict_are_refused(tmp_path, name, mode):
    # A misspelt mode must not run lenient as if it had been understood.
    path = tmp_path / "x.cif"
    path.write_text(SEMANTIC)
    source = {"_file": str(path), "bytes": SEMANTIC.encode()}.get(name[-5:], SEMANTIC)
    entry = getattr(tessrin_core, name)
    with pytest.raises(ValueError, match=r"argument 'mode' must be None or \"strict\", not "):
        entry(source, mode)
    assert entry(source, None) != entry(source, "strict")


def test_empty_source():
    assert tessrin_core.parse_raw("") == {"version": "CIF_1_1", "errors": [], "blocks": []}


@pytest.mark.parametrize("name", SOURCE_MODE + ["parse", "diagnostics"])
@pytest.mark.parametrize("source", ["\ud800", "data_x _a '\udfff'"])
def test_lone_surrogates_raise_the_encoding_error(name, source):
    args = (source, Recorder()) if name == "parse" else (source,)
    said = rf"lone surrogate in {name}\(\) argument 'source'"
    with pytest.raises(UnicodeEncodeError, match=said):
        getattr(tessrin_core, name)(*args)


def test_parse_arrow_file_missing_file_and_directory(tmp_path):
    for path in (tmp_path / "missing.cif", tmp_path):
        with pytest.raises(IOError) as caught:
            tessrin_core.parse_arrow_file(str(path))
        assert caught.value.errno is not None


@pytest.mark.parametrize(
    "content",
    [b"data_x\n_a \xff", b"\xc3", b"data_x _a '\xed\xa0\x80'", b"\xc0\xaf", b"\xf4\x90\x80\x80",
     b"\xe2\x82"],
)  # fmt: skip
def test_parse_arrow_file_refuses_bytes_that_are_not_utf8(tmp_path, content):
    path = tmp_path / "bad.cif"
    path.write_bytes(content)
    with pytest.raises(IOError, match=r"^\[Errno \d+\] stream did not contain valid UTF-8 \(byte"):
        tessrin_core.parse_arrow_file(str(path))


# 50 stray values, and (for the collecting entries) a short loop row at the end.
STRAYS = "data_x _a 1\n" + "v " * 50 + "\nloop_ _l _m 1 2 3\n"


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize(("limit", "as_keyword"), [(0, False), (3, True), (49, False)])
def test_max_errors_bounds_the_records_and_nothing_else(tmp_path, name, limit, as_keyword):
    path = tmp_path / "strays.cif"
    path.write_text(STRAYS, encoding="utf-8")
    source = str(path) if name.endswith("_file") else STRAYS

    def run(*limit_arg):
        args = (source, Recorder()) if name == "parse" else (source, None)
        if limit_arg and as_keyword:
            return args, getattr(tessrin_core, name)(*args, max_errors=limit_arg[0])
        return args, getattr(tessrin_core, name)(*args, *limit_arg)

    def records(args, result):
        if name == "parse":
            return [call[1] for call in args[1].calls if call[0] == "on_error"], args[1].calls
        errors = result["errors"] if name == "parse_raw" else result[1]
        data = {**result, "errors": None} if name == "parse_raw" else result[0]
        if name == "parse_cif":
            data = [(b.name, b._tags) for b in data._block_list]
        return errors, data

    everything, full_data = records(*run())
    bounded, data = records(*run(limit))
    total = 50 if name == "parse" else 51
    assert len(everything) == total
    assert bounded[:limit] == everything[:limit]
    final = bounded[limit]
    final = final if isinstance(final, tuple) else tuple(final.values())
    assert final[:2] == ("semantic", (f"{total - limit} more diagnostic(s) found and not recorded "
                                      f"(max_errors={limit})"))
    assert len(bounded) == limit + 1
    if name != "parse":  # the handler's events include the diagnostics themselves
        assert data == full_data
