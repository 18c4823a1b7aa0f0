"""Two builds of tessrin, measured alternately in one run: is the change slower?

    python bench/compare_builds.py BEFORE_ROOT AFTER_ROOT [--rounds 3] [--entries a,b]
                                   [--inputs substr,...] [--quick] [--out FILE]

Each ROOT is a checkout with its own `.venv` (the build installed there) and, for the
`native` entry, `build/bench/native_bench`. The rounds run BEFORE, AFTER, BEFORE, ... with
`bench/run.py` of each checkout, so that the machine's drift over minutes falls on both
builds alike; each (entry, input) pair keeps the best of its rounds' medians (CPU time). The
table gives throughput in MB/s and AFTER's change against BEFORE.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import tempfile
from pathlib import Path


def run_once(root: Path, out: Path, args: argparse.Namespace) -> dict:
    command = [
        str(root / ".venv" / "bin" / "python"),
        str(root / "bench" / "run.py"),
        "--out",
        str(out),
        "--native",
        str(root / "build" / "bench" / "native_bench"),
    ]
    if args.quick:
        command.append("--quick")
    if args.entries:
        command += ["--entries", args.entries]
    if args.inputs:
        command += ["--inputs", args.inputs]
    subprocess.run(command, check=True, cwd=root, stdout=subprocess.DEVNULL)
    return json.loads((out / "results.json").read_text())


def best_times(runs: list[dict]) -> dict[tuple[str, str], tuple[float, int]]:
    """(input, entry) -> (best median CPU seconds over the rounds, bytes)."""
    best: dict[tuple[str, str], tuple[float, int]] = {}
    for run in runs:
        for name, by_entry in run["results"].items():
            for entry, r in by_entry.items():
                if not r.get("ok"):
                    continue
                key = (name, entry)
                t = r["median_cpu_s"]
                if key not in best or t < best[key][0]:
                    best[key] = (t, r["bytes"])
    return best


def render(before: dict, after: dict, labels: tuple[str, str]) -> str:
    lines = [
        f"| input | entry | {labels[0]} MB/s | {labels[1]} MB/s | change |",
        "|---|---|---:|---:|---:|",
    ]
    for key in sorted(before.keys() & after.keys()):
        (tb, size), (ta, _) = before[key], after[key]
        mb_b, mb_a = size / tb / 1e6, size / ta / 1e6
        lines.append(
            f"| {key[0]} | {key[1]} | {mb_b:.1f} | {mb_a:.1f} | {100 * (mb_a / mb_b - 1):+.1f} % |"
        )
    return "\n".join(lines) + "\n"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("before", type=Path)
    parser.add_argument("after", type=Path)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--entries")
    parser.add_argument("--inputs")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--out", type=Path, help="write the table here as well")
    args = parser.parse_args(argv)

    roots = (args.before.resolve(), args.after.resolve())
    runs: tuple[list[dict], list[dict]] = ([], [])
    with tempfile.TemporaryDirectory() as tmp:
        for k in range(args.rounds):
            for side, root in enumerate(roots):
                print(f"round {k + 1}/{args.rounds}: {root}", file=sys.stderr, flush=True)
                runs[side].append(run_once(root, Path(tmp) / f"{side}-{k}", args))
    table = render(best_times(runs[0]), best_times(runs[1]), ("before", "after"))
    print(table, end="")
    if args.out:
        args.out.write_text(table)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
