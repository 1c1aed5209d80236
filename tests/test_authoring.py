"""docs/authoring.md and the scaffold in real headless Chromium and Node: the
guide's shell steps (scaffold, train in either host, the new folder's own
tests) and every python block run as written; its page snippets are the
scaffold's own files."""
import os
import re
import subprocess
import sys

import pytest

from conftest import subprocess_env

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GUIDE = os.path.join(ROOT, "docs", "authoring.md")


def blocks(language):
    with open(GUIDE, encoding="utf-8") as f:
        return re.findall(rf"^```{language}\n(.*?)^```", f.read(), re.S | re.M)


def child_env():
    # `python` in the guide's commands is this interpreter, as in an activated venv.
    bin_dir = os.path.dirname(sys.executable)
    return subprocess_env(PATH=bin_dir + os.pathsep + os.environ.get("PATH", ""))


@pytest.fixture(scope="module", name="reach")
def reach_fixture(tmp_path_factory):
    """The folder the guide's first command writes."""
    parent = tmp_path_factory.mktemp("guide")
    done = subprocess.run([sys.executable, "-m", "veskit", "new", "reach"], cwd=parent, capture_output=True,
                          text=True, env=child_env(), timeout=60)
    assert done.returncode == 0, done.stderr
    return parent / "reach"


def test_the_guide_has_its_snippets():
    assert len(blocks("sh")) >= 2 and len(blocks("python")) >= 5 and len(blocks("js")) >= 3


def test_the_shell_steps_scaffold_train_and_test(chromium, node, tmp_path):
    """The guide's commands in order, in an empty folder: the new folder
    trains in both hosts (and its return improves) and passes its own tests."""
    script = "set -e\n" + "\n".join(blocks("sh"))
    done = subprocess.run(["bash", "-c", script], cwd=tmp_path, capture_output=True, text=True, encoding="utf-8",
                          env=child_env(), timeout=300)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    summaries = re.findall(r"^summary: mean return (\S+) -> (\S+) .*; (\w+); ", done.stdout, re.M)
    assert [host for _, _, host in summaries] == ["browser", "node"], done.stdout
    for first, last, _ in summaries:
        assert float(last) > float(first) + 10, done.stdout  # about -50 to -4 with the defaults
    assert summaries[0][:2] == summaries[1][:2]  # the same simulation: the same curve
    assert re.search(r"\b12 passed\b", done.stdout) and "skipped" not in done.stdout, done.stdout[-2000:]
    rows = re.search(r"^\[([^\]]*)\]$", done.stdout, re.M)  # node's print of sim.js's rows
    assert rows and len(rows.group(1).split(",")) == 12, done.stdout


@pytest.mark.parametrize("host", ["browser", "node"])
def test_few_iterations_already_improve(request, reach, host):
    request.getfixturevalue("chromium" if host == "browser" else "node")
    done = subprocess.run([sys.executable, "train.py", "--host", host, "--iterations", "4", "--envs", "32"], cwd=reach,
                          capture_output=True, text=True, encoding="utf-8", env=child_env(), timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    assert len(re.findall(r"^iter ", done.stdout, re.M)) == 4
    assert f"; {host}; " in done.stdout


def test_the_node_entry_says_where_it_runs(node, reach):
    done = subprocess.run([node, "page/assets/node-main.js"], cwd=reach, capture_output=True, text=True, timeout=30)
    assert done.returncode != 0 and "runs under veskit.NodeHost(...)" in done.stderr, done.stderr


@pytest.mark.parametrize("number", range(len(blocks("python"))))
def test_python_block_runs_as_written(request, chromium, reach, number):
    code = blocks("python")[number]
    if "NodeHost" in code:
        request.getfixturevalue("node")
    script = reach / f"guide_{number}.py"  # beside reach_env.py, as a user's script would be
    script.write_text(code, encoding="utf-8")
    done = subprocess.run([sys.executable, script.name], cwd=reach, capture_output=True, text=True,
                          encoding="utf-8", env=child_env(), timeout=120)
    assert done.returncode == 0, f"block {number}:\n{code}\n{done.stdout[-2000:]}{done.stderr[-3000:]}"


def test_the_listed_subclass_is_the_scaffolds(reach):
    listed = [b for b in blocks("python") if "class ReachEnv(" in b]
    assert listed == [(reach / "reach_env.py").read_text(encoding="utf-8")]


def test_page_snippets_are_the_scaffolds_files(reach):
    page = "".join(p.read_text(encoding="utf-8") for p in sorted((reach / "page").rglob("*"))
                   if p.is_file() and p.name != "vesk-client.js")
    for snippet in blocks("js") + blocks("html"):
        assert snippet in page, snippet
