"""The module's function objects: the methods of Vesk_Pal_st (the module's own
function type) and the four module-level built-in functions. Where Python has
the reference behaviour, the same test runs against a plain Python function."""
import functools
import inspect
import os
import shutil
import subprocess
import sys
import sysconfig
import traceback
import types
from abc import ABCMeta, abstractmethod

import gymnasium
import numpy as np
import pytest

import Vesk
from conftest import run_python

Env = Vesk.Vesk_Pal_st


class ReferenceEnv(gymnasium.Env):
    """The class written in Python: the reference for introspection and binding."""

    def __init__(self, render_mode=None): pass

    @abstractmethod
    def explain_reset(self, reset_array: "np.ndarray") -> "np.ndarray": pass

    @abstractmethod
    def explain_action(self, action: "np.ndarray"): pass

    @abstractmethod
    def explain_obs(self, obs: "list"): pass

    @abstractmethod
    def reward(self, state: "np.ndarray"): pass

    @abstractmethod
    def connect(self, connect_func: "Callable"): pass

    def step(self, action: "np.ndarray"): pass

    def reset(self, seed=None): pass

    def render(self): pass

    def close(self): pass

    def one_task(self, msg, replyable=True): pass

    def start_queue(self): pass

    def upload(self, folder_path: "str", folder_name: "str"): pass


METHODS = [
    "__init__", "explain_reset", "explain_action", "explain_obs", "reward", "connect",
    "step", "reset", "render", "close", "one_task", "start_queue", "upload",
]
HOOKS = ["explain_reset", "explain_action", "explain_obs", "reward", "connect"]


class Sub(Env):
    num_envs = 1


@pytest.fixture
def env():
    # Never __init__: that starts the bridge.
    return object.__new__(Sub)


# Every test runs against both implementations: "python" for the reference
# class, "vesk" for the module's class.
@pytest.fixture(params=["python", "vesk"])
def cls(request):
    return ReferenceEnv if request.param == "python" else Env


