"""The browser launcher: a headless Chromium that owns the page of one Vesk environment.

    with veskit.Browser() as browser:              # the bundle folder's index.html
        env = browser.make(CartPole, num_envs=8)   # constructed once the page answered
        ...

`Browser` picks a free port and a random token, sets `VESK_PORT` and
`VESK_TOKEN` for the bridge and passes both to the page in its URL
(`?port=...&token=...`). `make` constructs the environment and fails with
`PageNotConnectedError` (saying which page, whether the browser runs, the
tail of its output) when the page has not answered within `connect_timeout`.
The whole browser process tree ends on `close()`, when the `with` block is
left (also by an exception), at interpreter exit, and, through a small
watcher process, when this process dies without clean-up (`os._exit`, a
signal).

One environment per process: the bridge's queues and port belong to the
class, so a second environment needs a second process (veskit's workers).
"""

from __future__ import annotations

import atexit
import base64
import json
import os
import pathlib
import queue
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import zlib
from typing import IO, Any, Callable, Dict, List, Optional, Sequence, Tuple, TypeVar, Union

import numpy as np
import numpy.typing as npt

import Vesk

from .devtools import DevTools, DevToolsError, console_lines

E = TypeVar("E")

CHROMIUM_VARIABLE = "VESK_CHROMIUM"
CHROMIUM_NAMES = ("chromium", "chromium-browser", "google-chrome", "google-chrome-stable")
HOST = "127.0.0.1"
DEFAULT_CONNECT_TIMEOUT = 30.0
_START_TIMEOUT = 20.0  # for Chromium to open its DevTools endpoint
_POLL = 0.05

# Ends the browser's process group and removes its profile once the owner has
# gone, however it went: the owner holds the write end of our stdin, which the
# kernel closes at exit.
_WATCHER = """\
import os, shutil, signal, sys, time
signal.signal(signal.SIGINT, signal.SIG_IGN)
if sys.stdin.buffer.read():
    sys.exit()  # the owner closed the browser itself
group = int(sys.argv[1])
try:
    os.killpg(group, signal.SIGTERM)
    time.sleep(0.5)  # Chromium ends its helpers on SIGTERM; the rest is killed
    os.killpg(group, signal.SIGKILL)
except OSError:
    pass
time.sleep(0.2)
shutil.rmtree(sys.argv[2], ignore_errors=True)
"""

# The canvas's pixels, composited on white, as [width, height, base64 of the
# zlib-deflated RGBA bytes]: deflated, a drawing moves in a few kilobytes.
_CANVAS_PIXELS = """\
(async () => {
  const source = document.querySelector(%s);
  if (!(source instanceof HTMLCanvasElement)) return null;
  const copy = document.createElement("canvas");
  copy.width = source.width;
  copy.height = source.height;
  const ctx = copy.getContext("2d");
  ctx.fillStyle = "#fff";
  ctx.fillRect(0, 0, copy.width, copy.height);
  ctx.drawImage(source, 0, 0);
  const pixels = ctx.getImageData(0, 0, copy.width, copy.height).data;
  const deflated = new Response(new Blob([pixels]).stream().pipeThrough(new CompressionStream("deflate")));
  const data = new Uint8Array(await deflated.arrayBuffer());
  let text = "";
  for (let i = 0; i < data.length; i += 0x8000) text += String.fromCharCode.apply(null, data.subarray(i, i + 0x8000));
  return [copy.width, copy.height, btoa(text)];
})()"""

class ChromiumNotFoundError(FileNotFoundError):
    """No Chromium executable was found; the message says how to install one."""


class BrowserStartError(RuntimeError):
    """Chromium did not start or did not open its DevTools endpoint."""


class PageNotConnectedError(RuntimeError):
    """The page did not answer the environment's first task in time, the
    bridge could not start, or the browser ended first."""


# ------------------------------------------------------------------- finding things

def install_hint() -> str:
    if sys.platform.startswith("linux"):
        command = "apt-get install -y chromium" + ("" if _is_root() else "  (as root, e.g. with sudo)")
        where = f"Debian/Ubuntu: {command}; Fedora: dnf install chromium"
    elif sys.platform == "darwin":
        where = "macOS: brew install --cask chromium"
    else:
        where = "install Chromium or Google Chrome"
    return (
        f"no Chromium found (looked for ${CHROMIUM_VARIABLE} and {', '.join(CHROMIUM_NAMES)} on PATH). "
        f"Install it ({where}) or set {CHROMIUM_VARIABLE} to the browser's executable."
    )


