"""A host's program as a process: its own session, its output in a log file,
and nothing of it left behind however its owner ends.

The program leads a new session, so that its helpers (Chromium's renderer,
GPU and network processes) share its process group and end with it. A small
watcher process ends that group when the owner dies without clean-up
(`os._exit`, a signal): the owner holds the write end of the watcher's
stdin, which the kernel closes at exit.
"""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
from typing import IO, Callable, Dict, Optional, Sequence

# argv: the process group, then the folders to remove once it has ended.
_WATCHER = """\
import os, shutil, signal, sys, time
signal.signal(signal.SIGINT, signal.SIG_IGN)
if sys.stdin.buffer.read():
    sys.exit()  # the owner closed the program itself
group = int(sys.argv[1])
try:
    os.killpg(group, signal.SIGTERM)
    time.sleep(0.5)  # Chromium ends its helpers on SIGTERM; the rest is killed
    os.killpg(group, signal.SIGKILL)
except OSError:
    pass
time.sleep(0.2)
for folder in sys.argv[2:]:
    shutil.rmtree(folder, ignore_errors=True)
"""


_TAIL_BYTES = 1 << 16  # enough for any tail we show; a log can grow large


def exit_status(code: int) -> str:
    """`status 1`, or for a signal `status -9 (SIGKILL)`."""
    if code < 0:
        try:
            return f"status {code} ({signal.Signals(-code).name})"
        except ValueError:
            pass
    return f"status {code}"


def find_program(executable: Optional[str], variable: str, names: Sequence[str],
                 not_found: Callable[[str], Exception], hint: str) -> str:
    """The program to run: `executable`, else $`variable`, else the first of
    `names` on PATH; otherwise `not_found(message)` is raised (`hint` when
    nothing was named)."""
    given = executable or os.environ.get(variable)
    if given:
        path = shutil.which(given)
        if path is None:
            source = "executable" if executable else f"${variable}"
            raise not_found(f"{source} names {given!r}, which is not an executable file")
        return path
    for name in names:
        path = shutil.which(name)
        if path:
            return path
    raise not_found(hint)

class HostProcess:
    """Runs `command` with its output in a new log file named after `name`
    (in the temporary folder, kept after close). `remove` lists folders that
    go once the process has ended (a browser profile); `pass_fds` are left
    open in the child; `stdin=subprocess.PIPE` gives a pipe for `send_line`.
    `on_unexpected_exit(line)` is called, on a thread of
    its own, when the process ends while `close` was not called."""

    def __init__(self, name: str, command: Sequence[str], *, env: Optional[Dict[str, str]] = None,
                 pass_fds: Sequence[int] = (), remove: Sequence[str] = (), stdin: int = subprocess.DEVNULL,
                 on_unexpected_exit: Optional[Callable[[str], None]] = None) -> None:
        self.name = name
        self.remove = tuple(remove)
        self.on_unexpected_exit = on_unexpected_exit
        self._closing = False
        descriptor, self.log_path = tempfile.mkstemp(prefix=f"vesk-{name.lower()}-", suffix=".log")
        self._log: IO[bytes] = os.fdopen(descriptor, "w+b")
        posix = os.name == "posix"
        try:
            self.process = subprocess.Popen(list(command), stdin=stdin, stdout=self._log,
                                            stderr=subprocess.STDOUT, start_new_session=posix, env=env,
                                            pass_fds=tuple(pass_fds))
        except OSError:
            self._log.close()
            self._remove()
            raise
        self._watcher: Optional[subprocess.Popen[bytes]] = None
        if posix:
            self._watcher = subprocess.Popen(
                [sys.executable, "-I", "-S", "-c", _WATCHER, str(self.process.pid), *self.remove],
                stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        threading.Thread(target=self._watch, name=f"vesk-{name.lower()}-watch", daemon=True).start()

    @property
    def pid(self) -> int:
        return self.process.pid

    def returncode(self) -> Optional[int]:
        return self.process.poll()

    def send_line(self, text: str) -> None:
        """Writes one line to the program's standard input (kept open)."""
        assert self.process.stdin is not None
        self.process.stdin.write(text.encode() + b"\n")
        self.process.stdin.flush()

    def _watch(self) -> None:
        code = self.process.wait()
        if not self._closing and self.on_unexpected_exit is not None:
            self.on_unexpected_exit(f"veskit: {self.name} exited unexpectedly ({exit_status(code)}); "
                                    f"its output is in {self.log_path}")

    def output_tail(self, lines: int = 20) -> str:
        """The last `lines` lines the program wrote."""
        if not self._log.closed:
            self._log.flush()
        try:
            with open(self.log_path, "rb") as f:
                f.seek(max(0, os.fstat(f.fileno()).st_size - _TAIL_BYTES))
                text = f.read().decode("utf-8", "replace")
        except OSError:
            return "(no output kept)"
        tail = text.rstrip().splitlines()[-lines:]
        return "\n".join(tail) if tail else "(nothing)"

    def close(self, grace: float = 0.0) -> None:
        """Ends the process and its group: after `grace` seconds for it to end
        by itself (it was asked to), SIGTERM, then SIGKILL for what is left."""
        if self._closing:
            return
        self._closing = True
        _end_process_group(self.process, grace)
        if self.process.stdin is not None:
            self.process.stdin.close()
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
        self._log.close()
        self._remove()

    def _remove(self) -> None:
        for folder in self.remove:
            shutil.rmtree(folder, ignore_errors=True)


def _end_process_group(process: "subprocess.Popen[bytes]", grace: float) -> None:
    if os.name != "posix":
        process.kill()
        process.wait()
        return
    try:
        process.wait(timeout=grace)
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
