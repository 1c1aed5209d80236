"""The C++ shortcuts give what the Python calls they stand in for give, and
step aside as soon as the object they replace is not the standard one:
json.dumps for one_task's text, astype(float32).tolist() in
convert_numpy_to_list."""
import collections
import enum
import json
import queue
import struct
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import Vesk

convert = Vesk.convert_numpy_to_list


class Probe(Vesk.Vesk_Pal_st):
    num_envs = 1


def text_of(msg):
    """The text one_task puts on the queue, without a bridge: the probe's own
    queue shadows the class's and nothing is read back."""
    probe = object.__new__(Probe)
    probe.send_queue = queue.Queue()
    probe.one_task(msg, False)
    return probe.send_queue.get_nowait()


# --- json.dumps ------------------------------------------------------------

class Count(int):
    def __repr__(self):
        return "Count()"


class Colour(enum.IntEnum):
    RED = 1


class Text(str):
    pass


class Real(float):
    def __repr__(self):
        return "Real()"


floats = st.one_of(
    st.floats(),  # every magnitude, subnormals, -0.0, inf and NaN
    st.floats(width=32).map(float),  # float32 values widened, as convert_numpy_to_list makes them
    st.sampled_from([1e16, 9999999999999998.0, 1e-4, 9.999999999999999e-05, 1e-5, 5e-324, 1.7976931348623157e308,
                     0.1, 123456789.0, -0.0]),
)
leaves = st.one_of(
    st.none(), st.booleans(), floats,
    st.integers(), st.integers(min_value=-(10**400), max_value=10**400),
    st.text(), st.text(st.characters(blacklist_categories=())),  # lone surrogates too
    st.builds(Count, st.integers()), st.just(Colour.RED), st.builds(Text, st.text()), st.builds(Real, floats),
)
keys = st.one_of(st.text(), st.integers(), st.floats(), st.booleans(), st.none())
data = st.recursive(
    leaves,
    lambda inner: st.one_of(
        st.lists(inner, max_size=6),
        st.lists(inner, max_size=6).map(tuple),
        st.dictionaries(st.text(), inner, max_size=6),
        st.dictionaries(keys, inner, max_size=4),
        st.dictionaries(st.text(), inner, max_size=4).map(collections.OrderedDict),
    ),
    max_leaves=40,
)


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data)
def test_text_is_what_json_dumps_gives(value):
    assert text_of(value) == json.dumps(value)


@settings(max_examples=200, deadline=None)
@given(hnp.arrays(np.float64, hnp.array_shapes(max_dims=3, max_side=5), elements=st.floats(width=64)))
def test_converted_arrays_encode_like_json_dumps(array):
    with np.errstate(all="ignore"):
        message = {"env": "step", "action": convert(array)}
    assert text_of(message) == json.dumps(message)


def test_data_deeper_than_the_encoder_goes_to_json_dumps():
    deep = 0
    for _ in range(200):
        deep = [deep]
    assert text_of(deep) == json.dumps(deep)


def replaced_module():
    class Replacement:
        @staticmethod
        def dumps(value):
            return "replaced module"
    return Replacement


@pytest.mark.parametrize(
    "replace, changes_text",
    [
        (lambda mp: mp.setattr(Vesk, "json", replaced_module()), True),
        (lambda mp: mp.setattr(json, "dumps", lambda value: "replaced dumps"), True),
        (lambda mp: mp.setitem(json.dumps.__kwdefaults__, "sort_keys", True), True),
        (lambda mp: mp.setattr(json, "_default_encoder", json.JSONEncoder(separators=(",", ":"))), True),
        (lambda mp: mp.setattr(json._default_encoder, "ensure_ascii", False), True),
        (lambda mp: mp.setattr(json.JSONEncoder, "item_separator", ";"), True),
        (lambda mp: mp.setattr(json.JSONEncoder, "encode", lambda self, o: "replaced encode"), True),
        (lambda mp: mp.setattr(json.encoder, "encode_basestring_ascii", lambda s: '"replaced string"'), True),
        (lambda mp: mp.setattr(json.encoder, "c_make_encoder", None), False),  # the Python encoder: same text
    ],
    ids=["module", "dumps", "dumps-defaults", "default-encoder", "encoder-setting", "class-separator",
         "class-method", "string-encoder", "c-encoder"],
)
def test_a_replaced_json_is_honoured(monkeypatch, replace, changes_text):
    message = {"b": [1.5, "é", (True, None)], "a": {"x": 1}}
    standard = text_of(message)
    replace(monkeypatch)
    expected = Vesk.json.dumps(message)
    assert text_of(message) == expected
    assert (expected != standard) == changes_text


