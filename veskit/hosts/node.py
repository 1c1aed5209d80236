"""Node as a host: a page's simulation that needs no DOM, run with the same
client kit and protocol as in a browser, lighter and faster.

The script is a classic script, run in Node's global scope after the client
kit (globalThis.Vesk), as a page's <script> tags are. It also finds
`globalThis.VeskHost`: `port` and `token` (the bridge's), `WebSocket`,
`client(options)` (a `Vesk.VeskClient` dialling the bridge), `load(file)`
(runs another classic script, relative to the script's folder) and
`require` (Node's, relative to the script).

Node's WebSocket is the ws package where it is installed (Debian's
`node-ws`), else Node's own (Node 22 and newer, Node 20 and 21 with
`--experimental-websocket`); see `websocket_setup`.
"""

from __future__ import annotations

import functools
import json
import os
import pathlib
import subprocess
from typing import Any, Dict, Optional, Sequence, Tuple

from .base import HostStartError
from .base import ProcessHost
from .pages import frontend_folder, page_url
from .process import HostProcess, find_program

NODE_VARIABLE = "VESK_NODE"
NODE_NAMES = ("node", "nodejs")
_BOOTSTRAP = pathlib.Path(__file__).resolve().parent / "node_host.mjs"
# Debian's node-ws lives in /usr/share/nodejs, which only Debian's own Node searches.
_WEBSOCKET_PROBE = ("let ws = '';"
                    "for (const where of ['ws', '/usr/share/nodejs/ws']) {"
                    "  try { ws = require.resolve(where); break; } catch (_) {} }"
                    "const own = typeof WebSocket === 'function';"
                    "console.log(JSON.stringify({global: own, ws, version: process.version}));")
_EXPERIMENTAL = "--experimental-websocket"


class NodeNotFoundError(FileNotFoundError):
    """No usable Node was found; the message says how to install one."""


def _install(packages: str) -> str:
    root = getattr(os, "geteuid", lambda: 1)() == 0
    return f"apt-get install -y {packages}" + ("" if root else "  (as root, e.g. with sudo)")


def find_node(executable: Optional[str] = None) -> str:
    """The Node to run: `executable`, else $VESK_NODE, else node or nodejs on PATH."""
    hint = (f"no Node found (looked for ${NODE_VARIABLE} and {', '.join(NODE_NAMES)} on PATH). "
            f"Install it (Debian/Ubuntu: {_install('nodejs')}) or set {NODE_VARIABLE} to its executable.")
    return find_program(executable, NODE_VARIABLE, NODE_NAMES, NodeNotFoundError, hint)


@functools.lru_cache(maxsize=None)
def websocket_setup(executable: str) -> Tuple[Tuple[str, ...], Optional[str]]:
    """How `executable` gets a WebSocket: the flags it needs and the ws
    package's path, None for Node's own WebSocket.

    The ws package comes first where it is installed: measured on Node 20
    it answered faster and took 14 MB less than Node's own WebSocket (which
    loads an HTTP client and its WebAssembly parser). Else Node's own: global
    from Node 22, behind `--experimental-websocket` on Node 20 and 21."""
    def probe(*flags: str) -> Dict[str, Any]:
        try:
            done = subprocess.run([executable, *flags, "-e", _WEBSOCKET_PROBE], capture_output=True, text=True,
                                  timeout=30)
            found: Dict[str, Any] = json.loads(done.stdout) if done.returncode == 0 else {}
            return found
        except (OSError, subprocess.SubprocessError, ValueError):
            return {}

    plain = probe()
    if not plain:
        raise NodeNotFoundError(f"{executable} does not run as Node")
    if plain.get("ws"):
        return (), str(plain["ws"])
    if plain.get("global"):
        return (), None
    if probe(_EXPERIMENTAL).get("global"):
        return (_EXPERIMENTAL,), None
    raise NodeNotFoundError(f"Node {plain.get('version')} ({executable}) has no WebSocket: use Node 22 or newer, "
                            f"or install the ws package (Debian/Ubuntu: {_install('node-ws')})")


def reference_node_script() -> pathlib.Path:
    """The reference cart-pole's Node entry, beside the page's scripts."""
    return frontend_folder() / "dist" / "assets" / "node-main.js"


class Node(ProcessHost):
    """Node running one page script; see the module's documentation."""

    name = "Node"
    role = "Node host"

    def __init__(self, *, executable: Optional[str] = None, args: Sequence[str] = ()) -> None:
        self.requested_executable = executable
        self.args = tuple(args)
        self.process = None

    def start(self) -> None:
        if self.process is not None:
            return
        executable = self.executable = find_node(self.requested_executable)
        kit = frontend_folder() / "dist" / "assets" / "vesk-client.js"
        flags, ws = websocket_setup(executable)
        command = [executable, *flags, *self.args, str(_BOOTSTRAP), str(kit), *([ws] if ws else [])]
        try:
            self.process = HostProcess(self.name, command, stdin=subprocess.PIPE, on_unexpected_exit=self._lost)
        except OSError as error:
            raise HostStartError(f"cannot run {executable}: {error}") from error

    def address(self, page: str, port: int, token: Optional[str]) -> str:
        if "://" in page:
            raise ValueError(f"Node runs a script file, not {page!r}")
        return page_url(page, port, token)

    def open(self, address: str) -> None:
        if self.process is None:
            raise RuntimeError("the Node host is not started")
        try:
            self.process.send_line(address)
        except OSError:
            pass  # Node has ended: the launcher reports its exit

    def close(self) -> None:
        if self.process is not None:
            self.process.close()
