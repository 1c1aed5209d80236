"""Vesk beside the floor and a plain-Python version of the same class, in one run.

    python bench/compare.py [--rounds 5] [--tasks 300] [--port 8800] [--no-profile]
        [--baseline-python PYTHON]    # adds a column: Vesk as built for PYTHON

Rows (microseconds, medians over interleaved rounds of each round's median):
- one_task: a small message out, `num_envs` rows of 16 float32 back;
- step: trivial hooks, a (num_envs, 4) float64 action, (num_envs, 16) float32 observations;
- convert_numpy_to_list on nested containers and on a (1024, 64) float64 array.

"floor" is a bare websockets server of the same library sending the same
text and receiving the same bytes from the same echo front-end (its own
process, bench/echo_frontend.py); "python" is bench/plain_env.py. Each
implementation and size runs in a worker process of its own (the bridge and
its queues are process-wide), driven one block at a time from here.

The profile (unless --no-profile) times the stages of one step, Vesk and
floor, from timestamps taken on each side of every hand-off: the queues are
wrapped to stamp put/get, the front-end stamps arrival and answer.
"""
import argparse
import asyncio
import json
import os
import platform
import queue
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import numpy as np  # noqa: E402
import websockets  # noqa: E402

import echo_frontend  # noqa: E402

COLUMNS = 16
SIZES = (1, 1024)
IMPLS = ("floor", "vesk", "python")
BEFORE = "Vesk (baseline)"
ONE_TASK_MESSAGE = {"env": "step", "action": [[0.25, -1.0]]}
WARMUP = 100


def action_for(num_envs):
    return np.random.default_rng(1).normal(size=(num_envs, 4))


def step_text(num_envs):
    return json.dumps({"env": "step", "action": action_for(num_envs).astype(np.float32).tolist()})


# ------------------------------------------------------------------ workers

def make_env_class(base, num_envs):
    flags = np.zeros(num_envs, dtype=bool)

    class Bench(base):
        def __init__(self):
            self.num_envs = num_envs
            self.add_obj = {"bench": True}
            self.obs_target = None
            super().__init__()

        def connect(self, connect_func):
            threading.Thread(target=connect_func, daemon=True).start()

        def explain_reset(self, reset_array):
            return None, None

        def explain_action(self, action):
            return action

        def explain_obs(self, obs):
            return obs

        def reward(self, state):
            return state[:, 4], flags, flags, flags

    return Bench


class TimedQueue(queue.Queue):
    """Stamps each put on entry and each get on return (profile only)."""

    def __init__(self):
        super().__init__()
        self.puts, self.gets = [], []

    def put(self, item, block=True, timeout=None):
        self.puts.append(time.perf_counter_ns())
        super().put(item, block, timeout)

    def get(self, block=True, timeout=None):
        item = super().get(block, timeout)
        self.gets.append(time.perf_counter_ns())
        return item


def env_worker(impl, num_envs, port, stamps):
    if impl == "vesk":
        import Vesk as module
        base = module.Vesk_Pal_st
    else:
        import plain_env as module
        base = module.PlainEnv
    cls = make_env_class(base, num_envs)
    if stamps:
        cls.send_queue, cls.reply_quene = TimedQueue(), TimedQueue()
    os.environ["VESK_PORT"] = str(port)
    os.environ["VESK_TOKEN"] = "off"  # the echo front-end is a hand-written client
    front_end = echo_frontend.start(port, num_envs, COLUMNS, stamps)
    env = cls()
    action = action_for(num_envs)
    workloads = {"one_task": lambda: env.one_task(ONE_TASK_MESSAGE), "step": lambda: env.step(action)}
    for run in workloads.values():
        for _ in range(WARMUP):
            run()

    def block(workload, count):
        run, times = workloads[workload], []
        for _ in range(count):
            start = time.perf_counter_ns()
            run()
            times.append(time.perf_counter_ns() - start)
        return times

    if stamps:
        cls.send_queue.puts.clear(), cls.send_queue.gets.clear(), cls.reply_quene.puts.clear(), cls.reply_quene.gets.clear()
    serve_commands(block, lambda: profile_parts(cls, env, action, front_end, stamps), front_end,
                   lambda: convert_times(module.convert_numpy_to_list))


