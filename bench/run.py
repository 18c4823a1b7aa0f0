"""Benchmark driver: tessrin's entries and the established CIF parsers on the same inputs.

    python bench/run.py [--quick] [--entries a,b] [--inputs substr,...]

Every (entry, input) pair is measured in its own fresh process (`bench/measure.py`, or the
C++ `native_bench` for the native pipeline), so one entry's heap never inflates another's
peak. A peer that fails, times out or cannot read an input is recorded as such; the run goes
on. Writes results.md, results.json and chart.png under bench/results/ (bench/results/quick/
with --quick, so a quick look never overwrites the full figures).
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass
from importlib import metadata
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
CORPUS = ROOT.parent / "shared" / "corpus"
DATA = HERE / "data"
DEFAULT_NATIVE = ROOT / "build" / "bench" / "native_bench"
DEFAULT_BIG = DATA / "big_mmcif_200mb.cif"
SMALL_LIMIT = 1 << 20  # files up to 1 MiB count as "small" for the per-file batch

ENTRIES = [
    "native",
    "parse_arrow",
    "parse_tables",
    "parse_raw",
    "parse_cif",
    "parse_handler",
    "conformance",
    "gemmi",
    "pycifrw",
    "pdbecif",
    "mmcif",
    "dumps",
    "gemmi_write",
    "tables_text",
    "tables_infer",
    "gemmi_numbers",
]
# Writers are timed on the mmCIF inputs only and compared with gemmi's writer, not its reader.
WRITERS = {"dumps": "gemmi_write"}
WRITE_PEERS = {"gemmi_write"}
LABELS = {
    "native": "native pipeline",
    "parse_arrow": "parse_arrow",
    "parse_tables": "parse_tables",
    "parse_raw": "parse_raw",
    "parse_cif": "parse_cif",
    "parse_handler": "parse (no-op handler)",
    "conformance": "conformance",
    "gemmi": "gemmi read_string",
    "pycifrw": "PyCifRW ReadCif",
    "pdbecif": "pdbecif CifFileReader",
    "mmcif": "mmcif IoAdapterCore",
    "dumps": "dumps of parse_raw",
    "gemmi_write": "gemmi Document.as_string",
    "tables_text": "parse_tables types=text",
    "tables_infer": "parse_tables types=infer",
    "gemmi_numbers": "gemmi read + as_number",
}
PEER_PACKAGES = {"gemmi": "gemmi", "pycifrw": "PyCifRW", "pdbecif": "pdbecif", "mmcif": "mmcif"}
CIF1_ONLY = {"pdbecif", "mmcif"}  # no CIF 2.0 grammar at all: "n/a" on CIF 2.0 inputs
CLOCK_NAMES = {"cpu": "process CPU (user + system)", "wall": "wall-clock"}
TARGETS = {"native": 6.0, "parse_arrow": 4.0, "parse_raw": 1.0, "parse_cif": 1.0}


@dataclass
class Settings:
    quick: bool
    runs: int
    budget: float  # seconds of timed runs per measurement, after the warm-up
    timeout: float  # per measurement process
    size_limits: dict  # entry -> largest input in bytes (slow pure-Python peers)
    batch_skip: set  # entries left out of the small-file batch


@dataclass
class Input:
    name: str
    kind: str  # "mmcif", "cif2" or "batch"
    paths: list
    size: int  # bytes
    files: int = 1


def settings_for(quick: bool) -> Settings:
    if quick:
        return Settings(True, 3, 8.0, 60.0, {"pycifrw": 5_000_000}, {"pycifrw"})
    return Settings(False, 9, 40.0, 120.0, {"pycifrw": 60_000_000}, set())


# --- inputs --------------------------------------------------------------------------------


def starts_cif2(path: Path) -> bool:
    with open(path, "rb") as f:
        return f.read(16).lstrip(b"\xef\xbb\xbf").startswith(b"#\\#CIF_2.0")


def small_batch() -> Input | None:
    """All small CIF 1.1 files of the corpus, as UTF-8 (decoded with errors="replace")."""
    root = CORPUS / "cif1-real"
    if not root.is_dir():
        return None
    utf8_dir = DATA / "batch-utf8"
    utf8_dir.mkdir(parents=True, exist_ok=True)
    paths, total = [], 0
    for path in sorted(p for p in root.rglob("*") if p.is_file()):
        if "malformed" in path.relative_to(root).parts or path.stat().st_size > SMALL_LIMIT:
            continue
        if starts_cif2(path):
            continue
        raw = path.read_bytes()
        text = raw.decode("utf-8", errors="replace")
        encoded = text.encode("utf-8")
        if encoded != raw:
            # Not UTF-8: every entry, the C++ program and the path-reading peers alike, gets
            # the same replaced text a Python user would hold.
            copy = utf8_dir / ("_".join(path.relative_to(root).parts))
            if not copy.exists() or copy.read_bytes() != encoded:
                copy.write_bytes(encoded)
            path = copy
        paths.append(str(path))
        total += len(encoded)
    listing = DATA / "batch.txt"
    listing.write_text("\n".join(paths) + "\n")
    return Input(
        f"small CIF 1.1 batch ({len(paths)} files)", "batch", [str(listing)], total, len(paths)
    )


def collect_inputs(settings: Settings, big: Path) -> list[Input]:
    inputs = []
    big_dir = CORPUS / "mmcif-big"
    mmcif = sorted(big_dir.glob("*.cif")) if big_dir.is_dir() else []
    if settings.quick:
        mmcif = [p for p in mmcif if p.name == "mmcif_6yfy.cif"]
    for p in mmcif:
        inputs.append(Input(p.name, "mmcif", [str(p)], p.stat().st_size))
    if not settings.quick and big.exists():
        inputs.append(Input(f"{big.name} (generated)", "mmcif", [str(big)], big.stat().st_size))
    cif2_root = CORPUS / "cif2-syntax"
    dics = sorted(
        p
        for p in cif2_root.glob("comcifs-*/**/*.dic")
        if p.stat().st_size >= 100_000 and starts_cif2(p)
    )
    if settings.quick:
        dics = [p for p in dics if p.name == "cif_core.dic"]
    for p in dics:
        inputs.append(Input(p.name, "cif2", [str(p)], p.stat().st_size))
    batch = small_batch()
    if batch:
        inputs.append(batch)
    return inputs


# --- measuring -----------------------------------------------------------------------------


def last_json_line(text: str) -> dict | None:
    for line in reversed(text.strip().splitlines()):
        if line.startswith("{"):
            try:
                return json.loads(line)
            except json.JSONDecodeError:
                return None
    return None


def measure(entry: str, inp: Input, settings: Settings, native: Path, clock: str) -> dict:
    if (entry in WRITERS or entry in WRITE_PEERS) and inp.kind != "mmcif":
        return {"status": "n/a", "note": "writers are timed on the mmCIF inputs"}
    if inp.kind == "cif2" and entry in CIF1_ONLY:
        return {"status": "n/a", "note": "reads CIF 1.1 only"}
    if inp.kind == "batch" and entry in settings.batch_skip:
        return {"status": "skipped", "note": "slow; left out of the quick run"}
    limit = settings.size_limits.get(entry)
    if limit is not None and inp.size > limit:
        return {"status": "skipped", "note": f"slow; inputs over {limit / 1e6:.0f} MB left out"}

    source = ["--list", inp.paths[0]] if inp.kind == "batch" else [inp.paths[0]]
    if entry == "native":
        if not native.exists():
            return {"status": "n/a", "note": f"{native} not built"}
        cmd = [str(native), "--runs", str(settings.runs), *source]
    else:
        if inp.kind != "batch":
            source = ["--file", inp.paths[0]]
        cmd = [
            sys.executable,
            str(HERE / "measure.py"),
            entry,
            *source,
            "--runs",
            str(settings.runs),
            "--budget",
            str(settings.budget),
        ]
    try:
        proc = subprocess.run(
            cmd, check=False, capture_output=True, timeout=settings.timeout, cwd=ROOT
        )
    except subprocess.TimeoutExpired:
        return {"status": "timeout", "note": f"over {settings.timeout:.0f} s"}
    # Peers print what they like, not always UTF-8.
    stdout = proc.stdout.decode("utf-8", errors="replace")
    stderr = proc.stderr.decode("utf-8", errors="replace")
    result = last_json_line(stdout)
    if result is None:
        tail = (stderr.strip().splitlines() or [f"exit {proc.returncode}"])[-1]
        return {"status": "failed", "note": tail[:300]}
    if not result.get("ok"):
        return {"status": "failed", "note": result.get("error", "")[:300], **result}
    return {"status": "ok", **result, "median_s": result[f"median_{clock}_s"]}


# --- machine -------------------------------------------------------------------------------


def machine() -> dict:
    cpu = "unknown"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    mem_gib = None
    try:
        for line in Path("/proc/meminfo").read_text().splitlines():
            if line.startswith("MemTotal:"):
                mem_gib = round(int(line.split()[1]) / 2**20, 1)
    except OSError:
        pass
    versions = {}
    for name in ["pyarrow", *PEER_PACKAGES.values()]:
        try:
            versions[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            versions[name] = None
    try:
        commit = subprocess.run(
            ["git", "describe", "--always", "--dirty"],
            check=False,
            cwd=ROOT,
            capture_output=True,
            text=True,
        ).stdout.strip()
    except OSError:
        commit = ""
    return {
        "cpu": cpu,
        "cores": os.cpu_count(),
        "memory_gib": mem_gib,
        "kernel": platform.release(),
        "python": platform.python_version(),
        "date": datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC"),
        "loadavg_at_start": os.getloadavg()[0],
        "tessrin_commit": commit,
        "versions": versions,
    }


# --- report --------------------------------------------------------------------------------


def mb_s(r: dict) -> float | None:
    return r["bytes"] / r["median_s"] / 1e6 if r.get("status") == "ok" and r["median_s"] else None


def speed_ratio(results: dict, name: str, entry: str) -> float | None:
    """How many times faster than gemmi on the same input (> 1 is faster)."""
    r, g = results[name].get(entry, {}), results[name].get("gemmi", {})
    if r.get("status") == "ok" and g.get("status") == "ok":
        return g["median_s"] / r["median_s"]
    return None


def status_cell(r: dict) -> str:
    status = r.get("status", "")
    return {"n/a": "n/a", "timeout": "timeout", "skipped": "—", "failed": "failed"}.get(
        status, status
    )


def one_line(text: str) -> str:
    return " ".join(str(text).split())


def fmt_size(n: int) -> str:
    return f"{n / 1e6:.1f} MB" if n >= 1e6 else f"{n / 1e3:.0f} kB"


def fmt_ratio(x: float | None) -> str:
    if x is None:
        return ""
    return f"{x:.2f}×" if x < 10 else f"{x:.1f}×"


def conformance_target(results: dict, large: list[Input], entries: list[str]) -> list[str]:
    """Issue 18: the conformance checks cost at most half of parse_raw's time."""
    if "conformance" not in entries or "parse_raw" not in entries:
        return []
    rel = []
    for i in large:
        c, r = results[i.name].get("conformance", {}), results[i.name].get("parse_raw", {})
        if c.get("status") == "ok" and r.get("status") == "ok":
            rel.append((c["median_s"] / r["median_s"], i.name))
    if not rel:
        return ["| conformance ≤ 0.5× parse_raw's time | | | no data |"]
    worst = max(rel)
    med = statistics.median(x for x, _ in rel)
    ok = "yes" if worst[0] <= 0.5 else "no"
    return [
        f"| conformance ≤ 0.5× parse_raw's time | {worst[0]:.2f} ({worst[1]}) | {med:.2f} | {ok} |"
    ]


