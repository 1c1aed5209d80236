"""Type checkers find the installed stubs with no configuration, the README's
examples type-check against them, and veskit is clean under mypy's strict
flags. One mypy run and one pyright run check it all (tests/type_checks.py)."""
import os
import re

import pytest

from type_checks import readme_examples, veskit_modules

pytest.importorskip("mypy", reason="mypy is part of the test extra")

TYPE_CHECKS = ("mypy", "pyright")  # started at the session's start


def mypy_output(type_checks):
    result = type_checks.mypy.result()
    # 1: errors found (the probe's and the canary's); 2 would be a crash or bad usage.
    assert result.returncode == 1, result.stdout + result.stderr
    return result.stdout


def test_mypy_finds_the_stubs_and_the_readme_checks(type_checks):
    assert len(readme_examples()) >= 3, "the README has its python examples"
    out = mypy_output(type_checks)
    assert 'Revealed type is "def (self: Vesk.Vesk_Pal_st, msg: Any, replyable: Any =' in out, out
    assert 'probe.py:3: error: Argument 1 to "copy_files" has incompatible type "int"' in out, out
    assert "readme.py" not in out, out


def test_pyright_finds_the_stubs_and_the_readme_checks(type_checks):
    if type_checks.pyright is None:
        pytest.skip("pyright (test extra) runs on node")
    out = type_checks.pyright.result().stdout
    assert 'Type of "Vesk.Vesk_Pal_st.one_task" is "(self: Vesk_Pal_st, msg: Any, replyable: Any = True) -> Any"' \
        in out, out
    assert 'Argument of type "Literal[1]" cannot be assigned to parameter "source_folder"' in out, out
    assert "readme.py:" not in out, out


def test_veskit_is_clean_under_mypy_strict(type_checks):
    out = mypy_output(type_checks)
    # The canary, checked under veskit's flags, shows that they apply.
    assert "strict_canary.py:1: error: Function is missing a type annotation" in out, out
    veskit = [line for line in out.splitlines() if f"{os.sep}veskit{os.sep}" in line]
    assert veskit == [], out
    # Each module of the package was checked, with the probe, the README and the canary.
    assert re.search(r"\(checked (\d+) source files\)", out).group(1) == str(3 + len(veskit_modules())), out
