"""The module's coroutine objects follow the protocol of Python's own.

yourfunction(websocket) is the module's coroutine function that can be driven
by hand: while another connection is served it only awaits
`websocket.close(1013, reason)` and returns. The same scenario runs against a
native `async def` doing the same, side by side.
"""
import json

import pytest

from conftest import run_python

DRIVER = r'''
import asyncio, gc, json, os, sys, types, warnings, websockets, Vesk

captured = {}
class Captured(BaseException):  # an Exception would end the process there
    pass
def capture(handler, host, port, **options):
    captured["handler"] = handler
    raise Captured
websockets.serve = capture
try:
    object.__new__(Vesk.Vesk_Pal_st).start_queue()()
except Captured:
    pass
handler = captured["handler"]

class Idle:
    pass

served = handler(Idle())          # becomes the connection being served:
assert served.send(None) is None  # it waits for a task, yielding to the loop

async def reference(websocket):
    await websocket.close(1013, "another front-end is connected")

class Socket:
    """close() is a generator-based awaitable that records what it is sent."""
    def __init__(self, on_exit=None):
        self.log = []
        self.on_exit = on_exit
    def close(self, code, reason):
        self.log.append(("close", code, reason))
        return self._close()
    @types.coroutine
    def _close(self):
        try:
            self.log.append(("sent", (yield "first")))
            self.log.append(("sent", (yield "second")))
        except KeyError as error:
            self.log.append(("caught", repr(error)))
            return "handled"
        except GeneratorExit:
            self.log.append(("exit",))
            if self.on_exit == "yield":
                yield "refuses to close"
            raise
        return "closed"

def outcome(action):
    try:
        return ["value", repr(action())]
    except StopIteration as stop:
        return ["StopIteration", repr(stop.value)]
    except BaseException as error:
        return [type(error).__name__, str(error)]

def run(make):
    results = {}
    s = Socket(); c = make(s)
    results["send-through"] = [outcome(lambda: c.send(None)), outcome(lambda: c.send(5)),
                               outcome(lambda: c.send(6)), outcome(lambda: c.send(None)), s.log]
    s = Socket(); c = make(s)
    results["throw-handled-by-delegate"] = [outcome(lambda: c.send(None)), outcome(lambda: c.throw(KeyError("k"))), s.log]
    s = Socket(); c = make(s); c.send(None)
    results["throw-not-handled"] = [outcome(lambda: c.throw(ValueError("v"))), outcome(lambda: c.send(None))]
    s = Socket(); c = make(s); c.send(None)
    results["throw-old-signature"] = [outcome(lambda: c.throw(ValueError, ValueError("w"), None))]
    s = Socket(); c = make(s); c.send(None)
    results["close-suspended"] = [outcome(c.close), outcome(lambda: c.send(None)), s.log]
    s = Socket(on_exit="yield"); c = make(s); c.send(None)
    results["close-ignored"] = [outcome(c.close)]
    s = Socket(); c = make(s)
    results["close-unstarted"] = [outcome(c.close), outcome(lambda: c.send(None)), s.log]
    s = Socket(); c = make(s)
    results["non-none-first"] = [outcome(lambda: c.send(1)), outcome(lambda: c.send(None))]
    c.close()
    s = Socket(); c = make(s); c.send(None)
    results["throw-too-many"] = [outcome(lambda: c.throw(ValueError, ValueError("x"), None, 4))]
    c.close()
    s = Socket(); c = make(s)
    # Native coroutines differ between CPython versions here, so only the end
    # state is compared.
    results["throw-before-start"] = [outcome(lambda: c.throw(KeyError("early"))), outcome(lambda: c.send(None))]
    s = Socket(); c = make(s); c.send(None)
    results["throw-bad-type"] = [outcome(lambda: c.throw(1))]
    c.close()
    class PlainAwaitable:
        def __await__(self):
            return iter(["first"])  # an iterator without throw()
    class PlainSocket:
        def close(self, code, reason):
            return PlainAwaitable()
    c = make(PlainSocket()); c.send(None)
    results["throw-into-plain-iterator"] = [outcome(lambda: c.throw(ValueError("boom")))]
    holder = {}
    class Reentrant(Socket):
        @types.coroutine
        def _close(self):
            self.log.append(("running", holder["c"].cr_running))
            self.log.append(("reenter", outcome(lambda: holder["c"].send(None))))
            yield "first"
    s = Reentrant(); holder["c"] = c = make(s)
    results["running"] = [c.cr_running, outcome(lambda: c.send(None)), c.cr_running, s.log]
    c.close()

    async def awaited_by_asyncio():
        class AsyncSocket:
            async def close(self, code, reason):
                await asyncio.sleep(0.01)
                return code
        return await make(AsyncSocket())
    results["under-asyncio"] = [outcome(lambda: asyncio.run(awaited_by_asyncio()))]

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        make(Socket())
        gc.collect()
    results["never-awaited"] = [[str(w.message).split("'")[0] for w in caught]]
    return results

print(json.dumps({"ours": run(handler), "reference": run(reference)}))
sys.stdout.flush()
os._exit(0)  # the served handler would end the process when collected
'''


@pytest.fixture(scope="module")
def side_by_side():
    result = run_python(DRIVER)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


CASES = ["send-through", "throw-handled-by-delegate", "throw-not-handled", "throw-old-signature", "close-suspended",
         "close-ignored", "close-unstarted", "non-none-first", "throw-bad-type", "running", "under-asyncio",
         "never-awaited", "throw-into-plain-iterator", "throw-too-many", "throw-before-start"]


@pytest.mark.parametrize("case", CASES)
def test_behaves_as_a_native_coroutine(side_by_side, case):
    assert side_by_side["ours"][case] == side_by_side["reference"][case]


def test_the_scenarios_exercise_what_they_claim(side_by_side):
    ours = side_by_side["ours"]
    assert ours["send-through"][:4] == [["value", "'first'"], ["value", "'second'"], ["StopIteration", "None"],
                                        ["RuntimeError", "cannot reuse already awaited coroutine"]]
    assert ["caught", "KeyError('k')"] in ours["throw-handled-by-delegate"][2]
    assert ours["close-suspended"][2][-1] == ["exit"]
    assert ours["close-ignored"] == [["RuntimeError", "generator ignored GeneratorExit"]]
    assert ours["non-none-first"][0] == ["TypeError", "can't send non-None value to a just-started coroutine"]
    assert ours["running"][3] == [["close", 1013, "another front-end is connected"], ["running", True],
                                  ["reenter", ["ValueError", "coroutine already executing"]]]
    assert ours["under-asyncio"] == [["value", "None"]]
    assert ours["throw-into-plain-iterator"] == [["ValueError", "boom"]]
    assert ours["never-awaited"] == [["coroutine "]]
