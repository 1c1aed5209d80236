"""Vesk beside the floor of its host: steps per second, where a step's time
goes, and the host's memory, for headless Chromium and Node.

    python bench/hosts.py [--envs 1 64 1024] [--steps 1000] [--seconds 2] [--rounds 5]
        [--setups chromium-old chromium node node-own] [--impls floor vesk] [--json FILE]

Setups: `chromium` is the launcher's Chromium with `single_process=True`
(`--single-process`, the DevTools pipe attached), `chromium-old` the same
with the helpers in processes of their own (`single_process=False`: the
launcher's default), `node` the Node host (its
own choice of WebSocket: the ws package where installed), `node-own` the
Node host on Node's own WebSocket (not run unless named).

Implementations, both on the same host process and flags:
- floor: a bare websockets server of the library the bridge uses,
  compression off as the bridge serves, sending the text json.dumps makes
  of a step with a float32 (n, 4) action (made once) and receiving the
  reply; the page (pages/floor.js, no client kit) parses it and answers a
  ready Float32Array of n x 7. The table also shows Vesk over a floor that
  would make its text each step (json.dumps of the action's tolist(),
  timed apart in the floor's process);
- vesk: a subclass with trivial hooks stepping a float32 (n, 4) action
  through veskit.Browser or veskit.NodeHost; the page (pages/vesk.js) is
  the client kit with handlers that return a ready Float32Array of n x 7.

Each measurement runs in a fresh process (the bridge is process-wide),
setups, implementations and sizes interleaved round after round; medians
are printed. A timed block lasts at least --steps steps and --seconds
seconds. A step's stages (means over the timed block), stamped on each
side of every hand-off:
- Python: hooks, the action's JSON text, the reply's decode (the step less
  the time from the task's put on send_queue to its reply's get; for the
  floor, its coroutine's own loop);
- hand-offs: send_queue.put -> get returns on the bridge's loop, and
  reply_quene.put -> get returns to the caller (queue subclasses stamp
  them: the module calls put and get by name);
- the bridge's own steps: from get to websockets' send, from recv's return
  to the reply's put;
- websockets' send, and the reply's wait (send's end to recv's return),
  stamped by wrappers of the library's Connection.send and recv in both
  the floor and the bridge; the wait splits into the page's decode, handle
  and reply (the stage sums the page keeps: the kit's `client.timings`, the
  floor page the same; read with a "timings" task before and after the
  block) and the rest: the wire both ways and the event loops of host and
  server.
The stamps cost a microsecond or two a step, on both sides alike.
Memory: the sums of PSS, USS (private pages) and RSS from
/proc/<pid>/smaps_rollup over the host's process group, after the block.
"""
import argparse
import asyncio
import json
import os
import platform
import queue
import secrets
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PAGES = os.path.join(HERE, "pages")

import numpy as np  # noqa: E402

# Steps and seconds before timing: on a busy machine the hosts' JIT
# compilers, on threads of their own, finish late.
WARMUP, WARMUP_SECONDS = 200, 1.0
SETUPS = ("chromium-old", "chromium", "node", "node-own")
DEFAULT_SETUPS = SETUPS[:3]
NODE_MAJOR = int(subprocess.run(["node", "--version"], capture_output=True,
                                text=True).stdout.strip("v\n").split(".")[0] or 0)
IMPLS = ("floor", "vesk")
COLUMNS = 7


def host_memory(group):
    """(PSS, RSS, USS, processes) summed over the processes of process group
    `group`, in MB. PSS splits shared pages between every process mapping
    them, other programs' Chromium included; USS (private pages) does not."""
    pss = rss = uss = count = 0
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat") as f:
                if int(f.read().rsplit(")", 1)[1].split()[2]) != group:
                    continue
            with open(f"/proc/{pid}/smaps_rollup") as f:
                fields = dict(line.split(":", 1) for line in f.read().splitlines()[1:])
        except (OSError, ValueError):
            continue
        kb = {key: int(fields[key].split()[0]) for key in ("Pss", "Rss", "Private_Clean", "Private_Dirty")}
        pss += kb["Pss"]
        rss += kb["Rss"]
        uss += kb["Private_Clean"] + kb["Private_Dirty"]
        count += 1
    return pss / 1024, rss / 1024, uss / 1024, count


