"""The environment class end to end: construction, the hooks, reset, step (with
its automatic reset), render and close, driven by a user's subclass against
the scripted front-end. Anything that starts the bridge runs in its own
interpreter; the configuration checks, which fail before the bridge exists,
run here."""
import traceback

import numpy as np
import pytest

import Vesk
from conftest import run_python, subprocess_env
from environment_programs import program, reported, reports
from scripted_frontend import Recv, Rows, Text, run_scenario

Env = Vesk.Vesk_Pal_st

ADD_OBJ_MISSING = "add_obj is not set. Please set it in the init method."
OBS_TARGET_MISSING = "obs_target is not set. Please set it in the init method."
INIT_WIRE = '{"env": "init", "render_mode": null, "render_fps": 20, "num_envs": 1, "target": [1], "object": ["a"]}'
INIT_WIRE_3 = INIT_WIRE.replace('"num_envs": 1', '"num_envs": 3')
RENDER_WIRE = '"{\\"env\\":\\"render\\"}"'
CLOSE_WIRE = '"{\\"env\\":\\"close\\"}"'
# The reset messages Recorded's explain_reset leads to: 0.1 where a flag is set.
RESET_ALL_3 = ('{"env": "reset", "pos": [0.10000000149011612, 0.10000000149011612, 0.10000000149011612], '
               '"joint": [0.0, 0.5, 1.0], "list": [true, true, true]}')
RESET_NONE_3 = '{"env": "reset", "pos": [0.0, 0.0, 0.0], "joint": [0.0, 0.5, 1.0], "list": [false, false, false]}'
RESET_MIDDLE_3 = ('{"env": "reset", "pos": [0.0, 0.10000000149011612, 0.0], "joint": [0.0, 0.5, 1.0], '
                  '"list": [false, true, false]}')
RESET_1 = '{"env": "reset", "pos": [0.10000000149011612], "joint": [0.0], "list": [true]}'
STEP_1 = '{"env": "step", "action": [[0.5, -1.0]]}'
PROBE = '"probe"'  # a task the programs send last, so that nothing sent earlier can hide


def scenario(body, script, **options):
    return run_scenario(program(body), script, env=subprocess_env(), timeout=options.pop("timeout", 30), **options)


def succeeded(result):
    # A program that ends while its bridge still serves ends quietly.
    assert (result.returncode, result.stderr) == (0, ""), result.summary()


def obs_seen(rows):
    """How explain_obs should see a binary reply of `rows`."""
    values = np.asarray(rows, dtype=np.float32)
    return [{"array": "float32", "shape": list(values.shape), "writeable": False, "values": values.tolist()}]


def state_made(rows):
    """The state Recorded.explain_obs makes of a reply of `rows`."""
    values = np.asarray(rows, dtype=np.float32).astype(np.float64) * 10
    return {"array": "float64", "shape": list(values.shape), "writeable": True, "values": values.tolist()}


def flags_seen(flags):
    """What explain_reset reports: the flags, and that they are the instance's reset_array."""
    return [{"array": "bool", "shape": [len(flags)], "writeable": True, "values": flags}, True]


def error(name, message, *entries):
    """How `attempt` reports an error: a NotImplementedError from a hook has no arguments at all."""
    return {"error": name, "message": message, "args": 1 if message else 0, "entries": list(entries)}


# --- configuration checks: they fail before the bridge exists ----------------------------

class Stop(Exception):
    pass


class Unconfigured(Env):
    def connect(self, connect_func):
        # Keeps the runner and stops construction before the init task.
        self.runner = connect_func
        raise Stop


class Configured(Unconfigured):
    add_obj = ["a"]
    obs_target = [1]


def construct(cls, *args, expect=Stop, **attributes):
    """Runs the initializer on a new instance holding `attributes`; it must
    raise `expect` without putting anything on the send queue."""
    env = object.__new__(cls)
    for name, value in attributes.items():
        setattr(env, name, value)
    queued = Env.send_queue.qsize()
    with pytest.raises(expect) as caught:
        env.__init__(*args)
    assert Env.send_queue.qsize() == queued
    return env, caught.value


