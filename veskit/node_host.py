"""`NodeHost`: the launcher over Node (veskit/hosts/node.py), for a page's
simulation that needs no DOM.

    with veskit.NodeHost(script) as host:
        env = host.make(CartPole)
"""

from __future__ import annotations

import os
from typing import Any, Optional, Sequence, Union

from .hosts.node import Node, reference_node_script
from .launcher import DEFAULT_CONNECT_TIMEOUT, Launcher


class NodeHost(Launcher):
    """A page's simulation that needs no DOM, run by Node: `script` (default:
    the reference cart-pole's Node entry) is a classic script run after the
    client kit, as a page's scripts are (see veskit/hosts/node.py for what
    it is given). `executable` overrides the search of `find_node`; `args`
    are added to Node's flags."""

    def __init__(self, script: Union[str, "os.PathLike[str]", None] = None, *, executable: Optional[str] = None,
                 port: Optional[int] = None, token: Optional[str] = None,
                 connect_timeout: float = DEFAULT_CONNECT_TIMEOUT, args: Sequence[str] = ()) -> None:
        self.node = Node(executable=executable, args=args)
        super().__init__(self.node, script, port=port, token=token, connect_timeout=connect_timeout)

    def _default_page(self) -> "os.PathLike[str]":
        return reference_node_script()

    @property
    def process(self) -> Any:
        """Node's process (a `subprocess.Popen`), None before start."""
        return self.node.process.process if self.node.process is not None else None
