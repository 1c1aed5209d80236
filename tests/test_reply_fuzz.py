"""Random replies, decoded the way one_task decodes them: a reply either
decodes to the right value or shape, or ends the process with status 1 and
exactly one line. Bounded: a fixed number of cases from a seed printed on
failure (VESK_FUZZ_SEED repeats a run)."""
import ast
import base64
import json
import os
import random
import subprocess
import sys
import warnings

import numpy as np

from conftest import subprocess_env

CASES = 40
NUM_ENVS = 2

# A text for a decoded value, the same in every process: sets sorted (string
# hashes differ between processes), no limit on the digits of an int.
CANON = """
import sys
def canon(value):
    if isinstance(value, (set, frozenset)):
        return type(value).__name__ + "{" + ", ".join(sorted(canon(item) for item in value)) + "}"
    if isinstance(value, (list, tuple)):
        return type(value).__name__ + "[" + ", ".join(canon(item) for item in value) + "]"
    if isinstance(value, dict):
        return "{" + ", ".join(canon(k) + ": " + canon(v) for k, v in value.items()) + "}"
    limit = getattr(sys, "get_int_max_str_digits", lambda: None)()
    if limit is not None:
        sys.set_int_max_str_digits(0)
    try:
        return repr(value)
    finally:
        if limit is not None:
            sys.set_int_max_str_digits(limit)
"""
exec(CANON)

# Reads cases (JSON lines: ["b", base64] or ["t", text]) from stdin, plays the
# bridge by putting each reply on reply_quene, prints one line per decoded reply.
CHILD = CANON + """
import base64, json
import numpy as np, Vesk
class Env(Vesk.Vesk_Pal_st):
    num_envs = %d
env = object.__new__(Env)
for line in sys.stdin:
    kind, data = json.loads(line)
    Vesk.Vesk_Pal_st.reply_quene.put(base64.b64decode(data) if kind == "b" else data)
    value = env.one_task("task")
    if isinstance(value, np.ndarray):
        print(json.dumps(["rows", list(value.shape), str(value.dtype), value.tobytes().hex()]), flush=True)
    else:
        print(json.dumps(["text", canon(value)]), flush=True)
""" % NUM_ENVS


def random_text(rng):
    choice = rng.randrange(8)
    if choice == 0:  # any characters, lone surrogates included
        return "".join(chr(rng.randrange(0x110000)) for _ in range(rng.randrange(30)))
    if choice == 1:  # deep nesting, around the parser's limits
        depth = rng.choice([10, 99, 199, 200, 1000, 5000])
        return "[" * depth + "]" * depth
    if choice == 2:  # huge numbers
        return rng.choice(["", "-"]) + rng.choice(["1" * rng.choice([10, 4300, 4301, 50000]), "1e999999", "0x" + "f" * 9000])
    if choice == 3:  # literal-like soup
        return "".join(rng.choice(["[", "]", "(", ")", "{", "}", ",", ":", "'a'", "1", "None", "True", "\\", "\n",
                                   " ", "-", ".", "e", "j", "b'x'", "'\\x'", "'\\d'"]) for _ in range(rng.randrange(20)))
    if choice == 4:  # valid literals
        return repr(rng.choice([None, 1.5, -3, "é", [1, (2, {"k": b"v"})], {1, 2}, 1j, float("inf")]))
    if choice == 5:  # code, never run
        return rng.choice(["__import__('os').system('false')", "print(1)", "x", "lambda: 1", "1 if 1 else 2"])
    if choice == 6:  # ASCII noise
        return "".join(chr(rng.randrange(32, 127)) for _ in range(rng.randrange(40)))
    return " \t" * rng.randrange(3) + repr(rng.random())


def random_case(rng):
    if rng.random() < 0.4:
        length = rng.choice([0, 1, 3, 4, 6, 8, 12, 16, 20, 4 * NUM_ENVS * rng.randrange(1, 500)])
        return ["b", base64.b64encode(rng.randbytes(length)).decode()]
    return ["t", random_text(rng)]


def expected(case):
    """The decoded line the child prints, or None where the task must fail."""
    kind, data = case
    if kind == "b":
        raw = base64.b64decode(data)
        if len(raw) % 4 or (len(raw) // 4) % NUM_ENVS:
            return None
        return ["rows", [NUM_ENVS, len(raw) // 4 // NUM_ENVS], "float32", raw.hex()]
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            value = ast.literal_eval(data)
    except Exception:
        return None
    return ["text", canon(value)]


def test_random_replies_decode_or_end_the_process_with_one_line():
    seed = int(os.environ.get("VESK_FUZZ_SEED", random.randrange(2**32)))
    rng = random.Random(seed)
    cases = [random_case(rng) for _ in range(CASES)]
    start = 0
    while start < len(cases):
        lines = "".join(json.dumps(case) + "\n" for case in cases[start:])
        done = subprocess.run([sys.executable, "-c", CHILD], input=lines, capture_output=True, text=True,
                              encoding="utf-8", errors="backslashreplace", timeout=60, env=subprocess_env())
        decoded = [json.loads(line) for line in done.stdout.splitlines()]
        context = f"seed {seed}, case {start + len(decoded)}"
        for offset, line in enumerate(decoded):
            assert line == expected(cases[start + offset]), context
        start += len(decoded)
        if start == len(cases):
            assert done.returncode == 0 and done.stderr == "", (context, done.stderr)
            break
        # A crash would show as a signal, or as more (or other) output.
        assert done.returncode == 1, (context, done.returncode, done.stderr[-2000:])
        assert done.stderr.startswith("Vesk: task failed: ") and done.stderr.count("\n") == 1, (context, done.stderr)
        assert expected(cases[start]) is None, (context, cases[start])
        start += 1
