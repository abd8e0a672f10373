"""Running many independent tasks in worker processes, for ``velmora embed``
and ``velmora evaluate``: one interface over this process, a local pool of
worker processes, and a Dask cluster (``distributed``, imported only when a
cluster is asked for).

A caller submits tasks (a key, a picklable function and its arguments) and
takes their outcomes as they finish, in whatever order that is. The pool
starts only a few more tasks than it has workers, so that a stop request
finds most of them still queued (``cancel_queued``) and memory stays bounded
however many tasks are submitted. A worker that dies while it runs a task
(killed, out of memory) loses nothing: its tasks are started again, and only
a task that was running each of ``MAX_ATTEMPTS`` times a worker died ends
with ``WorkerLost``.
"""

from __future__ import annotations

import collections
import multiprocessing
import os
import signal
from abc import ABC, abstractmethod
from collections.abc import Callable, Hashable, Iterator, Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass
from typing import Any

MAX_ATTEMPTS = 3


class Interrupted(BaseException):
    """Raised by the second SIGINT/SIGTERM: stop at once."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


class WorkerLost(Exception):
    """Every worker that ran this task died while it was running."""


@dataclass(frozen=True)
class Outcome:
    """A finished task: its value, or the exception that ended it."""

    key: Hashable
    value: Any = None
    error: BaseException | None = None


@dataclass
class _Task:
    key: Hashable
    fn: Callable[..., Any]
    args: tuple[Any, ...]
    attempts: int = 0


class TaskPool(ABC):
    """Tasks in worker processes; see the module's description."""

    workers: int = 1
    dashboard: str | None = None  # the address of a status page, when there is one

    def __init__(self) -> None:
        self._queued: collections.deque[_Task] = collections.deque()

    def submit(self, key: Hashable, fn: Callable[..., Any], *args: Any, first: bool = False) -> None:
        """Queue ``fn(*args)``; its outcome will carry ``key``. With ``first``
        it starts before the tasks already queued."""
        task = _Task(key, fn, args)
        if first:
            self._queued.appendleft(task)
        else:
            self._queued.append(task)

    def cancel_queued(self) -> None:
        """Drop the tasks that have not started."""
        self._queued.clear()
        self._cancel_started()

    def outcomes(self, stop: StopRequest | None = None) -> Iterator[Outcome]:
        """The outcomes of all tasks as they finish, including tasks submitted
        while this runs. Once ``stop`` has caught a signal, the tasks not
        started yet are dropped and the running ones waited for."""
        cancelled = False
        while self.unfinished:
            if stop is not None and stop.signum is not None and not cancelled:
                cancelled = True
                self.cancel_queued()
                continue
            outcome = self.next_outcome(timeout=0.25)
            if outcome is not None:
                yield outcome

    @property
    def unfinished(self) -> int:
        """Tasks submitted whose outcome has not been taken yet."""
        return len(self._queued) + self._running()

    @abstractmethod
    def next_outcome(self, timeout: float) -> Outcome | None:
        """The next finished task, or None when none finished within
        ``timeout`` seconds (or none is left)."""

    def close(self, kill: bool = False) -> None:
        """Release the workers; ``kill`` ends running tasks at once."""

    def _cancel_started(self) -> None:
        """Take back the tasks handed to workers that have not started."""

    def _running(self) -> int:
        return 0


class InlinePool(TaskPool):
    """Runs each task in this process, when its outcome is asked for."""

    def next_outcome(self, timeout: float) -> Outcome | None:
        if not self._queued:
            return None
        task = self._queued.popleft()
        try:
            return Outcome(task.key, task.fn(*task.args))
        except Exception as e:
            return Outcome(task.key, error=e)


def _worker_init(environment: dict[str, str]) -> None:
    # The parent process decides when to stop: a Ctrl-C or SIGTERM sent to the
    # whole process group reaches it, and it ends the workers itself.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    os.environ.update(environment)


