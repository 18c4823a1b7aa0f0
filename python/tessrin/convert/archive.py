"""`tessrin convert PATH... --to parquet -o OUT` over whole archives: one Parquet dataset per
category (`OUT/<category>/part-<task>.parquet`), a manifest of every input
(`OUT/_files.parquet`) and every diagnostic (`OUT/_diagnostics/`).

Inputs are grouped into tasks of about 64 MB of text. A task parses its files and writes its own
parts, named after its inputs, so a task run twice (a lost worker, a retry) replaces its parts
instead of adding rows; the driver only gathers manifest rows and schemas. A first pass
parses every task without writing, so that each part is written in its dataset's one schema;
a run ends by widening what still differs (parts of an earlier run, a task the first pass
lost), rewriting only those parts.
"""

from __future__ import annotations

import dataclasses
import errno
import hashlib
import itertools
import os
import sys
import time
import uuid

import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq
import tessrin_core

from tessrin._inflate import give_back, gunzip, is_gzip
from tessrin._report import plural
from tessrin._run import (
    CIF_SUFFIXES,
    ENCODING_HINT,
    LOOKED_FOR,
    Unreadable,
    decode_failure,
    native_read_reason,
    os_reason,
    read_bytes,
    utf8_reason,
)
from tessrin._write_tables import derived_su, merge_orders
from tessrin.convert import parts
from tessrin.convert.engines import EngineUnavailable, make_engine
from tessrin.convert.options import ConvertOptions
from tessrin.convert.parts import MANIFEST
from tessrin.convert.tables import CATEGORY_KEY

TASK_MB = 64
# A small archive is cut finer, so that every worker has several tasks to take.
TASKS_PER_WORKER = 4
WIDEN_CHUNKS = 4  # widening jobs per worker
# Compressed mmCIF is about a quarter of its text; tasks are sized by text, so a .gz counts
# this many times its size until it has been read.
GZIP_EXPANSION = 4
MANIFEST_EVERY = 10.0  # seconds between manifest writes while a run goes on
SHOWN_ERRORS = 20  # error lines printed before the rest are left to the manifest

MANIFEST_SCHEMA = pa.schema(
    [
        ("file", pa.string()),
        ("path", pa.string()),
        ("bytes", pa.int64()),
        ("mtime", pa.timestamp("ns", tz="UTC")),
        ("status", pa.string()),
        ("diagnostics", pa.int64()),
        ("error", pa.string()),
        ("text_bytes", pa.int64()),
        ("rows", pa.int64()),
        ("task", pa.string()),
        # The file's blocks in its order, where it has several (the datasets keep rows by
        # category, which cannot tell it); null for one block, and in archives made before.
        ("blocks", pa.list_(pa.string())),
    ]
)


@dataclasses.dataclass(frozen=True)
class Input:
    path: str  # where it is read
    file: str  # the path relative to the input root it was found under
    bytes: int | None  # None when the file cannot even be looked at
    mtime: int | None  # nanoseconds
    problem: str | None = None

    @property
    def estimate(self) -> int:
        size = self.bytes or 0
        return size * GZIP_EXPANSION if self.path.lower().endswith(".gz") else size


@dataclasses.dataclass(frozen=True)
class Task:
    key: str
    out: str
    inputs: tuple[Input, ...]
    options: ConvertOptions
    # The schema each of the task's datasets has in the whole run, when a first pass found it:
    # parts written in it need no rewriting at the end.
    targets: dict | None = None


# --- finding inputs ------------------------------------------------------------------------


def _stat(path: str, file: str) -> Input:
    try:
        st = os.stat(path)
    except OSError as error:
        return Input(path, file, None, None, f"cannot read: {os_reason(error)}")
    return Input(path, file, st.st_size, st.st_mtime_ns)


def root_names(roots: list[str]) -> list[str]:
    """The name of each input directory that its files' names start with when several paths
    are given: its own name, with as many of its parents as it takes to tell it from the
    others (`a/data` and `b/data`)."""
    steps = [os.path.abspath(root).strip(os.sep).split(os.sep) for root in roots]

    def tail(p: list[str], k: int) -> tuple[str, ...]:
        return tuple(p[-k:])

    names = []
    for i, p in enumerate(steps):
        k = 1
        while k < len(p) and any(
            tail(q, k) == tail(p, k) and q != p for j, q in enumerate(steps) if j != i
        ):
            k += 1
        names.append("/".join(tail(p, k)) or "root")
    return names


