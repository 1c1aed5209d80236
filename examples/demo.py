"""A minimal subclass of Vesk_Pal_st and what Python sees of it."""
import inspect
import threading

import numpy as np

import Vesk


class CartPole(Vesk.Vesk_Pal_st):
    def __init__(self, num_envs=4):
        self.num_envs = num_envs
        self.add_obj = {"scene": "cartpole"}
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
        done = np.abs(state[:, 2]) > 0.2
        return np.ones(self.num_envs), done, np.zeros_like(done), done


if __name__ == "__main__":
    for name in ("__init__", "reset", "step", "one_task", "explain_obs", "upload"):
        method = getattr(Vesk.Vesk_Pal_st, name)
        print(f"{method.__qualname__}{inspect.signature(method)}")
    print("hooks:", [n for n, v in vars(Vesk.Vesk_Pal_st).items() if getattr(v, "__isabstractmethod__", False)])
    print("bases:", CartPole.__mro__[1:3], "metadata:", CartPole.metadata)
