"""veskit: the standard RL interfaces around the `Vesk` module.

`Vesk` itself stays exactly as it is; everything users import besides it
lives here:

- `VectorView(env)`: a `gymnasium.vector.VectorEnv` over one environment's
  `num_envs` copies;
- `SingleView(env)`: a `gymnasium.Env` over an environment with one copy;
- `SB3View(env)`: Stable-Baselines3's `VecEnv` (`veskit.sb3`, needs the
  `sb3` extra);
- `Browser`: a headless Chromium that owns an environment's page;
  `NodeHost`: the same over Node, for a page's simulation without a DOM.
"""

from __future__ import annotations

__all__: list[str] = []

# The standard RL interfaces.
from veskit.single import SingleView
from veskit.vector import VectorView

__all__ += ["SingleView", "VectorView"]

# Parallel workers (processes; Ray actors in veskit.ray_workers, needs the
# `ray` extra).
from veskit.workers import ParallelVectorEnv, WorkerError  # noqa: E402

__all__ += ["ParallelVectorEnv", "WorkerError"]

# The launcher and its hosts.
from .hosts import BrowserStartError, ChromiumNotFoundError, HostStartError, NodeNotFoundError, find_chromium, find_node
from .hosts.pages import bundle_folder, frontend_folder, install_reference_page, page_url
from ._ports import free_port
from .launcher import Browser, Launcher, PageNotConnectedError
from .node_host import NodeHost

__all__ += ["Browser", "BrowserStartError", "ChromiumNotFoundError", "HostStartError", "Launcher", "NodeHost",
            "NodeNotFoundError", "PageNotConnectedError", "bundle_folder", "find_chromium", "find_node", "free_port",
            "frontend_folder", "install_reference_page", "page_url"]