class ProcessPool(TaskPool):
    """A pool of local worker processes.

    ``environment`` is set in each worker; ``preload`` names modules that the
    fork server, from which the workers are forked, imports once for all of
    them (when it is started here, it also starts with ``environment``, so
    that libraries that read it when they are loaded see it).
    """

    def __init__(self, workers: int, environment: dict[str, str] | None = None,
                 preload: Sequence[str] = ()) -> None:
        super().__init__()
        self.workers = max(1, workers)
        self._environment = dict(environment or {})
        self._preload = list(preload)
        self._running_tasks: dict[Future[Any], _Task] = {}
        self._done: collections.deque[Outcome] = collections.deque()
        self._executor: ProcessPoolExecutor | None = None

    def _new_executor(self) -> ProcessPoolExecutor:
        # Workers start from a fork server where there is one: forking this
        # process, which runs the executor's and the progress bar's threads,
        # could copy a lock that one of them holds.
        methods = multiprocessing.get_all_start_methods()
        context = multiprocessing.get_context("forkserver" if "forkserver" in methods else None)
        if context.get_start_method() == "forkserver" and self._preload:
            from multiprocessing import forkserver

            context.set_forkserver_preload(self._preload)
            saved = {k: os.environ.get(k) for k in self._environment}
            os.environ.update(self._environment)
            try:
                forkserver.ensure_running()
            finally:
                for k, v in saved.items():
                    if v is None:
                        os.environ.pop(k, None)
                    else:
                        os.environ[k] = v
        return ProcessPoolExecutor(
            max_workers=self.workers, mp_context=context, initializer=_worker_init,
            initargs=(self._environment,),
        )

    def _fill(self) -> None:
        # One task more than there are workers keeps them all busy.
        while self._queued and len(self._running_tasks) < self.workers + 1:
            if self._executor is None:
                self._executor = self._new_executor()
            task = self._queued.popleft()
            task.attempts += 1
            self._running_tasks[self._executor.submit(task.fn, *task.args)] = task

    def _running(self) -> int:
        return len(self._running_tasks) + len(self._done)

    def next_outcome(self, timeout: float) -> Outcome | None:
        self._fill()
        if not self._done and self._running_tasks:
            finished, _ = wait(self._running_tasks, timeout=timeout, return_when=FIRST_COMPLETED)
            broken = False
            for f in finished:
                task = self._running_tasks.pop(f)
                if f.cancelled():
                    continue
                error = f.exception()
                if isinstance(error, BrokenProcessPool):
                    broken = True
                    self._retry(task)
                elif error is not None:
                    self._done.append(Outcome(task.key, error=error))
                else:
                    self._done.append(Outcome(task.key, f.result()))
            if broken:
                # Every worker of a broken pool is gone: its other tasks fail
                # the same way, and all of them start again in a new pool.
                for f, task in list(self._running_tasks.items()):
                    self._retry(task)
                self._running_tasks.clear()
                self._shutdown(kill=True)
                self._fill()
        return self._done.popleft() if self._done else None

    def _retry(self, task: _Task) -> None:
        if task.attempts >= MAX_ATTEMPTS:
            self._done.append(Outcome(task.key, error=WorkerLost(
                f"a worker process ended unexpectedly while running this, {task.attempts} times"
            )))
        else:
            self._queued.appendleft(task)

    def _cancel_started(self) -> None:
        for f in [f for f in self._running_tasks if f.cancel()]:
            del self._running_tasks[f]

    def _shutdown(self, kill: bool) -> None:
        executor, self._executor = self._executor, None
        if executor is None:
            return
        if kill:
            for p in list(getattr(executor, "_processes", {}).values()):
                try:
                    p.kill()
                except (OSError, AttributeError):
                    pass
        executor.shutdown(wait=True, cancel_futures=True)

    def close(self, kill: bool = False) -> None:
        self._queued.clear()
        self._shutdown(kill)
        self._running_tasks.clear()


class ClusterError(Exception):
    """The cluster named by --cluster cannot be used."""


