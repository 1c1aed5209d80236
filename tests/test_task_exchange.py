"""one_task without a bridge: the test plays the bridge, reading messages from
send_queue and putting replies straight onto reply_quene. A failed task ends
the process, so every failure runs in its own interpreter."""
import os
import queue
import re
import signal
import struct
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import Vesk
from conftest import run_python, subprocess_env

Env = Vesk.Vesk_Pal_st


class Sub(Env):
    num_envs = 1


def drain(q):
    items = []
    while True:
        try:
            items.append(q.get_nowait())
        except queue.Empty:
            return items


@pytest.fixture
def env():
    # The queues are process-wide: start and leave them empty.
    drain(Env.send_queue)
    drain(Env.reply_quene)
    # Never __init__: that starts the bridge.
    yield object.__new__(Sub)
    drain(Env.send_queue)
    drain(Env.reply_quene)


def sent():
    return drain(Env.send_queue)


# --- encoding ------------------------------------------------------------------

@pytest.mark.parametrize("msg, wire", [
    pytest.param({"env": "init", "render_mode": None, "render_fps": 20, "num_envs": 1, "target": [1], "object": ["a"]},
                 '{"env": "init", "render_mode": null, "render_fps": 20, "num_envs": 1, "target": [1], "object": ["a"]}',
                 id="init"),
    pytest.param({"env": "step", "action": [[0.5, -1.0]]}, '{"env": "step", "action": [[0.5, -1.0]]}', id="step"),
    pytest.param({"env": "reset", "pos": [[0.10000000149011612]], "joint": [], "list": [True, False]},
                 '{"env": "reset", "pos": [[0.10000000149011612]], "joint": [], "list": [true, false]}', id="reset"),
    pytest.param({"b": 1, "a": 2}, '{"b": 1, "a": 2}', id="insertion-order"),
    pytest.param({1: "a", None: 2.5}, '{"1": "a", "null": 2.5}', id="non-string-keys"),
    pytest.param({"text": "中é"}, '{"text": "\\u4e2d\\u00e9"}', id="non-ascii"),
    pytest.param([float("nan"), float("inf"), -float("inf")], "[NaN, Infinity, -Infinity]", id="non-finite"),
    pytest.param((1, (2, 3)), "[1, [2, 3]]", id="tuple"),
    pytest.param(None, "null", id="none"),
    pytest.param(7, "7", id="int"),
    pytest.param("plain", '"plain"', id="str"),
])
def test_message_is_json_encoded(env, msg, wire):
    assert env.one_task(msg, replyable=False) is None
    assert sent() == [wire]


@pytest.mark.parametrize("msg, length", [('{"env":"render"}', 22), ('{"env":"close"}', 21)])
def test_text_message_travels_as_json_string_literal(env, msg, length):
    env.one_task(msg, replyable=False)
    [wire] = sent()
    assert len(wire) == length
    assert wire == '"' + msg.replace('"', '\\"') + '"'


class BytesSub(bytes):
    pass


@pytest.mark.parametrize("msg", [b"\x00\xff{}", b"", BytesSub(b"sub")], ids=["bytes", "empty", "subclass"])
def test_bytes_message_is_put_unchanged(env, msg):
    env.one_task(msg, replyable=False)
    [item] = sent()
    assert item is msg


def test_queues_are_looked_up_on_the_instance(env):
    own_send, own_reply = queue.Queue(), queue.Queue()
    env.send_queue, env.reply_quene = own_send, own_reply
    own_reply.put("'own'")
    assert env.one_task({"env": "x"}) == "own"
    assert own_send.get_nowait() == '{"env": "x"}'
    assert sent() == [] and Env.reply_quene.empty()


# --- replyable and ordering -------------------------------------------------------

@pytest.mark.parametrize("replyable", [False, 0, "", None, []])
def test_not_replyable_returns_at_once_and_leaves_the_reply(env, replyable):
    Env.reply_quene.put("'waiting'")
    assert env.one_task({"env": "step"}, replyable) is None
    assert Env.reply_quene.qsize() == 1
    assert sent() == ['{"env": "step"}']


