"""Category tables (`parse_tables`) written back as CIF blocks for the native writer.

Rows go back to their block (`block` column) and save frame (`frame` column). A stretch of
rows of one category in one block or frame is written as a loop, or as plain items when it is
a single row and the category's last in that block or frame (the reader files plain items when
the frame ends, so that is where such a row reads back). Column `x` of category `c` is the tag
`_c.x`; a column already named as a tag (`_unknown`'s columns, full DDLm names) keeps its name.

Where a column is written, a null is `?`. A text column's null means its item was absent, so
each stretch is cut where the text columns' nulls change, and a column with no value in a
stretch is left out of it; numeric columns take `?` wherever a row of the stretch has no value.

Numbers are turned into text natively (`_number_cells`: repr digits, the uncertainty of a
derived `<column>_su` companion folded back as `1.234(5)`); text columns go as they are, a
NUL-marked JSON cell back to its CIF 2.0 list or table. Everything else is columnar work in
pyarrow.compute; the text is laid out by the native writer (`_dumps`).
"""

from __future__ import annotations

import itertools
import json

import pyarrow as pa
import pyarrow.compute as pc
from tessrin_core import _number_cells

TYPES_KEY = b"tessrin.types"
# Schema metadata of a table (any one of a dict of tables): the blocks' names as JSON, in the
# order they are written; blocks it does not name follow in order of first appearance.
BLOCK_ORDER_KEY = b"tessrin.block_order"


def with_block_order(tables: dict, blocks: list[str]) -> dict:
    """`tables` with `blocks` as their block order (BLOCK_ORDER_KEY on the first table)."""
    first, *_ = tables
    table = tables[first]
    meta = {**(table.schema.metadata or {}), BLOCK_ORDER_KEY: json.dumps(blocks).encode()}
    return {**tables, first: table.replace_schema_metadata(meta)}


def _given_block_order(tables: dict) -> list:
    for table in tables.values():
        given = (table.schema.metadata or {}).get(BLOCK_ORDER_KEY)
        if given is not None:
            try:
                order = json.loads(given)
            except ValueError:
                return []
            return [b for b in order if isinstance(b, str)] if isinstance(order, list) else []
    return []


def _is_text(kind: pa.DataType) -> bool:
    return (pa.types.is_string(kind) or pa.types.is_large_string(kind)
            or (hasattr(pa.types, "is_string_view") and pa.types.is_string_view(kind)))


def is_table_dict(obj) -> bool:
    return isinstance(obj, dict) and "blocks" not in obj and all(
        isinstance(t, pa.Table) for t in obj.values()
    )


def derived_su(table: pa.Table) -> dict[str, str]:
    """Value column -> its derived uncertainty column, from the typing rules."""
    meta = table.schema.metadata or {}
    try:
        rules = json.loads(meta.get(TYPES_KEY, b"{}"))
    except ValueError:
        return {}
    names = set(table.column_names)
    return {
        column: rule["su"]
        for column, rule in rules.items()
        if isinstance(rule, dict) and rule.get("su") in names and column in names
    }


def _cells(column: pa.ChunkedArray, su) -> tuple[list, bool]:
    """One CIF value per row (`?` for null); True when one is a CIF 2.0 list or table."""
    kind = column.type
    if pa.types.is_null(kind) and su is not None:
        # No values at all, but maybe uncertainties: refused below as any su without a value.
        column, kind = column.cast(pa.float64()), pa.float64()
    if (pa.types.is_integer(kind) and kind != pa.uint64()) or pa.types.is_floating(kind):
        if pa.types.is_floating(kind) and kind != pa.float64():
            column = column.cast(pa.float64())
        array = column.combine_chunks()
        return _number_cells(array, None if su is None else su.combine_chunks()), False
    if not (pa.types.is_string(kind) or pa.types.is_large_string(kind)):
        column = pc.cast(column, pa.string())
    cells = pc.fill_null(column, "?").to_pylist()
    marked = pc.indices_nonzero(
        pc.fill_null(pc.starts_with(column.combine_chunks(), "\x00"), False)
    ).to_pylist()
    containers = False
    for i in marked:
        value = json.loads(cells[i][1:])
        containers = containers or not isinstance(value, str)
        cells[i] = value
    return cells, containers


def _changes(a: pa.ChunkedArray, b: pa.ChunkedArray, values: bool):
    """Where consecutive rows differ in validity (and, with `values`, in value)."""
    moved = pc.not_equal(pc.is_valid(a), pc.is_valid(b))
    if values:
        moved = pc.or_(moved, pc.fill_null(pc.not_equal(a, b), False))
    return moved


