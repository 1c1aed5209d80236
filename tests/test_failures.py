"""How failures end: the process by default, an exception in the caller with
VESK_ON_FAILURE=raise; a bridge that cannot listen; oversized replies and
protocol errors."""
import asyncio
import base64
import os
import socket
import struct
import subprocess
import sys
import time

import numpy as np
import pytest

from bridge_program import BRIDGE, scenario
from conftest import run_python, subprocess_env
from scripted_frontend import Close, Delay, Recv, Reconnect, Rows, ScriptedFrontend, Text, free_port, wait_for_port

# The port of the tests that start the bridge without the scripted front-end.
BRIDGE_PORT = free_port()

RAISE = {"VESK_ON_FAILURE": "raise"}


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


@pytest.mark.parametrize("variable, value, message", [
    ("VESK_ON_FAILURE", "rase", "must be exit or raise, got 'rase'"),
    *[("VESK_TASK_TIMEOUT", value, f"must be a positive number (seconds), got {value!r}")
      for value in ["0", "-1", "soon", "nan", "inf"]],
])
def test_a_bad_setting_stops_the_bridge_from_starting(variable, value, message):
    result = scenario("env.one_task('task')", None, env={variable: value}, timeout=20, port=BRIDGE_PORT)
    assert result.returncode == 1, result.summary()
    # The one line only: the process ends before the runner thread's excepthook prints.
    assert result.stderr == (f"Vesk: the bridge cannot listen on 127.0.0.1 port {BRIDGE_PORT}: "
                             f"ValueError: {variable} {message}\n")


# --- the task time limit (VESK_TASK_TIMEOUT) ---------------------------------

@pytest.mark.parametrize("limit", ["2", " 1.5 "])
def test_the_task_time_limit_bounds_each_reply(limit):
    # A reply within the limit passes; the unanswered task's connection stays
    # open (the front-end lingers) until the limit ends the process.
    result = scenario("show(env.one_task('answered in time')); env.one_task('task')",
                      [Text("1", delay=0.5), Recv()], env={"VESK_TASK_TIMEOUT": limit}, timeout=30)
    assert result.returncode == 1, result.summary()
    assert result.stdout == "1\n"
    assert result.stderr.startswith("Vesk: connection to the front-end failed: ") and result.stderr.count("\n") == 1
    assert result.stderr.endswith(f"TimeoutError; no reply within {limit.strip()} seconds\n"), result.stderr


NO_FRONT_END_YET = """
try:
    show(env.one_task("first"))
except ConnectionError as error:
    show(str(error))
time.sleep(5)  # the page connects meanwhile
show(env.one_task("second"))
"""


@pytest.mark.parametrize("mode, first", [
    ("exit", "'late page'"),  # waits for ever, as without the setting
    ("raise", "'no front-end connected within 1 s to answer the task; VESK_TASK_TIMEOUT sets the limit'"),
])
def test_a_caller_waits_for_a_front_end_only_in_exit_mode(mode, first):
    result = scenario(NO_FRONT_END_YET, [Text("'late page'")] + ([Text("'second'")] if mode == "exit" else []),
                      env={"VESK_ON_FAILURE": mode, "VESK_TASK_TIMEOUT": "1"}, connect_after=5)
    assert result.returncode == 0, result.summary()
    assert result.stdout.splitlines() == [first, "'late page'" if mode == "raise" else "'second'"]
    # The task given up on is never sent to the page that connects later.
    assert result.messages == (['"second"'] if mode == "raise" else ['"first"', '"second"'])


# --- several environments in one process -------------------------------------

TWO_ENVIRONMENTS = """
import os, queue, sys, threading, time, Vesk
sys.path.insert(0, {tests!r})
from scripted_frontend import is_listening
class Bridge(Vesk.Vesk_Pal_st):
    num_envs = 1
def make(port):
    env = object.__new__(Bridge)
    env.send_queue, env.reply_quene = queue.Queue(), queue.Queue()  # its own, before start_queue
    os.environ["VESK_PORT"] = str(port)
    threading.Thread(target=env.start_queue(), daemon=True).start()
    while not is_listening(port):
        time.sleep(0.01)
    return env
a, b = make({port_a}), make({port_b})
replies = []
def run_b():
    replies.append(b.one_task("b1"))  # answered late, after a failed meanwhile
    replies.append(b.one_task("b2"))
other = threading.Thread(target=run_b)
other.start()
time.sleep(0.3)
try:
    a.one_task("a1")
except ConnectionError as error:
    print("a:", str(error).split(":")[0], flush=True)
print("a:", a.one_task("a2"), flush=True)
other.join()
print("b:", *replies, flush=True)
"""


def run_two_environments(scripts, env):
    """Runs TWO_ENVIRONMENTS with one scripted front-end per environment."""
    ports = [free_port(), free_port()]
    program = TWO_ENVIRONMENTS.format(tests=os.path.dirname(__file__), port_a=ports[0], port_b=ports[1])
    proc = subprocess.Popen([sys.executable, "-c", program], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, env=subprocess_env(**{"VESK_TOKEN": "off", **env}))
    frontends = [ScriptedFrontend(script) for script in scripts]

    async def drive():
        ended = lambda: proc.poll() is not None  # noqa: E731
        await asyncio.wait_for(asyncio.gather(*(f.run(port, ended) for f, port in zip(frontends, ports))), 30)

    try:
        asyncio.run(drive())
        stdout, stderr = proc.communicate(timeout=30)
    finally:
        proc.kill()
    return proc.returncode, stdout, stderr, [frontend.log for frontend in frontends]


def test_a_failure_in_raise_mode_leaves_another_environment_of_the_process_alone():
    returncode, stdout, stderr, (log_a, log_b) = run_two_environments(
        [[Text("true"), Reconnect(), Text("'a2'")], [Text("'b1'", delay=1.5), Text("'b2'")]], RAISE)
    assert returncode == 0, stderr
    assert stdout.splitlines() == ["a: task failed", "a: a2", "b: b1 b2"]
    assert log_a.messages == ['"a1"', '"a2"'] and log_a.closes == [1000]
    # b's connection went on: its late reply was neither dropped nor taken for a's.
    assert log_b.messages == ['"b1"', '"b2"'] and log_b.closes == [] and log_b.failure is None


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
def test_a_bridge_that_cannot_listen_ends_the_process_at_once(setup, variables, line):
    result = run_python(ENVIRONMENT.format(setup=setup), timeout=30,
                        env={"VESK_PORT": str(BRIDGE_PORT), **variables})
    assert result.returncode == 1, result
    # Where it fails: the runner's exception never reaches the connect hook.
    assert result.stdout == ""
    assert result.stderr.startswith(line) and result.stderr.count("\n") == 1, result.stderr
    assert "VESK_PORT" in result.stderr


def test_a_runner_that_cannot_listen_prints_one_line_not_its_traceback():
    # A plain thread, as the README's connect hook starts it: its excepthook
    # would print the traceback.
    program = BRIDGE.replace("env = object.__new__", "import socket\n" + TAKEN + "\nenv = object.__new__")
    result = run_python(program + "time.sleep(5)", timeout=30, env={"VESK_PORT": str(BRIDGE_PORT)})
    assert result.returncode == 1, result
    line = result.stderr
    assert line.startswith(f"Vesk: the bridge cannot listen on 127.0.0.1 port {BRIDGE_PORT}: OSError: [Errno 98] ")
    assert line.endswith("; VESK_PORT chooses another port\n") and line.count("\n") == 1, line


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
