"""The registered reference cart-pole ("Vesk/CartPole-v0") in headless
Chromium: gymnasium.make and make_vec, check_env, and videos written by
gymnasium's and Stable-Baselines3's recorders from the frames every view
returns. Each scenario runs in an interpreter of its own (one page per
process)."""

import importlib.util
import json
import os
import textwrap

import pytest

from conftest import run_python

TESTS = os.path.dirname(os.path.abspath(__file__))
needs_moviepy = pytest.mark.skipif(importlib.util.find_spec("moviepy") is None,
                                   reason='moviepy is not installed (pip install ".[video]")')
needs_sb3 = pytest.mark.skipif(importlib.util.find_spec("stable_baselines3") is None,
                               reason='Stable-Baselines3 is not installed (pip install ".[sb3]")')

PRELUDE = """
import glob, json, os, sys, warnings
import numpy as np
import gymnasium as gym
import veskit

def frames_in(folder):
    from moviepy import VideoFileClip
    counts = []
    for path in sorted(glob.glob(os.path.join(folder, "*.mp4"))):
        with VideoFileClip(path) as clip:
            counts.append(sum(1 for _ in clip.iter_frames()))
    return counts
"""


def scenario(body, tmp_path):
    result = run_python(PRELUDE + textwrap.dedent(body), timeout=180, cwd=str(tmp_path))
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    return json.loads(result.stdout.strip().splitlines()[-1])


def test_make_passes_check_env_and_closing_ends_the_browser(chromium, tmp_path):
    report = scenario("""
        from gymnasium.utils.env_checker import check_env
        env = gym.make("Vesk/CartPole-v0")
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            # The render and close checks make a second environment: one page per process.
            check_env(env.unwrapped, skip_render_check=True, skip_close_check=True)
        first, _ = env.reset(seed=3)
        again, _ = env.reset(seed=3)
        steps, done = 0, False
        while not done:
            _, reward, terminated, truncated, _ = env.step(1)
            steps, done = steps + 1, terminated or truncated
        sys.path.insert(0, {tests!r})
        from worker_programs import alive, chromium_pids, process_tree
        browsers = chromium_pids(process_tree(os.getpid()))
        env.close()
        env.close()
        print(json.dumps({"browsers": len(browsers), "left": alive(browsers, wait=10),"warnings": [str(w.message) for w in caught], "spec": env.spec.max_episode_steps,
                          "same_start": bool((first == again).all()), "steps": steps,
                          "space": str(env.observation_space), "action": str(env.action_space)}))
    """.replace("{tests!r}", repr(TESTS)), tmp_path)
    assert report["warnings"] == []
    assert report["spec"] == 500 and report["same_start"]
    assert 5 < report["steps"] < 500  # always pushing right, the pole falls
    assert report["action"] == "Discrete(2)" and "(4,)" in report["space"]
    assert report["browsers"] >= 1 and report["left"] == []


@needs_moviepy
@pytest.mark.parametrize("recorder", [
    pytest.param("""
        from gymnasium.wrappers import RecordVideo
        env = RecordVideo(gym.make("Vesk/CartPole-v0", render_mode="rgb_array"), "videos",
                          episode_trigger=lambda episode: True)
        env.reset(seed=0)
        shape = env.render().shape
        for _ in range(12):
            env.step(env.action_space.sample())
        env.close()
    """, id="gymnasium-single"),
    pytest.param("""
        from gymnasium.wrappers.vector import RecordVideo
        envs = gym.make_vec("Vesk/CartPole-v0", num_envs=3, render_mode="rgb_array")
        frames = envs.render()
        assert len(frames) == 3 and frames[0] is frames[2], "one picture for the copies of one page"
        envs = RecordVideo(envs, "videos", record_first_only=True, step_trigger=lambda step: step == 0,
                           video_length=12)
        envs.reset(seed=0)
        shape = frames[0].shape
        for _ in range(14):
            envs.step(envs.action_space.sample())
        envs.close()
    """, id="gymnasium-vector"),
    pytest.param("""
        from stable_baselines3.common.vec_env import VecVideoRecorder
        from veskit.sb3 import SB3View
        venv = SB3View(gym.make_vec("Vesk/CartPole-v0", num_envs=3, render_mode="rgb_array"))
        shape = venv.render().shape
        assert len(venv.get_images()) == 3
        venv = VecVideoRecorder(venv, "videos", record_video_trigger=lambda step: step == 0, video_length=12)
        venv.reset()
        for _ in range(14):
            venv.step(np.array([venv.action_space.sample() for _ in range(3)]))
        venv.close()
    """, id="sb3", marks=needs_sb3),
])
def test_recorders_write_videos_from_the_page(chromium, tmp_path, recorder):
    report = scenario(recorder + """
        print(json.dumps({"shape": list(shape), "frames": frames_in("videos")}))
    """, tmp_path)
    height, width, channels = report["shape"]
    assert channels == 3 and height > 50 and width > 50
    assert len(report["frames"]) == 1 and report["frames"][0] >= 10