def action_for(num_envs):
    return np.random.default_rng(1).normal(size=(num_envs, 4)).astype(np.float32)


def page_for(setup, impl):
    if setup.startswith("node"):
        return os.path.join(PAGES, f"{impl}.js")
    return os.path.join(PAGES, f"{impl}.html")


def timing_delta(before, after, steps):
    """The page's stage sums over the block, per step (the kit's sums also
    hold the first "timings" task's own: a microsecond or so in all)."""
    return {f"page_{stage}_us": (after[stage] - before[stage]) / steps * 1000
            for stage in ("decode", "handle", "reply")}


def stamp_connection():
    """Wraps websockets' Connection.send and recv (the bridge calls them by
    name, the floor as well) to stamp each send's start and end and each
    recv's return; returns the three lists."""
    from websockets.asyncio.connection import Connection

    send_in, send_out, recv_out = [], [], []
    send, recv = Connection.send, Connection.recv

    async def stamped_send(self, message, *, text=None):
        send_in.append(time.perf_counter_ns())
        await send(self, message, text=text)
        send_out.append(time.perf_counter_ns())

    async def stamped_recv(self, decode=None):
        data = await recv(self, decode)
        recv_out.append(time.perf_counter_ns())
        return data

    Connection.send, Connection.recv = stamped_send, stamped_recv
    return send_in, send_out, recv_out


def wire_stages(result, wire, steps):
    """send_us and wait_us (the reply's wait: wire both ways and the page)
    from stamp_connection's lists, taken over the block; returns (send_in,
    recv_out) as arrays."""
    send_in, send_out, recv_out = (np.array(s[:steps], dtype=np.int64) for s in wire)
    result["send_us"] = float((send_out - send_in).mean()) / 1000
    result["wait_us"] = float((recv_out - send_out).mean()) / 1000
    return send_in, recv_out


# ------------------------------------------------------------------ floor

def dumps_us(num_envs, count=50):
    """What making the floor's text each step would add: json.dumps of the action's tolist()."""
    action = action_for(num_envs)
    start = time.perf_counter_ns()
    for _ in range(count):
        json.dumps({"env": "step", "action": action.tolist()})
    return (time.perf_counter_ns() - start) / count / 1000


def use_node_own_websocket():
    """Has the Node host take Node's own WebSocket even where the ws package is installed."""
    import veskit.hosts.node
    flags = () if NODE_MAJOR >= 22 else ("--experimental-websocket",)
    veskit.hosts.node.websocket_setup = lambda executable: (flags, None)


def new_host(setup):
    if setup.startswith("node"):
        from veskit.hosts.node import Node
        if setup == "node-own":
            use_node_own_websocket()
        return Node()
    from veskit.hosts.chromium import Chromium
    return Chromium(single_process=setup == "chromium")


