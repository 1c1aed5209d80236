"""`SB3View`: an environment's copies as a Stable-Baselines3 `VecEnv`.

Needs the `sb3` extra (`pip install ".[sb3]"`). All copies live in one
environment object, so `get_attr`, `set_attr` and `env_method` reach that one
object: a value read is the same for every copy, a value set or a method
called applies to all copies at once.
"""

from __future__ import annotations

from typing import Any, Iterable, Optional, Sequence

import numpy as np
from numpy.typing import NDArray

try:
    from stable_baselines3.common.vec_env.base_vec_env import VecEnv, VecEnvIndices, VecEnvObs, VecEnvStepReturn
except ImportError as error:  # pragma: no cover - depends on the extra
    raise ImportError(
        'veskit.sb3 needs Stable-Baselines3: pip install ".[sb3]" (see the README for a CPU-only torch)'
    ) from error

import gymnasium as gym

import Vesk
from veskit.vector import VectorView

__all__ = ["SB3View"]


class SB3View(VecEnv):
    """`env`'s `num_envs` copies in Stable-Baselines3's vector interface.

    A finished copy is reset by the step that ended it; its last observation
    is `infos[i]["terminal_observation"]` and `infos[i]["TimeLimit.truncated"]`
    tells a truncation from a termination, as in SB3's own vector envs.
    `seed(n)` takes effect at the next `reset`, as there.
    """

    def __init__(self, env: Vesk.Vesk_Pal_st) -> None:
        self.view = VectorView(env)
        self.env = env
        self._actions: Any = None
        super().__init__(env.num_envs, self.view.single_observation_space, self.view.single_action_space)

    def reset(self) -> VecEnvObs:
        options = self._options[0] or None
        obs, infos = self.view.reset(seed=self._seeds[0], options=options)
        self.reset_infos = _unbatch(infos, self.num_envs)
        self._reset_seeds()
        self._reset_options()
        first: VecEnvObs = _writeable(obs)
        return first

    def step_async(self, actions: np.ndarray) -> None:
        self._actions = actions

    def step_wait(self) -> VecEnvStepReturn:
        t = self.view.advance(self._actions)
        self._actions = None
        infos = [dict(info) for info in t.step_infos]
        for i, info in enumerate(infos):
            info["TimeLimit.truncated"] = bool(t.truncated[i] and not t.terminated[i])
            if t.finished[i]:
                info["terminal_observation"] = _writeable(t.final_obs[i])
                self.reset_infos[i] = dict(t.reset_infos[i])
        dones: NDArray[np.bool_] = t.terminated | t.truncated
        return _writeable(t.obs), t.rewards.astype(np.float32), dones, infos

    def close(self) -> None:
        self.view.close()

    def get_attr(self, attr_name: str, indices: VecEnvIndices = None) -> list[Any]:
        value = getattr(self.env, attr_name)
        return [value for _ in self._get_indices(indices)]

    def set_attr(self, attr_name: str, value: Any, indices: VecEnvIndices = None) -> None:
        self._require_all(indices, "set_attr")
        setattr(self.env, attr_name, value)

    def env_method(self, method_name: str, *method_args: Any, indices: VecEnvIndices = None, **method_kwargs: Any) -> list[Any]:
        self._require_all(indices, "env_method")
        result = getattr(self.env, method_name)(*method_args, **method_kwargs)
        return [result for _ in range(self.num_envs)]

    def env_is_wrapped(self, wrapper_class: type[gym.Wrapper[Any, Any, Any, Any]], indices: VecEnvIndices = None) -> list[bool]:
        # The copies are no gymnasium environments of their own: nothing wraps them.
        return [False for _ in self._get_indices(indices)]

    def get_images(self) -> Sequence[Optional[np.ndarray]]:
        # The page draws for itself; no image comes back.
        return [None for _ in range(self.num_envs)]

    def _require_all(self, indices: VecEnvIndices, what: str) -> None:
        chosen = sorted(set(self._get_indices(indices)))
        if chosen != list(range(self.num_envs)):
            raise ValueError(
                f"{what} reaches the one environment object all {self.num_envs} copies share:"
                f" indices must select every copy (or be None), got {indices!r}"
            )


def _unbatch(infos: dict[str, Any], num_envs: int) -> list[dict[str, Any]]:
    """gymnasium's dict of arrays back to one dict per copy."""
    out: list[dict[str, Any]] = [{} for _ in range(num_envs)]
    for key, values in infos.items():
        if key.startswith("_"):
            continue
        mask: Iterable[bool] = infos.get("_" + key, np.ones(num_envs, dtype=bool))
        per_copy = _unbatch(values, num_envs) if isinstance(values, dict) else values
        for i, present in enumerate(mask):
            if present:
                out[i][key] = per_copy[i]
    return out


def _writeable(obs: Any) -> Any:
    # Replies arrive as read-only arrays; torch warns about those.
    if isinstance(obs, np.ndarray) and not obs.flags.writeable:
        return obs.copy()
    return obs