@pytest.mark.parametrize("num_envs", [None, 3], ids=["default", "three"])
def test_defaults_fill_what_is_missing(num_envs):
    attributes = {} if num_envs is None else {"num_envs": num_envs}
    env, _ = construct(Configured, "human", **attributes)
    count = num_envs or 1
    # gymnasium.Env declares render_mode = None, so the argument is not stored.
    assert "render_mode" not in vars(env) and env.render_mode is None
    assert env.render_fps == 20
    assert env.num_envs == count
    assert env.info_array == [{"counts": 0}] * count
    assert len({id(info) for info in env.info_array}) == count
    env.info_array[0]["counts"] = 5
    assert [info["counts"] for info in env.info_array] == [5] + [0] * (count - 1)
    assert isinstance(env.reset_array, np.ndarray)
    assert env.reset_array.dtype == np.bool_ and env.reset_array.tolist() == [True] * count
    assert callable(env.runner) and env.runner.__name__ == "myfunc"
    assert not hasattr(env, "state")


def test_values_provided_are_used_as_given():
    flags, info = [False], object()  # neither matches num_envs: not checked
    env, _ = construct(Configured, "human", render_mode="rgb_array", render_fps=None, num_envs=4,
                       info_array=info, reset_array=flags, add_obj=None, obs_target=None)
    assert env.render_mode == "rgb_array"
    assert env.render_fps is None  # present, so not replaced
    assert env.num_envs == 4 and env.info_array is info and env.reset_array is flags


def test_class_level_values_count_as_set():
    class ClassLevel(Configured):
        render_mode = "human"
        num_envs = 2
        info_array = [{"mine": 1}]

    env, _ = construct(ClassLevel, "rgb_array")
    assert not {"render_mode", "num_envs", "info_array"} & set(vars(env))
    assert env.render_mode == "human"
    assert env.reset_array.tolist() == [True, True]  # sized by the class's num_envs


def test_metadata_without_render_fps_raises_key_error():
    class NoFps(Configured):
        metadata = {"render_modes": ["human"]}

    env, caught = construct(NoFps, expect=KeyError)
    assert caught.args == ("render_fps",)
    assert "num_envs" not in vars(env)  # the later defaults were not reached
    env, _ = construct(NoFps, render_fps=30)
    assert env.render_fps == 30


@pytest.mark.parametrize("attributes, message", [
    ({}, ADD_OBJ_MISSING),
    ({"obs_target": [1]}, ADD_OBJ_MISSING),
    ({"add_obj": ["a"]}, OBS_TARGET_MISSING),
], ids=["neither", "no-add-obj", "no-obs-target"])
def test_missing_configuration_is_a_value_error(attributes, message):
    env, caught = construct(Unconfigured, expect=ValueError, **attributes)
    assert str(caught) == message
    assert traceback.extract_tb(caught.__traceback__)[-1].name == "Vesk.Vesk_Pal_st.__init__"
    assert set(vars(env)) == set(attributes)  # nothing else was touched


def test_lookup_failure_other_than_attribute_error_propagates():
    class Broken(Configured):
        @property
        def num_envs(self):
            raise RuntimeError("num_envs broke")

    env, caught = construct(Broken, expect=RuntimeError)
    assert str(caught) == "num_envs broke"
    assert vars(env) == {"render_fps": 20}  # set before the failing lookup, and kept


# --- episodes against the scripted front-end ------------------------------------------------

RESET_ROWS = np.array([[0.5, 1.0], [1.5, 2.0], [2.5, 3.0]])
STEP_ROWS = [np.arange(12).reshape(3, 4) / 4, np.array([[0.1], [0.2], [-0.3]])]
FINAL_ROWS = np.array([[7.0], [8.0], [9.0]])


