"""The reference page in headless Chromium: steps per second at 64 and 1024
environments, and where a step's time goes.

    python bench/browser.py [--envs 64 1024] [--steps 500] [--rounds 3] [--port 8790]
        [--baseline TREE --baseline-python PYTHON]

With a baseline (another checkout of this repository and an interpreter
that imports its build) both are measured in alternation, round after round,
and the medians are printed side by side.

Each size runs in a process of its own (the bridge is process-wide): the
demo's environment (examples/demo.py) against the page, opened by
veskit.Browser, whose DevTools connection reads the page's own stage
timings (window.veskTimings, summed with performance.now()). A stabilising
policy keeps every cart-pole running, so each step simulates all of them.

Stages per step: Python (hooks, conversion, JSON text, decode: the step
less the time from the task's put on send_queue to its reply's get from
reply_quene, stamped by queue subclasses so that one_task stays the
module's own), the page's decode (JSON.parse), its handler (simulation,
reply rows, drawing), its reply (checks and ws.send), and what is left of
that wait: the wire both ways (with permessage-deflate where the server
accepts it, as the library's defaults did before) and the bridge's
hand-offs.
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


class SendQueue(queue.Queue):
    """Stamps each task as it is put; one_task, the bridge and every fast
    path go on as with the standard queue."""
    stamps: list = []

    def put(self, item, block=True, timeout=None):
        self.stamps.append(time.perf_counter_ns())
        super().put(item, block, timeout)


class ReplyQueue(queue.Queue):
    """Adds up the time from a task's put to its reply's get."""
    waited_ns = 0

    def get(self, block=True, timeout=None):
        item = super().get(block, timeout)
        if SendQueue.stamps:
            ReplyQueue.waited_ns += time.perf_counter_ns() - SendQueue.stamps.pop(0)
        return item


def measure(num_envs, steps, port):
    import demo
    import veskit

    flags = os.environ.get("BENCH_CHROMIUM_FLAGS", "").split()
    page = demo.prepare_bundle()
    scene = dict(demo.load_scene(), max_steps=10**6)
    browser = veskit.Browser(page, port=port, args=flags).start()
    try:
        env = browser.make(demo.BrowserCartPole, num_envs, scene, seed=1)
        # The bridge reads the queues from the environment at each use.
        env.send_queue, env.reply_quene = SendQueue(), ReplyQueue()
        timings = lambda: browser.evaluate("JSON.stringify(window.veskTimings || null)")  # noqa: E731
        state, _ = env.reset()

        def policy(state):
            # Push towards the side the pole leans to: it stays up for long.
            return state[:, 2] + 0.5 * state[:, 3]

        for _ in range(WARMUP):
            state = env.step(policy(state))[0]
        before, ReplyQueue.waited_ns = json.loads(timings() or "null"), 0
        start = time.perf_counter_ns()
        for _ in range(steps):
            state = env.step(policy(state))[0]
        elapsed = time.perf_counter_ns() - start
        after = json.loads(timings() or "null")
        running = int(((state[:, 5] < 0.5) & (state[:, 6] < 0.5)).sum())
        result = {"num_envs": num_envs, "steps": steps, "running": running, "step_us": elapsed / steps / 1000,
                  "waited_us": ReplyQueue.waited_ns / steps / 1000}
        if before and after:
            tasks = after["tasks"] - before["tasks"]
            for stage in ("decode", "handle", "reply"):
                result[f"page_{stage}_us"] = (after[stage] - before[stage]) / tasks * 1000
    finally:
        browser.close()
    print(json.dumps(result), flush=True)
    os._exit(0)  # the bridge would see the page leave and end the process with status 1


def median_result(results):
    keys = [k for k in results[0] if isinstance(results[0][k], float) and all(k in r for r in results)]
    merged = dict(results[0])
    for key in keys:
        merged[key] = statistics.median(r[key] for r in results)
    return merged


def stages(r):
    python = r["step_us"] - r["waited_us"]
    rows = [("Python: hooks, conversion, JSON text, decode", python)]
    page = 0.0
    if "page_decode_us" in r:
        rows += [("page: decode (JSON.parse)", r["page_decode_us"]),
                 ("page: simulation, reply rows, drawing", r["page_handle_us"]),
                 ("page: reply checks and send", r["page_reply_us"])]
        page = r["page_decode_us"] + r["page_handle_us"] + r["page_reply_us"]
    rows.append(("wire both ways and the bridge", r["waited_us"] - page))
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
    import veskit
    try:
        return subprocess.run([veskit.find_chromium(), "--version"], capture_output=True, text=True,
                              timeout=30).stdout.split()[1]
    except (OSError, IndexError, TypeError, subprocess.SubprocessError):
        return "unknown"


if __name__ == "__main__":
    main()
