"""Archive conversion speed: `tessrin convert DIR --to parquet` over the corpus.

    python bench/archive.py [--quick]

Inputs: the mmCIF part of the corpus gzipped (bench/data/archive-mmcif/, made once), and the
whole corpus as it lies. Each is converted with -j 1, -j 2 and through a 2-worker Dask
LocalCluster, each run in a fresh process into an empty directory. The rate is MB of CIF text
(uncompressed) per second of conversion as the command reports it (from the first task to the
last part written, the cluster's start-up excluded; the wall time of the whole command is shown
beside it), divided by the number of workers for the rate per core; and MB per CPU second
spent in the tasks (the command sums what each task measured), the rate per core that other
work on a shared machine does not change.

Writes bench/results/archive.md and archive.json (bench/results/quick/ with --quick), and
prints the hours the PDB and the COD would take, which is arithmetic on the measured rate.
"""

from __future__ import annotations

import argparse
import datetime
import gzip
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
CORPUS = HERE.parent.parent / "shared" / "corpus"
DATA = HERE / "data"

ENGINES = {
    "-j 1": ["-j", "1"],
    "-j 2": ["-j", "2"],
    "LocalCluster, 2 workers": ["-j", "2", "--scheduler", "local"],
}
WORKERS = {"-j 1": 1, "-j 2": 2, "LocalCluster, 2 workers": 2}
TARGET_PER_CORE = 65.0  # MB/s per core, mmCIF from .gz to typed Parquet
TARGET_SCALING = 1.7
TARGET_CLUSTER = 0.85

# Archive sizes for the arithmetic. These are assumptions, not measurements: the number of
# entries is public; the mean text size per entry is an estimate. Each archive is priced at the
# rate of the corpus part most like it: the PDB at the gzipped mmCIF files, the COD at the whole
# corpus (mostly small CIF 1.1 files and dictionaries, many categories per MB).
ARCHIVES = {
    "PDB (230,000 mmCIF entries, ~0.9 MB of text each: ~200 GB)": (200e9, "mmCIF part, gzipped"),
    "COD (520,000 CIF files, ~50 kB of text each: ~26 GB)": (26e9, "whole corpus"),
}
CORES = (16, 64, 256)
SUMMARY = re.compile(
    r"\(([\d,.]+) MB of text\).*; ([\d,.]+) s \([\d,.]+ MB/s; ([\d,.]+) MB per CPU second"
)


def gzipped_mmcif() -> Path:
    """The mmCIF files of the corpus as .cif.gz, as the PDB distributes them."""
    target = DATA / "archive-mmcif"
    source = CORPUS / "mmcif-big"
    for path in sorted(source.rglob("*.cif")):
        out = target / path.relative_to(source).with_suffix(".cif.gz")
        if not out.exists():
            out.parent.mkdir(parents=True, exist_ok=True)
            out.write_bytes(gzip.compress(path.read_bytes(), compresslevel=6))
    return target


def run(source: Path, engine: str, scratch: Path) -> dict:
    out = Path(tempfile.mkdtemp(dir=scratch)) / "out"
    command = [sys.executable, "-m", "tessrin", "convert", str(source), "--to", "parquet"]
    command += ["-o", str(out), *ENGINES[engine]]
    start = time.perf_counter()
    done = subprocess.run(command, capture_output=True, text=True, timeout=3600, check=False)
    wall = time.perf_counter() - start
    found = SUMMARY.search(done.stdout)
    if found is None:
        return {"engine": engine, "failed": (done.stderr or done.stdout)[-500:]}
    mb, seconds, per_cpu = (float(g.replace(",", "")) for g in found.groups())
    return {
        "engine": engine,
        "mb": mb,
        "seconds": seconds,
        "wall": wall,
        "mb_s": mb / seconds,
        "mb_s_per_core": mb / seconds / WORKERS[engine],
        "cpu": mb / per_cpu,
        "mb_per_cpu_s": per_cpu,
        "summary": done.stdout.strip().splitlines()[-1],
    }


def best(source: Path, engine: str, runs: int, scratch: Path) -> dict:
    results = [run(source, engine, scratch) for _ in range(runs)]
    ok = [r for r in results if "failed" not in r]
    return max(ok, key=lambda r: r["mb_s"]) if ok else results[0]


def hours(inputs: dict) -> list[str]:
    lines = []
    for name, (size, source) in ARCHIVES.items():
        r = inputs.get(source, {}).get("-j 1", {})
        if "mb_per_cpu_s" not in r:
            continue
        rate = r["mb_per_cpu_s"] * 1e6
        cells = [f"{size / (rate * cores) / 3600:.2g} h on {cores}" for cores in CORES]
        lines.append(
            f"- {name}, at {r['mb_per_cpu_s']:.1f} MB per CPU second ({source}, -j 1): "
            + ", ".join(cells)
            + " cores"
        )
    return lines


