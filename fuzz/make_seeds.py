"""Builds the fuzz seed corpus: the start of every file in ../shared/corpus and every string
written in the tests, as inputs of the CIF targets, and text-field contents for the text-field
target. The seeds go to a scratch folder; none of them belongs in the repository.

    python fuzz/make_seeds.py --out fuzz/work/seeds
"""

import argparse
import ast
import hashlib
import re
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
CORPUS = ROOT.parent / "shared" / "corpus"
MAX_LEN = 16384  # the fuzzers' -max_len; longer seeds would be cut anyway
# First byte of a CIF target's input: bit 0 also runs strict mode, bits 1-2 pick a magic line
# (0 none). The files bring their own magic lines.
FLAGS = b"\x01"
TEXT_FIELD = re.compile(rb"^;(.*?)\n;", re.DOTALL | re.MULTILINE)


def write(folder: Path, data: bytes, seen: set) -> None:
    data = data[:MAX_LEN]
    digest = hashlib.sha1(data).hexdigest()
    if digest in seen:
        return
    seen.add(digest)
    (folder / digest).write_bytes(data)


def test_strings(tests: Path):
    """Every str constant of every test module (inline CIF texts, bodies, text fields)."""
    for path in sorted(tests.glob("test_*.py")):
        tree = ast.parse(path.read_text(encoding="utf-8"))
        for node in ast.walk(tree):
            if isinstance(node, ast.Constant) and isinstance(node.value, str) and node.value:
                yield path.stem, node.value.encode("utf-8", "surrogatepass")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, required=True)
    parser.add_argument("--corpus", type=Path, default=CORPUS)
    parser.add_argument("--max-text-fields", type=int, default=3000)
    args = parser.parse_args()

    cif_dir = args.out / "cif"
    field_dir = args.out / "textfield"
    for folder in (cif_dir, field_dir):
        folder.mkdir(parents=True, exist_ok=True)
    cif_seen, field_seen = set(), set()

    for stem, data in test_strings(ROOT / "tests"):
        write(cif_dir, FLAGS + data, cif_seen)
        if stem == "test_textfield":
            write(field_dir, data, field_seen)

    files = sorted(p for p in args.corpus.rglob("*") if p.is_file()) if args.corpus.is_dir() else []
    for path in files:
        if path.suffix in (".md", ".tsv"):
            continue
        with path.open("rb") as f:
            head = f.read(MAX_LEN)
        write(cif_dir, FLAGS + head, cif_seen)
        for match in TEXT_FIELD.finditer(head.replace(b"\r\n", b"\n")):
            if len(field_seen) >= args.max_text_fields:
                break
            write(field_dir, match.group(1), field_seen)

    print(
        f"{len(cif_seen)} CIF seeds and {len(field_seen)} text-field seeds in {args.out} "
        f"({len(files)} corpus files{'' if files else ': corpus not found'})"
    )


if __name__ == "__main__":
    main()