def floor_worker(num_envs, port, stamps):
    texts = {"one_task": json.dumps(ONE_TASK_MESSAGE), "step": step_text(num_envs)}
    loop = asyncio.new_event_loop()
    connected = threading.Event()
    holder = {}

    async def handler(ws):
        holder["ws"] = ws
        await ws.send('{"env": "init"}')
        await ws.recv()
        connected.set()
        await asyncio.Future()

    async def run_block(workload, count):
        ws, text, times = holder["ws"], texts[workload], []
        for _ in range(count):
            start = time.perf_counter_ns()
            await ws.send(text)
            await ws.recv()
            times.append(time.perf_counter_ns() - start)
        return times

    async def serve():
        async with websockets.serve(handler, "127.0.0.1", port):
            await asyncio.Future()

    threading.Thread(target=lambda: loop.run_until_complete(serve()), daemon=True).start()
    front_end = echo_frontend.start(port, num_envs, COLUMNS, stamps)
    connected.wait(30)

    def block(workload, count):
        return asyncio.run_coroutine_threadsafe(run_block(workload, count), loop).result()

    for workload in texts:
        block(workload, WARMUP)
    serve_commands(block, lambda: {"front_end": front_end_stamps(stamps, front_end)}, front_end)


def serve_commands(block, profile, front_end, converts=None):
    for line in sys.stdin:
        command = line.split()
        if command[0] == "block":
            print(json.dumps(block(command[1], int(command[2]))), flush=True)
        elif command[0] == "convert":
            print(json.dumps(converts()), flush=True)
        elif command[0] == "profile":
            print(json.dumps(profile()), flush=True)
        elif command[0] == "quit":
            break
    front_end.kill()
    front_end.wait()
    sys.stdout.flush()
    os._exit(0)  # the bridge would see its front-end leave and end the process with status 1


def front_end_stamps(path, front_end):
    time.sleep(0.2)
    front_end.kill()
    with open(path) as f:
        return [tuple(map(int, line.split())) for line in f if line.strip()]


def profile_parts(cls, env, action, front_end, stamps):
    """Per-step stamps of the last block, plus the caller-side parts timed alone."""
    from_caller = {"send_put": cls.send_queue.puts, "send_get": cls.send_queue.gets,
                   "reply_put": cls.reply_quene.puts, "reply_get": cls.reply_quene.gets}
    # Parts of the caller's side alone, on a probe whose queue no bridge reads.
    probe = object.__new__(type(env))
    probe.send_queue = queue.Queue()
    probe.num_envs = env.num_envs
    module = sys.modules[type(env).__mro__[1].__module__]
    convert = module.convert_numpy_to_list
    explained = convert(action)
    message = {"env": "step", "action": explained}
    reply = np.zeros((env.num_envs, COLUMNS), dtype=np.float32).tobytes()

    # A whole step against queues of its own, its reply put beforehand.
    probe.reply_quene, probe.info_array = queue.Queue(), env.info_array

    def step_alone():
        probe.reply_quene.put(reply)
        probe.step(action)
        probe.send_queue.get_nowait()

    def timed(run, count=200):
        times = []
        for _ in range(count):
            start = time.perf_counter_ns()
            run()
            times.append(time.perf_counter_ns() - start)
        return statistics.median(times) / 1000

    parts = {
        "convert action": timed(lambda: convert(action)),
        "encode + put": timed(lambda: (probe.one_task(message, False), probe.send_queue.get_nowait())),
        "step without the round trip (hooks, convert + JSON text, put, decode)": timed(step_alone),
        "decode (frombuffer, reshape)": timed(lambda: np.frombuffer(reply, dtype=np.float32).reshape(env.num_envs, -1)),
        "reward hook + any()": timed(lambda: env.reward(env.state)[3].any()),
    }
    return {"caller": from_caller, "parts": parts, "front_end": front_end_stamps(stamps, front_end)}


# -------------------------------------------------------------- coordinator