def render_markdown(
    inputs: list[Input],
    entries: list[str],
    results: dict,
    info: dict,
    settings: Settings,
    clock: str,
) -> str:
    writers = [e for e in entries if e in WRITERS or e in WRITE_PEERS]
    entries = [e for e in entries if e not in writers]
    lines = [
        "# Benchmark results" + (" (quick run)" if settings.quick else ""),
        "",
        (
            f"Machine: {info['cpu']}, {info['cores']} cores, {info['memory_gib']} GiB; "
            f"Linux {info['kernel']}, Python {info['python']}. Date: {info['date']}. "
            f"tessrin at `{info['tessrin_commit']}`. Load average at start: "
            f"{info['loadavg_at_start']:.2f}."
        ),
        "",
        "Peers: " + ", ".join(f"{k} {v}" for k, v in info["versions"].items() if v) + ".",
        "",
        (
            f"Each cell is one fresh process: one warm-up parse (which also gives the peak memory), "
            f"then up to {settings.runs} timed parses; the median is quoted. Throughput is file "
            f"bytes / median {CLOCK_NAMES[clock]} seconds. tessrin, gemmi and PyCifRW parse a "
            f"`str` already in memory; pdbecif and mmcif take a path, so their time includes "
            f"reading the file. "
            f"`(×N)` is speed relative to `gemmi.cif.read_string` on the same input "
            f"(> 1 is faster). `—`: left out (slow peer, input too large); n/a: the peer has no "
            f"CIF 2.0 grammar or the program is not built."
        ),
        "",
        "## Throughput, MB/s (ratio to gemmi)",
        "",
    ]
    single = [i for i in inputs if i.kind != "batch"]
    header = "| input | size | " + " | ".join(LABELS[e] for e in entries) + " |"
    lines += [header, "|" + "---|" * (len(entries) + 2)]
    for inp in single:
        cells = []
        for e in entries:
            r = results[inp.name].get(e, {})
            speed = mb_s(r)
            if speed is None:
                cells.append(status_cell(r))
                continue
            ratio = speed_ratio(results, inp.name, e)
            cell = f"{speed:.1f}"
            if ratio is not None and e != "gemmi":
                cell += f" ({fmt_ratio(ratio)})"
            if r.get("runs", 0) < 3:
                cell += f" [{r.get('runs')} run{'s' if r.get('runs') != 1 else ''}]"
            cells.append(cell)
        lines.append(f"| {inp.name} | {fmt_size(inp.size)} | " + " | ".join(cells) + " |")

    lines += ["", "## Peak memory above the interpreter's baseline, × file size", ""]
    lines += [header, "|" + "---|" * (len(entries) + 2)]
    for inp in single:
        cells = []
        for e in entries:
            r = results[inp.name].get(e, {})
            if r.get("status") != "ok":
                cells.append(status_cell(r))
            else:
                cells.append(f"{max(r['peak_delta_bytes'], 0) / inp.size:.1f}×")
        lines.append(f"| {inp.name} | {fmt_size(inp.size)} | " + " | ".join(cells) + " |")

    batch = next((i for i in inputs if i.kind == "batch"), None)
    if batch:
        lines += [
            "",
            (
                f"## Small-file batch: {batch.files} CIF 1.1 files of `cif1-real` up to 1 MiB "
                f"({fmt_size(batch.size)}), parsed one after another"
            ),
            "",
            (
                "A file that an entry rejects still counts in its time (it usually stops early). "
                "Peak memory is over the whole batch, results dropped file by file."
            ),
            "",
            (
                "| entry | total time | per file | MB/s | time ÷ gemmi's | peak memory | "
                "files failed |"
            ),
            "|---|---|---|---|---|---|---|",
        ]
        g = results[batch.name].get("gemmi", {})
        for e in entries:
            r = results[batch.name].get(e, {})
            if r.get("status") != "ok":
                note = r.get("note", "")
                lines.append(f"| {LABELS[e]} | {status_cell(r)} | | | | | {one_line(note)} |")
                continue
            t = r["median_s"]
            rel = f"{t / g['median_s']:.2f}" if g.get("status") == "ok" else ""
            failed = r.get("failures", 0)
            lines.append(
                f"| {LABELS[e]} | {t * 1e3:.0f} ms | {t / batch.files * 1e6:.0f} µs | "
                f"{mb_s(r):.1f} | {rel} | {max(r['peak_delta_bytes'], 0) / 1e6:.0f} MB | "
                f"{failed or ''} |"
            )

    lines += ["", "## Targets (issue 7) on the large mmCIF inputs", ""]
    lines += ["| target | worst input | median over inputs | met |", "|---|---|---|---|"]
    large = [i for i in single if i.kind == "mmcif"]
    for e, want in TARGETS.items():
        if e not in entries:
            continue
        ratios = [(speed_ratio(results, i.name, e), i.name) for i in large]
        ratios = [(x, n) for x, n in ratios if x is not None]
        if not ratios:
            lines.append(f"| {LABELS[e]} ≥ {want:g}× gemmi | | | no data |")
            continue
        worst = min(ratios)
        med = statistics.median(x for x, _ in ratios)
        ok = "yes" if worst[0] >= want else "no"
        lines.append(
            f"| {LABELS[e]} ≥ {want:g}× gemmi | {fmt_ratio(worst[0])} ({worst[1]}) | "
            f"{fmt_ratio(med)} | {ok} |"
        )
    if batch and "parse_raw" in entries:
        r, g = results[batch.name].get("parse_raw", {}), results[batch.name].get("gemmi", {})
        if r.get("status") == "ok" and g.get("status") == "ok":
            rel = r["median_s"] / g["median_s"]
            lines.append(
                f"| batch through parse_raw ≤ 0.5× gemmi's time | {rel:.2f} | | "
                f"{'yes' if rel <= 0.5 else 'no'} |"
            )
    lines += conformance_target(results, large, entries)
    if "parse_arrow" in entries:
        mems = [(results[i.name].get("parse_arrow", {}), i) for i in large]
        mems = [
            (r["peak_delta_bytes"] / i.size, i.name) for r, i in mems if r.get("status") == "ok"
        ]
        if mems:
            worst = max(mems)
            med = statistics.median(x for x, _ in mems)
            lines.append(
                f"| parse_arrow peak memory ≤ 3× file size | {worst[0]:.1f}× "
                f"({worst[1]}) | {med:.1f}× | {'yes' if worst[0] <= 3 else 'no'} |"
            )
    lines += tables_targets(large, entries, results)

    lines += render_types(single, entries, results)

    notes = []
    for inp in inputs:
        for e in entries:
            r = results[inp.name].get(e, {})
            if r.get("status") in ("failed", "timeout") or (
                r.get("failures") and inp.kind != "batch"
            ):
                notes.append(
                    f"- {LABELS[e]} on {inp.name}: {r.get('status')}: "
                    f"{one_line(r.get('note', ''))}".rstrip(": ")
                )
            elif inp.kind == "batch" and r.get("failures"):
                examples = "; ".join(f"`{one_line(x)}`" for x in r.get("failure_examples", [])[:2])
                notes.append(
                    f"- {LABELS[e]} rejected {r['failures']} of the {inp.files} batch "
                    f"files, e.g. {examples}"
                )
    if notes:
        lines += ["", "## Failures", ""] + notes
    lines += render_writers(inputs, writers, results)
    return "\n".join(lines) + "\n"


