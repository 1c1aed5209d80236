"""Several Vesk environments in worker processes, seen as one vector env.

A process steps its environments one after another, so parallelism comes
from processes. Each worker owns a
launcher (by default a headless Chromium on the reference page, with a port of
its own), builds its environment through it and serves it as a
`VectorView`. The parent sends every step to all workers before it gathers
the answers, so the workers' browsers run at the same time.

    with ParallelVectorEnv(CartPole, workers=2, args=(64,)) as envs:
        obs, info = envs.reset(seed=0)
        obs, rewards, terminated, truncated, info = envs.step(actions)

`factory(*args, **kwargs)` builds one environment inside a worker; it and the
launcher reach the workers through cloudpickle (a class defined in a script
works). Workers are started with the "spawn" method: a script that makes them
needs the usual `if __name__ == "__main__":` guard.

A failing worker ends the whole vector env: its exception, or for a worker
that died (a failed Vesk task ends its process with one `Vesk: ...` line on
standard error), that line, reaches the caller as a `WorkerError`, and every
worker and browser is stopped. Workers notice a parent that went away (their
command pipe closes) and clean up after themselves. What a worker process
runs is in veskit/_worker_side.py; this module is the parent's side.
"""

from __future__ import annotations

import builtins
import collections
import multiprocessing
import multiprocessing.connection
import os
import pickle
import signal
import sys
import threading
import time
import weakref
from typing import Any, Callable, Deque, Mapping, NoReturn, Optional, Sequence, cast

import numpy as np
from gymnasium.error import ClosedEnvironmentError
from gymnasium.vector import VectorEnv
from gymnasium.vector.utils import CloudpickleWrapper, batch_space

from ._batch import join_batches, refuse_non_finite, split_batch, split_rows
from ._copies import CopyGroups
from ._infos import merge_infos
from ._worker_side import Launcher, worker_main

__all__ = ["ParallelVectorEnv", "WorkerError"]

_STDERR_TAIL_LINES = 40
_ERROR_TAIL_LINES = 10  # of them, in a WorkerError
_STDERR_DRAIN_SECONDS = 2.0


class WorkerError(RuntimeError):
    """A worker of a parallel vector env failed.

    `worker` is its index, `exitcode` its exit status when it died (negative:
    the signal that ended it; None when it is alive and raised), `vesk_line`
    the `Vesk: ...` line it printed before ending, if any, and `stderr_tail`
    the last lines of its standard error."""

    def __init__(self, message: str, worker: int, exitcode: Optional[int] = None,
                 vesk_line: Optional[str] = None, stderr_tail: str = "") -> None:
        super().__init__(message)
        self.worker = worker
        self.exitcode = exitcode
        self.vesk_line = vesk_line
        self.stderr_tail = stderr_tail

    def __reduce__(self) -> tuple[Any, ...]:
        # Crosses processes intact (a Ray actor's error reaches its driver).
        return (type(self), (str(self), self.worker, self.exitcode, self.vesk_line, self.stderr_tail))


# ------------------------------------------------------------ shared front

