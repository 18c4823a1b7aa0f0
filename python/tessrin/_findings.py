"""Conformance findings in `tessrin check`: which rules run, the lines printed for them, and
their counts per rule."""

from __future__ import annotations

from collections import Counter

import tessrin_core

from tessrin.conformance import RULES

# What the standards only recommend, or what is a hint rather than a rule: reported by the
# library, but by `check` only when selected (--select RULE or --select all).
DEFAULT_OFF = frozenset({"version-comment-missing", "version-code-unknown", "cif2-magic-trailing-text"})

def rule_list(text: str) -> frozenset[str]:
    """`RULE,RULE,...` as given to --select/--ignore; `all` stands for every rule."""
    import argparse

    names = {name.strip() for name in text.split(",") if name.strip()}
    if "all" in names:
        return frozenset(RULES)
    unknown = sorted(names - set(RULES))
    if unknown:
        raise argparse.ArgumentTypeError(
            f"unknown rule {', '.join(unknown)} (rules: {', '.join(RULES)})"
        )
    return frozenset(names)


def selected_rules(select: frozenset[str] | None, ignore: frozenset[str] | None) -> frozenset[str]:
    chosen = select if select is not None else frozenset(RULES) - DEFAULT_OFF
    return chosen - (ignore or frozenset())


def findings_of(data: bytes, rules: frozenset[str], cap: int | None = None) -> list[dict]:
    # The cap counts the findings of every rule, before the selection.
    found = tessrin_core.conformance(data, cap)
    return [f for f in found if f["rule"] in rules]


def finding_line(prefix: str, finding: dict) -> str:
    """`PREFIX:LINE:COLUMN: SEVERITY[RULE]: MESSAGE`, the form linters print."""
    return (
        f"{prefix}:{finding['line']}:{finding['column']}: "
        f"{finding['severity']}[{finding['rule']}]: {finding['message']}"
    )


def is_error(finding: dict) -> bool:
    return finding["severity"] == "error"


class FindingCounts:
    """Findings per rule over every file of one run."""

    def __init__(self) -> None:
        self.by_rule: Counter[str] = Counter()
        self.errors = 0

    def add(self, findings: list[dict]) -> None:
        self.by_rule.update(f["rule"] for f in findings)
        self.errors += sum(map(is_error, findings))

    def text(self) -> str:
        total = self.by_rule.total()
        noun = "finding" if total == 1 else "findings"
        if not total:
            return f"0 {noun}"
        counts = ", ".join(f"{n} {rule}" for rule, n in sorted(self.by_rule.items()))
        return f"{total} {noun} ({counts})"
