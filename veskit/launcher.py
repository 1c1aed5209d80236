"""The launcher: an environment constructed with its page running in a host.

    with veskit.Browser() as browser:              # the bundle folder's index.html
        env = browser.make(CartPole, num_envs=8)   # constructed once the page answered
        ...

`Launcher` picks a free port and a random token, sets `VESK_PORT` and
`VESK_TOKEN` for the bridge and has its host open the page with both (a
browser's page gets them in its URL, `?port=...&token=...`). `make`
constructs the environment and fails with `PageNotConnectedError` (saying
which page, whether the host runs, the tail of its output) when the page has
not answered within `connect_timeout`. The host's processes end on
`close()`, when the `with` block is left (also by an exception), at
interpreter exit, and, through the host's watcher process, when this process
dies without clean-up (`os._exit`, a signal).

`Browser` is the launcher over headless Chromium (veskit/hosts/chromium.py),
`NodeHost` the one over Node (veskit/hosts/node.py); the layer here knows
hosts only through `veskit.hosts.base.Host`.

One environment per process: the bridge's queues and port belong to the
class, so a second environment needs a second process (veskit's workers).
"""

from __future__ import annotations

import atexit
import os
import queue
import secrets
import sys
import threading
import time
from typing import Any, Callable, List, Optional, Sequence, Tuple, TypeVar, Union

import numpy as np
import numpy.typing as npt

import Vesk

from . import _instance_hooks
from ._ports import connected, free_port, listening
from .hosts.base import Host
from .hosts.chromium import Chromium
from .hosts.devtools import DevTools
from .hosts.pages import default_page

E = TypeVar("E")
L = TypeVar("L", bound="Launcher")

DEFAULT_CONNECT_TIMEOUT = 30.0
_POLL = 0.05
_LISTENING = {True: "listening", False: "not listening", None: "state unknown"}


class PageNotConnectedError(RuntimeError):
    """The page did not answer the environment's first task in time, the
    bridge could not start, or the host ended first."""


# Set once a launcher environment has been made: the bridge of a closed page
# still serves the class's queues, so a second one would share them.
_made_in_process: Optional[str] = None


class Launcher:
    """Makes one environment whose page runs in `host`.

    `page` is what the host opens (a browser page's path or URL, a Node
    script); `port` (default: a free one) and `token` (default: random) are
    set as `VESK_PORT` and `VESK_TOKEN` when the launcher starts and handed
    to the page. Subclasses name the host and what it can do beyond the
    `Host` interface (`render_rgb`)."""

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
        self._started = False
        self._navigated = False
        self._closing = False
        self._bridge_error: Optional[BaseException] = None

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
        page = os.fspath(self._default_page() if self.page is None else self.page)
        if "://" not in page and not os.path.exists(page):
            raise FileNotFoundError(f"no page at {page!r}")
        if self.port is None:
            self.port = free_port()
        self.url = self.host.address(page, self.port, self.token)
        self._set_variables()
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

    def _set_variables(self) -> None:
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

    def close(self) -> None:
        """Ends the host and every process it started; safe to call twice."""
        if self._closing:
            return
        self._closing = True
        atexit.unregister(self.close)
        self.host.close()

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

    def make(self, factory: Callable[..., E], *args: Any, **kwargs: Any) -> E:
        """Constructs the environment `factory(*args, **kwargs)` with this
        launcher's page as its front-end and returns it.

        For a subclass of `Vesk.Vesk_Pal_st`, its `connect` hook (or, where it
        has none, a daemon thread) starts the bridge, and the page is opened
        once the bridge listens; a bridge that cannot start is reported at
        once. The environment's `close()` also closes the launcher, and with
        `render_mode == "rgb_array"` its `render()` returns the page's
        picture where the host has one.
        """
        global _made_in_process
        if self.env is not None:
            raise RuntimeError(f"this {type(self).__name__} already made its environment: one page, one environment")
        if _made_in_process is not None:
            raise RuntimeError(
                "this process already made an environment (for " + _made_in_process + "); the bridge's queues "
                "and port belong to the class, so each environment needs a process of its own (veskit's workers)")
        self.start()
        self._set_variables()
        self._bridge_error = None
        made: List[Any] = []
        failed: List[BaseException] = []
        done = threading.Event()
        cls: Any = factory
        is_class = isinstance(cls, type) and issubclass(cls, Vesk.Vesk_Pal_st)
        target: Any = None
        if is_class:
            create: Any = cls.__new__  # what the class's call would use, without __init__
            target = create(cls)
            _instance_hooks.install(target, "connect", self._connect_hook(target, cls), self._owner)
        else:
            self.open_page()  # the page retries until the bridge listens

        def construct() -> None:
            try:
                if is_class:
                    cls.__init__(target, *args, **kwargs)
                    made.append(target)
                else:
                    made.append(factory(*args, **kwargs))
            except BaseException as error:
                failed.append(error)
            finally:
                done.set()

        # Construction blocks until the page answers; off this thread, so
        # that a page that never connects can be told from a slow one.
        builder = threading.Thread(target=construct, name="vesk-construct", daemon=True)
        deadline = time.monotonic() + self.connect_timeout
        try:
            builder.start()
            while not done.wait(_POLL):
                problem = self._connect_problem(deadline)
                if problem is not None:
                    self._give_up(target)
                    raise PageNotConnectedError(problem) from self._bridge_error
        except BaseException:
            self.close()
            raise
        if failed:
            # In raise mode a bridge that cannot listen fails the first task
            # too: report it with the host's side, as the poll above does.
            problem = self._connect_problem(deadline) if self._bridge_error is not None else None
            self.close()
            if problem is not None:
                raise PageNotConnectedError(problem) from self._bridge_error
            raise failed[0]
        env = made[0]
        if target is not None:
            _instance_hooks.restore(env, "connect", self._owner)  # no trace of the launcher's hook
        self._adopt(env)
        self.env = env
        _made_in_process = self.url
        return env  # type: ignore[no-any-return]

    @property
    def _owner(self) -> str:
        return type(self).__name__

    def _connect_hook(self, env: Any, cls: type) -> Callable[[Callable[[], None]], None]:
        own_hook = getattr(cls, "connect") is not getattr(Vesk.Vesk_Pal_st, "connect")

        def run(runner: Callable[[], None], reraise: bool) -> None:
            try:
                runner()
            except BaseException as error:  # a port in use, a bad VESK_PORT...
                self._bridge_error = error
                if reraise:
                    raise
            else:
                self._bridge_error = RuntimeError("the bridge's runner returned")

        def connect(runner: Callable[[], None]) -> None:
            if own_hook:
                cls.connect(env, lambda: run(runner, True))  # type: ignore[attr-defined]
            else:
                threading.Thread(target=run, args=(runner, False), name="vesk-bridge", daemon=True).start()
            deadline = time.monotonic() + self.connect_timeout
            while listening(self.port or 0) is False and self._bridge_error is None and time.monotonic() < deadline:
                time.sleep(0.01)
            if self._bridge_error is None:
                self.open_page()

        return connect

    def _connect_problem(self, deadline: float) -> Optional[str]:
        """Why waiting for the page is over, or None to wait on."""
        role = self.host.role
        code = self.host.returncode()
        if self._bridge_error is not None:
            reason = f"the bridge could not start: {type(self._bridge_error).__name__}: {self._bridge_error}"
        elif code is not None:
            reason = f"the {role} exited (status {code}) before the page answered"
        elif time.monotonic() > deadline:
            if connected(self.port or 0):
                reason = f"the page connected but did not answer the first task within {self.connect_timeout:g} s"
            else:
                reason = f"the page did not connect within {self.connect_timeout:g} s"
        else:
            return None
        lines = [
            reason,
            f"  page: {self.url}" + ("" if self._navigated else " (not opened: the bridge never listened)"),
            f"  {role}: {self.host.describe()}",
            f"  bridge: port {self.port}, {_LISTENING[listening(self.port or 0)]}",
        ]
        console = self.console()[-10:]
        if console:
            lines += ["  the page logged:"] + ["    " + line for line in console]
        lines += [f"  the {role}'s output ({self.log_path}) ends with:"]
        lines += ["    " + line for line in self.output_tail().splitlines()]
        return "\n".join(lines)

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

    def _adopt(self, env: Any) -> None:
        """Ties the environment to this launcher: close() ends both, and
        rgb_array rendering returns the page's picture. The hooks stay on the
        instance after close, so that a second close does nothing."""
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



