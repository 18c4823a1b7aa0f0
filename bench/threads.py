"""The corpus parsed by one thread and by two, through parse_arrow_file and parse_tables_file:
both release the interpreter lock while they read, detect the version, lex, parse and collect
(parse_tables_file also types and builds its tables then), so a thread pool parses files in
parallel (only the hand-over to pyarrow holds the lock).

    python bench/threads.py [--runs N] [--function NAME]

Prints one JSON object: files, bytes, and per function the best wall-clock seconds of each, and
their ratio; the same with every result kept until the clock stops (pyarrow frees a result's
batches holding the lock, one file's all at once, while the other thread waits for it: the
difference is that wait); and the same files in a pool of 1 and of 2 worker processes, which
share no lock at all: their ratio is what the machine itself allows (memory bandwidth, page
faults, a shared host).
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor
from functools import partial
from pathlib import Path

# numpy (which pyarrow imports) starts an OpenBLAS thread pool whose threads spin for a while
# after start-up, on the very cores the two parsing threads need; nothing here does linear
# algebra (bench/measure.py does the same).
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import tessrin_core

CORPUS = Path(__file__).resolve().parents[2] / "shared" / "corpus"
SUFFIXES = (".cif", ".dic", ".mmcif")
FUNCTIONS = ("parse_arrow_file", "parse_tables_file")


def parse_kept(path: str, function: str = FUNCTIONS[0]):
    try:
        return getattr(tessrin_core, function)(path)
    except OSError:  # a file of the corpus that is not UTF-8
        return None


def parse_one(path: str, function: str = FUNCTIONS[0]) -> int:
    result = parse_kept(path, function)
    return 0 if result is None else len(result[0])


def parse_all(files: list[str], threads: int, function: str, keep: bool = False) -> float:
    kept = []
    started = time.perf_counter()
    with ThreadPoolExecutor(max_workers=threads) as pool:
        # Largest first, so the pool does not wait on one big file at the end.
        kept.extend(pool.map(partial(parse_kept if keep else parse_one, function=function), files))
    elapsed = time.perf_counter() - started
    del kept  # freed after the clock stopped
    return elapsed


def parse_in_processes(files: list[str], workers: int, function: str) -> float:
    one = partial(parse_one, function=function)
    with ProcessPoolExecutor(max_workers=workers) as pool:
        list(pool.map(one, files[-workers * 20 :]))  # start-up and imports, not timed
        started = time.perf_counter()
        for _ in pool.map(one, files, chunksize=4):
            pass
        return time.perf_counter() - started


def measure(files: list[str], runs: int, function: str) -> dict:
    parse_all(files, 1, function)  # warm-up: page cache, pyarrow's first use
    best = {n: min(parse_all(files, n, function) for _ in range(runs)) for n in (1, 2)}
    kept = {n: min(parse_all(files, n, function, keep=True) for _ in range(runs)) for n in (1, 2)}
    procs = {n: min(parse_in_processes(files, n, function) for _ in range(runs)) for n in (1, 2)}
    return {
        "one_thread_s": round(best[1], 3),
        "two_threads_s": round(best[2], 3),
        "ratio": round(best[2] / best[1], 3),
        "kept_one_thread_s": round(kept[1], 3),
        "kept_two_threads_s": round(kept[2], 3),
        "kept_ratio": round(kept[2] / kept[1], 3),
        "one_process_s": round(procs[1], 3),
        "two_processes_s": round(procs[2], 3),
        "process_ratio": round(procs[2] / procs[1], 3),
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument(
        "--function",
        choices=FUNCTIONS,
        action="append",
        help="measure only this one (repeatable; default: every one)",
    )
    args = parser.parse_args(argv)
    paths = [p for p in CORPUS.rglob("*") if p.is_file() and p.suffix.lower() in SUFFIXES]
    if not paths:
        print(json.dumps({"error": f"no corpus under {CORPUS}"}))
        return 1
    paths.sort(key=lambda p: p.stat().st_size, reverse=True)
    files = [str(p) for p in paths]
    found = {
        "files": len(files),
        "bytes": sum(p.stat().st_size for p in paths),
        "runs": args.runs,
    }
    for function in args.function or FUNCTIONS:
        found[function] = measure(files, args.runs, function)
    print(json.dumps(found))
    return 0


if __name__ == "__main__":
    sys.exit(main())
