"""The hosts under the launcher: Chromium's DevTools pipe (no network port),
the Node host training the reference cart-pole, and one line for a host that
dies. Each host runs in a child interpreter: the bridge's queues are
process-wide."""
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import textwrap
import threading
import time

import pytest

import veskit

from conftest import processes_mentioning, run_python
from veskit.hosts.devtools import DevTools, DevToolsError
from veskit.hosts.node import _BOOTSTRAP

TESTS = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(os.path.dirname(TESTS), "examples")

CHILD = f"""
import json, os, signal, subprocess, sys, time
import numpy as np
sys.path[:0] = [{TESTS!r}, {EXAMPLES!r}]
import veskit
from train_ray import CartPole

def show(**values):
    print(json.dumps(values), flush=True)
"""


@pytest.fixture(name="tmp")
def tmp_fixture():
    path = tempfile.mkdtemp(prefix="vesk-test-")
    yield path
    shutil.rmtree(path, ignore_errors=True)


def run_child(code, tmp, timeout=90, **env):
    return run_python(CHILD + textwrap.dedent(code), timeout=timeout, env={"TMPDIR": tmp, **env})


def shown(result):
    return [json.loads(line) for line in result.stdout.splitlines() if line.startswith("{")]


# ------------------------------------------------------------------ the DevTools pipe

@pytest.mark.parametrize("answer, error", [
    (b'{"id": 1, "result": {"ok": 1}}\0', None),
    (b'{"id": 1, "result": \0', r"^X\.y: the DevTools reader failed: JSONDecodeError: "),
    (None, r"^X\.y: the browser closed its DevTools pipe$"),
], ids=["answer", "unreadable", "closed"])
def test_devtools_pipe_answers_or_names_why_not(answer, error):
    their_commands, our_commands = os.pipe()
    our_answers, their_answers = os.pipe()
    devtools = DevTools(our_commands, our_answers)

    def browser():
        command = os.read(their_commands, 4096)
        assert command.endswith(b"\0") and json.loads(command[:-1]) == {"id": 1, "method": "X.y", "params": {"a": 2}}
        if answer is not None:
            os.write(their_answers, answer)
        os.close(their_answers)  # the browser ends

    threading.Thread(target=browser, daemon=True).start()
    try:
        if error is None:
            assert devtools.call("X.y", a=2, timeout=5) == {"ok": 1}
        else:
            with pytest.raises(DevToolsError, match=error):
                devtools.call("X.y", a=2, timeout=5)
            with pytest.raises(DevToolsError, match=error.replace("X\\.y", "Z")):  # and every later call
                devtools.call("Z", timeout=5)
    finally:
        devtools.close()
        os.close(their_commands)


LISTENING_SOCKETS = """
def group(leader):
    pids = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat") as f:
                if int(f.read().rsplit(")", 1)[1].split()[2]) == leader:
                    pids.append(int(pid))
        except OSError:
            pass
    return pids

def listening_ports(pids):
    inodes = set()
    for pid in pids:
        try:
            for fd in os.listdir(f"/proc/{pid}/fd"):
                target = os.readlink(f"/proc/{pid}/fd/{fd}")
                if target.startswith("socket:["):
                    inodes.add(target[8:-1])
        except OSError:
            pass
    ports = []
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            for line in f.read().splitlines()[1:]:
                fields = line.split()
                if fields[3] == "0A" and fields[9] in inodes:
                    ports.append(int(fields[1].rsplit(":", 1)[1], 16))
    return ports

# Run as another account: what can it learn of the pages behind these ports?
PROBE = '''
import sys, urllib.request
token, ports = sys.argv[1], sys.argv[2:]
found = []
for port in ports:
    for path in ("/json/list", "/json/version"):
        try:
            text = urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=3).read().decode()
        except Exception:
            continue
        if token in text or "webSocketDebuggerUrl" in text:
            found.append(port + path)
print(" ".join(found) or "nothing")
'''

def switch_user():
    if os.geteuid() != 0:
        return None
    import shutil
    for tool in (["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"],
                 ["runuser", "-u", "nobody", "--"]):
        # The other account must be able to run this interpreter (a pyenv
        # build under /root cannot be, for one).
        if shutil.which(tool[0]) and subprocess.run(tool + [sys.executable, "-I", "-S", "-c", "pass"],
                                                     capture_output=True, timeout=60).returncode == 0:
            return tool
    return None
"""


