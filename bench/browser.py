"""The reference page in headless Chromium: steps per second at 64 and 1024
environments, and where a step's time goes.

    python bench/browser.py [--envs 64 1024] [--steps 500] [--rounds 3] [--port 8790]
        [--baseline TREE --baseline-python PYTHON]

With a baseline (another checkout of this repository and an interpreter
that imports its build) both are measured in alternation, round after round,
and the medians are printed side by side.

Each size runs in a process of its own (the bridge is process-wide): the
demo's environment (examples/demo.py) against the page, watched through the
DevTools protocol (tests/browser_session.py) to read the page's own stage
timings (window.veskTimings, summed with performance.now()). A stabilising
policy keeps every cart-pole running, so each step simulates all of them.

Stages per step: Python (hooks, conversion, JSON text, decode: the step
less its one_task wait, plus the JSON text timed alone), the page's decode
(JSON.parse), its handler (simulation, reply rows, drawing), its reply
(checks and ws.send), and what is left of the one_task wait: the wire both
ways (permessage-deflate included: Chromium offers it and the library's
default server accepts it) and the bridge's hand-offs.
"""
import argparse
import json
import os
import platform
import queue
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path[:0] = [os.path.join(ROOT, "examples"), os.path.join(ROOT, "tests")]

import numpy as np  # noqa: E402

WARMUP = 50


