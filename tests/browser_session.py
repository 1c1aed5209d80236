"""One session of the demo environment against the reference page in
headless Chromium, watched through Chromium's DevTools protocol.

    python tests/browser_session.py OUT_DIR

Run by test_browser.py in its own interpreter (the bridge is process-wide;
VESK_PORT chooses its port). It makes a reset, a few steps that run into the
episode cap (so the environment resets itself once) and a render, then
writes OUT_DIR/canvas.png (a screenshot of the canvas) and OUT_DIR/report.json:
what Python decoded, every websocket frame the page sent and received, and
everything the page logged. The test decides what is right.
"""
import base64
import json
import os
import sys
import threading
import time

import numpy as np
from websockets.sync.client import connect

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "examples"))
import demo  # noqa: E402

NUM_ENVS = 4
MAX_STEPS = 4  # the episode cap, reached by step 4 of 6
ACTIONS = [np.array([1.0, -1.0, 1.0, -1.0]) * (-1) ** k for k in range(6)]
WATCHDOG_SECONDS = 60


class DevTools:
    """A minimal client: numbered commands, with events kept in arrival order."""

    def __init__(self, url):
        self.socket = connect(url, max_size=None, open_timeout=10)
        self.changed = threading.Condition()
        self.results = {}
        self.events = []
        self.last_id = 0
        threading.Thread(target=self._read, name="devtools", daemon=True).start()

    def _read(self):
        try:
            for raw in self.socket:
                message = json.loads(raw)
                with self.changed:
                    if "id" in message:
                        self.results[message["id"]] = message
                    else:
                        self.events.append(message)
                    self.changed.notify_all()
        except Exception:  # the browser went away: pending calls time out
            pass

    def call(self, method, session=None, timeout=10.0, **params):
        with self.changed:
            self.last_id += 1
            number = self.last_id
        command = {"id": number, "method": method, "params": params}
        if session:
            command["sessionId"] = session
        self.socket.send(json.dumps(command))
        with self.changed:
            if not self.changed.wait_for(lambda: number in self.results, timeout):
                raise TimeoutError(f"no answer to {method} within {timeout} s")
            answer = self.results.pop(number)
        if "error" in answer:
            raise RuntimeError(f"{method} failed: {answer['error']}")
        return answer.get("result", {})

    def named(self, *methods):
        with self.changed:
            return [event["params"] for event in self.events if event["method"] in methods]

    def wait_until(self, predicate, timeout):
        with self.changed:
            return self.changed.wait_for(predicate, timeout)