def test_episode_loop_with_three_environments():
    result = scenario("""
        env = Recorded(num_envs=3, outcomes=[
            (np.array([1.0, 0.0, -1.0]), np.array([False, True, False]), np.array([True, False, False]),
             np.zeros(3, dtype=bool))])
        first = report_reset(env, env.reset())
        second = report_reset(env, env.reset(seed=7))
        report("fresh", first[1] is not second[1], first[1][0] is not second[1][0])
        report_step(env, env.step(np.array([[0.1, -1.0], [0.5, 2.0], [0.25, 0.0]])))
        report_step(env, env.step(np.array([[1, 2], [3, 4], [5, 6]], dtype=np.int64)))
        report_reset(env, env.reset())
    """, [Text("None"), Rows(RESET_ROWS), Rows(RESET_ROWS + 10), Rows(STEP_ROWS[0]), Rows(STEP_ROWS[1]),
          Rows(FINAL_ROWS)])
    succeeded(result)
    assert result.messages == [
        INIT_WIRE_3, RESET_ALL_3, RESET_ALL_3,
        '{"env": "step", "action": [[0.10000000149011612, -1.0], [0.5, 2.0], [0.25, 0.0]]}',
        '{"env": "step", "action": [[1.0, 2.0], [3.0, 4.0], [5.0, 6.0]]}',
        RESET_NONE_3,  # the flags reward gave at the latest step
    ]
    assert [entry[0] for entry in reports(result)] == (
        ["explain_reset", "explain_obs", "reset"] * 2 + ["fresh"]
        + ["explain_action", "explain_obs", "reward", "step"] * 2 + ["explain_reset", "explain_obs", "reset"])

    # Replies reach explain_obs as read-only float32 rows, one per environment.
    assert reported(result, "explain_obs") == [
        obs_seen(RESET_ROWS), obs_seen(RESET_ROWS + 10), obs_seen(STEP_ROWS[0]), obs_seen(STEP_ROWS[1]),
        obs_seen(FINAL_ROWS)]
    assert reported(result, "explain_reset") == [flags_seen([True] * 3)] * 2 + [flags_seen([False] * 3)]
    assert reported(result, "explain_action")[1] == [
        {"array": "int64", "shape": [3, 2], "writeable": True, "values": [[1, 2], [3, 4], [5, 6]]}]
    assert reported(result, "reward") == [[True], [True]]  # given the state explain_obs made

    # reset: (state, a new list of new dicts); seed changes nothing.
    fresh_info = [{"counts": 0}] * 3
    assert reported(result, "reset") == [["tuple", 2, True, fresh_info, True, 3]] * 3
    assert reported(result, "fresh") == [[True, True]]
    # step: (state, reward's own three values, the instance's info_array).
    assert reported(result, "step") == [
        ["tuple", 5, True, [True, True, True], True, state_made(rows)] for rows in STEP_ROWS]


@pytest.mark.parametrize("flags, exchanges", [
    ([False, True, False], 2),
    ([False, False, False], 1),
], ids=["one-of-three", "none"])
def test_step_resets_automatically_when_reward_flags_any(flags, exchanges):
    step_rows, reset_rows = np.full((3, 2), 4.0), np.full((3, 2), 5.0)
    result = scenario(f"""
        env = Recorded(num_envs=3)
        env.reset()
        env.outcomes = [(np.ones(3), np.zeros(3, bool), np.zeros(3, bool), np.array({flags}))]
        report_step(env, env.step(np.zeros((3, 1))))
        report("flags", env.reset_array is env.given[3])
        report("probe", env.one_task("probe"))
    """, [Text("None"), Rows(RESET_ROWS), Rows(step_rows)]
        + [Rows(reset_rows)] * (exchanges - 1) + [Text("'probe reply'")])
    succeeded(result)
    step_wire = '{"env": "step", "action": [[0.0], [0.0], [0.0]]}'
    assert result.messages == [INIT_WIRE_3, RESET_ALL_3, step_wire] + [RESET_MIDDLE_3] * (exchanges - 1) + [PROBE]
    returned_rows = reset_rows if exchanges == 2 else step_rows
    assert reported(result, "step") == [["tuple", 5, True, [True, True, True], True, state_made(returned_rows)]]
    assert reported(result, "explain_reset")[1:] == [flags_seen(flags)] * (exchanges - 1)
    assert reported(result, "flags") == [[True]]
    assert reported(result, "probe") == [["probe reply"]]


