import os
import shutil
import textwrap

import pytest

import Vesk
from conftest import run_python

CONTENT = {"page.js": "P", "data": {"d.json": "D"}}

PRELUDE = textwrap.dedent(
    """
    import os, sys, warnings
    warnings.simplefilter("ignore")
    import Vesk
    assert os.path.dirname(Vesk.__file__) == os.path.join(os.getcwd(), "lib"), Vesk.__file__

    def attempt(call, *args):
        try:
            print("returned:", call(*args))
        except Exception as error:
            print(f"raised: {type(error).__name__}: {error}")
    """
)


def make_tree(root, tree):
    os.makedirs(root, exist_ok=True)
    for name, content in tree.items():
        path = os.path.join(root, name)
        if isinstance(content, dict):
            make_tree(path, content)
        else:
            with open(path, "w") as f:
                f.write(content)


def read_tree(root):
    return {
        entry.name: read_tree(entry.path) if entry.is_dir() else open(entry.path).read() for entry in os.scandir(root)
    }


def loading_lines(source):
    lines = []
    for item in os.listdir(source):
        path = os.path.join(source, item)
        lines += ["loading: " + path] if os.path.isfile(path) else loading_lines(path)
    return lines


class Layout:
    """A copy of the built module in root/lib beside the bundle folder root/dist."""

    def __init__(self, root):
        self.root = str(root)
        self.lib = os.path.join(self.root, "lib")
        self.dist = os.path.join(self.root, "dist")
        self.bundle = os.path.join(self.lib, "../dist")  # the path as the module spells it
        os.makedirs(self.lib)
        shutil.copy2(Vesk.__file__, self.lib)
        make_tree(self.dist, {"index.html": "<html>", "assets": {"app.js": "A"}, "old.js": "O", "models": {"m": "M"}})
        make_tree(os.path.join(self.root, "content"), CONTENT)

    def removal_lines(self):
        lines = []
        for item in os.listdir(self.dist):
            if item in ("assets", "index.html"):
                continue
            path = os.path.join(self.bundle, item)
            lines.append(f"该删 {path}" if os.path.isfile(path) else f"已删除文件夹: {path}")
        return lines

    def run(self, body):
        # Only lib/ on the path, so the child imports the copy beside dist/.
        done = run_python(PRELUDE + textwrap.dedent(body), env={"PYTHONPATH": self.lib}, cwd=self.root)
        assert done.returncode == 0, done.stderr
        return done.stdout.splitlines()


@pytest.fixture
def layout(tmp_path):
    return Layout(tmp_path)


def test_clears_bundle_then_copies_into_it(layout):
    removals = layout.removal_lines()
    content = os.path.join(layout.root, "content")
    lines = layout.run('attempt(Vesk.upload, "content", "/")')
    assert lines == removals + loading_lines(content) + ["returned: None"]
    assert read_tree(layout.dist) == {"index.html": "<html>", "assets": {"app.js": "A"}, **CONTENT}


def test_named_folder_is_created_by_the_copy(layout):
    lines = layout.run('attempt(Vesk.upload, os.path.abspath("content"), "scene")')
    assert lines[-1] == "returned: None"
    assert read_tree(layout.dist) == {"index.html": "<html>", "assets": {"app.js": "A"}, "scene": CONTENT}


def test_assets_as_folder_name_keeps_and_replaces(layout):
    make_tree(os.path.join(layout.root, "content"), {"app.js": "new"})
    layout.run('attempt(Vesk.upload, "content", "assets")')
    assert read_tree(os.path.join(layout.dist, "assets")) == {"app.js": "new", **CONTENT}


def test_kept_entries_are_recognised_by_name_only(layout):
    shutil.rmtree(os.path.join(layout.dist, "assets"))
    os.remove(os.path.join(layout.dist, "index.html"))
    make_tree(layout.dist, {"assets": "a file", "index.html": {"inner": "I"}, "Assets": {}})
    layout.run('attempt(Vesk.upload, "content", "scene")')
    assert read_tree(layout.dist) == {"assets": "a file", "index.html": {"inner": "I"}, "scene": CONTENT}


