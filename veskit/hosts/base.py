"""What the launcher needs from a host: the program a page runs in.

A host starts its program, opens the page at the address the bridge's port
and token make, says whether the program still runs, keeps the program's
output in a log file, and ends everything it started on `close`. The
launcher (veskit/launcher.py) holds the rest: the bridge, construction, the
reports.
"""

from __future__ import annotations

import abc
from typing import Callable, List, Optional

from .process import HostProcess


class HostStartError(RuntimeError):
    """The host's program did not start, or did not become ready."""


class Host(abc.ABC):
    """One program that runs a page: headless Chromium, Node, ..."""

    #: The program's name in messages ("Chromium", "Node").
    name: str = "host"
    #: What reports call it ("the browser exited ...", "the Node host ...").
    role: str = "host"
    #: The program's executable, once found.
    executable: str = ""

    #: Called with one line when the program exits, or its page crashes,
    #: while it was not being closed; the launcher prints it.
    on_lost: Optional[Callable[[str], None]] = None

    @abc.abstractmethod
    def start(self) -> None:
        """Starts the program, ready to open a page (safe to call twice)."""

    @abc.abstractmethod
    def address(self, page: str, port: int, token: Optional[str]) -> str:
        """What `open` is given for `page` to dial the bridge at `port`
        with `token` (for a browser, the page's URL with both in its query)."""

    @abc.abstractmethod
    def open(self, address: str) -> None:
        """Opens the page at `address` (the result of `address`)."""

    @abc.abstractmethod
    def returncode(self) -> Optional[int]:
        """The program's exit status, None while it runs or before it started."""

    @property
    @abc.abstractmethod
    def pid(self) -> Optional[int]:
        """The program's process id, None before it started."""

    @property
    @abc.abstractmethod
    def log_path(self) -> Optional[str]:
        """The file the program's standard output and error go to; it is
        kept after `close`."""

    @abc.abstractmethod
    def output_tail(self, lines: int = 20) -> str:
        """The last `lines` lines of the program's output."""

    def console(self) -> List[str]:
        """What the page reported as errors beyond the program's output
        (a browser's console errors); none by default."""
        return []

    @abc.abstractmethod
    def close(self) -> None:
        """Ends the program and every process it started; safe to call twice."""

    def describe(self) -> str:
        """`<name> (pid <pid>), running` or `..., exited with status <n>`,
        for reports."""
        if self.pid is None:
            return f"{self.executable or self.name}, not started"
        code = self.returncode()
        state = "running" if code is None else f"exited with status {code}"
        return f"{self.executable or self.name} (pid {self.pid}), {state}"


class ProcessHost(Host):
    """A host whose program is one `HostProcess` (with its log and watcher),
    set by `start`."""

    process: Optional[HostProcess] = None

    def _lost(self, line: str) -> None:
        if self.on_lost is not None:
            self.on_lost(line)

    def returncode(self) -> Optional[int]:
        return self.process.returncode() if self.process is not None else None

    @property
    def pid(self) -> Optional[int]:
        return self.process.pid if self.process is not None else None

    @property
    def log_path(self) -> Optional[str]:
        return self.process.log_path if self.process is not None else None

    def output_tail(self, lines: int = 20) -> str:
        return self.process.output_tail(lines) if self.process is not None else "(no output kept)"