def measure(num_envs, steps, port):
    import browser_session
    import demo

    class Timed(demo.BrowserCartPole):
        waited_ns = 0

        def one_task(self, msg, replyable=True):
            start = time.perf_counter_ns()
            try:
                return super().one_task(msg, replyable)
            finally:
                self.waited_ns += time.perf_counter_ns() - start

    flags = os.environ.get("BENCH_CHROMIUM_FLAGS", "").split()
    if flags:
        plain_init = demo.HeadlessChromium.__init__

        def with_flags(self, executable, url, extra_args=()):
            plain_init(self, executable, url, [*extra_args, *flags])

        demo.HeadlessChromium.__init__ = with_flags
    os.environ["VESK_PORT"] = str(port)
    page = browser_session.WatchedPage(demo.find_chromium())
    url = demo.page_url(demo.prepare_bundle(), port)
    scene = dict(demo.load_scene(), max_steps=10**6)
    env = Timed(num_envs, scene, port, url, seed=1, open_page=page)
    timings = lambda: page.evaluate("JSON.stringify(window.veskTimings || null)")  # noqa: E731
    try:
        state, _ = env.reset()

        def policy(state):
            # Push towards the side the pole leans to: it stays up for long.
            return state[:, 2] + 0.5 * state[:, 3]

        for _ in range(WARMUP):
            state = env.step(policy(state))[0]
        before, env.waited_ns = json.loads(timings() or "null"), 0
        start = time.perf_counter_ns()
        for _ in range(steps):
            state = env.step(policy(state))[0]
        elapsed = time.perf_counter_ns() - start
        after = json.loads(timings() or "null")
        running = int(((state[:, 5] < 0.5) & (state[:, 6] < 0.5)).sum())
        # The JSON text of one step message, timed alone on a queue no bridge reads.
        probe = object.__new__(Timed)
        probe.send_queue = queue.Queue()
        message = {"env": "step", "action": env.explain_action(policy(state)).astype(np.float32).tolist()}
        text_ns = []
        for _ in range(50):
            t = time.perf_counter_ns()
            probe.one_task(message, False)
            text_ns.append(time.perf_counter_ns() - t)
            probe.send_queue.get_nowait()
        result = {"num_envs": num_envs, "steps": steps, "running": running, "step_us": elapsed / steps / 1000,
                  "waited_us": env.waited_ns / steps / 1000, "text_us": sorted(text_ns)[len(text_ns) // 2] / 1000}
        if before and after:
            tasks = after["tasks"] - before["tasks"]
            for stage in ("decode", "handle", "reply"):
                result[f"page_{stage}_us"] = (after[stage] - before[stage]) / tasks * 1000
    finally:
        env.shut()
    print(json.dumps(result), flush=True)
    os._exit(0)  # the bridge would see the page leave and end the process with status 1


def median_result(results):
    keys = [k for k in results[0] if isinstance(results[0][k], float) and all(k in r for r in results)]
    merged = dict(results[0])
    for key in keys:
        merged[key] = statistics.median(r[key] for r in results)
    return merged


def stages(r):
    python = r["step_us"] - r["waited_us"] + r["text_us"]
    rows = [("Python: hooks, conversion, JSON text, decode", python)]
    page = 0.0
    if "page_decode_us" in r:
        rows += [("page: decode (JSON.parse)", r["page_decode_us"]),
                 ("page: simulation, reply rows, drawing", r["page_handle_us"]),
                 ("page: reply checks and send", r["page_reply_us"])]
        page = r["page_decode_us"] + r["page_handle_us"] + r["page_reply_us"]
    rows.append(("wire both ways (deflate included) and the bridge", r["waited_us"] - r["text_us"] - page))
    return rows


def report(num_envs, results):
    labels = list(results)
    print(f"\nnum_envs {num_envs}, medians of {len(results[labels[0]])} rounds")
    print("| | " + " | ".join(labels) + " |")
    print("|---|" + "---|" * len(labels))
    merged = {label: median_result(rs) for label, rs in results.items()}
    print("| steps/s | " + " | ".join(f"{1e6 / m['step_us']:,.0f}" for m in merged.values()) + " |")
    print("| environment steps/s | " + " | ".join(f"{1e6 / m['step_us'] * num_envs:,.0f}" for m in merged.values())
          + " |")
    print("| us a step | " + " | ".join(f"{m['step_us']:.0f}" for m in merged.values()) + " |")
    table = {label: dict(stages(m)) for label, m in merged.items()}
    for name in table[labels[-1]]:
        print(f"| {name} | " + " | ".join(f"{table[label].get(name, float('nan')):.0f}" for label in labels) + " |")


def run_one(python, script, num_envs, args, port):
    out = subprocess.run([python, script, "--one", str(num_envs), "--steps", str(args.steps), "--port", str(port)],
                         capture_output=True, text=True, timeout=600)
    lines = [line for line in out.stdout.splitlines() if line.startswith("{")]
    if out.returncode != 0 or not lines:
        raise RuntimeError(f"num_envs {num_envs} with {python}: status {out.returncode}\n{out.stdout}{out.stderr}")
    return json.loads(lines[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--envs", type=int, nargs="+", default=[64, 1024])
    parser.add_argument("--steps", type=int, default=500)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--port", type=int, default=8790)
    parser.add_argument("--baseline", help="another checkout whose bench/browser.py and page are the baseline")
    parser.add_argument("--baseline-python", default=sys.executable)
    parser.add_argument("--one", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        return measure(args.one, args.steps, args.port)
    print(f"{platform.node()} · {os.cpu_count()} cores · Python {platform.python_version()} · "
          f"Chromium {chromium_version()}")
    setups = {}
    if args.baseline:
        setups["baseline"] = (args.baseline_python, os.path.join(args.baseline, "bench", "browser.py"))
    setups["this checkout"] = (sys.executable, os.path.abspath(__file__))
    results = {n: {label: [] for label in setups} for n in args.envs}
    port = args.port
    for _ in range(args.rounds):
        for num_envs in args.envs:
            for label, (python, script) in setups.items():
                results[num_envs][label].append(run_one(python, script, num_envs, args, port))
                port += 1
    for num_envs in args.envs:
        report(num_envs, results[num_envs])


def chromium_version():
    import demo
    try:
        return subprocess.run([demo.find_chromium(), "--version"], capture_output=True, text=True,
                              timeout=30).stdout.split()[1]
    except (OSError, IndexError, TypeError, subprocess.SubprocessError):
        return "unknown"


if __name__ == "__main__":
    main()
