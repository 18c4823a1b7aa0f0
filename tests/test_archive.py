"""`tessrin convert DIR --to parquet`: one dataset per category over a copy of a corpus subset,
through the local engine and a Dask cluster, with lost workers, interruption and resuming."""

import gzip
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from conftest import CORPUS, UNDER_ASAN, tessrin_core
from tessrin.cli import main
from tessrin.convert import parts as _parts

duckdb = pytest.importorskip("duckdb")
pytestmark = pytest.mark.skipif(
    not hasattr(tessrin_core, "parse_tables"), reason="needs parse_tables"
)
# Under the sanitizer every worker process carries its runtime: the cluster tests would take
# most of that run's time and exercise only Python.
needs_cluster = pytest.mark.skipif(UNDER_ASAN, reason="worker processes under ASan are slow")

TASK_MB = "1"  # small tasks: a few dozen files make several tasks, so several parts
WIDENED = {"w1.cif": "1", "w2.cif": "1.5", "w3.cif": "abc"}  # `_w.x` int, float, text
HOSTILE = "data_h\n_../../escape.x 1\n_a/b.y 2\n_A/B.y 3\n__diagnostics.z 4\n_\u00e9t\u00e9.q 5\n"


@pytest.fixture(scope="module")
def archive(tmp_path_factory):
    """A few dozen real files in nested directories, every third gzipped, plus a file that
    cannot be read, a truncated gzip, a file named .gz that holds plain text, and small made-up
    files."""
    if not CORPUS.is_dir():
        pytest.skip("needs ../shared/corpus")
    root = tmp_path_factory.mktemp("archive") / "in"
    mmcif = sorted((CORPUS / "mmcif-big/medium/biopython").glob("*.cif"))
    picks = sorted(mmcif, key=lambda p: p.stat().st_size)[:8]
    picks += sorted((CORPUS / "cif1-real/cod-tools-tests").rglob("*.cif"))[:20]
    for i, source in enumerate(picks):
        target = root / source.parent.name / source.name
        target.parent.mkdir(parents=True, exist_ok=True)
        if i % 3 == 0:
            target = target.with_name(target.name + ".gz")
            target.write_bytes(gzip.compress(source.read_bytes()))
        else:
            shutil.copyfile(source, target)
    bad = root / "bad"
    bad.mkdir()
    (bad / "gone.cif").symlink_to(root / "missing")
    packed = gzip.compress(picks[0].read_bytes())
    (bad / "cut.cif.gz").write_bytes(packed[: len(packed) // 2])
    (bad / "plain.cif.gz").write_bytes(picks[1].read_bytes()[:500])
    for name, value in WIDENED.items():
        (root / "w" / name).parent.mkdir(exist_ok=True)
        (root / "w" / name).write_text(f"data_{name[:2]}\n_w.x {value}\n" + "#" * 2_000_000)
    (root / "hostile.cif").write_text(HOSTILE)
    (root / "broken.cif").write_text("data_x\n_b.y 1 2\nloop_\n_b.z\n")  # two diagnostics
    return root


def convert(*args) -> int:
    return main(["convert", *map(str, args), "--to", "parquet", "--task-size", TASK_MB])


def datasets(out) -> dict:
    """Every dataset's rows, read by DuckDB and sorted; each dataset must have one schema."""
    found = {}
    db = duckdb.connect()  # its own: other tests may leave the default one mid-result
    for directory in _parts.dataset_dirs(str(out)):
        # One set of columns and types (a part's marks of columns without values aside).
        schemas = {pq.read_schema(p).to_string(show_field_metadata=False,
                                               show_schema_metadata=False)
                   for p in _parts_of(directory)}
        assert len(schemas) == 1, directory
        rows = db.sql(f"select * from read_parquet('{directory}/*.parquet')").fetchall()
        found[os.path.basename(directory)] = sorted(rows, key=repr)
    return found


def _parts_of(directory):
    return [os.path.join(directory, n) for n in os.listdir(directory) if _parts.part_key(n)]


def manifest(out) -> dict:
    table = pq.read_table(out / "_files.parquet")
    return {row["file"]: row for row in table.to_pylist()}


@pytest.fixture(scope="module")
def reference(archive, tmp_path_factory):
    out = tmp_path_factory.mktemp("reference") / "out"
    assert convert(archive, "-o", out, "-j", "2") == 2  # the two inputs that cannot be read
    return out, datasets(out), manifest(out)


def test_datasets_manifest_and_diagnostics(archive, reference):
    out, found, files = reference
    errors = {name: row["error"] for name, row in files.items() if row["status"] == "error"}
    # A file named .gz that holds plain text is read as the text it is.
    assert set(errors) == {"bad/gone.cif", "bad/cut.cif.gz"}
    assert "truncated or corrupt gzip data" in errors["bad/cut.cif.gz"]
    # Every row the parser gives for a file is in the datasets, once.
    per_file = {}
    for name, rows in found.items():
        if name != _parts.DIAGNOSTICS_DIR:
            for row in rows:
                per_file[row[0]] = per_file.get(row[0], 0) + 1
    assert per_file == {n: r["rows"] for n, r in files.items() if r["status"] == "ok"}
    diagnostics = [row[0] for row in found[_parts.DIAGNOSTICS_DIR]]
    assert {n: diagnostics.count(n) for n in diagnostics} == {
        n: r["diagnostics"] for n, r in files.items() if r["diagnostics"]
    }
    assert files["broken.cif"]["diagnostics"] == 2
    # Parts from three tasks widened to one type: int64, float64, string -> string.
    assert sorted(row[3] for row in found["w"]) == sorted(WIDENED.values())
    # Hostile category names stay inside OUT and apart from each other and the manifest.
    hostile = {name for name, rows in found.items() if any(r[0] == "hostile.cif" for r in rows)}
    tables, _ = tessrin_core.parse_tables(HOSTILE)
    assert len(tables) == 4 and hostile - {_parts.DIAGNOSTICS_DIR} == set(
        map(_parts.dataset_name, tables)
    )
    assert all(re.fullmatch(r"[a-z0-9_]+|[a-z0-9_]*-[0-9a-f]{8}", name) for name in found)
    assert os.listdir(out.parent) == ["out"]


@pytest.mark.parametrize(
    "names",
    [("../..", "..", ".", ""), ("a/b", "a\\b", "a_b", "A_B"), ("_diagnostics", "\x00\n", "é" * 300)],
)
def test_dataset_names_are_safe_and_distinct(names):
    made = [_parts.dataset_name(n) for n in names]
    assert all(m and "/" not in m and "\\" not in m and "." not in m for m in made)
    assert all(m.isascii() and m.isprintable() and len(m) < 100 for m in made)
    distinct = {n.lower() for n in names}
    assert len(set(made)) == len(distinct) and _parts.DIAGNOSTICS_DIR not in made


SAMPLES = {
    pa.int64(): pa.array([2**60 + 1, None]),
    pa.float64(): pa.array([1.5, None]),
    pa.null(): pa.nulls(1),
    pa.string(): pa.array(["v", None]),
    pa.dictionary(pa.int32(), pa.string()): pa.array(["v", "w"]).dictionary_encode(),
    pa.list_(pa.string()): pa.array([["v"], None]),
}


@pytest.mark.parametrize(
    "types, widened",
    [
        ((pa.int64(), pa.int64()), pa.int64()),
        ((pa.int64(), pa.float64()), pa.float64()),
        ((pa.null(), pa.int64()), pa.int64()),
        ((pa.float64(), pa.string()), pa.string()),
        ((pa.int64(), pa.dictionary(pa.int32(), pa.string())), pa.string()),
        ((pa.list_(pa.string()), pa.int64()), pa.string()),
    ],
)
def test_widening_keeps_every_value(types, widened):
    tables = []
    for name, t in zip(["X", "x"], types):
        column = SAMPLES[t]
        n = len(column)
        tables.append(pa.table({"block": ["b"] * n, "frame": pa.nulls(n, pa.string()), name: column}))
    merged = _parts.merge([_parts.with_file(t, "f") for t in tables])
    assert merged.schema.names == ["file", "block", "frame", "X"]  # spelled as first seen
    assert merged.schema.field("X").type == widened
    kept = sum(len(t) - t.column(2).null_count for t in tables)
    assert merged.num_rows == sum(len(t) for t in tables)
    assert len(merged) - merged.column("X").null_count == kept


PAD = "#" * 1_200_000  # over one MB: with --task-size 1, a task per file
# `_v.x` of each file: the dataset's type, and what it holds per file.
REPRESENTATIONS = [
    ({"a": ["4.040"], "b": ["5.1x"]}, pa.string(), {"a": ["4.040"], "b": ["5.1x"]}),
    ({"a": ["0433", "12"], "b": ["A1"]}, pa.string(), {"a": ["0433", "12"], "b": ["A1"]}),
    ({"a": ["1", "-2"], "b": ["2.50"]}, pa.float64(), {"a": [1.0, -2.0], "b": [2.5]}),
    ({"a": ["1", "+2"], "b": ["2.50"]}, pa.string(), {"a": ["1", "+2"], "b": ["2.50"]}),
    ({"a": ["?", "."], "b": ["2.5"]}, pa.float64(), {"a": [None, None], "b": [2.5]}),
    ({"a": ["?", "."], "b": ["A"]}, pa.string(), {"a": ["?", "."], "b": ["A"]}),
    ({"a": ["0.10", "."], "b": ["?", "A"]}, pa.string(), {"a": ["0.10", "."], "b": ["?", "A"]}),
    ({"a": ["?"], "b": ["."]}, pa.string(), {"a": ["?"], "b": ["."]}),
    ({"a": ["?"], "b": ["1.0.6"], "c": ["2.50"]}, pa.string(),
     {"a": ["?"], "b": ["1.0.6"], "c": ["2.50"]}),
    ({"a": ["1.5(2)"], "b": ["abc"]}, pa.string(), {"a": ["1.5(2)"], "b": ["abc"]}),
]


@pytest.mark.parametrize("how", ["one task", "the last in a task of its own",
                                 "the last added by --resume"])
@pytest.mark.parametrize("given, kind, expected", REPRESENTATIONS)
def test_the_dataset_type_decides_what_every_file_holds(tmp_path, how, given, kind, expected):
    """A column widened to text holds each file's text as written (not numbers rendered), and
    `?` and `.` are that text in a text column and null in a numeric one, whatever each file's
    own values made of them; `?` and `.` alone do not make a column text. Whether the column
    was widened within a task, by the first pass or at the end (a part kept by --resume). The
    text keeps its uncertainty: no other column holds one (`x_su`) for the file."""
    root = tmp_path / "in"
    root.mkdir()
    out = tmp_path / "out"
    size = "1000" if how == "one task" else "1"
    *first, last = sorted(given)

    def write(name):
        pad = "" if how == "one task" or name != last else PAD
        (root / f"{name}.cif").write_text(f"data_{name}\nloop_ _v.x\n" + "\n".join(given[name])
                                          + "\n" + pad)

    def run(*more):
        return main(["convert", str(root), "--to", "parquet", "-o", str(out), "-j", "1",
                     "--task-size", size, *more])

    for name in first:
        write(name)
    if how == "the last added by --resume":
        assert run() == 0
    write(last)
    assert run(*(["--resume"] if how == "the last added by --resume" else [])) == 0
    table = pq.read_table(out / "v")
    assert table.schema.field("x").type == kind
    found = {}
    for file, x in zip(table.column("file").to_pylist(), table.column("x").to_pylist()):
        found.setdefault(file[0], []).append(x)
    assert found == expected
    others = [c for c in table.column_names if c not in ("file", "block", "frame", "x")]
    assert [table.column(c).null_count for c in others] == [table.num_rows] * len(others)


def test_a_file_that_cannot_be_read_again_as_text_is_an_error(tmp_path, monkeypatch):
    """Its numbers would stand rendered in a text column: the file is left out and named."""
    from tessrin.convert import archive as _archive

    parse = _archive._parse

    def failing(path, task):
        if task.options.types == "text":
            raise _archive._Unreadable("cannot read: gone")
        return parse(path, task)

    monkeypatch.setattr(_archive, "_parse", failing)
    root = tmp_path / "in"
    root.mkdir()
    (root / "a.cif").write_text("data_a\n_v.x 4.040\n")
    (root / "b.cif").write_text("data_b\n_v.x abc\n")
    assert main(["convert", str(root), "--to", "parquet", "-o", str(tmp_path / "out"),
                 "-j", "1"]) == 2
    manifest = {r["file"]: r for r in pq.read_table(tmp_path / "out" / _parts.MANIFEST).to_pylist()}
    assert manifest["a.cif"]["status"] == "error"
    assert "read again as text" in manifest["a.cif"]["error"]
    assert pq.read_table(tmp_path / "out" / "v").column("x").to_pylist() == ["abc"]


# Archive paths and their text; every block is named `xxxx`, as in assembly files.
STRUCTURES = {
    "1fez.cif": "data_xxxx\n_cell.length_a 4.040\nloop_ _atom.id _atom.file 1 a 2 b\n",
    "or/2or2.cif.gz": "data_xxxx\n_cell.length_a 5\n_cell.note '\u00c5ngstr\u00f6m'\n",
    "or/6yl5.dic": "data_xxxx\nloop_ _atom.id 7 8 9\ndata_yyyy\n_cell.length_a 1.5\n"
                   "data_zzzz\n_atom.id 10\n",  # blocks in an order no category gives
    "empty.cif": "# no data block\n",
}


@pytest.mark.parametrize("version, failing, jobs", [(None, None, "1"),
                                                  ("1.1", "or/2or2.cif.gz", "2")])
def test_archive_back_to_cif_writes_each_input_apart(tmp_path, capsys, monkeypatch, version,
                                                    failing, jobs):
    """`convert --to cif` of an archive's datasets: one CIF per input at its path in the
    archive (`.gz` dropped, the suffix kept), holding that file's tables, in its blocks'
    order, and nothing of the others'; an input the version cannot hold fails, named, and the
    status says so. An archive made before block orders were recorded still converts."""
    root = tmp_path / "in"
    for name, text in STRUCTURES.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        data = text.encode()
        (root / name).write_bytes(gzip.compress(data) if name.endswith(".gz") else data)
    from tessrin.convert import archive as _archive

    monkeypatch.setattr(_archive, "TASK_MB", 1e-6)  # a task per file: each written from its parts
    assert main(["convert", str(root), "--to", "parquet", "-o", str(tmp_path / "ds"),
                 "-j", "1"]) == 0
    assert len(list((tmp_path / "ds" / "cell").glob("part-*.parquet"))) == 3
    args = ["convert", str(tmp_path / "ds"), "--to", "cif", "-j", jobs, "-o",
            str(tmp_path / "back")]
    assert main(args + (["--cif-version", version] if version else [])) == (2 if failing else 0)
    out, err = capsys.readouterr()
    written = {p.relative_to(tmp_path / "back").as_posix()
               for p in (tmp_path / "back").rglob("*") if p.is_file()}
    expected = {n.removesuffix(".gz"): n for n in STRUCTURES if n != failing}
    assert written == set(expected)
    assert f"{len(expected)} cif files" in out
    assert (failing in err) if failing else not err
    for path, name in expected.items():
        back, errors = tessrin_core.parse_tables((tmp_path / "back" / path).read_text())
        source, _ = tessrin_core.parse_tables(STRUCTURES[name])
        assert errors == []
        assert {c: t.to_pylist() for c, t in back.items()} == {
            c: t.to_pylist() for c, t in source.items()
        }
        blocks = [[b["name"] for b in tessrin_core.parse_raw(text)["blocks"]]
                  for text in ((tmp_path / "back" / path).read_text(), STRUCTURES[name])]
        assert blocks[0] == blocks[1]
    manifest = tmp_path / "ds" / _parts.MANIFEST
    pq.write_table(pq.read_table(manifest).drop_columns(["blocks"]), manifest)
    assert main(args[:-1] + [str(tmp_path / "old")] + (["--cif-version", version] if version
                                                        else [])) == (2 if failing else 0)
    assert {p.relative_to(tmp_path / "old").as_posix()
            for p in (tmp_path / "old").rglob("*") if p.is_file()} == set(expected)


@pytest.mark.parametrize("files, paths", [
    (["A.cif", "a.cif", "b.CIF.GZ"], ["A.cif", "a-2.cif", "b.CIF"]),  # apart without case too
    (["x.cif.gz", "x.cif", "../up"], ["x.cif", "x-2.cif", "__/up.cif"]),
    (["x", "X.cif/y.cif"], ["x-2.cif", "X.cif/y.cif"]),  # not a directory's name, in any case
])
def test_mirrored_paths_are_safe_and_distinct(files, paths):
    from tessrin.convert.to_cif import mirrored_paths

    assert list(mirrored_paths(files).values()) == paths


@pytest.mark.parametrize(
    "roots, files",
    [
        (["dA"], ["x.cif"]),
        (["dA", "dB"], ["dA/x.cif", "dB/x.cif"]),
        (["a/data", "b/data"], ["a/data/x.cif", "b/data/x.cif"]),
        (["dA", "x.cif", "dA/x.cif"], ["dA/x.cif", "x.cif"]),  # the same file once
    ],
)
def test_several_paths_never_give_two_inputs_one_file_name(tmp_path, monkeypatch, roots, files):
    monkeypatch.chdir(tmp_path)
    for root in roots:
        target = pathlib.Path(root if root.endswith(".cif") else f"{root}/x.cif")
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(f"data_x\n_v.root '{root}'\n")
    assert main(["convert", *roots, "--to", "parquet", "--dataset", "-o", "out", "-j", "1"]) == 0
    table = pq.read_table("out/v").sort_by("file")
    assert table.column("file").to_pylist() == files
    assert main(["convert", "out", "--to", "cif", "-o", "back"]) == 0
    for file in files:
        assert tessrin_core.parse_tables(pathlib.Path("back", file).read_text())[0]["v"].num_rows == 1


@pytest.mark.parametrize(
    "to, encoding, status, said",
    [
        ("cif", "cp1252", 0, "1 cif file"),
        ("cif", None, 2, "not UTF-8"),
        ("jsonl", "cp1252", 0, "1 jsonl file"),  # blocks.jsonl; diagnostics.jsonl is not data
    ],
)
def test_single_file_convert_options(tmp_path, capsys, to, encoding, status, said):
    source = tmp_path / "e.cif"
    source.write_bytes("#\\#CIF_2.0\ndata_e\n_e.name 'Caf\u00e9'\n".encode("cp1252"))
    more = ["--encoding", encoding] if encoding else []
    assert main(["convert", str(source), "--to", to, "-o", str(tmp_path / "out"), *more]) == status
    out, err = capsys.readouterr()
    assert said in out + err
    if status == 0:
        written = (tmp_path / "out" / ("e.cif" if to == "cif" else "blocks.jsonl")).read_text()
        assert "Caf\u00e9" in written


def _later(path, seconds=5):
    st = path.stat()
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + seconds * 10**9))


