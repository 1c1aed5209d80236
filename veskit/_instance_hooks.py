"""Hooks shadowed on one environment instance, and how they are given back.

The module calls its hooks (`reward`, `connect`, ...) and methods (`close`,
`render`) through attribute lookup on the instance, so an instance attribute
stands in for the class's without touching the class. Several layers do it:
the launcher shadows `connect` while it constructs, then `close` and
`render`; a view shadows `reward`. Each layer installs through `install` and
gives back through `restore`, which puts back exactly what was there before
(the class's hook, or the instance attribute of the layer below).

Layers unwind in the reverse order of installation, name by name: the last
layer that shadowed a name is the only one that may restore it. Restoring a
lower layer first would bring back a hook that still calls the upper one, so
`restore` refuses it with a RuntimeError naming both layers.

With the launcher and a view the order is: the launcher installs `connect`
before construction and restores it once the environment is made; it then
installs `close` (and `render` for `rgb_array`), which it keeps for good; a
view made afterwards (`VectorView(env)`) shadows `reward` above that and
gives it back first. The launcher's `close` hook stays after closing, so that
a second `close()` does nothing.
"""

from __future__ import annotations

import weakref
from dataclasses import dataclass
from typing import Any, Dict, List

_ABSENT = object()


@dataclass
class _Layer:
    owner: str
    previous: Any  # the instance attribute it shadowed, or _ABSENT


# By id, not in a WeakKeyDictionary: a subclass that defines __eq__ without
# __hash__ has unhashable instances. A finalizer drops the entry with the instance.
_layers: Dict[int, Dict[str, List[_Layer]]] = {}


def _names(env: Any) -> Dict[str, List[_Layer]]:
    key = id(env)
    if key not in _layers:
        _layers[key] = {}
        weakref.finalize(env, _layers.pop, key, None)
    return _layers[key]


def install(env: Any, name: str, hook: Any, owner: str) -> None:
    """Makes `hook` the instance's `name`, remembering what it shadows;
    `owner` names the layer in error messages (e.g. "VectorView")."""
    stack = _names(env).setdefault(name, [])
    stack.append(_Layer(owner, vars(env).get(name, _ABSENT)))
    setattr(env, name, hook)


def restore(env: Any, name: str, owner: str) -> None:
    """Gives back what `owner`'s hook shadowed. Nothing happens when `owner`
    has no hook installed there (a second close, say)."""
    stack = _layers.get(id(env), {}).get(name, [])
    owners = [layer.owner for layer in stack]
    if owner not in owners:
        return
    if owners[-1] != owner:
        raise RuntimeError(f"{owner} cannot give back {name!r} while {owners[-1]} still shadows it: "
                           f"close {owners[-1]} first")
    layer = stack.pop()
    if layer.previous is _ABSENT:
        vars(env).pop(name, None)
    else:
        setattr(env, name, layer.previous)


def owners(env: Any, name: str) -> List[str]:
    """The layers shadowing `name`, lowest first."""
    return [layer.owner for layer in _layers.get(id(env), {}).get(name, [])]
