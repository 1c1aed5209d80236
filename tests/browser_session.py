"""One session of the demo environment against the reference page in
headless Chromium (veskit.Browser), watched through Chromium's DevTools protocol.

    python tests/browser_session.py OUT_DIR

Run by test_browser.py in its own interpreter (the bridge is process-wide;
the launcher picks a free port). It makes a reset, a few steps that run into the
episode cap (so the environment resets itself once) and a render, then
writes OUT_DIR/canvas.npy (the canvas as rgb_array rendering returns it) and OUT_DIR/report.json:
what Python decoded, every websocket frame the page sent and received, and
everything the page logged. The test decides what is right.
"""
import json
import os
import sys
import threading

import numpy as np

import veskit

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "examples"))
import demo  # noqa: E402

NUM_ENVS = 4
MAX_STEPS = 4  # the episode cap, reached by step 4 of 6
ACTIONS = [np.array([1.0, -1.0, 1.0, -1.0]) * (-1) ** k for k in range(6)]
WATCHDOG_SECONDS = 60


def frames(browser, direction):
    return [
        {"opcode": e["response"]["opcode"], "payload": e["response"]["payloadData"]}
        for e in browser.devtools.events(f"Network.webSocketFrame{direction}")
    ]


def logged(browser):
    devtools = browser.devtools
    console = [
        {"type": e["type"], "text": " ".join(str(a.get("value", a.get("description", ""))) for a in e["args"])}
        for e in devtools.events("Runtime.consoleAPICalled")
    ]
    exceptions = [
        e["exceptionDetails"].get("exception", {}).get("description", e["exceptionDetails"]["text"])
        for e in devtools.events("Runtime.exceptionThrown")
    ]
    log = [{"level": e["entry"]["level"], "text": e["entry"]["text"]} for e in devtools.events("Log.entryAdded")]
    return {"console": console, "exceptions": exceptions, "log": log}


def main(out_dir):
    report = {"num_envs": NUM_ENVS, "replies": [], "states": []}
    # Network too, for every websocket frame; all of them are enabled before
    # the page loads, so nothing it logs or sends is missed.
    browser = veskit.Browser(demo.prepare_bundle(), devtools_domains=("Runtime", "Log", "Network", "Page"))

    def give_up():
        report["stage"] = "watchdog"
        if browser.devtools is not None:
            report.update(logged(browser), sent=frames(browser, "Sent"), received=frames(browser, "Received"))
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

    scene = dict(demo.load_scene(), max_steps=MAX_STEPS)
    with browser:
        env = browser.make(Recorded, NUM_ENVS, scene, seed=7, render_mode="rgb_array")
        state, _ = env.reset()
        report["states"].append(state.tolist())
        for action in ACTIONS:
            state = env.step(action)[0]
            report["states"].append(state.tolist())
        canvas = env.render()
        tasks = len(report["replies"]) + 2  # init and render come back as None
        devtools = browser.devtools
        answered = devtools.wait_until(lambda: len(devtools.events("Network.webSocketFrameSent")) >= tasks, 10)
        report["all_frames_seen"] = answered
        report["status"] = browser.evaluate("JSON.parse(JSON.stringify(window.veskStatus))")
        np.save(os.path.join(out_dir, "canvas.npy"), canvas)
        report.update(logged(browser), sent=frames(browser, "Sent"), received=frames(browser, "Received"))
        env.close()
    with open(os.path.join(out_dir, "report.json"), "w") as f:
        json.dump(report, f)
    watchdog.cancel()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