@pytest.mark.parametrize(
    "make_source, message",
    [
        (lambda root: None, "{source} does not exist."),
        (lambda root: open(os.path.join(root, "missing"), "w").close(), "{source} should be a folder, not a file."),
    ],
    ids=["missing", "file"],
)
def test_bad_source_leaves_bundle_untouched(layout, make_source, message):
    make_source(layout.root)
    before = read_tree(layout.dist)
    lines = layout.run('attempt(Vesk.upload, "missing", "/")')
    error = "FileNotFoundError" if "exist" in message else "ValueError"
    assert lines == [f"raised: {error}: " + message.format(source=os.path.join(layout.root, "missing"))]
    assert read_tree(layout.dist) == before


HOLDS_BUNDLE = "{source} is the bundle folder {bundle} or contains it: publishing it would copy the bundle folder into itself"
INSIDE_CLEARED = ("{source} is or lies inside {bundle}/models, which clearing the bundle folder {bundle} removes "
                  "before anything is copied")
DESTINATION_INSIDE = "{source} cannot be copied into {bundle}/assets/inner, which lies inside it"
ABSOLUTE_NAME = "folder_name {name!r} is an absolute path; it must name a folder inside {bundle}"
ESCAPING_NAME = "folder_name {name!r} leads out of the bundle folder {bundle}"


@pytest.mark.parametrize(
    "source, folder_name, message",
    [
        ("dist", "/", HOLDS_BUNDLE),
        ("lib/../dist", "scene", HOLDS_BUNDLE),
        (".", "scene", HOLDS_BUNDLE),
        ("dist/models", "/", INSIDE_CLEARED),
        ("link-to-models", "scene", INSIDE_CLEARED),
        ("dist/assets", "assets/inner", DESTINATION_INSIDE),
        ("content", "/tmp/elsewhere", ABSOLUTE_NAME),
        ("content", "../x", ESCAPING_NAME),
        ("content", "a/../../x", ESCAPING_NAME),
        ("content", "..", ESCAPING_NAME),
    ],
    ids=["bundle", "bundle-via-dotdot", "contains-bundle", "inside-cleared-entry", "link-into-bundle",
         "destination-inside-source", "absolute-name", "climbing-name", "climbing-nested-name", "parent-name"],
)
def test_overlapping_or_escaping_upload_is_refused_before_anything_is_removed(layout, source, folder_name, message):
    os.symlink(os.path.join(layout.dist, "models"), os.path.join(layout.root, "link-to-models"))
    before = read_tree(layout.dist)
    around = [sorted(os.listdir(folder)) for folder in (layout.root, os.path.dirname(layout.root))]
    lines = layout.run(f"attempt(Vesk.upload, {source!r}, {folder_name!r})")
    text = message.format(source=os.path.abspath(os.path.join(layout.root, source)), bundle=layout.bundle,
                          name=folder_name)
    assert lines == ["raised: ValueError: " + text]
    assert read_tree(layout.dist) == before
    assert [sorted(os.listdir(folder)) for folder in (layout.root, os.path.dirname(layout.root))] == around
    assert not os.path.exists("/tmp/elsewhere")


def test_nested_folder_name_inside_the_bundle_folder_is_allowed(layout):
    lines = layout.run('attempt(Vesk.upload, "content", "a/b/../c")')
    assert lines[-1] == "returned: None"
    assert read_tree(os.path.join(layout.dist, "a", "c")) == CONTENT


@pytest.mark.parametrize("inner", ["assets", "index.html"])
def test_source_inside_a_kept_entry_is_allowed(layout, inner):
    if inner == "index.html":
        os.remove(os.path.join(layout.dist, "index.html"))
    make_tree(os.path.join(layout.dist, inner, "pack"), {"p.txt": "P"})
    lines = layout.run(f'attempt(Vesk.upload, "dist/{inner}/pack", "scene")')
    assert lines[-1] == "returned: None"
    assert read_tree(os.path.join(layout.dist, "scene")) == {"p.txt": "P"}
    assert os.path.isdir(os.path.join(layout.dist, inner, "pack"))


def test_missing_bundle_folder_fails_from_the_listing(layout):
    shutil.rmtree(layout.dist)
    lines = layout.run('attempt(Vesk.upload, "content", "/")')
    assert lines == [f"raised: FileNotFoundError: [Errno 2] No such file or directory: '{layout.bundle}'"]


def test_sub_folder_limit_applies_after_clearing(layout):
    make_tree(os.path.join(layout.root, "content"), {f"d{i}": {} for i in range(11)})
    lines = layout.run('attempt(Vesk.upload, "content", "/")')
    assert lines[-1] == "raised: RecursionError: Too many directories."
    assert not os.path.exists(os.path.join(layout.dist, "old.js"))


