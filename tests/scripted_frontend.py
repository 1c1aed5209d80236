"""Scripted front-end for the bridge and episode tests.

A websockets client that stands in for the browser: it connects to the bridge,
records every message exactly as received (str for a text frame, bytes for a
binary frame, in order) and answers from a script. `run_scenario` starts the
program under test in its own interpreter (the bridge's port is fixed and its
failures end the process), drives it with the script and collects its exit
status and output. Every wait is bounded, so a broken bridge fails a test
instead of hanging the run.

    result = run_scenario(PROGRAM, [Rows(np.zeros((3, 4), np.float32)),
                                    Text("None"), Delay(1.0), Close()])
    assert result.returncode == 0, result.summary()
    assert result.messages[0] == '{"env": "init", ...}'
"""

from __future__ import annotations

import asyncio
import os
import socket
import subprocess
import sys
import tempfile
import textwrap
import time
from dataclasses import dataclass, field
from typing import Callable, List, Optional, Sequence, Union

import numpy as np
from websockets.asyncio.client import connect
from websockets.exceptions import ConnectionClosed, InvalidHandshake, InvalidStatus

HOST = "127.0.0.1"
# The bridge's own port. Only the tests of that default use it; every other
# scenario takes a free port through VESK_PORT, so that runs in parallel and
# another program holding port 70 do not matter.
DEFAULT_PORT = 70

Message = Union[str, bytes]


# ---------------------------------------------------------------- script steps

@dataclass(frozen=True, eq=False)
class Rows:
    """Take the next message, wait `delay` seconds, answer with a binary frame
    holding `array` as native-order float32 rows."""

    array: object
    delay: float = 0.0

    def payload(self) -> bytes:
        return np.ascontiguousarray(self.array, dtype=np.float32).tobytes()


@dataclass(frozen=True)
class Text:
    """Take the next message, wait `delay` seconds, answer with a text frame."""

    text: str
    delay: float = 0.0

    def payload(self) -> str:
        return self.text


@dataclass(frozen=True)
class Recv:
    """Take the next message and leave it unanswered."""


@dataclass(frozen=True)
class Delay:
    """Do nothing for `seconds` (keepalive pings are still answered)."""

    seconds: float


@dataclass(frozen=True)
class Unasked:
    """Send a message nobody asked for."""

    message: Message


@dataclass(frozen=True)
class Close:
    """Close the connection with a close frame."""

    code: int = 1000
    reason: str = ""


@dataclass(frozen=True)
class Ping:
    """Ping the bridge; the pong's delay (or None after `timeout`) goes to
    `pings`. A bridge whose event loop is frozen does not answer."""

    timeout: float = 5.0


@dataclass(frozen=True)
class SecondConnection:
    """Open another connection while this one is served and record how the
    bridge treats it (in `second_connections`). `origin` is sent as the
    Origin header; `path` is the request path with its query."""

    timeout: float = 5.0
    origin: Optional[str] = None
    path: str = "/"


@dataclass(frozen=True)
class Reconnect:
    """Wait (at most `timeout`) for the bridge to close this connection, record
    its close code in `closes` (None: we closed it ourselves), then connect
    again, as the client kit does, and play the rest of the script there."""

    timeout: float = 5.0


Step = Union[Rows, Text, Recv, Delay, Unasked, Close, Ping, SecondConnection, Reconnect]
_STEP_TYPES = (Rows, Text, Recv, Delay, Unasked, Close, Ping, SecondConnection, Reconnect)


# --------------------------------------------------------------------- results

@dataclass
class SecondConnectionResult:
    close_code: Optional[int] = None  # None: the bridge never closed it
    close_reason: Optional[str] = None
    messages: List[Message] = field(default_factory=list)
    error: Optional[str] = None  # a refused handshake or a connection left open
    status: Optional[int] = None  # the HTTP status of a refused handshake


