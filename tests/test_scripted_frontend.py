"""The scripted front-end, proven against a pure-Python stand-in for the bridge.

The stand-in behaves as the bridge should: one front-end at a time (others
closed with 1013), tasks carried in order from send_queue to reply_quene, a
limit on each reply, failures end the process with status 1 and one stderr
line. It runs on an unprivileged port so it never meets the port-70 tests.
Steps whose outcome the bridge's own tests already check against the real
bridge (an unasked message, a second connection refused, tasks queued before
the connection, the pong of a live loop) are proven there, not again here.
"""

import sys
import textwrap
import time

import numpy as np
import pytest

from scripted_frontend import (Close, Delay, Ping, Rows, SecondConnection, Text, free_port, is_listening, run_scenario,
                               wait_for_port)

STAND_IN = '''
import asyncio, os, queue, sys, threading
import websockets

send_queue, reply_quene = queue.Queue(), queue.Queue()
PORT, FROZEN, REPLY_TIMEOUT = {port}, {frozen}, {reply_timeout}
serving = False

def fail(cause):
    sys.stdout.flush()
    print("bridge:", cause, file=sys.stderr, flush=True)
    os._exit(1)

async def next_task():
    if FROZEN:
        return send_queue.get()
    while True:
        try:
            return send_queue.get(timeout=0.005)
        except queue.Empty:
            await asyncio.sleep(0)

async def handler(ws):
    global serving
    if serving:
        await ws.close(1013, "another front-end is connected")
        return
    serving = True
    try:
        while True:
            message = await next_task()
            await ws.send(message)
            reply_quene.put(await asyncio.wait_for(ws.recv(), REPLY_TIMEOUT))
    except BaseException as exc:
        fail(f"{{type(exc).__name__}}: {{exc}}")

async def main():
    async with websockets.serve(handler, "127.0.0.1", PORT):
        await asyncio.Future()

threading.Thread(target=asyncio.run, args=(main(),), daemon=True).start()

def task(message):
    send_queue.put(message)
    return reply_quene.get()
'''


@pytest.fixture
def port():
    return free_port()


def scenario(port, body, script, frozen=False, reply_timeout=5.0, **options):
    program = STAND_IN.format(port=port, frozen=frozen, reply_timeout=reply_timeout)
    return run_scenario(program + textwrap.dedent(body), script, port=port,
                        timeout=options.pop("timeout", 20), **options)


def test_round_trip_records_messages_exactly_and_replies_unchanged(port):
    rows = np.arange(12, dtype=np.float64).reshape(3, 4)  # converted to float32
    result = scenario(port, '''
        print(repr(task('{"env": "init"}')))
        print(repr(task(b"\\x00\\x01raw")))
        print(repr(task("第二")))
    ''', [Rows(rows), Text("None"), Text("[1, 2]")])
    assert result.returncode == 0, result.summary()
    assert result.messages == ['{"env": "init"}', b"\x00\x01raw", "第二"]
    assert [type(m) for m in result.messages] == [str, bytes, str]
    assert result.stdout.splitlines() == [
        repr(rows.astype(np.float32).tobytes()), "'None'", "'[1, 2]'"]
    assert (result.steps_done, result.failure, result.stderr) == (3, None, "")
    assert result.close_code == 1006  # the program ended without a close frame


def test_rows_are_native_float32():
    big_endian = np.array([[1.5, -2.0]], dtype=">f4")
    assert Rows(big_endian).payload() == np.array([[1.5, -2.0]], np.float32).tobytes()


def test_messages_after_the_script_are_recorded(port):
    result = scenario(port, '''
        task("a")
        send_queue.put("b")
        send_queue.put("c")
        import time; time.sleep(1)
    ''', [Text("1")])
    assert result.returncode == 0, result.summary()
    assert result.messages == ["a", "b"]  # "c" waits behind the unanswered "b"


@pytest.mark.parametrize("code, reason", [(1000, ""), (4000, "page closed")])
def test_close_reaches_the_bridge(port, code, reason):
    result = scenario(port, '''
        task("a")
        import time; time.sleep(0.5)  # the close arrives while the bridge idles
        task("b")
    ''', [Text("1"), Close(code, reason)])
    assert result.returncode == 1, result.summary()
    assert result.stderr.count("\n") == 1 and "ConnectionClosed" in result.stderr
    assert f"received {code}" in result.stderr
    assert (result.close_code, result.close_reason) == (code, reason)
    assert result.messages == ["a"]


