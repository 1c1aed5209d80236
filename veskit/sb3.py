"""`SB3View`: a vector env as a Stable-Baselines3 `VecEnv`.

Needs the `sb3` extra (`pip install ".[sb3]"`). It takes a Vesk environment
(seen through a `VectorView`) or any gymnasium vector env that resets in the
same step, `ParallelVectorEnv` and `RayVectorEnv` included.

`get_attr`, `set_attr` and `env_method` reach the environment objects that
hold the copies: one object for all copies of a Vesk environment, one per
worker for the workers. A value read is that object's, the same for each of
its copies; a value set or a method called applies to all copies of the
objects reached, so indices must select an object's copies all or none.
"""

from __future__ import annotations

from typing import Any, Optional, Sequence, Union

import numpy as np
from numpy.typing import NDArray

try:
    from stable_baselines3.common.vec_env.base_vec_env import (VecEnv, VecEnvIndices, VecEnvObs, VecEnvStepReturn,
                                                               tile_images)
except ImportError as error:  # pragma: no cover - depends on the extra
    raise ImportError(
        'veskit.sb3 needs Stable-Baselines3: pip install ".[sb3]" (see the README for a CPU-only torch)'
    ) from error

import gymnasium as gym
from gymnasium.vector import AutoresetMode, VectorEnv

import Vesk

from ._copies import CopyGroups
from ._infos import copy_info, unbatch_infos
from .vector import VectorView

__all__ = ["SB3View"]


