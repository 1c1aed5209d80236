"""Vesk environments in RLlib's env runners.

An RLlib env runner is a process of its own (a Ray actor), which is what a
Vesk environment needs: `EnvCreator` builds one there, with a host of its own
(a headless Chromium through `veskit.Browser`) on a free port, and hands it to
RLlib as a gymnasium environment:

    from ray.tune.registry import register_env
    register_env("VeskCartPole", EnvCreator(CartPole))
    config = (PPOConfig().environment("VeskCartPole")
              .env_runners(num_env_runners=2, num_envs_per_env_runner=16,
                           gym_env_vectorize_mode="vector_entry_point"))

With `gym_env_vectorize_mode="vector_entry_point"` RLlib asks the creator for
a vector env of `num_envs_per_env_runner` copies: they are the copies of one
environment, stepped together by one page (a `VectorView` with next-step
autoreset, the convention RLlib's runners follow). In RLlib's default "sync"
mode it asks for single environments instead: one copy, as a `SingleView`, so
there `num_envs_per_env_runner` must stay 1 (one environment per process).

When the host dies (the browser ends, the page goes away) the runner's next
`reset` or `step` raises `HostLostError`, whose message is the `Vesk: ...`
line of the failed task. RLlib logs it and ends the runner; its fault
tolerance settings decide what comes next (`restart_failed_env_runners`, on by
default: Ray starts the runner again, with a new host and port; off: the
training raises with that line). The browser of a runner that ends goes with
it, whichever way it ends.
"""

from __future__ import annotations

import functools
import os
from typing import Any, Callable, Mapping, Optional, Sequence, Union

import gymnasium as gym
from gymnasium.vector import AutoresetMode, VectorWrapper

from .browser import Browser
from .single import SingleView
from .vector import VectorView
from ._worker_side import Launcher

__all__ = ["EnvCreator", "HostLostError", "RunnerEnv", "RunnerVectorEnv", "register"]


class HostLostError(ConnectionError):
    """The host of an env runner's environment is gone; the message is the
    failed task's `Vesk: ...` line. `browser_status` is the browser's exit
    status when it had ended (negative: the signal), `port` the bridge's."""

    def __init__(self, line: str, port: Optional[int] = None, browser_status: Optional[int] = None) -> None:
        super().__init__(line)
        self.vesk_line = line
        self.port = port
        self.browser_status = browser_status

    def __reduce__(self) -> tuple[Any, ...]:
        # Crosses processes intact, inside RLlib's and Ray's own errors.
        return (type(self), (self.vesk_line, self.port, self.browser_status))


