"""What `tessrin check` and `tessrin show` print."""

from __future__ import annotations

import json
import math
import os
import re
from collections import Counter

import tessrin_core
from rich import box
from rich.console import Console, Group
from rich.padding import Padding
from rich.table import Table
from rich.text import Text

from tessrin._findings import FindingCounts, finding_line, findings_of, is_error
from tessrin._run import Unreadable, read_bytes, utf8_reason
from tessrin.types import CifVersion

ERROR_TYPES = ("lexical", "syntactic", "semantic")
SHOW_MAX_DIAGNOSTICS = 10
# What `check` records of one file by default: a file of millions of stray values must not
# print millions of lines.
CHECK_MAX_ERRORS = 1000


def mode_of(strict: bool) -> str | None:
    return "strict" if strict else None


def version_label(version: str | None) -> str:
    return f"CIF {CifVersion[version].value}" if version in CifVersion.__members__ else "CIF"


def plural(count: int, noun: str, grouped: bool = False) -> str:
    """`1 file`, `2 files` (`1,000 files` when grouped)."""
    number = f"{count:,}" if grouped else str(count)
    return f"{number} {noun}{'' if count == 1 else 's'}"


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
    return _with_action(_diagnostic_head(prefix, error), error)


def _diagnostic_head(prefix: str, error: dict) -> str:
    return f"{prefix}:{error['line']}:{error['column']}: {error['error_type']}: {error['message']}"


def _with_action(line: str, error: dict) -> str:
    action = error.get("recovery_action")
    return f"{line} [{action}]" if action else line


# The lexer reports every character CIF 1.1 does not allow; a line of Greek or CJK text would
# fill a screen with them.
_PER_CHARACTER = re.compile(r"character U\+[0-9A-F]+ ")


def _collapsed(errors: list[dict]) -> list[tuple[dict, int]]:
    """Each diagnostic with how many more it stands for: of the per-character diagnostics
    (`character U+00B0 is not permitted ...`) on one line, the first stands for all."""
    kept: list[list] = []
    first_on_line: dict[int, int] = {}
    for error in errors:
        if error["error_type"] == "lexical" and _PER_CHARACTER.match(error["message"]):
            at = first_on_line.setdefault(error["line"], len(kept))
            if at < len(kept):
                kept[at][1] += 1
                continue
        kept.append([error, 0])
    return [(error, more) for error, more in kept]


# What a semantic diagnostic and a conformance finding say of one problem, as one key: the
# loop's counts, or the rule and the name repeated.
_DIAGNOSTIC_MEANINGS = [
    (re.compile(r"loop value count (\d+) is not divisible by tag count (\d+)"),
     lambda m: ("loop-count-mismatch", int(m[2]), int(m[1]))),
    (re.compile(r'tag "(.*)" defined again'), lambda m: ("duplicate-tag", m[1].lower())),
    (re.compile(r'duplicate data block name: "(.*)"'),
     lambda m: ("duplicate-block-code", m[1].lower())),
    (re.compile(r'duplicate save frame name: "(.*)"'),
     lambda m: ("duplicate-frame-code", m[1].lower())),
]
_LOOP_COUNTS = re.compile(r"loop of (\d+) data names has (\d+) values")
_CODE_PREFIX = {"duplicate-block-code": "data_", "duplicate-frame-code": "save_"}


def _diagnostic_meaning(error: dict):
    for pattern, key in _DIAGNOSTIC_MEANINGS:
        match = pattern.match(error["message"])
        if match:
            return key(match)
    return None


def _finding_meaning(finding: dict):
    rule = finding["rule"]
    if rule == "loop-count-mismatch":
        match = _LOOP_COUNTS.match(finding["message"])
        return (rule, int(match[1]), int(match[2])) if match else None
    if rule == "duplicate-tag":
        return (rule, finding["context"].lower())
    if rule in _CODE_PREFIX:
        return (rule, finding["context"].lower().removeprefix(_CODE_PREFIX[rule]))
    return None


def _partner(error: dict, at: dict, by_meaning: dict) -> dict | None:
    """The finding `error` is shown as, taken from those left, or None. A semantic diagnostic
    goes with the finding of the same meaning, the one at its position if there is one there;
    others at a position: the one there of the same text (`context`), else the first there."""
    place = (error["line"], error["column"])
    found = by_meaning.get(_diagnostic_meaning(error)) if error["error_type"] == "semantic" else None
    if found:
        finding = next((f for f in found if (f["line"], f["column"]) == place), found[0])
        found.remove(finding)
        at[(finding["line"], finding["column"])].remove(finding)
        return finding
    here = at.get(place)
    if not here:
        return None
    finding = next((f for f in here if f["context"] == error.get("context")), here[0])
    here.remove(finding)
    found = by_meaning.get(_finding_meaning(finding))
    if found:
        found.remove(finding)
    return finding


