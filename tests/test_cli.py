"""The `tessrin` command, run as a subprocess on temporary files."""

import gzip
import json
import os
import re
import shutil
import subprocess
import sys

import pytest

tessrin_core = pytest.importorskip("tessrin_core")
pa = pytest.importorskip("pyarrow")
import pyarrow.parquet as pq

CLEAN = "data_clean\n_cell.length_a 9.8213(4)\nloop_\n_atom.label\n_atom.x\nC1 0.1\nC2 0.2\n"
# An unquoted value with a space, and a loop one value short.
BROKEN = "data_broken\n_journal.name Acta Cryst\nloop_\n_b.x\n_b.y\n1 2\n3\n"
CIF2 = (
    "#\\#CIF_2.0\ndata_two\n_dataset.title '''room temperature'''\n"
    "_cell.angles {'alpha':90 'beta':[101.5 0.2]}\n"
    "loop_\n_p.id\n_p.xyz\nA [0 0 0]\nB [1 1 1]\n"
    "save_frame-1\n_s.note 'in a frame'\nsave_\n"
)
# Two blocks of one name and a save frame: batch file names must still be unique.
DUPLICATES = "data_d\n_a.v 1\nloop_\n_l.x\n1\n2\ndata_d\n_a.v 2\nsave_f\n_s.v 3\nsave_\n"
NOT_UTF8 = b"data_x\n_a caf\xe9\n"

DIAGNOSTIC = re.compile(
    r"^(?P<path>.+?):(?P<line>\d+):(?P<column>\d+): (?P<type>lexical|syntactic|semantic): "
    r"(?P<message>.*?)(?: \[(?P<action>[^\[\]]*)\])?$"
)


def tessrin(*args, cwd, env=None):
    result = subprocess.run(
        [sys.executable, "-m", "tessrin", *map(str, args)],
        check=False,
        cwd=cwd,
        env=None if env is None else {**os.environ, **env},
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert "Traceback" not in result.stderr, result.stderr
    return result


def write(tmp_path, files):
    for name, content in files.items():
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, bytes):
            path.write_bytes(content)
        else:
            path.write_text(content, encoding="utf-8")


@pytest.mark.parametrize(
    ("files", "args", "status", "stderr", "summary"),
    [
        ({"a.cif": CLEAN}, ["a.cif"], 0, "", "1 file (1 clean), 0 diagnostics"),
        ({"a.cif": CLEAN, "b.cif": BROKEN}, ["a.cif", "b.cif"], 1, "", "2 files (1 clean), "),
        # One unreadable file decides the status, and the others are still checked.
        (
            {"b.cif": BROKEN},
            ["missing.cif", "b.cif"],
            2,
            "missing.cif: cannot read: No such file or directory",
            "2 files (0 clean), ",
        ),
        # Text that is not UTF-8 is checked, not refused: a finding where it breaks.
        ({"b.cif": BROKEN, "x.cif": NOT_UTF8}, ["x.cif", "b.cif"], 1, "", "2 files (0 clean), "),
        (
            {"a.cif": CLEAN, "empty/notes.txt": "x"},
            ["empty", "a.cif"],
            2,
            "empty: no CIF files found",
            "1 file (1 clean), 0 diagnostics",
        ),
        ({"dir/a.cif": CLEAN}, ["dir/a.cif", "--strict"], 0, "", "1 file (1 clean), 0 diagnostics"),
    ],
)
def test_check_exit_status(tmp_path, files, args, status, stderr, summary):
    write(tmp_path, files)
    result = tessrin("check", *args, cwd=tmp_path)
    assert result.returncode == status, result.stderr
    assert stderr in result.stderr
    assert result.stdout.splitlines()[-1].startswith(summary)
    if "b.cif" in files:
        assert "b.cif:" in result.stdout and "a.cif:" not in result.stdout


