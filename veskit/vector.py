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

from typing import Any, Callable, Optional, Sequence

import numpy as np
from gymnasium.error import ClosedEnvironmentError
from gymnasium.vector import AutoresetMode, VectorEnv
from gymnasium.vector.utils import batch_space
from numpy.typing import NDArray

import Vesk

from ._batch import refuse_non_finite
from ._copies import CopyGroups, apply
from ._infos import batch_infos, default_batch, is_default_batch, restrict_infos
from ._view import SPACE_ATTRIBUTES, Seed, attach, batch_observation, detach, generator_for, per_copy, \
    seed_environment

__all__ = ["VectorView", "SPACE_ATTRIBUTES"]


class VectorView(CopyGroups, VectorEnv[Any, Any, NDArray[Any]]):
    """`env`'s `num_envs` copies as a gymnasium vector environment.

    `autoreset_mode` is `AutoresetMode.SAME_STEP` (the finished copies are
    reset by the step that ended them; their last observation and info are in
    `infos["final_obs"]` and `infos["final_info"]`) or `AutoresetMode.NEXT_STEP`
    (the next step resets them and ignores their action), which the stateful
    observation wrappers of newer gymnasium releases require.

    `render()` gives one frame per copy, as gymnasium's vector envs do: the
    page draws one picture for all its copies, so each copy's entry is that
    same frame (`RecordVideo(..., record_first_only=True)` records it once).
    """

    def __init__(self, env: Vesk.Vesk_Pal_st, autoreset_mode: AutoresetMode = AutoresetMode.SAME_STEP) -> None:
        if autoreset_mode not in (AutoresetMode.SAME_STEP, AutoresetMode.NEXT_STEP):
            raise ValueError(f"autoreset_mode must be SAME_STEP or NEXT_STEP, got {autoreset_mode!r}")
        self.single_observation_space, self.single_action_space = attach(self, env)
        self.env: Vesk.Vesk_Pal_st
        self.num_envs = int(env.num_envs)
        self.observation_space = batch_space(self.single_observation_space, self.num_envs)
        self.action_space = batch_space(self.single_action_space, self.num_envs)
        self.metadata["autoreset_mode"] = autoreset_mode
        self.autoreset_mode = autoreset_mode
        # Copies that finished at the latest step and are reset at the next (NEXT_STEP).
        self._reset_due = np.zeros(self.num_envs, dtype=bool)

    # -------------------------------------------------------------- episodes

    def reset(
        self, *, seed: Seed = None, options: Optional[dict[str, Any]] = None
    ) -> tuple[Any, dict[str, Any]]:
        """Resets every copy (or the copies of `options["reset_mask"]`).

        `seed` seeds the view's `np_random` and the environment's own
        `np_random`, which is where the subclass's `explain_reset` should draw
        the starts it sends the page.
        """
        self._refuse_closed()
        mask = self._reset_mask(options)
        if seed is not None:
            self._np_random, self._np_random_seed = generator_for(seed)
            seed_environment(self.env, seed)
        self.env.reset_array = mask
        state, reset_infos = self.env.reset()
        self._reset_due &= ~mask
        return batch_observation(self.observation_space, state, self.num_envs), batch_infos(reset_infos,
                                                                                            self._add_info)

    def step(self, actions: Any) -> tuple[Any, NDArray[np.float64], NDArray[np.bool_], NDArray[np.bool_],
                                          dict[str, Any]]:
        self._refuse_closed()
        refuse_non_finite(actions)
        env = self.env
        state, rewards, terminated, truncated, step_infos = env.step(actions)
        obs = batch_observation(self.observation_space, state, self.num_envs)
        rewards = per_copy(rewards, np.float64, "rewards", self.num_envs)
        terminated = per_copy(terminated, np.bool_, "terminated flags", self.num_envs)
        truncated = per_copy(truncated, np.bool_, "truncated flags", self.num_envs)
        if self.autoreset_mode is AutoresetMode.SAME_STEP:
            finished = resetting = terminated | truncated
        else:
            finished = np.zeros(self.num_envs, dtype=bool)
            resetting = self._reset_due
            # These copies were stepped from their final state; the step does not count.
            rewards[resetting] = 0.0
            terminated[resetting] = False
            truncated[resetting] = False
            self._reset_due = terminated | truncated
        step_batch = batch_infos(step_infos, self._add_info)
        if not resetting.any():
            return obs, rewards, terminated, truncated, step_batch
        final_obs = obs
        env.reset_array = resetting.copy()
        state, reset_infos = env.reset()
        obs = batch_observation(self.observation_space, state, self.num_envs)
        # The reset copies' infos are their reset's, the others' the step's.
        restarted = np.flatnonzero(resetting).tolist()
        fresh = [reset_infos[index] for index in restarted]
        if is_default_batch(step_batch) and is_default_batch(batch_infos(fresh, self._add_info)):
            infos = default_batch(self.num_envs)
        else:
            live = list(step_infos)
            for index, info in zip(restarted, fresh):
                live[index] = info
            infos = batch_infos(live, self._add_info)
        if finished.any():
            infos.update(self._final(final_obs, step_batch, finished))
        return obs, rewards, terminated, truncated, infos

    def _final(self, final_obs: Any, step_batch: dict[str, Any], finished: NDArray[np.bool_]) -> dict[str, Any]:
        """The `final_obs` and `final_info` entries of the finished copies."""
        rows = np.full(self.num_envs, None, dtype=object)
        for index in np.flatnonzero(finished).tolist():
            rows[index] = _row(final_obs, index)
        return {"final_obs": rows, "_final_obs": finished.copy(), "final_info": restrict_infos(step_batch, finished),
                "_final_info": finished.copy()}

    def render(self) -> Optional[tuple[Any, ...]]:
        """The page's frame for each copy (`render_mode="rgb_array"` with an
        environment made by `veskit.Browser`), else None after the page drew."""
        self._refuse_closed()
        render: Callable[[], Any] = self.env.render  # the launcher's gives a frame
        frame = render()
        return None if frame is None else (frame,) * self.num_envs

    def close_extras(self, **kwargs: Any) -> None:
        """Gives the environment its own reward hook back and sends its close
        task (an environment made by `veskit.Browser` also ends the browser)."""
        detach(self)
        self.env.close()

    # ------------------------------------------------------ per-copy access

    def copy_groups(self) -> Sequence[range]:
        return [range(self.num_envs)]

    def apply_to_groups(self, groups: Sequence[int], command: str, name: str, args: Sequence[Any] = (),
                        kwargs: Optional[dict[str, Any]] = None) -> list[Any]:
        return [apply(self.env, command, name, args, kwargs) for _ in groups]

    # --------------------------------------------------------------- helpers

    def _refuse_closed(self) -> None:
        if self.closed:
            raise ClosedEnvironmentError(f"{self!r} is closed")

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
