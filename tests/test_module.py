"""What `import Vesk` gives: the namespace, the class object, re-import and
failed imports. Anything that needs a first import runs in a new process."""
import abc
import asyncio
import builtins
import functools
import json
import os
import queue
import shutil
import sys
import typing

import gymnasium
import numpy
import pytest
import websockets

import Vesk
from conftest import MODULE_DIR, run_python

METHODS = [
    "__init__", "explain_reset", "explain_action", "explain_obs", "reward", "connect",
    "step", "reset", "render", "close", "one_task", "start_queue", "upload",
]
MODULE_FUNCTIONS = ["convert_numpy_to_list", "copy_files", "upload", "log_one_task"]

# The machinery of the import system and of the module object itself.
IMPORT_SYSTEM_NAMES = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__path__"}


def test_namespace_is_bound_in_body_order():
    bound = [name for name in vars(Vesk) if name not in IMPORT_SYSTEM_NAMES]
    assert bound == [
        "__builtins__", "ABC", "abstractmethod", "asyncio", "websockets", "gym", "np", "os", "json",
        "queue", "Callable", "wraps", "shutil",
        "convert_numpy_to_list", "copy_files", "upload", "log_one_task", "Vesk_Pal_st", "__test__",
    ]


@pytest.mark.parametrize("name, value", [
    ("__builtins__", builtins),
    ("ABC", abc.ABC),
    ("abstractmethod", abc.abstractmethod),
    ("asyncio", asyncio),
    ("websockets", websockets),
    ("gym", gymnasium),
    ("np", numpy),
    ("os", os),
    ("json", json),
    ("queue", queue),
    ("Callable", typing.Callable),
    ("wraps", functools.wraps),
    ("shutil", shutil),
])
def test_imported_names_are_the_library_objects(name, value):
    assert getattr(Vesk, name) is value


def test_module_attributes():
    assert Vesk.__name__ == "Vesk"
    assert Vesk.__doc__ is None
    assert Vesk.__spec__.name == "Vesk"
    assert Vesk.__file__ == Vesk.__spec__.origin
    assert Vesk.__loader__ is Vesk.__spec__.loader
    assert Vesk.__package__ == ""
    assert not hasattr(Vesk, "__path__")
    assert type(Vesk.__test__) is dict and Vesk.__test__ == {}
    assert sys.modules["Vesk"] is Vesk


@pytest.mark.parametrize("name", MODULE_FUNCTIONS)
def test_module_functions_are_builtin_functions(name):
    function = getattr(Vesk, name)
    assert type(function) is type(len)
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert function.__module__ == "Vesk"
    assert function.__doc__ is None
    assert function.__self__ is None
    for missing in ("__defaults__", "__annotations__", "__code__", "__dict__"):
        assert not hasattr(function, missing)


@pytest.mark.parametrize("name", MODULE_FUNCTIONS)
def test_module_functions_do_not_bind_as_methods(name):
    function = getattr(Vesk, name)
    holder = type("Holder", (), {"f": function})
    assert holder().f is function
    assert holder.f is function


class TestClassObject:
    cls = Vesk.Vesk_Pal_st

    def test_identity(self):
        assert self.cls.__bases__ == (gymnasium.Env,)
        assert type(self.cls) is type(gymnasium.Env)
        assert self.cls.__name__ == "Vesk_Pal_st"
        assert self.cls.__qualname__ == "Vesk_Pal_st"
        assert self.cls.__module__ == "Vesk"
        assert self.cls.__doc__ is None
        assert abc.ABC not in self.cls.__mro__
        assert "__orig_bases__" not in vars(self.cls)

    def test_class_dict_matches_an_equivalent_class_statement(self):
        # The same names in the same order, created by the same metaclass,
        # give the entries Python's class machinery adds (such as __doc__).
        names = ["send_queue", "reply_quene", "metadata"] + METHODS
        namespace = {"__module__": "Vesk", "__qualname__": "Vesk_Pal_st"}
        namespace.update((name, None) for name in names)
        reference = type(gymnasium.Env)("Vesk_Pal_st", (gymnasium.Env,), namespace)
        assert list(vars(self.cls)) == list(vars(reference))

    def test_metadata(self):
        metadata = self.cls.metadata
        assert metadata == {"render_modes": ["human", "rgb_array"], "render_fps": 20}
        assert list(metadata) == ["render_modes", "render_fps"]
        assert type(metadata["render_fps"]) is int

    def test_metadata_is_shared_until_rebound(self):
        sub = type("Sub", (self.cls,), {})
        instance = object.__new__(sub)
        assert sub.metadata is self.cls.metadata
        assert instance.metadata is self.cls.metadata
        instance.metadata = {"render_fps": 5}
        assert sub.metadata is self.cls.metadata
        assert object.__new__(sub).metadata is self.cls.metadata

    def test_queues_are_distinct_unbounded_queues(self):
        send, reply = self.cls.send_queue, self.cls.reply_quene
        assert type(send) is queue.Queue and type(reply) is queue.Queue
        assert send is not reply
        assert send.maxsize == 0 and reply.maxsize == 0

    def test_queues_are_shared_by_every_subclass_and_instance(self):
        first = object.__new__(type("First", (self.cls,), {}))
        second = object.__new__(type("Second", (self.cls,), {"num_envs": 3}))
        assert first.send_queue is second.send_queue is self.cls.send_queue
        assert first.reply_quene is second.reply_quene is self.cls.reply_quene

    def test_subclass_without_hooks_can_be_instantiated(self):
        sub = type("Bare", (self.cls,), {})
        assert not getattr(sub, "__abstractmethods__", None)
        assert isinstance(object.__new__(sub), gymnasium.Env)


