"""Lifetimes: what thousands of calls leave behind, what the cycle collector
can free, and what a frame keeps. The workloads are in lifetime_workloads.py."""
import gc
import json
import os
import sys
import warnings
import weakref

import pytest

import Vesk
import lifetime_workloads as work
from conftest import run_python
from lifetime_workloads import WORKLOADS

ROUNDS = 3000  # well past the default recursion limit of 1000


LOOP = f"""
import json, os, sys
sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})
from lifetime_workloads import WORKLOADS
results = {{}}
for name, workload in WORKLOADS.items():
    try:
        for _ in range({ROUNDS}):
            workload()
        results[name] = "ok"
    except BaseException as error:
        results[name] = f"{{type(error).__name__}}: {{error}}"
print(json.dumps(results))
"""


@pytest.fixture(scope="module")
def loop_results():
    # Its own interpreter: a recursion level lost per call would leave this
    # one unable to report anything.
    result = run_python(LOOP, timeout=300)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


@pytest.mark.parametrize("name", WORKLOADS)
def test_thousands_of_rounds_through_each_entry_point(loop_results, name):
    assert loop_results[name] == "ok"


# --- the cycle collector ---------------------------------------------------------------

def test_a_cycle_through_a_functions_dict_is_collected():
    wrapper = Vesk.log_one_task(work.one_task)
    wrapper.me = wrapper
    ref = weakref.ref(wrapper)
    del wrapper
    gc.collect()
    assert ref() is None


def test_a_cycle_through_a_functions_closure_is_collected():
    def func(self, msg, replyable=True):
        return msg

    wrapper = Vesk.log_one_task(func)
    del wrapper.__wrapped__  # so that only the closure leads back to func
    func.wrapper = wrapper
    refs = [weakref.ref(wrapper), weakref.ref(func)]
    del wrapper, func
    gc.collect()
    assert [r() for r in refs] == [None, None]


def test_a_cycle_through_a_suspended_coroutine_is_collected():
    with work.fakes():
        main = work.main_coroutine()
        pending = main.send(None)  # main now awaits `pending`
        pending.owner = main
        refs = [weakref.ref(main), weakref.ref(pending)]
        del main, pending
        gc.collect()
    assert [r() for r in refs] == [None, None]


def test_a_dropped_unstarted_coroutine_releases_what_its_frame_holds():
    class Socket:
        pass

    with work.fakes(), warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        main = work.main_coroutine()
        main.send(None)
        socket = Socket()
        ref = weakref.ref(socket)
        work.FakeWebsockets.handler(socket)  # made and dropped unstarted
        del socket
        main.close()
    assert ref() is None
    assert any("was never awaited" in str(w.message) for w in caught)


# --- stated rules ----------------------------------------------------------------------

def native_main():
    async def main():
        await work.Pending()
    return main()


@pytest.mark.parametrize("implementation", ["native", "vesk"])
def test_throw_refuses_an_instance_with_a_separate_value(implementation):
    with work.fakes():
        coroutine = native_main() if implementation == "native" else work.main_coroutine()
        coroutine.send(None)
        with pytest.raises(TypeError) as caught:
            coroutine.throw(KeyError("k"), 1)
        assert str(caught.value) == "instance exception may not have a separate value"
        coroutine.close()


def raise_kept():
    raise KeyError("kept")


@pytest.mark.parametrize("started", [False, True], ids=["unstarted", "suspended"])
def test_finalizing_a_coroutine_keeps_the_exception_being_raised(started):
    # The list display's first item is dropped from the value stack while
    # KeyError is already set: the coroutine's finalizer (a warning, or a
    # close that runs Python code) must neither replace nor lose it.
    def coroutine():
        made = work.main_coroutine()
        if started:
            made.send(None)
        return made

    with work.fakes(), warnings.catch_warnings(record=True) as caught_warnings:
        warnings.simplefilter("always")
        with pytest.raises(KeyError) as caught:
            [coroutine(), raise_kept()]
    assert caught.value.args == ("kept",)
    assert caught.value.__context__ is None
    never_awaited = [w for w in caught_warnings if "was never awaited" in str(w.message)]
    assert len(never_awaited) == (0 if started else 1)


# --- leaks (a debug interpreter only) -------------------------------------------------

# Warm-up is long: some workloads fill caches of the interpreter's for a few
# hundred calls (seen: a few blocks a round for the first 300 throws under
# pytest).
WARMUP_CALLS, RUNS, CALLS = 400, 6, 20


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter (python3.11-dbg)")
def test_no_workload_leaks_memory_blocks(monkeypatch):
    # As CPython's regrtest -R: after warm-up rounds, a leak is a count that
    # grows in every one of the measured rounds. Only allocated blocks decide:
    # the total reference count also drifts by one per bound method call and
    # per failed built-in call, with no object's count or the memory growing
    # (see the failure text for both).
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)
    leaks, drifts = {}, {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for name, workload in WORKLOADS.items():
            deltas = []
            for _ in range(WARMUP_CALLS):
                workload()
            for _ in range(RUNS):
                gc.collect()
                refs, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
                for _ in range(CALLS):
                    workload()
                gc.collect()
                deltas.append((sys.gettotalrefcount() - refs, sys.getallocatedblocks() - blocks))
            if all(b > 0 for _, b in deltas):
                leaks[name] = deltas
            drifts[name] = deltas[-1][0]
    assert leaks == {}, f"(references, blocks) per round of {CALLS} calls: {leaks}; reference drift: {drifts}"
