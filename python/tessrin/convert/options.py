"""How a conversion reads its inputs: one object from the command line to every task."""

from __future__ import annotations

import dataclasses


@dataclasses.dataclass(frozen=True)
class ConvertOptions:
    """The reading options every input of one conversion shares; small and picklable, so a
    task sent to a worker process or a Dask worker carries it whole."""

    strict: bool = False
    types: str = "infer"  # infer, text, or the path of a DDL2 or DDLm dictionary
    max_errors: int | None = None  # diagnostics kept per file; None: all
    encoding: str | None = None  # None: UTF-8, and a file that is not is refused

    @property
    def mode(self) -> str | None:
        """The parser's `mode` argument."""
        return "strict" if self.strict else None
