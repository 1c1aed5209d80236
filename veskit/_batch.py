"""Cutting one vector batch into per-worker parts and joining them again.

A batch follows gymnasium's layout for its space: a `Dict` space batches as a
dict of batches, a `Tuple` space as a tuple of batches, the fixed-shape
spaces as an array whose first axis is the environment, and the rest
(`Text`, `Graph`, `Sequence`...) as a tuple with one item per environment.
Infos follow the vector convention: every leaf an array over the
environments, every key `k` beside a bool mask `_k`.
"""

from __future__ import annotations

from typing import Any, Sequence

import numpy as np
from gymnasium import spaces

_ARRAY_SPACES = (spaces.Box, spaces.Discrete, spaces.MultiDiscrete, spaces.MultiBinary)


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
    if isinstance(space, _ARRAY_SPACES):
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


def _blank_like(template: np.ndarray[Any, Any], count: int) -> np.ndarray[Any, Any]:
    # What gymnasium fills in for environments that did not report a key.
    if template.dtype == object:
        return np.full((count, *template.shape[1:]), None, dtype=object)
    return np.zeros((count, *template.shape[1:]), dtype=template.dtype)


def merge_infos(infos: Sequence[dict[str, Any]], counts: Sequence[int]) -> dict[str, Any]:
    """One vector info from the workers' vector infos, in worker order; a key
    missing from a worker is blank there (zero, False or None)."""
    merged: dict[str, Any] = {}
    keys = list(dict.fromkeys(key for info in infos for key in info))
    for key in keys:
        values = [info.get(key) for info in infos]
        if any(isinstance(value, dict) for value in values):
            merged[key] = merge_infos([value if isinstance(value, dict) else {} for value in values], counts)
            continue
        arrays = [None if value is None else np.asarray(value) for value in values]
        template = next(array for array in arrays if array is not None)
        parts = []
        for array, count in zip(arrays, counts):
            if array is None:
                array = _blank_like(template, count)
            elif array.shape[:1] != (count,):
                raise ValueError(f"info {key!r} of a worker has shape {array.shape}, expected one entry for each of"
                                 f" its {count} environments")
            parts.append(array)
        merged[key] = np.concatenate(parts)
    return merged
