"""What the environment scenarios run in their own interpreter.

PRELUDE defines `Recorded`, a subclass written the way users write one: it
starts the runner on a daemon thread and its hooks report what they receive,
one JSON line per report on standard output, so the test can compare them with
what the scripted front-end recorded. A scenario program is PRELUDE followed
by a few statements; `reports(result)` reads the lines back.
"""
import json
import textwrap

PRELUDE = '''
import json, sys, threading, traceback
import numpy as np
import Vesk


def describe(value):
    # Arrays keep what matters here (dtype, shape, writeability); tuples are
    # told apart from lists.
    if isinstance(value, np.ndarray):
        return {"array": str(value.dtype), "shape": list(value.shape),
                "writeable": bool(value.flags.writeable), "values": value.tolist()}
    if isinstance(value, tuple):
        return {"tuple": [describe(item) for item in value]}
    if isinstance(value, list):
        return [describe(item) for item in value]
    if isinstance(value, dict):
        return {str(key): describe(item) for key, item in value.items()}
    return value


def report(label, *values):
    print(json.dumps([label] + [describe(value) for value in values], default=repr), flush=True)


def attempt(label, function, *args, **kwargs):
    """Reports "ok", or the error with the traceback entries below this frame."""
    try:
        value = function(*args, **kwargs)
    except Exception as error:
        entries = [entry.name for entry in traceback.extract_tb(error.__traceback__)][1:]
        report(label, {"error": type(error).__name__, "message": str(error),
                       "args": len(error.args), "entries": entries})
        return None
    report(label, "ok")
    return value


class Recorded(Vesk.Vesk_Pal_st):
    """Configuration from keywords; `outcomes` are what reward returns, first
    to last, then all-false flags; `explained` replaces explain_reset's result."""

    def __init__(self, num_envs=1, init_argument=None, **attributes):
        self.num_envs = num_envs
        self.obs_target = [1]
        self.add_obj = ["a"]
        self.made = []  # every state explain_obs made, in order
        self.given = None  # the latest result of reward
        self.outcomes = []
        for name, value in attributes.items():
            setattr(self, name, value)
        super().__init__(init_argument)

    def connect(self, connect_func):
        threading.Thread(target=connect_func, daemon=True).start()

    def explain_reset(self, reset_array):
        report("explain_reset", reset_array, reset_array is self.reset_array)
        if hasattr(self, "explained"):
            return self.explained
        flags = np.asarray(reset_array)
        return np.where(flags, 0.1, 0.0), np.arange(len(flags)) / 2

    def explain_action(self, action):
        report("explain_action", action)
        return action

    def explain_obs(self, obs):
        report("explain_obs", obs)
        state = np.array(obs, dtype=np.float64) * 10
        self.made.append(state)
        return state

    def reward(self, state):
        report("reward", state is self.made[-1])
        if self.outcomes:
            self.given = self.outcomes.pop(0)
        else:
            flags = np.zeros(self.num_envs, dtype=bool)
            self.given = (np.zeros(self.num_envs), flags, flags.copy(), flags.copy())
        return self.given


def report_reset(env, result):
    state, info = result
    report("reset", type(result).__name__, len(result), state is env.made[-1], info,
           info is not env.info_array, len({id(entry) for entry in info}))
    return result


def report_step(env, result):
    """The tuple's parts, and whether each is the very object it should be."""
    report("step", type(result).__name__, len(result), result[0] is env.made[-1],
           [mine is theirs for mine, theirs in zip(result[1:4], env.given)],
           result[4] is env.info_array, result[0])
    return result
'''


def program(body):
    """PRELUDE followed by `body` (dedented)."""
    return PRELUDE + textwrap.dedent(body)


def reports(result):
    """The report lines of a finished scenario, as [label, values...] lists."""
    return [json.loads(line) for line in result.stdout.splitlines()]


def reported(result, label):
    """The values of every report with `label`, in order."""
    return [entry[1:] for entry in reports(result) if entry[0] == label]
