"""Hosts: the programs a page runs in, under one small interface (`Host`).

- `Chromium` (chromium.py): headless Chromium, driven over its DevTools pipe
  (devtools.py); anything with a DOM.
- `Node` (node.py): a simulation that needs no DOM, in Node.

`HostProcess` (process.py) is what both run as: a session of its own, output
in a log file, a watcher that ends it with its owner. The launcher
(veskit/launcher.py) sits above them.
"""

from __future__ import annotations

from .base import Host, HostStartError, ProcessHost
from .chromium import BrowserStartError, Chromium, ChromiumNotFoundError, find_chromium
from .node import Node, NodeNotFoundError, find_node
from .process import HostProcess

__all__ = ["BrowserStartError", "Chromium", "ChromiumNotFoundError", "Host", "HostProcess", "HostStartError", "Node",
           "NodeNotFoundError", "ProcessHost", "find_chromium", "find_node"]
