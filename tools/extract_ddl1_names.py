#!/usr/bin/env python3
"""Writes src/tables/ddl1_names.tsv anew: the category and object id of every DDL1 data name.

Run with tessrin installed: python3 tools/extract_ddl1_names.py [CORPUS]
CORPUS defaults to ../shared/corpus beside the repository. Reads the DDLm dictionaries in
CORPUS/cif2-syntax/comcifs-*: each definition whose `_alias.definition_id` names a DDL1 data name
(one without a period) maps that name to the definition's `_name.category_id` and
`_name.object_id` (spelled as in its `_definition.id`). The current core dictionary is read
first, so where two dictionaries alias one name differently the core's mapping wins. The rows
are sorted by the lower-cased name, so lookups are a binary search.

The table is data the build turns into code (tools/gen_ddl1_names.py, which needs nothing but
the standard library); this script reads dictionaries with the installed tessrin, so it runs
only when the table is refreshed, never during a build.
"""

import sys
from pathlib import Path

import tessrin_core

ROOT = Path(__file__).resolve().parents[1]
OUT = ROOT / "src" / "tables" / "ddl1_names.tsv"


def dictionaries(corpus):
    found = sorted((corpus / "cif2-syntax").glob("comcifs-*/**/*.dic"))
    core = [p for p in found if p.parent.name == "comcifs-cif_core" and p.name == "cif_core.dic"]
    return core + [p for p in found if p not in core]


def first(values):
    return values[0] if values and isinstance(values[0], str) else None


def names_of(path):
    text = path.read_bytes().decode("utf-8", errors="replace")
    for block in tessrin_core.parse_raw(text)["blocks"]:
        for frame in block["save_frames"]:
            tags = frame["tags"]
            category = first(tags.get("_name.category_id"))
            obj = first(tags.get("_name.object_id"))
            if not category or not obj:
                continue
            # The object id drops characters a name may hold (`_space_group.name_H-M_full` has
            # object id `name_H_M_full`); the definition's own spelling keeps the DDL1 name and
            # its DDLm name in one column.
            defined = first(tags.get("_definition.id")) or ""
            head, dot, tail = defined[1:].partition(".")
            if dot and tail and head.lower() == category.lower():
                obj = tail
            for alias in tags.get("_alias.definition_id", []):
                if isinstance(alias, str) and alias.startswith("_") and "." not in alias:
                    yield alias, category, obj


def main(argv):
    corpus = Path(argv[1]) if len(argv) > 1 else ROOT.parent / "shared" / "corpus"
    paths = dictionaries(corpus)
    if not paths:
        sys.exit(f"no comcifs-* dictionaries under {corpus}/cif2-syntax")
    names = {}
    for path in paths:
        for alias, category, obj in names_of(path):
            names.setdefault(alias.lower(), (category, obj))
    lines = [
        "# The category and object id of every DDL1 data name a DDLm dictionary aliases, one name a",
        "# line: the lower-cased DDL1 tag, the category, the object id (spelled as the dictionary's",
        "# definition spells them), tab-separated and sorted by tag. The build turns it into code",
        "# (tools/gen_ddl1_names.py); tools/extract_ddl1_names.py writes it anew from the dictionaries:",
    ]
    lines += [f"#   {p.parent.name}/{p.name}" for p in paths]
    for alias in sorted(names):
        row = (alias, *names[alias])
        if any(not field.isprintable() for field in row):  # a tab is not printable
            sys.exit(f"cannot store {row!r} as a line of the table")
        lines.append("\t".join(row))
    OUT.write_text("\n".join(lines) + "\n", encoding="utf-8")
    print(f"{OUT.relative_to(ROOT)}: {len(names)} names from {len(paths)} dictionaries")


if __name__ == "__main__":
    main(sys.argv)
