"""File and folder names for what a CIF or a user names: categories, blocks, input files.

One rule for every name the conversion makes, safe on every common file system: a name of
ASCII letters, digits and `_` is kept as it is. Any other has each run of other characters
replaced by `_` (separators, `.` and `..`, `-`, spaces, controls, `<>:"|?*`, and non-ASCII
letters, whose case and normalisation file systems fold differently), is cut to the length
limit, and gets `-` and a short hash of the name as given, so that names which differ only in
what was replaced stay apart. No kept name holds `-`: hashed names never meet kept ones, and
callers may use `-` to join the parts of a name. A name Windows keeps for a device (`con`,
`nul`, `com1`, ...: in any case, with any extension) or one the caller keeps for its own files
is hashed too, though its characters are safe.
"""

from __future__ import annotations

import hashlib
import re

NAME_LIMIT = 80  # characters before the hash; a hashed name is 9 longer
_UNSAFE = re.compile(r"[^A-Za-z0-9_]+")
_DEVICES = frozenset(
    ["con", "prn", "aux", "nul"] + [f"{port}{n}" for port in ("com", "lpt") for n in range(10)]
)


def name_hash(name: str) -> str:
    """The short hash a changed name carries (SHA-1: the datasets of archives made before
    this module carry it too)."""
    return hashlib.sha1(name.encode("utf-8", "surrogatepass")).hexdigest()[:8]


def safe_name(
    name: str, limit: int = NAME_LIMIT, reserved: frozenset[str] = frozenset(),
    visible: bool = False,
) -> str:
    """`name` as a file or folder name, by the rule above. `reserved`: names the caller keeps
    for itself, in lower case. `visible`: the name must not start with `_`, which dataset
    readers (pyarrow, Spark) skip as hidden; a leading `_` then counts as replaced."""
    clean = _UNSAFE.sub("_", name)
    if visible:
        clean = clean.lstrip("_")
    folded = clean.lower()
    if clean == name and 0 < len(clean) <= limit and folded not in _DEVICES and (
        folded not in reserved
    ):
        return clean
    return f"{clean[:limit] or 'unnamed'}-{name_hash(name)}"


def distinct_names(
    names, limit: int = NAME_LIMIT, reserved: frozenset[str] = frozenset(), visible: bool = False
) -> list[str]:
    """`safe_name` of each of `names`, in order, with `-2`, `-3`, ... added where one would
    be the same as an earlier one without regard to case, as macOS and Windows compare names
    (the same name given twice, or two that differ only in case)."""
    out: list[str] = []
    used: set[str] = set()
    for name in names:
        stem = candidate = safe_name(name, limit, reserved, visible)
        n = 1
        while candidate.lower() in used:
            n += 1
            candidate = f"{stem}-{n}"
        used.add(candidate.lower())
        out.append(candidate)
    return out
