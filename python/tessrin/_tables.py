"""Category tables on disk and on screen: `tessrin convert` (one file per category) and
`tessrin show` (each category's row count and first rows)."""

from __future__ import annotations

import hashlib
import json
import os
import re

import pyarrow as pa

# Anything but letters, digits, `_` and `-` (separators, dots, controls, spaces) becomes `_`.
_UNSAFE = re.compile(r"[^a-z0-9_-]+")
NAME_LIMIT = 80
# Schema metadata key of the category a table file holds.
CATEGORY_KEY = b"tessrin.category"


def table_file_names(categories, extension: str) -> list[str]:
    """One file name per category, in order: the lower-cased name with every character that
    could reach outside the directory (separators, `..`, controls) replaced and its length
    bounded. A name that had to be changed, or that would clash with another, carries a short
    hash of the original, so distinct categories always get distinct files."""
    names, used = [], {"diagnostics"}
    for category in categories:
        lower = category.lower()
        stem = _UNSAFE.sub("_", lower)[:NAME_LIMIT].strip("_-") or "category"
        if stem != lower or stem in used:
            digest = hashlib.sha256(category.encode("utf-8", "surrogatepass")).hexdigest()[:8]
            stem = f"{stem[:NAME_LIMIT]}-{digest}"
            n = 1
            while stem in used:  # only a hash collision gets here
                n += 1
                stem = f"{stem}-{n}"
        used.add(stem)
        names.append(stem + extension)
    return names


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


def cell_value(cell):
    """A cell as shown: lists and tables (NUL + JSON) decoded, numbers of typed columns as
    their shortest text, other scalars as they are."""
    if isinstance(cell, (int, float)):
        return str(cell)
    if isinstance(cell, str) and cell.startswith("\x00"):
        try:
            return json.loads(cell[1:])
        except (ValueError, RecursionError):
            return cell[1:]
    return cell


TYPE_MARKS = {pa.int64(): "int64", pa.float64(): "float64"}


def typed_titles(schema) -> list[str]:
    """Column titles with typed columns marked by their type (`Cartn_x: float64`)."""
    return [
        f"{field.name}: {TYPE_MARKS[field.type]}" if field.type in TYPE_MARKS else field.name
        for field in schema
    ]


def table_view(name: str, table, rows: int, width: int):
    """One category: its size, then its first rows under the column names, or (for one row)
    each column as an `item: value` line, so that no column is left out."""
    from rich.console import Group
    from rich.padding import Padding
    from rich.text import Text

    from tessrin._report import item_lines, loop_table, more_rows, plural

    title = Text(
        f"{name}: {plural(table.num_rows, 'row')}, {plural(table.num_columns - 2, 'column')}",
        style="bold",
    )
    if not table.num_rows:
        return title
    if table.num_rows == 1:
        # A frame of None only says the table is not in a save frame.
        items = [
            (field.name, cell_value(column[0].as_py()), TYPE_MARKS.get(field.type))
            for field, column in zip(table.schema, table.columns)
            if not (field.name == "frame" and column[0].as_py() is None)
        ]
        return Group(title, Padding(item_lines(items, width - 2), (0, 0, 0, 2)))
    head = table.slice(0, rows)
    columns = [[cell_value(c) for c in column.to_pylist()] for column in head.columns]
    view = loop_table(typed_titles(head.schema), columns, head.num_rows, width - 2, strip=False)
    return Group(title, Padding(Group(view, *more_rows(table.num_rows, rows)), (0, 0, 0, 2)))
