"""The worker's side of a parallel vector env: the process that builds one
environment through its launcher and serves it as a `VectorView`, answering
the parent's commands over a pipe until "close" or until the parent goes.

Its standard error goes to the parent (veskit/workers.py), which keeps the
tail for a `WorkerError`; a failure is sent back as a record (type, message,
traceback) that the parent rebuilds."""

from __future__ import annotations

import contextlib
import multiprocessing.connection
import os
import pickle
import signal
import sys
import traceback
from typing import Any, Callable, ContextManager, Mapping, Optional, Protocol, Sequence

from gymnasium.vector import VectorEnv

from ._copies import apply


class Maker(Protocol):
    """What a launcher yields: it builds the environment with `make`."""

    def make(self, factory: Callable[..., Any], *args: Any, **kwargs: Any) -> Any: ...


Launcher = Callable[[], ContextManager[Maker]]


def describe(envs: VectorEnv[Any, Any, Any]) -> dict[str, Any]:
    """What a worker reports of the vector env it serves once it is ready."""
    return {
        "num_envs": envs.num_envs,
        "single_observation_space": envs.single_observation_space,
        "single_action_space": envs.single_action_space,
        "metadata": envs.metadata,
        "render_mode": envs.render_mode,
    }


def _default_launcher() -> ContextManager[Maker]:
    from .browser import Browser

    return Browser()

def failure_record(error: BaseException) -> dict[str, str]:
    return {
        "type": type(error).__qualname__ if type(error).__module__ == "builtins"
        else f"{type(error).__module__}.{type(error).__qualname__}",
        "message": str(error),
        "traceback": "".join(traceback.format_exception(type(error), error, error.__traceback__)),
    }


class EnvServer:
    """Runs in a worker: one environment made through a launcher, served as a
    vector view."""

    def __init__(self, factory: Callable[..., Any], args: Sequence[Any], kwargs: Mapping[str, Any],
                 launcher: Optional[Launcher]) -> None:
        from .vector import VectorView

        with contextlib.ExitStack() as stack:
            maker = stack.enter_context((launcher or _default_launcher)())
            self.env = maker.make(factory, *args, **kwargs)
            self.view = VectorView(self.env)
            # Past construction the launcher is ended by close(), after the view.
            self._cleanup = stack.pop_all()
            self._cleanup.callback(self.view.close)

    def handle(self, command: str, payload: Any) -> Any:
        if command == "step":
            return self.view.step(payload)
        if command == "reset":
            seed, options = payload
            return self.view.reset(seed=seed, options=options)
        if command == "render":
            return self.view.render()
        if command == "attr":
            what, name, args, kwargs = payload
            return apply(self.env, what, name, args, kwargs)
        raise ValueError(f"unknown worker command {command!r}")

    def close(self) -> None:
        """Sends the environment's close task, then ends the launcher (the
        browser), whatever the first did."""
        self._cleanup.close()


def _exit_on_sigterm(signum: int, frame: object) -> None:
    raise SystemExit(128 + signum)


def worker_main(recipe: bytes, commands: multiprocessing.connection.Connection,
                 stderr: multiprocessing.connection.Connection) -> None:
    # Everything this process writes to fd 2, the Vesk line of a failed task
    # included, goes to the parent, which keeps the tail for its error.
    os.dup2(stderr.fileno(), 2)
    stderr.close()
    # Ctrl-C is the parent's to handle (it closes us in order); termination
    # unwinds, so that the browser is ended.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, _exit_on_sigterm)
    status = 0
    server: Optional[EnvServer] = None
    try:
        try:
            # Unpickled here, not by the start-up: a factory whose module
            # this process cannot import is reported like any other failure.
            server = EnvServer(*pickle.loads(recipe).fn)
        except Exception as error:
            commands.send(("error", failure_record(error)))
            status = 1
        else:
            commands.send(("ready", describe(server.view)))
            while True:
                command, payload = commands.recv()
                if command == "close":
                    break
                try:
                    answer = ("ok", server.handle(command, payload))
                except Exception as error:
                    answer = ("error", failure_record(error))
                try:
                    commands.send(answer)
                except (pickle.PicklingError, TypeError, AttributeError) as error:  # an answer pickle refuses
                    commands.send(("error", failure_record(error)))
    except (EOFError, OSError):
        pass  # the parent is gone: clean up below
    except SystemExit as exit_request:
        status = exit_request.code if isinstance(exit_request.code, int) else 1
    finally:
        if server is not None:
            try:
                server.close()
            except BaseException:
                traceback.print_exc()
        sys.stdout.flush()
        sys.stderr.flush()
        # Not a normal exit: a bridge thread the factory made non-daemon
        # would keep the process alive for ever.
        os._exit(status)
