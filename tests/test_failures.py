"""How failures end: the process by default, an exception in the caller with
VESK_ON_FAILURE=raise; a bridge that cannot listen; oversized replies and
protocol errors."""
import base64
import os
import socket
import struct
import textwrap
import time

import numpy as np
import pytest

from conftest import run_python, subprocess_env
from scripted_frontend import Close, Delay, Recv, Reconnect, Rows, Text, free_port, run_scenario, wait_for_port

# The port of the tests that start the bridge without the scripted front-end.
BRIDGE_PORT = free_port()

BRIDGE = """
import signal, sys, threading, time, Vesk
class Bridge(Vesk.Vesk_Pal_st):
    num_envs = 2
env = object.__new__(Bridge)
threading.Thread(target=env.start_queue(), daemon=True).start()
def show(value):
    print(repr(value), flush=True)
"""

RAISE = {"VESK_ON_FAILURE": "raise"}


def scenario(body, script, env=None, **options):
    return run_scenario(BRIDGE + textwrap.dedent(body), script, env=subprocess_env(**(env or {})), **options)


# --- raise mode --------------------------------------------------------------

FAIL_THEN_GO_ON = """
try:
    show(env.one_task("first"))
except ConnectionError as error:
    show(type(error.__cause__).__name__)
    show(str(error).split(":")[0])
show(env.one_task("second"))
show(env.reply_quene.qsize())
"""


@pytest.mark.parametrize("script, cause, closes", [
    # The page reconnects once the bridge has let the old connection go.
    ([Recv(), Close(1001, "page closed"), Delay(0.5), Reconnect()], "ConnectionClosedOK", [1001]),
    ([Text("true"), Reconnect()], "ValueError", [1000]),
    ([Rows(np.zeros(3)), Reconnect()], "ValueError", [1000]),
], ids=["page-closed", "not-a-literal", "rows-not-even"])
def test_raise_mode_fails_the_task_and_the_next_page_takes_over(script, cause, closes):
    result = scenario(FAIL_THEN_GO_ON, script + [Text("'second reply'")], env=RAISE)
    assert result.returncode == 0, result.summary()
    what = "connection to the front-end failed" if cause.startswith("Connection") else "task failed"
    assert result.stdout.splitlines() == [repr(cause), repr(what), "'second reply'", "0"]
    assert result.messages == ['"first"', '"second"'] and result.closes == closes
    assert result.stderr == ""


def test_raise_mode_reports_a_close_when_the_class_changed_while_waiting():
    # Any change to the class makes the next attribute lookup miss the type's
    # cache; the bridge's lookup of reply_quene once failed then, silently.
    change = "threading.Timer(0.3, setattr, (Bridge, 'changed', True)).start()\n"
    result = scenario(change + FAIL_THEN_GO_ON, [Recv(), Delay(1.0), Close(1001, "page closed"), Delay(0.5),
                                                 Reconnect(), Text("'second reply'")], env=RAISE, timeout=20)
    assert result.returncode == 0, result.summary()
    assert result.stdout.splitlines() == ["'ConnectionClosedOK'", "'connection to the front-end failed'",
                                          "'second reply'", "0"]


def test_interrupted_wait_leaves_no_late_reply_for_the_next_task():
    result = scenario(
        """
        main = threading.main_thread().ident
        threading.Timer(0.5, signal.pthread_kill, (main, signal.SIGINT)).start()
        try:
            env.one_task("first")
        except KeyboardInterrupt:
            show("interrupted")
        time.sleep(2)  # the late reply arrives meanwhile
        show(env.one_task("second"))
        """,
        [Text("'late'", delay=1.5), Reconnect(), Text("'fresh'")], env=RAISE)
    assert result.returncode == 0, result.summary()
    assert result.stdout.splitlines() == ["'interrupted'", "'fresh'"]
    assert result.messages == ['"first"', '"second"'] and result.closes == [1000]


def test_without_the_setting_a_failure_still_ends_the_process():
    result = scenario(FAIL_THEN_GO_ON, [Text("true")], env={"VESK_ON_FAILURE": "exit"})
    assert result.returncode == 1 and result.stdout == "", result.summary()
    assert result.stderr.startswith("Vesk: task failed: ValueError: malformed node") and result.stderr.count("\n") == 1


def test_an_unknown_failure_mode_stops_the_bridge_from_starting():
    result = scenario("env.one_task('task')", None, env={"VESK_ON_FAILURE": "rase"}, timeout=20, port=BRIDGE_PORT)
    assert result.returncode == 1, result.summary()
    # Above it, the runner thread's own traceback: this program does not catch it.
    assert result.stderr.splitlines()[-1] == (f"Vesk: the bridge cannot listen on 127.0.0.1 port {BRIDGE_PORT}: "
                                              "ValueError: VESK_ON_FAILURE must be exit or raise, got 'rase'")


# --- a bridge that cannot listen ----------------------------------------------