def _is_root() -> bool:
    geteuid = getattr(os, "geteuid", None)
    return geteuid is not None and geteuid() == 0


def find_chromium(executable: Optional[str] = None) -> str:
    """The browser to start: `executable`, else $VESK_CHROMIUM, else the first
    of chromium, chromium-browser, google-chrome on PATH."""
    given = executable or os.environ.get(CHROMIUM_VARIABLE)
    if given:
        path = shutil.which(given)
        if path is None:
            source = "executable" if executable else f"${CHROMIUM_VARIABLE}"
            raise ChromiumNotFoundError(f"{source} names {given!r}, which is not an executable file")
        return path
    for name in CHROMIUM_NAMES:
        path = shutil.which(name)
        if path:
            return path
    raise ChromiumNotFoundError(install_hint())


def frontend_folder() -> pathlib.Path:
    """The browser half shipped with the package: the client kit
    (vesk-client.js, package.json) and the reference page (dist/)."""
    here = pathlib.Path(__file__).resolve().parent
    for folder in (here / "frontend", here.parent / "frontend"):  # installed; a source checkout
        if (folder / "dist" / "index.html").is_file():
            return folder
    raise FileNotFoundError(f"the front-end kit is missing: neither {here / 'frontend'} nor {here.parent / 'frontend'}")


def bundle_folder() -> pathlib.Path:
    """The folder `Vesk.upload` publishes into: `dist` beside the module's folder."""
    return pathlib.Path(os.path.abspath(Vesk.__file__)).parent.parent / "dist"


def install_reference_page(bundle: Union[str, "os.PathLike[str]", None] = None) -> pathlib.Path:
    """Copies the reference page (index.html and assets/) into the bundle
    folder, replacing assets/ whole; returns the page's index.html."""
    target = pathlib.Path(bundle) if bundle is not None else bundle_folder()
    source = frontend_folder() / "dist"
    target.mkdir(parents=True, exist_ok=True)
    shutil.copy2(source / "index.html", target / "index.html")
    if (target / "assets").is_dir():
        shutil.rmtree(target / "assets")
    shutil.copytree(source / "assets", target / "assets")
    return target / "index.html"


def free_port(host: str = HOST) -> int:
    """An unprivileged TCP port that was free a moment ago."""
    with socket.socket() as probe:
        probe.bind((host, 0))
        port: int = probe.getsockname()[1]
        return port


def page_url(page: Union[str, "os.PathLike[str]"], port: int, token: Optional[str] = None) -> str:
    """`page` (a URL or a file path) with `port` and `token` added to its query."""
    text = os.fspath(page)
    parts = urllib.parse.urlsplit(text)
    if len(parts.scheme) < 2:  # a path (a drive letter counts as one)
        parts = urllib.parse.urlsplit(pathlib.Path(text).resolve().as_uri())
    query = [(k, v) for k, v in urllib.parse.parse_qsl(parts.query, keep_blank_values=True) if k not in ("port", "token")]
    query.append(("port", str(port)))
    if token is not None:
        query.append(("token", token))
    return urllib.parse.urlunsplit(parts._replace(query=urllib.parse.urlencode(query)))


def _listening(port: int) -> Optional[bool]:
    """Whether a socket listens on TCP `port`, read from /proc without
    connecting (a probe connection would reach the bridge's handler); None
    where /proc has no such table."""
    return _tcp_state(port, "0A")


def _connected(port: int) -> Optional[bool]:
    """Whether a connection to local TCP `port` is established."""
    return _tcp_state(port, "01")


def _tcp_state(port: int, state: str) -> Optional[bool]:
    seen = False
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                lines = f.read().splitlines()[1:]
        except OSError:
            continue
        seen = True
        for line in lines:
            fields = line.split()
            if fields[3] == state and int(fields[1].rsplit(":", 1)[1], 16) == port:
                return True
    return False if seen else None


# ---------------------------------------------------------------------- the browser

# Set once a launcher environment has been made: the bridge of a closed page
# still serves the class's queues, so a second one would share them.
_made_in_process: Optional[str] = None