def test_method_forwards_to_the_module_level_name(layout):
    lines = layout.run(
        """
        original = Vesk.upload
        def spy(*args, **kwargs):
            print("spy", args, kwargs)
            return "dropped"
        Vesk.upload = spy
        attempt(Vesk.Vesk_Pal_st.upload, object(), "content", "/")
        Vesk.upload = original
        attempt(Vesk.Vesk_Pal_st.upload, None, "content", "scene")
        """
    )
    assert lines[0] == "spy ('content', '/') {}"
    assert lines[1] == "returned: None"
    assert lines[-1] == "returned: None"
    assert read_tree(os.path.join(layout.dist, "scene")) == CONTENT


class Text(str):
    pass


NOTE = ". Subclasses of built-in types are refused: pass an instance of the type itself"


@pytest.mark.parametrize(
    "upload", [Vesk.upload, lambda *args: Vesk.Vesk_Pal_st.upload(None, *args)], ids=["function", "method"]
)
@pytest.mark.parametrize(
    "args, message",
    [
        ((None, "x"), "Argument 'folder_path' has incorrect type (expected str, got NoneType)"),
        ((Text("x"), "x"), "Argument 'folder_path' has incorrect type (expected str, got Text)" + NOTE),
        (("x", b"x"), "Argument 'folder_name' has incorrect type (expected str, got bytes)"),
        ((1, 2), "Argument 'folder_path' has incorrect type (expected str, got int)"),
    ],
)
def test_arguments_must_be_exactly_str(upload, args, message):
    with pytest.raises(TypeError) as caught:
        upload(*args)
    assert str(caught.value) == message


NOT_A_FOLDER = "{path} is a file, not a folder: the upload cannot copy into it"
NOT_A_FILE = "{path} is not a file: the upload cannot copy a file over it"
A_LINK = "{path} is a link: the upload never writes through a link"
LINK_LOOP = "{root}/content/data/loop leads back to {root}/content, which holds it: its copy would never end"
LONG_NAME = "the name {long!r} in {bundle} is longer than the 255 bytes a name may have there"


def snapshot(root):
    """read_tree, with links shown as links (broken ones too), never followed."""
    return {
        entry.name: ("link", os.readlink(entry.path)) if entry.is_symlink()
        else snapshot(entry.path) if entry.is_dir() else open(entry.path).read() if entry.is_file() else "special"
        for entry in os.scandir(root)
    }


def deep_source(root):
    """A chain of long folder names: short enough to read, too long once below a long folder_name."""
    folder = os.path.join(root, "content")
    for _ in range(8):
        folder = os.path.join(folder, "c" * 250)
    make_tree(folder, {"f.txt": "F"})


