"""Trains a cart-pole policy that runs in a browser.

The reference front-end (frontend/dist: N cart-poles stepped together in
JavaScript) is put into the bundle folder beside the Vesk module, the scene
content is published there with upload(), and the page is opened in headless
Chromium. The Python side then searches for a linear policy with the
cross-entropy method, one candidate per parallel environment, in NumPy alone.

    python examples/demo.py [--envs 64] [--iterations 20] [--no-browser]

Port 70 needs root; run as another user, the demo sets VESK_PORT=8770 (an
existing VESK_PORT is kept) and passes the port to the page as ?port=.
"""
import argparse
import atexit
import json
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

import Vesk

HERE = os.path.dirname(os.path.abspath(__file__))
REFERENCE_FRONTEND = os.path.join(HERE, os.pardir, "frontend", "dist")
SCENE_FOLDER = os.path.join(HERE, "scene")

DEFAULT_PORT = 70  # the bridge's own default
USER_PORT = 8770  # used when port 70 cannot be bound
CHROMIUM_NAMES = ("chromium", "chromium-browser")


# ------------------------------------------------------------ bundle and page

def bundle_folder():
    """The folder upload() publishes into: `dist` beside the module's folder."""
    module_folder = os.path.dirname(os.path.abspath(Vesk.__file__))
    return os.path.normpath(os.path.join(module_folder, os.pardir, "dist"))


def prepare_bundle():
    """Installs the reference page (index.html, assets/) into the bundle folder
    and publishes the scene content into its sub-folder scene/."""
    frontend = os.path.normpath(REFERENCE_FRONTEND)
    if not os.path.isfile(os.path.join(frontend, "index.html")):
        raise FileNotFoundError(f"reference front-end not found: {frontend} has no index.html")
    bundle = bundle_folder()
    os.makedirs(bundle, exist_ok=True)
    shutil.copy2(os.path.join(frontend, "index.html"), bundle)
    # Replace assets/ whole, so no file of an older page stays behind.
    assets = os.path.join(bundle, "assets")
    if os.path.isdir(assets):
        shutil.rmtree(assets)
    shutil.copytree(os.path.join(frontend, "assets"), assets)
    Vesk.upload(SCENE_FOLDER, "scene")
    return bundle


def load_scene():
    with open(os.path.join(SCENE_FOLDER, "scene.json"), encoding="utf-8") as f:
        return json.load(f)


def bridge_port():
    """The port the bridge will listen on; sets VESK_PORT when 70 would need
    root that this process does not have."""
    text = os.environ.get("VESK_PORT")
    if text is not None:
        try:
            port = int(text.strip())
        except ValueError:
            port = 0
        if not 1 <= port <= 65535:
            raise SystemExit(f"VESK_PORT must be an integer from 1 to 65535, got {text!r}")
        return port
    geteuid = getattr(os, "geteuid", None)  # absent on Windows, where 70 needs no privilege
    if geteuid is not None and geteuid() != 0:
        os.environ["VESK_PORT"] = str(USER_PORT)
        return USER_PORT
    return DEFAULT_PORT


def page_url(bundle, port):
    return pathlib.Path(bundle, "index.html").resolve().as_uri() + f"?port={port}"


# ------------------------------------------------------------------ browser

def find_chromium():
    for name in CHROMIUM_NAMES:
        path = shutil.which(name)
        if path:
            return path
    return None


class HeadlessChromium:
    """A headless Chromium with a throw-away profile, ended by close() or,
    where setpriv exists, together with this process however it ends."""

    def __init__(self, executable, url, extra_args=()):
        self.profile = tempfile.mkdtemp(prefix="vesk-chromium-")
        self.log_path = os.path.join(self.profile, "chromium.log")
        self._closing = False
        args = [
            executable,
            "--headless",
            # Only our own local page is shown, and containers often lack the
            # namespaces the sandbox needs (as root it refuses to start at all).
            "--no-sandbox",
            "--disable-gpu",
            "--disable-dev-shm-usage",
            "--no-first-run",
            "--no-default-browser-check",
            "--disable-background-networking",
            "--disable-component-update",
            "--disable-sync",
            "--mute-audio",
            "--window-size=800,600",
            f"--user-data-dir={self.profile}",
            *extra_args,
            url,
        ]
        # The process may end through os._exit (a failed task ends it so),
        # where no clean-up runs: the kernel then ends the browser too.
        setpriv = shutil.which("setpriv") if sys.platform.startswith("linux") else None
        if setpriv:
            args = [setpriv, "--pdeathsig", "KILL", "--"] + args
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen(
                args, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT, start_new_session=True
            )

    def watch(self):
        """Ends this process with status 1 if the browser dies before close():
        the environment would otherwise wait for the page for ever."""

        def wait():
            code = self.process.wait()
            if self._closing:
                return
            print(f"demo: Chromium exited early (status {code}); its log ends with:", file=sys.stderr)
            print(self.log_tail(), file=sys.stderr, flush=True)
            os._exit(1)

        threading.Thread(target=wait, name="chromium-watch", daemon=True).start()

    def log_tail(self, lines=15):
        try:
            with open(self.log_path, encoding="utf-8", errors="replace") as f:
                return "".join(f.readlines()[-lines:]).rstrip()
        except OSError:
            return "(no log)"

    def close(self):
        if self._closing:
            return
        self._closing = True
        if self.process.poll() is None:
            # The whole session: the browser's helper processes too.
            try:
                os.killpg(self.process.pid, signal.SIGTERM)
            except (ProcessLookupError, PermissionError):
                self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()
        shutil.rmtree(self.profile, ignore_errors=True)


