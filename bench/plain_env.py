"""The baseline for bench/compare.py: the environment class as a user would
write it in plain Python (websockets, queue, json, numpy), with the same
messages, hooks and bridge shape as Vesk_Pal_st. Not shipped, not tested as a
product: it only answers "what would the same class cost in Python?".
"""
import ast
import asyncio
import json
import os
import queue
import sys

import gymnasium as gym
import numpy as np
import websockets


def convert_numpy_to_list(data):
    if isinstance(data, dict):
        return {key: convert_numpy_to_list(value) for key, value in data.items()}
    if isinstance(data, list):
        return [convert_numpy_to_list(elem) for elem in data]
    if isinstance(data, tuple):
        return tuple(convert_numpy_to_list(elem) for elem in data)
    if isinstance(data, np.ndarray):
        return data.astype(np.float32).tolist()
    return data


def _fail(what):
    print(f"plain: {what}", file=sys.stderr, flush=True)
    os._exit(1)


class PlainEnv(gym.Env):
    metadata = {"render_modes": ["human", "rgb_array"], "render_fps": 20}
    send_queue = queue.Queue()
    reply_quene = queue.Queue()

    def __init__(self):
        if not hasattr(self, "add_obj") or not hasattr(self, "obs_target"):
            raise ValueError("add_obj and obs_target must be set")
        for name, default in (("num_envs", 1), ("render_mode", None), ("render_fps", 20)):
            if not hasattr(self, name):
                setattr(self, name, default)
        if not hasattr(self, "info_array"):
            self.info_array = [{"counts": 0} for _ in range(self.num_envs)]
        if not hasattr(self, "reset_array"):
            self.reset_array = np.full(self.num_envs, True)
        self.connect(self.start_queue())
        self.one_task({"env": "init", "render_mode": self.render_mode, "render_fps": self.render_fps,
                       "num_envs": self.num_envs, "target": self.obs_target, "object": self.add_obj})

    def one_task(self, msg, replyable=True):
        try:
            self.send_queue.put(msg if isinstance(msg, bytes) else json.dumps(msg))
            if not replyable:
                return None
            r_msg = self.reply_quene.get()
            if isinstance(r_msg, bytes):
                return np.frombuffer(r_msg, dtype=np.float32).reshape(self.num_envs, -1)
            return ast.literal_eval(r_msg)
        except BaseException as error:
            _fail(f"task failed: {error!r}")

    def reset(self, seed=None):
        pos, joint = convert_numpy_to_list(self.explain_reset(self.reset_array))
        obs = self.one_task({"env": "reset", "pos": pos, "joint": joint, "list": self.reset_array.tolist()})
        self.state = self.explain_obs(obs)
        return self.state, [{"counts": 0} for _ in range(self.num_envs)]

    def step(self, action):
        explain = convert_numpy_to_list(self.explain_action(action))
        obs = self.one_task({"env": "step", "action": explain})
        self.state = self.explain_obs(obs)
        reward_array, terminated, truncated, self.reset_array = self.reward(self.state)
        if self.reset_array.any():
            self.state, _ = self.reset()
        return self.state, reward_array, terminated, truncated, self.info_array

    def render(self):
        self.one_task('{"env":"render"}')

    def close(self):
        self.one_task('{"env":"close"}')

    def start_queue(self):
        port = int(os.environ.get("VESK_PORT", "70"))

        async def yourfunction(websocket):
            try:
                while True:
                    msg = self.send_queue.get()  # blocks the loop between tasks
                    await websocket.send(msg)
                    reply = await asyncio.wait_for(websocket.recv(), timeout=30)
                    self.reply_quene.put(reply)
            except BaseException as error:
                _fail(f"connection failed: {error!r}")

        async def main():
            async with websockets.serve(yourfunction, "127.0.0.1", port):
                await asyncio.Future()

        def myfunc():
            asyncio.run(main())

        return myfunc
