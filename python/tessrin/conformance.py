"""Conformance findings: every violation of the CIF 1.1 and CIF 2.0 syntax in a text, checked
natively under the version the standards give the text.

Each finding is a dict ``{"rule", "severity", "message", "line", "column", "context"}``;
``severity`` is ``"error"`` for a violation of a standard and ``"warning"`` for what the
standards only recommend. Findings come in text order.
"""

from __future__ import annotations

import os

import tessrin_core

#: Every rule id with its severity, in the order of the rule table.
RULES: dict[str, str] = tessrin_core.conformance_rules()


def conformance(source: str | bytes, max_errors: int | None = None) -> list[dict]:
    """The findings of CIF text (str, or bytes in any encoding); at most `max_errors`."""
    return tessrin_core.conformance(source, max_errors)


def conformance_file(path: str | os.PathLike, max_errors: int | None = None) -> list[dict]:
    """The findings of a file read as bytes: text that is not UTF-8 is a finding (`encoding`,
    or `cif2-not-utf8` for CIF 2.0) and the rest is checked with each bad byte read as U+FFFD.
    Raises OSError only when the file cannot be read."""
    return tessrin_core.conformance_file(os.fspath(path), max_errors)