def open_in_headless_chromium(url):
    """Opens the page, or says how to open it when there is no Chromium."""
    executable = find_chromium()
    if executable is None:
        print(
            "demo: no Chromium found. Install it (Debian/Ubuntu: apt-get install chromium)\n"
            f"      or open this page in any browser on this machine:\n      {url}\n"
            "      waiting for the page to connect...",
            flush=True,
        )
        return None
    browser = HeadlessChromium(executable, url)
    browser.watch()
    atexit.register(browser.close)  # also when construction or training raises
    return browser


def print_page_address(url):
    print(f"demo: open this page in a browser on this machine:\n      {url}\n      waiting for it to connect...",
          flush=True)


def wait_until_listening(port, runner_thread, timeout=15.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if not runner_thread.is_alive():
            raise RuntimeError("the bridge stopped before it listened")
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
            return
        except OSError:
            time.sleep(0.02)
    raise TimeoutError(f"the bridge is not listening on port {port} after {timeout:.0f} s")


# -------------------------------------------------------------- environment

class BrowserCartPole(Vesk.Vesk_Pal_st):
    """num_envs cart-poles in the reference page; state rows are
    (x, x_dot, theta, theta_dot, reward, terminated, truncated).

    open_page(url) opens the front-end once the bridge listens and returns an
    object with close(), or None; the default uses headless Chromium."""

    def __init__(self, num_envs, scene, port, page, seed=0, open_page=open_in_headless_chromium):
        self.num_envs = num_envs
        self.add_obj = {"max_steps": int(scene["max_steps"]), "scene": "scene/scene.json"}
        self.obs_target = None  # the page has no target to show
        self.port = port
        self.page = page
        self.open_page = open_page
        self.browser = None
        self.rng = np.random.default_rng(seed)
        super().__init__()

    def connect(self, connect_func):
        def serve():
            try:
                connect_func()
            except BaseException as error:  # a port in use, a bad VESK_PORT...
                print(f"demo: the bridge stopped: {type(error).__name__}: {error}", file=sys.stderr, flush=True)
            else:
                print("demo: the bridge returned", file=sys.stderr, flush=True)
            os._exit(1)  # the environment would wait for a reply for ever

        runner = threading.Thread(target=serve, name="vesk-bridge", daemon=True)
        runner.start()
        wait_until_listening(self.port, runner)
        self.browser = self.open_page(self.page)

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

    def shut(self):
        if self.browser is not None:
            self.browser.close()
            self.browser = None


# ----------------------------------------------------------------- training

def episode_returns(env, state, params):
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
        if (terminated | truncated).all():
            return returns, steps, state


def train(env, iterations, max_steps, rng, elite_fraction=0.2, extra_noise=0.5):
    """Cross-entropy method over a diagonal Gaussian of linear policies."""
    mean = np.zeros(5)
    std = np.ones(5)
    n_elite = max(2, int(round(env.num_envs * elite_fraction)))
    state, _ = env.reset()
    history = []
    total_steps, total_time = 0, 0.0
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
        print(
            f"iter {it + 1:2d}/{iterations}  mean return {returns.mean():6.1f}  best {returns.max():5.0f}"
            f"  | {steps:3d} steps in {elapsed:5.2f} s: {steps / elapsed:5.0f} steps/s"
            f" ({steps * env.num_envs / elapsed:6.0f} env-steps/s)",
            flush=True,
        )
        if returns.mean() >= 0.95 * max_steps:
            print(f"solved: mean return within 5% of the cap of {max_steps} steps", flush=True)
            break
    # The learnt policy itself, on a fresh start in every environment.
    start = time.perf_counter()
    evaluation, steps, state = episode_returns(env, state, np.tile(mean, (env.num_envs, 1)))
    total_steps += steps
    total_time += time.perf_counter() - start
    return history, mean, evaluation, total_steps, total_time


# --------------------------------------------------------------------- main

def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--envs", type=int, default=64, help="parallel environments = candidates per iteration")
    parser.add_argument("--iterations", type=int, default=20, help="upper bound on training iterations")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--no-browser", action="store_true", help="print the page address instead of opening it")
    args = parser.parse_args(argv)
    if args.envs < 2 or args.iterations < 1:
        parser.error("--envs must be at least 2 and --iterations at least 1")

    started = time.perf_counter()
    port = bridge_port()
    bundle = prepare_bundle()
    scene = load_scene()
    url = page_url(bundle, port)
    print(f"bundle folder: {bundle}")
    print(f"page: {url}", flush=True)

    opener = print_page_address if args.no_browser else open_in_headless_chromium

    env = None
    try:
        env = BrowserCartPole(args.envs, scene, port, url, seed=args.seed, open_page=opener)
        print(
            f"training a linear policy by the cross-entropy method: {args.envs} environments"
            f" (one candidate each), at most {args.iterations} iterations,"
            f" episodes capped at {scene['max_steps']} steps",
            flush=True,
        )
        rng = np.random.default_rng(args.seed)
        history, policy, evaluation, total_steps, step_time = train(env, args.iterations, scene["max_steps"], rng)
        env.render()
        env.close()
    finally:
        if env is not None:
            env.shut()

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
    if not max(last, evaluation.mean()) > first:
        print("demo: the returns did not improve", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
