"""Ray actors as one vector env, and the Ray training example, on a local
Ray instance (skipped where Ray is not installed)."""

import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

from conftest import subprocess_env
from veskit import WorkerError
from worker_programs import CLOSE_ACTION, Counter, FakePage

ray = pytest.importorskip("ray", reason='Ray is not installed (pip install ".[ray]")')
from veskit.ray_workers import RayVectorEnv  # noqa: E402

TESTS = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(TESTS)


@pytest.fixture
def local_ray():
    # The actors import this folder's helpers, as the workers do.
    ray.init(num_cpus=2, include_dashboard=False, runtime_env={"env_vars": {"PYTHONPATH": TESTS}})
    yield
    ray.shutdown()


def test_two_actors_are_one_vector_env_and_a_task_failure_surfaces(local_ray):
    envs = RayVectorEnv(Counter, actors=2, kwargs={"num_envs": 3}, launcher=FakePage)
    try:
        assert envs.num_envs == 6
        envs.reset(seed=0)
        _, rewards, *_ = envs.step(np.arange(6).reshape(6, 1))
        np.testing.assert_array_equal(rewards, np.arange(6))
        # Attributes reach the actor holding the copies; a missing one is an
        # AttributeError that leaves the actors running.
        envs.set_attr("marker", [0, 0, 0, 1, 1, 1])
        assert envs.get_attr("marker") == (0, 0, 0, 1, 1, 1)
        with pytest.raises(AttributeError, match="absent"):
            envs.get_attr("absent")
        assert not envs.closed
        actions = np.zeros((6, 1))
        actions[4] = CLOSE_ACTION  # the page of actor 1 goes away
        with pytest.raises(WorkerError, match="^actor 1's worker exited with status 1 during step: Vesk: connection"):
            envs.step(actions)
        assert envs.closed
    finally:
        envs.close()


@pytest.mark.skipif(shutil.which("chromium") is None, reason="Chromium is not installed")
def test_ray_example_trains_with_two_actors():
    result = subprocess.run(
        [sys.executable, os.path.join(ROOT, "examples", "train_ray.py"), "--actors", "2", "--envs", "16",
         "--iterations", "6", "--page", os.path.join(ROOT, "frontend", "dist", "index.html")],
        capture_output=True, text=True, timeout=300, env=subprocess_env(), cwd=ROOT,
    )
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    assert "2 actors x 16 cart-poles = 32 environments" in result.stdout
    assert "summary: mean return" in result.stdout
