"""veskit's views (vector, single, Stable-Baselines3) over an environment
driven by the scripted front-end. Each scenario runs in its own interpreter;
its program prints one JSON line per report."""
import json
import textwrap

import numpy as np
import pytest

import Vesk
from conftest import subprocess_env
from scripted_frontend import Rows, Text, run_scenario
from veskit import SingleView, VectorView

# Cart: rows are (reward, terminated, truncated); explain_reset draws the
# starts it sends from the environment's np_random.
PRELUDE = '''
import json, threading, warnings
import numpy as np
import gymnasium as gym
import Vesk
import veskit

def report(label, *values):
    def plain(v):
        if isinstance(v, np.ndarray):
            return [plain(x) for x in v] if v.dtype == object else v.tolist()
        if isinstance(v, dict):
            return {k: plain(x) for k, x in v.items()}
        if isinstance(v, (np.generic,)):
            return v.item()
        if isinstance(v, (list, tuple)):
            return [plain(x) for x in v]
        return v
    print(json.dumps([label] + [plain(v) for v in values]), flush=True)

class Cart(Vesk.Vesk_Pal_st):
    def __init__(self, num_envs):
        self.num_envs = num_envs
        self.add_obj = None
        self.obs_target = None
        self.single_observation_space = gym.spaces.Box(-10, 10, (3,), np.float32)
        self.single_action_space = gym.spaces.Box(-1, 1, (1,), np.float32)
        super().__init__()

    def connect(self, connect_func):
        threading.Thread(target=connect_func, daemon=True).start()

    def explain_reset(self, reset_array):
        return self.np_random.uniform(-1, 1, len(reset_array)), np.zeros(len(reset_array))

    def explain_action(self, action):
        return action

    def explain_obs(self, obs):
        return obs

    def reward(self, state):
        terminated, truncated = state[:, 1] > 0.5, state[:, 2] > 0.5
        self.info_array[0]["seen"] = float(state[0, 0])
        # Flags of its own that a view must not follow: all copies at once.
        return state[:, 0], terminated, truncated, np.full(self.num_envs, bool((terminated | truncated).all()))
'''

ZEROS3 = np.zeros((3, 3))
# Copy 1 terminates, copy 2 is truncated, copy 0 goes on.
ENDING = np.array([[1.0, 0, 0], [2.0, 1, 0], [3.0, 0, 1]])
GOING = np.array([[0.5, 0, 0], [0.5, 0, 0], [0.5, 0, 0]])
RESET_ROWS = np.full((3, 3), 0.25)


def scenario(body, replies, **options):
    result = run_scenario(PRELUDE + textwrap.dedent(body), [Text("None")] + replies, env=subprocess_env(), timeout=60, **options)
    assert (result.returncode, result.stderr) == (0, ""), result.summary()
    return result


def reports(result):
    out = {}
    for line in result.stdout.splitlines():
        label, *values = json.loads(line)
        out.setdefault(label, []).append(values)
    return out


def reset_flags(message):
    return json.loads(message)["list"]


def test_same_step_reports_the_final_observation_of_exactly_the_finished_copies():
    result = scenario("""
        view = veskit.VectorView(Cart(3))
        report("meta", str(view.metadata["autoreset_mode"]), view.num_envs, str(view.observation_space))
        view.reset()
        for _ in range(2):
            obs, rewards, terminated, truncated, infos = view.step(np.zeros((3, 1), np.float32))
            report("step", obs, rewards, str(rewards.dtype), terminated, str(terminated.dtype), truncated, infos)
    """, [Rows(ZEROS3), Rows(ENDING), Rows(RESET_ROWS), Rows(GOING)])
    [meta] = reports(result)["meta"]
    assert meta == ["AutoresetMode.SAME_STEP", 3, "Box(-10.0, 10.0, (3, 3), float32)"]
    # The view resets the finished copies, not what the hook flagged (nothing).
    assert [m[:14] for m in result.messages[3:]] == ['{"env": "reset', '{"env": "step"']
    assert reset_flags(result.messages[3]) == [False, True, True]
    first, second = reports(result)["step"]
    obs, rewards, rdtype, terminated, tdtype, truncated, infos = first
    assert obs == RESET_ROWS.tolist()  # after the reset
    assert (rewards, rdtype, terminated, tdtype, truncated) == ([1, 2, 3], "float64", [False, True, False], "bool",
                                                                [False, False, True])
    assert infos["_final_obs"] == [False, True, True]
    assert infos["final_obs"] == [None, ENDING[1].tolist(), ENDING[2].tolist()]
    assert infos["_final_info"] == [False, True, True]
    # The step's info for the finished copies, the reset's info as the live one.
    assert infos["final_info"] == {"counts": [0, 0, 0], "_counts": [False, True, True]}
    assert infos["counts"] == [0, 0, 0] and infos["_counts"] == [True] * 3
    assert infos["_seen"] == [True, False, False]
    # Nothing finished: one exchange, no final keys.
    assert second[0] == GOING.tolist() and "final_obs" not in second[6] and len(result.messages) == 5