def _stretches(table: pa.Table, text_columns: list[str]) -> list[int]:
    """Row indices where a stretch begins, and the row count at the end."""
    n = table.num_rows
    if n == 0:
        return [0]
    mask = None
    for name in ["block", "frame", *text_columns]:
        column = table.column(name)
        moved = _changes(column.slice(1), column.slice(0, n - 1), name in ("block", "frame"))
        mask = moved if mask is None else pc.or_(mask, moved)
    cuts = pc.indices_nonzero(mask.combine_chunks() if hasattr(mask, "combine_chunks") else mask)
    return [0, *(i + 1 for i in cuts.to_pylist()), n]


def merge_orders(sequences: list[list]) -> list:
    """One order holding every sequence's order where they agree (a merge that takes first a
    head no sequence has further on; the first head where they conflict)."""
    sequences = [s for s in sequences if s]
    later: dict = {}
    for s in sequences:
        for item in s[1:]:
            later[item] = later.get(item, 0) + 1
    heads = [0] * len(sequences)
    out, seen = [], set()
    live = list(range(len(sequences)))
    while live:
        pick = next(
            (sequences[i][heads[i]] for i in live if not later.get(sequences[i][heads[i]])),
            sequences[live[0]][heads[live[0]]],
        )
        if pick not in seen:
            seen.add(pick)
            out.append(pick)
        for i in live:
            if sequences[i][heads[i]] == pick:
                heads[i] += 1
                if heads[i] < len(sequences[i]):
                    later[sequences[i][heads[i]]] -= 1
        live = [i for i in live if heads[i] < len(sequences[i])]
    return out


def _runs(items: list) -> list:
    out = []
    for item in items:
        if not out or out[-1] != item:
            out.append(item)
    return out


class _Frame:
    """A block or save frame in the shape `_dumps` takes (a parse_raw block dict)."""

    def __init__(self, name: str):
        self.name = name
        self.tag_order: list[str] = []
        self.groups: list[tuple[list[str], list[bool]]] = []  # tags, and [looped]
        self.tags: dict[str, list] = {}

    def add(self, tags: list[str], columns: list[list], looped: bool):
        """Adds a stretch of rows. One naming a tag an earlier stretch of this frame has (a
        tag repeated in the file, or two names of one item) joins that stretch as a loop, with
        `?` where either has no value: one frame holds each tag once."""
        joined = next((g for g in self.groups if any(t in self.tags for t in tags)
                       and any(t in g[0] for t in tags)), None)
        if joined is None:
            for tag, values in zip(tags, columns):
                self.tags[tag] = values
            self.tag_order.extend(tags)
            self.groups.append((list(tags), [looped]))
            return
        group, flag = joined
        before = len(self.tags[group[0]])
        rows = len(columns[0])
        others = [g for g in self.groups if g is not joined and any(t in g[0] for t in tags)]
        if others or any(len(self.tags[t]) != before for t in group):
            raise ValueError(
                f"save frame or block '{self.name}': rows of one category name items of "
                "several earlier stretches of its rows, which no layout reads back alike"
            )
        if before == rows == 1 and set(tags) <= set(group):
            # A single row repeating items of a single row: written as the file had it, each
            # tag given again, which the reader files as a row of its own.
            flag[0] = False
            for tag, values in zip(tags, columns):
                self.tags[tag] = self.tags[tag] + values
            return
        flag[0] = True
        given = dict(zip(tags, columns))
        for tag in group:
            self.tags[tag] = self.tags[tag] + given.pop(tag, ["?"] * rows)
        for tag, values in given.items():
            self.tags[tag] = ["?"] * before + values
            self.tag_order.append(tag)
            group.append(tag)

    @property
    def loops(self) -> list[list[str]]:
        return [tags for tags, flag in self.groups if flag[0]]

    def as_dict(self, frames=None) -> dict:
        out = {"name": self.name, "tag_order": self.tag_order, "loops": self.loops,
               "tags": self.tags}
        if frames is not None:
            out["save_frames"] = [f.as_dict() for f in frames]
        return out


def stretches_last(stretches, block, frame) -> int:
    """First row of the category's last stretch in that block or save frame."""
    return max(s[2] for s in stretches if s[0] == block and s[1] == frame)


def _written_order(stretches, place, written):
    """The stretches in the order they are written, each with the names of its columns.

    Loops keep their rows' order; a frame's single last row (written as plain items, which
    the reader files when the frame ends wherever they stand) goes before the first loop that
    brings in a column the table has after its own, so that columns read back in their
    order. A column not yet written goes out (as `?`) with the first stretch that writes a
    column after it, unless another stretch of that frame holds it."""
    keyed = []
    for position, s in enumerate(stretches):
        keyed.append((place[(s[0], s[1])], position, s))
    keyed.sort(key=lambda k: (k[0], k[1]))
    order = []
    for frame_place, position, s in keyed:
        if (s[3] - s[2] == 1 and stretches_last(stretches, s[0], s[1]) == s[2] and s[4]):
            # Ahead of the first loop of its frame that writes a later column first.
            low = min(s[4])
            for k, (other_place, _, other) in enumerate(order):
                if other_place == frame_place and other[4] and min(other[4]) > low:
                    order.insert(k, (frame_place, position, s))
                    break
            else:
                order.append((frame_place, position, s))
        else:
            order.append((frame_place, position, s))
    held: dict = {}
    for frame_place, _, s in order:
        held.setdefault(frame_place, set()).update(s[4])
    introduced: set[int] = set()
    out = []
    for frame_place, _, s in order:
        present = set(s[4])
        fresh = [i for i in present if i not in introduced]
        if fresh:
            others = held[frame_place] - present
            present |= {i for i in range(max(fresh)) if i not in introduced and i not in others}
        introduced |= present
        out.append([s[0], s[1], s[2], s[3], sorted(present)])
    if out and len(introduced) < len(written):
        out[-1][4] += [i for i in range(len(written)) if i not in introduced]
    return [(b, f, start, end, [written[i] for i in cols]) for b, f, start, end, cols in out]


