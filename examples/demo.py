"""Trains a cart-pole policy that runs in a browser, and shows what it learnt.

The reference front-end (N cart-poles stepped together in JavaScript) is put
into the bundle folder beside the Vesk module, the scene content is published
there with upload(), and veskit.Browser opens the page in headless Chromium
on a free port. The Python side searches for a linear policy with the
cross-entropy method, one candidate per parallel environment, in NumPy alone,
under a progress bar. It then writes a learning curve (PNG) and a GIF of the
learnt policy recorded from the page's canvas, and prints their paths.

    python examples/demo.py [--envs 64] [--iterations 20] [--out demo-output] [--no-browser]

The progress bar, plot and GIF use the `demo` extra (tqdm, matplotlib,
Pillow); without it the demo trains all the same and says what it skipped.
--no-browser (or no Chromium) prints the page address to open in any browser
and waits for it.
"""
import argparse
import json
import os
import sys
import threading
import time

import numpy as np

import Vesk
import veskit

HERE = os.path.dirname(os.path.abspath(__file__))
SCENE_FOLDER = os.path.join(HERE, "scene")
GIF_FRAMES = 150  # at most; every other step of the recorded episode


# ------------------------------------------------------------ bundle and page

def prepare_bundle():
    """Installs the reference page into the bundle folder and publishes the
    scene content into its sub-folder scene/; returns the page."""
    page = veskit.install_reference_page()
    Vesk.upload(SCENE_FOLDER, "scene")
    return page


def load_scene():
    with open(os.path.join(SCENE_FOLDER, "scene.json"), encoding="utf-8") as f:
        return json.load(f)


# -------------------------------------------------------------- environment

class BrowserCartPole(Vesk.Vesk_Pal_st):
    """num_envs cart-poles in the reference page; state rows are
    (x, x_dot, theta, theta_dot, reward, terminated, truncated)."""

    def __init__(self, num_envs, scene, seed=0, render_mode=None):
        self.num_envs = num_envs
        self.render_mode = render_mode
        self.add_obj = {"max_steps": int(scene["max_steps"]), "scene": "scene/scene.json"}
        self.obs_target = None  # the page has no target to show
        self.rng = np.random.default_rng(seed)
        super().__init__()

    def connect(self, connect_func):
        def serve():
            try:
                connect_func()
            except BaseException as error:  # a port in use, a bad VESK_PORT...
                print(f"demo: the bridge stopped: {type(error).__name__}: {error}", file=sys.stderr, flush=True)
                os._exit(1)  # the environment would wait for a reply for ever

        threading.Thread(target=serve, name="vesk-bridge", daemon=True).start()

    def explain_reset(self, reset_array):
        # Seeded starts, uniform in [-0.05, 0.05] like the classic task:
        # pos[i] = [x, x_dot], joint[i] = [theta, theta_dot].
        return self.rng.uniform(-0.05, 0.05, size=(2, self.num_envs, 2))

    def explain_action(self, action):
        # One value per environment; > 0 pushes right.
        return np.asarray(action, dtype=np.float32).reshape(self.num_envs, 1)

    def explain_obs(self, obs):
        if not isinstance(obs, np.ndarray) or obs.shape != (self.num_envs, 7):
            raise ValueError(f"expected {self.num_envs} rows of 7 floats from the page, got {obs!r}")
        return obs

    def reward(self, state):
        terminated = state[:, 5] > 0.5
        truncated = state[:, 6] > 0.5
        # Ended environments stay frozen with reward 0, so every candidate
        # plays one whole episode; reset all once all have ended.
        all_done = bool((terminated | truncated).all())
        return state[:, 4].copy(), terminated, truncated, np.full(self.num_envs, all_done)


def make_without_browser(num_envs, scene, seed):
    """Sets a free port, prints the page address and waits for someone to open it."""
    port = int(os.environ.setdefault("VESK_PORT", str(veskit.free_port())))
    url = veskit.page_url(veskit.bundle_folder() / "index.html", port)
    print(f"demo: open this page in a browser on this machine:\n      {url}\n      waiting for it to connect...",
          flush=True)
    return BrowserCartPole(num_envs, scene, seed=seed, render_mode="rgb_array")


# ----------------------------------------------------------------- training

def episode_returns(env, state, params, on_step=None):
    """Plays one episode per environment, environment i acting with the linear
    policy params[i] (4 weights and a bias). Returns (returns, steps, state
    after the automatic reset)."""
    returns = np.zeros(env.num_envs)
    steps = 0
    while True:
        obs = np.asarray(state[:, :4], dtype=np.float64)
        action = np.einsum("ij,ij->i", obs, params[:, :4]) + params[:, 4]
        state, reward, terminated, truncated, _ = env.step(action)
        returns += reward
        steps += 1
        if on_step is not None:
            on_step(steps)
        if (terminated | truncated).all():
            return returns, steps, state


def progress(iterations):
    try:
        from tqdm import tqdm
    except ImportError:
        print("demo: no progress bar without tqdm (pip install '.[demo]')", flush=True)
        return None
    return tqdm(total=iterations, desc="training", unit="iter", file=sys.stdout, dynamic_ncols=True)


