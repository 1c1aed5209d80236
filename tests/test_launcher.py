"""veskit.Browser: port and token, the connect timeout's report, and no browser
process or profile left behind however the owner ends. Each browser runs in
a child interpreter: the bridge's queues are process-wide."""
import json
import os
import re
import shutil
import tempfile
import textwrap
import time

import pytest

import veskit
from conftest import processes_mentioning, run_python
from scripted_frontend import free_port

PAGE = veskit.frontend_folder() / "dist" / "index.html"

CHILD = f"""
import json, os, signal, socket, sys, time
import numpy as np
import Vesk, veskit

class CartPole(Vesk.Vesk_Pal_st):
    def __init__(self, render_mode=None):
        self.num_envs = 2
        self.render_mode = render_mode
        self.add_obj = {{"max_steps": 20}}
        self.obs_target = None
        super().__init__()
    def explain_reset(self, flags):
        return None, None
    def explain_action(self, action):
        return np.asarray(action, np.float32).reshape(2, 1)
    def explain_obs(self, obs):
        return obs
    def reward(self, state):
        return state[:, 4], state[:, 5] > 0.5, state[:, 6] > 0.5, np.zeros(2, bool)

def show(**values):
    print(json.dumps(values), flush=True)

PAGE = {str(PAGE)!r}
"""


@pytest.fixture(name="tmp")
def tmp_fixture():
    """The child's TMPDIR, where the browser profile goes; short, since
    Chromium puts a unix socket there."""
    path = tempfile.mkdtemp(prefix="vesk-test-")
    yield path
    shutil.rmtree(path, ignore_errors=True)


def run_child(code, tmp, timeout=60):
    return run_python(CHILD + textwrap.dedent(code), timeout=timeout, env={"TMPDIR": tmp})


def shown(result):
    return [json.loads(line) for line in result.stdout.splitlines() if line.startswith("{")]


def left_behind(tmp):
    """What is in `tmp` besides the hosts' log files, which are kept."""
    return [name for name in os.listdir(tmp) if not re.fullmatch(r"vesk-(chromium|node)-\w+\.log", name)]


def assert_nothing_left(tmp, within=5.0):
    """No process uses anything under `tmp` and no profile is left there."""
    deadline = time.monotonic() + within
    while (processes_mentioning(tmp) or left_behind(tmp)) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert processes_mentioning(tmp) == [], "processes of the browser survived"
    assert left_behind(tmp) == [], "the browser's profile was left behind"


@pytest.mark.parametrize(
    "ending",
    [
        "with browser: env.close()",
        "with browser: raise RuntimeError('inside the with block')",
        "sys.exit(0)",  # neither close nor with: interpreter exit
        "os._exit(3)",  # no clean-up at all, as after a failed task
        "os.kill(os.getpid(), signal.SIGKILL)",
    ],
    ids=["env-close", "error", "interpreter-exit", "os-exit", "sigkill"],
)
def test_no_browser_survives_its_owner(chromium, tmp, ending):
    result = run_child(
        f"""
        browser = veskit.Browser(PAGE)
        browser.start()
        env = browser.make(CartPole)
        env.reset()
        show(pid=browser.process.pid)
        {ending}
        """,
        tmp,
    )
    assert len(shown(result)) == 1, result.stdout + result.stderr
    assert_nothing_left(tmp)


def test_port_token_and_one_environment_per_process(chromium, tmp):
    held = free_port()
    result = run_child(
        """
        with veskit.Browser(PAGE, connect_timeout=20) as browser:
            env = browser.make(CartPole, render_mode="rgb_array")
            show(port=browser.port, token=browser.token, variables=[os.environ["VESK_PORT"], os.environ["VESK_TOKEN"]],
                 search=browser.evaluate("location.search"), canvas=list(env.render().shape))
            try:
                veskit.Browser(PAGE).make(CartPole)
            except RuntimeError as error:
                show(second=str(error))
        """,
        tmp,
    )
    assert result.returncode == 0, result.stderr
    first, second = shown(result)
    assert first["variables"] == [str(first["port"]), first["token"]]
    assert first["port"] != held and first["port"] > 1024
    assert first["search"] == f"?port={first['port']}&token={first['token']}"
    assert len(first["token"]) >= 16
    assert first["canvas"] == [360, 720, 3]
    assert "already made an environment" in second["second"]
    assert_nothing_left(tmp)


