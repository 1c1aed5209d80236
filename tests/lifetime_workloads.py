"""One round through each of the module's entry points, for the lifetime tests.

Each workload makes and drops its own objects, so that running it thousands of
times (the loop test) or under a debug interpreter's reference count (the leak
hunt) shows what a long training run would: a reference, a recursion level or
a frame that one round leaves behind. `fakes()` stands in for the bridge's
libraries so that coroutines run without a network or an event loop.
"""
import contextlib
import io
import os
import types
import warnings

import numpy as np

import Vesk


class Pending:
    """What `asyncio.Future()` gives main: an awaitable nothing completes."""

    def __await__(self):
        while True:
            yield self


class Server:
    """What `websockets.serve(...)` gives main: an async context manager."""

    async def __aenter__(self):
        return self

    async def __aexit__(self, *error):
        return False


class FakeAsyncio:
    Future = Pending
    captured = None

    @staticmethod
    def run(coroutine):
        FakeAsyncio.captured = coroutine


class FakeWebsockets:
    handler = None

    @staticmethod
    def serve(handler, host, port, **options):
        FakeWebsockets.handler = handler
        return Server()


@contextlib.contextmanager
def fakes():
    """Binds the fakes to the module-level names the bridge looks up."""
    saved = Vesk.asyncio, Vesk.websockets, os.environ.get("VESK_PORT")
    Vesk.asyncio, Vesk.websockets = FakeAsyncio, FakeWebsockets
    os.environ["VESK_PORT"] = "1"
    try:
        yield
    finally:
        Vesk.asyncio, Vesk.websockets = saved[:2]
        if saved[2] is None:
            del os.environ["VESK_PORT"]
        else:
            os.environ["VESK_PORT"] = saved[2]


class FakeQueue:
    def __init__(self, reply=None):
        self.reply = reply

    def put(self, item):
        pass

    def get(self):
        return self.reply


class Env(Vesk.Vesk_Pal_st):
    """Hooks written as users write them; queues that answer at once."""

    num_envs = 1
    send_queue = FakeQueue()
    reply_quene = FakeQueue(np.array([[1.0, 0.0, 1.0]], dtype=np.float32).tobytes())

    def explain_reset(self, reset_array):
        return np.zeros(2), None

    def explain_action(self, action):
        return action

    def explain_obs(self, obs):
        return obs

    def reward(self, state):
        # The third column ends every episode, so each step resets too.
        return state[:, 0], state[:, 1] > 0, state[:, 2] > 0, state[:, 2] > 0


def new_env():
    env = object.__new__(Env)  # never __init__: that starts the bridge
    env.info_array = [{"counts": 0}]
    env.reset_array = np.array([True])
    return env


def one_task(self, msg, replyable=True):
    return msg


def main_coroutine():
    """A new, unstarted main() of a new start_queue scope (inside fakes())."""
    myfunc = new_env().start_queue()
    myfunc()
    coroutine, FakeAsyncio.captured = FakeAsyncio.captured, None
    return coroutine


def expect(error, call, *args):
    try:
        call(*args)
    except error:
        return
    raise AssertionError(f"{call} did not raise {error.__name__}")


# --- the workloads ----------------------------------------------------------------

def episode():
    env = new_env()
    env.reset()
    env.step(np.ones((1, 2)))
    env.one_task(b"bytes", False)


def argument_errors():
    env = new_env()
    expect(TypeError, env.step)
    expect(TypeError, lambda: env.one_task(unknown=1))
    expect(TypeError, Vesk.Vesk_Pal_st.explain_obs, env, (1,))
    expect(TypeError, Vesk.copy_files)
    expect(TypeError, Vesk.upload, None, "b")


def hook_errors():
    env = new_env()
    expect(NotImplementedError, Vesk.Vesk_Pal_st.reward, env, None)
    expect(NotImplementedError, Vesk.Vesk_Pal_st.explain_obs, env, [])


def conversion():
    Vesk.convert_numpy_to_list({"a": (np.zeros(2), [1, (2, np.ones(1))])})
    expect(ValueError, Vesk.convert_numpy_to_list, (1, np.array(["not a number"])))


def function_attributes():
    wrapper = Vesk.log_one_task(one_task)
    wrapper.__defaults__ = (False,)
    wrapper.__kwdefaults__ = {"a": 1}
    del wrapper.__kwdefaults__
    wrapper.__annotations__ = {"msg": "str"}
    del wrapper.__annotations__
    wrapper.__annotations__.clear()
    expect(TypeError, setattr, wrapper, "__defaults__", [1])
    wrapper.__code__
    wrapper.marker = wrapper  # a cycle through __dict__
    repr(wrapper)
    wrapper.__get__(1, int)


def logging_wrapper():
    wrapper = Vesk.log_one_task(one_task)
    with contextlib.redirect_stdout(io.StringIO()):
        wrapper(None, "message")
        wrapper(self=None, msg="message", replyable=0)
    expect(TypeError, wrapper, None, None)


def coroutine_send_and_throw():
    with fakes():
        main = main_coroutine()
        main.send(None)
        main.send(None)
        expect(KeyError, main.throw, KeyError("thrown"))
        expect(RuntimeError, main.send, None)


def coroutine_close():
    with fakes():
        main = main_coroutine()
        main.send(None)
        expect(TypeError, main.throw, KeyError("thrown"), 1)
        expect(TypeError, main.throw, 1)
        main.close()


def coroutine_never_awaited():
    with fakes(), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        main = main_coroutine()
        main.send(None)
        FakeWebsockets.handler(types.SimpleNamespace())  # dropped unstarted
        main_coroutine()
        main.close()
        FakeWebsockets.handler = None


WORKLOADS = {
    "episode": episode,
    "argument_errors": argument_errors,
    "hook_errors": hook_errors,
    "conversion": conversion,
    "function_attributes": function_attributes,
    "logging_wrapper": logging_wrapper,
    "coroutine_send_and_throw": coroutine_send_and_throw,
    "coroutine_close": coroutine_close,
    "coroutine_never_awaited": coroutine_never_awaited,
}
