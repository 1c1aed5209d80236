"""Cutting one vector batch into per-worker parts and joining them again.

A batch follows gymnasium's layout for its space: a `Dict` space batches as a
dict of batches, a `Tuple` space as a tuple of batches, the fixed-shape
spaces as an array whose first axis is the environment, and the rest
(`Text`, `Graph`, `Sequence`...) as a tuple with one item per environment.
"""

from __future__ import annotations

from typing import Any, Sequence

import numpy as np
from gymnasium import spaces

# Spaces whose batch is one NumPy array over the environments.
ARRAY_SPACES = (spaces.Box, spaces.Discrete, spaces.MultiDiscrete, spaces.MultiBinary)


def _leading_length(batch: Any) -> int:
    try:
        return len(batch)
    except TypeError:
        raise TypeError(f"a batch must have one entry per environment, got {type(batch).__name__}") from None


def split_batch(space: spaces.Space[Any], batch: Any, counts: Sequence[int]) -> list[Any]:
    """`batch` (for sum(counts) environments of `space`) as consecutive parts
    of counts[0], counts[1], ... environments."""
    if isinstance(space, spaces.Dict):
        if not isinstance(batch, dict):
            raise TypeError(f"a batch of a Dict space is a dict, got {type(batch).__name__}")
        per_key = {key: split_batch(sub, batch[key], counts) for key, sub in space.spaces.items()}
        return [{key: parts[i] for key, parts in per_key.items()} for i in range(len(counts))]
    if isinstance(space, spaces.Tuple):
        if not isinstance(batch, tuple) or len(batch) != len(space.spaces):
            raise TypeError(f"a batch of a Tuple space is a tuple of {len(space.spaces)} batches")
        per_item = [split_batch(sub, item, counts) for sub, item in zip(space.spaces, batch)]
        return [tuple(parts[i] for parts in per_item) for i in range(len(counts))]
    if isinstance(space, ARRAY_SPACES):
        batch = np.asarray(batch)
    return split_rows(batch, counts)


def split_rows(batch: Any, counts: Sequence[int]) -> list[Any]:
    """An array or a sequence over sum(counts) environments, cut in parts."""
    total = sum(counts)
    if _leading_length(batch) != total:
        raise ValueError(f"expected a batch for {total} environments, got {_leading_length(batch)}")
    bounds = np.cumsum([0, *counts])
    return [batch[int(start):int(stop)] for start, stop in zip(bounds[:-1], bounds[1:])]


def join_batches(space: spaces.Space[Any], parts: Sequence[Any]) -> Any:
    """The inverse of split_batch: one batch from consecutive parts."""
    if isinstance(space, spaces.Dict):
        return {key: join_batches(sub, [part[key] for part in parts]) for key, sub in space.spaces.items()}
    if isinstance(space, spaces.Tuple):
        return tuple(join_batches(sub, [part[i] for part in parts]) for i, sub in enumerate(space.spaces))
    if all(isinstance(part, np.ndarray) for part in parts):
        return np.concatenate(parts)
    return tuple(item for part in parts for item in part)


def refuse_non_finite(actions: Any, first_copy: int = 0) -> None:
    """Raises ValueError naming the first copy whose action holds a NaN or an
    infinity. JSON has no such numbers, so the page could not read the step's
    message: refused here, before anything is sent. Walks dict and tuple
    batches; `first_copy` is the index of the batch's first copy."""
    if isinstance(actions, dict):
        for part in actions.values():
            refuse_non_finite(part, first_copy)
        return
    if isinstance(actions, tuple):
        for part in actions:
            refuse_non_finite(part, first_copy)
        return
    array = np.asarray(actions) if isinstance(actions, (np.ndarray, list, float)) else None
    if array is None or array.dtype.kind not in "fc" or np.isfinite(array).all():
        return
    rows = np.isfinite(array.reshape(len(array), -1)).all(axis=1) if array.ndim else np.zeros(1, bool)
    copy = int(np.flatnonzero(~rows)[0])
    shown = (array[copy] if array.ndim else array).tolist()
    raise ValueError(f"the action of copy {first_copy + copy} is not finite ({shown}): actions must be finite"
                     " numbers; nothing was sent to the page")