def test_next_step_resets_at_the_following_step_and_voids_it():
    result = scenario("""
        view = veskit.VectorView(Cart(3), autoreset_mode=gym.vector.AutoresetMode.NEXT_STEP)
        view.reset()
        for _ in range(2):
            obs, rewards, terminated, truncated, infos = view.step(np.zeros((3, 1), np.float32))
            report("step", obs, rewards, terminated, truncated, sorted(infos))
    """, [Rows(ZEROS3), Rows(ENDING), Rows(ENDING), Rows(RESET_ROWS)])
    first, second = reports(result)["step"]
    assert first == [ENDING.tolist(), [1, 2, 3], [False, True, False], [False, False, True],
                     ["_counts", "_seen", "counts", "seen"]]
    assert reset_flags(result.messages[4]) == [False, True, True]
    # Copies 1 and 2 restart: no reward, no flag, their action ignored.
    assert second[:4] == [RESET_ROWS.tolist(), [1, 0, 0], [False, False, False], [False, False, False]]


def test_reset_restarts_every_copy_and_seeds_reach_the_page():
    result = scenario("""
        view = veskit.VectorView(Cart(3))
        view.reset(seed=5)
        view.step(np.zeros((3, 1), np.float32))  # the hook flags nothing
        view.reset(seed=5)
        view.reset(seed=6)
        view.reset(options={"reset_mask": np.array([True, False, False])})
        try:
            view.reset(options={"other": 1})
        except ValueError as error:
            report("options", str(error))
        report("seeds", view.np_random_seed, view.env.np_random_seed)
    """, [Rows(ZEROS3), Rows(GOING), Rows(ZEROS3), Rows(ZEROS3), Rows(ZEROS3)])
    resets = [json.loads(m) for m in result.messages if m.startswith('{"env": "reset')]
    assert [r["list"] for r in resets] == [[True] * 3] * 3 + [[True, False, False]]
    assert resets[0]["pos"] == resets[1]["pos"] != resets[2]["pos"]
    assert reports(result)["seeds"] == [[6, 6]]
    assert "reset_mask" in reports(result)["options"][0][0]


def test_gymnasium_vector_wrappers_compose():
    # Newer gymnasium takes observation wrappers over next-step resets only.
    result = scenario("""
        from gymnasium.wrappers import vector as wrappers
        def stack(view, *observation_wrappers):
            env = view
            for wrapper in observation_wrappers:
                env = wrapper(env)
            return wrappers.NormalizeReward(wrappers.ClipAction(wrappers.RecordEpisodeStatistics(env)))
        env = stack(veskit.VectorView(Cart(3)))
        env.reset(seed=1)
        obs, rewards, terminated, truncated, infos = env.step(np.full((3, 1), 5.0, np.float32))
        report("same", obs, infos["final_obs"][1], infos["_episode"], infos["episode"]["r"])
        env.close()
        view = veskit.VectorView(env.unwrapped.env, autoreset_mode=gym.vector.AutoresetMode.NEXT_STEP)
        env = stack(view, lambda e: wrappers.TransformObservation(e, lambda obs: obs * 2), wrappers.NormalizeObservation)
        env.reset()
        for _ in range(2):
            obs, rewards, terminated, truncated, infos = env.step(np.zeros((3, 1), np.float32))
            report("next", bool(np.isfinite(obs).all()), obs.shape, infos.get("_episode"),
                   infos.get("episode", {}).get("r"))
    """, [Rows(ZEROS3), Rows(ENDING), Rows(RESET_ROWS), Text("None"), Rows(ZEROS3), Rows(ENDING), Rows(GOING),
          Rows(RESET_ROWS)])
    [[obs, final, has_episode, returns]] = reports(result)["same"]
    assert json.loads(result.messages[2])["action"] == [[1.0]] * 3  # clipped
    assert obs == RESET_ROWS.tolist() and final == ENDING[1].tolist()
    assert has_episode == [False, True, True] and returns[1:] == [2, 3]
    ended, restarted = reports(result)["next"]
    assert ended == [True, [3, 3], [False, True, True], [0, 2, 3]]
    assert restarted == [True, [3, 3], None, None]
    assert reset_flags(result.messages[-1]) == [False, True, True]


