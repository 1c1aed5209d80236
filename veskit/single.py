"""`SingleView`: an environment with one copy seen as a plain `gymnasium.Env`,
for `gymnasium.utils.env_checker.check_env` and the single-env wrappers."""

from __future__ import annotations

from typing import Any, Optional, SupportsFloat

import gymnasium as gym
import numpy as np
from gymnasium.error import ClosedEnvironmentError

import Vesk

from ._batch import refuse_non_finite
from ._view import attach, batch_observation, detach, per_copy, seed_environment

__all__ = ["SingleView"]


class SingleView(gym.Env[Any, Any]):
    """`env` (with `num_envs == 1`) as one gymnasium environment.

    Observations, rewards and flags lose their copy axis; the action gains it
    on the way in, so the subclass's `explain_action` sees the same batch of
    one that a `VectorView` hands it. As for any `gymnasium.Env`, a finished
    episode is not reset automatically: call `reset`. `render()` returns the
    page's frame when the environment gives one (`render_mode="rgb_array"`
    with `veskit.Browser`).
    """

    def __init__(self, env: Vesk.Vesk_Pal_st) -> None:
        if isinstance(env, Vesk.Vesk_Pal_st) and env.num_envs != 1:
            raise ValueError(
                f"SingleView needs num_envs == 1, this {type(env).__name__} has {env.num_envs}: use VectorView"
            )
        self.env: Vesk.Vesk_Pal_st
        self.observation_space, self.action_space = attach(self, env)
        self._batch_space = gym.vector.utils.batch_space(self.observation_space, 1)
        self.closed = False

    def reset(
        self, *, seed: Optional[int] = None, options: Optional[dict[str, Any]] = None
    ) -> tuple[Any, dict[str, Any]]:
        """Starts a new episode. `seed` seeds this view's `np_random` and the
        environment's, which its `explain_reset` draws the page's starts from."""
        self._refuse_closed()
        if options:
            raise ValueError(f"SingleView.reset takes no options, got {sorted(options)}")
        super().reset(seed=seed)
        if seed is not None:
            seed_environment(self.env, seed)
        self.env.reset_array = np.ones(1, dtype=bool)
        state, info_list = self.env.reset()
        return self._one(state), dict(info_list[0])

    def step(self, action: Any) -> tuple[Any, SupportsFloat, bool, bool, dict[str, Any]]:
        self._refuse_closed()
        batch = np.expand_dims(np.asarray(action), 0)
        refuse_non_finite(batch)
        state, rewards, terminated, truncated, info_list = self.env.step(batch)
        return (
            self._one(state),
            float(per_copy(rewards, np.float64, "rewards", 1)[0]),
            bool(per_copy(terminated, np.bool_, "terminated flags", 1)[0]),
            bool(per_copy(truncated, np.bool_, "truncated flags", 1)[0]),
            dict(info_list[0]),
        )

    def render(self) -> Any:
        """The page's frame ((h, w, 3) uint8 for "rgb_array"), or None when the
        environment gives none back."""
        self._refuse_closed()
        return self.env.render()

    def close(self) -> None:
        """Gives the environment its own reward hook back and sends its close
        task (an environment made by `veskit.Browser` also ends the browser).
        A second close does nothing."""
        if self.closed:
            return
        self.closed = True
        detach(self)
        self.env.close()

    def _refuse_closed(self) -> None:
        if self.closed:
            raise ClosedEnvironmentError(f"{self!r} is closed")

    def _one(self, state: Any) -> Any:
        batch = batch_observation(self._batch_space, state, 1)
        return batch[0] if isinstance(batch, np.ndarray) else batch

    def __repr__(self) -> str:
        return f"SingleView({type(self.env).__name__})"