def find_inputs(paths, out: str) -> tuple[list[Input], list[str]]:
    """Every input with its name relative to its root, and complaints about arguments that
    gave none. Directories are searched recursively for CIF files and gzipped CIF files; the
    output directory, if it lies inside one, is never searched. With several paths, the files
    of a directory are named after it too (`dA/x.cif`, `dB/x.cif`), and a name that would
    still repeat is the file's absolute path: no two inputs share a `file`."""
    out_real = os.path.realpath(out)
    inputs: list[Input] = []
    problems: list[str] = []
    seen: set[str] = set()
    taken: set[str] = set()  # the `file` names given so far
    paths = list(paths)
    prefixes = dict(zip(paths, root_names(paths))) if len(paths) > 1 else {}

    def add(path: str, file: str) -> None:
        # Absolute: workers of a cluster do not share this process's working directory.
        key = os.path.realpath(path)
        if key not in seen:
            seen.add(key)
            if file in taken:
                file = os.path.abspath(path).replace(os.sep, "/")
            taken.add(file)
            inputs.append(_stat(os.path.abspath(path), file))

    for arg in paths:
        if not os.path.isdir(arg):
            add(arg, os.path.normpath(arg))
            continue
        prefix = prefixes[arg] + "/" if arg in prefixes else ""
        walk_errors: list[OSError] = []
        found = []
        for root, dirs, names in os.walk(arg, onerror=walk_errors.append):
            dirs[:] = sorted(
                d
                for d in dirs
                if not d.startswith(".") and os.path.realpath(os.path.join(root, d)) != out_real
            )
            found.extend(os.path.join(root, n) for n in names if n.lower().endswith(CIF_SUFFIXES))
        problems.extend(
            f"{e.filename}: cannot read directory: {os_reason(e)}" for e in walk_errors
        )
        if not found and not walk_errors:
            problems.append(f"{arg}: no CIF files found ({LOOKED_FOR})")
        for path in sorted(found, key=lambda p: p.split(os.sep)):
            add(path, prefix + os.path.relpath(path, arg).replace(os.sep, "/"))
    return inputs, problems


def make_tasks(
    inputs: list[Input], out: str, options: ConvertOptions, task_mb: float | None, workers: int
) -> list[Task]:
    """Consecutive inputs grouped into tasks of about `task_mb` MB of text each; by default
    64 MB, or less when that would leave workers without tasks."""
    if task_mb is None:
        spread = sum(item.estimate for item in inputs) / (TASKS_PER_WORKER * workers)
        limit = min(TASK_MB * 1e6, max(spread, 1e6))
    else:
        limit = task_mb * 1e6
    tasks: list[Task] = []
    group: list[Input] = []
    size = 0
    for item in inputs:
        if group and size + item.estimate > limit:
            tasks.append(_task(group, out, options))
            group, size = [], 0
        group.append(item)
        size += item.estimate
    if group:
        tasks.append(_task(group, out, options))
    return tasks


def _with_types(task: Task, types: str) -> Task:
    return dataclasses.replace(task, options=dataclasses.replace(task.options, types=types))


def _task_size(task: Task) -> int:
    return sum(item.estimate for item in task.inputs)


def _task(group: list[Input], out: str, options: ConvertOptions) -> Task:
    digest = hashlib.sha1()
    for item in group:
        digest.update(f"{item.path}\0{item.bytes}\0{item.mtime}\n".encode("utf-8", "surrogatepass"))
    return Task(digest.hexdigest()[:16], out, tuple(group), options)


# --- one task ------------------------------------------------------------------------------


class _Unreadable(Exception):
    pass


def _parse(path: str, task: Task) -> tuple[dict, list, int]:
    """(tables, diagnostics, bytes of text) of one input, gzipped or not (by its first bytes,
    whatever its name)."""
    options = task.options
    mode, types, max_errors, encoding = (
        options.mode, options.types, options.max_errors, options.encoding
    )
    try:
        gzipped = is_gzip(path)
    except OSError as error:
        raise _Unreadable(f"cannot read: {os_reason(error)}") from None
    if not gzipped and encoding is None:
        try:
            tables, errors = tessrin_core.parse_tables_file(path, mode, max_errors, types)
        except OSError as error:
            reason = native_read_reason(error)
            if error.errno == errno.EILSEQ:
                reason += ENCODING_HINT
            raise _Unreadable(f"cannot read: {reason}") from None
        return tables, errors, os.path.getsize(path)
    try:
        buffer, size = gunzip(path) if gzipped else _read(path)
    except OSError as error:
        raise _Unreadable(f"cannot read: {os_reason(error)}") from None
    with memoryview(buffer) as whole, whole[:size] as data:
        try:
            # UTF-8 is parsed in place; another encoding is decoded to a str first.
            if encoding is None:
                tables, errors = tessrin_core._parse_tables_bytes(data, mode, max_errors, types)
            else:
                text = str(data, encoding)
                tables, errors = tessrin_core.parse_tables(text, mode, max_errors, types)
        except UnicodeDecodeError as error:
            if encoding is None:
                reason = utf8_reason(bytes(data), error)
                raise _Unreadable(f"cannot read: {reason}{ENCODING_HINT}") from None
            raise _Unreadable(decode_failure(error, encoding)) from None
    if gzipped:
        give_back(buffer)  # only now that no view of it is left: another thread may take it
    return tables, errors, size


