"""Headless Chromium as a host: the process, its DevTools pipe, and what only
a browser has (evaluating JavaScript in the page, the canvas's pixels)."""

from __future__ import annotations

import base64
import fcntl
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import zlib
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

from .base import HostStartError, ProcessHost
from .devtools import DevTools, DevToolsError, console_lines
from .pages import page_url
from .process import HostProcess, find_program

CHROMIUM_VARIABLE = "VESK_CHROMIUM"
CHROMIUM_NAMES = ("chromium", "chromium-browser", "google-chrome", "google-chrome-stable")
_START_TIMEOUT = 20.0  # for Chromium to answer on its DevTools pipe
_POLL = 0.05

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


# Execs argv[3:] with the descriptors argv[1] and argv[2] placed at 3 and 4
# (a shell cannot name descriptors above 9 portably).
_AT_3_AND_4 = """\
import os, sys
commands, answers = int(sys.argv[1]), int(sys.argv[2])
os.dup2(commands, 3)
os.dup2(answers, 4)
os.close(commands)
os.close(answers)
os.execv(sys.argv[3], sys.argv[3:])
"""


class ChromiumNotFoundError(FileNotFoundError):
    """No Chromium executable was found; the message says how to install one."""


class BrowserStartError(HostStartError):
    """Chromium did not start or did not answer on its DevTools pipe."""


def _is_root() -> bool:
    geteuid = getattr(os, "geteuid", None)
    return geteuid is not None and geteuid() == 0


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


def find_chromium(executable: Optional[str] = None) -> str:
    """The browser to start: `executable`, else $VESK_CHROMIUM, else the first
    of chromium, chromium-browser, google-chrome on PATH."""
    return find_program(executable, CHROMIUM_VARIABLE, CHROMIUM_NAMES, ChromiumNotFoundError, install_hint())


def chromium_flags(window_size: Tuple[int, int], single_process: bool) -> List[str]:
    return [*(["--single-process"] if single_process else []),
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


def _high_descriptor(fd: int) -> int:
    """`fd` moved above 4, so that placing the pipe at 3 and 4 in the child
    cannot overwrite the other end before it is placed."""
    moved = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10)
    os.close(fd)
    return moved