def test_check_lines_carry_every_diagnostic(tmp_path):
    write(tmp_path, {"b.cif": BROKEN})
    result = tessrin("check", "--no-conformance", "b.cif", cwd=tmp_path)
    *lines, summary = result.stdout.splitlines()
    expected = tessrin_core.parse_raw(BROKEN)["errors"]
    assert expected, "the sample must produce diagnostics"
    parsed = [DIAGNOSTIC.match(line) for line in lines]
    assert all(parsed), lines
    assert [
        (m["path"], int(m["line"]), int(m["column"]), m["type"], m["message"], m["action"])
        for m in parsed
    ] == [
        ("b.cif", e["line"], e["column"], e["error_type"], e["message"], e["recovery_action"])
        for e in expected
    ]
    counts = {
        kind: sum(e["error_type"] == kind for e in expected)
        for kind in ("lexical", "syntactic", "semantic")
    }
    assert summary == (
        f"1 file (0 clean), {len(expected)} diagnostics ({counts['lexical']} lexical, "
        f"{counts['syntactic']} syntactic, {counts['semantic']} semantic)"
    )


@pytest.mark.parametrize("strict", [False, True])
def test_check_json(tmp_path, strict):
    write(tmp_path, {"a.cif": CLEAN, "b.cif": BROKEN, "c.cif": CIF2})
    flags = ["--strict"] if strict else []
    result = tessrin("check", "--json", *flags, "a.cif", "b.cif", "c.cif", "gone.cif", cwd=tmp_path)
    assert result.returncode == 2
    objects = [json.loads(line) for line in result.stdout.splitlines()]
    assert [o["path"] for o in objects] == ["a.cif", "b.cif", "c.cif", "gone.cif"]
    for obj, text in zip(objects, [CLEAN, BROKEN, CIF2]):
        expected = tessrin_core.parse_raw(text, "strict" if strict else None)
        assert (obj["version"], obj["errors"], obj["unreadable"]) == (
            expected["version"],
            expected["errors"],
            None,
        )
    assert objects[3]["version"] is None and "No such file" in objects[3]["unreadable"]


def test_directories_are_searched_in_order(tmp_path):
    write(
        tmp_path,
        {
            "d/b.CIF": CLEAN,
            "d/a/z.mmCIF": CLEAN,
            "d/c.dic": CLEAN,
            "d/e.cif.gz": gzip.compress(CLEAN.encode()),
            "d/f.mmCIF.GZ": gzip.compress(CLEAN.encode()),
            "d/g.dic.gz": gzip.compress(CLEAN.encode()),
            "d/notes.txt": BROKEN,
            "d/notes.txt.gz": gzip.compress(BROKEN.encode()),
            "d/.git/x.cif": BROKEN,
        },
    )
    result = tessrin("check", "--json", "d", "d/c.dic", cwd=tmp_path)
    paths = [json.loads(line)["path"] for line in result.stdout.splitlines()]
    assert paths == [
        "d/a/z.mmCIF", "d/b.CIF", "d/c.dic", "d/e.cif.gz", "d/f.mmCIF.GZ", "d/g.dic.gz"
    ]  # fmt: skip
    assert result.returncode == 0


@pytest.mark.parametrize(
    "args",
    [
        ["check"],
        ["check", "--json"],
        ["show"],
        ["show", "--blocks"],
        ["convert", "--to", "jsonl"],
        ["convert", "--to", "arrow", "--layout", "batches"],
        ["convert", "--to", "parquet", "--encoding", "utf-8"],
        ["convert", "--to", "cif"],
    ],
)
def test_gzip_inputs_read_as_the_text_they_hold(tmp_path, args):
    # By their first bytes, whatever the name; diagnostics and positions are the text's, and
    # outputs are named as for the plain file.
    packed = gzip.compress(BROKEN.encode())
    write(tmp_path, {"p/b.cif": BROKEN, "g/b.cif.gz": packed, "n/b.cif": packed,
                     "cut.cif.gz": packed[:-12]})
    runs = []
    for path in ("p/b.cif", "g/b.cif.gz", "n/b.cif"):
        out = ["-o", "out"] if args[0] == "convert" else []
        shutil.rmtree(tmp_path / "out", ignore_errors=True)
        result = tessrin(*args, path, *out, cwd=tmp_path)
        written = {p.name: p.read_text("latin-1").replace(path, "IN")
                   for p in (tmp_path / out[1]).iterdir()} if out else {}
        runs.append((result.returncode, result.stdout.replace(path, "IN"), written))
    assert runs[0][0] in (0, 1) and runs[0][1]
    assert runs[1] == runs[0] and runs[2] == runs[0]
    out = ["-o", "out-cut"] if args[0] == "convert" else []
    result = tessrin(*args, "cut.cif.gz", *out, cwd=tmp_path)
    assert result.returncode == 2
    said = json.loads(result.stdout)["unreadable"] if "--json" in args else result.stderr
    assert "truncated or corrupt gzip data: Compressed file ended" in said
    assert "--json" in args or "cut.cif.gz: cannot read: truncated" in said


