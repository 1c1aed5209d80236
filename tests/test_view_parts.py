"""The views' parts that need no page: infos between gymnasium's layout and
one dict per copy (against gymnasium's own `_add_info`), the hooks shadowed
on an instance, and the refusal of actions JSON cannot carry."""

import gc

import numpy as np
import pytest
from gymnasium.vector import VectorEnv

import Vesk
from veskit import _instance_hooks
from veskit._batch import refuse_non_finite
from veskit._infos import batch_infos, copy_info, restrict_infos, unbatch_infos


class Reference(VectorEnv):
    """gymnasium's own way: `_add_info` copy by copy."""

    def __init__(self, num_envs):
        self.num_envs = num_envs

    def batch(self, infos):
        out = {}
        for index, info in enumerate(infos):
            out = self._add_info(out, info, index)
        return out


def same(left, right):
    assert left.keys() == right.keys()
    for key, value in left.items():
        if isinstance(value, dict):
            same(value, right[key])
        else:
            assert value.dtype == right[key].dtype, key
            assert value.tolist() == right[key].tolist(), key


INFOS = {
    "module-default": [{"counts": 0} for _ in range(4)],
    "counts-vary": [{"counts": i} for i in range(4)],
    "float-and-bool": [{"counts": 0, "x": 0.5 * i, "ok": i % 2 == 0} for i in range(4)],
    "numpy-scalars": [{"t": np.float32(i)} for i in range(4)],
    "one-copy-extra": [{"counts": 0, "seen": 1.5}] + [{"counts": 0} for _ in range(3)],
    "mixed-types": [{"v": 1}, {"v": 2.5}, {"v": True}, {"v": 3}],
    "arrays-and-objects": [{"a": np.arange(3) + i, "o": f"text {i}"} for i in range(4)],
    "nested": [{"n": {"k": i}} for i in range(4)],
    "float-zero-counts": [{"counts": 0.0} for _ in range(4)],
}


@pytest.mark.parametrize("infos", INFOS.values(), ids=INFOS.keys())
def test_infos_batch_as_gymnasium_does_and_come_back(infos):
    reference = Reference(len(infos))
    batched = batch_infos(infos, reference._add_info)
    same(batched, reference.batch(infos))
    if infos is INFOS["mixed-types"]:
        return  # gymnasium's int array has cut 2.5 to 2: nothing to get back
    back = unbatch_infos(batched, len(infos))
    np.testing.assert_equal([copy_info(batched, index) for index in range(len(infos))], back)
    for got, sent in zip(back, infos):
        assert got.keys() == sent.keys()
        for key, value in sent.items():
            np.testing.assert_equal(got[key], value)


def test_restrict_keeps_only_the_chosen_copies():
    infos = INFOS["one-copy-extra"]
    batched = batch_infos(infos, Reference(4)._add_info)
    chosen = np.array([False, True, False, True])
    expected = Reference(4)
    reported = {}
    for index in np.flatnonzero(chosen):
        reported = expected._add_info(reported, infos[index], int(index))
    same(restrict_infos(batched, chosen), reported)  # "seen" (copy 0 only) is left out


class Unhashable(Vesk.Vesk_Pal_st):
    def __eq__(self, other):
        return False

    __hash__ = None

    def reward(self, state):
        return "class"


def hook(label):
    return lambda state: label


def test_hooks_unwind_in_reverse_order_on_an_unhashable_instance():
    env = object.__new__(Unhashable)
    env.reward = hook("own")  # an instance attribute of the user's own
    _instance_hooks.install(env, "reward", hook("view"), "VectorView")
    _instance_hooks.install(env, "reward", hook("outer"), "Outer")
    assert env.reward(None) == "outer" and _instance_hooks.owners(env, "reward") == ["VectorView", "Outer"]
    with pytest.raises(RuntimeError, match="VectorView cannot give back 'reward' while Outer still shadows it"):
        _instance_hooks.restore(env, "reward", "VectorView")
    _instance_hooks.restore(env, "reward", "Outer")
    _instance_hooks.restore(env, "reward", "VectorView")
    _instance_hooks.restore(env, "reward", "VectorView")  # a second close: nothing
    assert env.reward(None) == "own"
    del env.reward
    _instance_hooks.install(env, "reward", hook("view"), "VectorView")
    _instance_hooks.restore(env, "reward", "VectorView")
    assert env.reward(None) == "class" and "reward" not in vars(env)
    # The record goes with the instance.
    _instance_hooks.install(env, "reward", hook("view"), "VectorView")
    key = id(env)
    del env
    gc.collect()
    assert key not in _instance_hooks._layers


@pytest.mark.parametrize("actions, first, copy", [
    (np.array([[0.0], [np.nan], [1.0]]), 0, 1),
    (np.array([0.0, 1.0, np.inf]), 0, 2),
    ([[1.0], [-np.inf]], 3, 4),
    ({"move": np.zeros((2, 2)), "turn": np.array([0.0, np.nan])}, 0, 1),
    ((np.array([np.nan, 0.0]), np.array([1, 2])), 0, 0),
], ids=["nan", "inf", "list", "dict", "tuple"])
def test_non_finite_actions_are_refused_naming_the_copy(actions, first, copy):
    with pytest.raises(ValueError, match=f"^the action of copy {copy} is not finite"):
        refuse_non_finite(actions, first)


@pytest.mark.parametrize("actions", [np.array([1, 2, 3]), np.zeros((3, 2)), [0.5, 1.0], {"a": np.ones(2)}, "text"])
def test_finite_and_non_float_actions_pass(actions):
    refuse_non_finite(actions)


def test_sb3_view_over_gymnasiums_own_vector_env():
    pytest.importorskip("stable_baselines3", reason='needs the sb3 extra (pip install ".[sb3]")')
    import gymnasium as gym

    from veskit.sb3 import SB3View

    with pytest.raises(ValueError, match="resets in the same step"):
        SB3View(gym.make_vec("CartPole-v1", num_envs=2, vectorization_mode="sync"))  # next-step resets
    venv = SB3View(gym.make_vec("CartPole-v1", num_envs=2, vectorization_mode="sync",
                                vector_kwargs={"autoreset_mode": gym.vector.AutoresetMode.SAME_STEP}))
    venv.seed(0)
    venv.reset()
    for _ in range(200):
        venv.step_async(np.ones(2, dtype=np.int64))  # always right: the poles fall
        _, _, dones, infos = venv.step_wait()
        if dones.any():
            break
    index = int(np.flatnonzero(dones)[0])
    assert infos[index]["terminal_observation"].shape == (4,)
    assert infos[index]["TimeLimit.truncated"] is False
    assert venv.get_attr("render_mode", indices=[1]) == [None]
    with pytest.raises(ValueError, match="indices must select every copy"):
        venv.set_attr("marker", 1, indices=[0])
    venv.set_attr("marker", 1)
    assert venv.get_attr("marker") == [1, 1]
    venv.close()
