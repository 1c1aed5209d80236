# Type stubs for the Vesk extension module.
import queue
from abc import abstractmethod
from typing import Any, Callable, ClassVar, TypeVar

import gymnasium as gym
import numpy as np

__test__: dict[str, Any]

_Method = TypeVar("_Method", bound=Callable[..., Any])

def convert_numpy_to_list(data: Any) -> Any:
    """Plain lists of float32 values in place of NumPy arrays, at any depth of dicts, lists and tuples."""

def copy_files(source_folder: str, destination_folder: str, index: int = 0) -> None:
    """Copies a folder tree, printing one "loading: " line per file; more than 10 sub-folders raise RecursionError."""

def upload(folder_path: str, folder_name: str) -> None:
    """Publishes a folder into the front-end's bundle folder (sub-folder folder_name, "/" for the folder itself)."""

def log_one_task(func: _Method) -> _Method:
    """Wraps a method shaped like one_task so that each call prints its caller, message, flag and result."""

class Vesk_Pal_st(gym.Env[Any, Any]):
    send_queue: ClassVar[queue.Queue[Any]]
    reply_quene: ClassVar[queue.Queue[Any]]
    metadata: dict[str, Any]

    add_obj: Any
    obs_target: Any
    render_mode: str | None
    render_fps: int
    num_envs: int
    info_array: list[dict[str, Any]]
    reset_array: np.ndarray
    state: Any

    def __init__(self, render_mode: str | None = None) -> None: ...
    @abstractmethod
    def explain_reset(self, reset_array: np.ndarray) -> Any: ...  # (positions, joints)
    @abstractmethod
    def explain_action(self, action: np.ndarray) -> Any: ...
    @abstractmethod
    def explain_obs(self, obs: Any) -> Any: ...  # float32 rows or a literal
    @abstractmethod
    def reward(self, state: np.ndarray) -> tuple[Any, Any, Any, np.ndarray]: ...
    @abstractmethod
    def connect(self, connect_func: Callable[[], None]) -> None: ...
    def step(self, action: Any) -> tuple[Any, Any, Any, Any, list[dict[str, Any]]]: ...  # type: ignore[override]
    def reset(self, seed: int | None = None) -> tuple[Any, list[dict[str, Any]]]: ...  # type: ignore[override]
    def render(self) -> None: ...
    def close(self) -> None: ...
    def one_task(self, msg: Any, replyable: Any = True) -> Any: ...
    def start_queue(self) -> Callable[[], None]: ...
    def upload(self, folder_path: str, folder_name: str) -> None: ...
