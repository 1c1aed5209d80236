"""The installed type stubs describe the built module (mypy's stubtest)."""
import os
import subprocess
import sys

import pytest

import Vesk

pytest.importorskip("mypy", reason="mypy is part of the test extra")

REPO_STUBS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "stubs")


def stub_folder():
    installed = os.path.dirname(os.path.abspath(Vesk.__file__))
    return installed if os.path.exists(os.path.join(installed, "Vesk.pyi")) else REPO_STUBS


def test_stubtest_finds_no_difference():
    env = dict(os.environ, MYPYPATH=stub_folder())
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "Vesk", "--mypy-config-file", os.devnull],
        capture_output=True, text=True, env=env, timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