class Browser:
    """A headless Chromium on `page` (default: the bundle folder's index.html,
    where the reference page is installed when it has none; or any path or URL).

    `port` (default: a free one) and `token` (default: random) are set as
    `VESK_PORT` and `VESK_TOKEN` when the browser starts and added to the
    page URL. `executable` overrides the search of `find_chromium`;
    `canvas` is the CSS selector of the canvas that `rgb_array` rendering reads.
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
    ) -> None:
        if connect_timeout <= 0:
            raise ValueError(f"connect_timeout must be positive, got {connect_timeout!r}")
        if port is not None and not 1 <= port <= 65535:
            raise ValueError(f"port must be from 1 to 65535, got {port!r}")
        self.page = page
        self.executable = executable
        self.port = port
        self.token = token if token is not None else secrets.token_urlsafe(16)
        self.connect_timeout = connect_timeout
        self.headless = headless
        self.window_size = window_size
        self.args = tuple(args)
        self.canvas = canvas
        self.devtools_domains = tuple(devtools_domains)
        self.url: Optional[str] = None
        self.process: Optional[subprocess.Popen[bytes]] = None
        self.devtools: Optional[DevTools] = None
        self.session: Optional[str] = None
        self.env: Any = None
        self.profile: Optional[str] = None
        self._watcher: Optional[subprocess.Popen[bytes]] = None
        self._log: Optional[IO[bytes]] = None
        self._navigated = False
        self._closing = False
        self._bridge_error: Optional[BaseException] = None
        self._executable = ""

    # --- lifetime

    def __enter__(self) -> "Browser":
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def start(self) -> "Browser":
        """Starts Chromium on a blank page and attaches to it; the page itself
        is opened by `make` once the bridge listens (or by `navigate`)."""
        if self.process is not None:
            return self
        executable = self._executable = find_chromium(self.executable)
        page = self.page
        if page is None:
            index = bundle_folder() / "index.html"
            page = index if index.is_file() else install_reference_page()
        elif "://" not in os.fspath(page) and not os.path.exists(page):
            raise FileNotFoundError(f"no page at {os.fspath(page)!r}")
        if self.port is None:
            self.port = free_port()
        self.url = page_url(page, self.port, self.token)
        os.environ["VESK_PORT"] = str(self.port)
        os.environ["VESK_TOKEN"] = self.token

        self.profile = tempfile.mkdtemp(prefix="vesk-chromium-")
        command = [executable, *(["--headless"] if self.headless else []), *_chromium_flags(self.window_size),
                   f"--user-data-dir={self.profile}", "--remote-debugging-port=0", *self.args, "about:blank"]
        self._log = open(os.path.join(self.profile, "chromium.log"), "w+b")
        # Chromium's own temporary files go into the profile too, so removing
        # it leaves nothing behind.
        scratch = os.path.join(self.profile, "tmp")
        os.mkdir(scratch)
        try:
            self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=self._log,
                                            stderr=subprocess.STDOUT, start_new_session=os.name == "posix",
                                            env=dict(os.environ, TMPDIR=scratch))
        except OSError as error:
            self._remove_profile()
            raise BrowserStartError(f"cannot run {executable}: {error}") from error
        atexit.register(self.close)
        if os.name == "posix":
            self._watcher = subprocess.Popen(
                [sys.executable, "-I", "-S", "-c", _WATCHER, str(self.process.pid), self.profile],
                stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        threading.Thread(target=self._watch, name="vesk-chromium-watch", daemon=True).start()
        try:
            self._attach()
        except BaseException:
            self.close()
            raise
        return self

    def _attach(self) -> None:
        assert self.process is not None and self.profile is not None
        active = os.path.join(self.profile, "DevToolsActivePort")
        deadline = time.monotonic() + _START_TIMEOUT
        lines: List[str] = []
        while len(lines) < 2:
            if self.process.poll() is not None:
                raise BrowserStartError(f"Chromium exited with status {self.process.returncode} at start; "
                                        f"its output ends with:\n{self.output_tail()}")
            if time.monotonic() > deadline:
                raise BrowserStartError(f"Chromium opened no DevTools endpoint within {_START_TIMEOUT:.0f} s; "
                                        f"its output ends with:\n{self.output_tail()}")
            time.sleep(_POLL)
            try:
                with open(active) as f:
                    lines = f.read().split()
            except OSError:
                pass
        self.devtools = DevTools(f"ws://{HOST}:{lines[0]}{lines[1]}")
        pages: List[Dict[str, Any]] = []
        while not pages:
            pages = [t for t in self.devtools.call("Target.getTargets")["targetInfos"] if t["type"] == "page"]
            if not pages and time.monotonic() > deadline:
                raise BrowserStartError("Chromium opened no page")
            time.sleep(0 if pages else _POLL)
        self.session = self.devtools.call("Target.attachToTarget", targetId=pages[0]["targetId"], flatten=True)[
            "sessionId"]
        for domain in self.devtools_domains:
            self.devtools.call(f"{domain}.enable", self.session)

    def _watch(self) -> None:
        process = self.process
        assert process is not None
        code = process.wait()
        if not self._closing:
            print(f"veskit: Chromium exited unexpectedly (status {code}); its output ends with:\n"
                  f"{self.output_tail()}", file=sys.stderr, flush=True)

    def navigate(self) -> None:
        """Opens the page (with its port and token) in the browser."""
        if self.devtools is None or self.url is None:
            raise RuntimeError("the browser is not started")
        self.devtools.call("Page.navigate", self.session, url=self.url)
        self._navigated = True

    def close(self) -> None:
        """Ends the browser and every process it started; safe to call twice."""
        if self._closing:
            return
        self._closing = True
        atexit.unregister(self.close)
        if self.devtools is not None:
            try:
                # Quicker than SIGTERM, and Chromium ends its helpers itself.
                self.devtools.call("Browser.close", timeout=2)
            except DevToolsError:
                pass
            try:
                self.devtools.close()
            except Exception:
                pass
        if self.process is not None:
            _end_process_group(self.process)
        if self._watcher is not None:
            assert self._watcher.stdin is not None
            try:
                self._watcher.stdin.write(b"closed")
                self._watcher.stdin.close()
            except OSError:
                pass
            try:
                self._watcher.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self._watcher.kill()
                self._watcher.wait()
        if self._log is not None:
            self._log.close()
        self._remove_profile()

    def _remove_profile(self) -> None:
        if self.profile is not None:
            shutil.rmtree(self.profile, ignore_errors=True)

    # --- what the browser shows and says

    def output_tail(self, lines: int = 20) -> str:
        """The last `lines` lines of the browser's standard output and error."""
        if self._log is None or self._log.closed:
            return "(no output kept)"
        self._log.flush()
        with open(self._log.name, "rb") as f:
            text = f.read().decode("utf-8", "replace")
        tail = text.rstrip().splitlines()[-lines:]
        return "\n".join(tail) if tail else "(nothing)"

    def console(self) -> List[str]:
        """The page's console errors and warnings and its uncaught exceptions."""
        return console_lines(self.devtools) if self.devtools is not None else []

    def evaluate(self, expression: str) -> Any:
        """The value of a JavaScript expression in the page (JSON-able values;
        a promise is awaited)."""
        if self.devtools is None:
            raise RuntimeError("the browser is not started")
        result = self.devtools.call("Runtime.evaluate", self.session, expression=expression, returnByValue=True,
                                    awaitPromise=True)
        if "exceptionDetails" in result:
            details = result["exceptionDetails"]
            raise RuntimeError("page: " + str(details.get("exception", {}).get("description", details.get("text"))))
        return result["result"].get("value")

    def canvas_rgb(self, selector: Optional[str] = None) -> npt.NDArray[np.uint8]:
        """The pixels of the page's canvas (composited on white) as an
        (height, width, 3) uint8 array."""
        selector = selector or self.canvas
        found = self.evaluate(_CANVAS_PIXELS % json.dumps(selector))
        if found is None:
            raise LookupError(f"the page has no canvas matching {selector!r}")
        width, height, data = found
        rgba = np.frombuffer(zlib.decompress(base64.b64decode(data)), dtype=np.uint8).reshape(height, width, 4)
        return np.ascontiguousarray(rgba[:, :, :3])

    # --- the environment

    def make(self, factory: Callable[..., E], *args: Any, **kwargs: Any) -> E:
        """Constructs the environment `factory(*args, **kwargs)` with this
        browser's page as its front-end and returns it.

        For a subclass of `Vesk.Vesk_Pal_st`, its `connect` hook (or, where it
        has none, a daemon thread) starts the bridge, and the page is opened
        once the bridge listens; a bridge that cannot start is reported at
        once. The environment's `close()` also closes the browser, and with
        `render_mode == "rgb_array"` its `render()` returns the canvas as RGB.
        """
        global _made_in_process
        if self.env is not None:
            raise RuntimeError("this Browser already made its environment: one page, one environment")
        if _made_in_process is not None:
            raise RuntimeError(
                "this process already made an environment (for " + _made_in_process + "); the bridge's queues "
                "and port belong to the class, so each environment needs a process of its own (veskit's workers)")
        self.start()
        assert self.url is not None and self.port is not None
        os.environ["VESK_PORT"] = str(self.port)
        os.environ["VESK_TOKEN"] = self.token
        self._bridge_error = None
        made: List[Any] = []
        failed: List[BaseException] = []
        done = threading.Event()
        cls: Any = factory
        is_class = isinstance(cls, type) and issubclass(cls, Vesk.Vesk_Pal_st)
        target: Any = None
        if is_class:
            target = cls.__new__(cls)
            target.connect = self._connect_hook(target, cls)  # an instance attribute wins over the class's hook
        else:
            self.navigate()  # the page retries until the bridge listens

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
            # too: report it with the browser's side, as the poll above does.
            problem = self._connect_problem(deadline) if self._bridge_error is not None else None
            self.close()
            if problem is not None:
                raise PageNotConnectedError(problem) from self._bridge_error
            raise failed[0]
        env = made[0]
        if target is not None:
            del env.connect  # the instance holds no trace of the launcher's hook
        self._adopt(env)
        self.env = env
        _made_in_process = self.url
        return env  # type: ignore[no-any-return]

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
            while _listening(self.port or 0) is False and self._bridge_error is None and time.monotonic() < deadline:
                time.sleep(0.01)
            if self._bridge_error is None:
                self.navigate()

        return connect

    def _connect_problem(self, deadline: float) -> Optional[str]:
        """Why waiting for the page is over, or None to wait on."""
        assert self.process is not None
        if self._bridge_error is not None:
            reason = f"the bridge could not start: {type(self._bridge_error).__name__}: {self._bridge_error}"
        elif self.process.poll() is not None:
            reason = f"the browser exited (status {self.process.returncode}) before the page answered"
        elif time.monotonic() > deadline:
            if _connected(self.port or 0):
                reason = f"the page connected but did not answer the first task within {self.connect_timeout:g} s"
            else:
                reason = f"the page did not connect within {self.connect_timeout:g} s"
        else:
            return None
        running = "running" if self.process.poll() is None else f"exited with status {self.process.returncode}"
        lines = [
            reason,
            f"  page: {self.url}" + ("" if self._navigated else " (not opened: the bridge never listened)"),
            f"  browser: {self._executable} (pid {self.process.pid}), {running}",
            f"  bridge: port {self.port}, " + {True: "listening", False: "not listening", None: "state unknown"}[
                _listening(self.port or 0)],
        ]
        console = self.console()[-10:]
        if console:
            lines += ["  the page logged:"] + ["    " + line for line in console]
        lines += ["  the browser's output ends with:"] + ["    " + line for line in self.output_tail().splitlines()]
        return "\n".join(lines)

    def _give_up(self, env: Any) -> None:
        """Releases a construction that waits for the page: takes back the
        unsent first task and answers it, so the queues are left empty."""
        queues = env if env is not None else Vesk.Vesk_Pal_st
        if _connected(self.port or 0):
            return  # the page holds the task; closing it ends the process through the bridge
        try:
            while True:
                queues.send_queue.get_nowait()
        except queue.Empty:
            pass
        queues.reply_quene.put("None")

    def _adopt(self, env: Any) -> None:
        """Ties the environment to this browser: close() ends both, and
        rgb_array rendering returns the canvas."""
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

        env.close = close
        if getattr(env, "render_mode", None) == "rgb_array":
            env_render = env.render

            def render() -> npt.NDArray[np.uint8]:
                env_render()  # the page draws its current state
                return self.canvas_rgb()

            env.render = render