def measure_floor(setup, num_envs, steps, seconds):
    import websockets
    from veskit._ports import free_port

    host = new_host(setup)
    host.start()
    port, token = free_port(), secrets.token_urlsafe(16)
    text = json.dumps({"env": "step", "action": action_for(num_envs).tolist()})
    result = {}
    wire = stamp_connection()

    async def run(steps):
        connections = asyncio.Queue()

        async def handler(ws):
            await connections.put(ws)
            await ws.wait_closed()

        async def timings(ws):
            await ws.send('{"env": "timings"}')
            return json.loads(await ws.recv())

        async with websockets.serve(handler, "127.0.0.1", port, compression=None):
            await asyncio.get_running_loop().run_in_executor(None, host.open, host.address(page_for(setup, "floor"),
                                                                                           port, token))
            ws = await asyncio.wait_for(connections.get(), 60)
            started, done = time.monotonic(), 0
            while done < WARMUP or time.monotonic() - started < WARMUP_SECONDS:
                await ws.send(text)
                await ws.recv()
                done += 1
            before = await timings(ws)
            for stamps in wire:
                stamps.clear()
            start, done = time.perf_counter_ns(), 0
            while done < steps or time.perf_counter_ns() - start < seconds * 1e9:
                await ws.send(text)
                await ws.recv()
                done += 1
            elapsed = time.perf_counter_ns() - start
            steps = done
            result.update(timing_delta(before, await timings(ws), steps))
            result["step_us"] = elapsed / steps / 1000
            wire_stages(result, wire, steps)
            result["python_us"] = result["step_us"] - result["send_us"] - result["wait_us"]
            for key in ("handoff_out_us", "handoff_back_us", "get_to_send_us", "recv_to_put_us"):
                result[key] = 0.0
            result["text_bytes"] = len(text)
            result["dumps_us"] = dumps_us(num_envs)

    asyncio.run(run(steps))
    return host, result


# ------------------------------------------------------------------ Vesk

class TimedQueue(queue.Queue):
    """Stamps each put on entry and each successful get on return; the
    module calls put and get by name, so its paths stay its own."""

    def __init__(self):
        super().__init__()
        self.puts, self.gets = [], []

    def put(self, item, block=True, timeout=None):
        self.puts.append(time.perf_counter_ns())
        self.last = item
        super().put(item, block, timeout)

    def get(self, block=True, timeout=None):
        item = super().get(block, timeout)
        self.gets.append(time.perf_counter_ns())
        return item


def bench_class(num_envs):
    import Vesk

    flags = np.zeros(num_envs, dtype=bool)

    class Bench(Vesk.Vesk_Pal_st):
        send_queue, reply_quene = TimedQueue(), TimedQueue()

        def __init__(self):
            self.num_envs = num_envs
            self.add_obj = {"bench": True}
            self.obs_target = None
            super().__init__()

        def explain_reset(self, reset_array):
            return None, None

        def explain_action(self, action):
            return action

        def explain_obs(self, obs):
            return obs

        def reward(self, state):
            return state[:, 4], flags, flags, flags

    return Bench


def measure_vesk(setup, num_envs, steps, seconds):
    import veskit

    page = page_for(setup, "vesk")
    if setup == "node-own":
        use_node_own_websocket()
    if setup.startswith("node"):
        launcher = veskit.NodeHost(page)
    else:
        launcher = veskit.Browser(page, single_process=setup == "chromium")
    launcher.start()
    wire = stamp_connection()
    cls = bench_class(num_envs)
    env = launcher.make(cls)
    env.reset()
    action = action_for(num_envs)
    started, done = time.monotonic(), 0
    while done < WARMUP or time.monotonic() - started < WARMUP_SECONDS:
        env.step(action)
        done += 1
    before = env.one_task({"env": "timings"})
    out, back = cls.send_queue, cls.reply_quene
    for stamps in (out.puts, out.gets, back.puts, back.gets, *wire):
        stamps.clear()
    start, done = time.perf_counter_ns(), 0
    while done < steps or time.perf_counter_ns() - start < seconds * 1e9:
        env.step(action)
        done += 1
    elapsed, steps = time.perf_counter_ns() - start, done
    text_bytes = len(out.last)
    stamps = [np.array(s[:steps], dtype=np.int64) for s in (out.puts, out.gets, back.puts, back.gets)]
    after = env.one_task({"env": "timings"})
    send_put, send_get, reply_put, reply_get = stamps
    result = timing_delta(before, after, steps)
    result["step_us"] = elapsed / steps / 1000
    result["python_us"] = result["step_us"] - float((reply_get - send_put).mean()) / 1000
    result["handoff_out_us"] = float((send_get - send_put).mean()) / 1000
    result["handoff_back_us"] = float((reply_get - reply_put).mean()) / 1000
    send_in, recv_out = wire_stages(result, wire, steps)
    result["get_to_send_us"] = float((send_in - send_get).mean()) / 1000
    result["recv_to_put_us"] = float((reply_put - recv_out).mean()) / 1000
    result["text_bytes"] = text_bytes
    return launcher.host, result