def wait_for_file(path, browser, timeout=15.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if os.path.exists(path):
            with open(path) as f:
                lines = f.read().split()
            if len(lines) >= 2:
                return lines
        time.sleep(0.05)
    raise TimeoutError(f"Chromium wrote no {path}; its log ends with:\n{browser.log_tail()}")


class WatchedPage:
    """The open_page of the environment: Chromium starts on a blank page, the
    protocol is attached, and only then is the page loaded, so nothing it
    logs or sends is missed."""

    def __init__(self, executable):
        self.executable = executable
        self.browser = self.devtools = self.session = None

    def __call__(self, url):
        self.browser = demo.HeadlessChromium(self.executable, "about:blank", ["--remote-debugging-port=0"])
        self.browser.watch()
        port, path = wait_for_file(os.path.join(self.browser.profile, "DevToolsActivePort"), self.browser)
        self.devtools = DevTools(f"ws://127.0.0.1:{port}{path}")
        deadline = time.monotonic() + 10
        pages = []
        while not pages and time.monotonic() < deadline:
            pages = [t for t in self.devtools.call("Target.getTargets")["targetInfos"] if t["type"] == "page"]
            time.sleep(0.05)
        self.session = self.devtools.call("Target.attachToTarget", targetId=pages[0]["targetId"], flatten=True)[
            "sessionId"
        ]
        for domain in ("Runtime", "Log", "Network", "Page"):
            self.devtools.call(f"{domain}.enable", self.session)
        self.devtools.call("Page.navigate", self.session, url=url)
        return self.browser

    def evaluate(self, expression):
        result = self.devtools.call("Runtime.evaluate", self.session, expression=expression, returnByValue=True)
        return result["result"].get("value")

    def frames(self, direction):
        return [
            {"opcode": e["response"]["opcode"], "payload": e["response"]["payloadData"]}
            for e in self.devtools.named(f"Network.webSocketFrame{direction}")
        ]

    def canvas_png(self):
        rect = json.loads(self.evaluate("JSON.stringify(document.getElementById('scene').getBoundingClientRect())"))
        clip = {k: rect[k] for k in ("x", "y", "width", "height")}
        shot = self.devtools.call(
            "Page.captureScreenshot", self.session, format="png", clip=dict(clip, scale=1), captureBeyondViewport=True
        )
        return base64.b64decode(shot["data"])

    def logged(self):
        console = [
            {"type": e["type"], "text": " ".join(str(a.get("value", a.get("description", ""))) for a in e["args"])}
            for e in self.devtools.named("Runtime.consoleAPICalled")
        ]
        exceptions = [
            e["exceptionDetails"].get("exception", {}).get("description", e["exceptionDetails"]["text"])
            for e in self.devtools.named("Runtime.exceptionThrown")
        ]
        log = [
            {"level": e["entry"]["level"], "text": e["entry"]["text"]} for e in self.devtools.named("Log.entryAdded")
        ]
        return {"console": console, "exceptions": exceptions, "log": log}


def main(out_dir):
    report = {"num_envs": NUM_ENVS, "replies": [], "states": []}
    page = WatchedPage(demo.find_chromium())

    def give_up():
        # A page that never connects would leave the environment waiting for ever.
        report["stage"] = "watchdog"
        if page.devtools is not None:
            report.update(page.logged(), sent=page.frames("Sent"), received=page.frames("Received"))
        print(f"no progress in {WATCHDOG_SECONDS} s: {json.dumps(report)[:4000]}", file=sys.stderr, flush=True)
        os._exit(3)

    watchdog = threading.Timer(WATCHDOG_SECONDS, give_up)
    watchdog.daemon = True
    watchdog.start()

    class Recorded(demo.BrowserCartPole):
        def explain_obs(self, obs):
            is_array = isinstance(obs, np.ndarray)
            report["replies"].append(
                {
                    "type": type(obs).__name__,
                    "dtype": str(obs.dtype) if is_array else None,
                    "shape": list(obs.shape) if is_array else None,
                    "writeable": bool(obs.flags.writeable) if is_array else None,
                    "hex": obs.tobytes().hex() if is_array else repr(obs),
                }
            )
            return super().explain_obs(obs)

    port = demo.bridge_port()
    url = demo.page_url(demo.prepare_bundle(), port)
    scene = dict(demo.load_scene(), max_steps=MAX_STEPS)
    env = Recorded(NUM_ENVS, scene, port, url, seed=7, open_page=page)
    try:
        state, _ = env.reset()
        report["states"].append(state.tolist())
        for action in ACTIONS:
            state = env.step(action)[0]
            report["states"].append(state.tolist())
        env.render()
        tasks = len(report["replies"]) + 2  # init and render come back as None
        answered = page.devtools.wait_until(lambda: len(page.devtools.named("Network.webSocketFrameSent")) >= tasks, 10)
        report["all_frames_seen"] = answered
        report["status"] = page.evaluate("JSON.parse(JSON.stringify(window.veskStatus))")
        with open(os.path.join(out_dir, "canvas.png"), "wb") as f:
            f.write(page.canvas_png())
        report.update(page.logged(), sent=page.frames("Sent"), received=page.frames("Received"))
        env.close()
    finally:
        env.shut()
    with open(os.path.join(out_dir, "report.json"), "w") as f:
        json.dump(report, f)
    watchdog.cancel()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
