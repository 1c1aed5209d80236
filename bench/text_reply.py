"""Memory and time of decoding one large text reply, per shape.

"before" is ast.literal_eval on the text (what a text reply cost until the
reader: a parse tree of Python objects, then its conversion); "after" is
one_task decoding the same reply. Each measurement runs in a fresh process:
CPU time of one decode, then, in a second decode under tracemalloc, the peak of memory allocated during the decode above what
was there before it, and what stays allocated afterwards (the value itself).

    python bench/text_reply.py [--size 1048576]
"""
import argparse
import json
import os
import subprocess
import sys

SHAPES = {
    "ints": lambda n: "[" + ",".join(str(i % 1000) for i in range(n // 4)) + "]",
    "floats": lambda n: repr([i / 7 for i in range(n // 20)]),
    "set of ints": lambda n: "{" + ",".join(str(i) for i in range(n // 7)) + "}",
    "dict str->float": lambda n: repr({f"k{i}": i / 3 for i in range(n // 28)}),
    "small lists": lambda n: "[" + ",".join("[]" for _ in range(n // 3)) + "]",
    "small dicts": lambda n: "[" + ",".join("{1:2}" for _ in range(n // 6)) + "]",
    "deep nesting": lambda n: "[" + ",".join("[" * 199 + "]" * 199 for _ in range(n // 400)) + "]",
    "long string": lambda n: repr("x" * (n - 2)),
    "escaped strings": lambda n: repr(["a\nb\t\u00e9"] * (n // 16)),
    "complex": lambda n: repr([complex(i, -i) for i in range(n // 12)]),
    # Replies that fail: the first two are refused by the reader, the last
    # one (a syntax error) still goes through the parser whole.
    "fails: JSON true": lambda n: "[" + ",".join("true" for _ in range(n // 5)) + "]",
    "fails: unhashable": lambda n: "{" + ",".join(str(i) for i in range(n // 7)) + ",[]}",
    "fails: unclosed": lambda n: "[" + ",".join(str(i % 1000) for i in range(n // 4)),
}

CHILD = """
import ast, json, sys, time, tracemalloc, warnings
import Vesk
kind, shape, size = sys.argv[1], sys.argv[2], int(sys.argv[3])
sys.path.insert(0, sys.argv[4])
from text_reply import SHAPES
text = SHAPES[shape](size)
class One(Vesk.Vesk_Pal_st):
    num_envs = 1
env = object.__new__(One)
def attempt():
    if kind == "after":
        Vesk.Vesk_Pal_st.reply_quene.put(text)
        return env.one_task("task")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return ast.literal_eval(text)
def decode():
    try:
        return attempt()
    except Exception as error:
        return error
start = time.process_time()
value = decode()
seconds = time.process_time() - start  # without tracemalloc, which slows allocation
del value
tracemalloc.start()
base = tracemalloc.get_traced_memory()[0]
value = decode()
current, peak = tracemalloc.get_traced_memory()
print(json.dumps([len(text.encode()), peak - base, current - base, seconds]))
"""


def measure(kind, shape, size):
    here = sys.path[0]
    done = subprocess.run([sys.executable, "-c", CHILD, kind, shape, str(size), here], capture_output=True, text=True,
                          env={**os.environ, "VESK_ON_FAILURE": "raise"})
    if done.returncode != 0:
        raise SystemExit(done.stderr)
    return json.loads(done.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=int, default=1 << 20)
    args = parser.parse_args()
    print(f"{'shape':18} {'bytes':>8} | {'before: peak':>12} {'CPU s':>6} | {'after: peak':>11} {'x size':>6}"
          f" {'value':>7} {'CPU ms':>7}")
    for shape in SHAPES:
        size, before_peak, _, before_seconds = measure("before", shape, args.size)
        _, after_peak, value, after_seconds = measure("after", shape, args.size)
        print(f"{shape:18} {size:8} | {before_peak / 2**20:9.1f} MiB {before_seconds:6.2f} |"
              f" {after_peak / 2**20:7.1f} MiB {after_peak / size:6.1f} {value / 2**20:3.1f} MiB"
              f" {after_seconds * 1000:7.1f}")


if __name__ == "__main__":
    main()
