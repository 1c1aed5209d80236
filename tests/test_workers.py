"""Parallel workers as one vector env: alignment of the workers' batches,
failures reaching the caller, nothing left running afterwards."""

import functools
import os
import shutil
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from gymnasium.error import ClosedEnvironmentError
from gymnasium.wrappers.vector import RecordEpisodeStatistics

from conftest import subprocess_env
from veskit import Browser, ParallelVectorEnv, WorkerError
from worker_programs import (CLOSE_ACTION, EPISODE_STEPS, RAISE_ACTION, Counter, FakePage, alive, chromium_pids,
                             process_tree)

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="process trees are read from /proc")

TESTS = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(TESTS, os.pardir, "examples")
PAGE = os.path.normpath(os.path.join(TESTS, os.pardir, "frontend", "dist", "index.html"))
needs_chromium = pytest.mark.skipif(shutil.which("chromium") is None, reason="Chromium is not installed")


@pytest.fixture
def two_workers():
    envs = ParallelVectorEnv(Counter, workers=2, kwargs={"num_envs": 3}, launcher=FakePage)
    yield envs
    envs.close()


def test_two_workers_are_one_vector_env(two_workers):
    envs = RecordEpisodeStatistics(two_workers)
    assert envs.num_envs == 6 and envs.observation_space.shape == (6, 2)
    ports = two_workers.call("port")
    assert len(ports) == 6 and len(set(ports[:3])) == len(set(ports[3:])) == 1
    assert len(set(ports)) == 2, "each worker has a port of its own"
    obs, _ = envs.reset(seed=3)
    assert obs.shape == (6, 2) and not obs.any()
    actions = np.arange(6, dtype=np.float32).reshape(6, 1)
    for step in range(1, EPISODE_STEPS + 1):
        obs, rewards, terminated, truncated, infos = envs.step(actions)
        # Row i of every batch is environment i, across the workers' seam.
        np.testing.assert_array_equal(rewards, np.arange(6))
        assert terminated.dtype == np.bool_ and terminated.all() == (step == EPISODE_STEPS)
    # Same-step reset: the final rows come in the info, the new ones in obs.
    assert not obs.any()
    assert infos["_final_obs"].all()
    np.testing.assert_array_equal(np.stack(infos["final_obs"]), np.stack([np.full(6, 3.0), np.arange(6)], axis=1))
    np.testing.assert_array_equal(infos["episode"]["r"], 3 * np.arange(6))


def test_reset_mask_reaches_only_its_worker(two_workers):
    two_workers.reset()
    two_workers.step(np.zeros((6, 1)))
    mask = np.array([False, False, False, False, True, False])
    obs, _ = two_workers.reset(options={"reset_mask": mask})
    np.testing.assert_array_equal(obs[:, 0], [1, 1, 1, 1, 0, 1])


@pytest.mark.parametrize(
    "where, action, expected",
    [
        ("step", CLOSE_ACTION, "worker 1 exited with status 1 during step: Vesk: connection to the front-end failed"),
        ("step", RAISE_ACTION, "worker 1 failed in step: ValueError: bad action"),
        ("start", None, r"worker \d failed in start: RuntimeError: this environment cannot start"),
    ],
    ids=["task-failure", "hook-raises", "factory-raises"],
)
def test_worker_failure_surfaces_and_stops_every_worker(where, action, expected):
    with pytest.raises(WorkerError, match="^" + expected) as raised:
        envs = ParallelVectorEnv(Counter, workers=2, kwargs={"num_envs": 3, "fail_at_start": where == "start"},
                                 launcher=FakePage)
        envs.reset()
        actions = np.zeros((6, 1))
        actions[4] = action  # environment 4 is the second one of worker 1
        envs.step(actions)
    error = raised.value
    if action == CLOSE_ACTION:
        assert (error.worker, error.exitcode) == (1, 1)
        assert error.vesk_line.startswith("Vesk: connection to the front-end failed")
    if where == "step":
        assert envs.closed and [p.exitcode for p in envs.processes] != [None, None]
        assert alive([p.pid for p in envs.processes]) == []
        with pytest.raises(ClosedEnvironmentError, match="closed"):
            envs.step(np.zeros((6, 1)))


def test_wrong_batch_size_is_refused(two_workers):
    with pytest.raises(ValueError, match="expected a batch for 6 environments, got 5"):
        two_workers.step(np.zeros((5, 1)))


def test_killed_worker_is_reported(two_workers):
    two_workers.reset()
    os.kill(two_workers.processes[0].pid, signal.SIGKILL)
    with pytest.raises(WorkerError, match="worker 0 was killed by SIGKILL during step"):
        two_workers.step(np.zeros((6, 1)))
    assert alive([p.pid for p in two_workers.processes]) == []