@dataclass
class FrontendLog:
    connected: bool = False
    messages: List[Message] = field(default_factory=list)
    steps_done: int = 0
    failure: Optional[str] = None  # why the script stopped early
    close_code: Optional[int] = None  # received from the bridge; 1006: dropped
    close_reason: Optional[str] = None
    pings: List[Optional[float]] = field(default_factory=list)
    second_connections: List[SecondConnectionResult] = field(default_factory=list)
    refused_status: Optional[int] = None  # the HTTP status that refused the handshake
    closes: List[Optional[int]] = field(default_factory=list)  # codes of connections left by Reconnect


@dataclass
class ScenarioResult(FrontendLog):
    returncode: Optional[int] = None  # negative: killed by that signal
    stdout: str = ""
    stderr: str = ""
    timed_out: bool = False  # the program had to be killed

    def summary(self) -> str:
        """A digest for assertion messages."""
        lines = [
            f"returncode={self.returncode} timed_out={self.timed_out} "
            f"connected={self.connected} steps_done={self.steps_done} "
            f"close={self.close_code} {self.close_reason!r}",
            f"failure: {self.failure}",
            f"messages: {[_clip(m) for m in self.messages]}",
            f"stdout: {self.stdout[-2000:]!r}",
            f"stderr: {self.stderr[-2000:]!r}",
        ]
        return "\n".join(lines)


def _clip(message: Message, limit: int = 120) -> Message:
    if len(message) <= limit:
        return message
    return message[:limit] + (b"..." if isinstance(message, bytes) else "...")


# -------------------------------------------------------------------- the client

def _client_options(extra: Optional[dict]) -> dict:
    # Like a browser: no keepalive pings of its own (pings sent by the bridge
    # are still answered), no size limit on messages, no proxy for loopback.
    options = dict(ping_interval=None, max_size=None, proxy=None, close_timeout=5)
    options.update(extra or {})
    return options


class ScriptedFrontend:
    """The client: connect (retrying while the port refuses), play the script,
    then keep recording until the connection closes or `stop()` is true."""

    def __init__(self, script: Sequence[Step], *, host: str = HOST,
                 connect_timeout: float = 10.0, client_options: Optional[dict] = None,
                 origin: Optional[str] = None, path: str = "/"):
        self.script = check_script(script)
        self.host = host
        self.origin = origin
        self.path = path
        self.connect_timeout = connect_timeout
        self.options = _client_options(client_options)
        self.log = FrontendLog()  # filled as it goes, so a cancelled run still tells

    async def run(self, port: int, stop: Callable[[], bool] = lambda: False) -> FrontendLog:
        ws = await self._connect(port, stop)
        if ws is None:
            return self.log
        self.log.connected = True
        try:
            for index, step in enumerate(self.script):
                try:
                    if isinstance(step, Reconnect):
                        ws = await self._reconnect(ws, port, step, stop)
                        if ws is None:
                            return self.log
                    else:
                        await self._play(ws, port, step)
                except ConnectionClosed as exc:
                    self.log.failure = f"step {index} {step!r}: connection closed ({exc})"
                    break
                self.log.steps_done += 1
            await self._linger(ws, stop)
        finally:
            await ws.close()  # no-op once closed; bounded by close_timeout
            self.log.close_code = ws.close_code
            self.log.close_reason = ws.close_reason
        return self.log

    async def _reconnect(self, ws, port: int, step: Reconnect, stop: Callable[[], bool]):
        try:
            await asyncio.wait_for(ws.wait_closed(), step.timeout)
            self.log.closes.append(ws.close_code)
        except asyncio.TimeoutError:
            self.log.closes.append(None)
            await ws.close()
        return await self._connect(port, stop)

    async def _connect(self, port: int, stop: Callable[[], bool]):
        loop = asyncio.get_running_loop()
        deadline = loop.time() + self.connect_timeout
        uri = f"ws://{self.host}:{port}{self.path}"
        while True:
            try:
                return await connect(uri, origin=self.origin, **self.options)
            except InvalidStatus as exc:
                self.log.refused_status = exc.response.status_code
                self.log.failure = f"could not connect to {uri}: {exc!r}"
                return None
            except OSError as exc:
                # Refused while the server is not listening yet; anything
                # slower than that (a handshake timing out) is an answer.
                if isinstance(exc, TimeoutError) or stop() or loop.time() >= deadline:
                    self.log.failure = f"could not connect to {uri}: {exc!r}"
                    return None
            except (InvalidHandshake, asyncio.TimeoutError) as exc:
                self.log.failure = f"could not connect to {uri}: {exc!r}"
                return None
            await asyncio.sleep(0.05)

    async def _play(self, ws, port: int, step: Step) -> None:
        if isinstance(step, (Rows, Text, Recv)):
            self.log.messages.append(await ws.recv())
            if isinstance(step, Recv):
                return
            if step.delay:
                await asyncio.sleep(step.delay)
            await ws.send(step.payload())
        elif isinstance(step, Delay):
            await asyncio.sleep(step.seconds)
        elif isinstance(step, Unasked):
            await ws.send(step.message)
        elif isinstance(step, Close):
            await ws.close(step.code, step.reason)
        elif isinstance(step, Ping):
            start = time.perf_counter()
            pong = await ws.ping()
            try:
                await asyncio.wait_for(pong, step.timeout)
            except asyncio.TimeoutError:
                self.log.pings.append(None)
            else:
                self.log.pings.append(time.perf_counter() - start)
        else:
            self.log.second_connections.append(
                await open_second_connection(port, host=self.host, timeout=step.timeout,
                                             origin=step.origin, path=step.path))

    async def _linger(self, ws, stop: Callable[[], bool]) -> None:
        # Whatever the program sends after the script is recorded too; it ends
        # when the bridge goes away or the caller says so.
        while not stop():
            try:
                self.log.messages.append(await asyncio.wait_for(ws.recv(), 0.1))
            except asyncio.TimeoutError:
                continue  # cancelling recv loses nothing in this client
            except ConnectionClosed:
                return


