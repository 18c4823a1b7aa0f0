"""`tessrin convert --to cif`: each input written back as one CIF, diagnostics beside it."""

from __future__ import annotations

import itertools
import json
import os

import tessrin_core

from tessrin._run import (
    CIF_SUFFIXES,
    FileFailure,
    Unreadable,
    decode_failure,
    read_bytes,
    read_text,
    run_all,
    without_gz,
)
from tessrin._write import NeedsCif2, dump_with_version
from tessrin._write_tables import with_block_order
from tessrin.convert.file import DIAGNOSTICS_FILE, STEM_LIMIT
from tessrin.convert.names import safe_name
from tessrin.convert.options import ConvertOptions
from tessrin.convert.parts import LEADING, MANIFEST, part_key
from tessrin.convert.tables import CATEGORY_KEY

kCif11MaxLine = 2048  # the longest line CIF 1.1 allows, the widest row written afresh

# Extensions a written CIF keeps from its input; any other input is written as `.cif`.
_CIF_EXTENSIONS = (".cif", ".dic", ".mmcif", ".mcif", ".scif")


def cif_file_name(path: str) -> str:
    """The written file's name: the input's, with its extension where that names a CIF
    (a dictionary stays `.dic`), else `.cif`; a compressed input's `.gz` is dropped."""
    stem, extension = os.path.splitext(without_gz(os.path.basename(path)))
    if extension.lower() not in _CIF_EXTENSIONS:
        extension = ".cif"
    return safe_name(stem, STEM_LIMIT) + extension


def failure_text(error: Exception, cif_version: str | None) -> str:
    """What went wrong writing a CIF, in one line."""
    if isinstance(error, OSError):
        where = f"{error.filename}: " if error.filename else ""
        return f"cannot write: {where}{error.strerror or error}"
    if isinstance(error, NeedsCif2):
        return f"cannot write as CIF 1.1: {error.reason}; CIF 2.0 can hold it: --cif-version 2.0"
    return f"cannot write as CIF {cif_version}: {error}" if cif_version else (
        f"cannot write as CIF: {error}"
    )


def version_note(data_version: str, written: str) -> str | None:
    """What the summary says when the version written is not the input's own."""
    if written == data_version:
        return None
    if written == "2.0":
        return "written as CIF 2.0: CIF 1.1 cannot hold its data"
    return f"written as CIF {written}"


def convert_file_to_cif(
    job: tuple[str, str],
    options: ConvertOptions,
    cif_version: str | None = None,
) -> dict:
    """Writes the blocks, frames and loops of one file as read into `out_dir`; returns what
    was written, small enough to send back from a worker process. Text that is not UTF-8 is
    refused unless the options' `encoding` names the codec to read it with (their `types`
    have no part here)."""
    path, out_dir = job
    encoding = options.encoding
    outcome = {"path": path, "out_dir": out_dir, "written": [], "diagnostics": 0, "failure": None,
               "note": None}
    try:
        text = read_text(path) if encoding is None else read_bytes(path).decode(encoding)
        parsed = tessrin_core.parse_raw(text, options.mode, options.max_errors)
    except Unreadable as error:
        outcome["failure"] = f"cannot read: {error}"
        return outcome
    except UnicodeDecodeError as error:
        outcome["failure"] = decode_failure(error, encoding)
        return outcome
    outcome["diagnostics"] = len(parsed["errors"])
    name = cif_file_name(path)
    try:
        os.makedirs(out_dir, exist_ok=True)
        # Written into the file's own text where its data allows (only what changed is new);
        # else afresh, with each loop row on one line as files have them.
        written = dump_with_version(parsed, os.path.join(out_dir, name), version=cif_version,
                                    width=kCif11MaxLine, source=text)
        if cif_version is None:
            outcome["note"] = version_note("1.1" if parsed["version"] == "CIF_1_1" else "2.0",
                                           written)
        with open(os.path.join(out_dir, DIAGNOSTICS_FILE), "w", encoding="utf-8") as stream:
            for error in parsed["errors"]:
                stream.write(json.dumps(error, ensure_ascii=False) + "\n")
    except (ValueError, TypeError, OSError) as error:
        outcome["failure"] = failure_text(error, cif_version)
        return outcome
    outcome["written"] = [name, DIAGNOSTICS_FILE]
    return outcome


def table_sources(directory: str) -> list[tuple[str, str]]:
    """The category tables `convert --to parquet` wrote into a directory, as (file stem,
    path): one `<category>.parquet` per category, or `<category>/part-*.parquet` datasets."""
    try:
        entries = sorted(os.scandir(directory), key=lambda e: e.name)
    except OSError:
        return []
    sources = []
    for entry in entries:
        if entry.is_file() and entry.name.endswith(".parquet"):
            sources.append((entry.name[: -len(".parquet")], entry.path))
        elif entry.is_dir() and any(
            n.startswith("part-") and n.endswith(".parquet") for n in os.listdir(entry.path)
        ):
            sources.append((entry.name, entry.path))
    return sources