def render_writers(inputs: list[Input], writers: list[str], results: dict) -> list[str]:
    """Writing CIF text back from a parsed document, against gemmi's writer on the same file."""
    large = [i for i in inputs if i.kind == "mmcif"]
    if not writers or not large:
        return []
    lines = [
        "",
        "## Writing CIF (issue 17): MB/s of input file written back, ratio to gemmi's writer",
        "",
        (
            "The document is parsed first (not timed): `parse_raw` for dumps, `gemmi.cif."
            "read_string` for gemmi. Target: dumps ≥ 1× `Document.as_string()` on every input."
        ),
        "",
        "| input | size | " + " | ".join(LABELS[e] for e in writers) + " |",
        "|" + "---|" * (len(writers) + 2),
    ]
    ratios = []
    for inp in large:
        cells = []
        for e in writers:
            r = results[inp.name].get(e, {})
            speed = mb_s(r)
            if speed is None:
                cells.append(f"{status_cell(r)} {one_line(r.get('note', ''))[:80]}".strip())
                continue
            peer = mb_s(results[inp.name].get(WRITERS.get(e, ""), {}))
            cell = f"{speed:.1f}"
            if peer:
                cell += f" ({fmt_ratio(speed / peer)})"
                ratios.append((speed / peer, inp.name))
            cells.append(cell)
        lines.append(f"| {inp.name} | {fmt_size(inp.size)} | " + " | ".join(cells) + " |")
    if ratios:
        worst = min(ratios)
        ok = "yes" if worst[0] >= 1 else "no"
        lines += ["", f"Worst ratio: {fmt_ratio(worst[0])} ({worst[1]}); target met: {ok}."]
    return lines