class WorkerVectorEnv(CopyGroups, VectorEnv[Any, Any, Any]):
    """One vector env over workers that each serve a vector env of their own.

    Subclasses start the workers, call `_configure` with what each one
    reports once ready (`describe`), and implement `exchange`.
    `_finalizer` stops the workers, once, whether by close() or by garbage
    collection."""

    _counts: list[int]
    _offsets: list[int]
    _finalizer: Callable[[], Any]

    def _shutdown(self) -> None:
        self.closed = True
        self._finalizer()

    def close_extras(self, **kwargs: Any) -> None:
        self._shutdown()

    def _configure(self, descriptions: Sequence[Mapping[str, Any]]) -> None:
        first = descriptions[0]
        for index, description in enumerate(descriptions[1:], start=1):
            for key in ("single_observation_space", "single_action_space"):
                if description[key] != first[key]:
                    raise ValueError(f"worker {index} declares {key} {description[key]}, worker 0 {first[key]}")
        self._counts = [int(description["num_envs"]) for description in descriptions]
        self._offsets = [int(offset) for offset in np.cumsum([0, *self._counts[:-1]])]
        self.num_envs = sum(self._counts)
        self.single_observation_space = first["single_observation_space"]
        self.single_action_space = first["single_action_space"]
        self.observation_space = batch_space(self.single_observation_space, self.num_envs)
        self.action_space = batch_space(self.single_action_space, self.num_envs)
        self.metadata = dict(first["metadata"])
        self.render_mode = first["render_mode"]

    @property
    def workers(self) -> int:
        return len(self._counts)

    def exchange(self, command: str, payloads: Sequence[Any], workers: Optional[Sequence[int]] = None) -> list[Any]:
        """Sends `command` with payloads[i] to workers[i] (default: every
        worker in order), then gathers their answers, in that order. A
        failure stops every worker and raises WorkerError."""
        raise NotImplementedError

    def _refuse_closed(self) -> None:
        if self.closed:
            raise ClosedEnvironmentError(f"{type(self).__name__} is closed")

    def reset(self, *, seed: Optional[int] = None,
              options: Optional[dict[str, Any]] = None) -> tuple[Any, dict[str, Any]]:
        """Resets every worker (or the environments of `options["reset_mask"]`).
        Worker w is seeded with `seed` plus the index of its first environment,
        so that no two workers share a seed."""
        super().reset(seed=seed)
        per_worker: list[Optional[dict[str, Any]]] = [options] * self.workers
        if options and options.get("reset_mask") is not None:
            masks = split_rows(np.asarray(options["reset_mask"]), self._counts)
            per_worker = [{**options, "reset_mask": mask} for mask in masks]
        payloads = [(None if seed is None else seed + offset, worker_options)
                    for offset, worker_options in zip(self._offsets, per_worker)]
        results = self.exchange("reset", payloads)
        observations = join_batches(self.single_observation_space, [obs for obs, _ in results])
        return observations, merge_infos([info for _, info in results], self._counts)

    def step(self, actions: Any) -> tuple[Any, Any, Any, Any, dict[str, Any]]:
        refuse_non_finite(actions)  # here, with the copy's index over all workers
        parts = split_batch(self.single_action_space, actions, self._counts)
        results = self.exchange("step", parts)
        observations = join_batches(self.single_observation_space, [result[0] for result in results])
        rewards, terminated, truncated = (np.concatenate([result[i] for result in results]) for i in (1, 2, 3))
        return observations, rewards, terminated, truncated, merge_infos([r[4] for r in results], self._counts)

    def render(self) -> Optional[tuple[Any, ...]]:
        """One frame per copy: each worker's page frame for its copies (None
        when no worker's environment gives frames)."""
        frames = self.exchange("render", [None] * self.workers)
        if all(part is None for part in frames):
            return None
        return tuple(frame for part, count in zip(frames, self._counts)
                     for frame in (part if part is not None else (None,) * count))

    def copy_groups(self) -> Sequence[range]:
        return [range(offset, offset + count) for offset, count in zip(self._offsets, self._counts)]

    def apply_to_groups(self, groups: Sequence[int], command: str, name: str, args: Sequence[Any] = (),
                        kwargs: Optional[dict[str, Any]] = None) -> list[Any]:
        return self.exchange("attr", [(command, name, tuple(args), dict(kwargs or {}))] * len(groups), groups)

    def __enter__(self) -> "WorkerVectorEnv":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


class _Refused(Exception):
    """Carries an attribute command's failure past the clean-up for the
    failures that leave the pipes unpaired."""

    def __init__(self, error: BaseException) -> None:
        super().__init__(str(error))
        self.error = error


def _rebuilt(worker: int, failure: dict[str, str]) -> BaseException:
    """A worker's exception of a built-in type as that type (SB3 expects an
    AttributeError for a missing attribute), any other as a WorkerError."""
    kind = getattr(builtins, failure["type"], None)
    message = f"{failure['message']} (in worker {worker})"
    if isinstance(kind, type) and issubclass(kind, Exception):
        try:
            return kind(message)
        except Exception:
            pass
    return WorkerError(f"worker {worker}: {failure['type']}: {message}", worker)


# ----------------------------------------------------------- in the parent