def _read(path: str) -> tuple[bytes, int]:
    with open(path, "rb") as stream:
        data = stream.read()
    return data, len(data)


def _block_order(item: Input, tables: dict, task: Task) -> list[str] | None:
    """The names of the file's blocks in its order where its tables do not tell it, else None.
    The tables tell it where the blocks each category runs through, taken together, leave one
    order (one block, or a category in every block): the writer finds that order alike. Only
    another file is read again (whole, as a tree) for its order."""
    tables = [t for t in tables.values() if t.num_rows]
    if len({t.column("block")[i].as_py() for t in tables for i in (0, -1)}) < 2:
        return None  # most files: one block
    runs = [_block_runs(t.column("block")) for t in tables]
    merged = merge_orders(runs)
    follows = {pair for run in runs for pair in itertools.pairwise(run)}
    if all(pair in follows for pair in itertools.pairwise(merged)):
        return None
    try:
        text = read_bytes(item.path).decode(task.options.encoding or "utf-8")
    except (Unreadable, UnicodeDecodeError):  # read a moment ago: then left in category order
        return None
    parsed = tessrin_core.parse_raw(text, task.options.mode, task.options.max_errors)
    names = set(merged)
    return [n for n in dict.fromkeys(b["name"] for b in parsed["blocks"]) if n in names]


def _block_runs(column: pa.ChunkedArray) -> list[str]:
    """The block names of a table's rows, each run of one name once."""
    n = len(column)
    if n < 64:  # most tables of such files: fewer calls than the columnar way
        names = column.to_pylist()
        return [b for i, b in enumerate(names) if i == 0 or b != names[i - 1]]
    column = column.combine_chunks()
    cuts = pc.indices_nonzero(pc.not_equal(column.slice(1), column.slice(0, n - 1)))
    return [column[0].as_py(), *column.take(pc.add(cuts, 1)).to_pylist()]


def _row(item: Input, task: str | None, **values) -> dict:
    row = dict.fromkeys(MANIFEST_SCHEMA.names)
    row.update(file=item.file, path=item.path, bytes=item.bytes, mtime=item.mtime, task=task)
    row.update(values)
    return row


def _read_inputs(task: Task):
    """Yields (input, tables, diagnostics, bytes of text, None) for each input read, and
    (input, None, [], 0, message) for each that could not be."""
    for item in task.inputs:
        if item.problem is not None:
            yield item, None, [], 0, item.problem
            continue
        try:
            tables, errors, size = _parse(item.path, task)
        except _Unreadable as error:
            yield item, None, [], 0, str(error)
            continue
        except Exception as error:  # noqa: BLE001 - one file must not stop the archive
            yield item, None, [], 0, f"cannot parse: {type(error).__name__}: {error}"
            continue
        yield item, tables, errors, size, None


def _add_diagnostics(item: Input, errors: list, into: list) -> None:
    into.extend({"file": item.file, **error} for error in errors)


def scan_task(task: Task) -> dict:
    """The schema each of the task's datasets will have, found by parsing without writing:
    parsing is a fraction of the cost of writing a part, and a part written before another
    task widens its dataset must be read and written again."""
    cpu = time.process_time()
    found: dict[str, dict[pa.Schema, None]] = {}
    diagnostics: list[dict] = []
    for item, tables, errors, _, _ in _read_inputs(task):
        if tables is None:
            continue
        for category, table in tables.items():
            name = parts.dataset_name(category)
            found.setdefault(name, {})[parts.file_schema(table.schema)] = None
        _add_diagnostics(item, errors, diagnostics)
    schemas = {name: parts.unify(seen) for name, seen in found.items()}
    # The columns some file typed as numbers: where the run makes one text, the conversion
    # reads it as text from the start (see text_items).
    numeric = {
        name: sorted({f.name.lower() for schema in seen for f in schema
                      if pa.types.is_integer(f.type) or pa.types.is_floating(f.type)})
        for name, seen in found.items()
    }
    if diagnostics:
        schemas[parts.DIAGNOSTICS_DIR] = pa.Table.from_pylist(diagnostics).schema
    return {"schemas": schemas, "numeric": numeric, "cpu": time.process_time() - cpu}