def train(env, iterations, max_steps, rng, elite_fraction=0.2, extra_noise=0.5):
    """Cross-entropy method over a diagonal Gaussian of linear policies."""
    mean = np.zeros(5)
    std = np.ones(5)
    n_elite = max(2, int(round(env.num_envs * elite_fraction)))
    state, _ = env.reset()
    history = []
    total_steps, total_time = 0, 0.0
    bar = progress(iterations)
    say = print if bar is None else bar.write
    for it in range(iterations):
        candidates = mean + std * rng.standard_normal((env.num_envs, 5))
        start = time.perf_counter()
        returns, steps, state = episode_returns(env, state, candidates)
        elapsed = time.perf_counter() - start
        total_steps += steps
        total_time += elapsed
        elite = candidates[np.argsort(returns)[-n_elite:]]
        # Extra noise early on keeps the search from collapsing too soon.
        mean = elite.mean(axis=0)
        std = elite.std(axis=0) + extra_noise * max(0.0, 1.0 - it / (0.5 * iterations))
        history.append((returns.mean(), returns.max()))
        rate = steps * env.num_envs / elapsed
        say(f"iter {it + 1:2d}/{iterations}  mean return {returns.mean():6.1f}  best {returns.max():5.0f}"
            f"  | {steps:3d} steps, {rate:6.0f} env-steps/s")
        if bar is not None:
            bar.set_postfix(mean=f"{returns.mean():.0f}", best=f"{returns.max():.0f}")
            bar.update()
        if returns.mean() >= 0.95 * max_steps:
            say(f"solved: mean return within 5% of the cap of {max_steps} steps")
            break
    if bar is not None:
        bar.close()
    # The learnt policy itself, on a fresh start in every environment.
    start = time.perf_counter()
    evaluation, steps, state = episode_returns(env, state, np.tile(mean, (env.num_envs, 1)))
    total_steps += steps
    total_time += time.perf_counter() - start
    return history, mean, evaluation, state, total_steps, total_time


# ------------------------------------------------------------------ showing

def plot_learning_curve(history, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("demo: no learning curve without matplotlib (pip install '.[demo]')", flush=True)
        return None
    means, bests = zip(*history)
    iterations = np.arange(1, len(history) + 1)
    fig, ax = plt.subplots(figsize=(6, 3.5), dpi=100)
    ax.plot(iterations, means, marker="o", label="mean over candidates")
    ax.plot(iterations, bests, marker=".", linestyle="--", label="best candidate")
    ax.set_xlabel("iteration")
    ax.set_ylabel("episode return")
    ax.set_title("Cross-entropy method on the browser cart-pole")
    ax.grid(alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
    return path


def record_policy(env, state, policy, path, fps):
    """Plays one more episode with the learnt policy and writes what the
    page's canvas showed (environment 0) as a GIF."""
    try:
        from PIL import Image
    except ImportError:
        print("demo: no recording without Pillow (pip install '.[demo]')", flush=True)
        return None
    frames = [env.render()]

    def capture(step):
        if step % 2 == 0 and len(frames) < GIF_FRAMES:
            frames.append(env.render())

    episode_returns(env, state, np.tile(policy, (env.num_envs, 1)), on_step=capture)
    images = [Image.fromarray(frame[::2, ::2]) for frame in frames]  # half size: a smaller file
    images[0].save(path, save_all=True, append_images=images[1:], duration=int(2000 / fps), loop=0)
    return path


# --------------------------------------------------------------------- main

def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--envs", type=int, default=64, help="parallel environments = candidates per iteration")
    parser.add_argument("--iterations", type=int, default=20, help="upper bound on training iterations")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--out", default="demo-output", help="folder for the learning curve and the recording")
    parser.add_argument("--no-browser", action="store_true", help="print the page address instead of opening it")
    args = parser.parse_args(argv)
    if args.envs < 2 or args.iterations < 1:
        parser.error("--envs must be at least 2 and --iterations at least 1")

    started = time.perf_counter()
    page = prepare_bundle()
    scene = load_scene()
    os.makedirs(args.out, exist_ok=True)
    print(f"bundle folder: {page.parent}", flush=True)

    browser = None
    if not args.no_browser:
        try:
            browser = veskit.Browser(page).start()
        except veskit.ChromiumNotFoundError as error:
            print(f"demo: {error}", flush=True)
    try:
        if browser is not None:
            print(f"page: {browser.url}", flush=True)
            env = browser.make(BrowserCartPole, args.envs, scene, seed=args.seed, render_mode="rgb_array")
        else:
            env = make_without_browser(args.envs, scene, args.seed)
        print(
            f"training a linear policy by the cross-entropy method: {args.envs} environments"
            f" (one candidate each), at most {args.iterations} iterations,"
            f" episodes capped at {scene['max_steps']} steps",
            flush=True,
        )
        rng = np.random.default_rng(args.seed)
        history, policy, evaluation, state, total_steps, step_time = train(
            env, args.iterations, scene["max_steps"], rng)
        curve = plot_learning_curve(history, os.path.join(args.out, "learning_curve.png"))
        video = record_policy(env, state, policy, os.path.join(args.out, "policy.gif"), env.render_fps)
        env.close()
    finally:
        if browser is not None:
            browser.close()

    first, last = history[0][0], history[-1][0]
    best = max(b for _, b in history)
    print(
        f"summary: mean return {first:.1f} -> {last:.1f} in {len(history)} iterations (best episode {best:.0f});"
        f" learnt policy {np.array2string(policy, precision=2)} scores {evaluation.mean():.1f}"
        f" ± {evaluation.std():.1f} on {args.envs} new starts; {total_steps} steps"
        f" ({total_steps * args.envs} env-steps), {total_steps / step_time:.0f} steps/s;"
        f" wall time {time.perf_counter() - started:.1f} s",
        flush=True,
    )
    for label, path in (("learning curve", curve), ("recording of the learnt policy", video)):
        if path is not None:
            print(f"{label}: {os.path.abspath(path)}", flush=True)
    if not max(last, evaluation.mean()) > first:
        print("demo: the returns did not improve", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
