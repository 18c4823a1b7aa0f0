#!/usr/bin/env python3
"""Diagnostics of every file in the shared corpus, counted per folder.

Run from the repository root after `make install`:

    .venv/bin/python tools/corpus_report.py                 # table per two-level folder
    .venv/bin/python tools/corpus_report.py --depth 3       # finer folders
    .venv/bin/python tools/corpus_report.py --messages      # plus the commonest messages
    .venv/bin/python tools/corpus_report.py --files cif1-real/pycifrw-tests

Each file is decoded as a user would (UTF-8, undecodable bytes replaced) and parsed with
parse_raw. --files lists every file under a folder prefix with its diagnostics.
"""

import argparse
import re
import sys
from collections import Counter, defaultdict
from pathlib import Path

import tessrin_core

DEFAULT_CORPUS = Path(__file__).resolve().parents[1].parent / "shared" / "corpus"
KINDS = ("lexical", "syntactic", "semantic")
# Quoted names, code points and counts vary per file; without them messages group by kind.
SHAPE = [(re.compile(r'"(?:[^"\\]|\\.)*"'), "Q"), (re.compile(r"U\+[0-9A-F]+"), "U+X"),
         (re.compile(r"\d+"), "N"), (re.compile(r"\[Q(?:, Q)*\]"), "[Q...]")]  # fmt: skip


def message_shape(message):
    for pattern, replacement in SHAPE:
        message = pattern.sub(replacement, message)
    return message[:100]


def corpus_files(corpus):
    """Every file of the corpus but its own description."""
    notes = {corpus / "README.md", corpus / "MANIFEST.tsv"}
    return sorted(p for p in corpus.rglob("*") if p.is_file() and p not in notes)


def folder_of(path, corpus, depth):
    parts = path.relative_to(corpus).parent.parts
    return "/".join(parts[:depth]) or "."


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", type=Path, default=DEFAULT_CORPUS)
    parser.add_argument("--depth", type=int, default=2, help="folder levels to group by")
    parser.add_argument("--messages", action="store_true", help="commonest messages per folder")
    parser.add_argument("--files", metavar="PREFIX", help="per-file diagnostics under PREFIX")
    args = parser.parse_args(argv)
    if not args.corpus.is_dir():
        sys.exit(f"no corpus at {args.corpus}")

    files = Counter()
    not_utf8 = Counter()
    with_diagnostics = Counter()
    by_kind = defaultdict(Counter)
    shapes = defaultdict(Counter)
    for path in corpus_files(args.corpus):
        folder = folder_of(path, args.corpus, args.depth)
        data = path.read_bytes()
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError:
            text = data.decode("utf-8", errors="replace")
            not_utf8[folder] += 1
        errors = tessrin_core.parse_raw(text)["errors"]
        files[folder] += 1
        with_diagnostics[folder] += bool(errors)
        for error in errors:
            by_kind[folder][error["error_type"]] += 1
            shapes[folder][(error["error_type"], message_shape(error["message"]))] += 1
        relative = str(path.relative_to(args.corpus))
        if args.files and relative.startswith(args.files) and errors:
            print(f"{relative}: {len(errors)}")
            for error in errors[:20]:
                print(f"  {error['line']}:{error['column']} {error['error_type']}: "
                      f"{error['message'][:120]!r} [{error['context'][:40]!r}]")  # fmt: skip
    if args.files:
        return

    header = ("folder", "files", "not UTF-8", "with diag.", *KINDS)
    rows = [
        (folder, files[folder], not_utf8[folder], with_diagnostics[folder],
         *(by_kind[folder][kind] for kind in KINDS))
        for folder in sorted(files)
    ]  # fmt: skip
    rows.append(("total", *(sum(row[i] for row in rows) for i in range(1, len(header)))))
    widths = [max(len(str(row[i])) for row in [header, *rows]) for i in range(len(header))]
    print("| " + " | ".join(h.ljust(w) for h, w in zip(header, widths)) + " |")
    print(
        "|" + "|".join("-" * (w + 1) + ("-" if i == 0 else ":") for i, w in enumerate(widths)) + "|"
    )
    for row in rows:
        cells = [str(row[0]).ljust(widths[0])] + [
            str(c).rjust(w) for c, w in zip(row[1:], widths[1:])
        ]
        print("| " + " | ".join(cells) + " |")
    if args.messages:
        for folder in sorted(shapes):
            print(f"\n{folder}")
            for (kind, shape), count in shapes[folder].most_common(12):
                print(f"  {count:7d}  {kind:9s}  {shape}")


if __name__ == "__main__":
    main()