@pytest.mark.parametrize("replyable", [True, 1, "no", [0]])
def test_truthy_replyable_waits_for_the_reply(env, replyable):
    Env.reply_quene.put("'answer'")
    assert env.one_task("msg", replyable=replyable) == "answer"
    assert Env.reply_quene.empty()


def test_replies_pair_with_messages_by_order(env):
    for reply in ("'first'", "'second'", "'third'"):
        Env.reply_quene.put(reply)
    assert env.one_task({"n": 1}, replyable=False) is None
    assert env.one_task({"n": 2}) == "first"
    assert env.one_task(b"3") == "second"
    assert env.one_task({"n": 4}) == "third"
    assert sent() == ['{"n": 1}', '{"n": 2}', b"3", '{"n": 4}']


def test_reply_from_another_thread_is_awaited(env):

    def bridge():
        message = Env.send_queue.get(timeout=10)
        Env.reply_quene.put(repr(message))

    thread = threading.Thread(target=bridge)
    thread.start()
    assert env.one_task({"env": "step"}) == '{"env": "step"}'
    thread.join()


# --- decoding ----------------------------------------------------------------------

@pytest.mark.parametrize("num_envs, values, shape", [
    (2, [0.0, 1.5, -2.0, 3.25, 1e30, -0.0], (2, 3)),
    (1, [0.5, -1.0], (1, 2)),
    (3, [7.0, 8.0, 9.0], (3, 1)),
    (4, [0.1] * 8, (4, 2)),
])
def test_binary_reply_decodes_to_read_only_float32_rows(env, num_envs, values, shape):
    env.num_envs = num_envs
    Env.reply_quene.put(struct.pack(f"={len(values)}f", *values))
    result = env.one_task({"env": "step"})
    assert isinstance(result, np.ndarray)
    assert result.dtype == np.float32
    assert result.shape == shape
    assert result.tolist() == np.array(values, dtype=np.float32).reshape(shape).tolist()
    assert not result.flags.writeable
    with pytest.raises(ValueError):
        result[0, 0] = 1.0


def test_num_envs_is_read_when_the_reply_arrives(env):

    def bridge():
        Env.send_queue.get(timeout=10)
        env.num_envs = 3
        Env.reply_quene.put(np.arange(6, dtype=np.float32).tobytes())

    thread = threading.Thread(target=bridge)
    thread.start()
    assert env.one_task("x").shape == (3, 2)
    thread.join()
    # Without an instance attribute, the class's.
    del env.num_envs
    Env.reply_quene.put(np.arange(6, dtype=np.float32).tobytes())
    assert env.one_task("x").shape == (1, 6)


def test_bytes_subclass_reply_is_binary(env):
    Env.reply_quene.put(BytesSub(struct.pack("=2f", 1.0, 2.0)))
    assert env.one_task("x").tolist() == [[1.0, 2.0]]


@pytest.mark.parametrize("reply, value", [
    ("None", None),
    ("[1, 2]", [1, 2]),
    ("True", True),
    ("'text'", "text"),
    ('"中"', "中"),
    ("b'\\x00a'", b"\x00a"),
    ("(1, 2.5, -3)", (1, 2.5, -3)),
    ("{'a': [1, {'b': None}], 2: (3,)}", {"a": [1, {"b": None}], 2: (3,)}),
    ("{1, 2}", {1, 2}),
    ("1e3", 1000.0),
    ("-7", -7),
])
def test_text_reply_decodes_as_python_literal(env, reply, value):
    Env.reply_quene.put(reply)
    result = env.one_task({"env": "reset"})
    assert result == value
    assert type(result) is type(value)


# --- failures: each in its own interpreter ------------------------------------------

PRELUDE = """
import asyncio, atexit, os, sys, threading
import numpy as np
import Vesk

class Env(Vesk.Vesk_Pal_st):
    num_envs = 1

class Bare(Vesk.Vesk_Pal_st):
    pass

env = object.__new__(Env)
reply = Vesk.Vesk_Pal_st.reply_quene.put
atexit.register(print, "clean-up ran")
print("printed before the task")
"""