async def open_second_connection(port: int, *, host: str = HOST, timeout: float = 5.0,
                                 origin: Optional[str] = None, path: str = "/") -> SecondConnectionResult:
    """Connect, read until the bridge closes the connection or `timeout` passes
    (then close it ourselves and say so)."""
    result = SecondConnectionResult()
    try:
        ws = await connect(f"ws://{host}:{port}{path}", open_timeout=timeout, origin=origin,
                           **_client_options(None))
    except InvalidStatus as exc:
        result.status = exc.response.status_code
        result.error = f"refused: {exc!r}"
        return result
    except (OSError, InvalidHandshake, asyncio.TimeoutError) as exc:
        result.error = f"no connection: {exc!r}"
        return result
    loop = asyncio.get_running_loop()
    deadline = loop.time() + timeout
    try:
        while True:
            result.messages.append(
                await asyncio.wait_for(ws.recv(), max(deadline - loop.time(), 0)))
    except ConnectionClosed:
        await ws.wait_closed()
        result.close_code, result.close_reason = ws.close_code, ws.close_reason
    except asyncio.TimeoutError:
        result.error = f"still open after {timeout} s"
        await ws.close()
    return result


def check_script(script: Sequence[Step]) -> List[Step]:
    steps = list(script)
    for index, step in enumerate(steps):
        if not isinstance(step, _STEP_TYPES):
            raise TypeError(f"script step {index} is not a step: {step!r}")
    return steps


# -------------------------------------------------------------------- scenarios

