"""A minimal client of Chromium's DevTools protocol over the websockets package.

Enough to drive the page the launcher opens: numbered commands whose answers
are waited for, and events kept in arrival order (a bounded number of them,
so a page that logs on every step cannot grow memory without end).
"""

from __future__ import annotations

import collections
import json
import threading
from typing import Any, Callable, Deque, Dict, List, Optional


class DevToolsError(RuntimeError):
    """A command failed, timed out, or the browser went away."""


class DevTools:
    """One connection to a browser's DevTools endpoint (``ws://.../devtools/browser/...``)."""

    def __init__(self, url: str, *, max_events: int = 10000, open_timeout: float = 10.0) -> None:
        try:
            from websockets.sync.client import connect
        except ImportError as error:  # websockets before 11 has no sync client
            raise DevToolsError("the DevTools client needs websockets 11 or newer") from error
        self._socket = connect(url, max_size=None, open_timeout=open_timeout)
        self._changed = threading.Condition()
        self._results: Dict[int, Dict[str, Any]] = {}
        self._events: Deque[Dict[str, Any]] = collections.deque(maxlen=max_events)
        self._last_id = 0
        self._gone = False
        self._reader = threading.Thread(target=self._read, name="vesk-devtools", daemon=True)
        self._reader.start()

    def _read(self) -> None:
        try:
            for raw in self._socket:
                message = json.loads(raw)
                with self._changed:
                    if "id" in message:
                        self._results[message["id"]] = message
                    else:
                        self._events.append(message)
                    self._changed.notify_all()
        except Exception:  # the browser went away: waiting calls fail below
            pass
        with self._changed:
            self._gone = True
            self._changed.notify_all()

    def call(self, method: str, session: Optional[str] = None, timeout: float = 10.0, **params: Any) -> Dict[str, Any]:
        """Sends one command (to `session`, a target attached with flatten=True)
        and returns its result."""
        with self._changed:
            self._last_id += 1
            number = self._last_id
        command: Dict[str, Any] = {"id": number, "method": method, "params": params}
        if session:
            command["sessionId"] = session
        try:
            self._socket.send(json.dumps(command))
        except Exception as error:
            raise DevToolsError(f"{method}: the browser's DevTools connection is closed") from error
        with self._changed:
            if not self._changed.wait_for(lambda: number in self._results or self._gone, timeout):
                raise DevToolsError(f"no answer to {method} within {timeout} s")
            if number not in self._results:
                raise DevToolsError(f"{method}: the browser's DevTools connection closed")
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
        self._socket.close()
        self._reader.join(timeout=5)


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
