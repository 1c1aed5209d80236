"""The websocket bridge against a scripted front-end, one process per scenario."""
import inspect

import numpy as np
import pytest

import Vesk
from bridge_program import UNSTARTED, scenario
from conftest import run_python
from scripted_frontend import (DEFAULT_PORT, Close, Delay, Ping, Recv, Rows, SecondConnection, Text, Unasked,
                               free_port, skip_unless_bound)

ROWS = np.arange(6, dtype=np.float32).reshape(2, 3)


def test_messages_and_replies_cross_unchanged():
    result = scenario(
        """
        env.send_queue.put('{"raw": "text"}')
        show(env.reply_quene.get())
        env.send_queue.put(b"\\x00\\x01binary")
        show(env.reply_quene.get())
        show(env.one_task({"env": "step", "action": [[0.5, -1.0]]}).tolist())
        """,
        [Text("'text reply'"), Rows(ROWS), Rows(ROWS)],
    )
    assert result.returncode == 0, result.summary()
    assert result.messages == ['{"raw": "text"}', b"\x00\x01binary", '{"env": "step", "action": [[0.5, -1.0]]}']
    assert result.stdout.splitlines() == ["\"'text reply'\"", repr(ROWS.tobytes()), repr(ROWS.tolist())]


def test_without_vesk_port_the_bridge_serves_port_70():
    result = scenario("show(env.one_task('task'))", [Text("'on 70'")], port=DEFAULT_PORT, timeout=20)
    skip_unless_bound(result, DEFAULT_PORT)
    assert result.returncode == 0, result.summary()
    assert result.stdout.strip() == "'on 70'"


def test_the_legacy_websockets_server_takes_the_handler_too():
    # The legacy implementation inspects the handler's signature before use.
    result = scenario(
        "show(env.one_task('task'))",
        [Text("'legacy'")],
        before="""
        import warnings; warnings.simplefilter('ignore')
        import websockets, websockets.legacy.server
        websockets.serve = websockets.legacy.server.serve
        """,
    )
    assert result.returncode == 0, result.summary()
    assert result.stdout.strip() == "'legacy'"


def test_tasks_queued_before_the_front_end_connects_go_out_in_order():
    result = scenario(
        """
        env.send_queue.put("first")
        env.send_queue.put("second")
        show([env.reply_quene.get(), env.reply_quene.get()])
        """,
        [Text("1"), Text("2")],
        connect_after=1.0,
    )
    assert result.returncode == 0, result.summary()
    assert result.messages == ["first", "second"]
    assert result.stdout.strip() == "['1', '2']"


def test_an_unasked_message_becomes_the_next_reply():
    result = scenario(
        """
        import time
        time.sleep(0.5)
        show(env.one_task("task"))
        show(env.one_task("next"))
        """,
        # The answer to "task" waits in the connection until "next" is sent.
        [Unasked("'unasked'"), Text("'answer'")],
    )
    assert result.returncode == 0, result.summary()
    assert result.messages == ['"task"', '"next"']
    assert result.stdout.splitlines() == ["'unasked'", "'answer'"]


@pytest.mark.parametrize(
    "script, cause",
    [
        ([Recv(), Close(1001, "page closed")], "ConnectionClosed"),
        ([Text("'ok'"), Close()], "ConnectionClosedOK"),
    ],
    ids=["closed-while-awaiting-a-reply", "closed-while-idle"],
)
def test_a_closing_front_end_ends_the_process_with_status_1(script, cause):
    result = scenario(
        """
        print("before the failure")
        env.one_task("task")
        import time
        time.sleep(1.0)
        env.one_task("next task")
        time.sleep(5)
        """,
        script,
    )
    assert result.returncode == 1, result.summary()
    assert result.stdout == "before the failure\n"
    lines = result.stderr.splitlines()
    assert len(lines) == 1, result.summary()
    assert lines[0].startswith("Vesk: connection to the front-end failed: websockets.exceptions." + cause)


def test_a_replaced_wait_for_is_called_for_each_reply():
    # The reply timer stands in for asyncio.wait_for only while it is the library's own;
    # without VESK_TASK_TIMEOUT the limit is 30 s.
    result = scenario(
        """
        import asyncio
        standard, calls = asyncio.wait_for, []
        async def recording(awaitable, timeout):
            calls.append(timeout)
            return await standard(awaitable, timeout)
        show(env.one_task("before"))
        asyncio.wait_for = recording
        show(env.one_task("after"))
        show(env.one_task("again"))
        show(calls)
        """,
        [Text("1"), Text("2"), Text("3")],
    )
    assert result.returncode == 0, result.summary()
    assert result.stdout.splitlines() == ["1", "2", "3", "[30, 30]"]


def test_a_second_front_end_is_refused_while_the_first_keeps_working():
    result = scenario(
        """
        show(env.one_task("one"))
        show(env.one_task("two"))
        """,
        [Text("1"), SecondConnection(), Text("2")],
    )
    assert result.returncode == 0, result.summary()
    [second] = result.second_connections
    assert (second.close_code, second.close_reason) == (1013, "another front-end is connected")
    assert second.messages == [] and second.error is None
    assert result.messages == ['"one"', '"two"'] and result.stdout.splitlines() == ["1", "2"]