def measure(setup, impl, num_envs, steps, seconds):
    host, result = (measure_floor if impl == "floor" else measure_vesk)(setup, num_envs, steps, seconds)
    result["pss_mb"], result["rss_mb"], result["uss_mb"], result["processes"] = host_memory(host.pid)
    print(json.dumps(result), flush=True)
    os._exit(0)  # the bridge would see the page leave and end the process with status 1


# -------------------------------------------------------------- coordinator

def run_one(setup, impl, num_envs, steps, seconds):
    command = [sys.executable, __file__, "--one", setup, impl, str(num_envs), "--steps", str(steps),
               "--seconds", str(seconds)]
    out = subprocess.run(command, capture_output=True, text=True, timeout=900)
    lines = [line for line in out.stdout.splitlines() if line.startswith("{")]
    if out.returncode != 0 or not lines:
        raise RuntimeError(f"{setup} {impl} at {num_envs}: status {out.returncode}\n{out.stdout}{out.stderr}")
    return json.loads(lines[-1])


def versions():
    """Machine and versions, one line."""
    import websockets

    import veskit

    found = []
    for name, finder, field in (("Chromium", veskit.find_chromium, 1), ("node", veskit.find_node, 0)):
        try:
            found.append(name + " " + subprocess.run([finder(), "--version"], capture_output=True, text=True,
                                                     timeout=30).stdout.split()[field])
        except (OSError, IndexError, subprocess.SubprocessError):
            found.append(name + " unknown")
    with open("/proc/loadavg") as f:
        load = f.read().split()[0]
    return (f"{platform.node()} · {os.cpu_count()} cores · load {load} · {time.strftime('%Y-%m-%d')} · "
            f"Python {platform.python_version()} · numpy {np.__version__} · websockets {websockets.__version__} · "
            + " · ".join(found))


STAGES = (("Python: hooks, JSON text, decode (floor: its loop)", "python_us"),
          ("hand-off: send_queue.put -> get returns on the loop", "handoff_out_us"),
          ("bridge: get -> send", "get_to_send_us"),
          ("websockets' send", "send_us"),
          ("page: decode (JSON.parse)", "page_decode_us"),
          ("page: handle (handler, reply checks)", "page_handle_us"),
          ("page: reply (send)", "page_reply_us"),
          ("bridge: recv returns -> reply_quene.put", "recv_to_put_us"),
          ("hand-off: reply_quene.put -> get returns", "handoff_back_us"))


def median_of(results, key):
    return statistics.median(r[key] for r in results)


