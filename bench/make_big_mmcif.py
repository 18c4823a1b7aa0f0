"""Make the benchmark's ~200 MB mmCIF from a real PDB entry.

The entry's own text is kept; its `_atom_site` loop is extended with further copies of its rows
as extra models (renumbered atom ids, next model number), the way a large multi-model
deposition looks. Every line is the source's, so the token mix (quoted atom names, `?` and `.`,
decimal columns) stays that of a real file. The output is deterministic.

    python bench/make_big_mmcif.py [--source FILE] [--size-mb 200] [--out FILE]
"""

from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
DEFAULT_SOURCE = HERE.parent.parent / "shared" / "corpus" / "mmcif-big" / "mmcif_6zu5.cif"
DEFAULT_OUT = HERE / "data" / "big_mmcif_200mb.cif"
TOKEN = re.compile(rb"\S+")


def find_atom_site(lines: list[bytes]) -> tuple[int, int, list[bytes]]:
    """Returns (first row line, end line, tags) of the `_atom_site` loop."""
    for i, line in enumerate(lines):
        if line.strip() == b"loop_" and lines[i + 1].startswith(b"_atom_site."):
            j = i + 1
            tags = []
            while lines[j].startswith(b"_atom_site."):
                tags.append(lines[j].strip())
                j += 1
            k = j
            while k < len(lines) and not lines[k].startswith((b"#", b"loop_", b"_", b"data_")):
                k += 1
            return j, k, tags
    raise SystemExit("no _atom_site loop in the source file")


def renumber(row: bytes, ncols: int, id_col: int, model_col: int, atom_id: int, model: int):
    """The row with its atom id and model number replaced, spacing kept."""
    spans = [m.span() for m in TOKEN.finditer(row)]
    if len(spans) != ncols:
        return row  # a row spread over several lines: copy it as it is
    parts = []
    last = 0
    for col, value in sorted(((id_col, atom_id), (model_col, model))):
        start, end = spans[col]
        parts += [row[last:start], str(value).encode()]
        last = end
    parts.append(row[last:])
    return b"".join(parts)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", type=Path, default=DEFAULT_SOURCE)
    parser.add_argument("--size-mb", type=float, default=200.0)
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT)
    args = parser.parse_args(argv)

    lines = args.source.read_bytes().splitlines(keepends=True)
    start, end, tags = find_atom_site(lines)
    id_col = tags.index(b"_atom_site.id")
    model_col = tags.index(b"_atom_site.pdbx_PDB_model_num")
    rows = lines[start:end]
    head, tail = b"".join(lines[:start]), b"".join(lines[end:])
    rows_bytes = sum(map(len, rows))
    target = int(args.size_mb * 1_000_000)
    copies = max(1, round((target - len(head) - len(tail)) / rows_bytes))

    args.out.parent.mkdir(parents=True, exist_ok=True)
    partial = args.out.with_suffix(".partial")
    atom_id = 0
    with open(partial, "wb", buffering=1 << 20) as out:
        out.write(head)
        for model in range(1, copies + 1):
            chunk = []
            for row in rows:
                atom_id += 1
                chunk.append(renumber(row, len(tags), id_col, model_col, atom_id, model))
            out.write(b"".join(chunk))
        out.write(tail)
    partial.replace(args.out)  # only a finished file gets the final name
    size = args.out.stat().st_size
    print(f"{args.out}: {size / 1e6:.1f} MB, {copies} models, {atom_id} atoms", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