def convert_task(task: Task) -> dict:
    """Parses the task's inputs and writes one part per category (and one of diagnostics).
    Returns the manifest rows and the schema of every part, small enough to send back."""
    cpu = time.process_time()
    by_dataset: dict[str, list[pa.Table]] = {}
    sources: dict[str, list[int]] = {}  # per dataset, the input each table came from
    companions: dict[str, list[dict]] = {}  # per dataset and table, its derived `<x>_su`
    categories: dict[str, str] = {}  # per dataset, the category as the first file spells it
    diagnostics: list[dict] = []
    rows = []
    read = []  # the input of each row
    text_bytes = 0
    for item, tables, errors, size, problem in _read_inputs(task):
        read.append(item)
        if tables is None:
            rows.append(_row(item, task.key, status="error", error=problem))
            continue
        text_bytes += size
        count = 0
        for category, table in tables.items():
            count += table.num_rows
            name = parts.dataset_name(category)
            categories.setdefault(name, category)
            companions.setdefault(name, []).append(derived_su(table))
            by_dataset.setdefault(name, []).append(parts.with_file(table, item.file))
            sources.setdefault(name, []).append(len(rows))
        _add_diagnostics(item, errors, diagnostics)
        rows.append(
            _row(item, task.key, status="ok", diagnostics=len(errors), text_bytes=size, rows=count,
                 blocks=_block_order(item, tables, task))
        )
    targets = task.targets or {}
    schemas = {}
    for name, tables in by_dataset.items():
        target = targets.get(name)
        # The run's schema first, so its order holds; the task's own columns are in it unless
        # the first pass read a file differently (it cannot, but a part must never lose one).
        schemas[name] = parts.written_schema(
            parts.unify([target, *(t.schema for t in tables)] if target else
                         [t.schema for t in tables])
        )
    for source, problem in _keep_text(task, read, by_dataset, sources, companions, schemas):
        # Its numbers would stand rendered in a text column: the file is left out, named.
        for name in by_dataset:
            kept = [i for i, s in enumerate(sources[name]) if s != source]
            by_dataset[name] = [by_dataset[name][i] for i in kept]
            sources[name] = [sources[name][i] for i in kept]
        by_dataset = {name: tables for name, tables in by_dataset.items() if tables}
        diagnostics = [d for d in diagnostics if d["file"] != read[source].file]
        rows[source] = _row(read[source], task.key, status="error", error=problem)
    if diagnostics:
        by_dataset[parts.DIAGNOSTICS_DIR] = [pa.Table.from_pylist(diagnostics)]
        schemas[parts.DIAGNOSTICS_DIR] = by_dataset[parts.DIAGNOSTICS_DIR][0].schema
    written = {}
    for name, tables in by_dataset.items():
        table = parts.merge(tables, schemas[name])
        if name in categories:
            # The dataset's name is the category made safe; the category itself travels in
            # each part, so that `convert --to cif` gives the rows back their tags.
            recorded = categories[name].encode("utf-8", "surrogatepass")
            table = table.replace_schema_metadata({CATEGORY_KEY: recorded})
        parts.write_part(table, os.path.join(task.out, name), task.key)
        written[name] = table.schema
    return {
        "rows": rows,
        "schemas": written,
        "text_bytes": text_bytes,
        "cpu": time.process_time() - cpu,
    }


def _keep_text(task: Task, read: list, by_dataset: dict, sources: dict, companions: dict,
               schemas: dict) -> list[tuple[int, str]]:
    """Where a dataset's column is text and a file typed it as numbers, that file's values
    are put back as the text it has (`4.040`, not the `4.04` a float would give), from a
    second parse of the file as text. Only such files are read again. The text keeps the
    uncertainty (`1.5(2)`), so the column's derived `<x>_su` goes: no file has that item.
    Returns the inputs that could not be read as text again, with why."""
    wanted: dict[int, dict[str, list[str]]] = {}  # input -> dataset -> columns
    for name, tables in by_dataset.items():
        text = parts.text_columns(schemas[name])
        if not text:
            continue
        for table, source in zip(tables, sources[name]):
            columns = parts.numbers_to_text(table.schema, text)
            if columns:
                wanted.setdefault(source, {})[name] = columns
    text_task = _with_types(task, "text")
    failed = []
    for source, datasets in wanted.items():
        item = read[source]
        try:
            tables, _, _ = _parse(item.path, text_task)
            put = {}
            for category, table in tables.items():
                name = parts.dataset_name(category)
                if name in datasets:
                    put[name] = _as_text(by_dataset[name], sources[name].index(source),
                                         companions[name], parts.with_file(table, item.file),
                                         datasets[name])
            if put.keys() != datasets.keys():
                raise _Unreadable(CHANGED)
        except _Unreadable as error:
            failed.append((source, f"{error} (read again as text)"))
            continue
        for name, (index, typed) in put.items():
            by_dataset[name][index] = typed
    return failed