def check_lines(prefix: str, errors: list[dict], findings: list[dict]) -> list[str]:
    """What `check` prints for one file, each problem once and by position.

    Per-character diagnostics of one line are one line with their count. A diagnostic at the
    line and column of a conformance finding is that finding's line, with the diagnostic's
    recovery action: the finding there with the diagnostic's text, else the first there; a
    semantic diagnostic goes with the finding of the same meaning (a loop's value count, a
    name given twice). What is left over has a line of its own; diagnostics without a position
    (line 0) go last, and without findings the diagnostics keep the order the core found them
    in. --json keeps every record as it is.
    """
    at: dict[tuple[int, int], list[dict]] = {}
    by_meaning: dict = {}
    for finding in findings:
        at.setdefault((finding["line"], finding["column"]), []).append(finding)
        meaning = _finding_meaning(finding)
        if meaning is not None:
            by_meaning.setdefault(meaning, []).append(finding)
    lines = []
    for error, more in _collapsed(errors):
        shown = _partner(error, at, by_meaning)
        if shown is not None:
            line = finding_line(prefix, shown)
        else:
            shown, line = error, _diagnostic_head(prefix, error)
        if more:
            line += f" (and {plural(more, 'more character')} on this line)"
        lines.append((shown, _with_action(line, error)))
    lines += [(f, finding_line(prefix, f)) for left in at.values() for f in left]
    if findings:
        lines.sort(key=lambda pair: (pair[0]["line"] or math.inf, pair[0]["column"]))
    return [line for _, line in lines]


class CheckSummary:
    """Counts over every file of one `check` run."""

    def __init__(self) -> None:
        self.files = 0
        self.clean = 0
        self.unreadable = 0
        self.by_type: Counter[str] = Counter()
        self.findings: FindingCounts | None = None

    def add(self, result: dict) -> None:
        self.files += 1
        if result["unreadable"] is not None:
            self.unreadable += 1
        self.by_type.update(error["error_type"] for error in result["errors"])
        findings = result.get("conformance")
        if findings is not None:
            self.findings = self.findings or FindingCounts()
            self.findings.add(findings)
        # As the exit status counts: a recommendation (a warning) leaves a file clean.
        if result["unreadable"] is None and not result["errors"]:
            self.clean += not any(map(is_error, findings or ()))

    def line(self) -> str:
        kinds = [*ERROR_TYPES, *sorted(set(self.by_type) - set(ERROR_TYPES))]
        counts = ", ".join(f"{self.by_type[kind]} {kind}" for kind in kinds)
        text = f"{plural(self.files, 'file')} ({self.clean} clean), "
        text += plural(self.by_type.total(), "diagnostic")
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
    more = plural(len(tags) - shown, "more column")
    return Group(table, Text(f"… and {more} (a wider terminal shows more, e.g. COLUMNS=200)",
                             style="dim"))


def more_rows(total: int, shown: int) -> list:
    """The line saying how many rows were left out, if any."""
    if total <= shown:
        return []
    more = plural(total - shown, "more row")
    return [Text(f"… and {more} (--rows {total} shows them all)", style="dim")]


def item_lines(items: list[tuple[str, object, str | None]], width: int):
    """`item: value` lines, each value shortened to what is left of the width and followed by
    the type of a typed column (`length_a: 9.8213 (float64)`)."""
    lines = Text()
    for n, (name, value, mark) in enumerate(items):
        if n:
            lines.append("\n")
        lines.append(f"{name}: ")
        suffix = f" ({mark})" if mark else ""
        lines.append(shorten(value, max(20, width - len(name) - 2 - len(suffix))))
        lines.append(suffix, style="dim")
    return lines


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
            parts.append(Padding(Group(table, *more_rows(count, rows)), (0, 0, 0, 4)))
    return Group(*parts)


# --- category tables on screen (`show`) ---------------------------------------------------


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


# By the types' names: `check` imports this module in every worker, and pyarrow is slow to
# import.
_TYPE_MARKS = {"int64": "int64", "double": "float64"}


def type_mark(field) -> str | None:
    """The type a typed column is marked with, None for text."""
    return _TYPE_MARKS.get(str(field.type))


def typed_titles(schema) -> list[str]:
    """Column titles with typed columns marked by their type (`Cartn_x: float64`)."""
    return [
        f"{field.name}: {type_mark(field)}" if type_mark(field) else field.name
        for field in schema
    ]


def table_view(name: str, table, rows: int, width: int):
    """One category: its size, then its first rows under the column names, or (for one row)
    each column as an `item: value` line, so that no column is left out."""
    title = Text(
        f"{name}: {plural(table.num_rows, 'row')}, {plural(table.num_columns - 2, 'column')}",
        style="bold",
    )
    if not table.num_rows:
        return title
    if table.num_rows == 1:
        # A frame of None only says the table is not in a save frame.
        items = [
            (field.name, cell_value(column[0].as_py()), type_mark(field))
            for field, column in zip(table.schema, table.columns)
            if not (field.name == "frame" and column[0].as_py() is None)
        ]
        return Group(title, Padding(item_lines(items, width - 2), (0, 0, 0, 2)))
    head = table.slice(0, rows)
    columns = [[cell_value(c) for c in column.to_pylist()] for column in head.columns]
    view = loop_table(typed_titles(head.schema), columns, head.num_rows, width - 2, strip=False)
    return Group(title, Padding(Group(view, *more_rows(table.num_rows, rows)), (0, 0, 0, 2)))


def check_command(path: str, strict: bool, diagnostics: int) -> str:
    """The `tessrin check` command that lists a file's diagnostics as `show` counted them."""
    import shlex

    options = " --strict" if strict else ""
    if diagnostics > CHECK_MAX_ERRORS:
        options += f" --max-errors {diagnostics}"
    return f"tessrin check{options} {shlex.quote(path)}"


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
        ),
        soft_wrap=True,
    )
    if not blocks_view:
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
            more = plural(len(errors) - SHOW_MAX_DIAGNOSTICS, "more diagnostic")
            console.print(Text(f"  … and {more}: {check_command(path, strict, len(errors))} "
                               "lists them"), soft_wrap=True)
