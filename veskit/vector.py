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

from dataclasses import dataclass, field
from typing import Any, Callable, Optional, Sequence, Union

import numpy as np
from gymnasium import spaces
from gymnasium.utils import seeding
from gymnasium.vector import AutoresetMode, VectorEnv
from gymnasium.vector.utils import batch_space
from numpy.typing import NDArray

import Vesk

__all__ = ["VectorView", "Transition", "SPACE_ATTRIBUTES"]

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


def hold_reset_flags(env: Vesk.Vesk_Pal_st) -> None:
    """Shadows the subclass's `reward` with one that keeps its first three
    values and flags no copy for reset, so that `step` never resets inside:
    the step's own observation reaches the view, which then resets the
    finished copies itself. The module calls its hooks through the instance,
    so an instance attribute is enough."""
    if "reward" in vars(env):
        raise ValueError(f"this {type(env).__name__} already has a view (or an instance-level reward hook)")
    user_reward: RewardHook = env.reward
    none = np.zeros(int(env.num_envs), dtype=bool)

    def reward(state: Any) -> tuple[Any, Any, Any, NDArray[np.bool_]]:
        rewards, terminated, truncated, _flags = user_reward(state)
        return rewards, terminated, truncated, none

    env.reward = reward  # type: ignore[method-assign]


def release_reset_flags(env: Vesk.Vesk_Pal_st) -> None:
    """Gives the environment its own `reward` back."""
    vars(env).pop("reward", None)


def seed_environment(env: Vesk.Vesk_Pal_st, seed: Seed) -> None:
    """Seeds the environment's `np_random`, the generator its `explain_reset`
    draws the starts from that travel to the page."""
    env._np_random, env._np_random_seed = generator_for(seed)


def batch_observation(space: spaces.Space[Any], state: Any, num_envs: int) -> Any:
    """`state` as the batch `space` describes, for the spaces of one array."""
    if not isinstance(space, _ARRAY_SPACES):
        return state  # Dict, Tuple...: the subclass builds the batch itself
    obs = np.asarray(state, dtype=space.dtype)
    if obs.shape != space.shape:
        if obs.size != int(np.prod(space.shape)):
            raise ValueError(
                f"explain_obs gave an observation of shape {obs.shape}; {num_envs} copies of"
                f" single_observation_space need shape {space.shape}"
            )
        obs = obs.reshape(space.shape)
    return obs


def per_copy(values: Any, dtype: type[Any], what: str, num_envs: int) -> NDArray[Any]:
    """One value per copy, as a new array of `dtype`."""
    array = np.array(values, dtype=dtype)
    if array.shape != (num_envs,):
        if array.size != num_envs:
            raise ValueError(f"reward gave {what} of shape {array.shape}, expected one per copy ({num_envs},)")
        array = array.reshape(num_envs)
    return array


@dataclass
class Transition:
    """What one step of all copies gave, resets included. `obs` follows the
    resets; `final_obs` is the step's own batch, which holds the last
    observation of the `finished` copies."""

    obs: Any
    rewards: NDArray[np.float64]
    terminated: NDArray[np.bool_]
    truncated: NDArray[np.bool_]
    step_infos: Sequence[dict[str, Any]]
    final_obs: Any
    finished: NDArray[np.bool_]
    resetting: NDArray[np.bool_] = field(default_factory=lambda: np.zeros(0, dtype=bool))
    reset_infos: Sequence[dict[str, Any]] = ()


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
        hold_reset_flags(env)

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
            seed_environment(self.env, seed)
        self.env.reset_array = mask
        state, info_list = self.env.reset()
        self._pending &= ~mask
        infos: dict[str, Any] = {}
        for i in range(self.num_envs):
            infos = self._add_info(infos, info_list[i], i)
        return batch_observation(self.observation_space, state, self.num_envs), infos

    def step(self, actions: Any) -> tuple[Any, NDArray[np.float64], NDArray[np.bool_], NDArray[np.bool_], dict[str, Any]]:
        t = self.advance(actions)
        infos: dict[str, Any] = {}
        for i in np.flatnonzero(t.finished).tolist():
            infos = self._add_info(infos, {"final_obs": _row(t.final_obs, i), "final_info": t.step_infos[i]}, i)
        for i in range(self.num_envs):
            infos = self._add_info(infos, t.reset_infos[i] if t.resetting[i] else t.step_infos[i], i)
        return t.obs, t.rewards, t.terminated, t.truncated, infos

    def advance(self, actions: Any) -> Transition:
        """One step of every copy, with the resets it brings, before the infos
        are batched (the Stable-Baselines3 view wants them as a list)."""
        env = self.env
        state, rewards, terminated, truncated, step_infos = env.step(actions)
        obs = batch_observation(self.observation_space, state, self.num_envs)
        t = Transition(
            obs=obs,
            rewards=per_copy(rewards, np.float64, "rewards", self.num_envs),
            terminated=per_copy(terminated, np.bool_, "terminated flags", self.num_envs),
            truncated=per_copy(truncated, np.bool_, "truncated flags", self.num_envs),
            step_infos=step_infos,
            final_obs=obs,
            finished=np.zeros(self.num_envs, dtype=bool),
        )
        if self.autoreset_mode is AutoresetMode.SAME_STEP:
            t.finished = t.resetting = t.terminated | t.truncated
        else:
            t.resetting = self._pending
            # These copies were stepped from their final state; the step does not count.
            t.rewards[t.resetting] = 0.0
            t.terminated[t.resetting] = False
            t.truncated[t.resetting] = False
            self._pending = t.terminated | t.truncated
        if t.resetting.any():
            env.reset_array = t.resetting.copy()
            state, t.reset_infos = env.reset()
            t.obs = batch_observation(self.observation_space, state, self.num_envs)
        return t

    def render(self) -> None:
        """Asks the page to draw; the page shows it, nothing comes back."""
        self.env.render()
        return None

    def close_extras(self, **kwargs: Any) -> None:
        """Sends the close task and gives the environment its own reward hook
        back; the bridge keeps serving, as the environment's `close` does."""
        release_reset_flags(self.env)
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

    def __del__(self) -> None:
        # Unlike gymnasium's own vector environments, nothing is closed when
        # the view is collected: closing is a task that waits for the page,
        # which may be gone by then (at exit, for one).
        pass

    def __repr__(self) -> str:
        return f"VectorView({type(self.env).__name__}, num_envs={self.num_envs})"


def _row(batch: Any, index: int) -> Any:
    """One copy's part of a batch, kept apart from later changes to it."""
    if isinstance(batch, np.ndarray):
        return batch[index].copy()
    return batch[index]