def test_single_view_passes_check_env_and_takes_single_env_wrappers():
    row = [[0.5, 0, 0]]
    result = scenario("""
        from gymnasium.utils.env_checker import check_env
        from gymnasium.wrappers import ClipAction, RecordEpisodeStatistics, TimeLimit
        single = veskit.SingleView(Cart(1))
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            check_env(single, skip_render_check=True)
        report("warnings", [str(w.message) for w in caught])
        env = RecordEpisodeStatistics(TimeLimit(ClipAction(single), max_episode_steps=2))
        env.reset(seed=0)
        env.step(np.array([3.0], np.float32))
        report("end", env.step(np.array([0.0], np.float32)))
        single.close()
        report("released", "reward" in vars(single.env))
    """, [Rows(row)] * 40, connect_timeout=10)
    assert reports(result)["warnings"] == [[[]]]
    [[(obs, reward, terminated, truncated, info)]] = reports(result)["end"]
    assert (reward, terminated, truncated) == (0.5, False, True)
    assert info["episode"]["r"] == 1.0 and info["counts"] == 0
    assert reports(result)["released"] == [[False]]


class Undeclared(Vesk.Vesk_Pal_st):
    num_envs = 2


@pytest.mark.parametrize("view, declared, error, words", [
    (VectorView, {}, TypeError, ["single_observation_space and single_action_space"]),
    (VectorView, {"single_observation_space": __import__("gymnasium").spaces.Discrete(2)}, TypeError,
     ["must declare single_action_space:"]),
    (SingleView, {}, ValueError, ["num_envs == 1", "has 2", "VectorView"]),
], ids=["none", "action", "single-of-two"])
def test_views_say_what_is_missing(view, declared, error, words):
    env = object.__new__(Undeclared)  # never constructed: no bridge needed
    vars(env).update(declared)
    with pytest.raises(error) as caught:
        view(env)
    assert all(word in str(caught.value) for word in words), caught.value
    assert "reward" not in vars(env)


def test_sb3_view_reports_terminal_observations():
    pytest.importorskip("stable_baselines3", reason="needs the sb3 extra")
    result = scenario("""
        from veskit.sb3 import SB3View
        venv = SB3View(Cart(3))
        venv.seed(4)
        obs = venv.reset()
        venv.step_async(np.zeros((3, 1), np.float32))
        obs, rewards, dones, infos = venv.step_wait()
        report("step", obs, str(rewards.dtype), dones, [sorted(i) for i in infos],
               [i.get("terminal_observation") for i in infos], [i["TimeLimit.truncated"] for i in infos])
        report("attrs", venv.get_attr("num_envs", [0, 2]), venv.env_method("render"), venv.reset_infos)
        venv.set_attr("marker", 7)
        try:
            venv.set_attr("marker", 8, indices=[1])
        except ValueError as error:
            report("partial", str(error))
        report("marker", venv.get_attr("marker"))
    """, [Rows(ZEROS3), Rows(ENDING), Rows(RESET_ROWS), Text("None")])
    [[obs, dtype, dones, keys, terminal, truncated]] = reports(result)["step"]
    assert obs == RESET_ROWS.tolist() and dtype == "float32" and dones == [False, True, True]
    assert keys[0] == ["TimeLimit.truncated", "counts", "seen"] and "terminal_observation" in keys[1]
    assert terminal == [None, ENDING[1].tolist(), ENDING[2].tolist()]
    assert truncated == [False, False, True]
    [[num_envs, rendered, reset_infos]] = reports(result)["attrs"]
    assert num_envs == [3, 3] and rendered == [None] * 3 and reset_infos == [{"counts": 0}] * 3
    assert "copies 0 to 2 share one: indices must select all of them or none" in reports(result)["partial"][0][0]
    assert reports(result)["marker"] == [[[7, 7, 7]]]
    assert reset_flags(result.messages[3]) == [False, True, True]


def test_views_refuse_non_finite_actions_before_sending_and_closed_use():
    result = scenario("""
        from gymnasium.error import ClosedEnvironmentError
        view = veskit.VectorView(Cart(3))
        view.reset()
        for bad in (np.array([[0.0], [0.0], [np.nan]]), [[np.inf], [0.0], [0.0]]):
            try:
                view.step(bad)
            except ValueError as error:
                report("refused", str(error))
        view.step(np.zeros((3, 1)))
        view.close()
        for call in (lambda: view.step(np.zeros((3, 1))), view.reset, view.render):
            try:
                call()
            except ClosedEnvironmentError as error:
                report("closed", str(error))
        report("released", "reward" in vars(view.env))
    """, [Rows(ZEROS3), Rows(GOING), Text("None")])
    refused = [message for [message] in reports(result)["refused"]]
    assert refused[0].startswith("the action of copy 2 is not finite ([nan])")
    assert refused[1].startswith("the action of copy 0 is not finite ([inf])")
    assert all("nothing was sent" in message for message in refused)
    # init, reset, the one finite step, close: nothing for the refused ones.
    assert [json.loads(m)["env"] if m.startswith("{") else json.loads(json.loads(m))["env"]
            for m in result.messages] == ["init", "reset", "step", "close"]
    assert len(reports(result)["closed"]) == 3 and reports(result)["released"] == [[False]]
