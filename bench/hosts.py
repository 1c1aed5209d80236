"""The reference cart-pole in each host: steps per second and memory.

    python bench/hosts.py [--envs 1 1024] [--steps 1000] [--rounds 5]
        [--setups chromium-multi chromium-single node]

Setups: `chromium-multi` is Chromium with its usual processes (renderer,
GPU, network service apart: the launcher's flags before the single-process
default), `chromium-single` the launcher's default (`--single-process`), and
`node-own` the Node host running the same simulation (cartpole.js) with the
same client kit over Node's own WebSocket, `node-ws` the same over the ws
package (Debian's node-ws, in /usr/share/nodejs; the Node host's choice
where it is installed). Each measurement runs in a process of its own (the bridge is
process-wide), setups and sizes interleaved round after round; the medians
are printed.

A measurement is the demo's environment (examples/demo.py) stepped with a
stabilising policy, so every cart-pole keeps running and each step simulates
all of them; then the memory of the host's processes (its process group):
the sum of their PSS (shared pages split between the processes that map
them) and of their RSS, from /proc/<pid>/smaps_rollup.
"""
import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path[:0] = [os.path.join(ROOT, "examples")]

WARMUP = 50
NODE_MAJOR = int(subprocess.run(["node", "--version"], capture_output=True, text=True).stdout.strip("v\n").split(".")[0] or 0)
SETUPS = ("chromium-multi", "chromium-single", "node-own", "node-ws")


def host_memory(group):
    """(PSS, RSS) in MB summed over the processes of process group `group`."""
    pss = rss = 0
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat") as f:
                if int(f.read().rsplit(")", 1)[1].split()[2]) != group:
                    continue
            with open(f"/proc/{pid}/smaps_rollup") as f:
                fields = dict(line.split(":", 1) for line in f.read().splitlines()[1:])
        except (OSError, ValueError):
            continue
        pss += int(fields["Pss"].split()[0])
        rss += int(fields["Rss"].split()[0])
    return pss / 1024, rss / 1024


def measure(setup, num_envs, steps):
    import demo
    import veskit

    scene = dict(demo.load_scene(), max_steps=10**6)
    if setup.startswith("node"):
        import veskit.hosts.node
        own = ((), None) if NODE_MAJOR >= 22 else (("--experimental-websocket",), None)
        choice = ((), "/usr/share/nodejs/ws") if setup == "node-ws" else own
        veskit.hosts.node.websocket_setup = lambda executable: choice
        launcher = veskit.NodeHost()
    else:
        launcher = veskit.Browser(demo.prepare_bundle(), single_process=setup == "chromium-single")
    with launcher:
        env = launcher.make(demo.BrowserCartPole, num_envs, scene, seed=1)
        state, _ = env.reset()

        def policy(state):
            return state[:, 2] + 0.5 * state[:, 3]  # push towards the lean: the pole stays up

        for _ in range(WARMUP):
            state = env.step(policy(state))[0]
        start = time.perf_counter_ns()
        for _ in range(steps):
            state = env.step(policy(state))[0]
        elapsed = time.perf_counter_ns() - start
        pss, rss = host_memory(launcher.process.pid)
        running = int(((state[:, 5] < 0.5) & (state[:, 6] < 0.5)).sum())
    print(json.dumps({"steps_per_s": steps * 1e9 / elapsed, "pss_mb": pss, "rss_mb": rss, "running": running}),
          flush=True)
    os._exit(0)  # the bridge would see the page leave and end the process with status 1


def run_one(setup, num_envs, steps):
    out = subprocess.run([sys.executable, __file__, "--one", setup, str(num_envs), "--steps", str(steps)],
                         capture_output=True, text=True, timeout=600)
    lines = [line for line in out.stdout.splitlines() if line.startswith("{")]
    if out.returncode != 0 or not lines:
        raise RuntimeError(f"{setup} at {num_envs}: status {out.returncode}\n{out.stdout}{out.stderr}")
    return json.loads(lines[-1])


def versions():
    import veskit
    found = []
    for name, finder, field in (("Chromium", veskit.find_chromium, 1), ("node", veskit.find_node, 0)):
        try:
            found.append(name + " " + subprocess.run([finder(), "--version"], capture_output=True, text=True,
                                                     timeout=30).stdout.split()[field])
        except (OSError, IndexError, subprocess.SubprocessError, FileNotFoundError):
            found.append(name + " unknown")
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--envs", type=int, nargs="+", default=[1, 1024])
    parser.add_argument("--steps", type=int, default=1000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--setups", nargs="+", default=list(SETUPS), choices=SETUPS)
    parser.add_argument("--one", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        return measure(args.one[0], int(args.one[1]), args.steps)
    with open("/proc/loadavg") as f:
        load = f.read().split()[0]
    print(f"{platform.node()} · {os.cpu_count()} cores · load {load} · Python {platform.python_version()} · "
          + " · ".join(versions()))
    results = {(setup, n): [] for setup in args.setups for n in args.envs}
    for round_number in range(args.rounds):
        for n in args.envs:
            for setup in args.setups:
                results[setup, n].append(run_one(setup, n, args.steps))
        print(f"round {round_number + 1} of {args.rounds} done", file=sys.stderr, flush=True)
    first = args.setups[0]
    print(f"\nmedians of {args.rounds} interleaved rounds of {args.steps} steps; ratio: steps/s over {first}'s")
    print("| setup | num_envs | steps/s | ratio | PSS MB | RSS MB |")
    print("|---|---|---|---|---|---|")
    for n in args.envs:
        base = statistics.median(r["steps_per_s"] for r in results[first, n])
        for setup in args.setups:
            rs = results[setup, n]
            speed = statistics.median(r["steps_per_s"] for r in rs)
            print(f"| {setup} | {n} | {speed:,.0f} | {speed / base:.2f} | "
                  f"{statistics.median(r['pss_mb'] for r in rs):.0f} | {statistics.median(r['rss_mb'] for r in rs):.0f} |")


if __name__ == "__main__":
    main()
