"""The launcher: an environment constructed with its page running in a host.

    with veskit.Browser() as browser:              # the bundle folder's index.html
        env = browser.make(CartPole, num_envs=8)   # constructed once the page answered
        ...

`Launcher` picks a free port and a random token and has its host open the
page with both (a browser's page gets them in its URL, `?port=...&token=...`).
`make` constructs the environment and fails with `PageNotConnectedError`
(saying which page, whether the host runs, the tail of its output) when the
bridge cannot start, the host ends, the bridge refuses the page, or the page
has not answered within `connect_timeout`. The host's processes end on
`close()`, when the `with` block is left (also by an exception), at
interpreter exit, and, through the host's watcher process, when this process
dies without clean-up (`os._exit`, a signal).

Several environments in one process: each environment made from a
`Vesk.Vesk_Pal_st` subclass gets its own `send_queue` and `reply_quene` (as
instance attributes, set before the base initializer runs), its own port and
token and its own page. `VESK_PORT` and `VESK_TOKEN` are process-wide and the
bridge reads them when it starts, so makes hold a lock from setting them until
their bridge listens. `close()` stops the bridge and frees its port
(veskit/_bridge_thread.py), so a new environment can be made after it. A
factory that is not such a class builds its environment itself, on the
class's shared queues: one of those per process.

With `VESK_ON_FAILURE=raise` a page whose renderer crashed or that closed is
reopened (veskit/_page_watch.py), so the `reset()` after the ConnectionError
goes on. Every wait has a time limit whose exception names what was awaited.

`Browser` (veskit/browser.py) is the launcher over headless Chromium,
`NodeHost` (veskit/node_host.py) the one over Node; the layer here knows
hosts only through `veskit.hosts.base.Host`.
"""

from __future__ import annotations

import atexit
import logging
import os
import queue
import secrets
import sys
import threading
import time
from typing import TYPE_CHECKING, Any, Callable, List, Optional, TypeVar, Union

import numpy as np
import numpy.typing as npt

import Vesk

from . import _instance_hooks
from ._bridge_thread import BridgeRunner, check_port_free
from ._connect_report import connect_problem, redact
from ._env_queues import ReplyQueue, SendQueue
from ._page_watch import PageWatch
from ._ports import connected, free_port
from .hosts.base import Host

if TYPE_CHECKING:
    from .browser import Browser as Browser

MadeEnv = TypeVar("MadeEnv")  # what make's factory returns
L = TypeVar("L", bound="Launcher")

DEFAULT_CONNECT_TIMEOUT = 30.0
_POLL = 0.05
_STOP_TIMEOUT = 5.0

_log = logging.getLogger("veskit.launcher")

# VESK_PORT and VESK_TOKEN are process-wide: held from setting them until the
# bridge that reads them listens.
_variables_lock = threading.Lock()
# The launcher whose environment uses the class's shared queues (a factory's).
_class_queues_user: Optional["Launcher"] = None


class PageNotConnectedError(RuntimeError):
    """The page did not answer the environment's first task in time, the
    bridge could not start or refused the page, or the host ended first."""


