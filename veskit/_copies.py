"""Attributes and methods of the copies of a vector env whose copies live
several to an environment object: all copies of a `VectorView` in its one
environment, a worker's copies in that worker's environment.

gymnasium's vector API (`call`, `get_attr`, `set_attr`) and
Stable-Baselines3's (`get_attr`, `set_attr`, `env_method` with `indices`)
both go through `apply_to_groups`: a value is read or a method called once
per object and given to each of its copies; a value set or a method called
with only some of an object's copies selected would reach the others too, so
it is refused.
"""

from __future__ import annotations

from abc import abstractmethod
from typing import Any, Optional, Sequence

__all__ = ["CopyGroups", "apply"]


def apply(target: Any, command: str, name: str, args: Sequence[Any] = (), kwargs: Optional[dict[str, Any]] = None,
          ) -> Any:
    """One attribute command on one environment object: "get" reads `name`,
    "set" assigns args[0] to it, "call" calls it (or reads it when it is not
    callable, as gymnasium's `call` does)."""
    if command == "get":
        return getattr(target, name)
    if command == "set":
        setattr(target, name, args[0])
        return None
    if command == "call":
        found = getattr(target, name)
        return found(*args, **(kwargs or {})) if callable(found) else found
    raise ValueError(f"unknown attribute command {command!r}")


def _same(value: Any, other: Any) -> bool:
    if value is other:
        return True
    try:
        return bool(value == other)
    except (TypeError, ValueError):  # arrays of several values, say
        return False


class CopyGroups:
    """The per-copy attribute API over environment objects that hold
    consecutive groups of copies. Subclasses give `copy_groups` and
    `apply_to_groups`."""

    num_envs: int

    @abstractmethod
    def copy_groups(self) -> Sequence[range]:
        """The copies of each environment object, in order."""

    @abstractmethod
    def apply_to_groups(self, groups: Sequence[int], command: str, name: str, args: Sequence[Any] = (),
                        kwargs: Optional[dict[str, Any]] = None) -> list[Any]:
        """`apply(command, name, ...)` on the objects of `groups`: one result each."""

    # ------------------------------------------------------------- indices

    def groups_for(self, indices: Optional[Sequence[int]], what: str, whole: bool = True) -> list[int]:
        """The objects that hold the copies `indices` (None: every copy);
        with `whole`, each must be selected with all its copies."""
        groups = self.copy_groups()
        if indices is None:
            return list(range(len(groups)))
        chosen = {int(index) for index in indices}
        if not chosen <= set(range(self.num_envs)):
            raise IndexError(f"{what}: copy indices must be from 0 to {self.num_envs - 1}, got {list(indices)}")
        selected = []
        for number, group in enumerate(groups):
            taken = chosen.intersection(group)
            if whole and taken and len(taken) != len(group):
                raise ValueError(
                    f"{what} reaches whole environment objects, and copies {group.start} to {group.stop - 1} share"
                    f" one: indices must select all of them or none of them, got {list(indices)}")
            if taken:
                selected.append(number)
        return selected

    def per_copy(self, groups: Sequence[int], results: Sequence[Any]) -> list[Any]:
        """Each group's result repeated for each of its copies."""
        copy_groups = self.copy_groups()
        return [result for group, result in zip(groups, results) for _ in copy_groups[group]]

    # ------------------------------------------------ gymnasium's vector API

    def call(self, name: str, *args: Any, **kwargs: Any) -> tuple[Any, ...]:
        """Calls the method `name` of the environment (or reads the attribute
        when it is not callable): one result per copy, copies of one
        environment object sharing one call."""
        groups = self.groups_for(None, "call")
        return tuple(self.per_copy(groups, self.apply_to_groups(groups, "call", name, args, kwargs)))

    def get_attr(self, name: str) -> tuple[Any, ...]:
        """The attribute `name` of the environment, one value per copy."""
        groups = self.groups_for(None, "get_attr")
        return tuple(self.per_copy(groups, self.apply_to_groups(groups, "get", name)))

    def set_attr(self, name: str, values: Any) -> None:
        """Sets the attribute `name`: `values` is one value for every copy,
        or a list or tuple with one per copy (equal within an object)."""
        groups = self.copy_groups()
        if not isinstance(values, (list, tuple)):
            values = [values] * self.num_envs
        if len(values) != self.num_envs:
            raise ValueError(f"set_attr needs one value per copy ({self.num_envs}), got {len(values)}")
        for group in groups:
            first = values[group.start]
            if not all(_same(values[index], first) for index in group):
                raise ValueError(f"set_attr: copies {group.start} to {group.stop - 1} share one environment object,"
                                 " so they take one value")
        for number, group in enumerate(groups):
            self.apply_to_groups([number], "set", name, (values[group.start],))
