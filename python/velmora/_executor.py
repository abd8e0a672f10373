"""Running many independent tasks in worker processes, for ``velmora embed``
and ``velmora evaluate``: one interface over this process, a local pool of
worker processes, and a Dask cluster.

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
from collections.abc import Callable, Hashable, Sequence
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

    def cancel_queued(self) -> list[Hashable]:
        """Drop the tasks that have not started; returns their keys."""
        keys = [t.key for t in self._queued]
        self._queued.clear()
        return keys + self._cancel_started()

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

    def _cancel_started(self) -> list[Hashable]:
        return []

    def _running(self) -> int:
        return 0

    def __enter__(self) -> TaskPool:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close(kill=exc[0] is not None)


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


def _ignore_stop_signals() -> None:
    # The parent process decides when to stop: a Ctrl-C or SIGTERM sent to the
    # whole process group reaches it, and it ends the workers itself.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_IGN)


def _worker_init(environment: dict[str, str]) -> None:
    _ignore_stop_signals()
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

    def _cancel_started(self) -> list[Hashable]:
        keys = []
        for f in [f for f in self._running_tasks if f.cancel()]:
            keys.append(self._running_tasks.pop(f).key)
        return keys

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


def open_pool(jobs: int, environment: dict[str, str] | None = None, preload: Sequence[str] = ()) -> TaskPool:
    """The pool for ``--jobs``: this process for 1, else that many worker
    processes (0: one per CPU); see ProcessPool for the other arguments."""
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