def test_chromium_listens_on_no_tcp_port(chromium, tmp):
    result = run_child(LISTENING_SOCKETS + textwrap.dedent("""
        browser = veskit.Browser()
        with browser:
            env = browser.make(CartPole, 2)
            env.reset(seed=0)
            chromium = group(browser.process.pid)
            with open(f"/proc/{browser.process.pid}/cmdline", "rb") as f:
                flags = [flag.decode() for flag in f.read().split(b"\\0") if flag.startswith(b"--remote-debugging")]
            # Everything this process and its browser listen on: the bridge only.
            ours = listening_ports(chromium + [os.getpid()])
            probe = switch_user()
            seen = None
            if probe is not None:
                done = subprocess.run(probe + [sys.executable, "-I", "-S", "-c", PROBE, browser.token,
                                               *map(str, ours)], capture_output=True, text=True, timeout=60)
                seen = done.stdout.strip() or done.stderr
            show(processes=len(chromium), chromium=listening_ports(chromium), ours=ours, port=browser.port,
                 flags=flags, probe=seen, tool=probe and probe[0])
        """), tmp)
    assert result.returncode == 0, result.stderr
    (report,) = shown(result)
    assert report["processes"] >= 2, "Chromium runs with its helpers"
    assert report["flags"] == ["--remote-debugging-pipe"]
    assert report["chromium"] == [], "a process of the browser listens on TCP"
    assert sorted(set(report["ours"])) == [report["port"]], "only the bridge listens (on 127.0.0.1 and [::1])"
    if report["probe"] is None:
        pytest.skip("the probe from another account needs root, setpriv or runuser, and an interpreter that account can run")
    assert report["probe"] == "nothing", f"{report['tool']} as nobody found DevTools: {report['probe']}"


# ------------------------------------------------------------------ the Node host

def test_node_host_trains_the_reference_cart_pole(node, tmp):
    result = run_child("""
        from veskit import NodeHost, ParallelVectorEnv, VectorView
        import functools

        with NodeHost() as host:
            view = VectorView(host.make(CartPole, 4, max_steps=5))
            obs, _ = view.reset(seed=0)
            ended = 0
            for _ in range(6):
                obs, rewards, terminated, truncated, _ = view.step(np.ones((4, 1), np.float32))
                ended += int(terminated.sum() + truncated.sum())
            show(view=[list(obs.shape), float(rewards.sum()), ended], pid=host.process.pid, log=host.log_path)
            view.close()

        if __name__ == "__main__":
            with ParallelVectorEnv(CartPole, workers=2, kwargs={"num_envs": 3},
                                   launcher=functools.partial(NodeHost)) as envs:
                obs, _ = envs.reset(seed=1)
                obs, rewards, *_ = envs.step(np.zeros((6, 1), np.float32))
                show(parallel=[list(obs.shape), rewards.tolist()])
        """, tmp, timeout=120)
    assert result.returncode == 0, result.stderr
    single, parallel = shown(result)
    shape, reward, ended = single["view"]
    assert shape == [4, 7] and reward > 0
    assert ended >= 4, "every copy pushed right for 6 steps ends (terminated or truncated at 5)"
    assert parallel["parallel"] == [[6, 7], [1.0] * 6]
    assert not os.path.exists(f"/proc/{single['pid']}"), "Node outlived its host"
    assert os.path.isfile(single["log"])
    assert processes_mentioning(str(_BOOTSTRAP)) == []


@pytest.mark.parametrize("launcher", ["Browser", "NodeHost"])
def test_a_killed_host_is_reported_in_one_line(launcher, tmp, request):
    request.getfixturevalue("chromium" if launcher == "Browser" else "node")
    result = run_child(f"""
        host = veskit.{launcher}()
        env = host.make(CartPole, 2)
        env.reset(seed=0)
        os.killpg(host.process.pid, signal.SIGKILL)
        try:
            for _ in range(50):
                env.step(np.ones((2, 1)))
                time.sleep(0.05)
        except ConnectionError as error:
            show(error=str(error), log=host.log_path, pid=host.process.pid)
        time.sleep(0.5)  # the host's watch reports on a thread of its own
        """, tmp, VESK_ON_FAILURE="raise")
    assert result.returncode == 0, result.stderr
    (report,) = shown(result)
    name = "Chromium" if launcher == "Browser" else "Node"
    ours = [line for line in result.stderr.splitlines() if line.startswith("veskit:")]
    assert ours == [f"veskit: {name} exited unexpectedly (status -9 (SIGKILL)); its output is in {report['log']}"]
    assert "ERROR:" not in result.stderr, "the host's own output belongs in its log"
    assert os.path.isfile(report["log"])
    deadline = time.monotonic() + 5
    while processes_mentioning(tmp) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert processes_mentioning(tmp) == [] and not os.path.exists(f"/proc/{report['pid']}")