# What changes between a run and its --resume, the task size, and the counts said then.
RESUMES = [
    ("nothing", "1", "3 files already converted, 0 to go"),
    ("a rewritten at its size", "1", "2 files already converted, 1 to go"),
    ("a touched", "1", "2 files already converted, 1 to go"),
    ("b removed", "1", "2 files already converted, 0 to go"),
    ("a rewritten at its size", "1000", "0 files already converted, 3 to go"),  # one task
]


@pytest.mark.parametrize("change, size, said", RESUMES)
def test_resume_keeps_only_tasks_whose_inputs_are_unchanged(tmp_path, capsys, change, size, said):
    """--resume keeps a task only if each of its inputs has the size and modification time the
    manifest recorded (an error row too); any other change converts the task again, and a
    vanished input takes its rows with it."""
    root = tmp_path / "in"
    root.mkdir()
    values = {"a": "1", "b": "7"}
    for name, value in values.items():
        (root / f"{name}.cif").write_text(f"data_{name}\n_v.x {value}\n" + PAD)
    (root / "bad.cif").write_bytes(b"data_c\n_v.x '\xe9'\n" + PAD.encode())  # not UTF-8
    command = ["convert", str(root), "--to", "parquet", "-o", str(tmp_path / "out"), "-j", "1",
               "--task-size", size]
    assert main(command) == 2
    if change == "a rewritten at its size":
        values["a"] = "2"
        (root / "a.cif").write_text("data_a\n_v.x 2\n" + PAD)
        _later(root / "a.cif")
    elif change == "a touched":
        _later(root / "a.cif")
    elif change == "b removed":
        del values["b"]
        (root / "b.cif").unlink()
    capsys.readouterr()
    assert main(command + ["--resume"]) == 2  # the error row still speaks for the output
    assert said in capsys.readouterr().out
    table = pq.read_table(tmp_path / "out" / "v")
    found = dict(zip(table.column("file").to_pylist(), table.column("x").to_pylist()))
    assert found == {f"{name}.cif": int(value) for name, value in values.items()}
    assert sorted(manifest(tmp_path / "out")) == sorted([*found, "bad.cif"])