def render_types(single: list[Input], entries: list[str], results: dict) -> list[str]:
    """Cost of typed columns (issue 16): parse_tables types=infer against types=text, and the
    peer doing the same typing, gemmi's reader plus as_number over the same columns."""
    wanted = ("tables_text", "tables_infer")
    if not all(e in entries for e in wanted):
        return []
    lines = [
        "",
        "## Typed columns (issue 16): cost of types=\"infer\" on the mmCIF inputs (target ≤ +25 %)",
        "",
        (
            "| input | types=text | types=infer | typing cost | gemmi read + as_number | "
            "infer ÷ gemmi's time |"
        ),
        "|---|---|---|---|---|---|",
    ]
    for inp in (i for i in single if i.kind == "mmcif"):
        text, infer = (results[inp.name].get(e, {}) for e in wanted)
        peer = results[inp.name].get("gemmi_numbers", {})
        if text.get("status") != "ok" or infer.get("status") != "ok":
            continue
        cost = infer["median_s"] / text["median_s"] - 1
        peer_cell, rel = status_cell(peer), ""
        if peer.get("status") == "ok":
            peer_cell = f"{peer['median_s'] * 1e3:.0f} ms"
            rel = f"{infer['median_s'] / peer['median_s']:.2f}"
        lines.append(
            f"| {inp.name} | {text['median_s'] * 1e3:.0f} ms | {infer['median_s'] * 1e3:.0f} ms "
            f"| {cost * 100:+.0f} % | {peer_cell} | {rel} |"
        )
    return lines


