"""Who can take over a run, tried in real headless Chromium: a website's page
and its sandboxed frame, a local HTML file, a squatter on [::1]; and the
user's own pages, which connect with no setting at all.

Each scenario runs in its own interpreter with a copy of the module in
tmp/lib, so that its bundle folder (and the run file) is tmp/dist.
"""
import json
import os
import re
import shutil
import tempfile

import pytest

import Vesk
from conftest import run_python

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

COMMON = """
import json, os, pathlib, sys, threading, time
import numpy as np
import veskit, Vesk

def wait_for(condition, seconds=15):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise TimeoutError("gave up waiting")
        time.sleep(0.05)

def open_page(browser, url):
    # Straight through DevTools: Browser.navigate would add its own ?port=&token=.
    browser.devtools.call("Page.navigate", browser.session, url=url)

class Counting(Vesk.Vesk_Pal_st):
    # Rows the pages answer with go back unchanged.
    def __init__(self, num_envs):
        self.num_envs, self.add_obj, self.obs_target = num_envs, {"max_steps": 50}, None
        super().__init__()
    def connect(self, connect_func):
        threading.Thread(target=connect_func, daemon=True).start()
    def explain_reset(self, reset_array): return None, None
    def explain_action(self, action): return action
    def explain_obs(self, obs): return obs
    def reward(self, state):
        flags = np.zeros(self.num_envs, bool)
        return np.zeros(self.num_envs), flags, flags, flags
"""


@pytest.fixture(name="lib")
def lib_fixture():
    """A short temporary folder (Chromium puts a unix socket under TMPDIR)
    with the module in lib/, so its bundle folder is dist/ beside it."""
    root = tempfile.mkdtemp(prefix="vesk-sec-")
    os.mkdir(os.path.join(root, "lib"))
    shutil.copy2(Vesk.__file__, os.path.join(root, "lib"))
    yield root
    shutil.rmtree(root, ignore_errors=True)


def run_child(root, code, **variables):
    result = run_python(COMMON + code, timeout=120, cwd=root,
                        env={"PYTHONPATH": os.path.join(root, "lib"), "TMPDIR": root, **variables})
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    return result, json.loads(result.stdout.splitlines()[-1])


REFUSED_PAGES = """
import http.server
web_port, bundle_port = veskit.free_port(), veskit.free_port()
os.environ["VESK_PORT"] = port = str(veskit.free_port())
os.environ.pop("VESK_TOKEN", None)
veskit.install_reference_page()
class Bridge(Vesk.Vesk_Pal_st):
    num_envs = 1
env = object.__new__(Bridge)
threading.Thread(target=env.start_queue(), daemon=True).start()
run_file = veskit.bundle_folder() / "assets" / "vesk-run.js"
wait_for(run_file.exists)
env.send_queue.put("task")

DIAL = ("const r = {opened: false, messages: [], closed: null}; const ws = new WebSocket('ws://127.0.0.1:PORT/');"
        "ws.onopen = () => r.opened = true; ws.onmessage = (e) => r.messages.push(String(e.data));"
        "ws.onclose = (e) => { r.closed = e.code; DONE };").replace("PORT", port)
frame = "<script>" + DIAL.replace("DONE", "parent.postMessage(r, '*')") + "</script>"
site = pathlib.Path("site"); site.mkdir()
(site / "attack.html").write_text(
    "<script>window.report = {}; window.onmessage = (e) => { report.frame = e.data; };</script>"
    # The run file is no use to a website: Chromium will not load a file:// script into its page.
    f"<script src='{run_file.as_uri()}'></script>"
    # Nor when the user serves the bundle folder on the loopback host: it hands
    # its values to pages of a loopback host or a file only.
    f"<script src='http://127.0.0.1:{bundle_port}/assets/vesk-run.js'></script>"
    "<script>report.runFile = typeof window.VeskRun;" + DIAL.replace("DONE", "report.page = r") + "</script>"
    "<iframe sandbox='allow-scripts' srcdoc=\\"" + frame.replace('"', "&quot;") + "\\"></iframe>")
elsewhere = pathlib.Path("elsewhere"); elsewhere.mkdir()
(elsewhere / "page.html").write_text(
    "<script>window.report = {};" + DIAL.replace("DONE", "report.page = r") + "</script>")

for folder, web in [(site, web_port), (veskit.bundle_folder(), bundle_port)]:
    handler = lambda *a, folder=folder: http.server.SimpleHTTPRequestHandler(*a, directory=str(folder))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", web), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()

report = {}
with veskit.Browser(port=int(port), args=["--host-resolver-rules=MAP evil.example 127.0.0.1"]) as browser:
    for name, url, ready in [
            ("website", f"http://evil.example:{web_port}/attack.html", "report.page && report.frame"),
            ("local file", (elsewhere / "page.html").resolve().as_uri(), "report.page")]:
        open_page(browser, url)
        wait_for(lambda: browser.evaluate(f"!!(window.report && {ready})"))
        report[name] = browser.evaluate("window.report")
        report[name]["origin"] = browser.evaluate("location.origin")
report["unsent"] = env.send_queue.qsize()
print(json.dumps(report))
"""