@pytest.mark.parametrize("attributes, wire", [
    ("", INIT_WIRE),
    ("render_mode='human', init_argument='rgb_array'", INIT_WIRE.replace("null", '"human"')),
    ("init_argument='rgb_array', num_envs=2, render_fps=60, add_obj=None, obs_target={'x': (1, 2)}",
     '{"env": "init", "render_mode": null, "render_fps": 60, "num_envs": 2, "target": {"x": [1, 2]}, '
     '"object": null}'),
], ids=["defaults", "render-mode-set", "own-values"])
def test_init_task_wire_text(attributes, wire):
    result = scenario(f"""
        env = Recorded({attributes})
        report("constructed", env.render_mode)
    """, [Text("None")])
    succeeded(result)
    assert result.messages == [wire]
    [[render_mode]] = reported(result, "constructed")
    assert render_mode == ("human" if "human" in attributes else None)


@pytest.mark.parametrize("action, wire", [
    ("np.array([[0.5, -1.0]])", STEP_1),
    ("np.array([0.1])", '{"env": "step", "action": [0.10000000149011612]}'),
    ("{'arm': (np.array([1, 2], dtype=np.int64), 0.1)}", '{"env": "step", "action": {"arm": [[1.0, 2.0], 0.1]}}'),
    ("[np.array(0.1), 'keep']", '{"env": "step", "action": [0.10000000149011612, "keep"]}'),
], ids=["row", "float32", "nested", "zero-dimensional"])
def test_step_wire_text_carries_float32_values(action, wire):
    result = scenario(f"""
        env = Recorded()
        env.step({action})
    """, [Text("None"), Rows([[1.0]])])
    succeeded(result)
    assert result.messages == [INIT_WIRE, wire]


def test_render_and_close_send_text_literals_and_the_bridge_keeps_running():
    result = scenario("""
        env = Recorded(render_mode="rgb_array")
        report("render", env.render())
        report("close", env.close())
        report_step(env, env.step(np.array([[0.5, -1.0]])))
    """, [Text("None"), Rows(np.ones((1, 12))), Text("'closed'"), Rows([[2.0]])])
    succeeded(result)
    assert result.messages == [INIT_WIRE.replace("null", '"rgb_array"'), RENDER_WIRE, CLOSE_WIRE, STEP_1]
    assert (len(RENDER_WIRE), len(CLOSE_WIRE)) == (22, 21)
    assert reported(result, "render") == [[None]]  # even an image reply in "rgb_array" mode
    assert reported(result, "close") == [[None]]
    assert reported(result, "explain_obs") == [obs_seen([[2.0]])]  # the discarded replies never got there
    assert reported(result, "step") == [["tuple", 5, True, [True, True, True], True, state_made([[2.0]])]]


# --- hooks left out -----------------------------------------------------------------------------

def test_subclass_without_hooks_fails_in_connect_before_any_task():
    result = run_python("""
        import threading, traceback, Vesk
        class Bare(Vesk.Vesk_Pal_st):
            add_obj = ["a"]
            obs_target = [1]
        try:
            Bare()
        except NotImplementedError as error:
            print(repr(error))
            print([entry.name for entry in traceback.extract_tb(error.__traceback__)][1:])
        print(Vesk.Vesk_Pal_st.send_queue.qsize(), threading.active_count())
    """, timeout=30)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "NotImplementedError()",
        "['Vesk.Vesk_Pal_st.__init__', 'Vesk.Vesk_Pal_st.connect']",
        "0 1",  # nothing queued, no bridge thread
    ]


def test_subclass_with_only_connect_constructs_and_fails_at_first_use():
    result = scenario("""
        class OnlyConnect(Vesk.Vesk_Pal_st):
            add_obj = ["a"]
            obs_target = [1]
            def connect(self, connect_func):
                threading.Thread(target=connect_func, daemon=True).start()
        env = OnlyConnect()
        attempt("reset", env.reset)
        attempt("step", env.step, np.zeros(1))
        report("probe", env.one_task("probe"))
    """, [Text("None"), Text("'probe reply'")])
    succeeded(result)
    assert result.messages == [INIT_WIRE, PROBE]
    assert reports(result) == [
        ["reset", error("NotImplementedError", "", "Vesk.Vesk_Pal_st.reset", "Vesk.Vesk_Pal_st.explain_reset")],
        ["step", error("NotImplementedError", "", "Vesk.Vesk_Pal_st.step", "Vesk.Vesk_Pal_st.explain_action")],
        ["probe", "probe reply"],
    ]


def left_out(hook, operation):
    return error("NotImplementedError", "", f"Vesk.Vesk_Pal_st.{operation}", f"Vesk.Vesk_Pal_st.{hook}")