@pytest.mark.parametrize("args", [["check"], ["check", "--json"], ["convert", "--to", "jsonl"]])
def test_parallel_output_matches_serial(tmp_path, args):
    write(tmp_path, {f"f{i}.cif": [CLEAN, BROKEN, CIF2][i % 3] for i in range(7)})
    write(tmp_path, {"bad.cif": NOT_UTF8})
    runs = []
    for jobs in ("1", "2"):
        out = ["-o", f"out{jobs}"] if args[0] == "convert" else []
        result = tessrin(*args, *out, "-j", jobs, ".", "missing.cif", cwd=tmp_path)
        runs.append((result.returncode, result.stdout.replace(f"out{jobs}", "OUT"), result.stderr))
    assert runs[0][0] == 2 and runs[0][1]
    assert runs[1] == runs[0]


def _batches_by_name(directory, suffix):
    read = {
        ".parquet": lambda p: pq.read_table(p),
        ".arrow": lambda p: pa.ipc.open_file(p).read_all(),
    }[suffix]
    return {p.name: read(p) for p in sorted(directory.iterdir()) if p.suffix == suffix}


@pytest.mark.parametrize("fmt", ["parquet", "arrow"])
def test_convert_round_trip(tmp_path, fmt):
    samples = {"dup": DUPLICATES, "two": CIF2, "broken": BROKEN}
    write(tmp_path, {f"{name}.cif": text for name, text in samples.items()})
    inputs = [f"{name}.cif" for name in samples]
    result = tessrin(
        "convert", *inputs, "--to", fmt, "--layout", "batches", "-o", "out", cwd=tmp_path
    )
    assert result.returncode == 0, result.stderr
    for name in samples:
        batches, errors = tessrin_core.parse_arrow_file(str(tmp_path / f"{name}.cif"))
        tables = _batches_by_name(tmp_path / "out" / name, f".{fmt}")
        assert len(tables) == len(batches)
        unmatched = list(tables.values())
        for batch in batches:
            expected = pa.Table.from_batches([batch])
            unmatched.remove(next(t for t in unmatched if t.equals(expected)))
        diagnostics = (tmp_path / "out" / name / "diagnostics.jsonl").read_text(encoding="utf-8")
        assert [json.loads(line) for line in diagnostics.splitlines()] == errors
    # Block index and frame index keep names apart when block names repeat.
    assert set(_batches_by_name(tmp_path / "out/dup", f".{fmt}")) == {
        f"0_d-scalars.{fmt}",
        f"0_d-loop_0.{fmt}",
        f"1_d-scalars.{fmt}",
        f"1_d-save0_f-scalars.{fmt}",
    }


def test_convert_jsonl_decodes_containers(tmp_path):
    deep = "[" * 3000 + "x" + "]" * 3000  # deeper than Python's json can decode
    write(
        tmp_path,
        {
            "a/in.cif": CIF2,
            "b/in.cif": DUPLICATES,
            "deep.cif": f"#\\#CIF_2.0\ndata_deep\n_v {deep}\n",
        },
    )
    result = tessrin(
        "convert", "a/in.cif", "b/in.cif", "deep.cif", "--to", "jsonl", "-o", "out", cwd=tmp_path
    )
    assert result.returncode == 0, result.stderr
    (two,) = map(json.loads, (tmp_path / "out/in/blocks.jsonl").read_text().splitlines())
    assert two["block"] == "two"
    assert two["tags"]["_cell.angles"] == {"alpha": "90", "beta": ["101.5", "0.2"]}
    assert two["tags"]["_dataset.title"] == "room temperature"
    assert two["loops"] == [{"_p.id": ["A", "B"], "_p.xyz": [["0", "0", "0"], ["1", "1", "1"]]}]
    assert two["save_frames"][0]["frame"] == "frame-1"
    assert two["save_frames"][0]["tags"] == {"_s.note": "in a frame"}
    blocks = [json.loads(line) for line in (tmp_path / "out/in-2/blocks.jsonl").open()]
    assert [(b["block_index"], b["block"]) for b in blocks] == [(0, "d"), (1, "d")]
    deep_json = deep.replace("x", '"x"')
    assert f'"_v": {deep_json}' in (tmp_path / "out/deep/blocks.jsonl").read_text()


