"""Input handling for the `tessrin` command: finding CIF files, reading them, and running one
job per file in worker processes with the results kept in input order."""

from __future__ import annotations

import errno
import os
import signal
import sys
import traceback
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import ProcessPoolExecutor

from tessrin._inflate import give_back, gunzip, is_gzip

# What directories are searched for: CIF files, gzipped or not.
CIF_SUFFIXES = tuple(s + gz for s in (".cif", ".dic", ".mmcif") for gz in ("", ".gz"))
LOOKED_FOR = "looked for *.cif, *.dic, *.mmcif, each also as .gz"

# Below this many files a progress bar would only flicker.
PROGRESS_MIN_FILES = 16


class Unreadable(Exception):
    """A file that could not be turned into text; the message says why, for a person."""


def collect_files(paths: Sequence[str]) -> tuple[list[str], list[str]]:
    """The files to process and the complaints about arguments that gave none.

    Files named on the command line are taken whatever their name (a missing one is reported
    when it is read, with the others). Directories are searched for CIF files, in sorted order,
    skipping hidden directories such as .git and .venv. Each file appears once.
    """
    files: list[str] = []
    problems: list[str] = []
    seen: set[str] = set()

    def add(path: str) -> None:
        key = os.path.normpath(path)
        if key not in seen:
            seen.add(key)
            files.append(path)

    for arg in paths:
        if not os.path.isdir(arg):
            add(arg)
            continue
        walk_errors: list[OSError] = []
        found = []
        for root, dirs, names in os.walk(arg, onerror=walk_errors.append):
            dirs[:] = sorted(d for d in dirs if not d.startswith("."))
            found.extend(
                os.path.join(root, name)
                for name in sorted(names)
                if name.lower().endswith(CIF_SUFFIXES)
            )
        for error in walk_errors:
            problems.append(f"{error.filename}: cannot read directory: {os_reason(error)}")
        if found:
            # By path components, so a/z.cif comes before b.cif as in a sorted listing.
            for path in sorted(found, key=lambda p: p.split(os.sep)):
                add(path)
        elif not walk_errors:
            problems.append(f"{arg}: no CIF files found ({LOOKED_FOR})")
    return files, problems


def os_reason(error: OSError) -> str:
    return error.strerror or str(error)


UTF8_HINT = "(CIF files must be UTF-8; re-encode it, e.g. with iconv)"


def utf8_reason(data: bytes, error: UnicodeDecodeError) -> str:
    """Where the first byte that is not UTF-8 sits, as line and column (in characters)."""
    line_start = data.rfind(b"\n", 0, error.start) + 1
    line = data.count(b"\n", 0, error.start) + 1
    column = len(data[line_start : error.start].decode("utf-8", "replace")) + 1
    return f"not UTF-8 text: byte 0x{data[error.start]:02X} at line {line}, column {column} {UTF8_HINT}"


def read_bytes(path: str) -> bytes:
    """The file's bytes, inflated when it is gzip (by its first bytes, whatever its name);
    raises Unreadable for files the system refuses and gzip data that does not inflate."""
    try:
        if not is_gzip(path):
            with open(path, "rb") as stream:
                return stream.read()
        buffer, size = gunzip(path)
    except OSError as error:
        raise Unreadable(os_reason(error)) from None
    with memoryview(buffer) as whole, whole[:size] as text:
        data = bytes(text)
    give_back(buffer)
    return data


def without_gz(name: str) -> str:
    """`name` without a final `.gz` (in any case): `1abc.cif.gz` is `1abc.cif`."""
    return name[: -len(".gz")] if name.lower().endswith(".gz") else name


def input_stem(path: str) -> str:
    """The file name without its extension, nor `.gz` before it: `1abc.cif.gz` is `1abc`."""
    return os.path.splitext(without_gz(os.path.basename(path)))[0]


def read_text(path: str) -> str:
    """The file's text; raises Unreadable for files the system refuses and non-UTF-8 files."""
    data = read_bytes(path)
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise Unreadable(utf8_reason(data, error)) from None


# What a conversion adds where a file is not UTF-8.
ENCODING_HINT = "; or give --encoding NAME (e.g. cp1252) to read it in that encoding"


def decode_failure(error: UnicodeDecodeError, encoding: str) -> str:
    """Why a file read in the codec the user named could not be read."""
    return f"cannot read as {encoding}: {error.reason} at byte {error.start}"