def _category_sources(directory: str) -> tuple[list[tuple[str, list[str]]], bool]:
    """The category tables of a directory (table_sources) from their schemas alone: (category
    recorded in the metadata, else the file's name; its files) each, and whether they are an
    archive's datasets, every row led by the `file` it came from."""
    import pyarrow.parquet as pq

    sources, plain, led_count = [], [], 0
    for stem, source in table_sources(directory):
        paths = [source] if os.path.isfile(source) else sorted(
            e.path for e in os.scandir(source) if part_key(e.name))
        if not paths:
            continue
        schema = pq.read_schema(paths[0])
        names = schema.names
        led = names[:1] == ["file"]
        # An archive's manifest and diagnostics sit beside its categories: they have no
        # `block` and `frame` to write.
        if (names[1:3] if led else names[:2]) != ["block", "frame"]:
            continue
        if led:
            led_count += 1
        else:
            plain.append(stem)
        recorded = (schema.metadata or {}).get(CATEGORY_KEY)
        sources.append((recorded.decode("utf-8", "surrogatepass") if recorded else stem, paths))
    # An archive's manifest marks it as one even when no input gave a row.
    archive = led_count > 0 or os.path.exists(os.path.join(directory, MANIFEST))
    if plain and archive:
        raise ValueError(
            "holds both archive datasets (rows with their `file`) and plain category tables "
            f"({', '.join(plain[:3])}): convert them from separate directories"
        )
    return sources, archive


def _read_tables(sources: list[tuple[str, list[str]]]) -> dict:
    """The tables of `sources` (as _category_sources gives them), the files of one category
    concatenated."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    tables = {}
    for name, paths in sources:
        for path in paths:
            table = pq.read_table(path)
            if name in tables:
                table = pa.concat_tables([tables[name], table], promote_options="permissive")
            tables[name] = table
    return tables


def _by_task(sources: list[tuple[str, list[str]]]) -> dict[str, list]:
    """An archive's sources split by task: a task's parts hold its files and no others', so
    each task's files are written from its parts alone."""
    tasks: dict[str, list] = {}
    for name, paths in sources:
        for path in paths:
            tasks.setdefault(part_key(os.path.basename(path)), []).append((name, [path]))
    return tasks


def _item_table(table):
    """An archive table without its `file` column, an item column the archive renamed to
    stay clear of the leading columns (`file_item`) under its own name again."""
    table = table.drop_columns(["file"])
    names = table.column_names
    taken = {n.lower() for n in names}
    renamed = [
        n[: -len("_item")] if i >= 2 and n.lower().endswith("_item")
        and n[: -len("_item")].lower() in LEADING and n[: -len("_item")].lower() not in taken
        else n
        for i, n in enumerate(names)
    ]
    return table.rename_columns(renamed) if renamed != names else table


def by_file(tables: dict) -> dict:
    """An archive's tables split by input: {file: {category: table}}, files in sorted order,
    each file's rows in the order they were stored, without the columns in which the file has
    no value (other files' items: null is an absent item, or in a numeric column `?` or `.`,
    which the archive does not tell apart)."""
    import pyarrow.compute as pc

    split: dict[str, dict] = {}
    for category, table in tables.items():
        if not table.num_rows:
            continue
        files = pc.fill_null(table.column("file"), "")
        order = pc.sort_indices(files)  # a stable sort: a file's rows keep their order
        table, files = table.take(order), files.take(order).combine_chunks()
        n = len(files)
        cuts = pc.indices_nonzero(pc.not_equal(files.slice(1), files.slice(0, n - 1)))
        bounds = [0, *(i + 1 for i in cuts.to_pylist()), n]
        for start, end in itertools.pairwise(bounds):
            rows = table.slice(start, end - start)
            empty = [c for c in rows.column_names[3:] if rows.column(c).null_count == len(rows)]
            rows = _item_table(rows.drop_columns(empty))
            split.setdefault(files[start].as_py(), {})[category] = rows
    return {file: split[file] for file in sorted(split)}


def mirrored_paths(files) -> dict[str, str]:
    """Where each input of an archive is written back, relative to OUT: the archive's own path
    (`file`) with `.gz` dropped and `.cif` added unless it ends in a CIF suffix; every part of
    it made safe (no `..`, no root, no control characters); distinct files get distinct paths
    (`-2`, `-3`, … before the suffix where two would meet, or a file would take a directory's
    name). Paths are told apart without regard to case, as some file systems do: `A.cif` and
    `a.cif` must not overwrite each other there."""
    wanted = {}
    for file in files:
        path = without_gz(file)
        parts = [_safe_part(p) for p in path.replace("\\", "/").split("/") if p not in ("", ".")]
        path = "/".join(parts) or "file"
        if not path.lower().endswith(CIF_SUFFIXES):
            path += ".cif"
        wanted[file] = path
    directories = {p.rsplit("/", k)[0].casefold()
                   for p in wanted.values() for k in range(1, p.count("/") + 1)}
    used: set[str] = set()
    out = {}
    for file, path in wanted.items():
        stem, dot, suffix = path.rpartition(".")
        candidate, n = path, 1
        while candidate.casefold() in used or candidate.casefold() in directories:
            n += 1
            candidate = f"{stem}-{n}{dot}{suffix}"
        used.add(candidate.casefold())
        out[file] = candidate
    return out


