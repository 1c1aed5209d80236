"""`VectorView`: one Vesk environment seen as a `gymnasium.vector.VectorEnv`.

A `Vesk_Pal_st` instance already holds `num_envs` copies stepped together by
its page, so the view adds no processes: it batches what the hooks return into
gymnasium's shapes and types, turns the `info` list into gymnasium's dict of
arrays and takes over the automatic reset, so that the observation each
finished copy ended in is not lost to the reset.

The environment's subclass declares `single_observation_space` and
`single_action_space` (one copy's spaces). While a view is attached, the
environment's `reward` hook runs behind a wrapper that keeps its three first
values and holds back the reset flags: the view itself resets exactly the
copies whose episode ended (terminated or truncated), in the same step
(default) or at the next one.
"""

from __future__ import annotations

from typing import Any, Callable, Optional, Sequence, Union

import numpy as np
from gymnasium import spaces
from gymnasium.utils import seeding
from gymnasium.vector import AutoresetMode, VectorEnv
from gymnasium.vector.utils import batch_space
from numpy.typing import NDArray

import Vesk

__all__ = ["VectorView", "SPACE_ATTRIBUTES"]

# What a subclass declares for the views, in the order they are checked.
SPACE_ATTRIBUTES = ("single_observation_space", "single_action_space")

# Spaces whose batch is one NumPy array the view can check and convert.
_ARRAY_SPACES = (spaces.Box, spaces.MultiDiscrete, spaces.MultiBinary)

Seed = Union[int, Sequence[int], None]
RewardHook = Callable[[Any], Any]


def declared_spaces(env: Vesk.Vesk_Pal_st) -> tuple[spaces.Space[Any], spaces.Space[Any]]:
    """The environment's one-copy observation and action spaces, or a
    TypeError naming every attribute still to declare."""
    found: list[Any] = [getattr(env, name, None) for name in SPACE_ATTRIBUTES]
    missing = [name for name, space in zip(SPACE_ATTRIBUTES, found) if not isinstance(space, spaces.Space)]
    if missing:
        raise TypeError(
            f"{type(env).__name__} must declare {' and '.join(missing)}: assign one copy's space"
            " (a gymnasium.spaces.Space, e.g. gymnasium.spaces.Box(-inf, inf, (4,), numpy.float32))"
            " to self.single_observation_space and self.single_action_space in __init__"
        )
    return found[0], found[1]


def generator_for(seed: Seed) -> tuple[np.random.Generator, int]:
    """gymnasium's seeding for an int; one generator for a list of seeds."""
    if seed is None or isinstance(seed, (int, np.integer)):
        return seeding.np_random(None if seed is None else int(seed))
    seeds = [int(s) for s in seed]
    return np.random.Generator(np.random.PCG64(np.random.SeedSequence(seeds))), seeds[0]


