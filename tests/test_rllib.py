"""Vesk environments for RLlib's env runners: the creator itself (everywhere),
and RLlib's PPO over them, one browser per env runner (skipped where RLlib is
not installed: CI runs it on the leg with the rllib extra)."""

import os
import re
import shutil
import subprocess
import sys
import tempfile

import pytest

from conftest import processes_mentioning, run_python, subprocess_env

try:
    import ray.rllib  # noqa: F401
except ImportError:
    has_rllib = False
else:
    has_rllib = True
needs_rllib = pytest.mark.skipif(not has_rllib, reason='RLlib is not installed (pip install ".[rllib]")')

TESTS = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(TESTS)
EXAMPLES = os.path.join(ROOT, "examples")
PAGE = os.path.join(ROOT, "frontend", "dist", "index.html")


# What a runner gets from the creator, with the fake page of the worker tests
# (the action is the reward; CLOSE_ACTION makes the page go away).
CREATOR = """
    import pickle, sys
    import numpy as np
    sys.path.insert(0, {tests!r})
    from veskit.rllib import EnvCreator, HostLostError
    from worker_programs import CLOSE_ACTION, Counter, FakePage

    vector = {vector!r}
    env = EnvCreator(Counter, launcher=FakePage)({{"num_envs": 3}} if vector else {{}})
    n = 3 if vector else 1
    print(type(env).__name__, env.metadata.get("autoreset_mode"))
    env.reset(seed=0)
    _, rewards, *_ = env.step(np.full((n, 1) if vector else (1,), 2.0))
    print("rewards", np.ravel(rewards).tolist())
    try:
        env.step(np.full((n, 1) if vector else (1,), CLOSE_ACTION))
    except HostLostError as error:
        copy = pickle.loads(pickle.dumps(error))
        print("lost:", copy, copy.port == int(__import__("os").environ["VESK_PORT"]))
    env.close()  # no close task for a page that is gone: this returns
    print("closed")
"""


@pytest.mark.parametrize("vector", [True, False])
def test_the_creator_gives_each_runner_its_env_and_reports_a_lost_host(vector):
    result = run_python(CREATOR.format(tests=TESTS, vector=vector), timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == ("RunnerVectorEnv AutoresetMode.NEXT_STEP" if vector else "RunnerEnv None")
    assert lines[1] == "rewards " + str([2.0] * (3 if vector else 1))
    assert re.fullmatch(r"lost: Vesk: connection to the front-end failed: .* True", lines[2]), lines
    assert lines[3:] == ["closed"]


@needs_rllib
def test_two_runners_train_and_the_mean_return_rises(chromium):
    result = subprocess.run(
        [sys.executable, os.path.join(EXAMPLES, "train_rllib.py"), "--runners", "2", "--envs", "8",
         "--iterations", "4", "--page", PAGE],
        capture_output=True, text=True, timeout=600, env=subprocess_env(), cwd=ROOT,
    )
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    assert "2 env runners x 8 cart-poles" in result.stdout
    returns = [float(value) for value in re.findall(r"^iter .*mean return +([\d.]+)", result.stdout, re.M)]
    assert len(returns) == 4 and returns[-1] > returns[0], result.stdout


# Trains one iteration, kills the browser of runner 1, trains on. Runner
# processes get their own temporary folder, so that their browsers' profiles
# (and any process still using one) can be found afterwards.
KILL_A_HOST = """
    import os, signal, sys
    import ray, torch
    sys.path.insert(0, {examples!r})
    from train_rllib import CartPole, ppo_config
    from veskit.rllib import register

    torch.set_num_threads(1)  # the learner's, as in the example
    ray.init(num_cpus=2, include_dashboard=False,
             runtime_env={{"env_vars": {{"PYTHONPATH": {examples!r}, "TMPDIR": {tmp!r}}}}})
    register("VeskCartPole", CartPole, page={page!r})
    config = (ppo_config(runners=2, envs=4, seed=0)
              .training(train_batch_size_per_learner=256, minibatch_size=128, num_epochs=1)
              .fault_tolerance(restart_failed_env_runners={restart}, delay_between_env_runner_restarts_s=0))
    algo = config.build_algo()

    def host_pid():
        return algo.env_runner_group.foreach_env_runner(
            lambda runner: runner.env.env.host.launch.process.pid, remote_worker_ids=[1],
            local_env_runner=False)[0]

    try:
        algo.train()
        killed = host_pid()
        os.kill(killed, signal.SIGKILL)
        try:
            # Ray restarts the runner while training goes on with the other.
            for _ in range(40):
                algo.train()
                if algo.env_runner_group.num_healthy_remote_workers() == 2:
                    break
            algo.train()
        except Exception as error:
            print("train raised", type(error).__name__, flush=True)
        else:
            print("healthy runners:", algo.env_runner_group.num_healthy_remote_workers(), flush=True)
            print("new host:", host_pid() != killed, flush=True)
    finally:
        algo.stop()
        ray.shutdown()
"""


@pytest.fixture
def short_tmp():
    # Chromium's socket paths under it must fit the 107 bytes of a Unix socket.
    folder = tempfile.mkdtemp(prefix="vk-", dir="/tmp")
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


@needs_rllib
@pytest.mark.parametrize("restart", [True, False])
def test_a_killed_host_is_reported_and_its_runner_restarted_or_the_run_ended(chromium, short_tmp, restart):
    result = run_python(KILL_A_HOST.format(examples=EXAMPLES, tmp=short_tmp, page=PAGE, restart=restart),
                        timeout=600, cwd=ROOT)
    output = result.stdout + result.stderr
    assert result.returncode == 0, output[-4000:]
    # The runner's report carries the failed task's line.
    assert re.search(r"HostLostError: Vesk: .*connection", output), output[-4000:]
    if restart:
        assert "healthy runners: 2\nnew host: True" in result.stdout, output[-4000:]
    else:
        assert "train raised" in result.stdout, output[-4000:]
    # Every browser, the killed one's helpers included, is gone with its profile.
    assert processes_mentioning(short_tmp) == []
    left = [os.path.join(top, name) for top, dirs, files in os.walk(short_tmp) for name in dirs + files]
    # Only the browsers' output logs stay, by design.
    assert not [path for path in left if "vesk-chromium-" in path and not path.endswith(".log")], left
