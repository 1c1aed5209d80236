"""The reference page's cart-poles as a Vesk environment.

The page (`frontend/dist`) steps `num_envs` classic cart-poles together and
answers each reset and step with one row per copy: (x, x_dot, theta,
theta_dot, reward, terminated, truncated). Registered with gymnasium as
"Vesk/CartPole-v0" when veskit is imported:

    env = gymnasium.make("Vesk/CartPole-v0")                 # a SingleView
    envs = gymnasium.make_vec("Vesk/CartPole-v0", num_envs=16)  # a VectorView

Both open the page in headless Chromium through `veskit.Browser`; closing
the environment closes the browser.
"""

from __future__ import annotations

import threading
from typing import Any, Callable, Optional

import numpy as np
from gymnasium import spaces
from numpy.typing import NDArray

import Vesk

__all__ = ["CartPole", "MAX_STEPS"]

MAX_STEPS = 500
# Where the page ends an episode: |x| > 2.4, |theta| > 12 degrees; the bounds
# are twice that, as in the classic task, and finite for the velocities.
_HIGH = np.array([4.8, np.finfo(np.float32).max, 24 * np.pi / 180, np.finfo(np.float32).max], dtype=np.float32)


class CartPole(Vesk.Vesk_Pal_st):
    """`num_envs` cart-poles of the reference page. Observation: (x, x_dot,
    theta, theta_dot); action: 1 pushes the cart right, 0 left; reward 1 per
    step of a live episode, truncated after `max_steps` steps.

    The starts are drawn from `np_random`, so a view's `reset(seed=...)`
    gives the same episode again."""

    metadata = {"render_modes": ["rgb_array"], "render_fps": 50}

    def __init__(self, num_envs: int = 1, render_mode: Optional[str] = None, max_steps: int = MAX_STEPS) -> None:
        self.num_envs = num_envs
        self.render_mode = render_mode
        self.add_obj = {"max_steps": int(max_steps)}
        self.obs_target = None
        self.single_observation_space = spaces.Box(-_HIGH, _HIGH, dtype=np.float32)
        self.single_action_space: spaces.Space[Any] = spaces.Discrete(2)
        self.rows: NDArray[np.float32] = np.zeros((num_envs, 7), dtype=np.float32)
        super().__init__()

    def connect(self, connect_func: Callable[[], None]) -> None:
        threading.Thread(target=connect_func, name="vesk-bridge", daemon=True).start()

    def explain_reset(self, reset_array: NDArray[np.bool_]) -> Any:
        # pos[i] = (x, x_dot), joint[i] = (theta, theta_dot), uniform in
        # [-0.05, 0.05] as in the classic task.
        return self.np_random.uniform(-0.05, 0.05, size=(2, self.num_envs, 2))

    def explain_action(self, action: Any) -> Any:
        return np.asarray(action, dtype=np.float32).reshape(self.num_envs, 1)

    def explain_obs(self, obs: Any) -> Any:
        if not isinstance(obs, np.ndarray) or obs.shape != (self.num_envs, 7):
            raise ValueError(f"expected {self.num_envs} rows of 7 floats from the page, got {obs!r}")
        self.rows = obs  # reward and flags stay here; the policy sees the first four columns
        return obs[:, :4]

    def reward(self, state: Any) -> Any:
        terminated, truncated = self.rows[:, 5] > 0.5, self.rows[:, 6] > 0.5
        return self.rows[:, 4].copy(), terminated, truncated, terminated | truncated