class _Host:
    """What a runner's environment owns besides itself: the launcher that
    made it (the browser). A lost host is closed at once: Ray ends a failed
    runner's child processes, the browser's watcher with them, before that
    could remove the browser's profile."""

    def __init__(self, launch: Any) -> None:
        self.launch = launch
        self.lost = False

    def call(self, method: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
        try:
            return method(*args, **kwargs)
        except ConnectionError as error:  # a failed task, in raise mode
            if isinstance(error, HostLostError):
                raise
            process = getattr(self.launch, "process", None)
            status = process.poll() if process is not None else None
            lost = HostLostError(f"Vesk: {error}", getattr(self.launch, "port", None), status)
            self.lost = True
            try:
                self.close()
            finally:
                raise lost from error  # noqa: B012 (the report, whatever the close met)

    def close_env(self, close: Callable[[], Any]) -> None:
        """Sends the environment's close task, unless the host is gone (no
        page would answer it), then ends the host."""
        try:
            if not self.lost:
                self.call(close)
        finally:
            self.close()

    def close(self) -> None:
        self.launch.__exit__(None, None, None)


class RunnerVectorEnv(VectorWrapper):
    """A runner's vector env: `VectorView` of the environment its host serves;
    a lost host raises `HostLostError`, and `close` ends the host too."""

    def __init__(self, view: VectorView, host: _Host) -> None:
        super().__init__(view)
        self.host = host

    def reset(self, *, seed: Any = None, options: Optional[dict[str, Any]] = None) -> tuple[Any, dict[str, Any]]:
        obs, infos = self.host.call(self.env.reset, seed=seed, options=options)
        return obs, infos

    def step(self, actions: Any) -> tuple[Any, Any, Any, Any, dict[str, Any]]:
        obs, rewards, terminated, truncated, infos = self.host.call(self.env.step, actions)
        return obs, rewards, terminated, truncated, infos

    def close(self, **kwargs: Any) -> None:
        self.host.close_env(lambda: self.env.close(**kwargs))


class RunnerEnv(gym.Wrapper[Any, Any, Any, Any]):
    """A runner's single environment (one copy): `SingleView` of the
    environment its host serves, with the same failure and close rules as
    `RunnerVectorEnv`."""

    def __init__(self, view: SingleView, host: _Host) -> None:
        super().__init__(view)
        self.host = host

    def reset(self, *, seed: Optional[int] = None,
              options: Optional[dict[str, Any]] = None) -> tuple[Any, dict[str, Any]]:
        obs, info = self.host.call(self.env.reset, seed=seed, options=options)
        return obs, info

    def step(self, action: Any) -> tuple[Any, Any, bool, bool, dict[str, Any]]:
        obs, reward, terminated, truncated, info = self.host.call(self.env.step, action)
        return obs, reward, terminated, truncated, info

    def close(self) -> None:
        self.host.close_env(self.env.close)


class EnvCreator:
    """RLlib's env creator for Vesk environments: `factory(*args, num_envs=n,
    **kwargs, **env_config)` builds the environment inside the runner,
    through `launcher` (default: `veskit.Browser(page)`, a headless Chromium
    on a free port; `page` default: the reference page).

    Called with RLlib's env config: with a "num_envs" key (RLlib's
    "vector_entry_point" mode) it returns a `RunnerVectorEnv` of that many
    copies, without (the "sync" mode) a `RunnerEnv` of one copy. The runner's
    failed tasks raise instead of ending its process (`VESK_ON_FAILURE=raise`
    unless the runner's environment sets it), so that the `Vesk: ...` line
    travels in RLlib's report as a `HostLostError`.
    """

    def __init__(self, factory: Callable[..., Any], *args: Any, page: Union[str, "os.PathLike[str]", None] = None,
                 launcher: Optional[Launcher] = None, **kwargs: Any) -> None:
        if page is not None and launcher is not None:
            raise ValueError("give a page or a launcher, not both")
        self.factory = factory
        self.args: Sequence[Any] = tuple(args)
        self.kwargs: Mapping[str, Any] = dict(kwargs)
        self.launcher: Launcher = launcher if launcher is not None else functools.partial(Browser, page)

    def __call__(self, env_config: Optional[Mapping[str, Any]] = None) -> Union[RunnerVectorEnv, RunnerEnv]:
        config = dict(env_config or {})
        vector = "num_envs" in config
        num_envs = int(config.pop("num_envs", 1))
        if num_envs < 1:
            raise ValueError(f"num_envs must be at least 1, got {num_envs}")
        os.environ.setdefault("VESK_ON_FAILURE", "raise")
        launch = self.launcher()
        maker = launch.__enter__()
        host = _Host(launch)
        try:
            env = host.call(maker.make, self.factory, *self.args, num_envs=num_envs, **{**self.kwargs, **config})
            if vector:
                return RunnerVectorEnv(VectorView(env, autoreset_mode=AutoresetMode.NEXT_STEP), host)
            return RunnerEnv(SingleView(env), host)
        except BaseException:
            host.close()
            raise

    def __repr__(self) -> str:
        return f"EnvCreator({getattr(self.factory, '__qualname__', self.factory)!r})"


def register(name: str, factory: Callable[..., Any], *args: Any, **kwargs: Any) -> EnvCreator:
    """Registers `EnvCreator(factory, *args, **kwargs)` with RLlib (Ray
    Tune's registry) under `name`, for `config.environment(name)`, and
    returns it."""
    import importlib

    creator = EnvCreator(factory, *args, **kwargs)
    importlib.import_module("ray.tune.registry").register_env(name, creator)
    return creator