def _tag(category: str, column: str) -> str:
    return column if column.startswith("_") else f"_{category}.{column}"


def table_blocks(tables: dict) -> tuple[list[dict], bool]:
    """The blocks of `tables` as `_dumps` takes them, and whether a value needs CIF 2.0."""
    needs_cif2 = False
    planned = []  # per table: (category, stretches [(block, frame, start, end, columns)], cells)
    for category, table in tables.items():
        if not isinstance(category, str):
            raise TypeError(f"a category name must be str, not {type(category).__name__}")
        for name in ("block", "frame"):
            if name not in table.column_names:
                raise ValueError(f"table '{category}' has no '{name}' column")
            kind = table.schema.field(name).type
            # All null: no save frames (or no blocks, refused below). A dictionary of text is
            # what a pandas category or a polars Categorical reads back as.
            if pa.types.is_null(kind) or (_is_text(kind) and kind != pa.string()) or (
                    pa.types.is_dictionary(kind) and _is_text(kind.value_type)):
                table = table.set_column(table.column_names.index(name), name,
                                         table.column(name).cast(pa.string()))
            elif not _is_text(kind):
                raise TypeError(f"table '{category}': column '{name}' must hold str, not {kind}")
        if table.column("block").null_count:
            raise ValueError(f"table '{category}': a row has no block (a null in column 'block')")
        su_of = derived_su(table)
        derived = set(su_of.values())
        written = [c for c in table.column_names[2:] if c not in derived]
        text = [c for c in written if pa.types.is_string(table.schema.field(c).type)
                or pa.types.is_large_string(table.schema.field(c).type)]
        cells = {}
        for c in written:
            su = table.column(su_of[c]) if c in su_of else None
            try:
                cells[c], containers = _cells(table.column(c), su)
            except ValueError as error:
                raise ValueError(f"table '{category}', column '{c}': {error}") from None
            needs_cif2 = needs_cif2 or containers
        blocks = table.column("block").to_pylist()
        frames = table.column("frame").to_pylist()
        bounds = _stretches(table, text)
        stretches = []
        for start, end in itertools.pairwise(bounds):
            present = []
            for i, c in enumerate(written):
                column = table.column(c)
                if c in text:
                    has = column[start].is_valid
                else:
                    has = column.slice(start, end - start).null_count < end - start
                if has:
                    present.append(i)
            if not present:
                # Rows with no value at all (`?` in every typed column) are kept as `?`s.
                present = [i for i, c in enumerate(written) if c not in text] or list(
                    range(len(written)))
            stretches.append([blocks[start], frames[start], start, end, present])
        planned.append((category, stretches, cells, written))

    runs = [_runs([s[0] for s in st]) for _, st, _, _ in planned]
    present = {b for run in runs for b in run}
    given = [b for b in dict.fromkeys(_given_block_order(tables)) if b in present]
    block_order = merge_orders([given, *runs])
    frame_order = {
        block: merge_orders([_runs([s[1] for s in st if s[0] == block and s[1] is not None])
                       for _, st, _, _ in planned])
        for block in block_order
    }
    bodies = {(b, None): _Frame(b) for b in block_order}
    place = {(b, None): (k, -1) for k, b in enumerate(block_order)}
    for k, b in enumerate(block_order):
        for j, f in enumerate(frame_order[b]):
            bodies[(b, f)] = _Frame(f)
            place[(b, f)] = (k, j)
    for category, stretches, cells, written in planned:
        for block, frame, start, end, columns in _written_order(stretches, place, written):
            if not columns:
                continue
            tags = [_tag(category, c) for c in columns]
            plain = (end - start == 1 and stretches_last(stretches, block, frame) == start
                     and (category == "_unknown" or not any(c.startswith("_") for c in columns)))
            bodies[(block, frame)].add(tags, [cells[c][start:end] for c in columns], not plain)
    blocks = [
        bodies[(b, None)].as_dict([bodies[(b, f)] for f in frame_order[b]]) for b in block_order
    ]
    return blocks, needs_cif2
