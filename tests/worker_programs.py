"""An environment and a stand-in page for the worker tests.

Worker processes import this module to build their environment, so it holds
only module-level, picklable things. `FakePage` is a launcher: it chooses a
free port and a token (through VESK_PORT and VESK_TOKEN) and answers the bridge from a websockets client
on a thread, like a page that counts steps:

- each copy's observation row is (steps since its reset, its last action);
- a copy's episode ends (terminated) at its third step;
- the action 666 makes the page close its connection (a failed task), the
  action -666 makes `explain_action` raise.
"""

from __future__ import annotations

import json
import os
import secrets
import socket
import threading
import time

import numpy as np
from gymnasium import spaces
from websockets.sync.client import connect

import Vesk

EPISODE_STEPS = 3
CLOSE_ACTION = 666.0
RAISE_ACTION = -666.0


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def serve_page(port: int, token: str, stop: threading.Event) -> None:
    deadline = time.monotonic() + 20
    while True:
        try:
            ws = connect(f"ws://127.0.0.1:{port}/?token={token}", open_timeout=2)
            break
        except OSError:
            if time.monotonic() > deadline or stop.is_set():
                return
            time.sleep(0.02)
    steps = None
    with ws:
        while not stop.is_set():
            try:
                message = json.loads(ws.recv(timeout=0.2))
            except TimeoutError:
                continue
            except Exception:
                return
            task = message.get("env") if isinstance(message, dict) else None
            if task == "init":
                steps = np.zeros(message["num_envs"], np.float32)
                ws.send("None")
            elif task == "reset":
                steps[np.asarray(message["list"], bool)] = 0
                ws.send(np.stack([steps, np.zeros_like(steps)], axis=1).tobytes())
            elif task == "step":
                action = np.asarray(message["action"], np.float32).reshape(-1)
                if (action == CLOSE_ACTION).any():
                    return  # closing: the bridge's pending wait for a reply fails
                steps += 1
                ws.send(np.stack([steps, action], axis=1).astype(np.float32).tobytes())
            else:
                ws.send("None")


class FakePage:
    """A launcher: `with FakePage() as page: env = page.make(factory)`."""

    def __enter__(self) -> "FakePage":
        self.port = free_port()
        token = secrets.token_urlsafe(16)
        os.environ["VESK_PORT"] = str(self.port)
        os.environ["VESK_TOKEN"] = token
        self.stop = threading.Event()
        self.thread = threading.Thread(target=serve_page, args=(self.port, token, self.stop), daemon=True)
        self.thread.start()
        return self

    def make(self, factory, *args, **kwargs):
        return factory(*args, **kwargs)

    def __exit__(self, *exc_info) -> None:
        self.stop.set()
        self.thread.join(5)


class Counter(Vesk.Vesk_Pal_st):
    def __init__(self, num_envs: int = 2, fail_at_start: bool = False):
        if fail_at_start:
            raise RuntimeError("this environment cannot start")
        self.num_envs = num_envs
        self.add_obj = {}
        self.obs_target = None
        self.single_observation_space = spaces.Box(-np.inf, np.inf, (2,), np.float32)
        self.single_action_space = spaces.Box(-1000, 1000, (1,), np.float32)
        self.port = int(os.environ["VESK_PORT"])
        super().__init__()

    def connect(self, connect_func):
        threading.Thread(target=connect_func, daemon=True).start()

    def explain_reset(self, reset_array):
        return None, None

    def explain_action(self, action):
        action = np.asarray(action, np.float32).reshape(self.num_envs, 1)
        if (action == RAISE_ACTION).any():
            raise ValueError("bad action")
        return action

    def explain_obs(self, obs):
        return obs

    def reward(self, state):
        terminated = state[:, 0] >= EPISODE_STEPS
        return state[:, 1].copy(), terminated, np.zeros_like(terminated), terminated


# ------------------------------------------------------------ process trees

def _stat(pid: int):
    """(state, parent pid) of a live process, None when it is gone or a zombie."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return None if fields[0] in "ZX" else (fields[0], int(fields[1]))


def process_tree(pid: int) -> list:
    """`pid` and all its live descendants (Linux)."""
    children: dict = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            stat = _stat(int(entry))
            if stat is not None:
                children.setdefault(stat[1], []).append(int(entry))
    tree, todo = [], [pid]
    while todo:
        current = todo.pop()
        if _stat(current) is not None:
            tree.append(current)
            todo.extend(children.get(current, []))
    return tree


def alive(pids, wait: float = 0.0) -> list:
    """Those of `pids` still running after waiting up to `wait` seconds."""
    deadline = time.monotonic() + wait
    while True:
        left = [pid for pid in pids if _stat(pid) is not None]
        if not left or time.monotonic() >= deadline:
            return left
        time.sleep(0.05)


def chromium_pids(pids) -> list:
    """Those of `pids` that run a Chromium executable."""
    found = []
    for pid in pids:
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if b"chrom" in os.path.basename(f.read().split(b"\0")[0]):
                    found.append(pid)
        except OSError:
            pass
    return found