class Worker:
    def __init__(self, impl, num_envs, port, stamps=None, python=sys.executable):
        args = [python, __file__, "--worker", impl, "--num-envs", str(num_envs), "--port", str(port)]
        if stamps:
            args += ["--stamps", stamps]
        self.process = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def ask(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError(f"worker ended: {self.process.args}")
        return json.loads(line)

    def close(self):
        try:
            self.process.stdin.write("quit\n")
            self.process.stdin.flush()
        except BrokenPipeError:
            pass
        self.process.wait(10)


def nested_data():
    """About 2,000 objects: dicts, lists, tuples, scalars and a few small arrays."""
    rng = np.random.default_rng(2)
    return {
        "agents": [
            {"id": i, "pos": (0.5 * i, -1.0), "vel": [0.1 * i, 0.2, 0.3], "name": f"agent{i}", "alive": i % 3 == 0,
             "goal": (i, (i + 1, None))}
            for i in range(110)
        ],
        "sensors": [rng.normal(size=4) for _ in range(10)],
        "meta": {"seed": 2, "tags": ("a", "b", "c"), "scale": [1.0, 2.0]},
    }


def count_objects(data):
    if isinstance(data, dict):
        return 1 + sum(1 + count_objects(v) for v in data.values())
    if isinstance(data, (list, tuple)):
        return 1 + sum(count_objects(v) for v in data)
    return 1


def convert_times(convert, count=30):
    """Median microseconds of convert_numpy_to_list on the two inputs, and of tolist() alone."""
    nested, array = nested_data(), np.random.default_rng(3).normal(size=(1024, 64))
    assert convert(array) == array.astype(np.float32).tolist()
    result = {}
    for name, run in (("nested", lambda: convert(nested)), ("array", lambda: convert(array)),
                      ("tolist", lambda: array.tolist())):
        times = []
        for _ in range(count):
            start = time.perf_counter_ns()
            run()
            times.append(time.perf_counter_ns() - start)
        result[name] = statistics.median(times) / 1000
    return result


def stage_table(caller, front_end, floor_front_end, floor_times):
    """Median microseconds per stage of the profiled steps."""
    n = min(len(caller["send_put"]), len(caller["send_get"]), len(caller["reply_put"]), len(caller["reply_get"]))
    fe = front_end[-n:]
    rows = {
        "caller: hooks, convert, encode (to send_queue.put)": [],
        "hand-off: send_queue.put -> get returns on the loop": [],
        "send -> front-end has the message": [],
        "front-end answers": [],
        "reply on the wire -> reply_quene.put": [],
        "hand-off: reply_quene.put -> get returns to caller": [],
    }
    names = list(rows)
    for i in range(n):
        put, got = caller["send_put"][-n + i], caller["send_get"][-n + i]
        arrived, left = fe[i]
        rput, rget = caller["reply_put"][-n + i], caller["reply_get"][-n + i]
        for name, value in zip(names, (None, got - put, arrived - got, left - arrived, rput - left, rget - rput)):
            if value is not None:
                rows[name].append(value / 1000)
    table = {name: statistics.median(values) for name, values in rows.items() if values}
    ffe = floor_front_end[-len(floor_times):]
    floor_in = [a for a, _ in ffe]
    floor_answer = [b - a for a, b in ffe]
    return table, floor_in, floor_answer


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--tasks", type=int, default=300, help="tasks per block")
    parser.add_argument("--port", type=int, default=8800)
    parser.add_argument("--no-profile", action="store_true")
    parser.add_argument("--baseline-python", help="an interpreter whose Vesk build is shown as the baseline")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--num-envs", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--stamps", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker == "floor":
        return floor_worker(args.num_envs, args.port, args.stamps)
    if args.worker:
        return env_worker(args.worker, args.num_envs, args.port, args.stamps)

    print(f"{platform.node()} · {platform.processor() or platform.machine()} · {os.cpu_count()} cores · "
          f"Python {platform.python_version()} · numpy {np.__version__} · websockets {websockets.__version__}")
    impls = IMPLS + ((BEFORE,) if args.baseline_python else ())
    workers, port = {}, args.port
    for num_envs in SIZES:
        for impl in impls:
            python = args.baseline_python if impl == BEFORE else sys.executable
            workers[impl, num_envs] = Worker("vesk" if impl == BEFORE else impl, num_envs, port, python=python)
            port += 1
    medians = {(w, n, i): [] for w in ("one_task", "step") for n in SIZES for i in impls}
    converts = {i: [] for i in impls if i != "floor"}
    for round_number in range(args.rounds):
        order = impls[round_number % len(impls):] + impls[:round_number % len(impls)]  # nobody always goes first
        for workload in ("one_task", "step"):
            for num_envs in SIZES:
                for impl in order:
                    times = workers[impl, num_envs].ask(f"block {workload} {args.tasks}")
                    medians[workload, num_envs, impl].append(statistics.median(times) / 1000)
        for impl in order:
            if impl != "floor":
                converts[impl].append(workers[impl, 1].ask("convert"))
    for worker in workers.values():
        worker.close()

    def converted(impl, key):
        return statistics.median(c[key] for c in converts[impl])

    print(f"\nmedians of {args.rounds} interleaved rounds of {args.tasks} tasks, microseconds")
    before = " | baseline | baseline/floor" if args.baseline_python else ""
    print(f"| workload | num_envs | floor | Vesk | python | Vesk/floor | python/Vesk{before} |")
    print("|---|---|---|---|---|---|---|" + ("---|---|" if before else ""))
    for workload, label in (("one_task", "one_task"), ("step", "step, trivial hooks, (n, 4) action")):
        for num_envs in SIZES:
            floor, vesk, python = (statistics.median(medians[workload, num_envs, i]) for i in IMPLS)
            extra = ""
            if before:
                base = statistics.median(medians[workload, num_envs, BEFORE])
                extra = f" {base:.0f} | {base / floor:.2f} |"
            print(f"| {label} | {num_envs} | {floor:.0f} | {vesk:.0f} | {python:.0f} | {vesk / floor:.2f} | "
                  f"{python / vesk:.2f} |{extra}")
    objects = count_objects(nested_data())
    for key, label in (("nested", f"convert_numpy_to_list, nested ({objects} objects)"),
                       ("array", "convert_numpy_to_list, (1024, 64) float64")):
        vesk, python = converted("vesk", key), converted("python", key)
        floor = f"tolist() alone {converted('vesk', 'tolist'):.0f}" if key == "array" else "–"
        ratio = f"Vesk/tolist {vesk / converted('vesk', 'tolist'):.2f}" if key == "array" else "–"
        extra = f" {converted(BEFORE, key):.0f} | – |" if before else ""
        print(f"| {label} | – | {floor} | {vesk:.0f} | {python:.0f} | {ratio} | {python / vesk:.2f} |{extra}")
    sys.stdout.flush()
    if not args.no_profile:
        profile(args, port)


def profile(args, port):
    print(f"\nwhere a step's time goes: median microseconds over {args.tasks} profiled steps "
          "(queues wrapped in Python for the stamps, which adds about 1 us to each hand-off)")
    with tempfile.TemporaryDirectory() as folder:
        for num_envs in SIZES:
            results = {}
            for impl in ("floor", "vesk", "python"):
                stamps = os.path.join(folder, f"{impl}-{num_envs}.txt")
                worker = Worker(impl, num_envs, port, stamps)
                port += 1
                times = worker.ask(f"block step {args.tasks}")
                results[impl] = (statistics.median(times) / 1000, times, worker.ask("profile"))
                worker.close()
            floor_total, floor_times, floor_profile = results["floor"]
            floor_fe = floor_profile["front_end"]
            # The floor's round trip less the front-end's own time: the wire both ways.
            floor_answer = statistics.median(b - a for a, b in floor_fe[-len(floor_times):]) / 1000
            print(f"\nnum_envs {num_envs}: floor {floor_total:.0f} us, of which the front-end answering "
                  f"{floor_answer:.0f} us and the wire both ways {floor_total - floor_answer:.0f} us")
            print("| stage | Vesk | python |")
            print("|---|---|---|")
            tables = {}
            for impl in ("vesk", "python"):
                total, times, prof = results[impl]
                table, _, _ = stage_table(prof["caller"], prof["front_end"], floor_fe, floor_times)
                wire = table["send -> front-end has the message"] + table["reply on the wire -> reply_quene.put"]
                rest = total - sum(table.values())
                table["caller: hooks, convert, JSON text, decode (the rest)"] = rest
                table["(wire both ways, less the floor's)"] = wire - (floor_total - floor_answer)
                table["(total)"] = total
                table.update({f"part alone: {k}": v for k, v in prof["parts"].items()})
                tables[impl] = table
            for name in tables["vesk"]:
                print(f"| {name} | {tables['vesk'][name]:.1f} | {tables['python'].get(name, float('nan')):.1f} |")


if __name__ == "__main__":
    main()
