"""Vesk environments on Ray actors, seen as one vector env.

The same workers as `ParallelVectorEnv`, placed by Ray: each actor owns one
environment with its own port and browser, on whichever node Ray puts it,
so a Ray cluster spreads the browsers over machines. Ray is an optional extra
(`pip install ".[ray]"`), imported only here.

    import ray
    ray.init(address="auto")          # or ray.init() for a local instance
    envs = RayVectorEnv(CartPole, actors=4, kwargs={"num_envs": 64})

Every node that may host an actor needs Chromium and this package installed.
Inside an actor the environment runs in a worker process of its own, so that
a failed Vesk task (which ends its process) reaches the driver as a
`WorkerError` carrying the `Vesk: ...` line instead of a bare dead actor.
"""

from __future__ import annotations

import importlib
import weakref
from typing import Any, Callable, Mapping, Optional, Sequence

from ._worker_side import Launcher, describe
from .workers import ParallelVectorEnv, WorkerError, WorkerVectorEnv

__all__ = ["RayVectorEnv"]

_INSTALL_HINT = 'RayVectorEnv needs Ray: pip install "Vesk[ray]" (or pip install ray)'


def _ray() -> Any:
    # Through importlib: the type checker need not have the optional extra.
    try:
        return importlib.import_module("ray")
    except ImportError as error:
        raise ImportError(_INSTALL_HINT) from error


class EnvActor:
    """The body of one actor: one worker process serving the environment."""

    def __init__(self, factory: Callable[..., Any], args: Sequence[Any], kwargs: Mapping[str, Any],
                 launcher: Optional[Launcher], start_timeout: float) -> None:
        self.envs = ParallelVectorEnv(factory, 1, args=args, kwargs=kwargs, launcher=launcher,
                                      start_timeout=start_timeout)

    def describe(self) -> dict[str, Any]:
        return describe(self.envs)

    def handle(self, command: str, payload: Any) -> Any:
        return self.envs.exchange(command, [payload])[0]

    def close(self) -> None:
        self.envs.close()


def _end_actors(actors: Sequence[Any], timeout: float) -> None:
    """Closes every actor's environment (its browser with it), then ends the
    actors. Safe to call twice, and after Ray has shut down."""
    ray = _ray()
    if not actors or not ray.is_initialized():
        return
    try:
        ray.wait([actor.close.remote() for actor in actors], num_returns=len(actors), timeout=timeout)
    except Exception:
        pass  # a dead actor has nothing left to close
    for actor in actors:
        try:
            ray.kill(actor)
        except Exception:
            pass


class RayVectorEnv(WorkerVectorEnv):
    """`actors` Ray actors, each with its own Vesk environment, port and
    browser, as one gymnasium vector env of actors x num_envs environments.

    factory, args, kwargs, launcher: as for `ParallelVectorEnv` (they reach
    the actors through Ray's pickling). actor_options: passed to Ray's
    `.options()` (default `{"num_cpus": 1}`: one browser per CPU Ray
    schedules). Ray is initialised as `ray.init()` would be when it is not yet.
    """

    def __init__(self, factory: Callable[..., Any], actors: int = 2, *, args: Sequence[Any] = (),
                 kwargs: Optional[Mapping[str, Any]] = None, launcher: Optional[Launcher] = None,
                 actor_options: Optional[Mapping[str, Any]] = None, start_timeout: float = 120.0,
                 close_timeout: float = 30.0) -> None:
        if actors < 1:
            raise ValueError(f"actors must be at least 1, got {actors}")
        ray = self._ray = _ray()
        self.closed = True  # until every actor is up
        remote = ray.remote(EnvActor).options(**{"num_cpus": 1, **(actor_options or {})})
        self._actors: list[Any] = [
            remote.remote(factory, tuple(args), dict(kwargs or {}), launcher, start_timeout) for _ in range(actors)
        ]
        self._finalizer = weakref.finalize(self, _end_actors, self._actors, close_timeout)
        descriptions = self._get("start", [actor.describe.remote() for actor in self._actors], start_timeout)
        self.closed = False
        try:
            self._configure(descriptions)
        except BaseException:
            self.close()
            raise

    def exchange(self, command: str, payloads: Sequence[Any], workers: Optional[Sequence[int]] = None) -> list[Any]:
        self._refuse_closed()
        chosen = list(range(len(self._actors))) if workers is None else list(workers)
        refs = [self._actors[index].handle.remote(command, p) for index, p in zip(chosen, payloads)]
        return self._get(command, refs, None, chosen)

    def _get(self, command: str, refs: Sequence[Any], timeout: Optional[float] = None,
             actors: Optional[Sequence[int]] = None) -> list[Any]:
        """Every answer, in the order of `refs` (the calls of `actors`, by
        default every actor); on the first failure every actor is ended and
        the failure raised as a WorkerError. A failed attribute command
        leaves the environments as they were: it is raised as it came (an
        AttributeError stays one) once every answer is in."""
        ray = self._ray
        pending = list(refs)
        refused: Optional[Exception] = None
        while pending:
            done, pending = ray.wait(pending, num_returns=1, timeout=timeout)
            if not done:
                self._shutdown()
                raise TimeoutError(f"{len(pending)} Ray actor(s) did not answer {command} within {timeout} s")
            try:
                ray.get(done[0])
            except Exception as error:
                if command == "attr":
                    refused = refused or error
                    continue
                self._shutdown()
                index = refs.index(done[0])
                raise self._worker_error(index if actors is None else actors[index], command, error) from error
        if refused is not None:
            raise refused
        return list(ray.get(list(refs)))

    def _worker_error(self, index: int, command: str, error: Exception) -> WorkerError:
        cause = getattr(error, "cause", None)
        if isinstance(cause, WorkerError):
            # The actor's own worker failed: keep its account, name the actor.
            message = str(cause).replace("worker 0", f"actor {index}'s worker", 1)
            return WorkerError(message, index, cause.exitcode, cause.vesk_line, cause.stderr_tail)
        return WorkerError(f"actor {index} failed in {command}: {type(error).__name__}: {error}", index)

    @property
    def actors(self) -> tuple[Any, ...]:
        """The actor handles (to watch them, not to drive them)."""
        return tuple(self._actors)