def _run_batch(tasks: list[tuple[Callable[..., Any], tuple[Any, ...]]]) -> list[tuple[bool, Any]]:
    """Several tasks in one cluster task: (True, value) or (False, exception) each."""
    results: list[tuple[bool, Any]] = []
    for fn, args in tasks:
        try:
            results.append((True, fn(*args)))
        except Exception as e:
            results.append((False, e))
    return results


class DaskPool(TaskPool):
    """The workers of a Dask cluster: a running scheduler (``tcp://HOST:PORT``)
    or a ``distributed.LocalCluster`` of N worker processes started for the
    run (``local:N``) and shut down with the pool.

    Tasks travel to the cluster in small batches while many are queued, so
    that the scheduler's work per task, which runs on the same cores as the
    workers, stays small against the tasks' own; the batches shrink to single
    tasks as the queue empties. More batches are handed to the scheduler than
    there are worker threads, so that a worker that finishes one starts the
    next without waiting for this process; those not started yet are what
    ``cancel_queued`` takes back. The scheduler runs a batch again elsewhere
    when its worker dies, and gives up on it (KilledWorker, reported as
    WorkerLost) after its own limit of workers that died running it.
    """

    CONNECT_TIMEOUT = 5.0  # seconds to reach a scheduler
    MAX_BATCH = 8

    def __init__(self, address: str, environment: dict[str, str] | None = None) -> None:
        super().__init__()
        import distributed as imported  # type: ignore[import-not-found, import-untyped, unused-ignore]

        # Dask's own annotations are partial; its objects are handled as Any.
        distributed: Any = imported
        self._distributed = distributed
        self.client: Any
        self._cluster: Any = None
        self._running_tasks: dict[Any, list[_Task]] = {}
        self._done: collections.deque[Outcome] = collections.deque()
        if address.startswith("local:"):
            try:
                n = int(address.removeprefix("local:"))
            except ValueError:
                n = 0
            if n < 1:
                raise ClusterError(f"{address}: expected local:N with N at least 1 worker processes")
            import dask as dask_module  # type: ignore[import-not-found, import-untyped, unused-ignore]

            dask: Any = dask_module

            # On the run's own cluster, the workers share the cores with the
            # scheduler and this process: no statistical profiler sampling the
            # tasks' stacks a hundred times a second, no work stealing (the
            # batches are alike and queued at the scheduler), and slower
            # monitors and event-loop ticks.
            quiet = {
                "distributed.worker.profile.enabled": False,
                "distributed.scheduler.work-stealing": False,
                "distributed.admin.tick.interval": "1s",
                "distributed.admin.system-monitor.interval": "2s",
                "distributed.worker.memory.monitor-interval": "1s",
            }
            with dask.config.set(quiet):
                self._cluster = distributed.LocalCluster(
                    n_workers=n, threads_per_worker=1, processes=True, host="127.0.0.1",
                    dashboard_address="127.0.0.1:0", env=dict(environment or {}),
                )
            self.client = distributed.Client(self._cluster, set_as_default=False)
        else:
            if "://" not in address:
                raise ClusterError(f"{address}: expected tcp://HOST:PORT of a Dask scheduler, or local:N")
            try:
                self.client = distributed.Client(address, timeout=self.CONNECT_TIMEOUT, set_as_default=False)
            except (OSError, TimeoutError, ValueError) as e:
                raise ClusterError(
                    f"cannot reach a Dask scheduler at {address} within {self.CONNECT_TIMEOUT:g} s: {e}"
                ) from None
        try:
            if not self.client.nthreads():
                self.client.wait_for_workers(1, timeout=60)
        except (OSError, TimeoutError) as e:
            self.close()
            raise ClusterError(f"no worker joined the Dask scheduler at {address} within 60 s: {e}") from None
        self.workers = max(1, sum(self.client.nthreads().values()))
        self.dashboard = getattr(self.client, "dashboard_link", None)

    def _fill(self) -> None:
        while self._queued and len(self._running_tasks) < 2 * self.workers + 2:
            size = max(1, min(self.MAX_BATCH, len(self._queued) // (4 * self.workers)))
            batch = [self._queued.popleft() for _ in range(min(size, len(self._queued)))]
            for task in batch:
                task.attempts += 1
            future = self.client.submit(_run_batch, [(t.fn, t.args) for t in batch], pure=False)
            self._running_tasks[future] = batch

    def _running(self) -> int:
        return sum(len(b) for b in self._running_tasks.values()) + len(self._done)

    def next_outcome(self, timeout: float) -> Outcome | None:
        self._fill()
        if not self._done and self._running_tasks:
            try:
                # This client, not a process-wide default one, waits.
                with self.client.as_current():
                    finished = self._distributed.wait(list(self._running_tasks), timeout=timeout,
                                                      return_when="FIRST_COMPLETED").done
            except TimeoutError:
                finished = set()
            for f in finished:
                batch = self._running_tasks.pop(f)
                if f.status == "cancelled":
                    continue
                if f.status == "error":
                    error = f.exception()
                    if isinstance(error, self._distributed.KilledWorker):
                        error = WorkerLost(f"the workers that ran this died each time: {error}")
                    self._done.extend(Outcome(t.key, error=error) for t in batch)
                else:
                    for t, (ok, value) in zip(batch, f.result()):
                        self._done.append(Outcome(t.key, value) if ok else Outcome(t.key, error=value))
                f.release()
        return self._done.popleft() if self._done else None

    def _cancel_started(self) -> None:
        processing = {key for keys in self.client.processing().values() for key in keys}
        queued = [f for f in self._running_tasks if f.key not in processing and not f.done()]
        self.client.cancel(queued)
        for f in queued:
            del self._running_tasks[f]

    def close(self, kill: bool = False) -> None:
        self._queued.clear()
        try:
            if self._running_tasks:
                self.client.cancel(list(self._running_tasks))
            self._running_tasks.clear()
            self.client.close()
        finally:
            if self._cluster is not None:
                self._cluster.close()
                self._cluster = None


def open_pool(jobs: int, environment: dict[str, str] | None = None, preload: Sequence[str] = (),
              cluster: str | None = None) -> TaskPool:
    """The pool for ``--jobs`` or ``--cluster``: a Dask cluster when
    ``cluster`` is given; else this process for 1 job, and that many worker
    processes otherwise (0: one per CPU). See ProcessPool and DaskPool for
    the other arguments."""
    if cluster is not None:
        return DaskPool(cluster, environment)
    workers = jobs or (os.cpu_count() or 1)
    if workers == 1:
        return InlinePool()
    return ProcessPool(workers, environment, preload)


class StopRequest:
    """SIGINT/SIGTERM handler: the first signal asks the run to stop once the
    tasks in progress are finished; a second one stops it at once."""

    def __init__(self, prog: str) -> None:
        self.prog = prog
        self.signum: int | None = None
        self._previous: dict[int, Any] = {}

    def __enter__(self) -> StopRequest:
        for s in (signal.SIGINT, signal.SIGTERM):
            self._previous[s] = signal.signal(s, self._handle)
        return self

    def __exit__(self, *exc: object) -> None:
        for s, h in self._previous.items():
            signal.signal(s, h)

    def _handle(self, signum: int, frame: object) -> None:
        if self.signum is not None:
            raise Interrupted(self.signum)
        self.signum = signum
        # os.write: the handler may run while sys.stderr is in the middle of a write.
        how = "press Ctrl-C" if signum == signal.SIGINT else "send it"
        message = f"\n{self.prog}: {signal_name(signum)}: finishing the work in progress; {how} again to stop at once\n"
        try:
            os.write(2, message.encode())
        except OSError:
            pass


def signal_name(signum: int) -> str:
    try:
        return signal.Signals(signum).name
    except ValueError:
        return f"signal {signum}"
