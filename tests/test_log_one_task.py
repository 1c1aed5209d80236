import functools
import io
import os
import sys
import traceback

import numpy as np
import pytest

import Vesk


def python_log_one_task(func):
    """The decorator written in Python: the reference our wrapper must match."""

    @functools.wraps(func)
    def wrapper(self, msg, replyable=True):
        import inspect

        caller = inspect.currentframe().f_back.f_code.co_name
        print(f"{func.__name__} called by: {caller}")
        print(f"上传env参数: {msg} (replyable={replyable})")
        result = func(self, msg, replyable)
        print(f"返回env信息: {result}")
        return result

    return wrapper


DECORATORS = pytest.mark.parametrize("decorate", [Vesk.log_one_task, python_log_one_task], ids=["vesk", "python"])


def make_env_class(decorate):
    class Env:
        calls = []

        @decorate
        def one_task(self, msg, replyable=True):
            Env.calls.append((self, msg, replyable))
            return [msg]

    return Env


def driver(env, *args, **kwargs):
    return env.one_task(*args, **kwargs)


@DECORATORS
@pytest.mark.parametrize(
    "args, kwargs, flag",
    [
        (("hello",), {}, "True"),
        (("hello", 0), {}, "0"),
        (("hello",), {"replyable": False}, "False"),
        ((), {"msg": "hello", "replyable": None}, "None"),
    ],
)
def test_prints_three_lines_and_calls_func_positionally(decorate, capsys, args, kwargs, flag):
    Env = make_env_class(decorate)
    env = Env()
    result = driver(env, *args, **kwargs)
    assert capsys.readouterr().out.splitlines() == [
        "one_task called by: driver",
        f"上传env参数: hello (replyable={flag})",
        "返回env信息: ['hello']",
    ]
    replyable = (args[1:] or [kwargs.get("replyable", True)])[0]
    assert Env.calls == [(env, "hello", replyable)]
    assert type(Env.calls[0][2]) is type(replyable)
    assert result == ["hello"]


@DECORATORS
@pytest.mark.parametrize("value, text", [(None, "None"), (np.array([1.5, 2.0]), "[1.5 2. ]"), (0, "0")])
def test_returns_the_identical_object(decorate, capsys, value, text):
    def func(self, msg, replyable):
        return value

    wrapper = decorate(func)
    assert wrapper(object(), "m") is value
    assert capsys.readouterr().out.splitlines()[-1] == f"返回env信息: {text}"


@DECORATORS
def test_wraps_carries_the_function_over(decorate):
    def one_task(self, msg, replyable=True):
        "Docs."

    one_task.marker = "kept"
    wrapper = decorate(one_task)
    assert wrapper is not one_task
    assert wrapper.__wrapped__ is one_task
    assert (wrapper.__name__, wrapper.__qualname__, wrapper.__doc__, wrapper.__module__, wrapper.marker) == (
        "one_task",
        one_task.__qualname__,
        "Docs.",
        __name__,
        "kept",
    )
    assert decorate(one_task) is not wrapper


@DECORATORS
def test_two_calls_print_six_lines_in_order(decorate, capsys):
    env = make_env_class(decorate)()
    env.one_task("a")
    env.one_task("b")
    lines = capsys.readouterr().out.splitlines()
    assert [line.split(":")[0] for line in lines] == ["one_task called by"] + ["上传env参数", "返回env信息"] + [
        "one_task called by",
        "上传env参数",
        "返回env信息",
    ]
    assert "a" in lines[1] and "b" in lines[4]


@DECORATORS
def test_error_from_func_passes_after_two_lines(decorate, capsys):
    def func(self, msg, replyable):
        raise KeyError("boom")

    with pytest.raises(KeyError):
        decorate(func)(None, "m")
    assert len(capsys.readouterr().out.splitlines()) == 2


@DECORATORS
def test_print_failure_stops_before_func(decorate, monkeypatch):
    calls = []
    wrapper = decorate(lambda *args: calls.append(args))
    monkeypatch.setattr(sys, "stdout", io.TextIOWrapper(io.BytesIO(), encoding="ascii"))
    with pytest.raises(UnicodeEncodeError):
        wrapper(None, "m")
    assert calls == []


def test_decorating_prints_nothing_and_does_not_call(capsys):
    calls = []
    Vesk.log_one_task(func=lambda *args: calls.append(args))
    assert calls == [] and capsys.readouterr().out == ""


