"""Where the tasks of an archive conversion run: worker processes on this machine, or a Dask
distributed cluster. Both take the same task functions and hand back results as tasks finish."""

from __future__ import annotations

import importlib
import multiprocessing
import os
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import FIRST_COMPLETED, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool

from tessrin._report import plural
from tessrin._run import _ignore_sigint, _stop_workers

SCHEDULER_VARIABLE = "DASK_SCHEDULER_ADDRESS"
# A task whose worker died this often is given up, as Dask's scheduler does by default.
ATTEMPTS = 3


class EngineUnavailable(Exception):
    """The engine asked for cannot start; the message says what to do."""


class WorkerLost(Exception):
    """A task's worker died on every attempt."""


def use_system_memory_pool() -> None:
    """Arrow memory from the C library's malloc in a process that runs conversion tasks.
    mimalloc, pyarrow's default, maps fresh pages for the large tables parts are built from
    (the first read of a widened 300,000-row part took four times as long as the next); malloc
    reuses what the last task freed. Only for processes of our own: a worker, the command."""
    import pyarrow as pa

    pa.set_memory_pool(pa.system_memory_pool())


def _prepare_worker(tasks_module: str) -> None:
    """For a worker of our own: the memory pool, and the module of the task functions (with
    all it imports), once per worker and before its first task (importing pyarrow takes a good
    part of a second). By name: the engines know nothing of the tasks they run."""
    use_system_memory_pool()
    importlib.import_module(tasks_module)


def _start_worker(tasks_module: str) -> None:
    _ignore_sigint()
    _prepare_worker(tasks_module)


def _ready() -> None:
    """A task that does nothing: once one has run, its worker has started and imported."""


class LocalEngine:
    """Worker processes on this machine (`jobs` = 1 runs the tasks in this process), each
    importing `tasks_module` as it starts."""

    def __init__(self, jobs: int, tasks_module: str) -> None:
        self.jobs = jobs
        self.tasks_module = tasks_module
        self.pool: ProcessPoolExecutor | None = None
        if jobs == 1:
            use_system_memory_pool()
        else:
            # Workers are started here, not by the first task: the conversion's clock then
            # starts with every worker ready, as it does for a local cluster's.
            self.pool = self._new_pool()
            wait([self.pool.submit(_ready) for _ in range(jobs)])

    def workers(self) -> int:
        return self.jobs

    def describe(self) -> str:
        return "this process" if self.jobs == 1 else f"{self.jobs} local worker processes"

    def _new_pool(self) -> ProcessPoolExecutor:
        # forkserver: a worker started while the progress display's thread runs must not
        # inherit that thread's locks, as a plain fork would.
        context = multiprocessing.get_context("forkserver")
        return ProcessPoolExecutor(
            self.jobs, mp_context=context, initializer=_start_worker,
            initargs=(self.tasks_module,),
        )

    def run(self, fn: Callable, items: Sequence, keys: Sequence[str]) -> Iterator[tuple]:
        """Yields (index, result, exception) for every item, as each finishes."""
        if self.jobs == 1:
            for index, item in enumerate(items):
                try:
                    yield index, fn(item), None
                except Exception as error:  # noqa: BLE001 - reported as the task's failure
                    yield index, None, error
            return
        attempts = dict.fromkeys(range(len(items)), 0)
        while attempts:
            # One pool serves every run of this engine (the tasks, then the widening): each new
            # pool starts workers that import pyarrow and tessrin again, seconds on a small run.
            if self.pool is None:
                self.pool = self._new_pool()
            futures = {self.pool.submit(fn, items[i]): i for i in attempts}
            broken = False
            while futures:
                done, _ = wait(futures, return_when=FIRST_COMPLETED)
                for future in done:
                    index = futures.pop(future)
                    error = future.exception()
                    if isinstance(error, BrokenProcessPool):
                        # A worker died (killed, or crashed): every task in flight fails with
                        # it, and each is tried again on a new pool.
                        broken = True
                        attempts[index] += 1
                        if attempts[index] >= ATTEMPTS:
                            del attempts[index]
                            yield index, None, WorkerLost(
                                f"a worker process died {ATTEMPTS} times while converting it"
                            )
                        continue
                    del attempts[index]
                    yield index, (None if error else future.result()), error
            if not broken:
                break
            self.pool.shutdown()
            self.pool = None

    def close(self, cancel: bool = False) -> None:
        if self.pool is not None:
            if cancel:
                _stop_workers(self.pool)
            else:
                self.pool.shutdown()
            self.pool = None