class Chromium(ProcessHost):
    """Headless Chromium driven over `--remote-debugging-pipe`.

    `executable` overrides the search of `find_chromium`; `args` are added
    to the flags; `devtools_domains` are enabled on the page before it
    loads, so none of its events is missed."""

    name = "Chromium"
    role = "browser"

    def __init__(self, *, executable: Optional[str] = None, headless: bool = True,
                 window_size: Tuple[int, int] = (800, 600), args: Sequence[str] = (),
                 devtools_domains: Sequence[str] = ("Runtime", "Log", "Page"), single_process: bool = False) -> None:
        self.requested_executable = executable
        self.single_process = single_process
        self.headless = headless
        self.window_size = window_size
        self.args = tuple(args)
        self.devtools_domains = tuple(devtools_domains)
        self.devtools: Optional[DevTools] = None
        self.session: Optional[str] = None
        self.profile: Optional[str] = None
        self.process = None

    def start(self) -> None:
        if self.process is not None:
            return
        executable = self.executable = find_chromium(self.requested_executable)
        self.profile = tempfile.mkdtemp(prefix="vesk-chromium-")
        # Chromium's own temporary files go into the profile too, so removing
        # it leaves nothing behind.
        scratch = os.path.join(self.profile, "tmp")
        os.mkdir(scratch)
        # Chromium reads commands from its fd 3 and answers on its fd 4.
        their_commands, our_commands = map(_high_descriptor, os.pipe())
        our_answers, their_answers = map(_high_descriptor, os.pipe())
        flags = [*(["--headless"] if self.headless else []), *chromium_flags(self.window_size, self.single_process),
                 f"--user-data-dir={self.profile}", "--remote-debugging-pipe", *self.args]
        command = [sys.executable, "-I", "-S", "-c", _AT_3_AND_4, str(their_commands), str(their_answers),
                   executable, *flags, "about:blank"]
        try:
            self.process = HostProcess(self.name, command, env=dict(os.environ, TMPDIR=scratch),
                                       pass_fds=(their_commands, their_answers), remove=(self.profile,),
                                       on_unexpected_exit=self._lost)
        except OSError as error:
            for fd in (our_commands, our_answers):
                os.close(fd)
            shutil.rmtree(self.profile, ignore_errors=True)
            raise BrowserStartError(f"cannot run {executable}: {error}") from error
        finally:
            # Only Chromium holds its ends now: our reader sees the pipe
            # close when Chromium ends.
            for fd in (their_commands, their_answers):
                os.close(fd)
        self.devtools = DevTools(our_commands, our_answers)
        try:
            self._attach()
        except BaseException:
            self.close()
            raise

    def _attach(self) -> None:
        assert self.devtools is not None and self.process is not None
        deadline = time.monotonic() + _START_TIMEOUT
        pages: List[Dict[str, Any]] = []
        try:
            while not pages:
                targets = self.devtools.call("Target.getTargets", timeout=max(deadline - time.monotonic(), 0.1))
                pages = [t for t in targets["targetInfos"] if t["type"] == "page"]
                if not pages and time.monotonic() > deadline:
                    raise BrowserStartError("Chromium opened no page")
                time.sleep(0 if pages else _POLL)
            self.session = self.devtools.call("Target.attachToTarget", targetId=pages[0]["targetId"], flatten=True)[
                "sessionId"]
            # A crashed page is reported; with the helpers apart the browser lives on.
            self.devtools.on_event = self._event
            for domain in ("Inspector", *self.devtools_domains):
                self.devtools.call(f"{domain}.enable", self.session)
        except DevToolsError as error:
            code = self.process.returncode()
            if code is None:
                code = self._wait_briefly()
            state = f"exited with status {code}" if code is not None else "did not answer"
            raise BrowserStartError(f"Chromium {state} at start ({error}); its output ends with:\n"
                                    f"{self.process.output_tail()}") from error

    def _event(self, method: str, params: Dict[str, Any]) -> None:
        if method == "Inspector.targetCrashed" and self.process is not None:
            self._lost(f"veskit: Chromium's page crashed; its output is in {self.process.log_path}")

    def _wait_briefly(self) -> Optional[int]:
        """The exit status of a Chromium that is ending, else None."""
        assert self.process is not None
        try:
            return self.process.process.wait(timeout=1)
        except subprocess.TimeoutExpired:
            return None

    # --- the Host interface

    def address(self, page: str, port: int, token: Optional[str]) -> str:
        return page_url(page, port, token)

    def open(self, address: str) -> None:
        if self.devtools is None:
            raise RuntimeError("the browser is not started")
        self.devtools.call("Page.navigate", self.session, url=address)

    def console(self) -> List[str]:
        return console_lines(self.devtools) if self.devtools is not None else []

    def close(self) -> None:
        grace = 0.0
        if self.devtools is not None and self.process is not None and self.process.returncode() is None:
            try:
                # Quicker than SIGTERM, and Chromium ends its helpers itself.
                self.devtools.call("Browser.close", timeout=2)
                grace = 2.0
            except DevToolsError:
                pass
        if self.process is not None:
            self.process.close(grace)
        if self.devtools is not None:
            self.devtools.close()

    # --- what only a browser has

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

    def canvas_rgb(self, selector: str) -> npt.NDArray[np.uint8]:
        """The pixels of the page's canvas matching `selector` (composited on
        white) as an (height, width, 3) uint8 array."""
        found = self.evaluate(_CANVAS_PIXELS % json.dumps(selector))
        if found is None:
            raise LookupError(f"the page has no canvas matching {selector!r}")
        width, height, data = found
        rgba = np.frombuffer(zlib.decompress(base64.b64decode(data)), dtype=np.uint8).reshape(height, width, 4)
        return np.ascontiguousarray(rgba[:, :, :3])
