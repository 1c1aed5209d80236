"""An echo front-end for the benchmarks, in a process of its own as a browser
would be: it answers the init task with the text None and every other message
with `num_envs` rows of 7 zero float32 values.

    python bench/echo_frontend.py PORT NUM_ENVS
"""
import asyncio
import subprocess
import sys


def start(port, num_envs):
    """Starts the echo front-end for the bridge on `port` and returns its process."""
    return subprocess.Popen([sys.executable, __file__, str(port), str(num_envs)])


async def serve_bridge(port, num_envs):
    import numpy as np
    from websockets.asyncio.client import connect

    rows = np.zeros((num_envs, 7), dtype=np.float32).tobytes()
    for _ in range(400):  # until the bridge listens
        try:
            websocket = await connect(f"ws://127.0.0.1:{port}", proxy=None)
            break
        except OSError:
            await asyncio.sleep(0.025)
    async with websocket:
        async for message in websocket:
            await websocket.send("None" if message.startswith('{"env": "init"') else rows)


if __name__ == "__main__":
    asyncio.run(serve_bridge(int(sys.argv[1]), int(sys.argv[2])))
