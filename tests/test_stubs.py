"""The installed type stubs describe the built module (mypy's stubtest)."""
import os
import shutil
import subprocess
import sys

import pytest

import Vesk

pytest.importorskip("mypy", reason="mypy is part of the test extra")

REPO_STUBS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "stubs")


def stub_folder(tmp_path):
    """The stub installed beside the module (copied: mypy refuses site-packages
    on its path), or the repository's for a module built in place."""
    installed = os.path.join(os.path.dirname(os.path.abspath(Vesk.__file__)), "Vesk.pyi")
    if not os.path.exists(installed):
        return REPO_STUBS
    shutil.copy(installed, tmp_path / "Vesk.pyi")
    return str(tmp_path)


def test_stubtest_finds_no_difference(tmp_path):
    env = dict(os.environ, MYPYPATH=stub_folder(tmp_path))
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "Vesk", "--mypy-config-file", os.devnull],
        capture_output=True, text=True, env=env, timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
