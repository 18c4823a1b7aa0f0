#!/usr/bin/env python3
"""Prints the requirements pyproject.toml declares, one per line, for the Makefile.

    tools/requirements.py [build] [EXTRA ...]

`build`: what building without isolation needs (the build-system requirements, then CMake and
Ninja at the versions the scikit-build-core settings ask for); then the package's own
dependencies; then those of each named extra (e.g. `test`).
"""

import sys
import tomllib
from pathlib import Path

PYPROJECT = Path(__file__).resolve().parents[1] / "pyproject.toml"


def requirements(groups: list[str]) -> list[str]:
    project = tomllib.loads(PYPROJECT.read_text(encoding="utf-8"))
    out: list[str] = []
    if "build" in groups:
        out += project["build-system"]["requires"]
        skbuild = project.get("tool", {}).get("scikit-build", {})
        for tool in ("cmake", "ninja"):
            out.append(tool + skbuild.get(tool, {}).get("version", ""))
    out += project["project"].get("dependencies", [])
    extras = project["project"].get("optional-dependencies", {})
    for group in groups:
        if group != "build":
            out += extras[group]
    return list(dict.fromkeys(out))  # each once, in order


if __name__ == "__main__":
    print("\n".join(requirements(sys.argv[1:])))