@needs_cluster
def test_local_cluster_gives_the_same_rows(archive, reference, tmp_path):
    out = tmp_path / "cluster"
    assert convert(archive, "-o", out, "-j", "2", "--scheduler", "local") == 2
    assert datasets(out) == reference[1]


@needs_cluster
def test_lost_worker_leaves_complete_datasets(archive, reference, tmp_path):
    from distributed import Client, LocalCluster

    out = tmp_path / "lost"
    with LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
    ) as cluster, Client(cluster) as client:
        pids = list(client.run(os.getpid).values())
        status = []
        run = threading.Thread(
            target=lambda: status.append(
                convert(archive, "-o", out, "--scheduler", cluster.scheduler_address)
            )
        )
        run.start()
        _wait_for_part(out, lambda: not run.is_alive())
        killed_mid_run = run.is_alive()
        os.kill(pids[0], signal.SIGKILL)
        run.join(timeout=300)
    assert killed_mid_run and status == [2]
    assert datasets(out) == reference[1]


def _wait_for_part(out, stop, tasks=1):
    """Until parts of `tasks` tasks exist (or `stop()`): a second task's part means the first
    task has finished."""
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and not stop():
        if out.is_dir():
            dirs = _parts.dataset_dirs(str(out))
            keys = {_parts.part_key(os.path.basename(p)) for d in dirs for p in _parts_of(d)}
            if len(keys) >= tasks:
                return
        time.sleep(0.02)