class _StderrTail:
    """Reads a worker's standard error: passes each line on to ours, prefixed
    with the worker's index, and keeps the last lines."""

    def __init__(self, index: int, reader: multiprocessing.connection.Connection) -> None:
        self.index = index
        self.reader = reader
        self.lines: Deque[str] = collections.deque(maxlen=_STDERR_TAIL_LINES)
        self.thread = threading.Thread(target=self._pump, name=f"veskit-worker-{index}-stderr", daemon=True)
        self.thread.start()

    def _pump(self) -> None:
        pending = b""
        fd = self.reader.fileno()
        while True:
            try:
                chunk = os.read(fd, 65536)
            except OSError:
                chunk = b""
            if not chunk:
                break
            pending += chunk
            *complete, pending = pending.split(b"\n")
            for raw in complete:
                self._line(raw)
        if pending:
            self._line(pending)
        self.reader.close()

    def _line(self, raw: bytes) -> None:
        text = raw.decode("utf-8", errors="replace")
        self.lines.append(text)
        try:
            sys.stderr.write(f"[worker {self.index}] {text}\n")
            sys.stderr.flush()
        except Exception:
            pass

    def drained(self, timeout: float) -> list[str]:
        self.thread.join(timeout)
        return list(self.lines)

    def close(self) -> None:
        # The reader is closed by its own thread at end of file: closing it
        # under a blocked read could hit a reused descriptor.
        self.thread.join(_STDERR_DRAIN_SECONDS)


class _Worker:
    def __init__(self, index: int, process: multiprocessing.process.BaseProcess,
                 conn: multiprocessing.connection.Connection, stderr: _StderrTail) -> None:
        self.index = index
        self.process = process
        self.conn = conn
        self.stderr = stderr


def _stop(workers: Sequence[_Worker], timeout: float) -> None:
    """Asks every worker to close and waits for it, reading (and dropping)
    answers still on their way so that none blocks on a full pipe; then
    terminates, and at last kills, whatever is left. Safe to call twice."""
    for worker in workers:
        try:
            worker.conn.send(("close", None))
        except (OSError, ValueError):
            pass
    deadline = time.monotonic() + timeout
    alive = {worker.process.sentinel: worker for worker in workers if worker.process.is_alive()}
    readable = {worker.conn: worker for worker in workers if not worker.conn.closed}
    while alive and time.monotonic() < deadline:
        ready = multiprocessing.connection.wait([*alive, *readable], max(0.0, deadline - time.monotonic()))
        for item in ready:
            if isinstance(item, int):  # a sentinel: that worker has ended
                alive.pop(item, None)
            elif isinstance(item, multiprocessing.connection.Connection):
                try:
                    item.recv()
                except (EOFError, OSError):
                    readable.pop(item, None)
    for worker in workers:
        if worker.process.is_alive():
            worker.process.terminate()  # unwinds the worker: its browser is ended
            worker.process.join(5.0)
        if worker.process.is_alive():
            worker.process.kill()
        worker.process.join()
        worker.conn.close()
        worker.stderr.close()