class Text(str):
    pass


NOTE = ". Subclasses of built-in types are refused: pass an instance of the type itself"


@pytest.mark.parametrize(
    "msg, message",
    [
        (None, "Argument 'msg' has incorrect type (expected str, got NoneType)"),
        (b"m", "Argument 'msg' has incorrect type (expected str, got bytes)"),
        (Text("m"), "Argument 'msg' has incorrect type (expected str, got Text)" + NOTE),
    ],
)
def test_msg_must_be_exactly_str(capsys, msg, message):
    calls = []
    wrapper = Vesk.log_one_task(lambda *args: calls.append(args))
    with pytest.raises(TypeError) as caught:
        wrapper(None, msg)
    assert str(caught.value) == message
    assert calls == [] and capsys.readouterr().out == ""
    wrapper(None, str(msg))  # the same text as a plain str is accepted
    assert len(calls) == 1


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda w: w(None), "wrapper() takes at least 2 positional arguments (1 given)"),
        (lambda w: w(None, "m", 1, 2), "wrapper() takes at most 3 positional arguments (4 given)"),
        (lambda w: w(None, "m", flag=1), "wrapper() got an unexpected keyword argument 'flag'"),
        (lambda w: Vesk.log_one_task(), "log_one_task() takes exactly 1 positional argument (0 given)"),
    ],
)
def test_argument_errors(call, message):
    wrapper = Vesk.log_one_task(lambda *args: None)
    with pytest.raises(TypeError) as caught:
        call(wrapper)
    assert str(caught.value) == message


def test_wrapper_is_the_modules_function_with_its_traceback_entry():
    def func(self, msg, replyable):
        raise KeyError(msg)

    wrapper = Vesk.log_one_task(func)
    assert type(wrapper) is type(Vesk.Vesk_Pal_st.step)
    assert wrapper.__defaults__ == (True,)
    assert wrapper.__code__.co_varnames[:3] == ("self", "msg", "replyable")
    with pytest.raises(KeyError) as caught:
        wrapper(None, "m")
    names = [entry.name for entry in traceback.extract_tb(caught.value.__traceback__)]
    assert names[1:] == ["Vesk.log_one_task.wrapper", "func"]


def test_caller_is_the_module_function_that_called_without_a_python_frame(tmp_path, capsys, monkeypatch):
    os.makedirs(tmp_path / "src" / "sub")
    original = Vesk.copy_files

    def sink(source, destination, index):
        return None

    # copy_files calls the module-level copy_files for each sub-folder.
    monkeypatch.setattr(Vesk, "copy_files", Vesk.log_one_task(sink))
    original(str(tmp_path / "src"), str(tmp_path / "dst"))
    assert capsys.readouterr().out.splitlines() == [
        "sink called by: copy_files",
        f"上传env参数: {tmp_path / 'dst' / 'sub'} (replyable=1)",
        "返回env信息: None",
    ]


def test_caller_from_a_method_of_the_environment_class(capsys):
    class Env:
        @Vesk.log_one_task
        def one_task(self, msg, replyable=True):
            return None

    Vesk.Vesk_Pal_st.render(Env())
    assert capsys.readouterr().out.splitlines()[0] == "one_task called by: render"


def test_caller_is_the_python_function_between(capsys):
    wrapper = Vesk.log_one_task(lambda *args: None)

    def middle():
        return wrapper(None, "m")

    # Python frames began after render started, so the innermost one names the caller.
    Vesk.Vesk_Pal_st.render(type("Env", (), {"one_task": lambda self, text: middle()})())
    assert capsys.readouterr().out.splitlines()[0] == "<lambda> called by: middle"


@DECORATORS
def test_each_call_imports_inspect_before_printing(decorate, capsys, monkeypatch):
    import builtins

    Env = make_env_class(decorate)
    env = Env()
    printed, imported = [], []
    real_import = builtins.__import__

    def recording_import(name, *args, **kwargs):
        printed.extend(capsys.readouterr().out.splitlines())
        imported.append((name, len(printed)))
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", recording_import)
    env.one_task("a")
    env.one_task("b")
    monkeypatch.undo()
    # Lines printed before each import of inspect: none by the first call, three by the second.
    assert [entry for entry in imported if entry[0] == "inspect"] == [("inspect", 0), ("inspect", 3)]