def test_fresh_import_binds_empty_queues_and_opens_nothing():
    result = run_python("""
        import threading
        before = threading.active_count()
        import Vesk
        cls = Vesk.Vesk_Pal_st
        print(cls.send_queue.qsize(), cls.reply_quene.qsize(), threading.active_count() - before)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "0 0 0\n"
    assert result.stderr == ""


def test_reimport_after_removal_and_reload_give_the_same_module():
    result = run_python("""
        import importlib, sys
        import Vesk
        first, cls = Vesk, Vesk.Vesk_Pal_st
        cls.send_queue.put("kept")
        cls.reply_quene.put("also kept")
        del sys.modules["Vesk"]
        import Vesk
        assert Vesk is first, "new module object after re-import"
        # No reference left anywhere but in the module's own state.
        del sys.modules["Vesk"], Vesk, first
        import gc; gc.collect()
        import Vesk
        first = Vesk
        assert Vesk.Vesk_Pal_st is cls
        assert sys.modules["Vesk"] is first
        assert importlib.reload(Vesk) is first, "reload made a new module object"
        assert Vesk.Vesk_Pal_st is cls, "the body ran again"
        print(cls.send_queue.get_nowait(), "/", cls.reply_quene.get_nowait())
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "kept / also kept\n"


def test_execution_step_runs_once_and_refuses_another_module_object():
    # Two module objects made by the create step before either was executed:
    # only the first one executed becomes the module.
    result = run_python("""
        import _imp, importlib.util
        spec = importlib.util.find_spec("Vesk")
        first = _imp.create_dynamic(spec)
        second = _imp.create_dynamic(spec)
        assert first is not second
        _imp.exec_dynamic(first)
        cls = first.Vesk_Pal_st
        _imp.exec_dynamic(first)
        assert first.Vesk_Pal_st is cls, "the body ran twice"
        assert _imp.create_dynamic(spec) is first
        try:
            _imp.exec_dynamic(second)
        except RuntimeError as error:
            print(error)
        print(hasattr(second, "Vesk_Pal_st"))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == (
        "Module 'Vesk' has already been imported. Re-initialisation is not supported.\nFalse\n"
    )


def make_package(tmp_path):
    package = tmp_path / "pkg"
    package.mkdir()
    (package / "__init__.py").write_text("")
    [built] = [name for name in os.listdir(MODULE_DIR) if name.startswith("Vesk.") and name.endswith(".so")]
    os.symlink(os.path.join(MODULE_DIR, built), package / built)
    return package


def test_import_as_submodule(tmp_path):
    package = make_package(tmp_path)
    result = run_python(f"""
        import sys
        sys.path.insert(0, {str(tmp_path)!r})
        import pkg.Vesk as module
        assert module.__name__ == "pkg.Vesk", module.__name__
        assert module.__package__ == "pkg", module.__package__
        assert module.__file__ == module.__spec__.origin
        assert module.__file__.startswith({str(package)!r}), module.__file__
        assert sys.modules["pkg.Vesk"] is module
        assert sys.modules["Vesk"] is module
        import Vesk
        assert Vesk is module
        assert module.Vesk_Pal_st.__module__ == "Vesk"
        assert module.Vesk_Pal_st.step.__module__ == "Vesk"
        assert module.copy_files.__module__ == "Vesk"
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"


# A meta-path finder that makes one package look uninstalled.
BLOCKER = """
import sys, traceback

class Blocker:
    def __init__(self, name):
        self.name = name
    def find_spec(self, fullname, path=None, target=None):
        if fullname == self.name or fullname.startswith(self.name + "."):
            raise ModuleNotFoundError(f"No module named {fullname!r}", name=fullname)
        return None

def init_entries(error):
    return [(entry.name, entry.lineno) for entry in traceback.extract_tb(error.__traceback__)
            if entry.name == "init Vesk"]
"""


@pytest.mark.parametrize("package, line", [("websockets", 3), ("gymnasium", 4)])
def test_missing_package_fails_at_its_line_then_import_succeeds(package, line):
    result = run_python(BLOCKER + f"""
blocker = Blocker({package!r})
sys.meta_path.insert(0, blocker)
try:
    import Vesk
except ModuleNotFoundError as error:
    print(type(error).__name__, error.name, init_entries(error))
    print("Vesk" in sys.modules)
sys.meta_path.remove(blocker)
import Vesk
print(sys.modules["Vesk"] is Vesk, Vesk.Vesk_Pal_st.__name__, Vesk.__test__)
""")
    assert result.returncode == 0, result.stderr
    assert result.stdout == (
        f"ModuleNotFoundError {package} [('init Vesk', {line})]\n"
        "False\n"
        "True Vesk_Pal_st {}\n"
    )


@pytest.mark.parametrize("breakage, restore, error_type, message, line", [
    pytest.param("gymnasium.Env = 5", "gymnasium.Env = original_env",
                 "TypeError", None, 101, id="base-not-a-class"),
    pytest.param("gymnasium.Env = type('Odd', (), {'__mro_entries__': lambda self, bases: [object]})()",
                 "gymnasium.Env = original_env",
                 "TypeError", "__mro_entries__ must return a tuple", 101, id="mro-entries-not-a-tuple"),
    pytest.param("queue.Queue = broken_queue", "queue.Queue = original_queue",
                 "RuntimeError", "no queue today", 107, id="send-queue"),
    pytest.param("queue.Queue = broken_second_queue", "queue.Queue = original_queue",
                 "RuntimeError", "no second queue", 108, id="reply-queue"),
    pytest.param("del builtins.range", "builtins.range = original_range",
                 "NameError", "name 'range' is not defined", 1, id="missing-builtin"),
])
def test_failing_statement_is_reported_at_its_line(breakage, restore, error_type, message, line):
    result = run_python(BLOCKER + f"""
import builtins, queue, asyncio, websockets, gymnasium, numpy
original_env, original_queue, original_range = gymnasium.Env, queue.Queue, builtins.range

def broken_queue():
    raise RuntimeError("no queue today")

made = []
def broken_second_queue():
    made.append(1)
    if len(made) == 2:
        raise RuntimeError("no second queue")
    return original_queue()

{breakage}
try:
    import Vesk
except Exception as error:
    caught = error
{restore}
# Read only now: formatting a traceback may need what the breakage removed.
failure = (type(caught).__name__, str(caught), init_entries(caught))
import Vesk
sys.stdout.write(repr(failure) + "\\n")
sys.stdout.write(repr(Vesk.Vesk_Pal_st.__bases__ == (gymnasium.Env,)) + "\\n")
""")
    assert result.returncode == 0, result.stderr
    failure_line, success_line = result.stdout.splitlines()
    failed_type, failed_message, entries = eval(failure_line)
    assert failed_type == error_type
    if message is not None:
        assert failed_message == message
    assert entries == [("init Vesk", line)]
    assert success_line == "True"


def test_failed_submodule_import_leaves_no_module_behind(tmp_path):
    make_package(tmp_path)
    result = run_python(BLOCKER + f"""
sys.path.insert(0, {str(tmp_path)!r})
blocker = Blocker("websockets")
sys.meta_path.insert(0, blocker)
try:
    import pkg.Vesk
except ModuleNotFoundError as error:
    print(init_entries(error))
print(sorted(name for name in sys.modules if name.endswith("Vesk")))
sys.meta_path.remove(blocker)
import Vesk
print(Vesk.__name__, hasattr(Vesk, "Vesk_Pal_st"))
""")
    assert result.returncode == 0, result.stderr
    assert result.stdout == "[('init Vesk', 3)]\n[]\nVesk True\n"


SUBINTERPRETER = """
import os
try:
    import Vesk
    os.write(1, b"imported\\n")
except ImportError as error:
    os.write(1, ("ImportError: " + str(error) + "\\n").encode())
"""


def test_import_in_a_subinterpreter_is_refused():
    pytest.importorskip("_testcapi")
    result = run_python(f"""
        import sys, _testcapi
        if not hasattr(_testcapi, "run_in_subinterp"):
            print("unavailable")
            raise SystemExit
        import Vesk
        cls = Vesk.Vesk_Pal_st
        sys.stdout.flush()
        _testcapi.run_in_subinterp({SUBINTERPRETER!r})
        assert sys.modules["Vesk"] is Vesk and Vesk.Vesk_Pal_st is cls
        print("main untouched")
    """)
    if result.stdout == "unavailable\n":
        pytest.skip("this interpreter cannot run sub-interpreters")
    assert result.returncode == 0, result.stderr
    assert result.stdout == (
        "ImportError: Interpreter change detected - this module can only be loaded into one "
        "interpreter per process.\nmain untouched\n"
    )
