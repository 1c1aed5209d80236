import collections
import gc
import inspect
import sys
import traceback

import numpy as np
import pytest

import Vesk
from conftest import run_python

convert = Vesk.convert_numpy_to_list
Point = collections.namedtuple("Point", "x y")


class ListSubclass(list):
    pass


@pytest.mark.parametrize(
    "data, expected",
    [
        ([np.array([1, 2]), np.array([3, 4])], [[1.0, 2.0], [3.0, 4.0]]),
        ((np.array([1]), np.array([2])), ([1.0], [2.0])),
        (np.array([True, False]), [1.0, 0.0]),
        (np.array([0.1]), [0.10000000149011612]),
        (np.array([2**40 + 1], dtype=np.int64), [float(np.float32(2**40 + 1))]),
        (np.array([], dtype=np.int64), []),
        (np.zeros((2, 0)), [[], []]),
        (np.array(7), 7.0),
        ({"b": np.array([1]), (1, 2): (np.array([2]),)}, {"b": [1.0], (1, 2): ([2.0],)}),
        (collections.OrderedDict(a=np.array([1])), {"a": [1.0]}),
        (Point(np.array([1]), 2), ([1.0], 2)),
        (ListSubclass([np.array([1])]), [[1.0]]),
        ({"deep": [({"x": np.array([[1, 2]])},)]}, {"deep": [({"x": [[1.0, 2.0]]},)]}),
    ],
    ids=["list", "tuple", "bool", "float32", "int64", "empty", "2x0", "0d", "dict", "ordereddict", "namedtuple",
         "list-subclass", "nested"],
)
def test_converts_to_plain_containers_of_float32_values(data, expected):
    result = convert(data)
    assert result == expected
    # Containers come back as the plain base type, never the subclass.
    assert type(result) is type(expected)
    if isinstance(result, dict):
        assert list(result) == list(expected)


@pytest.mark.parametrize("value", [None, 3, 2.5, "text", b"bytes", {1, 2}, np.float32(1.5), np.int64(4)])
def test_other_values_come_back_as_the_same_object(value):
    assert convert(value) is value


def test_input_is_left_unchanged_and_results_repeat():
    array = np.array([[1, 2]], dtype=np.int32)
    data = {"a": [array, (array,)], "b": (1, {"c": array})}
    first = convert(data)
    assert convert(data) == first
    assert data["a"][0] is array and array.dtype == np.int32
    assert data == {"a": [array, (array,)], "b": (1, {"c": array})}
    assert first["a"][1] is not data["a"][1]


def test_data_by_keyword_and_argument_errors():
    assert convert(data=np.array([1])) == [1.0]
    with pytest.raises(TypeError, match=r"^convert_numpy_to_list\(\) takes exactly 1 positional argument \(0 given\)$"):
        convert()


class WrongItems(dict):
    def __init__(self, items):
        super().__init__()
        self._items = items

    def items(self):
        return self._items


@pytest.mark.parametrize(
    "items, message",
    [
        ([(1, 2, 3)], "too many values to unpack (expected 2)"),
        ([(1,)], "need more than 1 value to unpack"),
        ([()], "need more than 0 values to unpack"),
        ([iter([1])], "need more than 1 value to unpack"),
        ([iter([1, 2, 3])], "too many values to unpack (expected 2)"),
    ],
)
def test_dict_subclass_items_must_unpack_into_two(items, message):
    with pytest.raises(ValueError) as caught:
        convert(WrongItems(items))
    assert str(caught.value) == message


def test_dict_subclass_uses_its_own_items():
    data = WrongItems([["k", np.array([1])], iter(("j", 2))])
    assert convert(data) == {"k": [1.0], "j": 2}


def test_elements_go_through_the_module_level_name(monkeypatch):
    original = Vesk.convert_numpy_to_list
    seen = []

    def spy(value):
        seen.append(value)
        return "converted"

    monkeypatch.setattr(Vesk, "convert_numpy_to_list", spy)
    assert original({"a": 1, "b": [2]}) == {"a": "converted", "b": "converted"}
    assert original((3, 4)) == ("converted", "converted")
    assert seen == [1, [2], 3, 4]


def test_np_is_looked_up_at_each_use(monkeypatch):
    class HalfPrecision:
        ndarray = np.ndarray
        float32 = np.float16

    monkeypatch.setattr(Vesk, "np", HalfPrecision)
    assert convert([np.array([0.1])]) == [[float(np.float16(0.1))]]


def test_dict_changing_size_while_converted(monkeypatch):
    original = Vesk.convert_numpy_to_list
    data = {"a": 1, "b": 2}

    def growing(value):
        data[value * 10] = value
        return value

    monkeypatch.setattr(Vesk, "convert_numpy_to_list", growing)
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        original(data)


