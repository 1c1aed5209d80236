"""What the views add to a step: `env.step` alone against `VectorView.step`
and `SB3View.step` over the same environment, the reference cart-pole page
in headless Chromium (veskit.cartpole.CartPole through veskit.Browser).

    python bench/views.py [--envs 1024] [--steps 300] [--rounds 5]

Rounds alternate between the three, on the same page and the same random
policy; the environment's own reward hook flags finished copies, so the
bare `env.step` resets them inside, as the views do. Each view is taken off
(its reward hook given back) without its close task, which would end the
browser. Prints medians of the rounds' microseconds per step and the views'
overhead over `env.step`.
"""
import argparse
import statistics
import sys
import time

import numpy as np

import veskit
from veskit import _view
from veskit.cartpole import CartPole


def timed(step, actions, steps):
    start = time.perf_counter()
    for index in range(steps):
        step(actions[index])
    return (time.perf_counter() - start) / steps * 1e6


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--envs", type=int, default=1024)
    parser.add_argument("--steps", type=int, default=300)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args(argv)
    try:
        from veskit.sb3 import SB3View
    except ImportError:
        SB3View = None
        print("views: no Stable-Baselines3 (the sb3 extra): SB3View is left out", flush=True)

    rng = np.random.default_rng(0)
    actions = rng.integers(0, 2, size=(args.steps, args.envs))
    page = veskit.frontend_folder() / "dist" / "index.html"
    # No episode cap: the copies that finish are the ones that fell.
    with veskit.Browser(page) as browser:
        env = browser.make(CartPole, num_envs=args.envs, max_steps=10**6)
        env.reset()

        def bare(steps):
            return timed(env.step, actions, steps)

        def vector(steps):
            view = veskit.VectorView(env)
            try:
                view.reset()
                return timed(view.step, actions, steps)
            finally:
                _view.detach(view)

        def sb3(steps):
            venv = SB3View(env)
            try:
                venv.reset()
                return timed(lambda a: (venv.step_async(a), venv.step_wait()), actions, steps)
            finally:
                _view.detach(venv.venv)

        runs = {"env.step": bare, "VectorView.step": vector}
        if SB3View is not None:
            runs["SB3View.step"] = sb3
        for run in runs.values():
            run(20)  # warm-up
        figures = {name: [] for name in runs}
        for _ in range(args.rounds):
            for name, run in runs.items():
                figures[name].append(run(args.steps))
    base = statistics.median(figures["env.step"])
    print(f"{args.envs} copies, medians of {args.rounds} rounds of {args.steps} steps (us per step):")
    for name, values in figures.items():
        median = statistics.median(values)
        extra = "" if name == "env.step" else f"  (+{median - base:.0f} us, {100 * (median - base) / base:+.1f}%)"
        print(f"  {name:16s} {median:8.0f}{extra}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
