"""What the single and the vector view share: attaching to an environment,
seeding it, and turning what its hooks return into gymnasium's types.

While a view is attached, the environment's `reward` hook runs behind a
wrapper (installed on the instance through `_instance_hooks`) that keeps its
three first values and flags no copy for reset, so that `step` never resets
inside: the step's own observation reaches the view, which resets the
finished copies itself.
"""

from __future__ import annotations

from typing import Any, Sequence, Union

import numpy as np
from gymnasium import spaces
from gymnasium.utils import seeding
from numpy.typing import NDArray

import Vesk

from . import _instance_hooks
from ._batch import ARRAY_SPACES

__all__ = ["SPACE_ATTRIBUTES", "Seed", "attach", "detach", "seed_environment", "generator_for",
           "batch_observation", "per_copy"]

# What a subclass declares for the views, in the order they are checked.
SPACE_ATTRIBUTES = ("single_observation_space", "single_action_space")

Seed = Union[int, Sequence[int], None]


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


def attach(view: Any, env: Vesk.Vesk_Pal_st) -> tuple[spaces.Space[Any], spaces.Space[Any]]:
    """Checks `env`, gives `view` its `env`, `metadata` and `render_mode`,
    holds back the reset flags of `env`'s reward hook and returns one copy's
    observation and action spaces."""
    owner = type(view).__name__
    if not isinstance(env, Vesk.Vesk_Pal_st):
        raise TypeError(f"{owner} needs a Vesk.Vesk_Pal_st instance, got {type(env).__name__}")
    found = declared_spaces(env)
    holders = _instance_hooks.owners(env, "reward")
    if holders:
        raise ValueError(f"this {type(env).__name__} already has a view ({holders[-1]}): close it first")
    view.env = env
    view.metadata = dict(getattr(env, "metadata", {}))
    view.render_mode = env.render_mode
    user_reward = env.reward
    none = np.zeros(int(env.num_envs), dtype=bool)

    def reward(state: Any) -> tuple[Any, Any, Any, NDArray[np.bool_]]:
        rewards, terminated, truncated, _flags = user_reward(state)
        return rewards, terminated, truncated, none

    _instance_hooks.install(env, "reward", reward, owner)
    return found


def detach(view: Any) -> None:
    """Gives the environment back the reward hook it had before `view`."""
    _instance_hooks.restore(view.env, "reward", type(view).__name__)


def generator_for(seed: Seed) -> tuple[np.random.Generator, int]:
    """gymnasium's seeding for an int; one generator for a list of seeds."""
    if seed is None or isinstance(seed, (int, np.integer)):
        return seeding.np_random(None if seed is None else int(seed))
    seeds = [int(s) for s in seed]
    return np.random.Generator(np.random.PCG64(np.random.SeedSequence(seeds))), seeds[0]


def seed_environment(env: Vesk.Vesk_Pal_st, seed: Seed) -> None:
    """Seeds the environment's `np_random`, the generator its `explain_reset`
    draws the starts from that travel to the page."""
    env._np_random, env._np_random_seed = generator_for(seed)


def batch_observation(space: spaces.Space[Any], state: Any, num_envs: int) -> Any:
    """`state` as the batch `space` describes, for the spaces of one array."""
    if not isinstance(space, ARRAY_SPACES):
        return state  # Dict, Tuple...: the subclass builds the batch itself
    obs = np.asarray(state, dtype=space.dtype)
    if obs.shape != space.shape:
        if obs.size != int(np.prod(space.shape or ())):
            raise ValueError(
                f"explain_obs gave an observation of shape {obs.shape}; {num_envs} copies of"
                f" single_observation_space need shape {space.shape}"
            )
        obs = obs.reshape(space.shape or ())
    return obs


def per_copy(values: Any, dtype: type[Any], what: str, num_envs: int) -> NDArray[Any]:
    """One value per copy, as a new array of `dtype`."""
    array = np.array(values, dtype=dtype)
    if array.shape != (num_envs,):
        if array.size != num_envs:
            raise ValueError(f"reward gave {what} of shape {array.shape}, expected one per copy ({num_envs},)")
        array = array.reshape(num_envs)
    return array