CHEM_COMP = "components-ccd-first-5430-blocks.cif"


def tables_targets(large: list[Input], entries: list[str], results: dict) -> list[str]:
    """Issue 15: parse_tables on the chemical-component file (many blocks) against gemmi and
    file size; on the single-block mmCIF files against parse_arrow."""
    # The targets are those of the text tables; typing has its own budget (issue 16).
    entry = "tables_text" if "tables_text" in entries else "parse_tables"
    if entry not in entries:
        return []
    lines = ["", f"## Targets (issue 15): {LABELS[entry]}", ""]
    lines += ["| target | worst input | median over inputs | met |", "|---|---|---|---|"]
    chem = [i for i in large if i.name == CHEM_COMP]
    for inp in chem:
        r = results[inp.name].get(entry, {})
        ratio = speed_ratio(results, inp.name, entry)
        if ratio is not None:
            lines.append(
                f"| parse_tables ≥ 3× gemmi on the chem-comp file | {fmt_ratio(ratio)} | | "
                f"{'yes' if ratio >= 3 else 'no'} |"
            )
        if r.get("status") == "ok":
            mem = r["peak_delta_bytes"] / inp.size
            lines.append(
                f"| parse_tables peak ≤ 3× file size on the chem-comp file | {mem:.1f}× | | "
                f"{'yes' if mem <= 3 else 'no'} |"
            )
    speed, memory = [], []
    for inp in large:
        if inp in chem:
            continue
        t, a = results[inp.name].get(entry, {}), results[inp.name].get("parse_arrow", {})
        if t.get("status") == "ok" and a.get("status") == "ok":
            speed.append((a["median_s"] / t["median_s"], inp.name))
            memory.append((t["peak_delta_bytes"] / max(a["peak_delta_bytes"], 1), inp.name))
    if speed:
        worst, med = min(speed), statistics.median(x for x, _ in speed)
        lines.append(
            f"| parse_tables throughput ≥ 0.9× parse_arrow's (mmCIF) | {worst[0]:.2f} "
            f"({worst[1]}) | {med:.2f} | {'yes' if worst[0] >= 0.9 else 'no'} |"
        )
        worst, med = max(memory), statistics.median(x for x, _ in memory)
        lines.append(
            f"| parse_tables peak ≤ 1.1× parse_arrow's (mmCIF) | {worst[0]:.2f} "
            f"({worst[1]}) | {med:.2f} | {'yes' if worst[0] <= 1.1 else 'no'} |"
        )
    return lines


