"""`tessrin check` over the whole corpus, in files per second, beside gemmi's reader at its
strictest check level on the same files (issue 18).

    python bench/check_corpus.py [--quick] [--out DIR]

Each side runs in a fresh process on one core: the command itself (`tessrin check -j 1`, its
conformance checks on), and a loop calling `gemmi.cif.read_file(path, check_level=2)` on every
file the command collects (gemmi stops at a file's first error; a file it rejects still
counts). Times are the child processes' CPU time (user + system); wall time is recorded too.
Writes check_corpus.json and check_corpus.md into the results folder.
"""

from __future__ import annotations

import argparse
import json
import resource
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
CORPUS = HERE.parent.parent / "shared" / "corpus"

GEMMI_LOOP = """
import sys
from gemmi import cif
rejected = 0
for path in sys.stdin.read().splitlines():
    try:
        cif.read_file(path, check_level=2)
    except Exception:
        rejected += 1
print(rejected)
"""


def timed(cmd: list[str], stdin: str | None = None) -> tuple[float, float, str]:
    """CPU and wall seconds of one child process, and its standard output."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    proc = subprocess.run(cmd, input=stdin, capture_output=True, text=True, check=False,
                          errors="replace")
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return cpu, wall, proc.stdout


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--out", type=Path, default=HERE / "results")
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args(argv)
    from tessrin._run import collect_files

    root = CORPUS / "cif1-real" if args.quick else CORPUS
    if not root.is_dir():
        print("no corpus at", root, file=sys.stderr)
        return 1
    files, _ = collect_files([str(root)])
    size = sum(Path(f).stat().st_size for f in files)
    tessrin_cmd = [sys.executable, "-m", "tessrin", "check", "-j", "1", str(root)]
    gemmi_cmd = [sys.executable, "-c", GEMMI_LOOP]
    runs = {"tessrin check": [], "gemmi read_file check_level=2": []}
    summary, rejected = "", ""
    for _ in range(1 if args.quick else args.runs):
        cpu, wall, out = timed(tessrin_cmd)
        summary = (out.strip().splitlines() or [""])[-1]
        runs["tessrin check"].append((cpu, wall))
        cpu, wall, rejected = timed(gemmi_cmd, "\n".join(files))
        runs["gemmi read_file check_level=2"].append((cpu, wall))
    rows = {}
    for name, times in runs.items():
        cpu = sorted(t[0] for t in times)[len(times) // 2]
        wall = sorted(t[1] for t in times)[len(times) // 2]
        rows[name] = {"cpu_s": cpu, "wall_s": wall, "files_per_s": len(files) / cpu}
    result = {"files": len(files), "bytes": size, "root": str(root.relative_to(CORPUS.parent)),
              "runs": rows, "tessrin_summary": summary, "gemmi_rejected": rejected.strip()}
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "check_corpus.json").write_text(json.dumps(result, indent=1))
    lines = [
        "# `tessrin check` over the corpus",
        "",
        (
            f"{len(files)} files ({size / 1e6:.0f} MB) under `{result['root']}`, one core; median "
            "process CPU time of the runs. gemmi stops at each file's first error "
            f"(it rejected {result['gemmi_rejected']} files); tessrin checks every file to its end "
            "with its parser and its conformance checks."
        ),
        "",
        "| reader | files/s | CPU s | wall s |",
        "|---|---|---|---|",
        *(f"| {name} | {r['files_per_s']:.0f} | {r['cpu_s']:.1f} | {r['wall_s']:.1f} |"
          for name, r in rows.items()),
        "",
        f"tessrin's summary: {summary}",
    ]
    (args.out / "check_corpus.md").write_text("\n".join(lines) + "\n")
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