CHANGED = "changed while it was read: its text differs from its numbers"


def _as_text(tables: list, index: int, companions: list, text: pa.Table, columns: list):
    """(index, the table at `index` with `columns` taken from `text` and their derived
    uncertainty columns dropped); raises _Unreadable when `text` is not of the same rows."""
    typed = tables[index]
    if text.num_rows != typed.num_rows or not set(columns) <= set(text.column_names):
        raise _Unreadable(CHANGED)
    for column in columns:
        at = typed.schema.get_field_index(column)
        typed = typed.set_column(at, pa.field(column, pa.string()), text.column(column))
    stale = [companions[index][c] for c in columns if c in companions[index]]
    return index, typed.drop_columns([c for c in stale if c in typed.column_names])


# --- the manifest ---------------------------------------------------------------------------


def read_manifest(out: str) -> list[dict]:
    path = os.path.join(out, MANIFEST)
    if not os.path.exists(path):
        return []
    table = pq.read_table(path)
    for field in MANIFEST_SCHEMA:  # a column added since the archive was made: null
        if field.name not in table.column_names:
            table = table.append_column(field, pa.nulls(table.num_rows, field.type))
    table = table.select(MANIFEST_SCHEMA.names).cast(MANIFEST_SCHEMA)
    rows = table.to_pylist()
    for row, mtime in zip(rows, table.column("mtime").cast(pa.int64()).to_pylist()):
        row["mtime"] = mtime
    return rows


def write_manifest(out: str, rows: list[dict]) -> None:
    columns = {name: [row[name] for row in rows] for name in MANIFEST_SCHEMA.names}
    columns["mtime"] = pa.array(columns["mtime"], pa.int64()).cast(MANIFEST_SCHEMA.field("mtime").type)
    table = pa.table(columns, schema=MANIFEST_SCHEMA)
    temp = os.path.join(out, f".{MANIFEST}.tmp-{os.getpid()}")
    pq.write_table(table, temp)
    os.replace(temp, os.path.join(out, MANIFEST))


def plan_resume(previous: list[dict], inputs: list[Input]) -> tuple[list[dict], list[Input]]:
    """The manifest rows still valid and the inputs still to convert. A task's parts stay only
    if every one of its inputs is unchanged (same size and modification time): a changed or
    vanished file makes the whole task run again, since its rows share parts with the others."""
    current = {item.path: item for item in inputs}
    by_task: dict[str, list[dict]] = {}
    for row in previous:
        if row["task"] is not None:
            by_task.setdefault(row["task"], []).append(row)

    def unchanged(row: dict) -> bool:
        item = current.get(row["path"])
        return item is not None and (item.bytes, item.mtime) == (row["bytes"], row["mtime"])

    kept = [row for rows in by_task.values() if all(map(unchanged, rows)) for row in rows]
    done = {row["path"] for row in kept}
    return kept, [item for item in inputs if item.path not in done]


def _redone(row: dict, redone: dict) -> list[dict]:
    """What stands for `row` in the manifest: itself, or all its task's rows of the run again
    (at its task's first row), or nothing (at its task's other rows)."""
    rows = redone.get(row["task"])
    if rows is None:
        return [row]
    return rows if row["path"] == rows[0]["path"] else []


def kept_tasks(kept: list[dict], out: str, options: ConvertOptions) -> dict[str, Task]:
    """The tasks of the manifest rows `--resume` keeps, by key, as they would run again."""
    inputs: dict[str, list[Input]] = {}
    for row in kept:
        inputs.setdefault(row["task"], []).append(
            Input(row["path"], row["file"], row["bytes"], row["mtime"])
        )
    return {key: Task(key, out, tuple(group), options) for key, group in inputs.items()}


# --- one schema per dataset -----------------------------------------------------------------