def test_resume_after_interrupt_converts_only_the_rest(archive, reference, tmp_path):
    out = tmp_path / "resumed"
    command = [sys.executable, "-m", "tessrin", "convert", str(archive), "--to", "parquet"]
    command += ["-o", str(out), "-j", "1", "--task-size", TASK_MB]
    first = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    _wait_for_part(out, lambda: first.poll() is not None)
    first.send_signal(signal.SIGINT)
    _, err = first.communicate(timeout=120)
    assert first.returncode == 130 and "--resume" in err
    # Whatever the interrupt left, the last task recorded is dropped from the manifest with
    # its parts kept, as if the run had been killed after the task wrote them.
    recorded = pq.read_table(out / "_files.parquet")
    rows = recorded.to_pylist()
    tasks = [t for t in dict.fromkeys(row["task"] for row in rows) if t]
    rows = [row for row in rows if not tasks or row["task"] != tasks[-1]]
    pq.write_table(pa.Table.from_pylist(rows, schema=recorded.schema), out / "_files.parquet")
    total = len(reference[2])
    second = subprocess.run(command + ["--resume"], capture_output=True, text=True, timeout=300,
                            check=False)
    assert second.returncode == 2, second.stderr
    # However far the first run got (one file, under a slow sanitizer build), counted in words.
    files = lambda n: f"{n:,} file{'' if n == 1 else 's'}"
    assert f"{files(len(rows))} already converted, {total - len(rows):,} to go" in second.stdout
    assert f"\n{files(total - len(rows))} (" in "\n" + second.stdout
    assert datasets(out) == reference[1]
    assert manifest(out).keys() == reference[2].keys()


