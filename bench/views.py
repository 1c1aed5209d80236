"""What the views add to a step: `env.step` alone against `VectorView.step`
and `SB3View.step` over the same environment, the reference cart-pole page
in headless Chromium (veskit.cartpole.CartPole through veskit.Browser).

    python bench/views.py [--envs 1024] [--steps 300] [--rounds 5]

Rounds alternate between the three, on the same page and the same random
policy; the environment's own reward hook flags finished copies, so the
bare `env.step` resets them inside, as the views do. A view's own work is
its step less the time spent in the environment's `step` and `reset`
(timed by instance-level wrappers), as wall time and as this thread's CPU
time: on a shared machine the wall time of a whole step swings with the
page, while the view's own CPU time does not. Each view is taken off (its
reward hook given back) without its close task, which would end the
browser. Prints medians of the rounds, in microseconds per step.
"""
import argparse
import statistics
import sys
import time

import numpy as np

import veskit
from veskit import _view
from veskit.cartpole import CartPole


class Clock:
    """Wall and thread CPU time spent inside the environment's own calls."""

    def __init__(self, env):
        self.wall = self.cpu = 0.0
        self.depth = 0  # the step's own automatic reset is inside the step
        for name in ("step", "reset"):
            setattr(env, name, self.timed(getattr(env, name)))

    def timed(self, call):
        def run(*args, **kwargs):
            wall, cpu = time.perf_counter(), time.thread_time()
            self.depth += 1
            try:
                return call(*args, **kwargs)
            finally:
                self.depth -= 1
                if not self.depth:
                    self.wall += time.perf_counter() - wall
                    self.cpu += time.thread_time() - cpu
        return run


def timed(step, actions, steps, clock):
    """(wall per step, the caller's own wall and CPU per step outside the
    environment's calls), in microseconds."""
    clock.wall = clock.cpu = 0.0
    wall, cpu = time.perf_counter(), time.thread_time()
    for index in range(steps):
        step(actions[index])
    wall, cpu = time.perf_counter() - wall, time.thread_time() - cpu
    return [1e6 * value / steps for value in (wall, wall - clock.wall, cpu - clock.cpu)]


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
        clock = Clock(env)

        def bare(steps):
            return timed(env.step, actions, steps, clock)

        def vector(steps):
            view = veskit.VectorView(env)
            try:
                view.reset()
                return timed(view.step, actions, steps, clock)
            finally:
                _view.detach(view)

        def sb3(steps):
            venv = SB3View(env)
            try:
                venv.reset()
                return timed(lambda a: (venv.step_async(a), venv.step_wait()), actions, steps, clock)
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
    base = statistics.median(row[0] for row in figures["env.step"])
    print(f"{args.envs} copies, medians of {args.rounds} rounds of {args.steps} steps, us per step:")
    print(f"  {'':16s} {'wall':>8s} {'own wall':>9s} {'own CPU':>8s}  own CPU / env.step wall")
    for name, rows in figures.items():
        wall, own_wall, own_cpu = (statistics.median(row[i] for row in rows) for i in range(3))
        print(f"  {name:16s} {wall:8.0f} {own_wall:9.0f} {own_cpu:8.0f}  {100 * own_cpu / base:5.1f}%")
    return 0


if __name__ == "__main__":
    sys.exit(main())