class Launcher:
    """Makes one environment whose page runs in `host`.

    `page` is what the host opens (a browser page's path or URL, a Node
    script); `port` (default: a free one) and `token` (default: random) are
    set as `VESK_PORT` and `VESK_TOKEN` while the bridge starts and handed
    to the page. Subclasses name the host and what it can do beyond the
    `Host` interface (`render_rgb`, `reopen_page`)."""

    def __init__(self, host: Host, page: Union[str, "os.PathLike[str]", None], *, port: Optional[int] = None,
                 token: Optional[str] = None, connect_timeout: float = DEFAULT_CONNECT_TIMEOUT) -> None:
        if connect_timeout <= 0:
            raise ValueError(f"connect_timeout must be positive, got {connect_timeout!r}")
        if port is not None and not 1 <= port <= 65535:
            raise ValueError(f"port must be from 1 to 65535, got {port!r}")
        self.host = host
        self.page = page
        self.port = port
        self.token = token if token is not None else secrets.token_urlsafe(16)
        self.connect_timeout = connect_timeout
        self.url: Optional[str] = None
        self.env: Any = None
        self.bridge: Optional[BridgeRunner] = None
        self.watch: Optional[PageWatch] = None
        self._started = False
        self._navigated = False
        self._closing = False
        self._bridge_error: Optional[BaseException] = None
        self._bridge_listens = threading.Event()

    def __repr__(self) -> str:
        return f"<{type(self).__name__} port={self.port} page={redact(str(self.url or self.page), self.token)!r}>"

    # --- lifetime

    def __enter__(self: "L") -> "L":
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def start(self: "L") -> "L":
        """Starts the host; the page itself is opened by `make` once the
        bridge listens (or by `open_page`)."""
        if self._started:
            return self
        if self._closing:
            raise RuntimeError(f"this {type(self).__name__} is closed: make a new one")
        page = os.fspath(self._default_page() if self.page is None else self.page)
        if "://" not in page and not os.path.exists(page):
            raise FileNotFoundError(f"no page at {page!r}")
        if self.port is None:
            self.port = free_port()
        self.url = self.host.address(page, self.port, self.token)
        self._started = True
        self.host.on_lost = self._report_lost
        atexit.register(self.close)
        try:
            self.host.start()
        except BaseException:
            self.close()
            raise
        return self

    def _default_page(self) -> "os.PathLike[str]":
        raise ValueError(f"{type(self).__name__} needs a page")

    def _export_port_and_token(self) -> None:
        """The one place VESK_PORT and VESK_TOKEN are set (under _variables_lock)."""
        os.environ["VESK_PORT"] = str(self.port)
        os.environ["VESK_TOKEN"] = self.token

    def _report_lost(self, line: str) -> None:
        if not self._closing:
            print(line, file=sys.stderr, flush=True)

    def open_page(self) -> None:
        """Has the host open the page (with its port and token)."""
        if not self._started or self.url is None:
            raise RuntimeError(f"the {self.host.role} is not started")
        self.host.open(self.url)
        self._navigated = True

    def reopen_page(self) -> None:
        """Opens the page again after it crashed or closed."""
        self.open_page()

    def _bring_page_back(self) -> None:
        """Reopens the page and has its first task be the init task again."""
        queues = vars(self.env).get("send_queue")
        if isinstance(queues, SendQueue):
            queues.reintroduce()
        self.reopen_page()

    def close(self) -> None:
        """Ends the host and every process it started and stops the bridge,
        freeing its port; safe to call twice."""
        if self._closing:
            return
        self._closing = True
        atexit.unregister(self.close)
        if self.watch is not None:
            self.watch.stop()
        try:
            self.host.close()
        finally:
            if self.bridge is not None:
                self.bridge.stop(_STOP_TIMEOUT)

    # --- what the host says

    @property
    def log_path(self) -> Optional[str]:
        """The file the host's output goes to (kept after close)."""
        return self.host.log_path

    def output_tail(self, lines: int = 20) -> str:
        """The last `lines` lines of the host's standard output and error."""
        return self.host.output_tail(lines)

    def console(self) -> List[str]:
        """The page's console errors and warnings and its uncaught exceptions
        (where the host reports them apart from its output)."""
        return self.host.console()

    def render_rgb(self) -> Optional[npt.NDArray[np.uint8]]:
        """The page's picture as an (height, width, 3) uint8 array for
        `rgb_array` rendering, or None where the host has no picture."""
        return None

    # --- the environment

    def make(self, factory: Callable[..., MadeEnv], *args: Any, **kwargs: Any) -> MadeEnv:
        """Constructs the environment `factory(*args, **kwargs)` with this
        launcher's page as its front-end and returns it.

        For a subclass of `Vesk.Vesk_Pal_st`, the instance gets queues of its
        own, its `connect` hook (or, where it has none, a daemon thread) starts
        the bridge, and the page is opened once the bridge listens; a bridge
        that cannot start is reported at once. The environment's `close()`
        also closes the launcher, and with `render_mode == "rgb_array"` its
        `render()` returns the page's picture where the host has one.
        """
        if self.env is not None:
            raise RuntimeError(f"this {type(self).__name__} already made its environment: one page, one environment")
        self.start()
        env: Any
        if isinstance(factory, type) and issubclass(factory, Vesk.Vesk_Pal_st):
            env = factory.__new__(factory)
            env.reply_quene = ReplyQueue()
            env.send_queue = SendQueue(env.reply_quene)
            _instance_hooks.install(env, "connect", self._connect_hook(env, factory), self._owner)
            self._construct(lambda: factory.__init__(env, *args, **kwargs), env)
            _instance_hooks.restore(env, "connect", self._owner)  # no trace of the launcher's hook
        else:
            self._claim_class_queues()
            made: List[Any] = []
            self._construct(lambda: made.append(factory(*args, **kwargs)), None)
            env = made[0]
        self._tie_close_and_render(env)
        self.watch = PageWatch(self.port or 0, self._bring_page_back).start()
        return env  # type: ignore[no-any-return]

    @property
    def _owner(self) -> str:
        return type(self).__name__

    def _claim_class_queues(self) -> None:
        global _class_queues_user
        if _class_queues_user is not None:
            # Its bridge, not started by us, serves those queues for good.
            raise RuntimeError(
                f"this process already made an environment on the class's shared queues ({_class_queues_user!r}): "
                "make several from a Vesk.Vesk_Pal_st subclass itself, make(MyEnv, ...), which gives each "
                "its own queues, or use veskit's workers")
        _class_queues_user = self
        self.open_page()  # the page retries until the bridge listens

    def _construct(self, build: Callable[[], None], env: Any) -> None:
        """Runs `build` off this thread, so that a page that never connects can
        be told from a slow one, and reports any failure as
        PageNotConnectedError. VESK_PORT and VESK_TOKEN stay set, under the
        lock, until the bridge listens (or, for a factory, until it is built)."""
        failed: List[BaseException] = []
        done = threading.Event()

        def construct() -> None:
            try:
                build()
            except BaseException as error:
                failed.append(error)
            finally:
                done.set()

        builder = threading.Thread(target=construct, name="vesk-construct", daemon=True)
        deadline = time.monotonic() + self.connect_timeout
        if not _variables_lock.acquire(timeout=self.connect_timeout):
            self.close()
            raise PageNotConnectedError(f"another launcher's bridge did not start within {self.connect_timeout:g} s "
                                        "(VESK_PORT and VESK_TOKEN are set for one bridge at a time)")
        locked = True
        try:
            self._export_port_and_token()
            builder.start()
            while not done.wait(_POLL):
                if locked and self._bridge_listens.is_set():
                    _variables_lock.release()
                    locked = False
                problem = self._connect_problem(deadline)
                if problem is not None:
                    self._give_up(env)
                    raise PageNotConnectedError(problem) from self._bridge_error
        except BaseException:
            self.close()
            raise
        finally:
            if locked:
                _variables_lock.release()
        if failed or self._bridge_error is not None:
            problem = self._connect_problem(deadline) if self._bridge_error is not None else None
            self.close()
            if problem is not None:
                raise PageNotConnectedError(problem) from self._bridge_error
            raise failed[0]

    def _connect_hook(self, env: Any, cls: type) -> Callable[[Callable[[], None]], None]:
        own_hook = getattr(cls, "connect") is not getattr(Vesk.Vesk_Pal_st, "connect")

        def connect(runner: Callable[[], None]) -> None:
            port = self.port or 0
            try:
                check_port_free(port)
                self.bridge = BridgeRunner(runner, port, env)
                if own_hook:
                    cls.connect(env, self.bridge.run)  # type: ignore[attr-defined]
                else:
                    threading.Thread(target=self.bridge.run, name=f"vesk-bridge-{port}", daemon=True).start()
                self.bridge.wait_listening(self.connect_timeout)
            except BaseException as error:
                # Raised here, in a hook, it stays an ordinary exception: the
                # first task is never sent, so it cannot end the process.
                self._bridge_error = error
                raise
            self._bridge_listens.set()
            self.open_page()

        return connect

    def _connect_problem(self, deadline: float) -> Optional[str]:
        """Why waiting for the page is over, or None to wait on."""
        return connect_problem(self, self._bridge_error, time.monotonic() > deadline, self._navigated)

    def _give_up(self, env: Any) -> None:
        """Releases a construction that waits for the page: takes back the
        unsent first task and answers it, so the queues are left empty."""
        queues = env if env is not None else Vesk.Vesk_Pal_st
        if connected(self.port or 0):
            return  # the page holds the task; closing it ends the process through the bridge
        try:
            while True:
                queues.send_queue.get_nowait()
        except queue.Empty:
            pass
        queues.reply_quene.put("None")

    def _tie_close_and_render(self, env: Any) -> None:
        """Ties the environment to this launcher: close() ends both, and
        rgb_array rendering returns the page's picture. The hooks stay on the
        instance after close, so that a second close does nothing."""
        self.env = env
        env_close = env.close
        closed: List[bool] = []

        def close() -> None:
            if closed:  # a second close task would find no page to answer it
                return
            closed.append(True)
            try:
                env_close()
            finally:
                self.close()

        _instance_hooks.install(env, "close", close, self._owner)
        if getattr(env, "render_mode", None) == "rgb_array" and type(self).render_rgb is not Launcher.render_rgb:
            env_render = env.render

            def render() -> Optional[npt.NDArray[np.uint8]]:
                env_render()  # the page draws its current state
                return self.render_rgb()

            _instance_hooks.install(env, "render", render, self._owner)


def __getattr__(name: str) -> Any:
    if name == "Browser":  # at home in veskit/browser.py; still importable from here
        from .browser import Browser
        return Browser
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
