"""`tessrin convert`: the record batches of a file written as Parquet, Arrow IPC or JSON lines."""

from __future__ import annotations

import errno
import json
import os

import pyarrow as pa
import tessrin_core

from tessrin._run import (
    ENCODING_HINT,
    Unreadable,
    decode_failure,
    input_stem,
    native_read_reason,
    read_bytes,
)
from tessrin.convert.names import distinct_names, safe_name
from tessrin.convert.options import ConvertOptions
from tessrin.convert.tables import write_tables

FORMATS = {"parquet": ".parquet", "arrow": ".arrow", "jsonl": ".jsonl"}
DIAGNOSTICS_FILE = "diagnostics.jsonl"
BLOCKS_FILE = "blocks.jsonl"
LEADING_COLUMNS = 5  # _tessrin_block_idx, _block_name, _frame_idx, _frame_name, _loop_id

BLOCK_NAME_LIMIT = 60
STEM_LIMIT = 100  # of a name made from an input file's name


def batch_file_name(batch, block_digits: int, extension: str) -> str:
    """`BLOCKIDX_BLOCK[-saveFRAMEIDX_FRAME]-LOOP.EXT`; the indices keep names unique even when
    blocks or frames share a name or differ only in case."""
    block_idx, block, frame_idx, frame, loop_id = (
        batch.column(i)[0].as_py() for i in range(LEADING_COLUMNS)
    )
    name = f"{block_idx:0{block_digits}d}_{safe_name(block, BLOCK_NAME_LIMIT)}"
    if frame_idx is not None:
        name += f"-save{frame_idx}_{safe_name(frame, BLOCK_NAME_LIMIT)}"
    return f"{name}-{loop_id.strip('_')}{extension}"


def _json(value) -> str:
    return json.dumps(value, ensure_ascii=False)


def cell_json(cell: str | None) -> str:
    """The JSON text of one cell. Lists and tables arrive as NUL followed by their JSON text,
    which is copied as it is: decoding it would fail on values nested a thousand deep."""
    if cell is not None and cell.startswith("\x00"):
        return cell[1:]
    return _json(cell)


def _object(pairs) -> str:
    return "{" + ", ".join(f"{_json(key)}: {text}" for key, text in pairs) + "}"


def _array(texts) -> str:
    return "[" + ", ".join(texts) + "]"


class _Frame:
    """The data of one block or save frame, collected from its batches, as JSON texts."""

    def __init__(self, head: dict) -> None:
        self.head = head
        self.tags: list[tuple[str, str]] = []
        self.loops: list[str] = []
        self.frames: dict[int, _Frame] = {}

    def add(self, batch, loop_id: str) -> None:
        names = batch.schema.names[LEADING_COLUMNS:]
        columns = [
            [cell_json(cell) for cell in batch.column(i).to_pylist()]
            for i in range(LEADING_COLUMNS, batch.num_columns)
        ]
        if loop_id == "__scalars__":
            # Plain tags have one value; more only if the file gave several and the parser kept them.
            self.tags.extend(
                (name, cells[0] if len(cells) == 1 else _array(cells))
                for name, cells in zip(names, columns)
            )
        else:
            self.loops.append(_object((name, _array(cells)) for name, cells in zip(names, columns)))

    def json(self) -> str:
        pairs = [(key, _json(value)) for key, value in self.head.items()]
        pairs += [("tags", _object(self.tags)), ("loops", _array(self.loops))]
        if "block" in self.head:
            pairs.append(
                ("save_frames", _array(self.frames[i].json() for i in sorted(self.frames)))
            )
        return _object(pairs)


def block_lines(path: str, batches) -> list[str]:
    """One JSON text per block that has data: plain tags, loops as columns, save frames."""
    blocks: dict[int, _Frame] = {}
    for batch in batches:
        block_idx, block, frame_idx, frame, loop_id = (
            batch.column(i)[0].as_py() for i in range(LEADING_COLUMNS)
        )
        entry = blocks.get(block_idx)
        if entry is None:
            entry = blocks[block_idx] = _Frame(
                {"file": path, "block_index": block_idx, "block": block}
            )
        if frame_idx is not None:
            parent = entry
            entry = parent.frames.get(frame_idx)
            if entry is None:
                entry = parent.frames[frame_idx] = _Frame(
                    {"frame_index": frame_idx, "frame": frame}
                )
        entry.add(batch, loop_id)
    return [blocks[i].json() for i in sorted(blocks)]