def test_numpy_error_passes_with_traceback_entries():
    with pytest.raises(ValueError) as caught:
        convert([(1, np.array(["not a number"]))])
    names = [entry.name for entry in traceback.extract_tb(caught.value.__traceback__)]
    assert names[1:] == [
        "Vesk.convert_numpy_to_list",
        "Vesk.convert_numpy_to_list",
        "Vesk.convert_numpy_to_list.genexpr",
        "Vesk.convert_numpy_to_list",
    ]


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="C-level calls have their own limit from 3.12 on")
@pytest.mark.parametrize("wrap", [lambda x: [x], lambda x: (x,), lambda x: {0: x}], ids=["list", "tuple", "dict"])
def test_each_level_counts_once_against_the_recursion_limit(wrap):
    def nested(depth):
        data = 0
        for _ in range(depth):
            data = wrap(data)
        return data

    old = sys.getrecursionlimit()
    sys.setrecursionlimit(len(inspect.stack()) + 100)
    try:
        convert(nested(80))
        with pytest.raises(RecursionError):
            convert(nested(130))
    finally:
        sys.setrecursionlimit(old)


@pytest.mark.parametrize("limit", [50, 1000, 10**6], ids=["small-limit", "default-limit", "huge-limit"])
@pytest.mark.parametrize("kind", ["list", "tuple", "dict", "self-containing"])
def test_deep_nesting_ends_in_recursion_error_not_a_crash(kind, limit):
    # A subprocess, since a stack overflow would take the test run with it.
    script = f"""
        import sys, threading, warnings
        warnings.simplefilter("ignore")
        import Vesk
        kind = {kind!r}
        if kind == "self-containing":
            data = []
            data.append(data)
        else:
            data = 0
            for _ in range(100000):
                data = [data] if kind == "list" else (data,) if kind == "tuple" else {{0: data}}
        sys.setrecursionlimit({limit})
        def run():
            try:
                Vesk.convert_numpy_to_list(data)
            except RecursionError:
                print("RecursionError")
        run()
        threading.stack_size(512 * 1024)
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
        """
    done = run_python(script, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["RecursionError", "RecursionError"]




class ProbedIterator:
    """Draws from `items` and records, at each step, what the generator that
    draws from it shows; `find(iterator)` names that generator."""

    def __init__(self, items, find):
        self.items, self.find, self.seen, self.generator = iter(items), find, [], None

    def __iter__(self):
        return self

    def __next__(self):
        self.generator = self.find(self)
        try:
            next(self.generator)
            reentry = "allowed"
        except ValueError as error:
            reentry = str(error)
        self.seen.append((self.generator.gi_running, self.generator.gi_frame is not None, reentry,
                          inspect.getgeneratorstate(self.generator)))
        return next(self.items)


class ProbedTuple(tuple):
    def __iter__(self):
        self.iterator = ProbedIterator(tuple.__iter__(self), self.find)
        return self.iterator


def vesk_generator(iterator):
    for holder in gc.get_referrers(iterator):
        if type(holder).__name__ == "genexpr":
            return holder
    raise AssertionError("no genexpr draws from the iterator")


@pytest.mark.parametrize("fails", [False, True], ids=["ends", "fails"])
@pytest.mark.parametrize("implementation", ["python", "vesk"])
def test_the_tuple_generator_shows_what_a_python_generator_shows(implementation, fails, monkeypatch):
    def element(value):
        if fails and value == 2:
            raise KeyError(value)
        return value

    data = ProbedTuple([1, 2])
    if implementation == "python":
        def convert_tuple(data):
            made = []
            data.find = lambda iterator: made[0]
            made.append(element(item) for item in data)
            return tuple(made[0])
    else:
        monkeypatch.setattr(Vesk, "convert_numpy_to_list", element)
        data.find = vesk_generator
        convert_tuple = convert

    if fails:
        with pytest.raises(KeyError):
            convert_tuple(data)
    else:
        assert convert_tuple(data) == (1, 2)
    running = (True, True, "generator already executing", inspect.GEN_RUNNING)
    assert data.iterator.seen == [running] * (2 if fails else 3)
    generator = data.iterator.generator
    assert (generator.gi_running, generator.gi_frame, inspect.getgeneratorstate(generator)) == \
        (False, None, inspect.GEN_CLOSED)
    assert generator.gi_code.co_flags & inspect.CO_GENERATOR
    assert generator.gi_yieldfrom is None
    with pytest.raises(StopIteration):
        next(generator)
