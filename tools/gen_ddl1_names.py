#!/usr/bin/env python3
"""Turns the DDL1 name table (src/tables/ddl1_names.tsv) into C++, at build time.

    tools/gen_ddl1_names.py TABLE.tsv OUT.cpp

Standard library only: the build runs it before the extension exists. Lines starting with `#`
are comments; every other line is `tag<TAB>category<TAB>object`, the tag lower-cased, the rows
sorted by tag with no tag twice, so lookups are a binary search (checked here, since a row out
of order would make its name silently unknown).
"""

import sys
from pathlib import Path


def rows(table: Path) -> list[tuple[str, str, str]]:
    out = []
    for number, line in enumerate(table.read_text(encoding="utf-8").splitlines(), 1):
        if not line or line.startswith("#"):
            continue
        fields = tuple(line.split("\t"))
        if len(fields) != 3 or not all(fields) or fields[0] != fields[0].lower():
            sys.exit(f"{table}:{number}: expected a lower-cased tag, a category and an object id")
        if out and fields[0] <= out[-1][0]:
            sys.exit(f"{table}:{number}: {fields[0]} is out of order or given twice")
        out.append(fields)
    return out


def c_string(text: str) -> str:
    escaped = []
    for ch in text:
        if ch in '"\\':
            escaped.append("\\" + ch)
        elif " " <= ch <= "~":
            escaped.append(ch)
        else:
            # Octal escapes end after three digits, so a following character cannot extend them.
            escaped.extend(f"\\{b:03o}" for b in ch.encode())
    return '"' + "".join(escaped) + '"'


def main(argv: list[str]) -> None:
    table, out = Path(argv[1]), Path(argv[2])
    names = rows(table)
    lines = [
        f"// Generated from {table.name} by tools/gen_ddl1_names.py at build time.",
        '#include "tables/ddl1_names.hpp"',
        "",
        "#include <algorithm>",
        "#include <iterator>",
        "",
        "namespace tessrin {",
        "namespace {",
        "",
        f"constexpr Ddl1Name kNames[{len(names)}] = {{",
        *(f"    {{{', '.join(map(c_string, row))}}}," for row in names),
        "};",
        "",
        "}  // namespace",
        "",
        "const Ddl1Name* find_ddl1_name(std::string_view lower_tag) noexcept {",
        "  const auto* end = kNames + std::size(kNames);",
        "  const auto* it = std::lower_bound(",
        "      kNames, end, lower_tag, [](const Ddl1Name& n, std::string_view t) { return n.tag < t; });",
        "  return it != end && it->tag == lower_tag ? it : nullptr;",
        "}",
        "",
        "}  // namespace tessrin",
        "",
    ]
    out.write_text("\n".join(lines), encoding="utf-8")


if __name__ == "__main__":
    main(sys.argv)