def _write_batch(batch, target: str, fmt: str) -> None:
    if fmt == "parquet":
        import pyarrow.parquet as pq

        pq.write_table(pa.Table.from_batches([batch]), target)
    else:
        with pa.OSFile(target, "wb") as sink, pa.ipc.new_file(sink, batch.schema) as writer:
            writer.write_batch(batch)


def _write_lines(target: str, lines) -> None:
    with open(target, "w", encoding="utf-8") as stream:
        for line in lines:
            stream.write(line)
            stream.write("\n")


def _parse(path, options: ConvertOptions, by_table: bool):
    """The tables (or batches) and diagnostics of a file, gzipped or not; raises OSError,
    Unreadable or UnicodeDecodeError."""
    mode, max_errors, types, encoding = (
        options.mode, options.max_errors, options.types, options.encoding
    )
    if encoding is None:
        if by_table:
            return tessrin_core.parse_tables_file(path, mode, max_errors, types)
        return tessrin_core.parse_arrow_file(path, mode, max_errors)
    text = read_bytes(path).decode(encoding)
    if by_table:
        return tessrin_core.parse_tables(text, mode, max_errors, types)
    return tessrin_core.parse_arrow(text, mode, max_errors)


def convert_file(
    job: tuple[str, str],
    fmt: str,
    options: ConvertOptions,
    layout: str = "tables",
) -> dict:
    """Converts one file into `out_dir`; returns what was written, small enough to send back
    from a worker process. Text that is not UTF-8 is refused unless the options' `encoding`
    names the codec to read it with: a conversion must not change characters silently."""
    path, out_dir = job
    encoding = options.encoding
    outcome = {"path": path, "out_dir": out_dir, "written": [], "diagnostics": 0, "failure": None}
    by_table = layout == "tables" and fmt != "jsonl"
    try:
        batches, errors = _parse(path, options, by_table)
    except UnicodeDecodeError as error:
        outcome["failure"] = decode_failure(error, encoding)
        return outcome
    except Unreadable as error:
        outcome["failure"] = f"cannot read: {error}"
        return outcome
    except OSError as error:
        reason = native_read_reason(error)
        if error.errno == errno.EILSEQ and encoding is None:
            reason += ENCODING_HINT
        outcome["failure"] = f"cannot read: {reason}"
        return outcome
    outcome["diagnostics"] = len(errors)
    try:
        os.makedirs(out_dir, exist_ok=True)
        if by_table:
            names = write_tables(batches, out_dir, fmt, FORMATS[fmt])
        elif fmt == "jsonl":
            names = [BLOCKS_FILE]
            _write_lines(os.path.join(out_dir, BLOCKS_FILE), block_lines(path, batches))
        else:
            digits = len(str(max((b.column(0)[0].as_py() for b in batches), default=0)))
            names = [batch_file_name(b, digits, FORMATS[fmt]) for b in batches]
            for batch, name in zip(batches, names):
                _write_batch(batch, os.path.join(out_dir, name), fmt)
        _write_lines(os.path.join(out_dir, DIAGNOSTICS_FILE), map(_json, errors))
    except OSError as error:
        where = f"{error.filename}: " if error.filename else ""
        outcome["failure"] = f"cannot write: {where}{error.strerror or error}"
        return outcome
    except pa.ArrowException as error:
        outcome["failure"] = f"cannot write: {error}"
        return outcome
    outcome["written"] = [*names, DIAGNOSTICS_FILE]
    return outcome


def output_dirs(files: list[str], out: str) -> list[str]:
    """One input writes into OUT itself; several get a subdirectory each, named after the file
    (with -2, -3, … when two inputs share a name, without regard to case)."""
    if len(files) == 1:
        return [out]
    names = distinct_names((input_stem(path) for path in files), STEM_LIMIT)
    return [os.path.join(out, name) for name in names]