def test_without_dask_and_with_out_inside_the_input(archive, tmp_path):
    # Local conversion must not need Dask; asking for a cluster says how to get it. An output
    # directory inside an input directory is not read back, even what looks like CIF there.
    shutil.copytree(archive / "w", tmp_path / "in")
    (tmp_path / "in/out").mkdir()
    (tmp_path / "in/out/stray.cif").write_text("data_stray\n_s.x 1\n")
    code = "import sys; sys.modules['distributed'] = None; from tessrin.cli import main; "
    code += "sys.exit(main(sys.argv[1:]))"
    base = [sys.executable, "-c", code, "convert", str(tmp_path / "in"), "--to", "parquet"]
    local = subprocess.run(base + ["-o", str(tmp_path / "in/out"), "-j", "1"], capture_output=True,
                           check=False)
    assert local.returncode == 0, local.stderr
    assert sorted(manifest(tmp_path / "in/out")) == sorted(WIDENED)
    cluster = subprocess.run(
        base + ["-o", str(tmp_path / "b"), "--scheduler", "tcp://127.0.0.1:1"],
        check=False,
        capture_output=True,
        text=True,
    )
    assert cluster.returncode == 2 and "pip install 'tessrin[dask]'" in cluster.stderr


@pytest.mark.parametrize("gzipped", [False, True])
def test_encoding_and_max_errors_reach_every_file(tmp_path, gzipped):
    # cp1252 text is an error row unless --encoding names it; --max-errors bounds each file's
    # diagnostics as in single-file convert.
    text = "data_e\n_e.name 'Caf\u00e9'\n" + "_e.x 1 2 3 4 5\n"  # four stray values
    data = text.encode("cp1252")
    (tmp_path / "in").mkdir()
    (tmp_path / "in" / ("e.cif.gz" if gzipped else "e.cif")).write_bytes(
        gzip.compress(data) if gzipped else data
    )
    assert convert(tmp_path / "in", "-o", tmp_path / "refused", "-j", "1") == 2
    [row] = manifest(tmp_path / "refused").values()
    assert row["status"] == "error" and "--encoding" in row["error"]
    out = tmp_path / "read"
    assert convert(tmp_path / "in", "-o", out, "-j", "1", "--encoding", "cp1252",
                   "--max-errors", "2") == 0
    [row] = manifest(out).values()
    assert row["status"] == "ok" and row["diagnostics"] == 3  # two, then the one that counts
    assert pq.read_table(out / "e").column("name").to_pylist() == ["Caf\u00e9"]