ENVIRONMENT = """
import socket, sys, threading, Vesk
{setup}
class Env(Vesk.Vesk_Pal_st):
    def __init__(self):
        self.num_envs, self.obs_target, self.add_obj = 1, [1], ["a"]
        super().__init__()
    def connect(self, connect_func):
        def serve():
            try:
                connect_func()
            except BaseException as error:
                print("runner:", type(error).__name__, flush=True)
        threading.Thread(target=serve, daemon=True).start()
    def explain_reset(self, reset_array): return None, None
    def explain_action(self, action): return action
    def explain_obs(self, obs): return obs
    def reward(self, state): return state, state, state, state
try:
    Env()
except ConnectionError as error:
    print("raised:", type(error.__cause__).__name__, flush=True)
"""

TAKEN = ("s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); "
         f"s.bind(('127.0.0.1', {BRIDGE_PORT})); s.listen()")


@pytest.mark.parametrize("setup, variables, line", [
    (TAKEN, {}, f"Vesk: the bridge cannot listen on 127.0.0.1 port {BRIDGE_PORT}: OSError: [Errno 98] "),
    ("", {"VESK_PORT": "seventy"},
     "Vesk: the bridge cannot listen on 127.0.0.1: ValueError: VESK_PORT must be an integer from 1 to 65535, "
     "got 'seventy'"),
], ids=["port-taken", "bad-port"])
def test_a_bridge_that_cannot_listen_ends_the_waiting_constructor(setup, variables, line):
    result = run_python(ENVIRONMENT.format(setup=setup), timeout=30,
                        env={"VESK_PORT": str(BRIDGE_PORT), **variables})
    assert result.returncode == 1, result
    # The runner's exception leaves myfunc first, then the caller ends.
    assert result.stdout == "runner: " + line.split(": ")[2] + "\n"
    assert result.stderr.startswith(line) and result.stderr.count("\n") == 1, result.stderr
    assert "VESK_PORT" in result.stderr


def test_raise_mode_raises_a_bridge_that_cannot_listen_in_the_constructor():
    result = run_python(ENVIRONMENT.format(setup=TAKEN), timeout=30,
                        env={"VESK_PORT": str(BRIDGE_PORT), **RAISE})
    assert result.returncode == 0, result
    assert result.stdout.splitlines() == ["runner: OSError", "raised: OSError"]


def test_a_second_runner_failing_leaves_the_first_serving():
    result = scenario(
        """
        time.sleep(0.5)
        try:
            object.__new__(Bridge).start_queue()()
        except OSError as error:
            show("second runner: OSError")
        show(env.one_task("task"))
        """,
        [Text("'served'")], connect_after=1.0)
    assert result.returncode == 0, result.summary()
    assert result.stdout.splitlines() == ["'second runner: OSError'", "'served'"]


# --- sizes and protocol errors ----------------------------------------------------

def test_vesk_max_message_bytes_sets_the_largest_reply():
    result = scenario("show(env.one_task('a').shape); env.one_task('b')",
                      [Rows(np.zeros((2, 8))), Rows(np.zeros((2, 9)))], env={"VESK_MAX_MESSAGE_BYTES": "64"})
    assert result.returncode == 1, result.summary()
    assert result.stdout == "(2, 8)\n"
    assert result.stderr.startswith("Vesk: connection to the front-end failed: websockets.exceptions.")
    assert result.stderr.endswith("; a reply was larger than 64 bytes; VESK_MAX_MESSAGE_BYTES sets the limit\n")


def raw_frame(payload, opcode):
    header = bytes([0x80 | opcode])
    header += bytes([0x80 | len(payload)]) if len(payload) < 126 else bytes([0x80 | 126]) + struct.pack("!H", len(payload))
    return header + b"\0\0\0\0" + payload  # a zero mask leaves the payload as it is


@pytest.mark.parametrize("payload, opcode, cause", [
    (b"\xff\xfe", 1, "1007"), (b"x" * 200, 2, "1009"),
], ids=["invalid-utf-8", "oversized"])
def test_a_protocol_error_ends_the_process_promptly_although_the_peer_stays_silent(payload, opcode, cause):
    proc = __import__("subprocess").Popen(
        [__import__("sys").executable, "-c", BRIDGE + "env.one_task('task')"],
        stdout=-1, stderr=-1, text=True, env=subprocess_env(VESK_PORT=str(BRIDGE_PORT), VESK_MAX_MESSAGE_BYTES="100", VESK_TOKEN="off"))
    try:
        assert wait_for_port(BRIDGE_PORT, proc=proc)
        with socket.create_connection(("127.0.0.1", BRIDGE_PORT)) as peer:
            key = base64.b64encode(os.urandom(16)).decode()
            peer.sendall(f"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                         f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n".encode())
            peer.recv(4096)  # the handshake's answer; the task may follow
            peer.sendall(raw_frame(payload, opcode))
            start = time.monotonic()
            stdout, stderr = proc.communicate(timeout=30)
            took = time.monotonic() - start
    finally:
        proc.kill()
    assert proc.returncode == 1 and stderr.startswith("Vesk: ") and stderr.count("\n") == 1 and cause in stderr, stderr
    assert took < 5, took  # the library alone would wait 10 to 20 s for the silent peer
