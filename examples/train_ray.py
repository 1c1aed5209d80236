"""Trains the demo's cart-pole policy with its environments spread over Ray actors.

Each actor owns one environment (one headless Chromium on the reference page,
with a port of its own) of --envs cart-poles; together they are one gymnasium
vector env of actors x envs copies. The training is the demo's: the
cross-entropy method over a linear policy, one candidate per copy.

    pip install ".[ray]"
    python examples/train_ray.py --actors 2               # a local Ray instance
    python examples/train_ray.py --address auto --actors 8 # the cluster this node joined

Every node needs Chromium and this package (see the README).
"""

from __future__ import annotations

import argparse
import functools
import sys
import threading
import time

import numpy as np
from gymnasium import spaces

import Vesk
import veskit


class CartPole(Vesk.Vesk_Pal_st):
    """num_envs cart-poles of the reference page; a row is (x, x_dot, theta,
    theta_dot, reward, terminated, truncated)."""

    def __init__(self, num_envs: int, max_steps: int = 500) -> None:
        self.num_envs = num_envs
        self.add_obj = {"max_steps": max_steps}
        self.obs_target = None
        self.single_observation_space = spaces.Box(-np.inf, np.inf, (7,), np.float32)
        self.single_action_space = spaces.Box(-np.inf, np.inf, (1,), np.float32)
        super().__init__()

    def connect(self, connect_func):
        threading.Thread(target=connect_func, name="vesk-bridge", daemon=True).start()

    def explain_reset(self, reset_array):
        # Starts uniform in [-0.05, 0.05] as in the classic task, drawn from
        # the generator that reset(seed=...) seeds: pos = (x, x_dot), joint = (theta, theta_dot).
        return self.np_random.uniform(-0.05, 0.05, size=(2, self.num_envs, 2))

    def explain_action(self, action):
        return np.asarray(action, dtype=np.float32).reshape(self.num_envs, 1)  # > 0 pushes right

    def explain_obs(self, obs):
        if not isinstance(obs, np.ndarray) or obs.shape != (self.num_envs, 7):
            raise ValueError(f"expected {self.num_envs} rows of 7 floats from the page, got {obs!r}")
        return obs

    def reward(self, state):
        terminated = state[:, 5] > 0.5
        truncated = state[:, 6] > 0.5
        return state[:, 4].copy(), terminated, truncated, terminated | truncated


def episode_returns(envs, params, seed):
    """One episode per copy, copy i acting with the linear policy params[i]
    (4 weights and a bias); a copy's return counts until its first episode ends."""
    obs, _ = envs.reset(seed=seed)
    returns = np.zeros(envs.num_envs)
    running = np.ones(envs.num_envs, dtype=bool)
    steps = 0
    while running.any():
        action = np.einsum("ij,ij->i", obs[:, :4].astype(np.float64), params[:, :4]) + params[:, 4]
        obs, reward, terminated, truncated, _ = envs.step(action[:, None])
        returns += np.where(running, reward, 0.0)
        running &= ~(terminated | truncated)
        steps += 1
    return returns, steps


def train(envs, iterations, max_steps, seed, elite_fraction=0.2, extra_noise=0.5):
    """Cross-entropy method over a diagonal Gaussian of linear policies."""
    rng = np.random.default_rng(seed)
    mean, std = np.zeros(5), np.ones(5)
    n_elite = max(2, int(round(envs.num_envs * elite_fraction)))
    history = []
    for it in range(iterations):
        candidates = mean + std * rng.standard_normal((envs.num_envs, 5))
        start = time.perf_counter()
        returns, steps = episode_returns(envs, candidates, seed + it)
        elapsed = time.perf_counter() - start
        elite = candidates[np.argsort(returns)[-n_elite:]]
        mean = elite.mean(axis=0)
        std = elite.std(axis=0) + extra_noise * max(0.0, 1.0 - it / (0.5 * iterations))
        history.append(returns.mean())
        print(f"iter {it + 1:2d}/{iterations}  mean return {returns.mean():6.1f}  best {returns.max():5.0f}"
              f"  | {steps:3d} steps, {steps * envs.num_envs / elapsed:6.0f} env-steps/s", flush=True)
        if returns.mean() >= 0.95 * max_steps:
            break
    evaluation, _ = episode_returns(envs, np.tile(mean, (envs.num_envs, 1)), seed + iterations)
    return history, mean, evaluation


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--actors", type=int, default=2, help="Ray actors, each with its own browser")
    parser.add_argument("--envs", type=int, default=32, help="cart-poles per actor")
    parser.add_argument("--iterations", type=int, default=15)
    parser.add_argument("--max-steps", type=int, default=500, help="episode cap")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--address", default=None, help="a Ray cluster to join (e.g. auto); default: a local instance")
    parser.add_argument("--page", default=None,
                        help="the page's index.html or URL, as each actor's node sees it (default: the reference"
                             " page shipped with the package)")
    args = parser.parse_args(argv)
    if args.actors < 1 or args.envs < 2 or args.iterations < 1:
        parser.error("--actors must be at least 1, --envs at least 2, --iterations at least 1")

    import ray  # here: the environment class above is usable without Ray

    from veskit.ray_workers import RayVectorEnv

    started = time.perf_counter()
    ray.init(address=args.address, log_to_driver=True)
    try:
        with RayVectorEnv(CartPole, actors=args.actors, kwargs={"num_envs": args.envs, "max_steps": args.max_steps},
                          launcher=functools.partial(veskit.Browser, args.page)) as envs:
            print(f"{args.actors} actors x {args.envs} cart-poles = {envs.num_envs} environments"
                  f" (ready after {time.perf_counter() - started:.1f} s)", flush=True)
            history, policy, evaluation = train(envs, args.iterations, args.max_steps, args.seed)
    finally:
        ray.shutdown()
    print(f"summary: mean return {history[0]:.1f} -> {history[-1]:.1f} in {len(history)} iterations;"
          f" learnt policy {np.array2string(policy, precision=2)} scores {evaluation.mean():.1f}"
          f" on {evaluation.size} new starts; wall time {time.perf_counter() - started:.1f} s", flush=True)
    if not max(history[-1], evaluation.mean()) > history[0]:
        print("train_ray: the returns did not improve", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
