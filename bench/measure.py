"""One benchmark measurement, run by `bench/run.py` in a fresh process.

    python bench/measure.py ENTRY (--file PATH | --list PATHS) [--runs 5] [--budget 45]

Reads the input first (as a user holding the text would), imports and primes the entry on a
tiny document, then resets the peak-RSS mark: the first parse is the warm-up and gives the
peak memory above that baseline; the timed runs follow. Prints one JSON object on stdout.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import io
import json
import os
import resource
import statistics
import sys
import tempfile
import time
import traceback
from collections.abc import Callable
from pathlib import Path

# numpy (which pyarrow, pandas-based peers and PyCifRW import) starts an OpenBLAS thread pool
# whose threads spin for a while after start-up. The process CPU clock would charge that spin
# to whichever entry happened to import numpy; no parser here does linear algebra.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

TINY = "data_tiny\n_cell.length_a 5.0\nloop_\n_atom_site.id\n_atom_site.type_symbol\n1 C\n2 N\n"

# Peers that only read CIF 1.1 syntax; the driver records "n/a" for them on CIF 2.0 inputs.
CIF1_ONLY = {"pdbecif", "mmcif"}


def read_text(path: str) -> str:
    # Bytes decoded as a user would; no newline translation, so every entry sees the same text.
    return Path(path).read_bytes().decode("utf-8", errors="replace")


def is_cif2(text: str) -> bool:
    return text.lstrip("\ufeff").startswith("#\\#CIF_2.0")


class NullHandler:
    """Receives every event and does nothing: the cost of `parse` itself."""

    def on_data_block(self, name):
        pass

    def on_save_frame_start(self, name):
        pass

    def on_save_frame_end(self):
        pass

    def add_tag(self, tag):
        pass

    def add_value(self, text, kind):
        pass

    def on_loop_start(self, tags):
        pass

    def on_loop_end(self):
        pass

    def on_list_start(self):
        pass

    def on_list_end(self):
        pass

    def on_table_start(self):
        pass

    def on_table_key(self, key, kind):
        pass

    def on_table_end(self):
        pass

    def on_error(self, error):
        pass


# Each maker takes (path, text) and returns a call doing one full parse into memory.


def make_parse_arrow(path, text):
    import pyarrow  # noqa: F401  (imported before the baseline, not inside the first parse)
    import tessrin_core

    return lambda: tessrin_core.parse_arrow(text)


def make_parse_tables(path, text):
    import pyarrow  # noqa: F401  (imported before the baseline, not inside the first parse)
    import tessrin_core

    return lambda: tessrin_core.parse_tables(text)


def make_parse_raw(path, text):
    import tessrin_core

    return lambda: tessrin_core.parse_raw(text)


def make_conformance(path, text):
    import tessrin_core

    return lambda: tessrin_core.conformance(text)


def make_parse_cif(path, text):
    import tessrin_core

    return lambda: tessrin_core.parse_cif(text)


def make_parse_handler(path, text):
    import tessrin_core

    handler = NullHandler()
    return lambda: tessrin_core.parse(text, handler)


def make_gemmi(path, text):
    from gemmi import cif

    return lambda: cif.read_string(text)


def make_pycifrw(path, text):
    import CifFile

    # The C tokeniser ("flex") is its fast path but reads CIF 1.1 only.
    if is_cif2(text):
        kwargs = {"grammar": "2.0", "scantype": "standard"}
    else:
        kwargs = {"grammar": "1.1", "scantype": "flex"}
    return lambda: CifFile.ReadCif(io.StringIO(text), **kwargs)


def make_pdbecif(path, text):
    from pdbecif.mmcif_io import CifFileReader

    reader = CifFileReader(input="data")
    return lambda: reader.read(path, output="cif_dictionary")


_scratch = tempfile.TemporaryDirectory(prefix="tessrin-bench-")


def make_mmcif(path, text):
    from mmcif.io.IoAdapterCore import IoAdapterCore

    # Its C++ reader; logs go to a scratch folder, not beside the (read-only) input.
    adapter = IoAdapterCore()
    log = str(Path(_scratch.name) / "mmcif.log")
    return lambda: adapter.readFile(
        path, enforceAscii=False, logFilePath=log, outDirPath=_scratch.name
    )


# Writers: the document is read first (not timed); the call writes it back as CIF text.


def make_dumps(path, text):
    import tessrin

    parsed = tessrin.parse_raw(text)
    return lambda: tessrin.dumps(parsed)


def make_gemmi_write(path, text):
    from gemmi import cif

    doc = cif.read_string(text)
    return lambda: doc.as_string()


# Typed columns (issue 16): parse_tables with and without typing, and the peer a user would
# write instead, gemmi's reader and `as_number` over the same columns.


def make_tables_text(path, text):
    import pyarrow  # noqa: F401
    import tessrin_core

    return lambda: tessrin_core.parse_tables(text, types="text")


def make_tables_infer(path, text):
    import pyarrow  # noqa: F401
    import tessrin_core

    return lambda: tessrin_core.parse_tables(text, types="infer")


def numeric_tags(text: str) -> list[str]:
    """The tags whose columns parse_tables types as int64 or float64 (worked out untimed)."""
    import tessrin_core

    tags = []
    for category, table in tessrin_core.parse_tables(text)[0].items():
        rules = json.loads(table.schema.metadata[b"tessrin.types"])
        tags += [f"_{category}.{c}" for c, r in rules.items() if r["type"] != "string"]
    return tags


def make_gemmi_numbers(path, text):
    from gemmi import cif

    tags = numeric_tags(text)
    as_number = cif.as_number

    def run():
        doc = cif.read_string(text)
        columns = []
        for block in doc:
            for tag in tags:
                columns.append([as_number(v) for v in block.find_values(tag)])
        return doc, columns

    return run


MAKERS: dict[str, Callable] = {
    "dumps": make_dumps,
    "gemmi_write": make_gemmi_write,
    "parse_arrow": make_parse_arrow,
    "parse_tables": make_parse_tables,
    "parse_raw": make_parse_raw,
    "parse_cif": make_parse_cif,
    "conformance": make_conformance,
    "parse_handler": make_parse_handler,
    "gemmi": make_gemmi,
    "pycifrw": make_pycifrw,
    "pdbecif": make_pdbecif,
    "mmcif": make_mmcif,
    "tables_text": make_tables_text,
    "tables_infer": make_tables_infer,
    "gemmi_numbers": make_gemmi_numbers,
}


def rss_kib(key: str) -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(key + ":"):
            return int(line.split()[1])
    return -1


def reset_peak() -> bool:
    # Linux resets the peak-RSS mark (and so ru_maxrss) on "5"; otherwise the transient copy
    # made while reading the input would hide any parse that needs less than the file size.
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def trim_heap() -> None:
    # Hands freed heap pages back to the system, so the baseline holds no resident slack that
    # the parse could reuse unseen.
    try:
        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):
        pass


def max_rss_kib() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def measure(entry: str, paths: list[str], runs: int, budget: float) -> dict:
    texts = [read_text(p) for p in paths]
    total_bytes = sum(len(t.encode("utf-8")) for t in texts)
    maker = MAKERS[entry]

    with tempfile.NamedTemporaryFile("w", suffix=".cif", delete=False) as tiny:
        tiny.write(TINY)
    maker(tiny.name, TINY)()
    Path(tiny.name).unlink()

    calls = [maker(p, t) for p, t in zip(paths, texts)]
    failures: list[str] = []

    def run_once(record: bool) -> tuple[float, float]:
        wall, cpu = time.perf_counter(), time.process_time()
        for path, call in zip(paths, calls):
            try:
                result = call()
                del result
            except Exception as e:  # noqa: BLE001  (a peer failing on one file must not end the batch)
                if record:
                    failures.append(f"{Path(path).name}: {type(e).__name__}: {e}"[:300])
        return time.perf_counter() - wall, time.process_time() - cpu

    gc.collect()
    trim_heap()
    reset = reset_peak()
    baseline = rss_kib("VmRSS") if reset else max_rss_kib()
    warmup, _ = run_once(record=True)
    # VmHWM, not ru_maxrss: the latter keeps the spawning process's peak across exec.
    peak = rss_kib("VmHWM") if reset else max_rss_kib()
    if len(paths) == 1 and failures:
        return {"ok": False, "error": failures[0], "bytes": total_bytes}

    # Slow peers get fewer timed runs, never fewer than one.
    runs = max(1, min(runs, int(budget / max(warmup, 1e-9))))
    wall, cpu = [], []
    for _ in range(runs):
        gc.collect()
        w, c = run_once(record=False)
        wall.append(w)
        cpu.append(c)
    return {
        "ok": True,
        "files": len(paths),
        "bytes": total_bytes,
        "runs": runs,
        "median_wall_s": statistics.median(wall),
        "median_cpu_s": statistics.median(cpu),
        "warmup_wall_s": warmup,
        "times_wall": wall,
        "times_cpu": cpu,
        "baseline_rss_bytes": baseline * 1024,
        "peak_delta_bytes": (peak - baseline) * 1024,
        "peak_reset": reset,
        "failures": len(failures),
        "failure_examples": failures[:3],
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="One benchmark measurement.")
    parser.add_argument("entry", choices=sorted(MAKERS))
    source = parser.add_mutually_exclusive_group(required=True)
    source.add_argument("--file")
    source.add_argument("--list", help="a file of paths, one a line, timed as one batch")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--budget", type=float, default=45.0, help="seconds for timed runs")
    args = parser.parse_args(argv)

    if args.file:
        paths = [args.file]
    else:
        paths = [p for p in Path(args.list).read_text().splitlines() if p]
    # Peers print (some from C, some bytes that are not UTF-8): send fd 1 to stderr while
    # they run, so stdout carries nothing but the result line.
    sys.stdout.flush()
    result_out = os.fdopen(os.dup(1), "w")
    os.dup2(2, 1)
    try:
        result = measure(args.entry, paths, args.runs, args.budget)
    except Exception as e:  # noqa: BLE001  (reported as data; the driver goes on)
        traceback.print_exc(file=sys.stderr)
        result = {"ok": False, "error": f"{type(e).__name__}: {e}"[:300]}
    result["entry"] = args.entry
    sys.stdout.flush()
    result_out.write(json.dumps(result) + "\n")
    result_out.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
