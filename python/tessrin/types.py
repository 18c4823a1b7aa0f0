"""Value classes shared by the native core and Python callers."""

from __future__ import annotations

import enum

__all__ = ["CifVersion", "ParseError", "ValueType"]


class CifVersion(enum.Enum):
    """The CIF version a text was parsed as (decided by its magic comment)."""

    CIF_1_1 = "1.1"
    CIF_2_0 = "2.0"


class ValueType(enum.IntEnum):
    """How a value was written; the order matches the native value-kind codes."""

    MULTILINE_STRING = 0
    TRIPLE_DOUBLE_QUOTED = 1
    TRIPLE_SINGLE_QUOTED = 2
    DOUBLE_QUOTED = 3
    SINGLE_QUOTED = 4
    STRING = 5
    PLACEHOLDER = 6


class ParseError:
    """One diagnostic: what went wrong where, and what the parser did to carry on."""

    __slots__ = ("column", "context", "error_type", "line", "message", "recovery_action")

    def __init__(
        self,
        error_type: str,
        message: str,
        line: int,
        column: int,
        context: str,
        recovery_action: str,
    ) -> None:
        self.error_type = error_type
        self.message = message
        self.line = line
        self.column = column
        self.context = context
        self.recovery_action = recovery_action

    def as_dict(self) -> dict:
        return {name: getattr(self, name) for name in self.__slots__}

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, ParseError):
            return NotImplemented
        return self.as_dict() == other.as_dict()

    __hash__ = None  # mutable, compared by value

    def __str__(self) -> str:
        return f"line {self.line}, column {self.column}: {self.error_type}: {self.message}"

    def __repr__(self) -> str:
        fields = ", ".join(f"{name}={getattr(self, name)!r}" for name in self.__slots__)
        return f"ParseError({fields})"