def _chromium_flags(window_size: Tuple[int, int]) -> List[str]:
    return [
        # Only our own page is shown, and containers often lack the namespaces
        # the sandbox needs (as root it refuses to start at all).
        "--no-sandbox",
        "--disable-gpu",
        "--disable-dev-shm-usage",
        "--no-first-run",
        "--no-default-browser-check",
        "--disable-background-networking",
        "--disable-component-update",
        "--disable-sync",
        "--mute-audio",
        # A page in the background must not be slowed down.
        "--disable-background-timer-throttling",
        "--disable-renderer-backgrounding",
        f"--window-size={window_size[0]},{window_size[1]}",
    ]


def _end_process_group(process: "subprocess.Popen[bytes]") -> None:
    """Ends `process` and the session it leads: Chromium's helpers stay in it."""
    if os.name != "posix":
        process.kill()
        process.wait()
        return
    try:
        process.wait(timeout=2)  # after Browser.close
    except subprocess.TimeoutExpired:
        try:
            os.killpg(process.pid, signal.SIGTERM)  # lets Chromium end its helpers itself
            process.wait(timeout=5)
        except (ProcessLookupError, PermissionError, subprocess.TimeoutExpired):
            pass
    try:
        os.killpg(process.pid, signal.SIGKILL)  # whatever is left of the group
    except (ProcessLookupError, PermissionError):
        pass
    process.wait()