def render_chart(
    inputs: list[Input], entries: list[str], results: dict, info: dict, path: Path
) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter, NullFormatter

    plain = FuncFormatter(lambda x, _: f"{x:g}")

    colors = dict(zip(ENTRIES, plt.get_cmap("tab20").colors))
    single = [i for i in inputs if i.kind != "batch"]
    batch = next((i for i in inputs if i.kind == "batch"), None)

    fig, axes = plt.subplots(
        1,
        3,
        figsize=(19, 0.9 + 0.62 * max(len(single), 5)),
        gridspec_kw={"width_ratios": [2.2, 1.4, 1.4]},
    )
    ax_speed, ax_mem, ax_batch = axes
    height = 0.8 / len(entries)
    for k, e in enumerate(entries):
        speeds, mems, ys = [], [], []
        for row, inp in enumerate(single):
            r = results[inp.name].get(e, {})
            if r.get("status") == "ok":
                ys.append(row + (k - (len(entries) - 1) / 2) * height)
                speeds.append(mb_s(r))
                mems.append(r["peak_delta_bytes"] / inp.size)
        ax_speed.barh(ys, speeds, height, color=colors[e], label=LABELS[e])
        ax_mem.barh(ys, [max(m, 0.1) for m in mems], height, color=colors[e])
    names = [f"{i.name}\n{fmt_size(i.size)}" for i in single]
    for ax in (ax_speed, ax_mem, ax_batch):
        ax.set_xscale("log")
        ax.xaxis.set_major_formatter(plain)
        ax.xaxis.set_minor_formatter(NullFormatter())
        ax.grid(axis="x", which="both", alpha=0.3)
    for ax in (ax_speed, ax_mem):
        ax.set_yticks(range(len(single)))
        ax.set_ylim(len(single) - 0.5, -0.5)
    ax_speed.set_yticklabels(names, fontsize=8)
    ax_mem.set_yticklabels([])
    ax_mem.set_xlim(left=0.1)
    ax_speed.set_xlabel("throughput, MB/s (log scale; longer is faster)")
    ax_mem.set_xlabel("peak memory above baseline, × file size (log; shorter is better)")
    ax_speed.set_title("Throughput per input")
    ax_mem.set_title("Peak memory")

    if batch:
        rows = [(e, results[batch.name].get(e, {})) for e in entries]
        rows = [(e, r) for e, r in rows if r.get("status") == "ok"]
        seconds = [r["median_s"] for _, r in rows]
        ax_batch.barh(range(len(rows)), seconds, color=[colors[e] for e, _ in rows])
        for y, t in enumerate(seconds):
            ax_batch.text(t, y, f" {t * 1e3:.0f} ms", va="center", fontsize=8)
        ax_batch.set_xlim(min(seconds) / 2, max(seconds) * 4)
        ax_batch.set_yticks(range(len(rows)))
        ax_batch.set_yticklabels([LABELS[e] for e, _ in rows], fontsize=8)
        ax_batch.set_ylim(len(rows) - 0.5, -0.5)
        ax_batch.set_xlabel("total seconds (log; shorter is faster)")
        ax_batch.set_title(f"{batch.files} small CIF 1.1 files, one after another")
    else:
        ax_batch.axis("off")

    fig.legend(loc="lower center", ncol=len(entries), fontsize=8, frameon=False)
    fig.suptitle(
        f"tessrin vs. established CIF parsers — {info['cpu']}, {info['cores']} cores, "
        f"{info['date']}",
        fontsize=10,
    )
    fig.tight_layout(rect=(0, 0.05, 1, 0.97))
    fig.savefig(path, dpi=110)
    plt.close(fig)


