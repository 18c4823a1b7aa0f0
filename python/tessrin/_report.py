"""What `tessrin check` and `tessrin show` print."""

from __future__ import annotations

import json
import os
import re
from collections import Counter

import tessrin_core
from rich import box
from rich.console import Console, Group
from rich.padding import Padding
from rich.table import Table
from rich.text import Text

from tessrin._findings import FindingCounts, findings_of
from tessrin._run import Unreadable, read_bytes, utf8_reason
from tessrin.types import CifVersion

ERROR_TYPES = ("lexical", "syntactic", "semantic")
SHOW_MAX_DIAGNOSTICS = 10


def mode_of(strict: bool) -> str | None:
    return "strict" if strict else None


def version_label(version: str | None) -> str:
    return f"CIF {CifVersion[version].value}" if version in CifVersion.__members__ else "CIF"


def plural(count: int, noun: str) -> str:
    return f"{count} {noun}{'' if count == 1 else 's'}"


# --- check ---------------------------------------------------------------------------------


def check_file(
    path: str,
    strict: bool = False,
    max_errors: int | None = None,
    rules: frozenset[str] | None = None,
) -> dict:
    """The outcome of one file, small enough to send back from a worker process. The file is
    read as bytes: text that is not UTF-8 is a conformance finding, and the core reads each
    undecodable byte as U+FFFD. `rules` are the conformance rules to report (None: none); at
    most `max_errors` diagnostics and as many findings are recorded."""
    try:
        data = read_bytes(path)
    except Unreadable as error:
        return {"path": path, "version": None, "errors": [], "unreadable": str(error)}
    text = data.decode("utf-8", "replace")
    # Only the diagnostics are needed: building every value as a Python object would cost
    # most of the time of a check.
    errors = tessrin_core.diagnostics(text, mode_of(strict), max_errors)
    return {
        "path": path,
        "version": version_of(text),
        "errors": errors,
        "conformance": None if rules is None else findings_of(data, rules, max_errors),
        "unreadable": None,
    }


_LEADING_BLANKS = re.compile(r"\s*")


def version_of(text: str) -> str:
    """The version name the core gives the text, as parse_raw reports it."""
    head = tessrin_core.parse_raw(_first_lines(text))
    return head["version"]


def _first_lines(text: str) -> str:
    """The text up to the end of its first line that is not blank: all version detection reads."""
    end = text.find("\n", _LEADING_BLANKS.match(text).end())
    return text if end < 0 else text[: end + 1]


def diagnostic_line(prefix: str, error: dict) -> str:
    """`PREFIX:LINE:COLUMN: TYPE: MESSAGE [ACTION]`: the form editors and CI parse to jump to it."""
    line = f"{prefix}:{error['line']}:{error['column']}: {error['error_type']}: {error['message']}"
    action = error.get("recovery_action")
    return f"{line} [{action}]" if action else line


class CheckSummary:
    """Counts over every file of one `check` run."""

    def __init__(self) -> None:
        self.files = 0
        self.unreadable = 0
        self.by_type: Counter[str] = Counter()
        self.findings: FindingCounts | None = None

    def add(self, result: dict) -> None:
        self.files += 1
        if result["unreadable"] is not None:
            self.unreadable += 1
        self.by_type.update(error["error_type"] for error in result["errors"])
        if result.get("conformance") is not None:
            self.findings = self.findings or FindingCounts()
            self.findings.add(result["conformance"])

    def line(self) -> str:
        kinds = [*ERROR_TYPES, *sorted(set(self.by_type) - set(ERROR_TYPES))]
        counts = ", ".join(f"{self.by_type[kind]} {kind}" for kind in kinds)
        text = f"{plural(self.files, 'file')}, {plural(self.by_type.total(), 'diagnostic')}"
        text += f" ({counts})"
        if self.findings is not None:
            text += f", {self.findings.text()}"
        if self.unreadable:
            text += f"; {self.unreadable} unreadable"
        return text

    def exit_status(self) -> int:
        if self.unreadable:
            return 2
        errors = self.findings.errors if self.findings is not None else 0
        return 1 if self.by_type.total() or errors else 0


def check_json(result: dict) -> str:
    return json.dumps(result, ensure_ascii=False)


# --- show ----------------------------------------------------------------------------------


class _Syntax(str):
    """Brackets and separators of a container, written as they are."""


def _quoted(text: str, always: bool = False) -> str:
    if not always and text and not any(c.isspace() or c in "'\"[]{}" for c in text):
        return text
    return f"'{text}'" if "'" not in text else f'"{text}"'


def container_text(value, limit: int) -> str:
    """A list or table in CIF 2.0 syntax, cut soon after `limit` characters.

    Walks with its own stack, so a value nested thousands deep neither overflows nor is
    rendered further than it can be shown.
    """
    pieces: list[str] = []
    size = 0
    stack = [value]
    while stack and size <= limit:
        item = stack.pop()
        if isinstance(item, _Syntax):
            piece = item
        elif isinstance(item, str):
            piece = _quoted(item)
        else:
            if isinstance(item, dict):
                opening, closing = "{", "}"
                entries = [
                    [_Syntax(_quoted(key, always=True) + ":"), child] for key, child in item.items()
                ]
            else:
                opening, closing = "[", "]"
                entries = [[child] for child in item]
            sequence: list = [_Syntax(opening)]
            for n, entry in enumerate(entries):
                sequence.extend(entry if n == 0 else [_Syntax(" "), *entry])
            sequence.append(_Syntax(closing))
            stack.extend(reversed(sequence))
            continue
        pieces.append(piece)
        size += len(piece)
    return "".join(pieces)


