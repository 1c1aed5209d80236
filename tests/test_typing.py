"""Type checkers find the installed stubs with no configuration, the README's
examples type-check against them, and veskit is clean under mypy --strict."""
import os
import re
import shutil
import subprocess
import sys

import pytest

pytest.importorskip("mypy", reason="mypy is part of the test extra")

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BIN = os.path.dirname(sys.executable)
# What mypy and pyright report for a module without stubs: the check must see
# the stub's own types, not a module of unknown type.
PROBE = """\
import Vesk
reveal_type(Vesk.Vesk_Pal_st.one_task)
Vesk.copy_files(1, "b")
"""


def readme_examples():
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        blocks = re.findall(r"```python\n(.*?)```", f.read(), re.S)
    try:
        import stable_baselines3  # noqa: F401
    except ImportError:  # those examples need the sb3 extra
        blocks = [b for b in blocks if "stable_baselines3" not in b and "veskit.sb3" not in b]
    return blocks


@pytest.fixture
def user_folder(tmp_path):
    """A user's project outside the checkout: nothing on the path but the
    installed packages, no configuration file."""
    (tmp_path / "probe.py").write_text(PROBE)
    # Read top to bottom, as a user does: later examples use earlier names.
    (tmp_path / "readme.py").write_text("\n".join(readme_examples()))
    return tmp_path


def run(tool, *args, cwd):
    # As in an activated virtual environment: its bin first on PATH.
    env = dict(os.environ, PATH=BIN + os.pathsep + os.environ.get("PATH", ""))
    env.pop("MYPYPATH", None)
    return subprocess.run([os.path.join(BIN, tool), *args], capture_output=True, text=True, cwd=cwd, env=env,
                          timeout=300)


def test_mypy_finds_the_stubs_and_the_readme_checks(user_folder):
    assert len(readme_examples()) >= 3, "the README has its python examples"
    result = run("mypy", "--no-incremental", "probe.py", "readme.py", cwd=user_folder)
    out = result.stdout
    assert 'Revealed type is "def (self: Vesk.Vesk_Pal_st, msg: Any, replyable: Any =' in out, out
    assert 'probe.py:3: error: Argument 1 to "copy_files" has incompatible type "int"' in out, out
    assert "readme.py" not in out, out


def test_pyright_finds_the_stubs_and_the_readme_checks(user_folder):
    if not os.path.exists(os.path.join(BIN, "pyright")) or shutil.which("node") is None:
        pytest.skip("pyright (test extra) runs on node")
    result = run("pyright", "probe.py", "readme.py", cwd=user_folder)
    out = result.stdout
    assert 'Type of "Vesk.Vesk_Pal_st.one_task" is "(self: Vesk_Pal_st, msg: Any, replyable: Any = True) -> Any"' \
        in out, out
    assert 'Argument of type "Literal[1]" cannot be assigned to parameter "source_folder"' in out, out
    assert "readme.py:" not in out, out


def test_veskit_is_clean_under_mypy_strict():
    folder = os.path.join(ROOT, "veskit")
    files = sorted(os.path.relpath(os.path.join(where, name), ROOT)
                   for where, _, names in os.walk(folder) for name in names if name.endswith(".py"))
    try:
        import stable_baselines3  # noqa: F401
    except ImportError:  # the sb3 extra is not installed: its view cannot be checked
        files = [f for f in files if not f.endswith("sb3.py")]
    result = run("mypy", "--strict", "--no-incremental", *files, cwd=ROOT)
    assert result.returncode == 0, result.stdout + result.stderr