def test_a_default_replaced_during_the_call_stays_alive_for_it():
    # one_task uses its default flag after running the queue's put, which
    # here replaces __defaults__: the old default must outlive the call.
    result = run_python("""
        import sys, Vesk
        class Flag:
            def __bool__(self):
                return False
        class Queue:
            def put(self, item):
                Vesk.Vesk_Pal_st.one_task.__defaults__ = (True,)
        env = object.__new__(Vesk.Vesk_Pal_st)
        env.send_queue = Queue()
        saved = Vesk.Vesk_Pal_st.one_task.__defaults__
        Vesk.Vesk_Pal_st.one_task.__defaults__ = (Flag(),)
        print(env.one_task("message"))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "None\n"


WRITABLE = ["__name__", "__qualname__", "__module__", "__doc__", "__defaults__", "__kwdefaults__",
            "__annotations__", "__dict__"]


@pytest.fixture
def restore():
    """Undoes changes to the attributes of shared function objects."""
    saved = []

    def remember(function):
        state = {name: getattr(function, name) for name in WRITABLE}
        state["__annotations__"] = dict(state["__annotations__"])
        state["__dict__"] = dict(state["__dict__"])
        saved.append((function, state))
        return function

    yield remember
    for function, state in reversed(saved):
        for name, value in state.items():
            setattr(function, name, value)


# --- introspection -----------------------------------------------------------

class TestIntrospection:
    @pytest.mark.parametrize("name", METHODS)
    def test_attributes(self, name):
        function = vars(Env)[name]
        assert type(function).__name__ == "function"
        assert function.__name__ == name
        assert function.__qualname__ == "Vesk_Pal_st." + name
        assert function.__module__ == "Vesk"
        assert function.__doc__ is None
        assert function.__globals__ is vars(Vesk)

    @pytest.mark.parametrize("name", METHODS)
    def test_same_as_python(self, name):
        ours, reference = vars(Env)[name], vars(ReferenceEnv)[name]
        assert str(inspect.signature(ours)) == str(inspect.signature(reference))
        assert ours.__defaults__ == reference.__defaults__
        assert ours.__kwdefaults__ is None and reference.__kwdefaults__ is None
        assert ours.__annotations__ == reference.__annotations__
        assert type(ours.__annotations__) is dict
        assert inspect.getfullargspec(ours) == inspect.getfullargspec(reference)
        assert getattr(ours, "__isabstractmethod__", False) == getattr(reference, "__isabstractmethod__", False)

    @pytest.mark.parametrize("name", METHODS)
    def test_code(self, name):
        code, reference = vars(Env)[name].__code__, vars(ReferenceEnv)[name].__code__
        assert isinstance(code, types.CodeType)
        assert code.co_name == name
        assert code.co_argcount == reference.co_argcount
        assert code.co_varnames[:code.co_argcount] == reference.co_varnames[:reference.co_argcount]
        assert (code.co_posonlyargcount, code.co_kwonlyargcount) == (0, 0)
        assert not code.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS | inspect.CO_COROUTINE)

    @pytest.mark.parametrize("name, defaults", [("__init__", (None,)), ("reset", (None,)),
                                                ("one_task", (True,)), ("step", None)])
    def test_defaults(self, name, defaults):
        assert vars(Env)[name].__defaults__ == defaults

    def test_one_task_signature(self):
        assert str(inspect.signature(Env.one_task)) == "(self, msg, replyable=True)"

    def test_annotations_are_strings(self):
        assert Env.explain_reset.__annotations__ == {"reset_array": "np.ndarray", "return": "np.ndarray"}
        assert Env.upload.__annotations__ == {"folder_path": "str", "folder_name": "str"}
        assert Env.render.__annotations__ == {}

    @pytest.mark.parametrize("name", METHODS)
    def test_abstract_marks_live_only_in_the_hooks_dict(self, name):
        function = vars(Env)[name]
        if name in HOOKS:
            assert vars(function) == {"__isabstractmethod__": True}
            assert function.__isabstractmethod__ is True
        else:
            assert vars(function) == {}
            assert not hasattr(function, "__isabstractmethod__")

    def test_abstract_marks_are_seen_by_abcmeta(self, cls):
        class Redeclared(cls, metaclass=ABCMeta):
            reward = cls.reward
            step = cls.step

        assert Redeclared.__abstractmethods__ == frozenset({"reward"})
        with pytest.raises(TypeError):
            Redeclared()
        assert not inspect.isabstract(cls)


def python_signature(name):
    """The signature a Python function with the documented parameters has."""
    source = {
        "convert_numpy_to_list": lambda data: None,
        "copy_files": lambda source_folder, destination_folder, index=0: None,
        "upload": lambda folder_path, folder_name: None,
        "log_one_task": lambda func: None,
    }[name]
    return str(inspect.signature(source))


@pytest.mark.parametrize("name", ["convert_numpy_to_list", "copy_files", "upload", "log_one_task"])
def test_module_function_signatures(name):
    function = getattr(Vesk, name)
    assert str(inspect.signature(function)) == python_signature(name)
    assert function.__doc__ is None


# --- binding -----------------------------------------------------------------

class TestBinding:
    def test_class_access_gives_the_function(self, cls):
        function = vars(cls)["reset"]
        assert cls.reset is function
        assert function.__get__(None, cls) is function

    def test_instance_access_binds(self, cls):
        instance = object.__new__(cls)
        function = vars(cls)["one_task"]
        bound = instance.one_task
        assert type(bound) is types.MethodType
        assert bound.__func__ is function
        assert bound.__self__ is instance
        assert bound == instance.one_task
        assert bound.__name__ == "one_task"
        assert inspect.ismethod(bound)
        assert str(inspect.signature(bound)) == "(msg, replyable=True)"

    def test_binds_to_any_object(self, cls):
        function = vars(cls)["render"]
        bound = function.__get__(42, int)
        assert bound.__self__ == 42 and bound.__func__ is function

    def test_classmethod_and_staticmethod_wrapping(self, cls):
        function = vars(cls)["close"]
        holder = type("Holder", (), {"c": classmethod(function), "s": staticmethod(function)})
        assert holder.c.__self__ is holder and holder.c.__func__ is function
        assert holder().s is function

    def test_subclass_override_through_attribute_lookup(self, cls):
        sub = type("Sub", (cls,), {"render": lambda self: "mine"})
        assert object.__new__(sub).render() == "mine"
        assert super(sub, object.__new__(sub)).render.__func__ is vars(cls)["render"]

    def test_bound_call_passes_the_instance(self, env):
        # explain_obs accepts a list, then refuses with an empty NotImplementedError.
        with pytest.raises(NotImplementedError) as caught:
            env.explain_obs([1.0])
        assert caught.value.args == ()
        with pytest.raises(NotImplementedError):
            Env.explain_obs(env, obs=[])
        with pytest.raises(NotImplementedError):
            types.MethodType(Env.explain_obs, env)([])


# --- attributes and __dict__ ---------------------------------------------------

def reference_function(self):
    pass


@pytest.fixture(params=["python", "vesk"])
def function(request, restore):
    if request.param == "python":
        return restore(reference_function)
    return restore(Env.render)


class TestAttributes:
    def test_setting_attributes_through_dict(self, function):
        function.custom = 1
        assert vars(function)["custom"] == 1
        vars(function)["other"] = 2
        assert function.other == 2
        del function.custom
        assert not hasattr(function, "custom")
        with pytest.raises(AttributeError):
            del function.custom
        function.__dict__ = {"replaced": True}
        assert function.replaced is True and vars(function) == {"replaced": True}

    @pytest.mark.parametrize("name, value", [
        ("__name__", "other"), ("__qualname__", "Other.other"), ("__doc__", "text"),
        ("__defaults__", (1,)), ("__defaults__", None), ("__annotations__", {"x": "int"}),
        ("__kwdefaults__", {"a": 1}), ("__module__", "elsewhere"),
    ])
    def test_set_and_read_back(self, function, name, value):
        setattr(function, name, value)
        assert getattr(function, name) == value

    @pytest.mark.parametrize("name, value", [
        ("__name__", 1), ("__qualname__", None), ("__defaults__", [1]), ("__kwdefaults__", [1]),
        ("__annotations__", 5), ("__dict__", 5),
    ])
    def test_set_wrong_type_same_error_as_python(self, function, name, value):
        with pytest.raises(TypeError) as ours:
            setattr(function, name, value)
        with pytest.raises(TypeError) as python:
            setattr(lambda: None, name, value)
        assert str(ours.value) == str(python.value)

    @pytest.mark.parametrize("name", ["__name__", "__qualname__", "__dict__"])
    def test_refused_deletion_same_error_as_python(self, function, name):
        with pytest.raises(TypeError) as ours:
            delattr(function, name)
        with pytest.raises(TypeError) as python:
            delattr(lambda: None, name)
        assert str(ours.value) == str(python.value)

    @pytest.mark.parametrize("name, after", [("__defaults__", None), ("__kwdefaults__", None),
                                             ("__doc__", None), ("__annotations__", {})])
    def test_deletion_allowed_as_in_python(self, function, name, after):
        delattr(function, name)
        assert getattr(function, name) == after

    def test_globals_is_read_only(self, function):
        with pytest.raises(AttributeError):
            function.__globals__ = {}

    def test_defaults_drive_argument_checking(self, env, restore):
        reset = restore(Env.reset)
        reset.__defaults__ = None
        with pytest.raises(TypeError) as caught:
            env.reset()
        assert str(caught.value) == "reset() takes exactly 2 positional arguments (1 given)"


# --- functools.wraps -------------------------------------------------------------

@pytest.mark.parametrize("name", ["explain_reset", "one_task", "render", "upload"])
def test_wraps_copies_from_our_function_as_from_python(name):
    def wrap(function):
        @functools.wraps(function)
        def wrapper(*args, **kwargs):
            return function(*args, **kwargs)
        return wrapper

    ours, reference = wrap(vars(Env)[name]), wrap(vars(ReferenceEnv)[name])
    assert ours.__wrapped__ is vars(Env)[name]
    assert ours.__name__ == reference.__name__ == name
    assert ours.__qualname__ == "Vesk_Pal_st." + name
    assert ours.__module__ == "Vesk"
    assert ours.__doc__ is None
    assert ours.__annotations__ == reference.__annotations__
    assert str(inspect.signature(ours)) == str(inspect.signature(reference))
    assert {k: v for k, v in vars(ours).items() if k != "__wrapped__"} == \
        {k: v for k, v in vars(reference).items() if k != "__wrapped__"}


def test_update_wrapper_onto_our_function(function):
    def source(a, b: "int" = 2) -> "str":
        """Source text."""

    source.marker = "m"
    result = functools.update_wrapper(function, source)
    assert result is function
    assert function.__name__ == "source"
    assert function.__qualname__ == source.__qualname__
    assert function.__module__ == __name__
    assert function.__doc__ == "Source text."
    assert function.__annotations__ == {"b": "int", "return": "str"}
    assert function.marker == "m"
    assert function.__wrapped__ is source
    assert str(inspect.signature(function)) == "(a, b: 'int' = 2) -> 'str'"


@pytest.mark.skipif(sys.version_info < (3, 12), reason="functions have __type_params__ from Python 3.12")
class TestTypeParams:
    """__type_params__ as Python functions have it; a fresh function of each
    kind per test (log_one_task's wrapper is of the module's type)."""

    @pytest.fixture(params=["python", "vesk"])
    def fresh(self, request):
        def reference(self, msg, replyable=True): pass
        return reference if request.param == "python" else Vesk.log_one_task(reference)

    def test_empty_by_default_and_settable_to_a_tuple(self, fresh):
        assert fresh.__type_params__ == ()
        fresh.__type_params__ = ("T",)
        assert fresh.__type_params__ == ("T",) and "__type_params__" not in vars(fresh)

    @pytest.mark.parametrize("change", [lambda f: setattr(f, "__type_params__", ["T"]),
                                        lambda f: setattr(f, "__type_params__", None),
                                        lambda f: delattr(f, "__type_params__")], ids=["list", "none", "delete"])
    def test_refusals_as_python(self, fresh, change):
        def python(): pass
        with pytest.raises(TypeError) as ours:
            change(fresh)
        with pytest.raises(TypeError) as reference:
            change(python)
        assert str(ours.value) == str(reference.value)

    def test_wraps_sets_it_instead_of_leaving_it_in_the_dict(self, fresh):
        def source(): pass
        source.__type_params__ = ("T",)
        functools.update_wrapper(fresh, source)
        assert fresh.__type_params__ == ("T",)
        assert set(vars(fresh)) <= {"__wrapped__"}


# --- argument errors -----------------------------------------------------------------

class StrSub(str):
    pass


class ListSub(list):
    pass


def count_cases():
    return [
        # (call, message)
        (lambda e: e.step(), "step() takes exactly 2 positional arguments (1 given)"),
        (lambda e: e.step(1, 2), "step() takes exactly 2 positional arguments (3 given)"),
        (lambda e: e.render(1), "render() takes exactly 1 positional argument (2 given)"),
        (lambda e: Env.render(), "render() takes exactly 1 positional argument (0 given)"),
        (lambda e: e.reward(), "reward() takes exactly 2 positional arguments (1 given)"),
        (lambda e: e.one_task(), "one_task() takes at least 2 positional arguments (1 given)"),
        (lambda e: e.one_task(1, 2, 3), "one_task() takes at most 3 positional arguments (4 given)"),
        (lambda e: e.reset(1, 2), "reset() takes at most 2 positional arguments (3 given)"),
        (lambda e: Env.reset(), "reset() takes at least 1 positional argument (0 given)"),
        (lambda e: Env.__init__(), "__init__() takes at least 1 positional argument (0 given)"),
        (lambda e: e.upload("a"), "upload() takes exactly 3 positional arguments (2 given)"),
        (lambda e: Vesk.convert_numpy_to_list(), "convert_numpy_to_list() takes exactly 1 positional argument (0 given)"),
        (lambda e: Vesk.log_one_task(1, 2), "log_one_task() takes exactly 1 positional argument (2 given)"),
        (lambda e: Vesk.upload("a"), "upload() takes exactly 2 positional arguments (1 given)"),
        (lambda e: Vesk.copy_files(), "copy_files() takes at least 2 positional arguments (0 given)"),
        (lambda e: Vesk.copy_files(1, 2, 3, 4), "copy_files() takes at most 3 positional arguments (4 given)"),
        # A required parameter missing after keywords: "given" counts the
        # parameters before the first missing one.
        (lambda e: e.one_task(replyable=False), "one_task() takes at least 2 positional arguments (1 given)"),
        (lambda e: Env.one_task(msg=1), "one_task() takes at least 2 positional arguments (0 given)"),
        (lambda e: Vesk.copy_files("a", index=1), "copy_files() takes at least 2 positional arguments (1 given)"),
        (lambda e: Vesk.copy_files(destination_folder="b"), "copy_files() takes at least 2 positional arguments (0 given)"),
        (lambda e: Vesk.upload(folder_name="b"), "upload() takes exactly 2 positional arguments (0 given)"),
        (lambda e: Env.upload(e, folder_name="b"), "upload() takes exactly 3 positional arguments (1 given)"),
    ]


def keyword_cases():
    return [
        (lambda e: e.step(1, foo=2), "step() got an unexpected keyword argument 'foo'"),
        (lambda e: e.render(self=1), "render() got multiple values for keyword argument 'self'"),
        (lambda e: e.step(1, action=2), "step() got multiple values for keyword argument 'action'"),
        (lambda e: e.one_task(1, replyable=False, msg=2), "one_task() got multiple values for keyword argument 'msg'"),
        (lambda e: e.explain_obs([], observation=[]), "explain_obs() got an unexpected keyword argument 'observation'"),
        (lambda e: Vesk.convert_numpy_to_list(data=1, extra=2), "convert_numpy_to_list() got an unexpected keyword argument 'extra'"),
        (lambda e: Vesk.copy_files("a", "b", source_folder="c"), "copy_files() got multiple values for keyword argument 'source_folder'"),
        (lambda e: Vesk.log_one_task(len, function=len), "log_one_task() got an unexpected keyword argument 'function'"),
    ]


def type_cases():
    wrong = "Argument '{}' has incorrect type (expected {}, got {})"
    return [
        (lambda e: Vesk.upload(None, "b"), wrong.format("folder_path", "str", "NoneType")),
        (lambda e: Vesk.upload("a", b"b"), wrong.format("folder_name", "str", "bytes")),
        (lambda e: Vesk.upload(1, None), wrong.format("folder_path", "str", "int")),
        (lambda e: Vesk.upload(folder_name="b", folder_path=None), wrong.format("folder_path", "str", "NoneType")),
        (lambda e: e.upload("a", None), wrong.format("folder_name", "str", "NoneType")),
        (lambda e: Env.upload(e, ["a"], "b"), wrong.format("folder_path", "str", "list")),
        (lambda e: e.explain_obs((1,)), wrong.format("obs", "list", "tuple")),
        (lambda e: e.explain_obs(None), wrong.format("obs", "list", "NoneType")),
        (lambda e: e.explain_obs(np.zeros(2)), wrong.format("obs", "list", "numpy.ndarray")),
        (lambda e: e.explain_obs(obs={}), wrong.format("obs", "list", "dict")),
        # Through PyObject_Call with a keyword dict.
        (lambda e: functools.partial(Env.explain_obs, e)(**{"obs": ()}), wrong.format("obs", "list", "tuple")),
        (lambda e: Vesk.upload(*["a"], **{"folder_name": None}), wrong.format("folder_name", "str", "NoneType")),
    ]


@pytest.mark.parametrize("call, message", count_cases() + keyword_cases() + type_cases())
def test_argument_errors(env, call, message):
    with pytest.raises(TypeError) as caught:
        call(env)
    assert str(caught.value) == message


@pytest.mark.parametrize("call, start", [
    (lambda e: Vesk.upload(StrSub("a"), "b"), "Argument 'folder_path' has incorrect type (expected str, got StrSub)"),
    (lambda e: e.upload("a", StrSub("b")), "Argument 'folder_name' has incorrect type (expected str, got StrSub)"),
    (lambda e: e.explain_obs(ListSub()), "Argument 'obs' has incorrect type (expected list, got ListSub)"),
])
def test_subclass_of_builtin_type_gets_the_note(env, call, start):
    with pytest.raises(TypeError) as caught:
        call(env)
    message = str(caught.value)
    assert message.startswith(start + ". ")
    note = message[len(start) + 2:]
    assert note
    # One fixed note, whatever the type.
    with pytest.raises(TypeError) as other:
        env.explain_obs(ListSub([1]))
    assert str(other.value).endswith(". " + note)


@pytest.mark.parametrize("call", [
    lambda e: Vesk.upload("/nonexistent/vesk/source", "scene"),
    lambda e: e.upload(folder_path="/nonexistent/vesk/source", folder_name="/"),
])
def test_exact_str_passes_the_check(env, call):
    # A missing source folder fails in the body, before anything is touched.
    with pytest.raises((FileNotFoundError, NotImplementedError)):
        call(env)


@pytest.mark.parametrize("call", [
    lambda e: e.explain_reset(None),
    lambda e: e.explain_action((1, 2)),
    lambda e: e.reward("state"),
    lambda e: e.connect(connect_func=None),
])
def test_hooks_without_type_check_reach_their_body(env, call):
    with pytest.raises(NotImplementedError) as caught:
        call(env)
    assert str(caught.value) == ""


def test_non_string_keywords():
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "pyobject_vectorcall"):
        pytest.skip("no way to pass non-string keyword names")

    env = object.__new__(Sub)
    for function, name in [(Env.step, "step"), (Vesk.copy_files, "copy_files")]:
        with pytest.raises(TypeError) as caught:
            testcapi.pyobject_vectorcall(function, (env, 1, 2), (1,))
        assert str(caught.value) == f"{name}() keywords must be strings"


def test_repeated_keyword_names():
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "pyobject_vectorcall"):
        pytest.skip("no way to pass repeated keyword names")
    env = object.__new__(Sub)
    with pytest.raises(TypeError) as caught:
        testcapi.pyobject_vectorcall(Env.step, (env, 1, 2), ("action", "action"))
    assert str(caught.value) == "step() got multiple values for keyword argument 'action'"


# --- traceback entries -----------------------------------------------------------------

def innermost_entry(error):
    return traceback.extract_tb(error.__traceback__)[-1].name


@pytest.mark.parametrize("call, error, entry", [
    (lambda e: e.explain_obs((1,)), TypeError, "Vesk.Vesk_Pal_st.explain_obs"),
    (lambda e: e.explain_obs([1]), NotImplementedError, "Vesk.Vesk_Pal_st.explain_obs"),
    (lambda e: e.reward(None), NotImplementedError, "Vesk.Vesk_Pal_st.reward"),
    (lambda e: e.step(), TypeError, "Vesk.Vesk_Pal_st.step"),
    (lambda e: e.one_task(), TypeError, "Vesk.Vesk_Pal_st.one_task"),
    (lambda e: Env.__init__(), TypeError, "Vesk.Vesk_Pal_st.__init__"),
    (lambda e: e.upload(None, "b"), TypeError, "Vesk.Vesk_Pal_st.upload"),
    (lambda e: Vesk.upload(None, "b"), TypeError, "Vesk.upload"),
    (lambda e: Vesk.copy_files(), TypeError, "Vesk.copy_files"),
    (lambda e: Vesk.convert_numpy_to_list(x=1), TypeError, "Vesk.convert_numpy_to_list"),
    (lambda e: Vesk.log_one_task(), TypeError, "Vesk.log_one_task"),
])
def test_traceback_names_the_function(env, call, error, entry):
    with pytest.raises(error) as caught:
        call(env)
    assert innermost_entry(caught.value) == entry
    rendered = "".join(traceback.format_exception(type(caught.value), caught.value, caught.value.__traceback__))
    assert f", in {entry}\n" in rendered


def test_traceback_entry_follows_the_caller(env):
    def caller():
        env.explain_obs(())

    with pytest.raises(TypeError) as caught:
        caller()
    names = [entry.name for entry in traceback.extract_tb(caught.value.__traceback__)]
    assert names[-2:] == ["caller", "Vesk.Vesk_Pal_st.explain_obs"]


# --- the parsed-argument buffer ----------------------------------------------------------

SOURCE_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src")


@pytest.mark.parametrize("count, compiles", [(4, True), (5, False)])
def test_a_row_longer_than_the_argument_buffer_does_not_compile(tmp_path, count, compiles):
    compiler = shutil.which("c++") or shutil.which("g++")
    if compiler is None or not os.path.isdir(SOURCE_DIR):
        pytest.skip("needs a C++ compiler and the source tree")
    params = ", ".join('{"p%d"}' % i for i in range(count))
    row = tmp_path / "row.cpp"
    row.write_text('#include "core/args.h"\n'
                   "constexpr vesk::Parameter kParams[] = {%s};\n"
                   'const vesk::Signature signature{"f", kParams};\n' % params)
    result = subprocess.run(
        [compiler, "-std=c++20", "-fsyntax-only", "-I", SOURCE_DIR, "-I", sysconfig.get_paths()["include"], str(row)],
        capture_output=True, text=True)
    assert (result.returncode == 0) == compiles, result.stderr
    if not compiles:
        assert "kMaxParameters" in result.stderr
