"""The parts of a Parquet dataset: dataset names, one schema per dataset by widening column
types, and part files that appear whole or not at all."""

from __future__ import annotations

import json
import os
import re
import time
import uuid

import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq

from tessrin.convert.names import safe_name

LEADING = ("file", "block", "frame")
LEAD = list(LEADING)  # for the Parquet writer, which wants a list
LARGE_PIECE_ROWS = 1 << 16
PART_PREFIX = "part-"
PART_SUFFIX = ".parquet"
DIAGNOSTICS_DIR = "_diagnostics"
MANIFEST = "_files.parquet"  # every input of an archive, beside its datasets
_RESERVED = frozenset({DIAGNOSTICS_DIR})
# A task's key is a hex digest prefix; nothing else in a dataset directory is touched.
_PART = re.compile(r"^part-([0-9a-f]{16})\.parquet$")
_TEMP = re.compile(r"^\.part-[0-9a-f]{16}\.tmp-")
# The typing rules parse_tables records per column, and the one of a column without values.
TYPES_KEY = b"tessrin.types"
NO_VALUES = "no values to infer a type from"
_NO_VALUES_BYTES = NO_VALUES.encode()
# Field metadata of a column in which a file (or every file of a part) has only `?` and `.`:
# kept as that text, it counts as no type when a dataset's type is found, and becomes null
# where the dataset's column is a number.
PLACEHOLDERS_KEY = b"tessrin.placeholders"
_PLACEHOLDERS = {PLACEHOLDERS_KEY: b"only"}


def dataset_name(category: str) -> str:
    """The directory of a category's dataset: the category in lower case (files of an archive
    spell a category in either case), made safe as `names` does it. No name from a file can
    reach a separator, `..`, or the archive's own names (the manifest's has a `.`)."""
    return safe_name(category.lower(), reserved=_RESERVED)


def part_name(key: str) -> str:
    return f"{PART_PREFIX}{key}{PART_SUFFIX}"


def part_key(name: str) -> str | None:
    """The task key of a part file name, None for any other file."""
    match = _PART.match(name)
    return match.group(1) if match else None


# --- one schema per dataset ---------------------------------------------------------------


def _value_type(t: pa.DataType) -> pa.DataType:
    return t.value_type if pa.types.is_dictionary(t) else t


def placeholders_only(field: pa.Field) -> bool:
    return bool(field.metadata) and PLACEHOLDERS_KEY in field.metadata


def _field_type(field: pa.Field) -> pa.DataType:
    """The type a column counts as in its dataset's schema."""
    return pa.null() if placeholders_only(field) else _value_type(field.type)


def widen(a: pa.DataType, b: pa.DataType) -> pa.DataType:
    """The narrowest of int64 -> float64 -> string that holds both types (null holds nothing)."""
    a, b = _value_type(a), _value_type(b)
    if a == b:
        return a
    if pa.types.is_null(a):
        return b
    if pa.types.is_null(b):
        return a
    numeric = (pa.types.is_integer, pa.types.is_floating)
    if any(f(a) for f in numeric) and any(f(b) for f in numeric):
        return pa.float64()
    return pa.string()


def unify(schemas) -> pa.Schema:
    """One schema for tables of one category: the leading columns, then every column in order
    of first appearance, matched without regard to case (DuckDB does not tell `Cartn_x` from
    `cartn_x`), spelled as first seen, with the types widened."""
    fields: dict[str, pa.Field] = {}
    for schema in schemas:
        for field in schema:
            key = field.name.lower()
            seen = fields.get(key)
            kind = _field_type(field)
            if seen is None:
                fields[key] = pa.field(field.name, kind)
            elif seen.type != kind:
                fields[key] = seen.with_type(widen(seen.type, kind))
    lead = [pa.field(name, pa.string()) for name in LEADING if fields.pop(name, None) is not None]
    return pa.schema(lead + list(fields.values()))


def _is_text(t: pa.DataType) -> bool:
    return pa.types.is_string(t) or pa.types.is_large_string(t)


def text_columns(schema: pa.Schema) -> set[str]:
    """The text columns of `schema`, in lower case."""
    return {f.name.lower() for f in schema if _is_text(f.type)}


def numbers_to_text(schema: pa.Schema, text: set[str]) -> list[str]:
    """The numeric columns of `schema` that are `text` (`text_columns` of a target)."""
    return [
        f.name for f in schema
        if (pa.types.is_integer(f.type) or pa.types.is_floating(f.type)) and f.name.lower() in text
    ]


