"""What the process holds after a large file's results are dropped, and after
`tessrin.release_memory()`: resident size (from /proc/self/statm) before any work, after
each step with its result dropped, and after the release.

    python bench/memory.py [FILE] [--types DICTIONARY] [--threads N]

FILE defaults to the corpus's 21 MB mmCIF file, DICTIONARY to its mmCIF dictionary. The work:
parse_raw, parse_arrow_file, dumps, parse_tables_file with the dictionary's types, and the
file gzipped and read as a dataset conversion reads it; with --threads N, each step runs on N
threads at once (else on the main thread). Prints one JSON object, sizes in MiB.
"""

from __future__ import annotations

import argparse
import gc
import gzip
import json
import os
import resource
import shutil
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import pyarrow  # noqa: F401  (imported before the first figure, as any user has it)
import tessrin_core

import tessrin
from tessrin.convert import archive as _archive
from tessrin.convert.options import ConvertOptions

CORPUS = Path(__file__).resolve().parents[2] / "shared" / "corpus"
PAGE = resource.getpagesize()


def resident() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def mib(n: int) -> float:
    return round(n / (1 << 20), 1)


def _run_and_drop(step) -> None:
    """One step on a pool thread, its result dropped there."""
    step()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("file", nargs="?", default=str(CORPUS / "mmcif-big" / "mmcif_6zu5.cif"))
    parser.add_argument("--types", default=str(CORPUS / "dictionaries" / "ddl2" / "mmcif_pdbx.dic"))
    parser.add_argument("--threads", type=int, default=1)
    args = parser.parse_args()
    if not os.path.exists(args.file):
        print(f"no input {args.file}", file=sys.stderr)
        return 1
    with tempfile.TemporaryDirectory() as tmp:
        zipped = os.path.join(tmp, "input.cif.gz")
        with open(args.file, "rb") as src, gzip.open(zipped, "wb", compresslevel=1) as dst:
            shutil.copyfileobj(src, dst)
        text = Path(args.file).read_text(encoding="utf-8")
        task = _archive.Task(key="", out=tmp, inputs=(), options=ConvertOptions())
        steps = {
            "parse_raw": lambda: tessrin_core.parse_raw(text),
            "parse_arrow_file": lambda: tessrin_core.parse_arrow_file(args.file),
            "dumps": lambda: tessrin.dumps(tessrin_core.parse_raw(text)),
            "parse_tables_file_types": lambda: tessrin_core.parse_tables_file(
                args.file, None, None, args.types),
            "gzip_dataset_read": lambda: _archive._parse(zipped, task),
        }  # fmt: skip
        gc.collect()
        figures = {"file_mib": mib(os.path.getsize(args.file)), "threads": args.threads}
        start = resident()
        figures["start"] = mib(start)
        # The pool outlives the figures: a thread's own caches go when it ends.
        with ThreadPoolExecutor(args.threads) as pool:
            for name, step in steps.items():
                if args.threads == 1:
                    step()
                else:
                    list(pool.map(_run_and_drop, [step] * args.threads))
                gc.collect()
                figures[f"after_{name}"] = mib(resident() - start)
            released = None
            if hasattr(tessrin, "release_memory"):
                released = tessrin.release_memory()
            gc.collect()
            figures["released_mib"] = None if released is None else mib(released)
            figures["after_release_memory"] = mib(resident() - start)
    print(json.dumps(figures))
    return 0


if __name__ == "__main__":
    sys.exit(main())