def test_convert_reports_unreadable_and_converts_the_rest(tmp_path):
    write(tmp_path, {"x.cif": NOT_UTF8, "a.cif": CLEAN})
    result = tessrin("convert", "x.cif", "a.cif", "--to", "parquet", "-o", "out", cwd=tmp_path)
    assert result.returncode == 2
    assert "x.cif: cannot read: not UTF-8 text: byte 0xE9 at line 2, column 7" in result.stderr
    assert _batches_by_name(tmp_path / "out/a", ".parquet")


def test_show(tmp_path):
    long_title = "a very long title " * 10
    write(tmp_path, {"a.cif": CIF2.replace("room temperature", long_title)})
    result = tessrin("show", "a.cif", "--blocks", "--rows", "1", cwd=tmp_path)
    assert result.returncode == 0
    out = result.stdout
    assert out.startswith("a.cif: CIF 2.0, 1 block, 0 diagnostics")
    for expected in [
        "data_two",
        "save_frame-1",
        "_s.note",
        "in a frame",
        "{'alpha':90 'beta':[101.5 0.2]}",
        "loop 0: 2 tags, 2 rows",
        "_p.id _p.xyz",
        "[0 0 0]",
    ]:
        assert expected in out
    assert "[1 1 1]" not in out  # --rows 1
    assert "a very long title a very" in out and long_title.strip() not in out
    assert all(line == line.rstrip() for line in out.splitlines())


WIDE = (
    "data_w\n" + "".join(f"_one.item_{i} value_{i}\n" for i in range(12))
    + "loop_\n" + "".join(f"_many.column_{i}\n" for i in range(9))
    + "".join(" ".join(f"row{r}_column{i}" for i in range(9)) + "\n" for r in range(3))
)


@pytest.mark.parametrize("blocks", [[], ["--blocks"]])
def test_show_says_truthfully_what_it_left_out(tmp_path, blocks):
    write(tmp_path, {"w.cif": WIDE, "s.cif": "data_s\n" + "stray\n" * 11})
    out = tessrin("show", "w.cif", "--rows", "2", *blocks, cwd=tmp_path).stdout
    # The one-row category has every item on a line of its own.
    for i in range(12):
        assert (f"_one.item_{i}" if blocks else f"item_{i}: value_{i}") in out
    assert "… and 1 more row (--rows 3 shows them all)" in out
    assert "more columns (a wider terminal shows more, e.g. COLUMNS=200)" in out
    wide = tessrin("show", "w.cif", "--rows", "3", *blocks, cwd=tmp_path, env={"COLUMNS": "400"})
    assert "row2_column8" in wide.stdout and "… and" not in wide.stdout
    out = tessrin("show", "s.cif", *blocks, cwd=tmp_path).stdout
    assert "  … and 1 more diagnostic: tessrin check s.cif lists them" in out
    listed = tessrin("check", "--no-conformance", "s.cif", cwd=tmp_path).stdout.splitlines()
    assert len(listed) == 11 + 1


def test_archive_summary_counts_in_words(tmp_path):
    write(tmp_path, {"d/a.cif": "data_a\n_one.x 1\n_two.y\n"})  # a tag without a value
    result = tessrin("convert", "d", "--to", "parquet", "-o", "out", "-j", "1", cwd=tmp_path)
    assert re.match(r"1 file \(.*\) -> 2 rows in 2 datasets in .*; 0 errors, 1 diagnostic, "
                    r"0 parts widened;", result.stdout), result.stdout


