"""A minimal client of Chromium's DevTools protocol over a pipe pair.

Chromium started with `--remote-debugging-pipe` reads commands from its file
descriptor 3 and writes answers and events to 4, each message JSON ended by
a NUL byte. Unlike `--remote-debugging-port`, nothing listens on the
network: no other local account can find the page (its address holds the
bridge's token) or drive the browser.

Enough to drive the page the launcher opens: numbered commands whose answers
are waited for, and events kept in arrival order (a bounded number of them,
so a page that logs on every step cannot grow memory without end).
"""

from __future__ import annotations

import collections
import json
import os
import threading
from typing import Any, Callable, Deque, Dict, List, Optional

_CHUNK = 1 << 16


class DevToolsError(RuntimeError):
    """A command failed, timed out, or the browser went away."""


class DevTools:
    """One DevTools connection: `commands` is the file descriptor we write
    to (the browser's 3), `answers` the one we read from (its 4). Both are
    owned, and closed by `close`."""

    def __init__(self, commands: int, answers: int, *, max_events: int = 10000) -> None:
        self._commands = commands
        self._answers = answers
        self._send_lock = threading.Lock()
        self._changed = threading.Condition()
        self._results: Dict[int, Dict[str, Any]] = {}
        self._events: Deque[Dict[str, Any]] = collections.deque(maxlen=max_events)
        self._last_id = 0
        self._gone: Optional[str] = None  # why no more answers come
        self._closed = False
        #: Called on the reader's thread with each event's method and parameters.
        self.on_event: Optional[Callable[[str, Dict[str, Any]], None]] = None
        self._reader = threading.Thread(target=self._read, name="vesk-devtools", daemon=True)
        self._reader.start()

    def _read(self) -> None:
        pending = bytearray()
        try:
            while True:
                chunk = os.read(self._answers, _CHUNK)
                if not chunk:
                    reason = "the browser closed its DevTools pipe"
                    break
                pending += chunk
                end = pending.find(b"\0")
                while end >= 0:
                    self._take(json.loads(pending[:end]))
                    del pending[:end + 1]
                    end = pending.find(b"\0")
        except Exception as error:  # a message we cannot read: say so to every caller
            reason = f"the DevTools reader failed: {type(error).__name__}: {error}"
        with self._changed:
            self._gone = reason
            self._changed.notify_all()

    def _take(self, message: Dict[str, Any]) -> None:
        if "id" not in message and self.on_event is not None:
            self.on_event(message["method"], message.get("params", {}))
        with self._changed:
            if "id" in message:
                self._results[message["id"]] = message
            else:
                self._events.append(message)
            self._changed.notify_all()

    def call(self, method: str, session: Optional[str] = None, timeout: float = 10.0, **params: Any) -> Dict[str, Any]:
        """Sends one command (to `session`, a target attached with flatten=True)
        and returns its result."""
        with self._changed:
            if self._gone is not None:
                raise DevToolsError(f"{method}: {self._gone}")
            self._last_id += 1
            number = self._last_id
        command: Dict[str, Any] = {"id": number, "method": method, "params": params}
        if session:
            command["sessionId"] = session
        data = json.dumps(command).encode() + b"\0"
        try:
            with self._send_lock:
                view = memoryview(data)
                while view:
                    view = view[os.write(self._commands, view):]
        except OSError as error:
            raise DevToolsError(f"{method}: the browser's DevTools pipe is closed ({error})") from error
        with self._changed:
            if not self._changed.wait_for(lambda: number in self._results or self._gone is not None, timeout):
                raise DevToolsError(f"no answer to {method} within {timeout} s")
            if number not in self._results:
                raise DevToolsError(f"{method}: {self._gone}")
            answer = self._results.pop(number)
        if "error" in answer:
            raise DevToolsError(f"{method} failed: {answer['error']}")
        result: Dict[str, Any] = answer.get("result", {})
        return result

    def events(self, *methods: str) -> List[Dict[str, Any]]:
        """The parameters of the kept events named `methods`, oldest first."""
        with self._changed:
            return [event["params"] for event in self._events if event["method"] in methods]

    def wait_until(self, predicate: Callable[[], bool], timeout: float) -> bool:
        """Waits until `predicate()` (checked after each message) is true."""
        with self._changed:
            return self._changed.wait_for(predicate, timeout)

    def close(self) -> None:
        """Closes our end of the commands; the reader ends with the browser
        (which holds the other end of the answers)."""
        if self._closed:
            return
        self._closed = True
        try:
            os.close(self._commands)
        except OSError:
            pass
        self._reader.join(timeout=5)
        if not self._reader.is_alive():
            os.close(self._answers)


def console_lines(devtools: DevTools) -> List[str]:
    """What the page wrote with console.error/warn and its uncaught
    exceptions, one line each, oldest first."""
    lines = []
    for event in devtools.events("Runtime.consoleAPICalled", "Runtime.exceptionThrown", "Log.entryAdded"):
        if "args" in event:
            if event["type"] not in ("error", "warning", "assert"):
                continue
            text = " ".join(str(a.get("value", a.get("description", ""))) for a in event["args"])
            lines.append(f"console.{event['type']}: {text}")
        elif "exceptionDetails" in event:
            details = event["exceptionDetails"]
            lines.append("uncaught: " + str(details.get("exception", {}).get("description", details.get("text"))))
        elif event["entry"]["level"] == "error":
            lines.append(f"browser: {event['entry']['text']}")
    return lines
