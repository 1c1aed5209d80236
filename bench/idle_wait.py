"""How should the bridge's connection handler wait for the next task?

A blocking send_queue.get() on the event-loop thread freezes the loop between
tasks. This compares ways to wait that keep the loop running, each as a small
pure-Python websockets server (the bridge's shape: server on its own daemon
thread, environment in the main thread of the same process) driven by the same
echo client in another process, as the browser is:

  frozen          get() on the loop thread (the baseline that freezes)
  slice N ms      get(timeout=N ms), then await asyncio.sleep(0)
  nowait+sleep N  get_nowait(), else await asyncio.sleep(N ms)
  wake            get_nowait(), else await a future that the putter resolves
                  with loop.call_soon_threadsafe (a 5 ms timer as the fallback)
  executor        await loop.run_in_executor(None, q.get)
  daemon thread   a daemon thread does q.get() and hands the task to the loop
  bare websocket  no queue: the handler sends and awaits the echo (the floor)

Reported per strategy: round-trip latency as the environment sees it (put on
send_queue .. reply on reply_quene) back to back and after a 20 ms pause; the
process's CPU while the environment idles; how long a client ping waits for
its pong during that idle time; whether the process exits when the program
ends while the handler waits for a task; and, scaled down, whether the
server's keepalive and a pinging client's keepalive survive pauses longer
than the ping timeout.

    python bench/idle_wait.py            # about a minute
    python bench/idle_wait.py --quick    # a few seconds per strategy
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import queue
import random
import resource
import socket
import statistics
import subprocess
import sys
import threading
import time

import websockets
from websockets.asyncio.client import connect
from websockets.exceptions import ConnectionClosed

HOST = "127.0.0.1"
TASK = json.dumps({"env": "step", "action": [[0.25, -1.0], [0.5, 0.0]]})
REPLY = b"\x00" * 16  # one float32 row of four
PAUSE = 0.020
JITTER = 0.005  # pauses vary, or a polling period could phase-lock onto them

STRATEGIES = ["frozen", "slice 1ms", "slice 5ms", "slice 50ms", "nowait+sleep 1ms",
              "nowait+sleep 5ms", "wake", "executor", "daemon thread", "bare websocket"]
KEEPALIVE_STRATEGIES = ["frozen", "slice 5ms"]


# ------------------------------------------------------------ ways to wait

def make_waiter(name: str, q: queue.Queue):
    if name == "frozen":
        async def wait_next():
            return q.get()
    elif name.startswith("slice"):
        seconds = float(name.split()[1][:-2]) / 1000

        async def wait_next():
            while True:
                try:
                    return q.get(timeout=seconds)
                except queue.Empty:
                    await asyncio.sleep(0)
    elif name.startswith("nowait"):
        seconds = float(name.split()[1][:-2]) / 1000

        async def wait_next():
            while True:
                try:
                    return q.get_nowait()
                except queue.Empty:
                    await asyncio.sleep(seconds)
    elif name == "wake":
        async def wait_next():
            loop = asyncio.get_running_loop()
            while True:
                try:
                    return q.get_nowait()
                except queue.Empty:
                    pass
                future = loop.create_future()
                WAKE[q] = (loop, future)
                if q.qsize():  # put before the future was published
                    WAKE.pop(q, None)
                    continue
                timer = loop.call_later(0.005, _resolve, future, None)
                await future
                timer.cancel()
                WAKE.pop(q, None)
    elif name == "executor":
        async def wait_next():
            return await asyncio.get_running_loop().run_in_executor(None, q.get)
    elif name == "daemon thread":
        requests: queue.Queue = queue.Queue()

        def feed():
            while True:
                loop, future = requests.get()
                message = q.get()
                loop.call_soon_threadsafe(_resolve, future, message)

        threading.Thread(target=feed, daemon=True).start()

        async def wait_next():
            future = asyncio.get_running_loop().create_future()
            requests.put((asyncio.get_running_loop(), future))
            return await future
    else:
        raise ValueError(name)
    return wait_next


WAKE: dict = {}  # queue -> (loop, future) the "wake" handler waits on


def put_and_wake(q: queue.Queue, message) -> None:
    q.put(message)
    waiting = WAKE.pop(q, None)
    if waiting is not None:
        waiting[0].call_soon_threadsafe(_resolve, waiting[1], None)


def _resolve(future, message):
    if not future.cancelled():
        future.set_result(message)


# ---------------------------------------------------- the server process

def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def serve(args) -> None:
    send_queue, reply_quene = queue.Queue(), queue.Queue()
    bare = args.serve == "bare websocket"
    results: dict = {}
    finished = threading.Event()
    options = {}
    if args.server_ping:
        options = dict(ping_interval=args.server_ping, ping_timeout=args.server_ping)

    async def bridge_handler(ws):
        wait_next = make_waiter(args.serve, send_queue)
        try:
            while True:
                message = await wait_next()
                await ws.send(message)
                reply_quene.put(await asyncio.wait_for(ws.recv(), 30))
        except ConnectionClosed as exc:
            reply_quene.put(exc)  # lets the environment report a failed connection

    async def bare_handler(ws):
        async def task(message):
            start = time.perf_counter()
            await ws.send(message)
            await ws.recv()
            return time.perf_counter() - start

        pauses = random.Random(1)

        async def pause():
            await asyncio.sleep(PAUSE + pauses.uniform(0, JITTER))

        async def idle():
            await asyncio.sleep(args.idle)

        results.update(await measure_async(task, pause, idle, args))
        finished.set()

    async def main():
        async with websockets.serve(bare_handler if bare else bridge_handler,
                                    HOST, args.port, **options):
            await asyncio.Future()

    threading.Thread(target=asyncio.run, args=(main(),), daemon=True).start()

    if bare:
        finished.wait()
    elif args.pauses_only:
        results.update(keepalive_run(send_queue, reply_quene, args))
    else:
        def task(message):
            start = time.perf_counter()
            put_and_wake(send_queue, message)
            reply = reply_quene.get()
            if isinstance(reply, Exception):
                raise reply
            return time.perf_counter() - start
        results.update(measure(task, args))
    print(json.dumps(results), flush=True)
    # Returning now, with the handler waiting for a task, shows whether the
    # waiting strategy lets the program end.


def measure(task, args) -> dict:
    for _ in range(args.warmup):
        task(TASK)
    busy = [task(TASK) for _ in range(args.tasks)]
    paused = []
    pauses = random.Random(1)
    for _ in range(args.pauses):
        time.sleep(PAUSE + pauses.uniform(0, JITTER))
        paused.append(task(TASK))
    task("idle")  # the client pings a while after this
    cpu0, wall0 = cpu_seconds(), time.perf_counter()
    time.sleep(args.idle)
    idle_cpu = (cpu_seconds() - cpu0) / (time.perf_counter() - wall0)
    task("end")
    return dict(busy=busy, paused=paused, idle_cpu=idle_cpu)


async def measure_async(task, pause, idle, args) -> dict:
    for _ in range(args.warmup):
        await task(TASK)
    busy = [await task(TASK) for _ in range(args.tasks)]
    paused = []
    for _ in range(args.pauses):
        await pause()
        paused.append(await task(TASK))
    await task("idle")
    cpu0, wall0 = cpu_seconds(), time.perf_counter()
    await idle()
    idle_cpu = (cpu_seconds() - cpu0) / (time.perf_counter() - wall0)
    await task("end")
    return dict(busy=busy, paused=paused, idle_cpu=idle_cpu)


def keepalive_run(send_queue, reply_quene, args) -> dict:
    # Pauses longer than the ping timeout, as a slow policy update is longer
    # than the library's 20 s default; scaled down.
    for index in range(args.keepalive_pauses):
        send_queue.put(TASK)
        reply = reply_quene.get()
        if isinstance(reply, Exception):
            return dict(survived=False, after=index, error=f"{type(reply).__name__}: {reply}")
        time.sleep(args.keepalive_pause)
    send_queue.put("end")
    reply = reply_quene.get()
    if isinstance(reply, Exception):
        return dict(survived=False, after=args.keepalive_pauses, error=str(reply))
    return dict(survived=True)


# ------------------------------------------------------------ the client

async def echo_client(port: int, idle: float, client_ping: float | None, give_up: float) -> dict:
    """Echo every message with a small binary reply at once; after "idle",
    ping once and time the pong."""
    deadline = time.monotonic() + give_up
    while True:
        try:
            ws = await connect(f"ws://{HOST}:{port}", proxy=None, max_size=None,
                               ping_interval=client_ping, ping_timeout=client_ping)
            break
        except OSError:
            if time.monotonic() > deadline:
                raise
            await asyncio.sleep(0.05)
    found: dict = {"pong": None}

    async def ping_later():
        await asyncio.sleep(idle / 4)
        start = time.perf_counter()
        pong = await ws.ping()
        try:
            await asyncio.wait_for(pong, idle + 5)
            found["pong"] = time.perf_counter() - start
        except (asyncio.TimeoutError, ConnectionClosed):
            pass

    pinger = None
    try:
        async with ws:
            while True:
                remaining = deadline - time.monotonic()
                message = await asyncio.wait_for(ws.recv(), max(remaining, 0.1))
                await ws.send(REPLY)
                if message == "idle":
                    pinger = asyncio.ensure_future(ping_later())
                elif message == "end":
                    break
            if pinger is not None:
                await pinger
            try:  # the program ends now; its exit drops the connection
                await asyncio.wait_for(ws.wait_closed(), 3)
            except asyncio.TimeoutError:
                pass
    except (ConnectionClosed, asyncio.TimeoutError) as exc:
        found["error"] = repr(exc)
    found["close_code"] = ws.close_code
    return found


def free_port() -> int:
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def run_child(name: str, args, extra: list, client_ping=None, idle=0.0) -> tuple:
    port = free_port()
    command = [sys.executable, os.path.abspath(__file__), "--serve", name, "--port", str(port),
               "--tasks", str(args.tasks), "--warmup", str(args.warmup),
               "--pauses", str(args.pauses), "--idle", str(args.idle)] + extra
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        seen = asyncio.run(echo_client(port, idle, client_ping, give_up=60))
    except Exception as exc:  # the row says what went wrong, the table goes on
        seen = {"error": repr(exc)}
    try:
        out, err = proc.communicate(timeout=3)
        exits = True
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        exits = False
    lines = out.strip().splitlines()
    data = json.loads(lines[-1]) if lines else {"error": err.strip()[-300:]}
    return data, seen, exits


# ------------------------------------------------------------ the report

def us(seconds: float) -> str:
    return f"{seconds * 1e6:.0f}"


def percentile(values, q) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def main_bench(args) -> None:
    print(f"CPython {sys.version.split()[0]}, websockets {websockets.__version__}, "
          f"{os.cpu_count()} CPUs; {args.tasks} tasks back to back after {args.warmup} "
          f"warm-up, {args.pauses} tasks after a {PAUSE * 1000:.0f} ms pause, "
          f"{args.idle} s idle", flush=True)
    header = (f"{'strategy':<17} {'busy µs med':>11} {'p90':>6} {'p99':>6}  "
              f"{'paused µs med':>13} {'p90':>6} {'p99':>6}  {'idle CPU':>8}  "
              f"{'pong in idle':>12}  {'exits':>5}")
    rows = []
    for name in args.only or STRATEGIES:
        data, seen, exits = run_child(name, args, [], idle=args.idle)
        if "busy" not in data:
            rows.append(f"{name:<17} failed: {data.get('error') or seen.get('error')}")
            print(rows[-1], flush=True)
            continue
        busy, paused = data["busy"], data["paused"]
        pong = seen.get("pong")
        pong_text = f"{pong * 1000:.1f} ms" if pong is not None else "none"
        if pong is not None and pong > args.idle / 2:
            pong_text = f"{pong:.2f} s!"  # only once the next task unfroze the loop
        rows.append(
            f"{name:<17} {us(statistics.median(busy)):>11} {us(percentile(busy, .9)):>6} "
            f"{us(percentile(busy, .99)):>6}  {us(statistics.median(paused)):>13} "
            f"{us(percentile(paused, .9)):>6} {us(percentile(paused, .99)):>6}  "
            f"{data['idle_cpu'] * 100:>7.2f}%  {pong_text:>12}  {'yes' if exits else 'HANGS':>5}")
        print(rows[-1] if len(rows) > 1 else header + "\n" + rows[-1], flush=True)
    print(LEGEND)
    if args.quick:
        return
    print(f"\nkeepalive, scaled down: ping interval = timeout = {args.ping} s, "
          f"{args.keepalive_pauses} pauses of {args.keepalive_pause} s between tasks")
    print(f"{'strategy':<17} {'server pings (browser-like client)':>36}  {'client pings too':>24}")
    for name in [n for n in KEEPALIVE_STRATEGIES if not args.only or n in args.only]:
        cells = []
        for server_ping, client_ping in ((args.ping, None), (args.ping, args.ping)):
            data, seen, _ = run_child(name, args, [
                "--pauses-only", "--server-ping", str(server_ping),
                "--keepalive-pauses", str(args.keepalive_pauses),
                "--keepalive-pause", str(args.keepalive_pause)], client_ping=client_ping)
            if data.get("survived"):
                cells.append("survived")
            else:
                code = seen.get("close_code")
                cells.append(f"failed after {data.get('after', '?')} (close {code})")
        print(f"{name:<17} {cells[0]:>36}  {cells[1]:>24}", flush=True)


LEGEND = """
busy: tasks back to back; paused: each task after a 20-25 ms pause; both as the
environment sees them (put on send_queue .. reply taken from reply_quene).
idle CPU: the server process's CPU time over wall time while the environment
idles. pong in idle: a client ping sent during the idle time; "s!" means the
pong came only when the next task unfroze the loop. exits: the program ends
(runner on a daemon thread) while the handler waits for a task."""


def parse() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a shorter run")
    parser.add_argument("--only", action="append", choices=STRATEGIES, help="run just these")
    parser.add_argument("--serve", help=argparse.SUPPRESS)
    parser.add_argument("--port", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--tasks", type=int, default=1000)
    parser.add_argument("--warmup", type=int, default=100)
    parser.add_argument("--pauses", type=int, default=60)
    parser.add_argument("--idle", type=float, default=2.0)
    parser.add_argument("--ping", type=float, default=0.1, help="scaled keepalive interval")
    parser.add_argument("--pauses-only", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--server-ping", type=float, default=0.0, help=argparse.SUPPRESS)
    parser.add_argument("--keepalive-pauses", type=int, default=10, help=argparse.SUPPRESS)
    parser.add_argument("--keepalive-pause", type=float, default=0.25, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.quick and not args.serve:
        args.tasks, args.warmup, args.pauses, args.idle = 200, 50, 15, 0.5
    return args


if __name__ == "__main__":
    arguments = parse()
    if arguments.serve:
        serve(arguments)
    else:
        main_bench(arguments)