def run_scenario(program: str, script: Optional[Sequence[Step]] = (), *,
                 port: Optional[int] = None, timeout: float = 60.0,
                 connect_timeout: float = 10.0, connect_after: float = 0.0,
                 env: Optional[dict] = None, cwd: Optional[str] = None,
                 client_options: Optional[dict] = None, origin: Optional[str] = None,
                 path: str = "/") -> ScenarioResult:
    """Run `program` (Python source, dedented) with `sys.executable -c` and play
    `script` against the bridge it starts on `port`: by default a free one,
    set as VESK_PORT; `DEFAULT_PORT` runs the bridge without VESK_PORT.

    `script=None` runs the program without connecting at all. The connection
    is made `connect_after` seconds after the start (tasks queue up meanwhile),
    retried while refused for at most `connect_timeout` seconds or until the
    program exits. Everything, including waiting for the exit, is bounded by
    `timeout`: past it the program is killed and `timed_out` is set.
    `origin` and `path` (with its query) go into the front-end's handshake.
    The front-end is a hand-written client: the bridge admits it without a
    token (VESK_TOKEN=off) unless `env` sets VESK_TOKEN ("" for the run's own).
    """
    frontend = None if script is None else ScriptedFrontend(
        script, connect_timeout=connect_timeout, client_options=client_options, origin=origin, path=path)
    child_env = dict(os.environ)  # PYTHONPATH and the rest carry over
    child_env.setdefault("PYTHONIOENCODING", "utf-8")
    child_env["VESK_TOKEN"] = "off"
    child_env.update(env or {})
    if port is None:
        port = free_port()
    if port == DEFAULT_PORT:
        child_env.pop("VESK_PORT", None)
    else:
        child_env["VESK_PORT"] = str(port)
    deadline = time.monotonic() + timeout
    result = ScenarioResult()
    # Files, not pipes: a chatty program can never block on a full pipe.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(program)],
                                stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                env=child_env, cwd=cwd)
        try:
            if frontend is not None:
                asyncio.run(_drive(frontend, port, proc, connect_after, deadline))
                result.__dict__.update(vars(frontend.log))
            try:
                proc.wait(timeout=max(deadline - time.monotonic(), 1.0))
            except subprocess.TimeoutExpired:
                result.timed_out = True
        finally:
            if proc.poll() is None:
                proc.kill()
            result.returncode = proc.wait()
        result.stdout = _read(out)
        result.stderr = _read(err)
    return result


async def _drive(frontend: ScriptedFrontend, port: int, proc: subprocess.Popen,
                 connect_after: float, deadline: float) -> None:
    def program_ended() -> bool:
        return proc.poll() is not None

    try:
        await asyncio.wait_for(_delayed_run(frontend, port, program_ended, connect_after),
                               max(deadline - time.monotonic(), 0.1))
    except asyncio.TimeoutError:
        if frontend.log.failure is None:
            frontend.log.failure = "scenario timed out"


async def _delayed_run(frontend, port, stop, connect_after) -> None:
    if connect_after:
        await asyncio.sleep(connect_after)
    await frontend.run(port, stop)


def _read(file) -> str:
    file.seek(0)
    return file.read().decode("utf-8", errors="backslashreplace")


# ------------------------------------------------------------------------ ports

def is_listening(port: int) -> bool:
    """True if some socket listens on TCP `port`, found without connecting: a
    connection dropped before its handshake makes websockets 15 servers log
    a traceback on stderr, which would spoil what the tests read there."""
    found = False
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                next(f)
                for line in f:
                    local, state = line.split()[1], line.split()[3]
                    if state == "0A" and int(local.rsplit(":", 1)[1], 16) == port:
                        found = True
        except OSError:
            continue
        else:
            if found:
                return True
    if os.path.exists("/proc/net/tcp"):
        return False
    with socket.socket() as probe:  # elsewhere, the intrusive way
        return probe.connect_ex((HOST, port)) == 0


def wait_for_port(port: int, timeout: float = 10.0, proc: Optional[subprocess.Popen] = None) -> bool:
    """Wait until `port` is listening; False after `timeout`, or at once when
    `proc` (the program that should listen) has exited."""
    deadline = time.monotonic() + timeout
    while not is_listening(port):
        if time.monotonic() >= deadline or (proc is not None and proc.poll() is not None):
            return False
        time.sleep(0.02)
    return True


def skip_unless_bound(result: ScenarioResult, port: int) -> None:
    """Skips the test when the bridge of `result` could not bind `port`
    because another program holds it or this process lacks the privilege.
    The bridge's own bind is the probe: a probe made beforehand would leave
    a moment in which another program could take the port."""
    import errno

    import pytest

    for code in (errno.EADDRINUSE, errno.EACCES):
        if f"port {port}: OSError: [Errno {code}]" in result.stderr:
            pytest.skip(f"the bridge could not bind port {port}: {result.stderr.splitlines()[-1]}")


def free_port() -> int:
    """An unprivileged port that was free a moment ago."""
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]
