"""Helpers shared by the test files: running Python code in a fresh interpreter.

Anything that starts the bridge, ends the process or needs a first import runs
in its own interpreter: the queues are process-wide and the module is made
once per process.
"""
import os
import subprocess
import sys
import textwrap

import pytest

import Vesk
import veskit

# The folder the module under test was imported from, so that a child
# interpreter imports the same build whatever put it on this one's path.
MODULE_DIR = os.path.dirname(os.path.abspath(Vesk.__file__))


def subprocess_env(**extra):
    """The environment for a child interpreter: ours, with the module's folder
    first on PYTHONPATH and UTF-8 standard streams; `extra` overrides."""
    env = dict(os.environ)
    inherited = [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join([MODULE_DIR] + inherited)
    env["PYTHONIOENCODING"] = "utf-8"
    env.update(extra)
    return env


def run_python(code, timeout=60, env=None, cwd=None):
    """Runs `code` (dedented) with this interpreter in a new process and
    returns the CompletedProcess, stdout and stderr as text."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        encoding="utf-8",
        timeout=timeout,
        env=subprocess_env(**(env or {})),
        cwd=cwd,
    )


@pytest.fixture(name="run_python")
def run_python_fixture():
    return run_python


@pytest.fixture(name="chromium")
def chromium_fixture():
    """The browser for the tests that need one: CI must have it, elsewhere
    those tests skip."""
    try:
        return veskit.find_chromium()
    except veskit.ChromiumNotFoundError as error:
        if "CI" in os.environ:
            pytest.fail(f"CI must run the browser tests: {error}")
        pytest.skip(f"{error} CI runs this test.")


def processes_mentioning(text):
    """The pids of the processes whose command line holds `text` (Linux)."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if text.encode() in f.read():
                    found.append(pid)
        except OSError:
            pass
    return found


@pytest.fixture(name="node")
def node_fixture():
    """Node with a WebSocket, for the Node host's tests: CI must have it,
    elsewhere those tests skip."""
    from veskit.hosts.node import websocket_setup
    try:
        executable = veskit.find_node()
        websocket_setup(executable)
        return executable
    except veskit.NodeNotFoundError as error:
        if "CI" in os.environ:
            pytest.fail(f"CI must run the Node host tests: {error}")
        pytest.skip(f"{error} CI runs this test.")