def _cast(column: pa.ChunkedArray, target: pa.DataType, placeholders: bool = False):
    if pa.types.is_dictionary(column.type):
        column = column.cast(column.type.value_type)
    if column.type == target:
        return column
    if pa.types.is_null(column.type) or (placeholders and not _is_text(target)):
        # `?` and `.` in a numeric column are no value.
        return pa.nulls(len(column), target)
    if _is_text(column.type) and not _is_text(target):
        # Never by construction (text makes a dataset's column text); reading numbers out of
        # text would change how they are written.
        raise ValueError(f"a text column cannot become {target}")
    try:
        # Not `safe`: an int64 past 2**53 widened to float64 rounds, as the rule says.
        return pc.cast(column, target, safe=False)
    except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
        # Types no cast reaches (lists, structs) still keep every value, as text.
        return pa.array([None if v is None else str(v) for v in column.to_pylist()], target)


def _runs(tables: list[pa.Table]) -> list[pa.Table]:
    """Neighbouring tables of one schema joined (no copy): most files of an archive write a
    category alike, so columns are then placed once per run, not once per file."""
    runs: list[list[pa.Table]] = []
    for table in tables:
        if runs and runs[-1][0].schema.equals(table.schema, check_metadata=True):
            runs[-1].append(table)
        else:
            runs.append([table])
    return [run[0] if len(run) == 1 else pa.concat_tables(run) for run in runs]


def merge(tables: list[pa.Table], schema: pa.Schema | None = None) -> pa.Table:
    """The tables (of one category, from several files or parts) as one table with `schema`
    (by default the unified schema of the tables): rows in order, columns in its order and
    types, null where a table has no such column."""
    if schema is None:
        schema = unify(t.schema for t in tables)
    if len(tables) == 1 and tables[0].schema.equals(schema) and tables[0].column(0).num_chunks < 2:
        return tables[0]
    by_key = {field.name.lower(): field for field in schema}
    # Each column is the pieces of the tables that have it, and one run of nulls for each
    # stretch of rows whose tables do not: a wide, sparse category (a thousand columns over
    # hundreds of files, each with a few) costs what it holds, not columns times files.
    pieces: dict[str, list[pa.Array]] = {key: [] for key in by_key}
    filled = dict.fromkeys(by_key, 0)  # rows each column covers so far
    rows = 0
    for run in _runs(tables):
        for source, column in zip(run.schema, run.columns):
            name = source.name
            key = name.lower()
            field = by_key[key]
            if filled[key] > rows:
                raise ValueError(f"two columns named {name!r} (without regard to case)")
            if filled[key] < rows:
                pieces[key].append(pa.nulls(rows - filled[key], field.type))
            if column.type != field.type:
                column = _cast(column, field.type, placeholders_only(source))
            pieces[key].extend(column.chunks if isinstance(column, pa.ChunkedArray) else [column])
            filled[key] = rows + run.num_rows
        rows += run.num_rows
    columns = []
    for key, field in by_key.items():
        if filled[key] < rows:
            pieces[key].append(pa.nulls(rows - filled[key], field.type))
        columns.append(_join(pieces[key], field.type))
    return pa.Table.from_arrays(columns, schema=schema)


def _join(pieces: list[pa.Array], type: pa.DataType) -> pa.Array | pa.ChunkedArray:
    """The pieces of a column as few chunks: the Parquet writer pays for every chunk it is
    given (a task of a thousand small files wrote six times slower from the chunks), so runs
    of small pieces are joined; a large piece stays a chunk of its own, not copied."""
    if not pieces:
        return pa.array([], type)
    chunks: list[pa.Array] = []
    small: list[pa.Array] = []

    def flush() -> None:
        if small:
            try:
                chunks.append(pa.concat_arrays(small) if len(small) > 1 else small[0])
            except pa.ArrowInvalid:  # over 2 GiB of text: left in chunks
                chunks.extend(small)
            small.clear()

    for piece in pieces:
        if len(piece) >= LARGE_PIECE_ROWS:
            flush()
            chunks.append(piece)
        else:
            small.append(piece)
    flush()
    return chunks[0] if len(chunks) == 1 else pa.chunked_array(chunks, type)


def _item_names(names: list[str]) -> list[str]:
    """Column names with an item column that would share a name with a leading column (DuckDB
    ignores case) renamed `<name>_item`; block and frame come first from the parser."""
    return [f"{n}_item" if i >= 2 and n.lower() in LEADING else n for i, n in enumerate(names)]


def _valueless(schema: pa.Schema) -> set[str]:
    """The columns in which typing found no value at all (only `?` and `.`): they say nothing
    of the column's type, and must not widen the files' numbers in it to text."""
    rules = (schema.metadata or {}).get(TYPES_KEY)
    # Searched before it is parsed: most tables have no such column, and the rules of every
    # table of every file pass through here (twice, with the first pass).
    if rules is None or _NO_VALUES_BYTES not in rules:
        return set()
    return {name for name, rule in json.loads(rules).items() if rule.get("reason") == NO_VALUES}


