"""`tessrin convert --to parquet|arrow`: the category tables of a file, one file each."""

from __future__ import annotations

import os

import pyarrow as pa

from tessrin.convert.names import distinct_names

# Schema metadata key of the category a table file holds.
CATEGORY_KEY = b"tessrin.category"
# Beside the tables stands diagnostics.jsonl: no table takes its stem.
_RESERVED = frozenset({"diagnostics"})


def table_file_names(categories, extension: str) -> list[str]:
    """One file name per category, in order: the category in lower case, made safe as
    `names` does it, not hidden (`_unknown` gets `unknown-` and its hash), and distinct from
    the others without regard to case."""
    lower = (category.lower() for category in categories)
    return [stem + extension for stem in distinct_names(lower, reserved=_RESERVED, visible=True)]


def write_tables(tables: dict, out_dir: str, fmt: str, extension: str) -> list[str]:
    """Writes each table into `out_dir` as Parquet or Arrow IPC; returns the file names."""
    names = table_file_names(tables, extension)
    for (category, table), name in zip(tables.items(), names):
        target = os.path.join(out_dir, name)
        # The file name is the category made safe; its own name travels with the table, so
        # that `convert --to cif` gives the tables back their tags.
        metadata = dict(table.schema.metadata or {})
        metadata[CATEGORY_KEY] = category.encode("utf-8", "surrogatepass")
        table = table.replace_schema_metadata(metadata)
        if fmt == "parquet":
            import pyarrow.parquet as pq

            pq.write_table(table, target)
        else:
            with pa.OSFile(target, "wb") as sink, pa.ipc.new_file(sink, table.schema) as writer:
                writer.write_table(table)
    return names