ONE, TWO = state_made([[1.0]]), state_made([[2.0]])


@pytest.mark.parametrize("hook, replies, messages, outcomes, states", [
    # Fails before sending, so the next task gets the next reply.
    ("explain_reset", [Text("[[1.0]]")], [STEP_1], [left_out("explain_reset", "reset"), "ok"], ["absent", ONE]),
    ("explain_action", [Text("[[1.0]]")], [RESET_1], ["ok", left_out("explain_action", "step")], [ONE, ONE]),
    # Fails after the exchange: its reply is consumed, state is not set. The
    # base version checks for a list first.
    ("explain_obs", [Text("[[1.0]]"), Rows([[2.0]])], [RESET_1, STEP_1],
     [left_out("explain_obs", "reset"),
      error("TypeError", "Argument 'obs' has incorrect type (expected list, got numpy.ndarray)",
            "Vesk.Vesk_Pal_st.step", "Vesk.Vesk_Pal_st.explain_obs")],
     ["absent", "absent"]),
    # Fails after state was set from the step's reply.
    ("reward", [Text("[[1.0]]"), Text("[[2.0]]")], [RESET_1, STEP_1], ["ok", left_out("reward", "step")],
     [ONE, TWO]),
], ids=["explain_reset", "explain_action", "explain_obs", "reward"])
def test_hook_left_out_fails_where_it_is_first_used(hook, replies, messages, outcomes, states):
    result = scenario(f"""
        del Recorded.{hook}
        env = Recorded()
        attempt("outcome", env.reset)
        report("state", getattr(env, "state", "absent"))
        attempt("outcome", env.step, np.array([[0.5, -1.0]]))
        report("state", getattr(env, "state", "absent"))
        report("probe", env.one_task("probe"))
    """, [Text("None")] + replies + [Text("'probe reply'")])
    succeeded(result)
    assert result.messages == [INIT_WIRE] + messages + [PROBE]
    assert reported(result, "outcome") == [[outcome] for outcome in outcomes]
    assert reported(result, "state") == [[state] for state in states]
    assert reported(result, "probe") == [["probe reply"]]


# --- results of the wrong shape -------------------------------------------------------------------

def _not_iterable(message):
    return "int" in message and "iterable" in message


@pytest.mark.parametrize("outcome, name, message", [
    ("(np.ones(3), np.zeros(3, bool), np.zeros(3, bool))", "ValueError", "need more than 3 values to unpack"),
    ("[np.ones(3)]", "ValueError", "need more than 1 value to unpack"),
    ("iter(())", "ValueError", "need more than 0 values to unpack"),
    ("(flags for flags in [np.zeros(3, bool)] * 5)", "ValueError", "too many values to unpack (expected 4)"),
    ("(np.ones(3),) * 5", "ValueError", "too many values to unpack (expected 4)"),
    ("7", "TypeError", _not_iterable),
], ids=["three", "one", "none", "five-lazily", "five", "not-iterable"])
def test_reward_result_of_the_wrong_shape(outcome, name, message):
    result = scenario(f"""
        env = Recorded(num_envs=3)
        env.reset()
        before = env.reset_array
        env.outcomes = [{outcome}]
        attempt("step", env.step, np.zeros((3, 1)))
        report("after", env.state is env.made[-1], len(env.made), env.reset_array is before)
        report("probe", env.one_task("probe"))
    """, [Text("None"), Rows(RESET_ROWS), Rows(STEP_ROWS[0]), Text("'probe reply'")])
    succeeded(result)
    assert result.messages == [INIT_WIRE_3, RESET_ALL_3, '{"env": "step", "action": [[0.0], [0.0], [0.0]]}', PROBE]
    [[found]] = reported(result, "step")
    assert (found["error"], found["entries"]) == (name, ["Vesk.Vesk_Pal_st.step"]), found
    assert message(found["message"]) if callable(message) else found["message"] == message
    # The reply was consumed and state set from it; the reset flags were not replaced.
    assert reported(result, "after") == [[True, 2, True]]
    assert reported(result, "probe") == [["probe reply"]]


