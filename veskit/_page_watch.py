"""Brings a launcher's page back after its renderer crashed or it closed.

With `VESK_ON_FAILURE=raise` the process outlives a lost page: the waiting
call raises ConnectionError and the next `reset()` waits for a front-end to
connect again. A page that merely lost its connection reconnects by itself
(the client kit retries every second); a crashed or closed page never does.
So while the bridge's port has had no connection for `grace` seconds, the
watch has the launcher reopen the page. By default a lost page ends the
process, so the watch then does nothing.
"""

from __future__ import annotations

import logging
import os
import threading
import time
from typing import Callable, Optional

from ._ports import connected

_log = logging.getLogger("veskit.launcher")


def raise_mode() -> bool:
    return os.environ.get("VESK_ON_FAILURE", "").strip() == "raise"


class PageWatch:
    """Calls `reopen()` while nothing is connected to `port` for `grace`
    seconds, checking every `interval` seconds, until `stop()`."""

    def __init__(self, port: int, reopen: Callable[[], None], *, grace: float = 3.0, interval: float = 0.25) -> None:
        self.port = port
        self.reopen = reopen
        self.grace = grace
        self.interval = interval
        self.reopened = 0
        self._stopped = threading.Event()
        self._thread = threading.Thread(target=self._run, name=f"vesk-page-watch-{port}", daemon=True)

    def start(self) -> "PageWatch":
        self._thread.start()
        return self

    def stop(self) -> None:
        self._stopped.set()
        if self._thread.is_alive() and self._thread is not threading.current_thread():
            self._thread.join(timeout=5)

    def _run(self) -> None:
        lost_since: Optional[float] = None
        while not self._stopped.wait(self.interval):
            state = connected(self.port)
            if state is None:
                return  # no connection table to read here: nothing to watch
            if state or not raise_mode():
                lost_since = None
                continue
            now = time.monotonic()
            if lost_since is None:
                lost_since = now
            elif now - lost_since >= self.grace:
                lost_since = now
                _log.warning("the page of the bridge on port %s has been away for %g s: reopening it",
                             self.port, self.grace)
                try:
                    self.reopen()
                    self.reopened += 1
                except Exception as error:  # the next round tries again
                    _log.warning("reopening the page of port %s failed: %s: %s", self.port,
                                 type(error).__name__, error)
