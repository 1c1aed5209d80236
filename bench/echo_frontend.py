"""An echo front-end for the benchmarks, in a process of its own as a browser
would be: it answers the init task with the text None and every other message
with `num_envs` rows of `columns` (default 7) zero float32 values. It offers
no compression (a browser does: see bench/README.md). With a
stamps file it also writes, per message, when it arrived and when the answer
left (time.perf_counter_ns, which is the same clock in every process here).

    python bench/echo_frontend.py PORT NUM_ENVS [COLUMNS [STAMPS_FILE]]
"""
import asyncio
import subprocess
import sys
import time


def start(port, num_envs, columns=7, stamps=None):
    """Starts the echo front-end for the bridge on `port` and returns its process."""
    extra = [str(columns)] + ([stamps] if stamps else [])
    return subprocess.Popen([sys.executable, __file__, str(port), str(num_envs), *extra])


async def serve_bridge(port, num_envs, columns, stamps_path):
    import numpy as np
    from websockets.asyncio.client import connect

    rows = np.zeros((num_envs, columns), dtype=np.float32).tobytes()
    stamps = open(stamps_path, "w", buffering=1 << 16) if stamps_path else None
    for _ in range(400):  # until the bridge listens
        try:
            websocket = await connect(f"ws://127.0.0.1:{port}", proxy=None, max_size=None, compression=None)
            break
        except OSError:
            await asyncio.sleep(0.025)
    async with websocket:
        async for message in websocket:
            arrived = time.perf_counter_ns()
            answer = "None" if message.startswith('{"env": "init"') else rows
            left = time.perf_counter_ns()
            await websocket.send(answer)
            if stamps:
                stamps.write(f"{arrived} {left}\n")
                stamps.flush()


if __name__ == "__main__":
    args = sys.argv[1:]
    asyncio.run(serve_bridge(int(args[0]), int(args[1]), int(args[2]) if len(args) > 2 else 7,
                             args[3] if len(args) > 3 else None))
