"""`Browser`: the launcher over headless Chromium (veskit/hosts/chromium.py),
for any page.

    with veskit.Browser() as browser:              # the bundle folder's index.html
        env = browser.make(CartPole, num_envs=8)
"""

from __future__ import annotations

import os
from typing import Any, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from .hosts.chromium import Chromium
from .hosts.devtools import DevTools, DevToolsError
from .hosts.pages import default_page
from .launcher import DEFAULT_CONNECT_TIMEOUT, Launcher


class Browser(Launcher):
    """A headless Chromium on `page` (default: the bundle folder's index.html,
    where the reference page is installed when it has none; or any path or URL).

    `port` (default: a free one) and `token` (default: random) are added to
    the page URL, and set as `VESK_PORT` and `VESK_TOKEN` while `make` starts
    the bridge. `executable` overrides the search of `find_chromium`; `args`
    are added to Chromium's flags; `canvas` is the CSS selector of the
    canvas that `rgb_array` rendering reads.

    `single_process=True` runs Chromium as one process: faster (1.6 to 1.7
    times the steps per second at one environment), but a mode Chromium does
    not support: a crashed renderer takes the whole browser with it, so raise
    mode cannot reopen the page, and it was seen to crash at start under load.
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
        single_process: bool = False,
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

    def reopen_page(self) -> None:
        """Navigates the page again; a page that was closed is replaced by a
        new tab first (its DevTools session is gone with it)."""
        try:
            self.open_page()
        except DevToolsError:
            devtools = self.chromium.devtools
            if devtools is None:
                raise
            target = devtools.call("Target.createTarget", url="about:blank")["targetId"]
            session = devtools.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
            for domain in self.chromium.devtools_domains:
                devtools.call(f"{domain}.enable", session)
            self.chromium.session = session
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
