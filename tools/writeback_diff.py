#!/usr/bin/env python3
"""How much `tessrin convert --to cif` changes each file it writes back, over the corpus.

Run from the repository root after `make install`:

    .venv/bin/python tools/writeback_diff.py                 # the whole corpus
    .venv/bin/python tools/writeback_diff.py --every 20      # every 20th file
    .venv/bin/python tools/writeback_diff.py -j 2

Each file goes through `convert_file_to_cif` as the command runs it; the written file is
compared with the input by `diff`, and a file's changed lines are, per hunk, the larger of the
lines taken out and put in (a value edited in place is one line). Prints the median over the
files read without diagnostics and over all files, the worst ten, and the files refused; then
each file again with its first value fixed, and the files where that changed more lines than
the value's own token took.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

DEFAULT_CORPUS = Path(__file__).resolve().parents[1].parent / "shared" / "corpus"


def corpus_files(corpus: Path) -> list[Path]:
    notes = {corpus / "README.md", corpus / "MANIFEST.tsv"}
    return sorted(p for p in corpus.rglob("*") if p.is_file() and p not in notes)


def changed_lines(before: str, after: str) -> int:
    """Changed lines by `diff`: per hunk the larger of lines removed and lines added."""
    # diff exits 1 when the files differ: that is its answer, not a failure.
    report = subprocess.run(["diff", before, after], capture_output=True, text=True,
                            errors="replace", check=False).stdout
    total = removed = added = 0
    for line in report.splitlines():
        if line.startswith("<"):
            removed += 1
        elif line.startswith(">"):
            added += 1
        elif line[:1].isdigit():
            total += max(removed, added)
            removed = added = 0
    return total + max(removed, added)


def measure(path: str) -> tuple[str, int | None, int, str | None, int | None]:
    """(path, changed lines or None when refused, diagnostics, failure, changed lines with
    the file's first value fixed, less the lines that value's token took)."""
    from tessrin.convert.options import ConvertOptions
    from tessrin.convert.to_cif import convert_file_to_cif

    with tempfile.TemporaryDirectory() as out:
        outcome = convert_file_to_cif((path, out), ConvertOptions())
        if outcome["failure"] is not None:
            return path, None, outcome["diagnostics"], outcome["failure"], None
        written = os.path.join(out, outcome["written"][0])
        return (path, changed_lines(path, written), outcome["diagnostics"], None,
                edited_excess(path, os.path.join(out, "edited.cif")))


def edited_excess(path: str, scratch: str) -> int | None:
    """Lines beyond its own token's that fixing the file's first str value changes."""
    import tessrin_core

    import tessrin

    with open(path, encoding="utf-8", newline="") as stream:
        text = stream.read()
    # Read as the writer reads it: line ends normalised first, so origins count in that text.
    normalised = text.replace("\r\n", "\n").replace("\r", "\n")
    raw, origins, start = tessrin_core._parse_raw_origins(normalised)
    data = normalised.encode("utf-8")[start:]
    for block, (spans, _) in zip(raw["blocks"], origins):
        for tag, words in zip(block["tag_order"], spans):
            values = block["tags"][tag]
            if values and isinstance(values[0], str):
                first, last = memoryview(words).cast("Q")[:2]
                if first == 2**64 - 1:
                    return None
                values[0] = "fixed"
                tessrin.dump(raw, scratch, source=text)
                return changed_lines(path, scratch) - (data[first:last].count(b"\n") + 1)
    return None


def sample(files: list[Path], every: int) -> list[Path]:
    return files[::every] if every > 1 else files


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", type=Path, default=DEFAULT_CORPUS)
    parser.add_argument("--every", type=int, default=1, help="measure every Nth file")
    parser.add_argument("-j", "--jobs", type=int, default=os.cpu_count() or 1)
    args = parser.parse_args()
    if not args.corpus.is_dir():
        print(f"{args.corpus}: no corpus", file=sys.stderr)
        return 2
    files = [str(p) for p in sample(corpus_files(args.corpus), args.every)]
    with ProcessPoolExecutor(args.jobs) as pool:
        results = list(pool.map(measure, files, chunksize=8))
    written = [(p, n, d) for p, n, d, _, _ in results if n is not None]
    failed = [(p, f) for p, n, _, f, _ in results if n is None]
    edited = [(p, e) for p, _, _, _, e in results if e is not None]
    refused = [(p, f) for p, f in failed if not f.startswith("cannot read")]
    clean = [n for _, n, d in written if d == 0]
    print(f"{len(files)} files: {len(written)} written, {len(failed) - len(refused)} unreadable "
          f"(not UTF-8), {len(refused)} refused by the writer "
          f"({100 * len(refused) / max(len(files), 1):.2f} %)")
    if clean:
        print(f"median changed lines, {len(clean)} files without diagnostics: "
              f"{statistics.median(clean)} (unchanged: {clean.count(0)})")
    if written:
        print(f"median changed lines, all {len(written)} written files: "
              f"{statistics.median(n for _, n, _ in written)}")
    print("worst ten (changed lines, diagnostics, file):")
    for path, n, d in sorted(written, key=lambda r: -r[1])[:10]:
        print(f"  {n:8d} {d:6d}  {os.path.relpath(path, args.corpus)}")
    beyond = [(p, e) for p, e in edited if e != 0]
    print(f"first value of each file fixed: {len(edited)} files, {len(edited) - len(beyond)} "
          "changed only the lines of that value's token")
    for path, excess in sorted(beyond, key=lambda r: -abs(r[1]))[:10]:
        print(f"  {excess:+8d} lines  {os.path.relpath(path, args.corpus)}")
    for path, failure in failed:
        print(f"not written: {os.path.relpath(path, args.corpus)}: {failure}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
