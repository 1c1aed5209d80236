"""`python -m veskit new`: what it writes, and what it refuses. The folder's
behaviour in a browser is tested in test_authoring.py."""
import os
import pathlib
import py_compile
import subprocess
import sys

import pytest

import veskit
from veskit import scaffold
from conftest import subprocess_env

FILES = ["README.md", "page/assets/main.js", "page/assets/node-main.js", "page/assets/sim.js",
         "page/assets/tasks.js", "page/assets/vesk-client.js", "page/assets/view.js", "page/index.html",
         "reach_target_env.py", "test_reach_target.py", "train.py"]


def run_command(*args, cwd):
    return subprocess.run([sys.executable, "-m", "veskit", *args], cwd=cwd, capture_output=True, text=True,
                          encoding="utf-8", env=subprocess_env(), timeout=60)


def test_writes_a_complete_folder(tmp_path):
    folder = scaffold.new_environment("reach_target", tmp_path / "mine")
    assert folder == tmp_path / "mine"
    assert [str(p.as_posix()) for p in scaffold.written_files(folder)] == FILES
    kit = veskit.frontend_folder() / "dist" / "assets" / "vesk-client.js"
    assert (folder / "page/assets/vesk-client.js").read_bytes() == kit.read_bytes()
    for relative in FILES:
        if relative == "page/assets/vesk-client.js":
            continue  # copied as it is, not a template
        text = (folder / relative).read_text(encoding="utf-8")
        if relative != "page/assets/vesk-client.js":  # copied, not a template
            assert "NAME" not in text and "CLASS" not in text, relative  # every template token filled in
        if relative.endswith(".py"):
            py_compile.compile(str(folder / relative), doraise=True, cfile=str(tmp_path / "compiled.pyc"))
    assert "class ReachTargetEnv(Vesk.Vesk_Pal_st):" in (folder / "reach_target_env.py").read_text()
    assert "from reach_target_env import NODE_ENTRY, PAGE, ReachTargetEnv" in (folder / "train.py").read_text()
    main = (folder / "page/assets/main.js").read_text()
    assert "port: portFromLocation(location.search)" in main and "token: tokenFromLocation(location.search)" in main
    umask = os.umask(0)
    os.umask(umask)
    assert folder.stat().st_mode & 0o777 == 0o777 & ~umask  # not the scratch folder's private mode


@pytest.mark.parametrize("name, class_name", [("reach", "ReachEnv"), ("reach_target", "ReachTargetEnv"),
                                              ("a2b_c", "A2bCEnv"), ("class", "ClassEnv")])
def test_class_names(name, class_name):
    assert scaffold.class_name(name) == class_name


@pytest.mark.parametrize("name, suggestion", [
    ("my-env", "my_env"), ("Reach", "reach"), ("2d_reach", "d_reach"), ("reach target", "reach_target"),
    ("_reach", "reach"), ("", None), ("../x", "x"), ("reach/", "reach"), ("réach", "r_ach"), ("--", None),
])
def test_invalid_names_are_refused_with_a_suggestion(tmp_path, name, suggestion):
    with pytest.raises(scaffold.ScaffoldError, match="invalid environment name") as raised:
        scaffold.new_environment(name, tmp_path / "out")
    if suggestion is None:
        assert "try" not in str(raised.value)
    else:
        assert f"try {suggestion!r}" in str(raised.value)
    assert list(tmp_path.iterdir()) == []


def make_target(kind, path):
    if kind == "non-empty folder":
        path.mkdir()
        (path / "mine.txt").write_text("keep me")
    elif kind == "file":
        path.write_text("keep me")
    elif kind == "symbolic link":
        (path.parent / "elsewhere").mkdir()
        path.symlink_to(path.parent / "elsewhere")
    elif kind == "missing parent":
        return path / "deeper"
    return path


@pytest.mark.parametrize("kind, message", [
    ("non-empty folder", "exists and is not empty"),
    ("file", "exists and is not a folder"),
    ("symbolic link", "is a symbolic link"),
    ("missing parent", "is not a folder: create it first"),
])
def test_existing_targets_are_refused_and_left_alone(tmp_path, kind, message):
    target = make_target(kind, tmp_path / "reach")
    before = sorted(p.name for p in tmp_path.rglob("*"))
    with pytest.raises(scaffold.ScaffoldError, match=message):
        scaffold.new_environment("reach", target)
    assert sorted(p.name for p in tmp_path.rglob("*")) == before


def test_an_empty_folder_is_filled(tmp_path):
    (tmp_path / "reach").mkdir()
    scaffold.new_environment("reach", tmp_path / "reach")
    assert (tmp_path / "reach" / "reach_env.py").is_file()


def test_a_failed_write_leaves_nothing(tmp_path, monkeypatch):
    def broken_copy(*args, **kwargs):
        raise OSError("disk full")

    monkeypatch.setattr(scaffold.shutil, "copyfile", broken_copy)
    with pytest.raises(OSError, match="disk full"):
        scaffold.new_environment("reach", tmp_path / "reach")
    assert list(tmp_path.iterdir()) == []


def test_the_command(tmp_path):
    done = run_command("new", "reach", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "reach" / "train.py").is_file()
    assert done.stdout.startswith(f"wrote reach{os.sep}:\n") and "  reach_env.py\n" in done.stdout
    assert "python train.py" in done.stdout

    elsewhere = run_command("new", "reach", "--dir", str(tmp_path / "other"), cwd=tmp_path)
    assert elsewhere.returncode == 0 and (tmp_path / "other" / "reach_env.py").is_file()

    for args, message in [(("new", "reach"), "exists and is not empty"),
                          (("new", "My-Env"), "invalid environment name 'My-Env'"),
                          (("new",), "the following arguments are required: NAME"),
                          ((), "the following arguments are required: COMMAND")]:
        refused = run_command(*args, cwd=tmp_path)
        assert refused.returncode == 2 and message in refused.stderr, (args, refused.stderr)
        assert "Traceback" not in refused.stderr


def test_the_installed_package_carries_the_templates(tmp_path):
    """Away from the checkout, veskit is the installed one: its wheel must hold the templates."""
    done = subprocess.run([sys.executable, "-c", "import veskit.scaffold as s; print(s.templates_folder())"],
                          cwd=tmp_path, capture_output=True, text=True, env=subprocess_env(), timeout=60)
    assert done.returncode == 0, done.stderr
    folder = pathlib.Path(done.stdout.strip())
    assert sorted(p.relative_to(folder).as_posix() for p in folder.rglob("*.tmpl")) == [
        "NAME_env.py.tmpl", "README.md.tmpl", "page/assets/main.js.tmpl", "page/assets/node-main.js.tmpl",
        "page/assets/sim.js.tmpl", "page/assets/tasks.js.tmpl", "page/assets/view.js.tmpl", "page/index.html.tmpl",
        "test_NAME.py.tmpl", "train.py.tmpl"]