def test_delayed_reply_hits_the_reply_limit(port):
    result = scenario(port, '''
        task("a")
        print("answered")
    ''', [Text("late", delay=1.5)], reply_timeout=0.5)
    assert result.returncode == 1, result.summary()
    assert "TimeoutError" in result.stderr and "answered" not in result.stdout
    assert result.failure is not None and "connection closed" in result.failure


def test_delay_step_then_reply_within_limit(port):
    result = scenario(port, '''
        print(task("a"), task("b"))
    ''', [Text("1"), Delay(0.3), Text("2", delay=0.2)], reply_timeout=5)
    assert result.stdout.split() == ["1", "2"], result.summary()


def test_a_frozen_program_sends_no_pong(port):
    # The bridge's tests see pongs of a live loop; this proves a missing one shows.
    result = scenario(port, '''
        task("a")
        import time; time.sleep(1.5)
        task("b")
    ''', [Text("1"), Delay(0.2), Ping(timeout=0.5), Text("2")], frozen=True)
    assert result.returncode == 0, result.summary()
    assert result.pings == [None]


def test_second_connection_left_open_is_reported(port):
    program = '''
        import asyncio, threading, websockets
        async def handler(ws):
            await asyncio.sleep(10)
        async def main():
            async with websockets.serve(handler, "127.0.0.1", %d):
                await asyncio.Future()
        threading.Thread(target=asyncio.run, args=(main(),), daemon=True).start()
        import time; time.sleep(3)
    ''' % port
    result = run_scenario(program, [SecondConnection(timeout=0.5)], port=port, timeout=20)
    [second] = result.second_connections
    assert second.close_code is None and "still open" in second.error, result.summary()


def test_client_retries_until_the_server_listens(port):
    late = STAND_IN.replace("threading.Thread(", "time.sleep(1.0); threading.Thread(")
    program = "import time\n" + late.format(port=port, frozen=False, reply_timeout=5)
    result = run_scenario(program + 'print(task("a"))', [Text("1")], port=port, timeout=20)
    assert result.stdout == "1\n", result.summary()


@pytest.mark.parametrize("script", [None, [Text("never")]])
def test_program_that_never_listens_ends_the_scenario_promptly(script):
    started = time.monotonic()
    result = run_scenario('import sys; print("出错"); sys.exit(3)', script,
                          port=free_port(), connect_timeout=30, timeout=30)
    assert (result.returncode, result.stdout, result.connected) == (3, "出错\n", False)
    assert time.monotonic() - started < 15  # not the 30 s connect limit
    if script is not None:
        assert "could not connect" in result.failure


def test_scenario_timeout_keeps_the_record_and_kills_the_program(port):
    result = scenario(port, '''
        print("started", flush=True)
        task("a")
        task("b")
    ''', [Text("1")], timeout=3)
    assert result.failure == "scenario timed out", result.summary()
    assert result.messages == ["a", "b"] and result.stdout == "started\n"
    assert result.returncode == 1  # the bridge saw its front-end leave
    result = run_scenario("import time; time.sleep(60)", None, timeout=1)
    assert result.timed_out and result.returncode < 0, result.summary()


def test_program_sees_pythonpath(tmp_path, monkeypatch):
    (tmp_path / "vesk_probe_mod.py").write_text("VALUE = 'seen'\n")
    monkeypatch.setenv("PYTHONPATH", str(tmp_path))
    result = run_scenario("import vesk_probe_mod, sys; print(vesk_probe_mod.VALUE, sys.executable)",
                          None, timeout=20)
    assert result.stdout.split() == ["seen", sys.executable], result.summary()


def test_wait_for_port_sees_a_listener_without_connecting(port):
    import socket
    assert not is_listening(port)
    assert wait_for_port(port, timeout=0.2) is False
    with socket.socket() as server:
        server.bind(("127.0.0.1", port))
        server.listen()
        server.settimeout(0.3)
        assert wait_for_port(port, timeout=2)
        with pytest.raises(socket.timeout):
            server.accept()  # the probe made no connection


def test_bad_step_is_rejected_before_anything_runs():
    with pytest.raises(TypeError, match="script step 1"):
        run_scenario("raise SystemExit(5)", [Text("a"), "b"])