def _safe_part(part: str) -> str:
    part = "".join("_" if ord(c) < 32 or c == "\x7f" else c for c in part)
    return "__" if part == ".." else part


def convert_parquet_to_cif(
    job: tuple[str, str], cif_version: str | None = None, jobs: int = 1
) -> dict:
    """Writes the category tables of a Parquet directory back as CIF into `out_dir`: one CIF
    of every block for a directory of `<category>.parquet`, and for an archive's datasets one
    CIF per input file, at its path in the archive, so blocks of different files never meet."""
    directory, out_dir = job
    outcome = {"path": directory, "out_dir": out_dir, "written": [], "diagnostics": 0,
               "failure": None, "failures": [], "note": None}
    try:
        sources, archive = _category_sources(directory)
        if not archive:
            tables = _read_tables(sources)
    except (ValueError, OSError) as error:  # pyarrow's errors are ValueError or OSError
        outcome["failure"] = f"cannot read the Parquet tables: {error}"
        return outcome
    if not archive:
        name = safe_name(os.path.basename(os.path.normpath(directory)), STEM_LIMIT) + ".cif"
        failure = _write_tables(tables, out_dir, name, cif_version)
        if failure is not None:
            outcome["failure"] = failure
        else:
            outcome["written"] = [name]
        return outcome
    # One task's parts at a time (in parallel with `jobs`): memory holds the largest task,
    # not the archive.
    try:
        import pyarrow.parquet as pq

        converted = _converted_files(directory)
        by_task = _by_task(sources)
        files_of: dict[str, set] = {key: set() for key in by_task}
        for key, task_sources in by_task.items():
            for _, (path,) in task_sources:
                column = pq.read_table(path, columns=["file"]).column("file")
                files_of[key].update(column.unique().to_pylist())
        files = set(converted).union(*files_of.values())
        files.discard(None)
        targets = mirrored_paths(sorted(files))
    except (ValueError, OSError) as error:
        outcome["failure"] = f"cannot read the Parquet tables: {error}"
        return outcome
    # An input with no rows (a file without items) still gets its CIF, from the manifest.
    empty = files.difference(*files_of.values())
    items = [(by_task[key], {f: (targets[f], converted.get(f)) for f in files_of[key] if f},
              out_dir, cif_version) for key in by_task]
    items.append(([], {f: (targets[f], None) for f in empty}, out_dir, cif_version))
    for item, done in zip(items, run_all(write_task, items, jobs)):
        if isinstance(done, FileFailure):
            message = f"cannot read the Parquet tables: {done.message}"
            done = {"written": [], "failures": [(f, message) for f in item[1]]}
        outcome["written"] += done["written"]
        outcome["failures"] += done["failures"]
    outcome["written"].sort()
    outcome["failures"].sort()
    return outcome


def write_task(item: tuple) -> dict:
    """Writes the files of one archive task from its parts: `item` is (its sources, {file:
    (target path, block order)}, OUT, version); returns what was written and what failed."""
    sources, files, out_dir, cif_version = item
    done = {"written": [], "failures": []}
    split = by_file(_read_tables(sources)) if sources else {}
    for file, (target, blocks) in files.items():
        tables = split.get(file, {})
        if blocks and tables:
            tables = with_block_order(tables, blocks)
        failure = _write_tables(tables, out_dir, target, cif_version)
        if failure is not None:
            done["failures"].append((file, failure))
        else:
            done["written"].append(target)
    return done


def _converted_files(directory: str) -> dict[str, list | None]:
    """The inputs an archive's manifest lists as converted, if it has one, each with its
    blocks in its order where it recorded them."""
    import pyarrow.compute as pc
    import pyarrow.parquet as pq

    path = os.path.join(directory, MANIFEST)
    if not os.path.exists(path):
        return {}
    manifest = pq.read_table(path)
    manifest = manifest.filter(pc.equal(manifest.column("status"), "ok"))
    files = manifest.column("file").to_pylist()
    if "blocks" not in manifest.column_names:  # an archive made before it was recorded
        return dict.fromkeys(files)
    return dict(zip(files, manifest.column("blocks").to_pylist()))


def _write_tables(tables: dict, out_dir: str, name: str, cif_version: str | None) -> str | None:
    """Writes `tables` as OUT_DIR/NAME; the failure in one line, or None."""
    target = os.path.join(out_dir, name)
    try:
        os.makedirs(os.path.dirname(target), exist_ok=True)
        dump_with_version(tables, target, version=cif_version)
    except (ValueError, TypeError, OSError) as error:
        return failure_text(error, cif_version)
    return None
