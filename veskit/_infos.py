"""Infos between the layouts the libraries use.

gymnasium's vector envs give one dict whose every leaf is an array over the
copies, each key `k` beside a bool mask `_k` telling which copies reported
it; the environment's `info_array` and Stable-Baselines3 use a list with one
dict per copy. Everything here keeps gymnasium's dtypes: a key whose values
are Python or NumPy scalars of one type is an array of that type, an array
value gains the copy axis, anything else goes into an object array.
"""

from __future__ import annotations

from operator import itemgetter
from typing import Any, Callable, Sequence

import numpy as np
from numpy.typing import NDArray

__all__ = ["batch_infos", "default_batch", "is_default_batch", "unbatch_infos", "copy_info", "merge_infos",
           "restrict_infos"]

_DEFAULT_INFO = {"counts": 0}

AddInfo = Callable[[dict[str, Any], dict[str, Any], int], dict[str, Any]]


def batch_infos(infos: Sequence[dict[str, Any]], add_info: AddInfo) -> dict[str, Any]:
    """One vector info from one dict per copy.

    When every copy reports the module's {"counts": 0}, or the same keys with
    scalars of one type each, each key is one array built in C; otherwise
    `add_info` (gymnasium's `VectorEnv._add_info`) takes the copies one by one.
    """
    count = len(infos)
    # The module's own info, never changed by most subclasses: one pass of
    # dict comparisons in C tells it.
    if isinstance(infos, list) and infos and infos.count(_DEFAULT_INFO) == count \
            and type(infos[0]["counts"]) is int:
        return default_batch(count)
    keys = set().union(*infos)
    # Every copy has every key exactly when the sizes add up.
    if sum(map(len, infos)) == count * len(keys):
        batched: dict[str, Any] = {}
        everyone = np.ones(count, dtype=bool)
        for key in keys:
            values = list(map(itemgetter(key), infos))
            kinds = set(map(type, values))
            if len(kinds) != 1:
                break
            kind = kinds.pop()
            if kind not in (int, float, bool) and not issubclass(kind, np.number):
                break
            batched[key] = np.array(values, dtype=kind)
            batched["_" + key] = everyone.copy()
        else:
            return batched
    out: dict[str, Any] = {}
    for index, info in enumerate(infos):
        out = add_info(out, info, index)
    return out


def default_batch(count: int) -> dict[str, Any]:
    """The vector info of `count` copies that each report {"counts": 0}."""
    return {"counts": np.zeros(count, dtype=int), "_counts": np.ones(count, dtype=bool)}


def is_default_batch(infos: dict[str, Any]) -> bool:
    """Whether `infos` is what `default_batch` makes."""
    return infos.keys() == {"counts", "_counts"} and infos["counts"].dtype == int \
        and not infos["counts"].any() and bool(infos["_counts"].all())


def restrict_infos(infos: dict[str, Any], chosen: NDArray[np.bool_]) -> dict[str, Any]:
    """`infos` as if only the `chosen` copies had reported: the others' masks
    cleared and their entries blank (zero, False or None), as gymnasium leaves
    copies that did not report a key; keys no chosen copy has are left out."""
    out: dict[str, Any] = {}
    for key, value in infos.items():
        if key.startswith("_") and key[1:] in infos:
            continue
        mask = infos.get("_" + key)
        kept_mask = chosen.copy() if mask is None else mask & chosen
        if not kept_mask.any():
            continue  # no chosen copy reported it
        if isinstance(value, dict):
            out[key] = restrict_infos(value, chosen)
        else:
            kept = np.array(value, copy=True)
            kept[~kept_mask] = None if kept.dtype == object else 0
            out[key] = kept
        out["_" + key] = kept_mask
    return out


def unbatch_infos(infos: dict[str, Any], count: int) -> list[dict[str, Any]]:
    """gymnasium's vector info back to one dict per copy."""
    whole: dict[str, Sequence[Any]] = {}  # keys every copy reported
    partial: dict[str, tuple[Sequence[Any], list[int]]] = {}
    for key, values in infos.items():
        if key.startswith("_") and key[1:] in infos:
            continue
        mask = infos.get("_" + key)
        if isinstance(values, dict):
            per_copy: Sequence[Any] = unbatch_infos(values, count)
        elif isinstance(values, np.ndarray) and values.ndim == 1 and values.dtype != object:
            per_copy = values.tolist()  # Python scalars, as the copies reported them
        else:
            per_copy = list(values)
        if mask is None or mask.all():
            whole[key] = per_copy
        else:
            partial[key] = (per_copy, np.flatnonzero(mask).tolist())
    if len(whole) == 1:
        [(key, column)] = whole.items()
        out = [{key: value} for value in column]
    elif whole:
        out = [dict(zip(whole, row)) for row in zip(*whole.values())]
    else:
        out = [{} for _ in range(count)]
    for key, (per_copy, present) in partial.items():
        for index in present:
            out[index][key] = per_copy[index]
    return out


def copy_info(infos: dict[str, Any], index: int) -> dict[str, Any]:
    """One copy's dict from a vector info: `unbatch_infos(infos)[index]`
    without making the others'."""
    out: dict[str, Any] = {}
    for key, values in infos.items():
        if key.startswith("_") and key[1:] in infos:
            continue
        mask = infos.get("_" + key)
        if mask is not None and not mask[index]:
            continue
        if isinstance(values, dict):
            out[key] = copy_info(values, index)
        else:
            value = values[index]
            out[key] = value.item() if isinstance(value, np.generic) else value
    return out


def _blank_like(template: NDArray[Any], count: int) -> NDArray[Any]:
    # What gymnasium fills in for copies that did not report a key.
    if template.dtype == object:
        return np.full((count, *template.shape[1:]), None, dtype=object)
    return np.zeros((count, *template.shape[1:]), dtype=template.dtype)


def merge_infos(infos: Sequence[dict[str, Any]], counts: Sequence[int]) -> dict[str, Any]:
    """One vector info from several vector infos of counts[0], counts[1], ...
    copies, in order; a key one of them lacks is blank there."""
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