class VectorView(VectorEnv[Any, Any, NDArray[Any]]):
    """`env`'s `num_envs` copies as a gymnasium vector environment.

    `autoreset_mode` is `AutoresetMode.SAME_STEP` (the finished copies are
    reset by the step that ended them; their last observation and info are in
    `infos["final_obs"]` and `infos["final_info"]`) or `AutoresetMode.NEXT_STEP`
    (the next step resets them and ignores their action), which the stateful
    observation wrappers of newer gymnasium releases require.
    """

    def __init__(self, env: Vesk.Vesk_Pal_st, autoreset_mode: AutoresetMode = AutoresetMode.SAME_STEP) -> None:
        if not isinstance(env, Vesk.Vesk_Pal_st):
            raise TypeError(f"VectorView needs a Vesk.Vesk_Pal_st instance, got {type(env).__name__}")
        if autoreset_mode not in (AutoresetMode.SAME_STEP, AutoresetMode.NEXT_STEP):
            raise ValueError(f"autoreset_mode must be SAME_STEP or NEXT_STEP, got {autoreset_mode!r}")
        if "reward" in vars(env):
            raise ValueError(f"this {type(env).__name__} already has a view (or an instance-level reward hook)")
        self.single_observation_space, self.single_action_space = declared_spaces(env)
        self.env = env
        self.num_envs = int(env.num_envs)
        self.observation_space = batch_space(self.single_observation_space, self.num_envs)
        self.action_space = batch_space(self.single_action_space, self.num_envs)
        self.metadata = {**getattr(env, "metadata", {}), "autoreset_mode": autoreset_mode}
        self.render_mode = env.render_mode
        self.autoreset_mode = autoreset_mode
        # Copies finished at the latest step whose reset is still due (NEXT_STEP).
        self._pending = np.zeros(self.num_envs, dtype=bool)
        self._hold_reset_flags(env)

    # ------------------------------------------------------------------ hooks

    def _hold_reset_flags(self, env: Vesk.Vesk_Pal_st) -> None:
        # An instance attribute shadows the subclass's method: the module calls
        # its hooks through the instance. No flag set means no reset inside
        # step, so the step's own observation reaches the view.
        user_reward: RewardHook = env.reward
        none = np.zeros(self.num_envs, dtype=bool)

        def reward(state: Any) -> tuple[Any, Any, Any, NDArray[np.bool_]]:
            rewards, terminated, truncated, _flags = user_reward(state)
            return rewards, terminated, truncated, none

        env.reward = reward  # type: ignore[method-assign]

    def _release_reset_flags(self) -> None:
        vars(self.env).pop("reward", None)

    # -------------------------------------------------------------- episodes

    def reset(
        self, *, seed: Seed = None, options: Optional[dict[str, Any]] = None
    ) -> tuple[Any, dict[str, Any]]:
        """Resets every copy (or the copies of `options["reset_mask"]`).

        `seed` seeds the view's `np_random` and the environment's own
        `np_random`, which is where the subclass's `explain_reset` should draw
        the starts it sends the page.
        """
        mask = self._reset_mask(options)
        if seed is not None:
            self._np_random, self._np_random_seed = generator_for(seed)
            self.env._np_random, self.env._np_random_seed = generator_for(seed)
        self.env.reset_array = mask
        state, info_list = self.env.reset()
        self._pending &= ~mask
        infos: dict[str, Any] = {}
        for i in range(self.num_envs):
            infos = self._add_info(infos, info_list[i], i)
        return self._batch_obs(state), infos

    def step(self, actions: Any) -> tuple[Any, NDArray[np.float64], NDArray[np.bool_], NDArray[np.bool_], dict[str, Any]]:
        env = self.env
        state, rewards, terminated, truncated, info_list = env.step(actions)
        obs = self._batch_obs(state)
        rewards = self._per_copy(rewards, np.float64, "rewards")
        terminated = self._per_copy(terminated, np.bool_, "terminated flags")
        truncated = self._per_copy(truncated, np.bool_, "truncated flags")
        infos: dict[str, Any] = {}
        if self.autoreset_mode is AutoresetMode.SAME_STEP:
            resetting = terminated | truncated
            if resetting.any():
                for i in np.flatnonzero(resetting):
                    infos = self._add_info(infos, {"final_obs": _row(obs, i), "final_info": info_list[i]}, i)
        else:
            resetting = self._pending
            # These copies were stepped from their final state; their step does not count.
            rewards[resetting] = 0.0
            terminated[resetting] = False
            truncated[resetting] = False
            self._pending = terminated | truncated
        reset_info: Sequence[dict[str, Any]] = ()
        if resetting.any():
            env.reset_array = resetting.copy()
            state, reset_info = env.reset()
            obs = self._batch_obs(state)
        for i in range(self.num_envs):
            infos = self._add_info(infos, reset_info[i] if resetting[i] else info_list[i], i)
        return obs, rewards, terminated, truncated, infos

    def render(self) -> None:
        """Asks the page to draw; the page shows it, nothing comes back."""
        self.env.render()
        return None

    def close_extras(self, **kwargs: Any) -> None:
        """Sends the close task and gives the environment its own reward hook
        back; the bridge keeps serving, as the environment's `close` does."""
        self._release_reset_flags()
        self.env.close()

    # --------------------------------------------------------------- helpers

    def _reset_mask(self, options: Optional[dict[str, Any]]) -> NDArray[np.bool_]:
        options = dict(options or {})
        mask = options.pop("reset_mask", None)
        if options:
            raise ValueError(f"VectorView.reset takes only the option 'reset_mask', got {sorted(options)}")
        if mask is None:
            return np.ones(self.num_envs, dtype=bool)
        flags = np.asarray(mask)
        if flags.dtype != np.bool_ or flags.shape != (self.num_envs,):
            raise ValueError(f"reset_mask must be {self.num_envs} bools, got {mask!r}")
        return flags.copy()

    def _batch_obs(self, state: Any) -> Any:
        space = self.observation_space
        if not isinstance(space, _ARRAY_SPACES):
            return state  # Dict, Tuple...: the subclass builds the batch itself
        obs = np.asarray(state, dtype=space.dtype)
        if obs.shape != space.shape:
            if obs.size != int(np.prod(space.shape)):
                raise ValueError(
                    f"explain_obs gave an observation of shape {obs.shape}; {self.num_envs} copies of"
                    f" single_observation_space need shape {space.shape}"
                )
            obs = obs.reshape(space.shape)
        return obs

    def _per_copy(self, values: Any, dtype: type[Any], what: str) -> NDArray[Any]:
        array = np.array(values, dtype=dtype)  # a copy: the view may change it
        if array.shape != (self.num_envs,):
            if array.size != self.num_envs:
                raise ValueError(f"reward gave {what} of shape {array.shape}, expected one per copy ({self.num_envs},)")
            array = array.reshape(self.num_envs)
        return array

    def __repr__(self) -> str:
        return f"VectorView({type(self.env).__name__}, num_envs={self.num_envs})"


def _row(batch: Any, index: int) -> Any:
    """One copy's part of a batch, kept apart from later changes to it."""
    if isinstance(batch, np.ndarray):
        return batch[index].copy()
    return batch[index]
