"""The installed type stubs describe the built module (mypy's stubtest, run
beside the other type checkers: tests/type_checks.py)."""
import pytest

pytest.importorskip("mypy", reason="mypy is part of the test extra")

TYPE_CHECKS = ("stubtest",)  # started at the session's start


def test_stubtest_finds_no_difference(type_checks):
    result = type_checks.stubtest.result()
    assert result.returncode == 0, result.stdout + result.stderr
