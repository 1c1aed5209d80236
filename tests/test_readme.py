"""The README's Python examples of the subclass, the launcher, the RL
libraries and the workers run as written: each as a script of its own (one
page per process) after the blocks before it that only define things
(`CartPole`, `Spaced`), with headless Chromium."""

import ast
import importlib.util
import os
import re
import subprocess
import sys

import pytest

from conftest import subprocess_env

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SECTIONS = ("A minimal subclass", "The browser launcher", "Use with RL libraries", "Parallel workers and Ray")
# What a block needs beyond the test extra, by the module it imports.
EXTRAS = {"stable_baselines3": "sb3", "moviepy": "video"}


def sections():
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        text = f.read()
    for title, body in re.findall(r"^## (.*?)\n(.*?)(?=^## |\Z)", text, re.S | re.M):
        if title.startswith(SECTIONS):
            yield title, re.findall(r"```python\n(.*?)```", body, re.S)


def defines_only(block):
    return all(isinstance(node, (ast.Import, ast.ImportFrom, ast.ClassDef, ast.FunctionDef))
               for node in ast.parse(block).body)


def examples():
    definitions = []
    for title, blocks in sections():
        for number, block in enumerate(blocks, start=1):
            if defines_only(block):
                definitions.append(block)
            else:
                yield pytest.param("\n".join(definitions + [block]), id=f"{title.split(':')[0]}-{number}")


def test_the_sections_have_their_examples():
    found = {title.split(":")[0]: len(blocks) for title, blocks in sections()}
    assert found["Use with RL libraries"] >= 6 and len(found) == len(SECTIONS), found


@pytest.mark.parametrize("program", list(examples()))
def test_readme_example_runs(program, chromium, tmp_path):
    needs = {"moviepy"} if "RecordVideo" in program else set()
    needs |= {module for module in EXTRAS if module in program}
    for module in sorted(needs):
        if importlib.util.find_spec(module) is None:
            pytest.skip(f'{module} is not installed (pip install ".[{EXTRAS[module]}]")')
    script = tmp_path / "example.py"
    script.write_text(program, encoding="utf-8")
    result = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=300,
                            cwd=str(tmp_path), env=subprocess_env())
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    if "RecordVideo" in program:
        assert list((tmp_path / "videos").glob("*.mp4")), "the recorder wrote its video"