@pytest.mark.parametrize("inflater", ["isal", "standard library"])
def test_gzip_inputs_read_alike_with_either_inflater(tmp_path, monkeypatch, inflater):
    # ISA-L is used where installed; the standard library stands in elsewhere, and both must
    # read the same text and refuse the same broken files.
    if inflater == "standard library":
        import zlib

        from tessrin import _inflate

        monkeypatch.setattr(_inflate, "_gzip", gzip)
        monkeypatch.setattr(_inflate, "_inflate_error", zlib.error)
    else:
        pytest.importorskip("isal")
    packed = gzip.compress(b"data_g\nloop_ _g.x 1.5(2) 2.5 3.5\n")
    (tmp_path / "in").mkdir()
    (tmp_path / "in" / "ok.cif.gz").write_bytes(packed + packed)  # two gzip members
    (tmp_path / "in" / "cut.cif.gz").write_bytes(packed[:-12])
    (tmp_path / "in" / "bad.cif.gz").write_bytes(packed[:10] + b"\xff" * 40)
    assert convert(tmp_path / "in", "-o", tmp_path / "out", "-j", "1") == 2
    rows = manifest(tmp_path / "out")
    assert {n: r["status"] for n, r in rows.items()} == {
        "ok.cif.gz": "ok", "cut.cif.gz": "error", "bad.cif.gz": "error"
    }
    assert all("corrupt gzip data" in rows[n]["error"] for n in ("cut.cif.gz", "bad.cif.gz"))
    assert pq.read_table(tmp_path / "out" / "g").column("x").to_pylist() == [1.5, 2.5, 3.5] * 2


@pytest.mark.parametrize("large", [1 << 16, 2])  # pieces of 2 rows or more kept as chunks
def test_merge_keeps_row_order_and_fills_gaps(monkeypatch, large):
    # Neighbouring tables of one schema are joined, each column gets a null run per gap, and
    # the rows stay in the order the tables came (files in input order).
    monkeypatch.setattr(_parts, "LARGE_PIECE_ROWS", large)

    def table(**columns):
        n = len(next(iter(columns.values())))
        return pa.table({"block": ["b"] * n, "frame": pa.nulls(n, pa.string()), **columns})

    tables = [table(x=[1, 2]), table(x=[3]), table(y=["a"]), table(X=[4.5], y=["b"])]
    merged = _parts.merge([_parts.with_file(t, str(i)) for i, t in enumerate(tables)])
    assert merged.column("file").to_pylist() == ["0", "0", "1", "2", "3"]
    assert merged.column("x").to_pylist() == [1.0, 2.0, 3.0, None, 4.5]
    assert merged.column("y").to_pylist() == [None, None, None, "a", "b"]
    assert all(c.num_chunks == (1 if large > 2 else 2) for c in merged.columns)