def test_a_page_that_never_connects_is_reported(chromium, tmp):
    page = os.path.join(tmp, "silent.html")
    with open(page, "w") as f:
        f.write("<script>console.error('this page has no client')</script>")
    result = run_child(
        f"""
        start = time.monotonic()
        browser = veskit.Browser({page!r}, connect_timeout=2)
        try:
            browser.make(CartPole)
        except veskit.PageNotConnectedError as error:
            show(message=str(error), seconds=time.monotonic() - start, log=browser.log_path)
        """,
        tmp,
    )
    assert result.returncode == 0, result.stderr
    (report,) = shown(result)
    lines = report["message"].splitlines()
    assert lines[0] == "the page did not connect within 2 s"
    assert lines[1].startswith("  page: file://") and "silent.html?port=" in lines[1] and "&token=" in lines[1]
    assert ", running" in lines[2] and lines[3].endswith(", listening")
    assert "    console.error: this page has no client" in lines
    assert f"  the browser's output ({report['log']}) ends with:" in lines
    assert os.path.dirname(report["log"]) == tmp and os.path.isfile(report["log"]), "the log is kept after close"
    assert 2 <= report["seconds"] < 10
    os.remove(page)
    assert_nothing_left(tmp)


BRIDGE_CANNOT_START = """
    held = socket.socket()
    held.bind(("127.0.0.1", 0))
    held.listen()
    start = time.monotonic()
    try:
        veskit.Browser(PAGE, port=held.getsockname()[1], connect_timeout=30).make(CartPole)
    except veskit.PageNotConnectedError as error:
        show(message=str(error), cause=type(error.__cause__).__name__, seconds=time.monotonic() - start)
    """


def test_a_bridge_that_cannot_start_is_reported_at_once(chromium, tmp):
    result = run_python(CHILD + textwrap.dedent(BRIDGE_CANNOT_START), env={"TMPDIR": tmp, "VESK_ON_FAILURE": "raise"})
    assert result.returncode == 0, result.stderr
    (report,) = shown(result)
    # Whether the page was opened is a race here: the held port listens too.
    assert report["message"].startswith("the bridge could not start: OSError: ")
    assert report["cause"] == "OSError" and report["seconds"] < 10
    assert_nothing_left(tmp)


def test_by_default_a_bridge_that_cannot_start_ends_the_process_with_one_line(chromium, tmp):
    result = run_child(BRIDGE_CANNOT_START, tmp)
    assert result.returncode == 1 and shown(result) == [], result.stdout
    assert result.stderr.splitlines()[-1].startswith("Vesk: the bridge cannot listen on 127.0.0.1 port "), result.stderr
    assert_nothing_left(tmp)


@pytest.mark.parametrize(
    "page, port, token, expected",
    [
        ("http://host:8/p/index.html?x=1&port=9", 7011, "t0k", "http://host:8/p/index.html?x=1&port=7011&token=t0k"),
        ("http://host/", 70, None, "http://host/?port=70"),
        ("/srv/a b/index.html", 5, "t", "file:///srv/a%20b/index.html?port=5&token=t"),
    ],
)
def test_page_url_carries_port_and_token(page, port, token, expected):
    assert veskit.page_url(page, port, token) == expected


def test_chromium_search_and_its_hint(monkeypatch, tmp_path):
    monkeypatch.setenv("VESK_CHROMIUM", str(tmp_path / "nowhere"))
    with pytest.raises(veskit.ChromiumNotFoundError, match=r"^\$VESK_CHROMIUM names .*nowhere'"):
        veskit.find_chromium()
    monkeypatch.delenv("VESK_CHROMIUM")
    monkeypatch.setenv("PATH", str(tmp_path))
    with pytest.raises(veskit.ChromiumNotFoundError) as caught:
        veskit.find_chromium()
    assert "apt-get install -y chromium" in str(caught.value) and "VESK_CHROMIUM" in str(caught.value)
    fake = tmp_path / "google-chrome"
    fake.write_text("#!/bin/sh\n")
    fake.chmod(0o755)
    assert veskit.find_chromium() == str(fake)


def test_the_installed_package_carries_the_front_end_kit(tmp_path):
    # Run away from the checkout, so the installed package is the one imported.
    result = run_python(
        """
        import os, veskit
        folder = veskit.frontend_folder()
        print(str(folder.parent) == os.path.dirname(os.path.realpath(veskit.__file__)), folder)
        print(sorted(str(p.relative_to(folder)) for p in folder.rglob("*") if p.is_file()))
        """,
        cwd=str(tmp_path),
    )
    assert result.returncode == 0, result.stderr
    inside, files = result.stdout.splitlines()
    assert inside.startswith("True "), inside
    for name in ("package.json", "vesk-client.js", "dist/index.html", "dist/assets/vesk-client.js"):
        assert f"'{name}'" in files
    assert "tests/" not in files