def native_read_reason(error: OSError) -> str:
    """A readable reason for an OSError raised by the native file reader (which already says
    where a file stops being UTF-8)."""
    reason = os_reason(error)
    if error.errno != errno.EILSEQ:
        return reason
    # "stream did not contain valid UTF-8 (byte 0xE9 at line 2, column 7)"
    where = reason.partition("(")[2].rstrip(")")
    return f"not UTF-8 text: {where} {UTF8_HINT}"


class FileFailure:
    """What is left of one file's job that raised: reported as `PATH: error: MESSAGE`."""

    def __init__(self, item, error: BaseException) -> None:
        self.item = item
        self.message = str(error) or type(error).__name__
        self.traceback = "".join(traceback.format_exception(error))


class PerFile:
    """Runs a job for one file; an exception there becomes a FileFailure, so the other files
    are still processed. Picklable, for worker processes."""

    def __init__(self, job: Callable) -> None:
        self.job = job

    def __call__(self, item):
        try:
            return self.job(item)
        except Exception as error:  # noqa: BLE001 - any fault of one file stays with that file
            return FileFailure(item, error)


def default_jobs() -> int:
    # The affinity mask, unlike os.cpu_count(), respects taskset and container CPU limits.
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:
        return os.cpu_count() or 1


def _ignore_sigint() -> None:
    # Ctrl-C reaches every process in the group; only the parent reacts, so workers must not
    # print tracebacks of their own.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _progress(total: int):
    """A transient progress bar on standard error, or None when it would not help."""
    if total < PROGRESS_MIN_FILES or not sys.stderr.isatty():
        return None
    from rich.console import Console
    from rich.progress import BarColumn, MofNCompleteColumn, Progress, TimeRemainingColumn

    return Progress(
        "[progress.description]{task.description}",
        BarColumn(),
        MofNCompleteColumn(),
        TimeRemainingColumn(),
        # soft_wrap: diagnostic lines routed through the bar must stay single lines.
        console=Console(stderr=True, soft_wrap=True),
        transient=True,
        # Results printed to a terminal go above the bar; printed to a file they must not be
        # diverted to standard error, which is where the bar's console writes.
        redirect_stdout=sys.stdout.isatty(),
        redirect_stderr=True,
    )


def run_all(job: Callable, items: Sequence, jobs: int) -> Iterator:
    """Yields job(item) for every item, in the order of `items`.

    With jobs > 1 the calls run in worker processes (the export into Python objects holds the
    interpreter lock). A job that raises yields a FileFailure instead.
    """
    job = PerFile(job)
    progress = _progress(len(items))
    if jobs <= 1 or len(items) <= 1:
        yield from _serial(job, items, progress)
    else:
        yield from _parallel(job, items, min(jobs, len(items)), progress)


def _serial(job, items, progress):
    if progress is None:
        for item in items:
            yield job(item)
        return
    with progress:
        task = progress.add_task("parsing", total=len(items))
        for item in items:
            result = job(item)
            progress.advance(task)
            yield result


def _parallel(job, items, workers, progress):
    pool = ProcessPoolExecutor(max_workers=workers, initializer=_ignore_sigint)
    try:
        # Submitting everything first starts (forks) the workers before the progress bar starts
        # its refresh thread: forking a process with threads running risks deadlocks.
        futures = [pool.submit(job, item) for item in items]
        if progress is None:
            for future in futures:
                yield future.result()
        else:
            with progress:
                task = progress.add_task("parsing", total=len(items))
                for future in futures:
                    future.add_done_callback(lambda _: progress.advance(task))
                for future in futures:
                    yield future.result()
    except BaseException:
        # Ctrl-C, or the consumer stopped early: waiting for the queued files would make the
        # command hang, so drop them and stop the workers now.
        _stop_workers(pool)
        raise
    pool.shutdown()


def _stop_workers(pool: ProcessPoolExecutor) -> None:
    terminate = getattr(pool, "terminate_workers", None)  # Python 3.14 and later
    if terminate is not None:
        terminate()
        return
    # Before 3.14 there is no public way; shutdown() forgets the processes, so take them first.
    processes = list((getattr(pool, "_processes", None) or {}).values())
    pool.shutdown(wait=False, cancel_futures=True)
    for process in processes:
        process.terminate()