def test_pings_are_answered_while_the_environment_is_idle():
    result = scenario(
        """
        show(env.one_task("task"))
        import time
        time.sleep(3)
        show(env.one_task("after the pause"))
        """,
        [Text("1"), Delay(0.5), Ping(timeout=1.0), Ping(timeout=1.0), Text("2")],
    )
    assert result.returncode == 0, result.summary()
    assert len(result.pings) == 2 and all(delay is not None for delay in result.pings), result.pings


def test_the_runner_fails_inside_a_running_event_loop():
    result = run_python(
        UNSTARTED
        + """
import asyncio
async def inside():
    env.start_queue()()
try:
    asyncio.run(inside())
except RuntimeError as error:
    print("RuntimeError:", error)
"""
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("RuntimeError: asyncio.run() cannot be called from a running event loop")


PORT = free_port()


@pytest.mark.parametrize(
    "setup, error",
    [
        (
            "import socket; s = socket.socket(); "
            "s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); "
            f"s.bind(('127.0.0.1', {PORT})); s.listen()",
            "OSError",
        ),
        ("import os; os.environ['VESK_PORT'] = 'seventy'", "ValueError"),
        ("import os; os.environ['VESK_PORT'] = '70000'", "ValueError"),
    ],
    ids=["port-in-use", "port-not-a-number", "port-out-of-range"],
)
def test_a_server_that_cannot_start_raises_out_of_the_runner_in_raise_mode(setup, error):
    # By default the process ends right there instead, with one line (test_failures.py).
    result = run_python(
        f"""
import traceback, Vesk
{setup}
class Bridge(Vesk.Vesk_Pal_st):
    pass
env = object.__new__(Bridge)
env.send_queue.put("left waiting")
try:
    env.start_queue()()
except BaseException as exc:
    print(type(exc).__name__, exc)
    print("".join(traceback.format_exception(type(exc), exc, exc.__traceback__)))
print("queued:", env.send_queue.qsize())
""",
        env={"VESK_PORT": str(PORT), "VESK_ON_FAILURE": "raise"},
    )
    assert result.returncode == 0, result.stderr
    first = result.stdout.splitlines()[0]
    assert first.startswith(error), result.stdout
    if error == "ValueError":
        assert "VESK_PORT" in first
    assert "in Vesk.Vesk_Pal_st.start_queue.main" in result.stdout
    assert "in Vesk.Vesk_Pal_st.start_queue.myfunc" in result.stdout
    assert result.stdout.rstrip().endswith("queued: 1")


# --- the objects Python sees -------------------------------------------------

def test_start_queue_makes_new_functions_named_as_nested_functions():
    env = object.__new__(Vesk.Vesk_Pal_st)
    first, second = env.start_queue(), env.start_queue()
    assert first is not second
    assert first.__name__ == "myfunc"
    assert first.__qualname__ == "Vesk_Pal_st.start_queue.<locals>.myfunc"
    assert first.__module__ == "Vesk"
    assert str(inspect.signature(first)) == "()"
    with pytest.raises(TypeError, match=r"^start_queue\(\) takes exactly 1 positional argument \(2 given\)$"):
        env.start_queue(1)


def test_main_and_yourfunction_make_coroutines_that_asyncio_accepts():
    # Reached the way websockets sees them: main builds the server with
    # yourfunction, so run main just far enough to capture the handler.
    result = run_python(
        """
import asyncio, inspect, websockets, Vesk
captured = {}
def fake_serve(handler, host, port, **options):
    captured.update(handler=handler, host=host, port=port, options=sorted(options))
    raise OSError("stop here")
websockets.serve = fake_serve
env = object.__new__(Vesk.Vesk_Pal_st)
runner = env.start_queue()
try:
    runner()
except OSError as error:
    print("stopped:", error)
handler = captured["handler"]
print(captured["host"], captured["port"], captured["options"])
print(handler.__name__, handler.__qualname__, inspect.signature(handler))
coroutine = handler(object())
print(asyncio.iscoroutine(coroutine), inspect.isawaitable(coroutine))
print(coroutine.__name__, coroutine.__qualname__, coroutine.cr_running)
coroutine.close()
try:
    coroutine.send(None)
except RuntimeError as error:
    print("RuntimeError:", error)
""",
        env={"VESK_ON_FAILURE": "raise"},  # the runner's OSError leaves it instead of ending the process
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "stopped: stop here",
        "('127.0.0.1', '::1') 70 ['close_timeout', 'compression', 'ping_interval', 'process_request']",
        "yourfunction Vesk_Pal_st.start_queue.<locals>.yourfunction (websocket)",
        "True True",
        "yourfunction Vesk_Pal_st.start_queue.<locals>.yourfunction False",
        "RuntimeError: cannot reuse already awaited coroutine",
    ]