class Browser(Launcher):
    """A headless Chromium on `page` (default: the bundle folder's index.html,
    where the reference page is installed when it has none; or any path or URL).

    `port` (default: a free one) and `token` (default: random) are set as
    `VESK_PORT` and `VESK_TOKEN` when the browser starts and added to the
    page URL. `executable` overrides the search of `find_chromium`; `args`
    are added to Chromium's flags; `canvas` is the CSS selector of the
    canvas that `rgb_array` rendering reads.
    """

    def __init__(
        self,
        page: Union[str, "os.PathLike[str]", None] = None,
        *,
        executable: Optional[str] = None,
        port: Optional[int] = None,
        token: Optional[str] = None,
        connect_timeout: float = DEFAULT_CONNECT_TIMEOUT,
        headless: bool = True,
        window_size: Tuple[int, int] = (800, 600),
        args: Sequence[str] = (),
        canvas: str = "canvas",
        devtools_domains: Sequence[str] = ("Runtime", "Log", "Page"),
        single_process: bool = True,
    ) -> None:
        self.chromium = Chromium(executable=executable, headless=headless, window_size=window_size, args=args,
                                 devtools_domains=devtools_domains, single_process=single_process)
        super().__init__(self.chromium, page, port=port, token=token, connect_timeout=connect_timeout)
        self.executable = executable
        self.canvas = canvas

    def _default_page(self) -> "os.PathLike[str]":
        return default_page()

    @property
    def process(self) -> Any:
        """Chromium's process (a `subprocess.Popen`), None before start."""
        return self.chromium.process.process if self.chromium.process is not None else None

    @property
    def devtools(self) -> Optional[DevTools]:
        return self.chromium.devtools

    @property
    def session(self) -> Optional[str]:
        return self.chromium.session

    @property
    def profile(self) -> Optional[str]:
        return self.chromium.profile

    def navigate(self) -> None:
        """Opens the page (with its port and token) in the browser."""
        self.open_page()

    def evaluate(self, expression: str) -> Any:
        """The value of a JavaScript expression in the page (JSON-able values;
        a promise is awaited)."""
        return self.chromium.evaluate(expression)

    def canvas_rgb(self, selector: Optional[str] = None) -> npt.NDArray[np.uint8]:
        """The pixels of the page's canvas (composited on white) as an
        (height, width, 3) uint8 array."""
        return self.chromium.canvas_rgb(selector or self.canvas)

    def render_rgb(self) -> Optional[npt.NDArray[np.uint8]]:
        return self.canvas_rgb()
