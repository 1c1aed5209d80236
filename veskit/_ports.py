"""The bridge's port as the launcher sees it: a free one to pick, and whether
it listens or holds a connection, read from /proc without connecting (a
probe connection would reach the bridge's handler)."""

from __future__ import annotations

import socket
from typing import Optional

HOST = "127.0.0.1"


def free_port(host: str = HOST) -> int:
    """An unprivileged TCP port that was free a moment ago."""
    with socket.socket() as probe:
        probe.bind((host, 0))
        port: int = probe.getsockname()[1]
        return port


def listening(port: int) -> Optional[bool]:
    """Whether a socket listens on TCP `port`; None where /proc has no such table."""
    return _tcp_state(port, "0A")


def connected(port: int) -> Optional[bool]:
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