def with_targets(tasks: list[Task], engine, run_id: str) -> tuple[list[Task], float, dict]:
    """The tasks, each given the schema its datasets have over all the tasks (a first pass
    that parses and writes nothing), the CPU seconds that pass took, and per dataset the text
    columns in which some file has numbers. Columns come in order of first appearance in the
    tasks' input order, as the widening at the end orders them. A task the pass could not
    read goes without; the widening still covers it."""
    found: dict[int, dict] = {}
    numeric: dict[str, set[str]] = {}
    order = sorted(range(len(tasks)), key=lambda i: _task_size(tasks[i]), reverse=True)
    keys = [f"tessrin-scan-{tasks[i].key}-{run_id}" for i in order]
    cpu = 0.0
    for index, result, error in engine.run(scan_task, [tasks[i] for i in order], keys):
        if error is None:
            found[order[index]] = result["schemas"]
            cpu += result["cpu"]
            for name, columns in result["numeric"].items():
                numeric.setdefault(name, set()).update(columns)
    by_dataset: dict[str, dict[pa.Schema, None]] = {}
    for index in sorted(found):
        for name, schema in found[index].items():
            by_dataset.setdefault(name, {})[schema] = None
    unified = {name: parts.unify(schemas) for name, schemas in by_dataset.items()}
    given = [
        dataclasses.replace(task, targets={n: unified[n] for n in found[i]}) if i in found else task
        for i, task in enumerate(tasks)
    ]
    texts = {
        name: [f.name for f in schema if f.name.lower() in numeric.get(name, ())
               and pa.types.is_string(f.type)]
        for name, schema in unified.items()
    }
    return given, cpu, {name: columns for name, columns in texts.items() if columns}


TEXT_ITEMS = ".tessrin-text-items-{}.dic"


def text_items(out: str, run_id: str, texts: dict) -> str | None:
    """A dictionary that declares text the columns `texts` names (by dataset), written into
    OUT, where every worker reads it; its path, or None when no column is named by its
    category. Typing with it keeps the text a file has in them (`4.040`, `0433`, `?`) in the
    one parse, where parsing such a file again as text cost a tenth of an mmCIF archive's CPU
    time. Other columns are inferred as without it."""
    names = []
    for name, columns in texts.items():
        if "-" in name:
            continue  # a hashed name: the category is not known; these files are parsed again
        for column in columns:
            if column.lower() == "file_item":  # as `parts._item_names` renamed it
                column = "file"
            names.append(f"_{name}.{column}" if name != "_unknown" else f"__unknown.{column}")
    if not names:
        return None
    from tessrin._write import dumps

    block = {"name": "tessrin_text_items", "tag_order": ["_item_type.code", "_item.name"],
             "loops": [["_item.name"]], "save_frames": [],
             "tags": {"_item_type.code": ["code"], "_item.name": names}}
    path = os.path.join(out, TEXT_ITEMS.format(run_id))
    with open(path, "w", encoding="utf-8") as stream:
        stream.write(dumps({"version": "CIF_2_0", "blocks": [block]}, version="2.0"))
    return path


def widen_datasets(
    out: str, engine, schemas: dict, order: list[str], run_id: str, tasks: dict | None = None
) -> tuple:
    """Brings every part of every dataset to the dataset's one schema; `schemas` are the part
    schemas this run already knows (by path), the others are read from the part footers.
    Columns come in order of first appearance, taking the parts in the tasks' `order` (the
    order of the inputs). A part whose numbers must become text is written again from its
    task's inputs (`tasks`, by key), so that they keep the text the files have; the others
    are rewritten from what they hold. Returns the number of parts rewritten, the CPU seconds
    taken and the manifest rows of every task converted again (by key)."""
    tasks = tasks or {}
    rank = {key: i for i, key in enumerate(order)}
    jobs = []
    targets = {}
    again: set[str] = set()
    for directory in parts.dataset_dirs(out):
        names = [entry.name for entry in os.scandir(directory) if parts.part_key(entry.name)]
        names.sort(key=lambda name: (rank.get(parts.part_key(name), len(rank)), name))
        paths = [os.path.join(directory, name) for name in names]
        found = [schemas.get(p) or pq.read_schema(p) for p in paths]
        unified = parts.unify(parts.distinct(found))  # equal schemas once, first one first
        name = os.path.basename(directory)
        if name != parts.DIAGNOSTICS_DIR:
            unified = targets[name] = parts.written_schema(unified)
        for path, schema in zip(paths, found):
            if schema.equals(unified, check_metadata=False):
                continue
            key = parts.part_key(os.path.basename(path))
            if key in tasks and parts.numbers_to_text(schema, parts.text_columns(unified)):
                again.add(key)
            jobs.append((path, unified))
    cpu = 0.0
    redone = {}
    if again:
        keys = sorted(again)
        retasks = [dataclasses.replace(tasks[k], targets=targets) for k in keys]
        names = [f"tessrin-again-{k}-{run_id}" for k in keys]
        for index, result, error in engine.run(convert_task, retasks, names):
            if error is None:  # else its parts are rewritten as the others are
                redone[keys[index]] = result["rows"]
                cpu += result["cpu"]
    rewrite = [job for job in jobs if parts.part_key(os.path.basename(job[0])) not in redone]
    # A few chunks per worker rather than one job per part: most parts are small, and a job
    # of its own costs a part more in sending and scheduling than its rewrite.
    n = WIDEN_CHUNKS * engine.workers()
    chunks = [rewrite[i::n] for i in range(min(n, len(rewrite)))]
    keys = [f"tessrin-widen-{i}-{run_id}" for i in range(len(chunks))]
    for _, seconds, error in engine.run(parts.rewrite_parts, chunks, keys):
        if error is not None:
            raise error
        cpu += seconds
    return len(jobs), cpu, redone


