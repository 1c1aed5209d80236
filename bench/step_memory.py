"""Steps per second and memory over a long run of the full episode path: the soak.

A subclass of Vesk_Pal_st with NumPy hooks (num_envs 16, 4 floats of action
per environment) steps against an echo front-end in another process. Reports
the step rate, the resident memory and the number of objects the garbage
collector tracks after a warm-up and after every tenth of the run: a leak of
even one small object per step shows as steady growth.

    python bench/step_memory.py [--steps 50000] [--port 8780]
    python bench/step_memory.py --steps 1000000     # the soak, a few minutes
"""
import argparse
import gc
import os
import resource
import sys
import threading
import time

import numpy as np

import Vesk

import echo_frontend

NUM_ENVS = 16

class Echo(Vesk.Vesk_Pal_st):
    def __init__(self):
        self.num_envs = NUM_ENVS
        self.add_obj = {"bench": True}
        self.obs_target = [0.0]
        super().__init__()

    def connect(self, connect_func):
        threading.Thread(target=connect_func, daemon=True).start()

    def explain_reset(self, reset_array):
        return np.zeros((2, self.num_envs))

    def explain_action(self, action):
        return action

    def explain_obs(self, obs):
        return obs

    def reward(self, state):
        flags = np.zeros(self.num_envs, dtype=bool)
        return state[:, 4], flags, flags, flags


def resident_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--steps", type=int, default=50000)
    parser.add_argument("--port", type=int, default=8780)
    args = parser.parse_args()
    os.environ["VESK_PORT"] = str(args.port)
    os.environ["VESK_TOKEN"] = "off"  # the echo front-end is a hand-written client
    front_end = echo_frontend.start(args.port, NUM_ENVS)
    env = Echo()
    env.reset()
    action = np.random.default_rng(0).normal(size=(NUM_ENVS, 4))
    for _ in range(2000):
        env.step(action)
    warm = resident_kib()
    print(f"Python {sys.version.split()[0]}, num_envs {NUM_ENVS}; after warm-up {warm} KiB resident, "
          f"{len(gc.get_objects())} objects tracked")
    block = max(args.steps // 10, 1)
    began = time.perf_counter()
    for done in range(block, args.steps + 1, block):
        start = time.perf_counter()
        for _ in range(block):
            env.step(action)
        elapsed = time.perf_counter() - start
        print(f"{done:8d} steps: {block / elapsed:7.0f} steps/s ({elapsed / block * 1e6:6.1f} us a step), "
              f"{resident_kib()} KiB resident, {len(gc.get_objects())} objects tracked", flush=True)
    total = time.perf_counter() - began
    print(f"{args.steps} steps in {total:.0f} s ({args.steps / total:.0f} steps/s); resident growth after warm-up "
          f"{(resident_kib() - warm) / 1024:.1f} MB")
    front_end.kill()
    sys.stdout.flush()
    os._exit(0)  # the bridge would see its front-end leave and end the process with status 1


if __name__ == "__main__":
    main()
