"""Vesk environments under gymnasium ids: `gymnasium.make(id)` gives a
`SingleView` (one copy), `gymnasium.make_vec(id, num_envs=n)` a `VectorView`
(n copies in one page); each opens its page through `veskit.Browser`, and
closing the environment closes the browser.

    veskit.register("MyPage-v0", MyEnv, page="path/to/index.html", max_episode_steps=200)
    env = gymnasium.make("MyPage-v0", render_mode="rgb_array")

The class is constructed as `cls(num_envs=..., render_mode=..., **kwargs)`.
Each environment made this way has a browser, port and token of its own,
so several (a training and an evaluation environment) live side by side in
one process.
"""

from __future__ import annotations

import os
from typing import Any, Callable, Mapping, Optional, Union

import gymnasium
from gymnasium.vector import AutoresetMode

import Vesk

from .single import SingleView
from .vector import VectorView

__all__ = ["register", "Page"]

# A page: a path or URL, a callable giving one when the environment is made,
# or None for the launcher's default (the bundle folder's index.html).
Page = Union[str, "os.PathLike[str]", Callable[[], Union[str, "os.PathLike[str]"]], None]


class _Maker:
    """An entry point: makes the environment through a new Browser and
    returns the view over it. Picklable, and carries the class's metadata
    for gymnasium's render-mode check."""

    def __init__(self, cls: type[Vesk.Vesk_Pal_st], page: Page, browser: Mapping[str, Any], vector: bool) -> None:
        self.cls = cls
        self.page = page
        self.browser = dict(browser)
        self.vector = vector
        self.metadata = dict(getattr(cls, "metadata", {}))

    def __call__(self, num_envs: int = 1, render_mode: Optional[str] = None,
                 autoreset_mode: AutoresetMode = AutoresetMode.SAME_STEP,
                 max_episode_steps: Optional[int] = None, **kwargs: Any) -> Any:
        # make_vec passes the spec's max_episode_steps on; vector envs have no
        # time limit wrapper, so the page is the one that truncates (the
        # reference page at its max_steps). gymnasium.make applies TimeLimit.
        from .browser import Browser

        page = self.page() if callable(self.page) else self.page
        browser = Browser(page, **self.browser)
        env = browser.make(self.cls, num_envs=num_envs, render_mode=render_mode, **kwargs)
        try:
            return VectorView(env, autoreset_mode) if self.vector else SingleView(env)
        except BaseException:
            env.close()
            raise

    def __repr__(self) -> str:
        return f"veskit.register's maker of {self.cls.__qualname__}" + (" (vector)" if self.vector else "")


def register(id: str, cls: type[Vesk.Vesk_Pal_st], *, page: Page = None,
             browser: Optional[Mapping[str, Any]] = None, max_episode_steps: Optional[int] = None,
             reward_threshold: Optional[float] = None, nondeterministic: bool = False, **kwargs: Any) -> None:
    """Registers `cls` (a `Vesk.Vesk_Pal_st` subclass declaring its spaces,
    whose __init__ takes `num_envs` and `render_mode`) under `id` for
    `gymnasium.make` and `gymnasium.make_vec`.

    page: the page the browser opens (see `Page`). browser: keyword
    arguments of `veskit.Browser` (`connect_timeout`, `canvas`...).
    max_episode_steps, reward_threshold, nondeterministic: the env spec's.
    kwargs: passed to `cls` (and overridable in `make`)."""
    if not (isinstance(cls, type) and issubclass(cls, Vesk.Vesk_Pal_st)):
        raise TypeError(f"register needs a Vesk.Vesk_Pal_st subclass, got {cls!r}")
    options = dict(browser or {})
    gymnasium.register(
        id=id,
        entry_point=_Maker(cls, page, options, vector=False),
        vector_entry_point=_Maker(cls, page, options, vector=True),
        max_episode_steps=max_episode_steps,
        reward_threshold=reward_threshold,
        nondeterministic=nondeterministic,
        kwargs=kwargs,
    )


def _reference_page() -> str:
    from .hosts.pages import frontend_folder

    return str(frontend_folder() / "dist" / "index.html")


def register_reference_envs() -> None:
    """"Vesk/CartPole-v0": the reference page's cart-poles (`veskit.cartpole`)."""
    from .cartpole import MAX_STEPS, CartPole

    if "Vesk/CartPole-v0" not in gymnasium.registry:
        register("Vesk/CartPole-v0", CartPole, page=_reference_page, max_episode_steps=MAX_STEPS,
                 reward_threshold=475.0, max_steps=MAX_STEPS)
