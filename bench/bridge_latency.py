"""Per-task round-trip latency of the bridge, beside a bare websockets round trip.

The front-end is an echo client in its own process, as a browser would be; it
answers every message with 4 rows of 8 float32 values.

- bare: a websockets server handler sends a message and awaits the answer,
  the floor any websocket bridge on this machine and library can reach;
- bridge: the environment's one_task() (JSON encode, queue put, the bridge's
  send and recv, queue put, queue get, float32 decode), back to back and
  after a 20 ms pause (the bridge waits in 5 ms slices while idle).

    python bench/bridge_latency.py [--tasks 2000] [--port 8770]
"""
import argparse
import asyncio
import os
import statistics
import sys
import threading
import time

import websockets

import echo_frontend

def summary(name, seconds):
    us = sorted(s * 1e6 for s in seconds)
    pick = lambda q: us[min(len(us) - 1, int(q * len(us)))]
    return f"{name:<36} median {statistics.median(us):7.1f} us   p90 {pick(0.9):7.1f} us   p99 {pick(0.99):7.1f} us"


async def bare_round_trips(port, tasks, warmup):
    times = []
    done = asyncio.get_running_loop().create_future()

    async def handler(ws):
        for i in range(warmup + tasks):
            start = time.perf_counter()
            await ws.send('{"env": "step", "action": [[0.0, 1.0]]}')
            await ws.recv()
            if i >= warmup:
                times.append(time.perf_counter() - start)
        done.set_result(None)

    client = echo_frontend.start(port, 4)
    async with websockets.serve(handler, "127.0.0.1", port):
        await done
    client.terminate()
    client.wait()
    return times


def bridge_round_trips(port, tasks, warmup, pause):
    import Vesk

    class Bench(Vesk.Vesk_Pal_st):
        num_envs = 4

    env = object.__new__(Bench)
    os.environ["VESK_PORT"] = str(port)
    os.environ["VESK_TOKEN"] = "off"  # the echo front-end is a hand-written client
    threading.Thread(target=env.start_queue(), daemon=True).start()
    client = echo_frontend.start(port, 4)
    message = {"env": "step", "action": [[0.0, 1.0]] * 4}
    for _ in range(warmup):  # the first task also waits for the connection
        env.one_task(message)
    results = {}
    for label, gap, count in (("back to back", 0.0, tasks), (f"after a {pause * 1000:.0f} ms pause", pause, tasks // 10)):
        times = []
        for _ in range(count):
            if gap:
                time.sleep(gap)
            start = time.perf_counter()
            env.one_task(message)
            times.append(time.perf_counter() - start)
        results[label] = times
    client.kill()  # the bridge ends the process when its front-end leaves
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tasks", type=int, default=2000)
    parser.add_argument("--port", type=int, default=8770)
    args = parser.parse_args()
    warmup = 200
    print(f"Python {sys.version.split()[0]}, websockets {websockets.__version__}, {args.tasks} tasks")
    print(summary("bare websockets round trip", asyncio.run(bare_round_trips(args.port + 1, args.tasks, warmup))))
    for label, times in bridge_round_trips(args.port, args.tasks, warmup, 0.02).items():
        print(summary(f"bridge one_task, {label}", times))
    sys.stdout.flush()
    os._exit(0)  # the bridge's thread would see the client leave and exit with status 1


if __name__ == "__main__":
    main()
