"""The corpus through parse_raw, parse_tables_file, conformance_file and dumps, as data.

Writes one JSON record per file: a digest of each result in a canonical form (sorted keys,
floats to the bit), with counts beside it, so builds on other processors, the scalar build and
wheels can be compared by their answers alone:

    python tools/smoke.py --out a.json [--corpus ../shared/corpus] [--every 7]
    python tools/smoke.py --compare a.json b.json

`--every N` takes every N-th file in path order (the subset run under emulation); a comparison
needs the same selection on both sides. Needs only the tessrin package (and pyarrow, for the
tables).
"""

from __future__ import annotations

import argparse
import hashlib
import json
import math
import os
import sys
from pathlib import Path

SUFFIXES = {".cif", ".dic", ".mcif", ".scif", ".fcf", ".str"}


def canonical(value):
    """`value` with every float as its exact bits (NaN and the sign of zero included)."""
    if isinstance(value, float):
        return {"float": value.hex() if not math.isnan(value) else "nan"}
    if isinstance(value, dict):
        return {str(k): canonical(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [canonical(v) for v in value]
    if isinstance(value, (bytes, bytearray, memoryview)):
        return {"bytes": bytes(value).hex()}
    if value is None or isinstance(value, (str, int, bool)):
        return value
    return {type(value).__name__: str(value)}


def digest(value) -> str:
    text = json.dumps(canonical(value), sort_keys=True, ensure_ascii=False)
    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()[:24]


def failure(exc: BaseException) -> dict:
    return {"exception": type(exc).__name__, "message": str(exc)[:200]}


def tables_as_data(tables) -> dict:
    """Each table's schema and a digest of each column's values (one column in memory at a
    time: the largest files' tables are big as Python objects)."""
    return {
        name: {"schema": str(table.schema),
               "columns": [digest(column.to_pylist()) for column in table.columns]}
        for name, table in tables.items()
    }


def run_file(tessrin, path: Path) -> dict:
    record: dict = {}
    data = path.read_bytes()
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as exc:
        text = None
        record["parse_raw"] = failure(exc)
    if text is not None:
        try:
            raw = tessrin.parse_raw(text)
            record["parse_raw"] = {"digest": digest(raw), "blocks": len(raw["blocks"]),
                                   "errors": len(raw["errors"])}
            written = tessrin.dumps(raw)
            record["dumps"] = {"digest": digest(written), "chars": len(written)}
        except Exception as exc:  # noqa: BLE001 (every outcome, a failure too, is data to compare)
            record["parse_raw"] = failure(exc)
    try:
        tables, errors = tessrin.parse_tables_file(str(path))
        record["parse_tables"] = {"digest": digest([tables_as_data(tables), errors]),
                                  "tables": len(tables), "errors": len(errors)}
    except Exception as exc:  # noqa: BLE001 (as above)
        record["parse_tables"] = failure(exc)
    try:
        findings = tessrin.conformance_file(str(path))
        record["conformance"] = {"digest": digest(findings), "findings": len(findings)}
    except Exception as exc:  # noqa: BLE001 (as above)
        record["conformance"] = failure(exc)
    return record


def corpus_files(corpus: Path, every: int) -> list[Path]:
    files = sorted(p for p in corpus.rglob("*") if p.is_file() and p.suffix.lower() in SUFFIXES)
    return files[::every]


def compare(first: Path, second: Path) -> int:
    a = json.loads(first.read_text())
    b = json.loads(second.read_text())
    differ = 0
    for name in sorted(set(a["files"]) | set(b["files"])):
        left, right = a["files"].get(name), b["files"].get(name)
        if left != right:
            differ += 1
            if differ <= 20:
                print(f"differs: {name}\n  {first}: {left}\n  {second}: {right}")
    same = len(a["files"]) - differ
    print(f"{first} ({a['platform']}) and {second} ({b['platform']}): "
          f"{same} files the same, {differ} different")
    return 1 if differ or not a["files"] else 0


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", type=Path,
                        default=Path(__file__).resolve().parent.parent.parent / "shared" / "corpus")
    parser.add_argument("--every", type=int, default=1)
    parser.add_argument("--out", type=Path)
    parser.add_argument("--compare", type=Path, nargs=2)
    args = parser.parse_args(argv)
    if args.compare:
        return compare(*args.compare)
    if args.out is None:
        parser.error("--out or --compare is needed")
    if not args.corpus.is_dir():
        print(f"smoke: no corpus at {args.corpus}", file=sys.stderr)
        return 1
    import platform

    import tessrin

    files = corpus_files(args.corpus, max(1, args.every))
    results = {}
    for path in files:
        results[path.relative_to(args.corpus).as_posix()] = run_file(tessrin, path)
    out = {"platform": f"{platform.machine()} {platform.system()} {os.path.basename(sys.executable)}",
           "files": results}
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(json.dumps(out, indent=1, sort_keys=True))
    print(f"smoke: {len(files)} files, results in {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