def test_reset_flags_without_any_are_kept_and_fail():
    result = scenario("""
        env = Recorded(num_envs=3)
        flags = [False, True, False]
        env.outcomes = [(np.ones(3), np.zeros(3, bool), np.zeros(3, bool), flags)]
        attempt("step", env.step, np.zeros((3, 1)))
        report("after", env.reset_array is flags, env.state is env.made[-1])
    """, [Text("None"), Rows(STEP_ROWS[0])])
    succeeded(result)
    assert result.messages == [INIT_WIRE_3, '{"env": "step", "action": [[0.0], [0.0], [0.0]]}']
    assert reported(result, "step") == [[error("AttributeError", "'list' object has no attribute 'any'",
                                               "Vesk.Vesk_Pal_st.step")]]
    assert reported(result, "after") == [[True, True]]


@pytest.mark.parametrize("returned, message", [
    ("('own state', 'own info')", None),
    ("(1, 2, 3)", "too many values to unpack (expected 2)"),
    ("[1]", "need more than 1 value to unpack"),
], ids=["two", "three", "one"])
def test_automatic_reset_calls_reset_through_the_instance(returned, message):
    result = scenario(f"""
        class OwnReset(Recorded):
            def reset(self, seed=None):
                report("own reset", seed, self.reset_array is self.given[3])
                return {returned}
        env = OwnReset(num_envs=3, outcomes=[
            (np.ones(3), np.zeros(3, bool), np.zeros(3, bool), np.array([False, False, True]))])
        outcome = attempt("step", env.step, np.zeros((3, 1)))
        report("after", env.state if outcome else env.state is env.made[-1])
        if outcome:
            report("returned", outcome[0], outcome[4] is env.info_array)
    """, [Text("None"), Rows(STEP_ROWS[0])])
    succeeded(result)
    assert result.messages == [INIT_WIRE_3, '{"env": "step", "action": [[0.0], [0.0], [0.0]]}']
    assert reported(result, "own reset") == [[None, True]]
    if message is None:
        # The step returns the state the reset gave, with its own info_array.
        assert reported(result, "returned") == [["own state", True]]
        assert reported(result, "after") == [["own state"]]
    else:
        assert reported(result, "step") == [[error("ValueError", message, "Vesk.Vesk_Pal_st.step")]]
        assert reported(result, "after") == [[True]]


@pytest.mark.parametrize("attributes, name, message", [
    ("explained=np.array([[0.1, 0.2]])", "ValueError", "need more than 1 value to unpack"),
    ("explained=([1], [2], [3])", "ValueError", "too many values to unpack (expected 2)"),
    ("explained=7", "TypeError", _not_iterable),
    ("reset_array=[True]", "AttributeError", "'list' object has no attribute 'tolist'"),
], ids=["one", "three", "not-iterable", "plain-list-flags"])
def test_reset_fails_before_sending(attributes, name, message):
    result = scenario(f"""
        env = Recorded({attributes})
        attempt("reset", env.reset)
        report("state", hasattr(env, "state"))
        report("probe", env.one_task("probe"))
    """, [Text("None"), Text("'probe reply'")])
    succeeded(result)
    assert result.messages == [INIT_WIRE, PROBE]
    [[flags, is_reset_array]] = reported(result, "explain_reset")  # it ran first
    assert is_reset_array and (flags == [True] if "reset_array" in attributes else flags["values"] == [True])
    [[found]] = reported(result, "reset")
    assert (found["error"], found["entries"]) == (name, ["Vesk.Vesk_Pal_st.reset"]), found
    assert message(found["message"]) if callable(message) else found["message"] == message
    assert reported(result, "state") == [[False]]
    assert reported(result, "probe") == [["probe reply"]]


# --- a failed init task -------------------------------------------------------------------------------

@pytest.mark.parametrize("attribute", ["add_obj", "obs_target"])
def test_array_left_in_the_configuration_ends_the_process(attribute):
    result = scenario(f"""
        print("configured")
        env = Recorded({attribute}=np.array([1.0, 2.0]))
        print("constructed")
    """, [Recv()])
    assert result.returncode == 1, result.summary()
    assert result.stdout == "configured\n"  # printed before the failure, not lost
    assert result.stderr == "Vesk: task failed: TypeError: Object of type ndarray is not JSON serializable\n"
    assert result.messages == []
