"""tessrin: a fast, recovering parser for CIF 1.1 and CIF 2.0."""

from tessrin_core import (
    parse,
    parse_arrow,
    parse_arrow_file,
    parse_cif,
    parse_raw,
    parse_tables,
    parse_tables_file,
)

from tessrin._memory import release_memory
from tessrin._write import dump, dumps
from tessrin.conformance import conformance, conformance_file
from tessrin.types import CifVersion, ParseError, ValueType

__all__ = [
    "CifVersion",
    "ParseError",
    "ValueType",
    "conformance",
    "conformance_file",
    "dump",
    "dumps",
    "parse",
    "parse_arrow",
    "parse_arrow_file",
    "parse_cif",
    "parse_raw",
    "parse_tables",
    "parse_tables_file",
    "release_memory",
]


def __getattr__(name: str):
    # The version is the installed package's (pyproject.toml), looked up on first use: reading
    # the package metadata costs more than the rest of the import of the command.
    if name == "__version__":
        from importlib.metadata import version

        globals()["__version__"] = value = version("tessrin")
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