@pytest.mark.parametrize(
    "prepare, folder_name, message",
    [
        (lambda root: None, "index.html", NOT_A_FOLDER.format(path="{bundle}/index.html")),
        (lambda root: None, "assets/app.js/x", NOT_A_FOLDER.format(path="{bundle}/assets/app.js")),
        (lambda root: os.symlink(os.path.join(root, "nowhere"), os.path.join(root, "dist", "dangling")), "dangling/x",
         A_LINK.format(path="{bundle}/dangling")),
        (lambda root: os.symlink(os.path.join(root, "outside"), os.path.join(root, "dist", "assets", "out")),
         "assets/out", A_LINK.format(path="{bundle}/assets/out")),
        (lambda root: os.symlink(os.path.join(root, "outside"), os.path.join(root, "dist", "assets", "data")),
         "assets", A_LINK.format(path="{bundle}/assets/data")),
        (lambda root: os.mkdir(os.path.join(root, "dist", "assets", "page.js")), "assets",
         NOT_A_FILE.format(path="{bundle}/assets/page.js")),
        (lambda root: open(os.path.join(root, "dist", "assets", "data"), "w").close(), "assets",
         NOT_A_FOLDER.format(path="{bundle}/assets/data")),
        (lambda root: os.mkfifo(os.path.join(root, "dist", "assets", "page.js")), "assets",
         NOT_A_FILE.format(path="{bundle}/assets/page.js")),
        (lambda root: None, "x" * 256, LONG_NAME.format(long="x" * 256, bundle="{bundle}")),
        (lambda root: None, "a/" * 2100, None),
        (deep_source, "/".join(["b" * 250] * 9), None),
        (lambda root: os.symlink(os.path.join(root, "dist"), os.path.join(root, "content", "data", "up")), "scene",
         HOLDS_BUNDLE.format(source="{root}/content/data/up", bundle="{bundle}")),
        (lambda root: os.symlink(root, os.path.join(root, "content", "root")), "scene",
         HOLDS_BUNDLE.format(source="{root}/content/root", bundle="{bundle}")),
        (lambda root: os.symlink(os.path.join(root, "dist", "models", "m"), os.path.join(root, "content", "m")), "/",
         INSIDE_CLEARED.format(source="{root}/content/m", bundle="{bundle}")),
        (lambda root: os.symlink(os.path.join(root, "content"), os.path.join(root, "content", "data", "loop")), "/",
         LINK_LOOP),
    ],
    ids=["name-is-kept-file", "name-through-a-file", "name-through-broken-link", "name-through-link-in-assets",
         "link-in-the-way", "folder-in-the-way", "file-in-the-way", "pipe-in-the-way",
         "name-too-long", "path-too-long", "copied-path-too-long", "link-to-bundle", "link-to-a-folder-holding-it",
         "link-into-cleared-entry", "link-loop"],
)
def test_predictable_failures_are_refused_before_anything_is_removed(layout, prepare, folder_name, message):
    os.makedirs(os.path.join(layout.root, "outside"))
    prepare(layout.root)
    before = snapshot(layout.dist)
    lines = layout.run(f"attempt(Vesk.upload, 'content', {folder_name!r})")
    assert len(lines) == 1 and lines[0].startswith("raised: ValueError: "), lines
    if message is None:
        assert "is longer than the 4096 bytes a path may have" in lines[0]
    else:
        assert lines[0] == "raised: ValueError: " + message.format(root=layout.root, bundle=layout.bundle)
    assert snapshot(layout.dist) == before
    assert os.listdir(os.path.join(layout.root, "outside")) == []


def test_folder_name_of_a_cleared_file_becomes_a_folder(layout):
    removals = layout.removal_lines()
    lines = layout.run('attempt(Vesk.upload, "content", "old.js")')
    assert lines == removals + loading_lines(os.path.join(layout.root, "content")) + ["returned: None"]
    assert read_tree(os.path.join(layout.dist, "old.js")) == CONTENT


def test_a_link_in_the_bundle_is_removed_as_a_link(layout):
    outside = os.path.join(layout.root, "outside")
    make_tree(outside, {"keep.txt": "K"})
    os.symlink(outside, os.path.join(layout.dist, "linked"))
    os.symlink(os.path.join(outside, "keep.txt"), os.path.join(layout.dist, "linked.txt"))
    lines = layout.run('attempt(Vesk.upload, "content", "/"); attempt(Vesk.upload, "content", "scene")')
    assert f"已删除文件夹: {layout.bundle}/linked" in lines and f"该删 {layout.bundle}/linked.txt" in lines
    assert lines.count("returned: None") == 2
    assert read_tree(outside) == {"keep.txt": "K"}
    assert read_tree(layout.dist) == {"index.html": "<html>", "assets": {"app.js": "A"}, "scene": CONTENT}


def test_a_folder_swapped_for_a_link_during_the_copy_sends_nothing_outside(layout):
    outside = os.path.join(layout.root, "outside")
    os.makedirs(outside)
    target = os.path.join(layout.dist, "scene", "data")
    # The copy lists content/data once it has made and opened scene/data: the
    # module's `os` swaps that folder for a link to `outside` right then.
    lines = layout.run(
        f"""
        import types
        swapping = types.ModuleType("os")
        swapping.__dict__.update(os.__dict__)
        def listdir(path):
            if path.endswith("data") and os.path.isdir({target!r}) and not os.path.islink({target!r}):
                os.rename({target!r}, {target!r} + "-moved")
                os.symlink({outside!r}, {target!r})
            return os.listdir(path)
        swapping.listdir = listdir
        Vesk.os = swapping
        attempt(Vesk.upload, "content", "scene")
        """
    )
    assert lines[-1] == "returned: None"
    assert os.path.islink(target) and os.readlink(target) == outside
    assert os.listdir(outside) == []
    assert read_tree(target + "-moved") == CONTENT["data"]
