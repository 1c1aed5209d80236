"""Trains RLlib's PPO on the reference cart-pole page, one headless Chromium per env runner.

    bash scripts/extras.sh rllib
    python examples/train_rllib.py --runners 2                  # a local Ray instance
    python examples/train_rllib.py --address auto --runners 8   # the cluster this node joined

Each of the --runners env runners (Ray actors) builds its own environment
through `veskit.rllib.EnvCreator`: a browser of its own on a free port, whose
page steps --envs cart-poles together. Prints the mean return of the episodes
finished in each iteration; stops once it reaches --target.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from typing import Any

import numpy as np

from veskit.cartpole import CartPole

# The reference page of this checkout; an installed one is found by Browser itself.
PAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "frontend", "dist", "index.html")


def ppo_config(runners: int, envs: int, seed: int, env: str = "VeskCartPole") -> Any:
    """PPO for the cart-pole, its samples from `runners` env runners of `envs` copies each."""
    from ray.rllib.algorithms.ppo import PPOConfig
    from ray.rllib.core.rl_module.default_model_config import DefaultModelConfig

    return (
        PPOConfig()
        .environment(env)
        .env_runners(num_env_runners=runners, num_envs_per_env_runner=envs,
                     gym_env_vectorize_mode="vector_entry_point")  # a runner's copies are one page's
        # Few, large minibatches: on a small machine the learner's time goes
        # by update, hardly by sample.
        .training(lr=1e-3, gamma=0.99, lambda_=0.95, num_epochs=10, train_batch_size_per_learner=4000,
                  minibatch_size=1000, vf_loss_coeff=0.5, vf_clip_param=10_000.0, entropy_coeff=0.0)
        .rl_module(model_config=DefaultModelConfig(fcnet_hiddens=[64, 64], fcnet_activation="tanh",
                                                   vf_share_layers=False))
        .debugging(seed=seed)
    )


def mean_return(result: dict[str, Any]) -> float:
    """The mean return of the episodes finished in an iteration (nan if none)."""
    return float(result.get("env_runners", {}).get("episode_return_mean", float("nan")))


def main(argv: Any = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runners", type=int, default=2, help="env runners, each with its own browser")
    parser.add_argument("--envs", type=int, default=16, help="cart-poles per runner")
    parser.add_argument("--iterations", type=int, default=60, help="at most this many PPO iterations")
    parser.add_argument("--target", type=float, default=475.0, help="stop at this mean return")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--address", default=None, help="a Ray cluster to join (e.g. auto); default: a local instance")
    parser.add_argument("--page", default=None,
                        help="the page's index.html or URL, as each runner's node sees it (default: the reference"
                             " page shipped with the package)")
    args = parser.parse_args(argv)
    if args.runners < 1 or args.envs < 1 or args.iterations < 1:
        parser.error("--runners, --envs and --iterations must be at least 1")

    import ray
    import torch

    from veskit.rllib import register

    # The learner runs here. A network this small gains nothing from more
    # threads, and on a busy machine their waiting for each other made its
    # updates 40 times slower.
    torch.set_num_threads(1)

    started = time.perf_counter()
    ray.init(address=args.address)
    history: list[float] = []
    try:
        register("VeskCartPole", CartPole, page=args.page)
        algo = ppo_config(args.runners, args.envs, args.seed).build_algo()
        print(f"{args.runners} env runners x {args.envs} cart-poles (ready after"
              f" {time.perf_counter() - started:.1f} s)", flush=True)
        try:
            for iteration in range(1, args.iterations + 1):
                result = algo.train()
                history.append(mean_return(result))
                print(f"iter {iteration:3d}  mean return {history[-1]:6.1f}"
                      f"  env-steps {int(result['num_env_steps_sampled_lifetime']):7d}"
                      f"  {time.perf_counter() - started:6.1f} s", flush=True)
                if history[-1] >= args.target:
                    break
        finally:
            algo.stop()
    finally:
        ray.shutdown()
    returns = [value for value in history if not np.isnan(value)]
    print(f"summary: mean return {returns[0] if returns else float('nan'):.1f} ->"
          f" {returns[-1] if returns else float('nan'):.1f} in {len(history)} iterations;"
          f" wall time {time.perf_counter() - started:.1f} s", flush=True)
    if len(returns) < 2 or not returns[-1] > returns[0]:
        print("train_rllib: the mean return did not rise", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
