"""Trains PPO (Stable-Baselines3) on the reference cart-pole page in headless Chromium.

    pip install ".[sb3]"
    python examples/train_sb3.py [--envs 16] [--timesteps 50000] [--seed 0]

The environment is an ordinary Vesk subclass with its spaces declared;
`veskit.Browser` opens the page and `veskit.sb3.SB3View` hands its copies to
PPO. Prints the mean return of finished episodes as training goes on and the
env-steps per second.
"""

import argparse
import os
import sys
import time
from typing import Any

import gymnasium as gym
import numpy as np
from stable_baselines3 import PPO
from stable_baselines3.common.callbacks import BaseCallback
from stable_baselines3.common.vec_env import VecMonitor

import Vesk
import veskit
from veskit.sb3 import SB3View

MAX_STEPS = 500
# The reference page of this checkout; an installed one is found by Browser itself.
PAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "frontend", "dist", "index.html")


class CartPole(Vesk.Vesk_Pal_st):
    """The reference page's copies; its rows are (x, x_dot, theta, theta_dot,
    reward, terminated, truncated)."""

    def __init__(self, num_envs: int) -> None:
        self.num_envs = num_envs
        self.add_obj = {"max_steps": MAX_STEPS}
        self.obs_target = None
        high = np.array([4.8, np.inf, 0.42, np.inf], dtype=np.float32)
        self.single_observation_space = gym.spaces.Box(-high, high, dtype=np.float32)
        self.single_action_space = gym.spaces.Discrete(2)
        super().__init__()

    def explain_reset(self, reset_array: np.ndarray) -> Any:
        # Starts drawn from np_random, so a seed reaches the page.
        return self.np_random.uniform(-0.05, 0.05, size=(2, self.num_envs, 2))

    def explain_action(self, action: np.ndarray) -> Any:
        return np.asarray(action, dtype=np.float32).reshape(self.num_envs, 1)

    def explain_obs(self, obs: Any) -> Any:
        # The policy sees x, x_dot, theta, theta_dot; reward and flags stay here.
        self.rows = obs
        return obs[:, :4]

    def reward(self, state: np.ndarray) -> Any:
        terminated, truncated = self.rows[:, 5] > 0.5, self.rows[:, 6] > 0.5
        return self.rows[:, 4], terminated, truncated, terminated | truncated


class Progress(BaseCallback):
    """Mean return of the episodes finished in each rollout."""

    def __init__(self) -> None:
        super().__init__()
        self.history: list[tuple[int, float, int]] = []
        self.returns: list[float] = []
        self.collecting = 0.0  # seconds spent stepping the page (no training)
        self._started = 0.0

    def _on_rollout_start(self) -> None:
        self._started = time.perf_counter()

    def _on_step(self) -> bool:
        for info in self.locals["infos"]:
            if "episode" in info:
                self.returns.append(info["episode"]["r"])
        return True

    def _on_rollout_end(self) -> None:
        self.collecting += time.perf_counter() - self._started
        if self.returns:
            self.history.append((self.num_timesteps, float(np.mean(self.returns)), len(self.returns)))
            print(f"{self.num_timesteps:7d} env-steps  mean return {np.mean(self.returns):6.1f}"
                  f" over {len(self.returns):3d} episodes", flush=True)
        self.returns = []


def main(argv: Any = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--envs", type=int, default=16)
    parser.add_argument("--timesteps", type=int, default=50_000)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args(argv)

    with veskit.Browser(PAGE if os.path.isfile(PAGE) else None) as browser:
        env = browser.make(CartPole, args.envs)
        venv = VecMonitor(SB3View(env))
        venv.seed(args.seed)
        model = PPO("MlpPolicy", venv, n_steps=128, batch_size=256, n_epochs=10, learning_rate=1e-3,
                    gamma=0.98, gae_lambda=0.8, ent_coef=0.0, seed=args.seed, device="cpu", verbose=0)
        progress = Progress()
        start = time.perf_counter()
        model.learn(total_timesteps=args.timesteps, callback=progress)
        elapsed = time.perf_counter() - start
        venv.close()

    steps = model.num_timesteps
    first, last = progress.history[0][1], progress.history[-1][1]
    print(f"summary: mean return {first:.1f} -> {last:.1f} over {steps} env-steps in {elapsed:.1f} s"
          f" ({steps / elapsed:.0f} env-steps/s, training included; collecting alone"
          f" {steps / progress.collecting:.0f} env-steps/s)", flush=True)
    if not last > first:
        print("train_sb3: the return did not rise", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