@needs_chromium
def test_browsers_end_with_a_crashed_worker_and_at_close():
    sys.path.insert(0, EXAMPLES)
    from train_ray import CartPole

    envs = ParallelVectorEnv(CartPole, 2, kwargs={"num_envs": 4}, launcher=functools.partial(Browser, PAGE))
    try:
        obs, _ = envs.reset(seed=0)
        assert obs.shape == (8, 7)
        trees = [process_tree(p.pid) for p in envs.processes]
        assert all(chromium_pids(tree) for tree in trees), "each worker has a browser of its own"
        os.kill(envs.processes[0].pid, signal.SIGKILL)
        with pytest.raises(WorkerError, match="worker 0 was killed by SIGKILL"):
            envs.step(np.zeros((8, 1)))
    finally:
        envs.close()
    # Worker 0's browser is ended by the launcher's watcher, worker 1's by its close.
    assert alive([pid for tree in trees for pid in tree], wait=15) == []


PARENT_THAT_DIES = """
import functools, os, signal, sys
sys.path.insert(0, {tests!r})
sys.path.insert(0, {examples!r})
from veskit import Browser, ParallelVectorEnv
from worker_programs import Counter, FakePage, chromium_pids, process_tree
from train_ray import CartPole

if __name__ == "__main__":
    envs = ParallelVectorEnv({factory}, workers=2, launcher={launcher})
    envs.reset()
    pids = [pid for p in envs.processes for pid in process_tree(p.pid)]
    print(len(chromium_pids(pids)), *pids, flush=True)
    os.kill(os.getpid(), signal.SIGKILL)
"""


@pytest.mark.parametrize("factory, launcher", [
    ("Counter", "FakePage"),
    pytest.param("functools.partial(CartPole, 4)", f"functools.partial(Browser, {PAGE!r})", marks=needs_chromium),
], ids=["stand-in-page", "chromium"])
def test_workers_and_browsers_end_when_their_parent_dies(factory, launcher):
    program = textwrap.dedent(PARENT_THAT_DIES.format(tests=TESTS, examples=EXAMPLES, factory=factory,
                                                      launcher=launcher))
    result = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=120,
                            env=subprocess_env())
    assert result.returncode == -signal.SIGKILL, result.stderr
    browsers, *pids = [int(number) for number in result.stdout.split()]
    assert len(pids) >= 2
    assert browsers >= (2 if "Browser" in launcher else 0)
    assert alive(pids, wait=15) == []


def test_non_finite_action_is_refused_before_any_worker_gets_it(two_workers):
    two_workers.reset()
    actions = np.zeros((6, 1))
    actions[4] = np.nan
    with pytest.raises(ValueError, match="^the action of copy 4 is not finite"):
        two_workers.step(actions)
    assert not two_workers.closed  # nothing was sent: the workers go on
    _, rewards, *_ = two_workers.step(np.arange(6.0).reshape(6, 1))
    np.testing.assert_array_equal(rewards, np.arange(6))


def test_attributes_reach_the_worker_holding_the_copies(two_workers):
    two_workers.set_attr("marker", [1, 1, 1, 2, 2, 2])
    assert two_workers.get_attr("marker") == (1, 1, 1, 2, 2, 2)
    with pytest.raises(ValueError, match="copies 0 to 2 share one environment object"):
        two_workers.set_attr("marker", [1, 2, 1, 2, 2, 2])


def test_sb3_trains_over_workers_and_routes_by_copy(two_workers):
    pytest.importorskip("stable_baselines3", reason='needs the sb3 extra (pip install ".[sb3]")')
    from stable_baselines3 import PPO
    from stable_baselines3.common.vec_env import VecMonitor

    from veskit.sb3 import SB3View

    venv = SB3View(two_workers)
    venv.set_attr("marker", "second", indices=[3, 4, 5])
    assert venv.get_attr("marker", indices=[4, 5]) == ["second", "second"]
    with pytest.raises(AttributeError):
        venv.get_attr("marker", indices=[0])  # worker 0 never got it
    with pytest.raises(ValueError, match="copies 0 to 2 share one: indices must select all of them or none"):
        venv.env_method("reset", indices=[2, 3])
    assert venv.env_method("explain_obs", [1.5], indices=[0, 1, 2]) == [[1.5]] * 3
    ports = venv.get_attr("port")
    assert ports[0] == ports[2] != ports[3] == ports[5]
    venv = VecMonitor(venv)
    obs = venv.reset()
    _, _, dones, infos = venv.step(np.zeros((6, 1), np.float32))
    assert obs.shape == (6, 2) and not dones.any() and infos[4]["TimeLimit.truncated"] is False
    for _ in range(EPISODE_STEPS - 1):
        _, _, dones, infos = venv.step(np.ones((6, 1), np.float32))
    assert dones.all()
    np.testing.assert_array_equal(np.stack([info["terminal_observation"] for info in infos]), [[3, 1]] * 6)
    assert all(info["episode"]["l"] == EPISODE_STEPS for info in infos)
    model = PPO("MlpPolicy", venv, n_steps=8, batch_size=16, n_epochs=1, device="cpu")
    model.learn(total_timesteps=48)
    assert model.num_timesteps >= 48