def with_file(table: pa.Table, file: str) -> pa.Table:
    """The table with a leading `file` column, item columns renamed as `_item_names` says, and
    the columns without values (their `?` and `.` as text) marked as `placeholders_only`:
    `unify` then takes the other files' type."""
    valueless = _valueless(table.schema)
    marked = [i for i, name in enumerate(table.column_names) if name in valueless]
    table = table.replace_schema_metadata(None).rename_columns(_item_names(table.column_names))
    if marked:  # most tables have no such column: only these are rebuilt
        schema = table.schema
        for i in marked:
            schema = schema.set(i, schema.field(i).with_metadata(_PLACEHOLDERS))
        table = pa.Table.from_arrays(table.columns, schema=schema)
    return table.add_column(0, "file", pa.repeat(pa.scalar(file, pa.string()), table.num_rows))


def file_schema(schema: pa.Schema) -> pa.Schema:
    """The schema `unify` takes `with_file`'s table of `schema` for, without building the
    table: the columns without values of the null type."""
    valueless = _valueless(schema)
    fields = [
        pa.field(n, pa.null() if f.name in valueless else f.type)
        for f, n in zip(schema, _item_names(schema.names))
    ]
    return pa.schema([pa.field("file", pa.string()), *fields])


def distinct(schemas) -> list[pa.Schema]:
    """The schemas once each, in order; told apart by their columns' marks too, which
    pyarrow's schema equality (and so a dict of schemas) does not see."""
    seen: dict[str, pa.Schema] = {}
    for schema in schemas:
        seen.setdefault(schema.to_string(show_schema_metadata=False), schema)
    return list(seen.values())


def written_schema(schema: pa.Schema) -> pa.Schema:
    """`schema` as a category's parts are written: a column no file gave a value keeps the
    string type it had from typing (its `?` and `.`), marked, so that a later widening still
    takes the other parts' type."""
    return pa.schema(
        [pa.field(f.name, pa.string(), metadata=_PLACEHOLDERS) if pa.types.is_null(f.type)
         else f for f in schema]
    )


# --- writing and cleaning ------------------------------------------------------------------


def write_part(table: pa.Table, directory: str, key: str) -> str:
    """Writes `table` as the part of task `key`. The file is written beside its final name and
    renamed over it, so a reader or a retried task only ever sees a whole part."""
    os.makedirs(directory, exist_ok=True)
    target = os.path.join(directory, part_name(key))
    temp = os.path.join(directory, f".{PART_PREFIX}{key}.tmp-{uuid.uuid4().hex}")
    try:
        # Plain encoding under zstd: smaller and faster to write than dictionary pages for
        # CIF columns (measured on atom_site of a 21 MB entry: 2.4 MB and 0.09 s against
        # 3.1 MB and 0.15 s); but dictionary pages for the leading columns, one value repeated
        # over a file's rows (a tenth less writing time on the mmCIF corpus). Statistics only
        # for the leading columns, which queries filter on: for every column they cost a sixth
        # of the writing time.
        pq.write_table(
            table, temp, compression="zstd", use_dictionary=LEAD, write_statistics=LEAD
        )
        os.replace(temp, target)
    except BaseException:
        if os.path.exists(temp):
            os.unlink(temp)
        raise
    return target


def dataset_dirs(out: str) -> list[str]:
    """Every directory of OUT that holds part files (the datasets and the diagnostics)."""
    found = []
    with os.scandir(out) as entries:
        for entry in entries:
            if entry.is_dir(follow_symlinks=False):
                with os.scandir(entry.path) as inner:
                    if any(part_key(e.name) or _TEMP.match(e.name) for e in inner):
                        found.append(entry.path)
    return sorted(found)


def remove_parts_except(out: str, keep: set[str]) -> int:
    """Removes every part whose task is not in `keep` (and half-written parts): what remains
    is exactly the parts of the tasks the manifest records. Returns how many were removed."""
    removed = 0
    if not os.path.isdir(out):
        return removed
    for directory in dataset_dirs(out):
        for entry in os.scandir(directory):
            key = part_key(entry.name)
            if (key is not None and key not in keep) or _TEMP.match(entry.name):
                os.unlink(entry.path)
                removed += 1
        if not os.listdir(directory):
            os.rmdir(directory)
    return removed


def rewrite_parts(jobs: list[tuple[str, pa.Schema]]) -> float:
    """Brings each part to its dataset's schema (run after other tasks widened a column or
    added one). Returns the CPU seconds it took."""
    cpu = time.process_time()
    for path, schema in jobs:
        # One thread: the engine already runs a rewrite per core, and threads only add CPU.
        part = pq.ParquetFile(path).read(use_threads=False)
        # Its metadata (the category it holds) stays with it.
        table = merge([part], schema).replace_schema_metadata(part.schema.metadata)
        write_part(table, os.path.dirname(path), part_key(os.path.basename(path)))
    return time.process_time() - cpu
