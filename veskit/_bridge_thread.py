"""The bridge as the launcher runs it: started on a port checked just before,
watched until it listens, and stopped again on close.

The module's runner runs `asyncio.run(main())` for ever and offers no way to
stop it. To stop it the launcher needs the event loop `asyncio.run` makes on
the runner's thread, so an event-loop policy that delegates everything to the
one it replaces records the loops made on the threads a `BridgeRunner` runs
on (and only those). Stopping cancels `main`, which closes the server: its
listening socket goes at once, so the port is free. The server then waits for
its connection handler, which never ends while its page is gone (the module
ends a connection only by a failure, and by default a failure ends the
process); that handler is parked instead: the closed environment's
`send_queue` is replaced by one whose `get` waits for good, so the thread
stays, idle and without its port.
"""

from __future__ import annotations

import asyncio
import logging
import socket
import threading
import time
from typing import Any, Callable, Dict, Optional

from ._ports import HOST, listening

_log = logging.getLogger("veskit.launcher")
_POLL = 0.01

# The runners' threads, by ident, while they run.
_runners: Dict[int, "BridgeRunner"] = {}
_install_lock = threading.Lock()


class _LoopRecorder(asyncio.AbstractEventLoopPolicy):
    """The process's event-loop policy, unchanged, except that a loop made on
    a bridge runner's thread is told to that runner."""

    def __init__(self, base: asyncio.AbstractEventLoopPolicy) -> None:
        self._base = base

    def get_event_loop(self) -> asyncio.AbstractEventLoop:
        return self._base.get_event_loop()

    def set_event_loop(self, loop: Optional[asyncio.AbstractEventLoop]) -> None:
        self._base.set_event_loop(loop)

    def new_event_loop(self) -> asyncio.AbstractEventLoop:
        loop = self._base.new_event_loop()
        runner = _runners.get(threading.get_ident())
        if runner is not None and runner.loop is None:
            runner.loop = loop
        return loop

    def get_child_watcher(self) -> Any:
        return self._base.get_child_watcher()  # type: ignore[attr-defined, unused-ignore]

    def set_child_watcher(self, watcher: Any) -> None:
        self._base.set_child_watcher(watcher)  # type: ignore[attr-defined, unused-ignore]

    def __getattr__(self, name: str) -> Any:  # what later versions add
        return getattr(self._base, name)


def _install_recorder() -> None:
    with _install_lock:
        policy = asyncio.get_event_loop_policy()
        if not isinstance(policy, _LoopRecorder):
            asyncio.set_event_loop_policy(_LoopRecorder(policy))


def check_port_free(port: int) -> None:
    """Raises OSError, naming `port=`, when the bridge could not bind `port`
    now. Binds as asyncio's server does (SO_REUSEADDR), so a port that only
    lingers in TIME_WAIT counts as free."""
    with socket.socket() as probe:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            probe.bind((HOST, port))
        except OSError as error:
            taken = type(error)(f"port {port} on {HOST} cannot be bound ({error.strerror}); "
                                "pass another port=, or none for a free one")
            taken.errno = error.errno
            raise taken from None


class _ParkedQueue:
    """A closed environment's `send_queue`: the bridge's handler, which
    outlives the page, waits in `get` for good instead of polling it."""

    def __init__(self) -> None:
        self._never = threading.Event()

    def get(self, block: bool = True, timeout: Optional[float] = None) -> Any:
        self._never.wait()
        raise AssertionError("unreachable")

    def get_nowait(self) -> Any:
        import queue

        raise queue.Empty

    def put(self, item: Any, block: bool = True, timeout: Optional[float] = None) -> None:
        raise RuntimeError("this environment is closed")


class BridgeRunner:
    """Runs the module's runner for `environment` on port `port`: `run` is
    what the environment's `connect` hook starts on its thread."""

    def __init__(self, runner: Callable[[], None], port: int, environment: Any) -> None:
        _install_recorder()
        self._runner = runner
        self.environment = environment
        self.port = port
        self.loop: Optional[asyncio.AbstractEventLoop] = None
        self.error: Optional[BaseException] = None
        self.thread: Optional[threading.Thread] = None
        self._ended = threading.Event()
        self._stopping = False

    def run(self) -> None:
        self.thread = threading.current_thread()
        _runners[threading.get_ident()] = self
        try:
            self._runner()
        except asyncio.CancelledError:
            if not self._stopping:
                self.error = RuntimeError("the bridge was cancelled")
        except BaseException as error:  # a port taken since the check, a bad VESK_* setting...
            self.error = error
        else:
            if not self._stopping:
                self.error = RuntimeError("the bridge's runner returned")
        finally:
            _runners.pop(threading.get_ident(), None)
            self._ended.set()

    def wait_listening(self, timeout: float) -> None:
        """Returns once the bridge listens; raises its error if it could not
        start, TimeoutError naming the port if it did not within `timeout`."""
        deadline = time.monotonic() + timeout
        while True:
            if self.error is not None:
                raise self.error
            state = listening(self.port)
            if state or (state is None and self.loop is not None and self.loop.is_running()):
                return
            if time.monotonic() > deadline:
                raise TimeoutError(f"the bridge did not listen on port {self.port} within {timeout:g} s")
            time.sleep(_POLL)

    def stop(self, timeout: float = 5.0) -> None:
        """Frees the port: cancels `main` on the bridge's loop, waits until
        nothing listens, then parks a handler that is left (see above).
        Raises TimeoutError naming what it waited for."""
        if self._ended.is_set():
            return
        self._stopping = True
        loop = self.loop
        if loop is None or loop.is_closed():
            _log.warning("the bridge on port %s keeps its port: its event loop is unknown "
                         "(another event-loop policy was set after the launcher's)", self.port)
            return
        try:
            loop.call_soon_threadsafe(_cancel_main, loop)
        except RuntimeError:  # the loop closed meanwhile: the runner has ended
            return
        deadline = time.monotonic() + timeout
        while not self._ended.is_set() and listening(self.port):
            if time.monotonic() > deadline:
                raise TimeoutError(f"the bridge on port {self.port} did not stop listening within {timeout:g} s")
            time.sleep(_POLL)
        if not self._ended.wait(_POLL * 10):
            self.environment.send_queue = _ParkedQueue()


def _cancel_main(loop: asyncio.AbstractEventLoop) -> None:
    for task in asyncio.all_tasks(loop):
        if getattr(task.get_coro(), "__name__", None) == "main":
            task.cancel()