def render(inputs: dict, meta: dict) -> str:
    lines = [
        "# Archive conversion (`tessrin convert DIR --to parquet`)",
        "",
        (
            f"{meta['date']}, {meta['cores']} cores, load average {meta['load']:.1f} at start "
            "(the machine is shared: other work competes for both cores)."
        ),
        "",
        (
            "| input | engine | MB of text | conversion s | wall s | MB/s | MB/s per core "
            "| CPU s | MB per CPU s |"
        ),
        "|---|---|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for name, results in inputs.items():
        for r in results.values():
            if "failed" in r:
                lines.append(f"| {name} | {r['engine']} | failed: {r['failed'][:80]!r} |" + " |" * 6)
                continue
            lines.append(
                f"| {name} | {r['engine']} | {r['mb']:.1f} | {r['seconds']:.1f} | "
                f"{r['wall']:.1f} | {r['mb_s']:.1f} | {r['mb_s_per_core']:.1f} | "
                f"{r['cpu']:.1f} | {r['mb_per_cpu_s']:.1f} |"
            )
    lines += ["", "Targets (mmCIF, from .gz to typed Parquet):", ""]
    mm = inputs.get("mmCIF part, gzipped", {})
    if all("mb_s" in mm.get(e, {}) for e in ENGINES):
        j1, j2, cl = (mm[e]["mb_s"] for e in ENGINES)
        per_core, per_cpu = mm["-j 1"]["mb_s_per_core"], mm["-j 1"]["mb_per_cpu_s"]

        def verdict(ok: bool) -> str:
            return "met" if ok else "NOT met"

        lines += [
            (
                f"- per core with -j 1: {per_core:.1f} MB/s of wall time, {per_cpu:.1f} MB per CPU "
                f"second (target {TARGET_PER_CORE:.0f}): {verdict(per_core >= TARGET_PER_CORE)} "
                f"by wall time, {verdict(per_cpu >= TARGET_PER_CORE)} by CPU time"
            ),
            f"- -j 2 over -j 1: {j2 / j1:.2f}x (target {TARGET_SCALING}x): "
            + verdict(j2 / j1 >= TARGET_SCALING),
            f"- LocalCluster over -j 2: {cl / j2:.2f} (target >= {TARGET_CLUSTER}): "
            + verdict(cl / j2 >= TARGET_CLUSTER),
            "",
            (
                "Hours for whole archives at a measured -j 1 rate per CPU second, assuming it "
                "scales linearly with cores and every core is the task's alone (arithmetic, not "
                "measured; archive sizes are assumptions):"
            ),
            "",
            *hours(inputs),
        ]
    return "\n".join(lines) + "\n"


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="one run each, mmCIF only")
    args = parser.parse_args(argv)
    if not CORPUS.is_dir():
        print("bench/archive.py: ../shared/corpus is absent; nothing to measure")
        return 0
    sources = {"mmCIF part, gzipped": gzipped_mmcif()}
    if not args.quick:
        sources["whole corpus"] = CORPUS
    meta = {
        "date": datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC"),
        "cores": os.cpu_count(),
        "load": os.getloadavg()[0],
    }
    inputs = {}
    # Every run's output stays until the last run is done. Ext4 without a journal (as on the
    # machines we measure on) does not reuse an inode within a minute of its deletion and looks
    # past each such one to create a file: deleting one run's parts made the next run's part
    # files several times as slow to create (0.15 ms each, then up to 1.4 ms; measured).
    scratch = Path(tempfile.mkdtemp(prefix="tessrin-bench-archive-"))
    try:
        for name, source in sources.items():
            inputs[name] = {}
            for engine in ENGINES:
                r = best(source, engine, 1 if args.quick else 2, scratch)
                inputs[name][engine] = r
                print(f"{name:22} {engine:26} " + (
                    f"{r['mb_s']:7.1f} MB/s {r['mb_s_per_core']:7.1f} MB/s/core "
                    f"{r['mb_per_cpu_s']:7.1f} MB/CPU-s" if "mb_s" in r
                    else f"failed: {r['failed'][-200:]}"
                ), flush=True)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    folder = HERE / "results" / ("quick" if args.quick else "")
    folder.mkdir(parents=True, exist_ok=True)
    text = render(inputs, meta)
    (folder / "archive.md").write_text(text)
    (folder / "archive.json").write_text(json.dumps({"meta": meta, "inputs": inputs}, indent=1))
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