# --- main ----------------------------------------------------------------------------------


def measure_threads(settings: Settings) -> dict:
    """The whole corpus through parse_arrow_file and parse_tables_file by a pool of 1 thread and
    of 2 (bench/threads.py, in a fresh process)."""
    runs = "1" if settings.quick else "3"
    done = subprocess.run(
        [sys.executable, str(HERE / "threads.py"), "--runs", runs],
        capture_output=True,
        text=True,
        check=False,
    )
    found = last_json_line(done.stdout)
    return found or {"error": (done.stderr or "no output").strip()[-300:]}


# What runs without the interpreter lock in each function bench/threads.py measures, and the
# target on 2 cores: (which ratio, at most).
THREADS_UNLOCKED = {
    "parse_arrow_file": "Reading, parsing, collecting and building the batches",
    "parse_tables_file": "Reading, parsing, collecting, typing and building the tables",
}
THREADS_TARGET = {"parse_arrow_file": ("ratio", 0.6), "parse_tables_file": ("kept_ratio", 0.65)}


def threads_markdown(t: dict) -> str:
    measured = [f for f in THREADS_UNLOCKED if "ratio" in t.get(f, {})]
    if not measured:
        return f"\n## Threads\n\nnot measured: {t.get('error')}\n"
    text = (
        f"\n## Threads\n\nThe corpus ({t['files']} files, {fmt_size(t['bytes'])}) in a thread "
        f"pool, best wall-clock time of {t['runs']} run(s).\n"
    )
    for function in measured:
        f = t[function]
        target_key, target = THREADS_TARGET[function]
        mark = {key: f" (target ≤ {target} on 2 cores)" if key == target_key else "" for key in f}
        text += (
            f"\n`{function}`: 1 thread {f['one_thread_s']:.2f} s, 2 threads "
            f"{f['two_threads_s']:.2f} s, ratio **{f['ratio']:.2f}**{mark['ratio']}. "
            f"{THREADS_UNLOCKED[function]} run without the interpreter lock; handing them to "
            "pyarrow holds it. With every result kept until the clock stops, so that pyarrow's "
            "freeing of the batches (under the lock, a file's all at once) is not timed: "
            f"1 thread {f['kept_one_thread_s']:.2f} s, 2 threads {f['kept_two_threads_s']:.2f} s, "
            f"ratio **{f['kept_ratio']:.2f}**{mark['kept_ratio']}. The same files in a pool of worker processes, "
            f"which share no lock: 1 process {f['one_process_s']:.2f} s, 2 processes "
            f"{f['two_processes_s']:.2f} s, ratio **{f['process_ratio']:.2f}**: what this "
            "machine allows two parsers at once.\n"
        )
    return text


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--quick", action="store_true", default=os.environ.get("BENCH_QUICK", "") not in ("", "0")
    )
    parser.add_argument("--entries", help="comma-separated subset of: " + ",".join(ENTRIES))
    parser.add_argument("--inputs", help="comma-separated substrings of input names to keep")
    parser.add_argument("--native", type=Path, default=DEFAULT_NATIVE)
    parser.add_argument("--big", type=Path, default=DEFAULT_BIG)
    parser.add_argument("--out", type=Path, help="results folder")
    parser.add_argument(
        "--render-only",
        action="store_true",
        help="rewrite results.md and chart.png from the folder's results.json",
    )
    parser.add_argument(
        "--clock",
        choices=["cpu", "wall"],
        default="cpu",
        help="time quoted: the process's CPU time (default; steady when other "
        "work shares the machine) or wall-clock time; both are recorded",
    )
    args = parser.parse_args(argv)

    settings = settings_for(args.quick)
    if args.render_only:
        out = args.out or (HERE / "results" / ("quick" if settings.quick else ""))
        saved = json.loads((out / "results.json").read_text())
        inputs = [Input(**i) for i in saved["inputs"]]
        entries = [e for e in ENTRIES if any(e in r for r in saved["results"].values())]
        (out / "results.md").write_text(
            render_markdown(
                inputs,
                entries,
                saved["results"],
                saved["machine"],
                settings,
                saved["settings"].get("clock", "cpu"),
            )
        )
        render_chart(
            inputs, [e for e in entries if e in LABELS and e not in WRITERS and e not in WRITE_PEERS],
            saved["results"], saved["machine"], out / "chart.png",
        )
        return 0
    entries = ENTRIES if not args.entries else [e for e in args.entries.split(",") if e]
    unknown = set(entries) - set(ENTRIES)
    if unknown:
        parser.error(f"unknown entries: {', '.join(sorted(unknown))}")
    if "gemmi" not in entries:
        entries = [*entries, "gemmi"]  # every ratio is to gemmi
    if "dumps" in entries and "gemmi_write" not in entries:
        entries = [*entries, "gemmi_write"]
    inputs = collect_inputs(settings, args.big)
    if args.inputs:
        keep = args.inputs.split(",")
        inputs = [i for i in inputs if any(k in i.name for k in keep)]
    if not inputs:
        print("no inputs found under", CORPUS, file=sys.stderr)
        return 1
    out = args.out or (HERE / "results" / ("quick" if settings.quick else ""))
    out.mkdir(parents=True, exist_ok=True)

    info = machine()
    results: dict = {i.name: {} for i in inputs}
    settings_json = {
        "quick": settings.quick,
        "runs": settings.runs,
        "budget_s": settings.budget,
        "timeout_s": settings.timeout,
        "clock": args.clock,
    }

    def save_json():
        (out / "results.json").write_text(
            json.dumps(
                {
                    "machine": info,
                    "settings": settings_json,
                    "inputs": [vars(i) for i in inputs],
                    "results": results,
                },
                indent=1,
            )
        )

    total = len(inputs) * len(entries)
    n = 0
    started = time.monotonic()
    for inp in inputs:
        for e in entries:
            n += 1
            t0 = time.monotonic()
            try:
                r = measure(e, inp, settings, args.native, args.clock)
            except Exception as exc:  # noqa: BLE001  (one broken measurement never ends the run)
                r = {"status": "failed", "note": f"driver: {type(exc).__name__}: {exc}"[:300]}
            results[inp.name][e] = r
            save_json()  # a run stopped half-way keeps what it measured
            speed = mb_s(r)
            shown = f"{speed:8.1f} MB/s" if speed else f"{r['status']:>13}"
            print(
                f"[{n:3}/{total}] {inp.name[:40]:40} {LABELS[e]:24} {shown} "
                f"({time.monotonic() - t0:.0f} s)",
                file=sys.stderr,
                flush=True,
            )

    threads = measure_threads(settings)
    settings_json["threads"] = threads
    save_json()
    (out / "results.md").write_text(
        render_markdown(inputs, entries, results, info, settings, args.clock)
        + threads_markdown(threads)
    )
    try:
        render_chart(
            inputs, [e for e in entries if e not in WRITERS and e not in WRITE_PEERS],
            results, info, out / "chart.png",
        )
    except ImportError as e:
        print(f"no chart: {e}", file=sys.stderr)
    print(
        f"wrote {out}/results.md, chart.png, results.json in "
        f"{(time.monotonic() - started) / 60:.1f} min",
        file=sys.stderr,
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