# --- the run ----------------------------------------------------------------------------------


class _Tally:
    """Counts for the progress display and the summary."""

    def __init__(self, total_files: int, total_bytes: int) -> None:
        self.start = time.monotonic()
        self.total_files, self.total_bytes = total_files, total_bytes
        self.files = self.bytes = self.text_bytes = self.rows = 0
        self.errors = self.diagnostics = 0
        self.cpu = 0.0  # in the tasks, wherever they ran

    def add(self, rows: list[dict], text_bytes: int, cpu: float) -> None:
        self.cpu += cpu
        self.files += len(rows)
        self.bytes += sum(row["bytes"] or 0 for row in rows)
        self.text_bytes += text_bytes
        self.rows += sum(row["rows"] or 0 for row in rows)
        self.errors += sum(row["status"] == "error" for row in rows)
        self.diagnostics += sum(row["diagnostics"] or 0 for row in rows)

    def rates(self) -> str:
        seconds = max(time.monotonic() - self.start, 1e-9)
        return (
            f"{self.files:,}/{plural(self.total_files, 'file', True)}  "
            f"{self.files / seconds:,.0f} files/s  {self.text_bytes / 1e6 / seconds:,.1f} MB/s  "
            f"{self.rows / seconds:,.0f} rows/s  {plural(self.errors, 'error', True)}"
        )


def _progress():
    """A live line on a terminal's standard error (files, MB and rows per second, errors,
    time left), or None when standard error is not a terminal."""
    if not sys.stderr.isatty():
        return None
    from rich.console import Console
    from rich.progress import BarColumn, Progress, TimeRemainingColumn

    return Progress(
        BarColumn(),
        "[progress.description]{task.description}",
        TimeRemainingColumn(),
        console=Console(stderr=True, soft_wrap=True),
        transient=True,
    )


def convert_archive(
    paths,
    out: str,
    options: ConvertOptions,
    *,
    jobs: int,
    scheduler: str | None = None,
    resume: bool = False,
    task_mb: float | None = None,
    say=print,
    complain=lambda message: print(f"tessrin: {message}", file=sys.stderr),
) -> int:
    """Runs one archive conversion; returns the command's exit status."""
    inputs, problems = find_inputs(paths, out)
    for problem in problems:
        complain(problem)
    try:
        engine = make_engine(scheduler, jobs, say, __name__)
    except EngineUnavailable as error:
        complain(str(error))
        return 2
    out = os.path.abspath(out)
    run_id = uuid.uuid4().hex[:8]
    # Closing the engine stops a LocalCluster's processes, whatever ends the run.
    try:
        return _convert(inputs, problems, out, engine, resume, options, task_mb, run_id, say,
                        complain)
    except (OSError, pa.ArrowException) as error:
        where = f"{error.filename}: " if getattr(error, "filename", None) else ""
        complain(f"cannot write: {where}{getattr(error, 'strerror', None) or error}")
        return 2
    finally:
        engine.close(cancel=True)
        declared = os.path.join(out, TEXT_ITEMS.format(run_id))
        if os.path.exists(declared):
            os.unlink(declared)