def run_failing(code, **kwargs):
    result = run_python(PRELUDE + code + "\nprint('after the task')\n", timeout=30, **kwargs)
    assert result.returncode == 1, (result.returncode, result.stdout, result.stderr)
    # Nothing printed before is lost; nothing after and no clean-up runs.
    assert result.stdout == "printed before the task\n"
    assert result.stderr.endswith("\n") and result.stderr.count("\n") == 1, result.stderr
    return result.stderr


def excerpt(text):
    return "; reply: " + repr(text[:200])


@pytest.mark.parametrize("code, line", [
    ("env.one_task({'action': np.zeros(2)})", "TypeError: Object of type ndarray is not JSON serializable"),
    ("env.one_task([np.float32(1)])", "TypeError: Object of type float32 is not JSON serializable"),
    ("env.one_task({'n': np.int64(1)})", "TypeError: Object of type int64 is not JSON serializable"),
    ("env.one_task(np.zeros(1), replyable=False)", "TypeError: Object of type ndarray is not JSON serializable"),
    ("env.one_task(bytearray(b'a'))", "TypeError: Object of type bytearray is not JSON serializable"),
    ("env.one_task(Vesk, replyable=False)", "TypeError: Object of type module is not JSON serializable"),
], ids=["array", "float32", "int64", "not-replyable", "bytearray", "module"])
def test_message_that_cannot_be_encoded_ends_the_process(code, line):
    assert run_failing(code) == f"Vesk: task failed: {line}\n"


@pytest.mark.parametrize("text, message", [
    ("true", r"ValueError: malformed node or string.*"),
    ("null", r"ValueError: malformed node or string.*"),
    ("__import__('os').getcwd()", r"ValueError: malformed node or string.*"),
    ("np.zeros(2)", r"ValueError: malformed node or string.*"),
    ("[1, 2] + [3]", r"ValueError: malformed node or string.*"),
    ("print('evaluated')", r"ValueError: malformed node or string.*"),
    ("1 +", r"SyntaxError: .*"),
    ("[1,\n2", r"SyntaxError: .*"),
    ("x" * 300, r"ValueError: malformed node or string.*"),
    ("[" + "1, " * 150, r"SyntaxError: .*"),
    ("", r"SyntaxError: .*"),
], ids=["true", "null", "import-call", "module-name", "expression", "print", "syntax", "newline", "long-name",
        "long-unclosed", "empty"])
def test_text_reply_that_is_not_a_literal_ends_the_process(text, message):
    stderr = run_failing(f"reply({text!r}); env.one_task({{'env': 'reset'}})")
    assert re.fullmatch(re.escape("Vesk: task failed: ") + message + re.escape(excerpt(text)) + "\n", stderr), stderr


def test_text_reply_is_never_evaluated(tmp_path):
    target = tmp_path / "created"
    payload = f"__import__('os').mkdir({str(target)!r})"
    stderr = run_failing(f"reply({payload!r}); env.one_task('x')")
    assert stderr.startswith("Vesk: task failed: ValueError: ")
    assert not target.exists()


@pytest.mark.parametrize("code, start", [
    ("reply(b'\\0' * 6); env.one_task('x')",
     "Vesk: task failed: ValueError: buffer size must be a multiple of element size"),
    ("env.num_envs = 2; reply(b'\\0' * 12); env.one_task('x')",
     "Vesk: task failed: ValueError: cannot reshape array of size 3 into shape (2,newaxis)"),
    ("bare = object.__new__(Bare); reply(b'\\0' * 8); bare.one_task('x')",
     "Vesk: task failed: AttributeError: 'Bare' object has no attribute 'num_envs'"),
], ids=["6-bytes", "rows-not-even", "no-num-envs"])
def test_binary_reply_that_cannot_be_decoded_ends_the_process(code, start):
    stderr = run_failing(code)
    assert stderr.startswith(start), stderr


@pytest.mark.parametrize("where", [
    # On a thread that has no event loop at all.
    """
thread = threading.Thread(target=lambda: env.one_task(np.zeros(1)))
thread.start()
thread.join()
""",
    # Inside a running event loop, which is stopped on the way out.
    """
async def main():
    env.one_task(np.zeros(1))
asyncio.run(main())
""",
    # Inside a running event loop whose stop fails: the process still ends.
    """
class Loop(asyncio.SelectorEventLoop):
    def stop(self):
        raise RuntimeError("stop failed")
async def main():
    env.one_task(np.zeros(1))
Loop().run_until_complete(main())
""",
], ids=["thread", "running-loop", "stop-fails"])
def test_failure_ends_the_process_wherever_it_runs(where):
    assert run_failing(where) == "Vesk: task failed: TypeError: Object of type ndarray is not JSON serializable\n"


