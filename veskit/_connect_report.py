"""Why a launcher's page did not answer: the report `PageNotConnectedError`
carries (the reason, the page, the host, the bridge port, what the page
logged, the tail of the host's output), with the token redacted."""

from __future__ import annotations

import re
from typing import TYPE_CHECKING, List, Optional

from ._ports import connected, listening

if TYPE_CHECKING:
    from .launcher import Launcher

_LISTENING = {True: "listening", False: "not listening", None: "state unknown"}
# What a browser logs when the bridge refuses the opening handshake.
_REFUSED = re.compile(r"(?:Unexpected response code|status code|HTTP)\W*403")
_TOKEN_IN_URL = re.compile(r"([?&]token=)[^&#\s'\"]*")


def redact(text: str, token: Optional[str]) -> str:
    """`text` with the token's value, in a URL or anywhere, shown as <redacted>."""
    text = _TOKEN_IN_URL.sub(r"\1<redacted>", text)
    return text.replace(token, "<redacted>") if token else text


def connect_problem(launcher: "Launcher", bridge_error: Optional[BaseException], past_deadline: bool,
                    page_opened: bool) -> Optional[str]:
    """Why waiting for `launcher`'s page is over, or None to wait on."""
    host = launcher.host
    role = host.role
    code = host.returncode()
    refused = [line for line in launcher.console() if _REFUSED.search(line)]
    if bridge_error is not None:
        reason = f"the bridge could not start: {type(bridge_error).__name__}: {bridge_error}"
    elif code is not None:
        reason = f"the {role} exited (status {code}) before the page answered"
    elif refused:
        reason = _refusal(refused[-1], launcher.token)
    elif past_deadline:
        if connected(launcher.port or 0):
            reason = f"the page connected but did not answer the first task within {launcher.connect_timeout:g} s"
        else:
            reason = f"the page did not connect within {launcher.connect_timeout:g} s"
    else:
        return None
    opened = "" if page_opened else " (not opened: the bridge never listened)"
    lines: List[str] = [
        reason,
        f"  page: {launcher.url}{opened}",
        f"  {role}: {host.describe()}",
        f"  bridge: port {launcher.port}, {_LISTENING[listening(launcher.port or 0)]}",
    ]
    console = launcher.console()[-10:]
    if console:
        lines += ["  the page logged:"] + ["    " + line for line in console]
    if not refused and bridge_error is None:  # the host's noise says nothing of these
        lines += [f"  the {role}'s output ({launcher.log_path}) ends with:"]
        lines += ["    " + line for line in launcher.output_tail().splitlines()]
    return redact("\n".join(lines), launcher.token)


def _refusal(line: str, token: str) -> str:
    """The reason for a handshake the bridge refused (HTTP 403)."""
    match = _TOKEN_IN_URL.search(line)
    sent = match.group(0).split("=", 1)[1] if match else None
    if sent == token:
        return ("the bridge refused the page (HTTP 403) although its token is right: its origin is not "
                "admitted (VESK_ORIGINS admits more)")
    what = "no token" if match is None else "a wrong token"
    return (f"the bridge refused the page (HTTP 403): it sent {what}; the page must pass token=... from "
            "its own address to the websocket's (the client kit does)")
