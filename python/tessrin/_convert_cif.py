"""`tessrin convert --to cif`: each input written back as one CIF, diagnostics beside it."""

from __future__ import annotations

import json
import os

import tessrin_core

from tessrin._convert import DIAGNOSTICS_FILE, safe_name
from tessrin._run import Unreadable, read_text
from tessrin._write import NeedsCif2, dump_with_version


kCif11MaxLine = 2048  # the longest line CIF 1.1 allows, the widest row written afresh

# Extensions a written CIF keeps from its input; any other input is written as `.cif`.
_CIF_EXTENSIONS = (".cif", ".dic", ".mmcif", ".mcif", ".scif")


def cif_file_name(path: str) -> str:
    """The written file's name: the input's, with its extension where that names a CIF
    (a dictionary stays `.dic`), else `.cif`; a compressed input's `.gz` is dropped."""
    name = os.path.basename(path)
    if name.lower().endswith(".gz"):
        name = name[:-3]
    stem, extension = os.path.splitext(name)
    if extension.lower() not in _CIF_EXTENSIONS:
        extension = ".cif"
    return (safe_name(stem, 100) or "file") + extension


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
    strict: bool = False,
    max_errors: int | None = None,
    cif_version: str | None = None,
) -> dict:
    """Writes the blocks, frames and loops of one file as read into `out_dir`; returns what
    was written, small enough to send back from a worker process."""
    path, out_dir = job
    outcome = {"path": path, "out_dir": out_dir, "written": [], "diagnostics": 0, "failure": None,
               "note": None}
    try:
        text = read_text(path)
        parsed = tessrin_core.parse_raw(text, "strict" if strict else None, max_errors)
    except Unreadable as error:
        outcome["failure"] = f"cannot read: {error}"
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


def parquet_tables(directory: str) -> dict:
    """The category tables of a directory (table_sources), each under the category recorded
    in its metadata, else its file's name; parts of one category are concatenated."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    from tessrin._tables import CATEGORY_KEY

    tables = {}
    for stem, source in table_sources(directory):
        table = pq.read_table(source)
        # The archive layout leads with the input's `file` and keeps its manifest and
        # diagnostics beside the categories: those have no `block` and `frame` to write.
        if table.column_names[:1] == ["file"]:
            table = table.drop_columns(["file"])
        if table.column_names[:2] != ["block", "frame"]:
            continue
        recorded = (table.schema.metadata or {}).get(CATEGORY_KEY)
        name = recorded.decode("utf-8", "surrogatepass") if recorded else stem
        if name in tables:
            table = pa.concat_tables([tables[name], table], promote_options="permissive")
        tables[name] = table
    return tables


def convert_parquet_to_cif(job: tuple[str, str], cif_version: str | None = None) -> dict:
    """Writes the category tables of a Parquet directory back as one CIF in `out_dir`."""
    directory, out_dir = job
    outcome = {"path": directory, "out_dir": out_dir, "written": [], "diagnostics": 0,
               "failure": None, "note": None}
    name = (safe_name(os.path.basename(os.path.normpath(directory)), 100) or "tables") + ".cif"
    try:
        try:
            tables = parquet_tables(directory)
        except (ValueError, OSError) as error:  # pyarrow's errors are ValueError or OSError
            outcome["failure"] = f"cannot read the Parquet tables: {error}"
            return outcome
        os.makedirs(out_dir, exist_ok=True)
        dump_with_version(tables, os.path.join(out_dir, name), version=cif_version)
    except (ValueError, TypeError, OSError) as error:
        outcome["failure"] = failure_text(error, cif_version)
        return outcome
    outcome["written"] = [name]
    return outcome