def test_keyboard_interrupt_while_waiting_ends_the_process():
    code = PRELUDE + "sys.stdout.write('waiting\\n'); sys.stdout.flush(); env.one_task({'env': 'step'})\n"
    process = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True, encoding="utf-8", env=subprocess_env())
    try:
        assert process.stdout.readline() == "printed before the task\n"
        assert process.stdout.readline() == "waiting\n"
        time.sleep(0.5)  # let it block on the reply queue
        process.send_signal(signal.SIGINT)
        stdout, stderr = process.communicate(timeout=30)
    finally:
        if process.poll() is None:
            process.kill()
    assert process.returncode == 1
    assert stdout == ""
    assert stderr == "Vesk: task failed: KeyboardInterrupt\n"


def test_argument_errors_are_ordinary_exceptions():
    result = run_python(PRELUDE + """
try:
    env.one_task()
except TypeError as error:
    print(error)
print(Vesk.Vesk_Pal_st.send_queue.qsize())
""")
    assert result.returncode == 0, result.stderr
    assert result.stdout == (
        "printed before the task\n"
        "one_task() takes at least 2 positional arguments (1 given)\n"
        "0\n"
        "clean-up ran\n"
    )


# --- one exchange at a time; raise mode; quiet parsing ----------------------------

def test_concurrent_callers_each_receive_the_reply_to_their_own_task(env):
    stop = threading.Event()

    def bridge():  # answers each task with its own text, in order
        while not stop.is_set():
            try:
                message = Env.send_queue.get(timeout=0.1)
            except queue.Empty:
                continue
            Env.reply_quene.put(repr(message))

    mixed = []

    def caller(name):
        for i in range(300):
            task = f"{name}{i}"
            if env.one_task(task) != f'"{task}"':
                mixed.append(task)

    threads = [threading.Thread(target=bridge)] + [threading.Thread(target=caller, args=(n,)) for n in "ab"]
    for thread in threads:
        thread.start()
    for thread in threads[1:]:
        thread.join()
    stop.set()
    threads[0].join()
    assert mixed == []


@pytest.mark.parametrize("setup, cause", [
    ("reply('true'); reply(\"'stale'\")", "ValueError"),
    ("reply(b'\\0' * 6)", "ValueError"),
    ("env.msg = np.zeros(1)", "TypeError"),
], ids=["not-a-literal", "bad-rows", "not-encodable"])
def test_raise_mode_raises_connection_error_and_leaves_no_reply(setup, cause):
    result = run_python(PRELUDE + setup + """
try:
    env.one_task(getattr(env, "msg", "task"))
except ConnectionError as error:
    print(type(error).__name__, type(error.__cause__).__name__, error.__cause__ is error.__context__)
    print(str(error).startswith("task failed: " + type(error.__cause__).__name__))
print(Vesk.Vesk_Pal_st.reply_quene.qsize())
""", env={"VESK_ON_FAILURE": "raise"})
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[1:] == [f"ConnectionError {cause} True", "True", "0", "clean-up ran"]


@pytest.mark.parametrize("text, value", [("'\\d'", "\\d"), ("b'\\d'", b"\\d"), ("'\\N'", None)])
def test_parser_warnings_never_reach_stderr(text, value):
    code = f"reply({text!r}); print(repr(env.one_task('x')))"
    result = run_python(PRELUDE + code, env={"PYTHONWARNINGS": "always"})
    if value is None:  # a syntax error: one line, no warning before it
        assert result.returncode == 1 and result.stderr.startswith("Vesk: task failed: SyntaxError")
        assert result.stderr.count("\n") == 1, result.stderr
    else:
        assert result.returncode == 0 and result.stderr == "", result.stderr
        assert result.stdout.splitlines()[1] == repr(value)