# --- astype(np.float32).tolist() --------------------------------------------------

def float_bits(value):
    """Nested floats as their bit patterns, so NaNs and -0.0 compare exactly."""
    if isinstance(value, list):
        return [float_bits(v) for v in value]
    assert type(value) is float
    return struct.pack("<d", value)


dtypes = st.sampled_from([np.float64, np.float32, np.int64, np.int32, np.int16, np.int8, np.uint64, np.uint32,
                          np.uint16, np.uint8, np.bool_, np.float16, ">f8", np.complex64])


@settings(max_examples=300, deadline=None)
@given(hnp.arrays(dtypes, hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=4)), st.booleans())
def test_arrays_convert_like_astype_tolist(array, transposed):
    if transposed:
        array = array.T  # not C-contiguous once it has two dimensions
    with warnings.catch_warnings(record=True) as ours, np.errstate(all="warn"):
        warnings.simplefilter("always")
        result = convert(array)
    with warnings.catch_warnings(record=True) as numpys, np.errstate(all="warn"):
        warnings.simplefilter("always")
        expected = array.astype(np.float32).tolist()
    assert float_bits(result) == float_bits(expected)
    assert [str(w.message) for w in ours] == [str(w.message) for w in numpys]


@pytest.mark.parametrize("value", [1e300, 1e-300, -1e-40], ids=["overflow", "underflow", "subnormal"])
def test_cast_errors_follow_numpys_errstate(value):
    array = np.array([[value, 1.0]])
    with np.errstate(all="raise"), pytest.raises(FloatingPointError):
        convert(array)
    with np.errstate(all="ignore"):
        assert convert(array) == array.astype(np.float32).tolist()


class Recording(np.ndarray):
    def astype(self, dtype, *args, **kwargs):
        return np.asarray(self).astype(np.float16)


@pytest.mark.parametrize(
    "replace, expected",
    [
        (lambda mp: mp.setattr(np, "float32", np.float16), [float(np.float16(0.1))]),
        (lambda mp: mp.setattr(np, "ndarray", list), np.array([0.1])),  # no longer an array: returned as it is
        (lambda mp: mp.setattr(Vesk, "np", type("Half", (), {"ndarray": np.ndarray, "float32": np.float16})),
         [float(np.float16(0.1))]),
    ],
    ids=["numpy-float32", "numpy-ndarray", "module-np"],
)
def test_a_replaced_numpy_is_honoured(monkeypatch, replace, expected):
    array = np.array([0.1])
    replace(monkeypatch)
    result = convert(array)
    if isinstance(expected, np.ndarray):
        assert result is array
    else:
        assert result == expected


def test_an_array_subclass_keeps_its_own_astype():
    array = np.array([0.1]).view(Recording)
    assert convert([array]) == [[float(np.float16(0.1))]]


# --- reset_array.any() in step -------------------------------------------------------

class Offline(Vesk.Vesk_Pal_st):
    """step without a bridge: one_task is overridden, as a subclass may."""
    num_envs = 3
    info_array = []

    def one_task(self, msg, replyable=True):
        self.sent.append(msg["env"])
        return np.zeros((3, 2), np.float32)

    def explain_action(self, action):
        return action

    def explain_reset(self, reset_array):
        return None, None

    def explain_obs(self, obs):
        return obs

    def reward(self, state):
        return 0, 0, 0, self.flags


class ClaimsAny(np.ndarray):
    def any(self, *args, **kwargs):
        return True


