"""What the process keeps between calls to reuse it, and giving it back. Native caches (page
mappings, the writer's buffers, loaded dictionaries) and the gzip buffers here share one
process-wide budget, whatever thread filled them (README: "Memory")."""

from __future__ import annotations

import threading

import tessrin_core

_lock = threading.Lock()
_idle: list[bytearray] = []  # buffers no file is using, each reserved in the kept budget


def take_buffer() -> bytearray:
    """A kept buffer for one file (the largest), or a new empty one."""
    with _lock:
        buffer = _idle.pop() if _idle else None
    if buffer is None:
        return bytearray()
    tessrin_core._unreserve_kept(len(buffer))
    return buffer


def keep_buffer(buffer: bytearray) -> None:
    """Keeps `buffer` for the next file, when the budget has room; else it is freed."""
    if buffer and tessrin_core._reserve_kept(len(buffer)):
        with _lock:
            _idle.append(buffer)
            _idle.sort(key=len)


def release_memory() -> int:
    """Frees every buffer and dictionary the process keeps for later calls and returns how many
    bytes they held. Safe while other threads parse: what a call in progress uses stays with
    it."""
    with _lock:
        idle = _idle[:]
        _idle.clear()
    released = sum(map(len, idle))
    tessrin_core._unreserve_kept(released)
    del idle
    return released + tessrin_core.release_memory()
