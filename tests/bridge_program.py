"""The program of the bridge scenarios, run in its own interpreter.

A bridge started without constructing an environment: tasks go straight onto
the class's queues, so the bridge is all that is exercised. A scenario is
BRIDGE followed by a few statements that use `env` and `show(value)` (one
repr a line on standard output), played against the scripted front-end.
"""
import textwrap

from conftest import subprocess_env
from scripted_frontend import run_scenario

START = "threading.Thread(target=env.start_queue(), daemon=True).start()\n"

# Without START: for the tests that call the runner themselves.
UNSTARTED = """
import signal, sys, threading, time, Vesk
class Bridge(Vesk.Vesk_Pal_st):
    num_envs = 2
env = object.__new__(Bridge)
def show(value):
    print(repr(value), flush=True)
"""

BRIDGE = UNSTARTED + START


def scenario(body, script, env=None, before="", **options):
    """Runs `before` (imports that must come first), BRIDGE, then `body`
    against `script`; `env` adds variables to the program's environment and
    `options` go to run_scenario."""
    program = textwrap.dedent(before) + BRIDGE + textwrap.dedent(body)
    return run_scenario(program, script, env=subprocess_env(**(env or {})), **options)