class SB3View(VecEnv):
    """The copies of `env` (a `Vesk.Vesk_Pal_st` or a gymnasium vector env)
    in Stable-Baselines3's vector interface.

    A finished copy is reset by the step that ended it; its last observation
    is `infos[i]["terminal_observation"]` and `infos[i]["TimeLimit.truncated"]`
    tells a truncation from a termination, as in SB3's own vector envs.
    `seed(n)` takes effect at the next `reset`, as there. `render()` gives the
    pages' pictures, side by side when there are several (workers).
    """

    def __init__(self, env: Union[Vesk.Vesk_Pal_st, VectorEnv[Any, Any, Any]]) -> None:
        venv = VectorView(env) if isinstance(env, Vesk.Vesk_Pal_st) else env
        if not isinstance(venv, VectorEnv):
            raise TypeError(f"SB3View needs a Vesk.Vesk_Pal_st or a gymnasium VectorEnv, got {type(env).__name__}")
        mode = venv.metadata.get("autoreset_mode")
        if mode is not AutoresetMode.SAME_STEP:
            raise ValueError(f"SB3View needs a vector env that resets in the same step"
                             f" (metadata['autoreset_mode'] is AutoresetMode.SAME_STEP), {venv!r} has {mode!r}")
        self.venv: VectorEnv[Any, Any, Any] = venv
        self._actions: Any = None
        super().__init__(venv.num_envs, venv.single_observation_space, venv.single_action_space)
        self.metadata.update({key: value for key, value in venv.metadata.items() if key != "render_modes"})

    @property
    def env(self) -> Any:
        """The Vesk environment under a view of one (as before), else the vector env."""
        unwrapped = self.venv.unwrapped
        return unwrapped.env if isinstance(unwrapped, VectorView) else unwrapped

    def reset(self) -> VecEnvObs:
        options = self._options[0] or None
        obs, infos = self.venv.reset(seed=self._seeds[0], options=options)
        self.reset_infos = unbatch_infos(infos, self.num_envs)
        self._reset_seeds()
        self._reset_options()
        first: VecEnvObs = _writeable(obs)
        return first

    def step_async(self, actions: np.ndarray) -> None:
        self._actions = actions

    def step_wait(self) -> VecEnvStepReturn:
        actions, self._actions = self._actions, None
        obs, rewards, terminated, truncated, batched = self.venv.step(actions)
        batched = dict(batched)
        final_obs = batched.pop("final_obs", None)
        finished = batched.pop("_final_obs", None)
        final_info = batched.pop("final_info", {})
        batched.pop("_final_info", None)
        infos = unbatch_infos(batched, self.num_envs)
        if finished is not None:
            for index in np.flatnonzero(finished).tolist():
                self.reset_infos[index] = infos[index]
                infos[index] = copy_info(final_info, index)
                infos[index]["terminal_observation"] = _writeable(final_obs[index])
        for info, cut in zip(infos, (np.asarray(truncated) & ~np.asarray(terminated)).tolist()):
            info["TimeLimit.truncated"] = cut
        dones: NDArray[np.bool_] = np.asarray(terminated) | np.asarray(truncated)
        return _writeable(obs), np.asarray(rewards, dtype=np.float32), dones, infos

    def close(self) -> None:
        self.venv.close()

    # ------------------------------------------------------------- frames

    def get_images(self) -> Sequence[Optional[np.ndarray]]:
        frames: Any = self.venv.render()
        return [None] * self.num_envs if frames is None else list(frames)

    def render(self, mode: Optional[str] = None) -> Optional[np.ndarray]:
        """The pages' pictures ("rgb_array"): copies that share a page share its
        frame, so each page is shown once, side by side when there are several."""
        if (mode or self.render_mode) != "rgb_array" or (mode is not None and mode != self.render_mode):
            return super().render(mode)
        frames: Any = self.venv.render()
        if frames is None:
            return None
        pages: list[np.ndarray] = list({id(frame): frame for frame in frames}.values())
        return pages[0] if len(pages) == 1 else tile_images(pages)

    # -------------------------------------------------- attributes, methods

    def get_attr(self, attr_name: str, indices: VecEnvIndices = None) -> list[Any]:
        copies = self._copies()
        if copies is None:
            values = self._gymnasium().get_attr(attr_name)
            return [values[index] for index in self._get_indices(indices)]
        chosen = list(self._get_indices(indices))
        groups = copies.groups_for(chosen, "get_attr", whole=False)
        values = dict(zip(groups, copies.apply_to_groups(groups, "get", attr_name)))
        owner = {index: number for number, group in enumerate(copies.copy_groups()) for index in group}
        return [values[owner[index]] for index in chosen]

    def set_attr(self, attr_name: str, value: Any, indices: VecEnvIndices = None) -> None:
        copies = self._copies()
        if copies is None:
            self._require_all(indices, "set_attr")
            self._gymnasium().set_attr(attr_name, value)
            return
        copies.apply_to_groups(copies.groups_for(self._chosen(indices), "set_attr"), "set", attr_name, (value,))

    def env_method(self, method_name: str, *method_args: Any, indices: VecEnvIndices = None,
                   **method_kwargs: Any) -> list[Any]:
        copies = self._copies()
        if copies is None:
            self._require_all(indices, "env_method")
            return list(self._gymnasium().call(method_name, *method_args, **method_kwargs))
        groups = copies.groups_for(self._chosen(indices), "env_method")
        results = copies.apply_to_groups(groups, "call", method_name, method_args, method_kwargs)
        return copies.per_copy(groups, results)

    def env_is_wrapped(self, wrapper_class: type[gym.Wrapper[Any, Any, Any, Any]],
                       indices: VecEnvIndices = None) -> list[bool]:
        # The copies are no gymnasium environments of their own: nothing wraps them.
        return [False for _ in self._get_indices(indices)]

    def _gymnasium(self) -> Any:
        # gymnasium's own vector envs (SyncVectorEnv...) have call, get_attr
        # and set_attr, which the VectorEnv base does not declare.
        return self.venv

    def _copies(self) -> Optional[CopyGroups]:
        unwrapped = self.venv.unwrapped
        return unwrapped if isinstance(unwrapped, CopyGroups) else None

    def _chosen(self, indices: VecEnvIndices) -> Optional[list[int]]:
        return None if indices is None else list(self._get_indices(indices))

    def _require_all(self, indices: VecEnvIndices, what: str) -> None:
        if indices is not None and sorted(set(self._get_indices(indices))) != list(range(self.num_envs)):
            raise ValueError(f"{what} on {self.venv!r} reaches every copy at once: indices must select every copy"
                             f" (or be None), got {indices!r}")


def _writeable(obs: Any) -> Any:
    # Replies arrive as read-only arrays; torch warns about those.
    if isinstance(obs, np.ndarray) and not obs.flags.writeable:
        return obs.copy()
    return obs
