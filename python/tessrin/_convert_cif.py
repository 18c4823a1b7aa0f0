"""`tessrin convert --to cif`: each input written back as one CIF, diagnostics beside it."""

from __future__ import annotations

import json
import os

import tessrin_core

from tessrin._convert import DIAGNOSTICS_FILE, safe_name
from tessrin._run import Unreadable, read_text
from tessrin._write import dump


def cif_file_name(path: str) -> str:
    return (safe_name(os.path.splitext(os.path.basename(path))[0], 100) or "file") + ".cif"


def convert_file_to_cif(
    job: tuple[str, str],
    strict: bool = False,
    max_errors: int | None = None,
    cif_version: str | None = None,
) -> dict:
    """Writes the blocks, frames and loops of one file as read into `out_dir`; returns what
    was written, small enough to send back from a worker process."""
    path, out_dir = job
    outcome = {"path": path, "out_dir": out_dir, "written": [], "diagnostics": 0, "failure": None}
    try:
        parsed = tessrin_core.parse_raw(
            read_text(path), "strict" if strict else None, max_errors
        )
    except Unreadable as error:
        outcome["failure"] = f"cannot read: {error}"
        return outcome
    outcome["diagnostics"] = len(parsed["errors"])
    name = cif_file_name(path)
    try:
        os.makedirs(out_dir, exist_ok=True)
        dump(parsed, os.path.join(out_dir, name), version=cif_version)
        with open(os.path.join(out_dir, DIAGNOSTICS_FILE), "w", encoding="utf-8") as stream:
            for error in parsed["errors"]:
                stream.write(json.dumps(error, ensure_ascii=False) + "\n")
    except (ValueError, TypeError) as error:
        outcome["failure"] = f"cannot write as CIF {cif_version or ''}: {error}".replace("  ", " ")
        return outcome
    except OSError as error:
        where = f"{error.filename}: " if error.filename else ""
        outcome["failure"] = f"cannot write: {where}{error.strerror or error}"
        return outcome
    outcome["written"] = [name, DIAGNOSTICS_FILE]
    return outcome