@pytest.mark.parametrize("flags, resets", [
    (np.array([False, True, False]), True),
    (np.zeros(3, bool), False),
    (np.array([0, 2, 0], dtype=np.uint8).view(bool), True),
    (np.array([False, False, True, True, False, False])[::2], True),  # strided: any() is called
    (np.zeros(3, bool).view(ClaimsAny), True),  # a subclass keeps its own any()
    (np.array([0.0, 0.5, 0.0]), True),
    (np.zeros(3), False),
], ids=["one-set", "none-set", "raw-byte-2", "strided", "subclass", "float", "float-zeros"])
def test_step_resets_as_the_flags_any_says(flags, resets):
    env = object.__new__(Offline)
    env.sent, env.flags = [], flags
    env.step(np.zeros(3))
    assert env.sent == (["step", "reset"] if resets else ["step"])


# --- step's action text straight from the array ----------------------------------------

class Stepper(Vesk.Vesk_Pal_st):
    """step without a bridge: its own queues, the reply put beforehand."""
    num_envs = 1
    info_array = []

    def explain_action(self, action):
        return action

    def explain_obs(self, obs):
        return obs

    def reward(self, state):
        return 0, 0, 0, np.zeros(1, bool)


def step_text(action, cls=Stepper):
    env = object.__new__(cls)
    env.send_queue, env.reply_quene = queue.Queue(), queue.Queue()
    env.reply_quene.put(b"\0\0\0\0")
    env.step(action)
    return env.send_queue.get_nowait()


def step_json(action):
    with np.errstate(all="ignore"):
        return json.dumps({"env": "step", "action": convert(action)})


@settings(max_examples=300, deadline=None)
@given(hnp.arrays(st.sampled_from([np.float64, np.float32]),
                  hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=5), elements=st.floats(width=32)),
       st.booleans())
def test_step_text_from_an_array_is_what_json_dumps_gives(array, transposed):
    if transposed:
        array = array.T
    assert step_text(array) == step_json(array)


@pytest.mark.parametrize("value", [1e300, 1e-300], ids=["overflow", "underflow"])
def test_step_of_an_array_that_casts_loudly_follows_numpys_errstate(value):
    array = np.array([value, 0.5])
    with np.errstate(all="raise"), pytest.raises(FloatingPointError):
        step_text(array)
    with np.errstate(all="ignore"):
        assert step_text(array) == step_json(array)


class OwnOneTask(Stepper):
    def one_task(self, msg, replyable=True):
        self.sent = msg
        return np.zeros((1, 1), np.float32)


class Looked(Stepper):
    def __getattr__(self, name):
        raise AttributeError(name)


class LookedUp(Stepper):
    @property
    def one_task(self):
        self.lookups = getattr(self, "lookups", 0) + 1
        return super().one_task


@pytest.mark.parametrize(
    "replace, cls, expected",
    [
        (lambda mp: mp.setattr(Vesk, "json", replaced_module()), Stepper, "replaced module"),
        (lambda mp: mp.setattr(json, "dumps", lambda value: repr(value)), Stepper,
         "{'env': 'step', 'action': [[0.5, -1.0]]}"),
        (lambda mp: mp.setattr(Vesk, "convert_numpy_to_list", lambda value: "converted"), Stepper,
         '{"env": "step", "action": "converted"}'),
        (lambda mp: None, Looked, '{"env": "step", "action": [[0.5, -1.0]]}'),
        (lambda mp: mp.setattr(Stepper, "one_task", lambda self, msg: Vesk.Vesk_Pal_st.one_task(self, msg)), Stepper,
         '{"env": "step", "action": [[0.5, -1.0]]}'),
    ],
    ids=["json-module", "json-dumps", "convert", "getattr-hook", "wrapped-one_task"],
)
def test_step_of_an_array_honours_what_is_replaced(monkeypatch, replace, cls, expected):
    replace(monkeypatch)
    assert step_text(np.array([[0.5, -1.0]]), cls) == expected


def test_one_task_is_looked_up_once_per_task():
    env = object.__new__(LookedUp)
    env.send_queue, env.reply_quene = queue.Queue(), queue.Queue()
    env.reply_quene.put(b"\0\0\0\0")
    env.step(np.array([[0.5, -1.0]]))
    assert env.lookups == 1
    assert env.send_queue.get_nowait() == '{"env": "step", "action": [[0.5, -1.0]]}'


def test_an_overridden_one_task_gets_the_converted_action():
    env = object.__new__(OwnOneTask)
    env.step(np.array([[0.1, 2.0]]))
    assert env.sent == {"env": "step", "action": convert(np.array([[0.1, 2.0]]))}