def _convert(inputs, problems, out, engine, resume, options, task_mb, run_id, say, complain):
    os.makedirs(out, exist_ok=True)
    kept, todo = plan_resume(read_manifest(out) if resume else [], inputs)
    parts.remove_parts_except(out, {row["task"] for row in kept})
    if options.types not in ("infer", "text"):
        # A dictionary, read by workers elsewhere.
        options = dataclasses.replace(options, types=os.path.abspath(options.types))
    tasks = make_tasks(todo, out, options, task_mb, engine.workers())
    rows = list(kept)
    write_manifest(out, rows)
    if resume:
        say(f"resuming: {plural(len(kept), 'file', True)} already converted, {len(todo):,} to go")
    tally = _Tally(len(todo), sum(item.bytes or 0 for item in todo))
    progress = _progress()
    schemas: dict[str, pa.Schema] = {}
    # Most parts of a dataset share a schema with others; keeping one copy of each keeps the
    # driver's memory small for archives of hundreds of thousands of parts.
    distinct: dict[str, pa.Schema] = {}
    shown = 0
    try:
        if progress is not None:
            progress.start()
            bar = progress.add_task(tally.rates(), total=max(tally.total_bytes, 1))
        last_write = time.monotonic()
        # Largest first: a big file started last would keep one worker busy after the others
        # finish (the parts keep the inputs' order through the task keys).
        if len(tasks) > 1:
            if progress is not None:
                progress.update(bar, description="finding the columns of every dataset")
            tasks, cpu, texts = with_targets(tasks, engine, run_id)
            tally.cpu += cpu
            if texts and options.types == "infer":
                declared = text_items(out, run_id, texts)
                if declared is not None:
                    tasks = [_with_types(t, declared) for t in tasks]
        by_size = sorted(tasks, key=_task_size, reverse=True)
        # Unique to this run: a shared scheduler may hold an earlier run's task of the same
        # inputs, writing elsewhere. A retry within the run keeps the key.
        keys = [f"tessrin-convert-{task.key}-{run_id}" for task in by_size]
        for index, result, error in engine.run(convert_task, by_size, keys):
            task = by_size[index]
            if error is not None:
                message = f"task failed: {type(error).__name__}: {error}"
                new = [_row(item, None, status="error", error=message) for item in task.inputs]
                result = {"text_bytes": 0, "schemas": {}, "cpu": 0.0}
            else:
                new = result["rows"]
                for name, schema in result["schemas"].items():
                    schema = distinct.setdefault(schema.to_string(), schema)
                    schemas[os.path.join(out, name, parts.part_name(task.key))] = schema
            rows.extend(new)
            tally.add(new, result["text_bytes"], result["cpu"])
            for row in new:
                if row["status"] == "error":
                    shown += 1
                    if shown <= SHOWN_ERRORS:
                        complain(f"{row['path']}: {row['error']}")
            if progress is not None:
                progress.update(bar, completed=tally.bytes, description=tally.rates())
            if time.monotonic() - last_write > MANIFEST_EVERY:
                write_manifest(out, rows)
                last_write = time.monotonic()
        if progress is not None:
            progress.update(bar, description="widening columns to one schema per dataset")
        order = list(dict.fromkeys(row["task"] for row in kept)) + [t.key for t in tasks]
        known = {**kept_tasks(kept, out, options), **{t.key: t for t in tasks}}
        widened, cpu, redone = widen_datasets(out, engine, schemas, order, run_id, known)
        tally.cpu += cpu
        if redone:  # their rows in their place
            rows = [r for row in rows for r in _redone(row, redone)]
    except KeyboardInterrupt:
        if progress is not None:
            progress.stop()
        engine.close(cancel=True)  # before the cleanup: no worker may write after it
        write_manifest(out, rows)
        parts.remove_parts_except(out, {row["task"] for row in rows if row["task"]})
        complain(
            f"interrupted: {len(rows):,} of {plural(len(inputs), 'file', True)} done, listed in "
            f"{os.path.join(out, MANIFEST)}; run again with --resume to convert the rest"
        )
        return 130
    if progress is not None:
        progress.stop()
    where = engine.describe()
    write_manifest(out, rows)
    # Only parts of tasks the manifest records remain (a task that failed may have left some).
    parts.remove_parts_except(out, {row["task"] for row in rows if row["task"]})
    if shown > SHOWN_ERRORS:
        more = plural(shown - SHOWN_ERRORS, "more error", True)
        complain(f"... and {more}, listed in {MANIFEST}")
    datasets = [
        d for d in parts.dataset_dirs(out) if os.path.basename(d) != parts.DIAGNOSTICS_DIR
    ]
    seconds = time.monotonic() - tally.start
    # The exit status speaks for the whole output, files converted by an earlier run included.
    errors = sum(row["status"] == "error" for row in rows)
    earlier = f" ({errors - tally.errors:,} from the earlier run)" if errors > tally.errors else ""
    say(
        f"{plural(tally.files, 'file', True)} ({tally.text_bytes / 1e6:,.1f} MB of text) -> "
        f"{plural(tally.rows, 'row', True)} in {plural(len(datasets), 'dataset', True)} in "
        f"{out}; {plural(errors, 'error', True)}{earlier}, "
        f"{plural(tally.diagnostics, 'diagnostic', True)}, "
        f"{plural(widened, 'part', True)} widened; {seconds:,.1f} s "
        f"({tally.text_bytes / 1e6 / max(seconds, 1e-9):,.1f} MB/s; "
        f"{tally.text_bytes / 1e6 / max(tally.cpu, 1e-9):,.1f} MB per CPU second of the "
        f"tasks) on {where}"
    )
    return 2 if errors or problems else 0