def test_show_lists_diagnostics(tmp_path):
    write(tmp_path, {"b.cif": BROKEN})
    result = tessrin("show", "b.cif", cwd=tmp_path)
    errors = tessrin_core.parse_raw(BROKEN)["errors"]
    assert f"1 block, {len(errors)} diagnostics" in result.stdout
    assert sum(bool(DIAGNOSTIC.match(line.strip())) for line in result.stdout.splitlines()) == len(
        errors
    )


@pytest.mark.parametrize(
    "args",
    [
        [],
        ["check"],
        ["check", "-j", "0", "a.cif"],
        ["convert", "a.cif", "--to", "csv", "-o", "out"],
        ["convert", "a.cif", "--to", "jsonl"],
        ["convert", "a.cif", "--to", "jsonl", "-o", "a.cif"],
        ["convert", "a.cif", "--to", "jsonl", "-o", "out", "--resume"],
        ["show", "."],
        ["show", "missing.cif"],
        ["convert", "a.cif", "--to", "jsonl", "-o", "out", "--encoding", "no-such-codec"],
        ["check", "--select", "no-such-rule", "a.cif"],
    ],
)
def test_usage_errors_and_bad_input(tmp_path, args):
    write(tmp_path, {"a.cif": CLEAN, "x.cif": NOT_UTF8})
    result = tessrin(*args, cwd=tmp_path)
    assert result.returncode == 2
    assert result.stderr.strip() and not result.stdout


def test_version_is_the_one_pyproject_declares(tmp_path):
    import tomllib
    from pathlib import Path

    import tessrin as package

    pyproject = Path(__file__).resolve().parents[1] / "pyproject.toml"
    declared = tomllib.loads(pyproject.read_text())["project"]["version"]
    result = tessrin("--version", cwd=tmp_path)
    assert (result.returncode, result.stdout) == (0, f"tessrin {declared}\n")
    assert package.__version__ == declared


NON_ASCII = "data_g\n_a.t '\u00b0\u00c5 \u5143'\n_a.u '\u00b0'\n"
# A name given twice (a tag, a block, a frame): the core says so without a position.
TWICE = "data_x\n_a 1\n_A 2\n\x01bad\ndata_X\nsave_f\n_c 1\nsave_\nsave_f\n_c 2\nsave_\n"


def test_check_shows_each_problem_once(tmp_path):
    write(tmp_path, {"b.cif": BROKEN, "x.cif": NOT_UTF8, "g.cif": NON_ASCII, "d.cif": TWICE})
    result = tessrin("check", "-j", "1", "b.cif", "x.cif", "g.cif", "d.cif", cwd=tmp_path)
    *lines, summary = result.stdout.splitlines()
    assert result.returncode == 1
    # A diagnostic at a finding's line and column is the finding's line of the same text,
    # with its action; one without a position is the finding of the same meaning; the
    # per-character diagnostics of one line are one line with their count.
    assert lines == [
        (
            "b.cif:2:20: error[value-without-tag]: value with no data name (quote values that "
            "hold spaces) [attached to _tessrin_error_value]"
        ),
        (
            "b.cif:3:1: error[loop-count-mismatch]: loop of 2 data names has 3 values, not a "
            "multiple of 2 [padded 1 placeholder(s)]"
        ),
        "x.cif:2:7: error[encoding]: byte 0xE9 is not UTF-8 (read as U+FFFD); CIF 1.1 is ASCII",
        (
            "g.cif:2:7: error[char-non-ascii]: character U+00B0 is not ASCII; CIF 1.1 allows other "
            "characters only through its backslash escapes (and 2 more characters on this line) "
            "[lexer recovery]"
        ),
        (
            "g.cif:3:7: error[char-non-ascii]: character U+00B0 is not ASCII; CIF 1.1 allows other "
            "characters only through its backslash escapes [lexer recovery]"
        ),
        (
            "d.cif:3:1: error[duplicate-tag]: data name '_A' appears more than once in this data "
            "block [kept every value of the tag as one list; 0 values not kept]"
        ),
        (
            "d.cif:4:1: error[value-without-tag]: value with no data name (quote values that hold "
            "spaces) [attached to _tessrin_error_value]"
        ),
        (
            "d.cif:4:1: error[char-control]: control character U+0001 is not allowed in CIF (only "
            "tab, line feed and carriage return are)"
        ),
        (
            "d.cif:5:1: error[duplicate-block-code]: block code 'X' appears more than once in this "
            "file [duplicate block stored with distinct internal id]"
        ),
        (
            "d.cif:9:1: error[duplicate-frame-code]: frame code 'f' appears more than once in this "
            "data block [duplicate save frame stored with distinct internal id]"
        ),
    ]
    assert summary.startswith("4 files (0 clean), 10 diagnostics (4 lexical, 2 syntactic, ")
    assert summary.endswith("10 findings (1 char-control, 2 char-non-ascii, 1 "
                            "duplicate-block-code, 1 duplicate-frame-code, 1 duplicate-tag, "
                            "1 encoding, 1 loop-count-mismatch, 2 value-without-tag)")
    # --json keeps every record.
    result = tessrin("check", "--json", "g.cif", cwd=tmp_path)
    assert len(json.loads(result.stdout)["errors"]) == 4
    # --select, --ignore and --json carry the same findings, filtered.
    result = tessrin("check", "--json", "--ignore", "encoding", "--select",
                     "encoding,loop-count-mismatch", "b.cif", "x.cif", cwd=tmp_path)
    rules = [[f["rule"] for f in json.loads(line)["conformance"]] for line in result.stdout.splitlines()]
    assert rules == [["loop-count-mismatch"], []]
    assert json.loads(result.stdout.splitlines()[0])["errors"]
    # Warnings alone (a recommendation) do not fail the check.
    write(tmp_path, {"a.cif": CLEAN})
    result = tessrin("check", "--select", "all", "a.cif", cwd=tmp_path)
    assert result.returncode == 0 and "warning[version-comment-missing]" in result.stdout
    assert result.stdout.splitlines()[-1].startswith("1 file (1 clean), 0 diagnostics")