def test_a_website_its_sandboxed_frame_and_a_local_file_get_nothing(chromium, lib):
    result, report = run_child(lib, REFUSED_PAGES)
    website, local = report["website"], report["local file"]
    assert website["origin"].startswith("http://evil.example:") and local["origin"] in ("null", "file://")
    # Refused in the handshake (1006 in the page), nothing received, the task still queued.
    refused = {"opened": False, "messages": [], "closed": 1006}
    assert [website["page"], website["frame"], local["page"]] == [refused] * 3
    assert website["runFile"] == "undefined"
    assert '"GET /assets/vesk-run.js HTTP/1.1" 200' in result.stderr  # it did load, and kept its values
    assert report["unsent"] == 1
    fixes = [line for line in result.stderr.splitlines() if line.startswith("Vesk: ")]
    assert len(fixes) == 1 and "without this run's token was refused" in fixes[0], result.stderr


OWN_PAGE = """
index = veskit.install_reference_page()
with veskit.Browser() as browser:
    os.environ.pop("VESK_TOKEN", None)  # this run makes its own token
    os.environ["VESK_PORT"] = str(browser.port)
    # Opened before the bridge listens, with no query at all: the page keeps
    # reading the run file until it names a bridge that lets it in.
    open_page(browser, index.as_uri())
    env = Counting(2)
    state, _ = env.reset()
    state = env.step(np.ones(2))[0]
    text = (veskit.bundle_folder() / "assets" / "vesk-run.js").read_text()
    shown = browser.evaluate("[document.getElementById('status').textContent, window.veskStatus.url]")
    print(json.dumps({"shape": list(state.shape), "run file": text, "shown": shown,
                      "port": os.environ["VESK_PORT"]}))
"""


def test_the_reference_page_opened_by_hand_connects_without_a_setting(chromium, lib):
    result, report = run_child(lib, OWN_PAGE)
    assert report["shape"] == [2, 7]
    token = re.search(r"token: '([\w-]+)'", report["run file"]).group(1)
    status, url = report["shown"]
    # The status shows where it connected, never the token.
    assert url == f"ws://127.0.0.1:{report['port']}/?token=<redacted>"
    assert status.startswith(url + ": connected") and token not in status + result.stderr


def protocol_example_page():
    with open(os.path.join(REPO, "docs", "protocol.md"), encoding="utf-8") as f:
        text = f.read()
    pages = re.findall(r"```html\n(.*?)```", text, re.S)
    assert len(pages) == 1, "docs/protocol.md has one example page"
    return pages[0]


PROTOCOL_EXAMPLE = """
bundle = pathlib.Path("example")
(bundle / "assets").mkdir(parents=True)
(bundle / "index.html").write_text(pathlib.Path("example.html").read_text())
source = veskit.frontend_folder() / "dist" / "assets" / "vesk-client.js"
(bundle / "assets" / "vesk-client.js").write_bytes(source.read_bytes())
with veskit.Browser(bundle / "index.html") as browser:
    env = browser.make(Counting, 3)
    first = env.reset()[0]
    steps = [env.step(np.array([0.5, -1.0, 2.0]))[0] for _ in range(2)]
    print(json.dumps({"reset": first.tolist(), "steps": [s.tolist() for s in steps],
                      "errors": browser.evaluate("window.veskStatus.errors")}))
"""


def test_the_protocol_pages_example_runs_under_the_launcher_as_written(chromium, lib):
    with open(os.path.join(lib, "example.html"), "w", encoding="utf-8") as f:
        f.write(protocol_example_page())
    _, report = run_child(lib, PROTOCOL_EXAMPLE)
    assert report["errors"] == []
    # Each copy's row: steps since its reset, its last action.
    assert report["reset"] == [[0.0, 0.0]] * 3
    assert report["steps"] == [[[1.0, 0.5], [1.0, -1.0], [1.0, 2.0]], [[2.0, 0.5], [2.0, -1.0], [2.0, 2.0]]]


SQUATTER = """
import socket
port = veskit.free_port()
squatter = socket.socket(socket.AF_INET6)
try:
    squatter.bind(("::1", port))
except OSError as error:
    print(json.dumps({"skip": str(error)})); sys.exit(0)
squatter.listen()
got = []
def record():
    squatter.settimeout(20)
    try:
        connection, _ = squatter.accept()
        connection.settimeout(2)
        got.append(connection.recv(4096))
    except OSError:
        pass
threading.Thread(target=record, daemon=True).start()
index = veskit.install_reference_page()
# Nothing on 127.0.0.1 yet, as before the bridge starts: a page that dialled
# "localhost" would fall back to [::1] and hand the squatter its token.
with veskit.Browser(port=port, token="squatted-secret") as browser:
    browser.navigate()  # index.html?port=<port>&token=squatted-secret, as the launcher opens it
    wait_for(lambda: browser.evaluate("window.veskStatus && window.veskStatus.closed !== null"))
    time.sleep(3)  # a few more attempts, one a second
    status = browser.evaluate("window.veskStatus")
print(json.dumps({"squatter": b"".join(got).decode(), "status": status}))
"""


def test_the_page_dials_the_bridges_address_so_a_squatter_on_ipv6_loopback_gets_nothing(chromium, lib):
    _, report = run_child(lib, SQUATTER)
    if "skip" in report:
        pytest.skip(f"no IPv6 loopback here: {report['skip']}")
    assert report["squatter"] == ""
    assert report["status"]["url"].startswith("ws://127.0.0.1:") and report["status"]["closed"]["code"] == 1006