def report(results, envs, setups, impls, rounds, steps, seconds):
    print(f"\nmedians of {rounds} interleaved rounds of at least {steps} steps and {seconds:g} s "
          "(each a fresh process)")
    if "floor" in impls and "vesk" in impls:
        print("\n| host | num_envs | floor steps/s | Vesk steps/s | Vesk/floor (time a step) | "
              "json.dumps a step, us | Vesk/(floor + json.dumps) |")
        print("|---|---|---|---|---|---|---|")
        for setup in setups:
            for n in envs:
                floor, vesk = (median_of(results[setup, impl, n], "step_us") for impl in ("floor", "vesk"))
                dumps = median_of(results[setup, "floor", n], "dumps_us")
                print(f"| {setup} | {n} | {1e6 / floor:,.0f} | {1e6 / vesk:,.0f} | {vesk / floor:.2f} | "
                      f"{dumps:,.0f} | {vesk / (floor + dumps):.2f} |")
    print("\nwhere a step's time goes, us (means over the block, medians over rounds, so they need "
          "not add up exactly)")
    for setup in setups:
        columns = {(impl, n): results[setup, impl, n] for n in envs for impl in impls}
        print(f"\n{setup}")
        print("| stage | " + " | ".join(f"{impl} n={n}" for impl, n in columns) + " |")
        print("|---|" + "---|" * len(columns))
        rows = {column: {key: median_of(rs, key) for _, key in STAGES + (("", "step_us"),)}
                for column, rs in columns.items()}
        rest = {column: statistics.median(r["wait_us"] - r["page_decode_us"] - r["page_handle_us"]
                                          - r["page_reply_us"] for r in rs) for column, rs in columns.items()}
        for label, key in STAGES:
            print(f"| {label} | " + " | ".join(f"{rows[column][key]:.0f}" for column in columns) + " |")
            if key == "page_reply_us":
                print("| wire both ways, the host's and the server's loops | "
                      + " | ".join(f"{rest[column]:.0f}" for column in columns) + " |")
        print("| the step | " + " | ".join(f"{rows[column]['step_us']:.0f}" for column in columns) + " |")
    speeds = {(setup, impl, n): 1e6 / median_of(results[setup, impl, n], "step_us")
              for setup in setups for impl in impls for n in envs}
    pairs = [(a, b) for a, b in (("chromium", "chromium-old"), ("node", "chromium")) if a in setups and b in setups]
    if pairs:
        print("\nspeed-ups (steps/s over steps/s)")
        print("| | " + " | ".join(f"{impl} n={n}" for impl in impls for n in envs) + " |")
        print("|---|" + "---|" * (len(impls) * len(envs)))
        for a, b in pairs:
            print(f"| {a} / {b} | " + " | ".join(f"{speeds[a, impl, n] / speeds[b, impl, n]:.2f}"
                                                for impl in impls for n in envs) + " |")
    print("\nmemory of the host's processes (medians over rounds and sizes)")
    print("| host | implementation | processes | PSS MB | USS MB | RSS MB |")
    print("|---|---|---|---|---|---|")
    for setup in setups:
        for impl in impls:
            rs = [r for n in envs for r in results[setup, impl, n]]
            print(f"| {setup} | {impl} | {median_of(rs, 'processes'):.0f} | {median_of(rs, 'pss_mb'):.0f} | "
                  f"{median_of(rs, 'uss_mb'):.0f} | {median_of(rs, 'rss_mb'):.0f} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--envs", type=int, nargs="+", default=[1, 64, 1024])
    parser.add_argument("--steps", type=int, default=1000)
    parser.add_argument("--seconds", type=float, default=2.0, help="the least time a timed block steps for")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--setups", nargs="+", default=list(DEFAULT_SETUPS), choices=SETUPS)
    parser.add_argument("--impls", nargs="+", default=list(IMPLS), choices=IMPLS)
    parser.add_argument("--json", help="also write every measurement to this file")
    parser.add_argument("--one", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        return measure(args.one[0], args.one[1], int(args.one[2]), args.steps, args.seconds)
    print(versions(), flush=True)
    results = {(setup, impl, n): [] for setup in args.setups for impl in args.impls for n in args.envs}
    for round_number in range(args.rounds):
        for n in args.envs:
            for setup in args.setups:
                for impl in args.impls:
                    results[setup, impl, n].append(run_one(setup, impl, n, args.steps, args.seconds))
        print(f"round {round_number + 1} of {args.rounds} done", file=sys.stderr, flush=True)
    if args.json:
        with open(args.json, "w") as f:
            json.dump([{"setup": s, "impl": i, "num_envs": n, "rounds": rs} for (s, i, n), rs in results.items()], f)
    report(results, args.envs, args.setups, args.impls, args.rounds, args.steps, args.seconds)


if __name__ == "__main__":
    main()