def test_show_warns_and_convert_refuses_text_that_is_not_utf8(tmp_path):
    write(tmp_path, {"x.cif": NOT_UTF8})
    result = tessrin("show", "x.cif", cwd=tmp_path)
    assert result.returncode == 0
    assert result.stdout.startswith("x.cif: warning: not UTF-8 text: byte 0xE9 at line 2, column 7")
    result = tessrin("convert", "x.cif", "--to", "jsonl", "-o", "out", cwd=tmp_path)
    assert result.returncode == 2 and "--encoding NAME" in result.stderr
    result = tessrin("convert", "x.cif", "--to", "jsonl", "-o", "out", "--encoding", "cp1252",
                     cwd=tmp_path)
    assert result.returncode == 0
    assert json.loads((tmp_path / "out/blocks.jsonl").read_text())["tags"] == {"_a": "caf\u00e9"}


@pytest.mark.parametrize("command", ["check", "convert"])
@pytest.mark.parametrize("fault", ["one file", "internal"])
@pytest.mark.parametrize("debug", [False, True])
def test_faults_never_end_in_a_bare_traceback(tmp_path, monkeypatch, capsys, command, fault, debug):
    from tessrin import _report, cli

    write(tmp_path, {"a.cif": BROKEN, "boom.cif": "data_boom\n"})
    monkeypatch.chdir(tmp_path)
    name = "diagnostics" if command == "check" else "parse_arrow_file"
    real = getattr(tessrin_core, name)

    def failing(source, *args):
        if "boom" in source:
            raise ValueError("column over 2 GiB")
        return real(source, *args)

    if fault == "one file":
        monkeypatch.setattr(tessrin_core, name, failing)
    else:
        monkeypatch.setattr(_report, "plural", None)  # both commands summarise with it
    extra = ["--to", "jsonl", "-o", "out"] if command == "convert" else []
    status = cli.main([command, "-j", "1", "boom.cif", "a.cif", *extra, *["--debug"][:debug]])
    out, err = capsys.readouterr()
    assert ("Traceback" in err) == debug
    if fault == "one file":
        assert status == 2 and "boom.cif: error: column over 2 GiB" in err.splitlines()
        assert "a.cif" in out
    else:
        assert status == 3 and "tessrin: internal error: " in err