class ParallelVectorEnv(WorkerVectorEnv):
    """`workers` processes, each with its own Vesk environment, port and
    browser, as one gymnasium vector env of workers x num_envs environments.

    factory, args, kwargs: how a worker builds its environment, through the
    launcher's `make`. launcher: a callable returning the context
    manager that owns the page (default: `veskit.Browser()`; a
    `functools.partial(veskit.Browser, page)` for another page). start_timeout:
    seconds for every worker to report ready. close_timeout: seconds close()
    waits for the workers before it terminates them."""

    def __init__(self, factory: Callable[..., Any], workers: int = 2, *, args: Sequence[Any] = (),
                 kwargs: Optional[Mapping[str, Any]] = None, launcher: Optional[Launcher] = None,
                 start_timeout: float = 120.0, close_timeout: float = 30.0) -> None:
        if workers < 1:
            raise ValueError(f"workers must be at least 1, got {workers}")
        self.closed = True  # until every worker is up
        self._close_timeout = close_timeout
        self._workers: list[_Worker] = []
        self._finalizer = weakref.finalize(self, _stop, self._workers, close_timeout)
        try:
            self._start(factory, args, kwargs, launcher, workers, start_timeout)
        except BaseException:
            self._shutdown()
            raise

    def _start(self, factory: Callable[..., Any], args: Sequence[Any], kwargs: Optional[Mapping[str, Any]],
               launcher: Optional[Launcher], workers: int, start_timeout: float) -> None:
        context = multiprocessing.get_context("spawn")  # the parent may have threads: no fork
        # By value where need be: a class of a script's __main__ or a lambda
        # reaches the worker too (and a Ray actor's own worker).
        recipe = pickle.dumps(CloudpickleWrapper(cast(Any, (factory, tuple(args), dict(kwargs or {}), launcher))))
        for index in range(workers):
            conn, child_conn = context.Pipe()
            stderr_reader, stderr_writer = context.Pipe(duplex=False)
            process = context.Process(target=worker_main, args=(recipe, child_conn, stderr_writer),
                                      name=f"veskit-worker-{index}", daemon=True)
            try:
                process.start()
            finally:
                child_conn.close()
                stderr_writer.close()
            self._workers.append(_Worker(index, process, conn, _StderrTail(index, stderr_reader)))
        descriptions = self._gather(self._workers, "start", start_timeout, expect="ready")
        self.closed = False
        self._configure(descriptions)

    def exchange(self, command: str, payloads: Sequence[Any], workers: Optional[Sequence[int]] = None) -> list[Any]:
        self._refuse_closed()
        chosen = [self._workers[index] for index in (range(len(self._workers)) if workers is None else workers)]
        try:
            for worker, payload in zip(chosen, payloads):
                try:
                    worker.conn.send((command, payload))
                except OSError:
                    self._fail(worker, command)
            return self._gather(chosen, command, None)
        except WorkerError:
            raise
        except _Refused as refused:
            raise refused.error from None
        except BaseException:
            # Ctrl-C, say: answers may still be on their way, so the pipes
            # no longer pair commands with answers.
            self._shutdown()
            raise

    def _gather(self, workers: Sequence[_Worker], command: str, timeout: Optional[float],
                expect: str = "ok") -> list[Any]:
        """The answers of `workers`, in their order. A failed attribute
        command leaves the environment as it was: it is raised once every
        answer is in, and the workers go on."""
        answers: dict[int, Any] = {}
        refused: Optional[BaseException] = None
        unanswered: dict[Any, _Worker] = {worker.conn: worker for worker in workers}
        deadline = None if timeout is None else time.monotonic() + timeout
        while unanswered:
            remaining = None if deadline is None else max(0.0, deadline - time.monotonic())
            ready = multiprocessing.connection.wait(list(unanswered), remaining)
            if not ready:
                late = ", ".join(str(worker.index) for worker in unanswered.values())
                self._shutdown()
                raise TimeoutError(f"worker(s) {late} did not report ready within {timeout} s")
            for conn in ready:
                worker = unanswered.pop(conn)
                try:
                    status, value = worker.conn.recv()
                except (EOFError, OSError):
                    self._fail(worker, command)
                if status == "error" and command == "attr":
                    refused = refused or _rebuilt(worker.index, value)
                elif status != expect:
                    self._fail(worker, command, value if status == "error" else None)
                answers[worker.index] = value
        if refused is not None:
            raise _Refused(refused)
        return [answers[worker.index] for worker in workers]

    def _fail(self, worker: _Worker, command: str, failure: Optional[dict[str, str]] = None) -> NoReturn:
        """Stops every worker, then raises the WorkerError for `worker`."""
        if failure is not None:
            self._shutdown()
            tail = "\n".join(worker.stderr.drained(0.0)[-_ERROR_TAIL_LINES:])
            raise WorkerError(
                f"worker {worker.index} failed in {command}: {failure['type']}: {failure['message']}\n"
                f"worker traceback:\n{failure['traceback']}", worker.index, None, None, tail)
        worker.process.join(5.0)
        exitcode = worker.process.exitcode
        lines = worker.stderr.drained(_STDERR_DRAIN_SECONDS)
        self._shutdown()
        vesk_line = next((line for line in reversed(lines) if line.startswith("Vesk:")), None)
        if exitcode is None:
            how = "closed its pipe"
        elif exitcode < 0:
            how = f"was killed by {signal.Signals(-exitcode).name}"
        else:
            how = f"exited with status {exitcode}"
        tail = "\n".join(lines[-_ERROR_TAIL_LINES:])
        detail = vesk_line if vesk_line is not None else (
            f"its standard error ends with:\n{tail}" if tail else "it wrote nothing to standard error")
        raise WorkerError(f"worker {worker.index} {how} during {command}: {detail}",
                          worker.index, exitcode, vesk_line, tail)

    @property
    def processes(self) -> tuple[multiprocessing.process.BaseProcess, ...]:
        """The worker processes (to watch them, not to drive them)."""
        return tuple(worker.process for worker in self._workers)