@pytest.mark.parametrize("single_process", [True, False], ids=["single-process", "multi-process"])
def test_a_renderer_crash_is_reported_and_nothing_is_left(chromium, tmp, single_process):
    result = run_child(f"""
        from veskit.hosts.devtools import DevToolsError
        browser = veskit.Browser(single_process={single_process})
        with browser:
            env = browser.make(CartPole, 2)
            env.reset(seed=0)
            try:
                browser.devtools.call("Page.crash", browser.session, timeout=2)  # never answered
            except DevToolsError:
                pass
            try:
                for _ in range(50):
                    env.step(np.ones((2, 1)))
                    time.sleep(0.05)
            except ConnectionError as error:
                if {single_process}:  # the crash ends the browser, if not at once on a busy machine
                    browser.process.wait(timeout=20)
                time.sleep(1)  # for the watch's line, or for a browser that would end
                show(error=str(error), log=browser.log_path, status=browser.process.poll())
        """, tmp, VESK_ON_FAILURE="raise")
    assert result.returncode == 0, result.stderr
    (report,) = shown(result)
    assert report["error"].startswith("connection to the front-end failed: ")
    ours = [line for line in result.stderr.splitlines() if line.startswith("veskit:")]
    if single_process:  # the renderer is the browser: its exit is reported
        assert report["status"] is not None
        assert ours == [f"veskit: Chromium exited unexpectedly (status {report['status']} "
                        f"({signal.Signals(-report['status']).name})); its output is in {report['log']}"]
    else:  # the browser lives on, and says its page crashed
        assert report["status"] is None
        assert ours == [f"veskit: Chromium's page crashed; its output is in {report['log']}"]
    deadline = time.monotonic() + 5
    while processes_mentioning(tmp) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert processes_mentioning(tmp) == []


FAKE_NODE = """#!/bin/sh
case "$*" in
  *--experimental-websocket*) echo '{{"global": {flagged}, "ws": "{ws}", "version": "v{version}"}}' ;;
  *) echo '{{"global": {plain}, "ws": "{ws}", "version": "v{version}"}}' ;;
esac
"""


@pytest.mark.parametrize("version, plain, flagged, ws, expected", [
    ("22.1.0", "true", "true", "", ((), None)),
    ("20.20.0", "false", "true", "", (("--experimental-websocket",), None)),
    ("22.1.0", "true", "true", "/x/ws/index.js", ((), "/x/ws/index.js")),  # ws first where installed
    ("18.19.0", "false", "false", "/usr/share/nodejs/ws/index.js", ((), "/usr/share/nodejs/ws/index.js")),
    ("18.19.0", "false", "false", "", "Node v18.19.0 .* has no WebSocket: use Node 22 or newer, or install the ws "
                                      r"package \(Debian/Ubuntu: apt-get install -y node-ws"),
], ids=["global", "flag", "ws-first", "ws", "none"])
def test_node_websocket_detection(tmp_path, version, plain, flagged, ws, expected):
    from veskit.hosts.node import websocket_setup
    fake = tmp_path / "node"
    fake.write_text(FAKE_NODE.format(version=version, plain=plain, flagged=flagged, ws=ws))
    fake.chmod(0o755)
    if isinstance(expected, str):
        with pytest.raises(veskit.NodeNotFoundError, match=expected):
            websocket_setup(str(fake))
    else:
        assert websocket_setup(str(fake)) == expected


def test_node_host_over_its_own_websocket(node, tmp):
    has_websocket = "process.exit(typeof WebSocket === 'function' ? 0 : 1)"
    flags = next((flags for flags in ([], ["--experimental-websocket"])
                  if subprocess.run([node, *flags, "-e", has_websocket]).returncode == 0), None)
    if flags is None:
        pytest.skip(f"{node} has no WebSocket of its own")
    result = run_child(f"""
        import veskit.hosts.node as node
        node.websocket_setup = lambda executable: ({tuple(flags)!r}, None)  # not the ws package
        with veskit.NodeHost() as host:
            env = host.make(CartPole, 2)
            env.reset(seed=0)
            state = env.step(np.ones((2, 1)))[0]
            show(state=state.shape, command=open(f"/proc/{{host.process.pid}}/cmdline").read().split("\\0"))
        """, tmp)
    assert result.returncode == 0, result.stderr
    (report,) = shown(result)
    assert report["state"] == [2, 7] and not [part for part in report["command"] if "/ws" in part]


def test_the_readme_node_host_example_runs(node, tmp):
    with open(os.path.join(os.path.dirname(TESTS), "README.md"), encoding="utf-8") as f:
        blocks = re.findall(r"```python\n(.*?)```", f.read(), re.S)
    # The example uses the README's minimal subclass, defined before it.
    subclass = next(block for block in blocks if "class CartPole(Vesk.Vesk_Pal_st)" in block)
    example = next(block for block in blocks if "veskit.NodeHost()" in block)
    code = subclass + example + "print(state.shape, rewards.tolist())\n"
    result = run_python(code, env={"TMPDIR": tmp})
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1] == "(8, 7) [1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0]"
