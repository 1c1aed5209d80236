"""veskit: the standard RL interfaces, the browser launcher and parallel
workers around the `Vesk` module.

`Vesk` itself stays exactly as it is; everything users import besides it
lives here.
"""

from __future__ import annotations

__all__: list[str] = []

# The browser launcher.
from .launcher import (Browser, BrowserStartError, ChromiumNotFoundError, PageNotConnectedError, bundle_folder,
                       find_chromium, free_port, frontend_folder, install_reference_page, page_url)

__all__ += ["Browser", "BrowserStartError", "ChromiumNotFoundError", "PageNotConnectedError", "bundle_folder",
            "find_chromium", "free_port", "frontend_folder", "install_reference_page", "page_url"]