def shorten(value, width: int) -> str:
    """One line of at most `width` characters: whitespace runs collapsed, the rest cut with …"""
    if value is None:
        return ""
    if not isinstance(value, str):
        value = container_text(value, width)
    elif value == "":
        return "''"
    text = " ".join(value.split())
    return text if len(text) <= width else text[: width - 1] + "…"


def column_titles(tags: list[str]) -> list[str]:
    """Tag names without the category they share (`_atom_site_label` → `label`)."""
    if len(tags) < 2:
        return list(tags)
    prefix = os.path.commonprefix([tag.lower() for tag in tags])
    cut = max(prefix.rfind("_"), prefix.rfind(".")) + 1
    if cut <= 1 or any(len(tag) == cut for tag in tags):
        return list(tags)
    return [tag[cut:] for tag in tags]


def loop_table(tags: list[str], columns: list[list], rows: int, width: int, strip: bool = True):
    """The first rows of a loop as a table, with as many columns as fit in `width`."""
    titles = column_titles(tags) if strip else list(tags)
    cells = [
        [shorten(column[r] if r < len(column) else None, 28) for r in range(rows)]
        for column in columns
    ]
    shown, used = 0, 0
    for title, column in zip(titles, cells):
        need = max([len(title), *map(len, column)]) + 3  # padding either side and a rule
        if shown and used + need > width:
            break
        shown, used = shown + 1, used + need
    table = Table(box=box.SIMPLE_HEAD, show_edge=False, pad_edge=False)
    for title in titles[:shown]:
        table.add_column(Text(title), no_wrap=True, overflow="ellipsis")
    for r in range(rows):
        table.add_row(*(Text(column[r]) for column in cells[:shown]))
    if shown == len(tags):
        return table
    return Group(table, Text(f"… and {len(tags) - shown} more columns", style="dim"))


def frame_view(title: str, frame: dict, rows: int, width: int):
    """A block or save frame: its plain tags with values, then each loop."""
    looped = {tag for loop in frame["loops"] for tag in loop}
    plain = [tag for tag in frame["tag_order"] if tag not in looped]
    parts = [Text(title, style="bold")]
    if plain:
        grid = Table.grid(padding=(0, 2))
        grid.add_column(no_wrap=True)
        grid.add_column(no_wrap=True, overflow="ellipsis")
        value_width = max(20, width - 4 - min(40, max(map(len, plain))))
        for tag in plain:
            values = frame["tags"][tag]
            grid.add_row(
                Text(tag), Text(shorten(values[0] if len(values) == 1 else values, value_width))
            )
        parts.append(Padding(grid, (0, 0, 0, 2)))
    for number, loop in enumerate(frame["loops"]):
        columns = [frame["tags"][tag] for tag in loop]
        count = max(map(len, columns), default=0)
        parts.append(Text(f"  loop {number}: {plural(len(loop), 'tag')}, {plural(count, 'row')}"))
        parts.append(Padding(Text(" ".join(loop), style="cyan"), (0, 0, 0, 4)))
        if count:
            table = loop_table(loop, columns, min(rows, count), width - 4)
            parts.append(Padding(table, (0, 0, 0, 4)))
    return Group(*parts)


def show_file(
    path: str, strict: bool, rows: int, console: Console, blocks_view: bool = False
) -> None:
    """Prints the summary of one file, category by category (or block by block); raises
    Unreadable."""
    data = read_bytes(path)
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        # Shown all the same, as `check` checks it: the bad bytes read as U+FFFD.
        warning = f"{path}: warning: {utf8_reason(data, error)}; undecodable bytes read as U+FFFD"
        console.print(Text(warning, style="yellow"), soft_wrap=True)
        text = data.decode("utf-8", "replace")
    result = tessrin_core.parse_raw(text, mode_of(strict))
    blocks, errors = result["blocks"], result["errors"]
    console.print(
        Text(
            f"{path}: {version_label(result['version'])}, "
            f"{plural(len(blocks), 'block')}, {plural(len(errors), 'diagnostic')}",
            style="bold",
        )
    )
    if not blocks_view:
        from tessrin._tables import table_view

        tables, _ = tessrin_core.parse_tables(text, mode_of(strict))
        for name, table in tables.items():
            console.print()
            console.print(table_view(name, table, rows, console.width))
    for block in blocks if blocks_view else ():
        console.print()
        console.print(frame_view(f"data_{block['name']}", block, rows, console.width))
        for frame in block["save_frames"]:
            view = frame_view(f"save_{frame['name']}", frame, rows, console.width - 2)
            console.print(Padding(view, (1, 0, 0, 2)))
    if errors:
        console.print()
        console.print(Text("diagnostics", style="bold"))
        for error in errors[:SHOW_MAX_DIAGNOSTICS]:
            console.print(Text(diagnostic_line(f"  {path}", error)), soft_wrap=True)
        if len(errors) > SHOW_MAX_DIAGNOSTICS:
            more = len(errors) - SHOW_MAX_DIAGNOSTICS
            console.print(Text(f"  … and {more} more: `tessrin check {path}` lists them all"))