class DaskEngine:
    """The tasks on a Dask distributed cluster: at `address`, or a LocalCluster of `jobs`
    single-threaded worker processes on this machine when `address` is "local" (these import
    `tasks_module` before their first task)."""

    def __init__(
        self, address: str, jobs: int, say: Callable[[str], None], tasks_module: str
    ) -> None:
        try:
            from distributed import Client, LocalCluster
        except ImportError:
            raise EngineUnavailable(
                "--scheduler needs Dask: pip install 'tessrin[dask]'"
            ) from None
        self.cluster = None
        self.futures: list = []
        if address == "local":
            import dask

            # Dask starts workers with MALLOC_TRIM_THRESHOLD_=65536, so that its memory
            # monitor sees freed memory at once; our tasks free and take back hundreds of
            # megabytes each, and every page given back is faulted in again (a third more
            # CPU per MB). These workers are this command's own: malloc keeps its defaults.
            environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ", {}))
            environ.pop("MALLOC_TRIM_THRESHOLD_", None)
            with dask.config.set({"distributed.nanny.pre-spawn-environ": environ}):
                self.cluster = LocalCluster(
                    n_workers=jobs,
                    threads_per_worker=1,
                    processes=True,
                    host="127.0.0.1",
                    dashboard_address="127.0.0.1:0",
                )
            self.client = Client(self.cluster)
            self.client.run(_prepare_worker, tasks_module)  # the workers are this command's own
            link = self.client.dashboard_link if _has_dashboard() else None
            where = f"dashboard {link}" if link else "no dashboard (install bokeh for one)"
            say(f"started a local Dask cluster of {plural(jobs, 'worker')}; {where}")
        else:
            try:
                self.client = Client(address, timeout="30s")
            except OSError as error:
                raise EngineUnavailable(f"cannot reach the Dask scheduler at {address}: {error}")
        self.address = address

    def workers(self) -> int:
        return max(1, len(self.client.scheduler_info().get("workers", {})))

    def describe(self) -> str:
        workers = plural(self.workers(), "worker")
        return f"Dask cluster at {self.client.scheduler.address} ({workers})"

    def run(self, fn: Callable, items: Sequence, keys: Sequence[str]) -> Iterator[tuple]:
        from distributed import as_completed

        # As many tasks in flight as there are workers, the next given as one finishes: given
        # all at once, the scheduler places tasks before it knows how long they take, and one
        # worker was left with the two largest while the other stood idle. The items come
        # largest first, so this is the local pool's order too.
        waiting = iter(range(len(items)))
        index: dict[str, int] = {}

        def submit() -> bool:
            i = next(waiting, None)
            if i is None:
                return False
            # Keys named after the task inputs: a task the scheduler retries on another worker
            # (its worker was lost) is the same task, and writes the same parts.
            future = self.client.submit(fn, items[i], key=keys[i], pure=False)
            index[future.key] = i
            self.futures.append(future)
            running.add(future)
            return True

        def top_up() -> None:
            while len(self.futures) < self.workers() and submit():
                pass

        running = as_completed()
        top_up()
        for future in running:
            self.futures.remove(future)
            # The next task first: fetching this result and handling it takes round trips
            # the worker would otherwise wait through.
            top_up()
            i = index.pop(future.key)
            if future.status == "finished":
                yield i, future.result(), None
            else:
                yield i, None, future.exception()
            future.release()

    def close(self, cancel: bool = False) -> None:
        if self.client is None:
            return
        if cancel and self.futures:
            self.client.cancel(self.futures)
        self.futures = []
        self.client.close()
        self.client = None
        if self.cluster is not None:
            self.cluster.close()


def _has_dashboard() -> bool:
    try:
        import bokeh  # noqa: F401
    except ImportError:
        return False
    return True


def scheduler_address(option: str | None) -> str | None:
    """The --scheduler option, else the variable Dask itself reads; None runs locally."""
    return option or os.environ.get(SCHEDULER_VARIABLE) or None


def make_engine(option: str | None, jobs: int, say: Callable[[str], None], tasks_module: str):
    """The engine the --scheduler option (or its variable) asks for; its workers run the task
    functions of `tasks_module`."""
    address = scheduler_address(option)
    if address is None:
        return LocalEngine(jobs, tasks_module)
    return DaskEngine(address, jobs, say, tasks_module)
