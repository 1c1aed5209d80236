import os
import traceback

import pytest

import Vesk

copy_files = Vesk.copy_files


def make_tree(root, tree):
    """tree: dict of name -> text (a file) or dict (a folder)."""
    root.mkdir(parents=True, exist_ok=True)
    for name, content in tree.items():
        if isinstance(content, dict):
            make_tree(root / name, content)
        else:
            (root / name).write_text(content)


def read_tree(root):
    tree = {}
    for entry in os.scandir(root):
        tree[entry.name] = read_tree(entry.path) if entry.is_dir() else open(entry.path).read()
    return tree


def chain(depth):
    tree = {}
    for _ in range(depth):
        tree = {"d": tree}
    return tree


def test_copies_tree_printing_one_line_per_file_after_it(tmp_path, capsys):
    tree = {"a.txt": "A", "sub": {"b.txt": "B", "deeper": {"c.txt": "C"}, "empty": {}}}
    make_tree(tmp_path / "src", tree)
    source, destination = str(tmp_path / "src"), str(tmp_path / "out" / "nested")

    assert copy_files(source, destination) is None

    assert read_tree(destination) == tree
    expected = []

    def walk(folder):
        for item in os.listdir(folder):
            path = os.path.join(folder, item)
            if os.path.isfile(path):
                expected.append("loading: " + path)
            else:
                walk(path)

    walk(source)
    assert capsys.readouterr().out.splitlines() == expected


def test_empty_source_creates_destination_silently(tmp_path, capsys):
    (tmp_path / "src").mkdir()
    assert copy_files(source_folder=str(tmp_path / "src"), destination_folder=str(tmp_path / "a" / "b")) is None
    assert (tmp_path / "a" / "b").is_dir()
    assert capsys.readouterr().out == ""


def test_existing_destination_is_reused(tmp_path):
    make_tree(tmp_path / "src", {"same.txt": "new"})
    make_tree(tmp_path / "dst", {"same.txt": "old", "extra.txt": "kept"})
    os.utime(tmp_path / "src" / "same.txt", (1_000_000_000, 1_000_000_000))
    copy_files(str(tmp_path / "src"), str(tmp_path / "dst"))
    assert read_tree(tmp_path / "dst") == {"same.txt": "new", "extra.txt": "kept"}
    # copy2 carries the file's times over.
    assert os.stat(tmp_path / "dst" / "same.txt").st_mtime == 1_000_000_000


@pytest.mark.parametrize(
    "tree, index, fails",
    [
        ({f"d{i}": {} for i in range(10)}, 0, False),
        ({f"d{i}": {} for i in range(11)}, 0, True),
        (chain(10), 0, False),
        (chain(11), 0, True),
        ({"d": {}}, 10, True),
        ({"d": {}}, 9, False),
        ({f"d{i}": {} for i in range(15)}, -5, False),
        ({f"d{i}": {} for i in range(16)}, -5, True),
    ],
    ids=["10-siblings", "11-siblings", "chain-10", "chain-11", "index-10", "index-9", "negative", "negative-over"],
)
def test_sub_folder_limit(tmp_path, tree, index, fails):
    make_tree(tmp_path / "src", tree)
    args = (str(tmp_path / "src"), str(tmp_path / "dst"), index)
    if fails:
        with pytest.raises(RecursionError) as caught:
            copy_files(*args)
        assert str(caught.value) == "Too many directories."
        assert type(caught.value) is RecursionError
    else:
        copy_files(*args)
        assert read_tree(tmp_path / "dst") == tree


def test_the_count_is_added_to_not_changed_in_place(tmp_path):
    # An array count must not carry a sub-folder's additions back to its parent.
    np = pytest.importorskip("numpy")
    make_tree(tmp_path / "src", {f"d{i}": {f"e{j}": {} for j in range(2)} for i in range(4)})
    index = np.array(0)
    copy_files(str(tmp_path / "src"), str(tmp_path / "dst"), index)
    assert index == 0
    assert len(list((tmp_path / "dst").iterdir())) == 4


def test_count_is_the_sum_of_positions_along_the_path(tmp_path):
    make_tree(tmp_path / "src", {f"d{i}": {} for i in range(10)})
    order = os.listdir(tmp_path / "src")
    # Below the ninth folder in listing order a first child makes 9 + 1.
    (tmp_path / "src" / order[8] / "child").mkdir()
    copy_files(str(tmp_path / "src"), str(tmp_path / "ok"))
    assert (tmp_path / "ok" / order[8] / "child").is_dir()
    # Below the tenth it makes 10 + 1: refused before its destination exists.
    (tmp_path / "src" / order[9] / "child").mkdir()
    with pytest.raises(RecursionError):
        copy_files(str(tmp_path / "src"), str(tmp_path / "dst"))
    assert (tmp_path / "dst" / order[9]).is_dir()
    assert not (tmp_path / "dst" / order[9] / "child").exists()


def test_error_gains_an_entry_per_call_and_keeps_what_was_copied(tmp_path):
    make_tree(tmp_path / "src", chain(11))
    (tmp_path / "src" / "d" / "f.txt").write_text("kept")
    with pytest.raises(RecursionError) as caught:
        copy_files(str(tmp_path / "src"), str(tmp_path / "dst"))
    names = [entry.name for entry in traceback.extract_tb(caught.value.__traceback__)]
    assert names[1:] == ["Vesk.copy_files"] * 11
    assert (tmp_path / "dst" / "d" / "f.txt").read_text() == "kept"


def test_missing_source_fails_after_creating_destination(tmp_path):
    with pytest.raises(FileNotFoundError):
        copy_files(str(tmp_path / "missing"), str(tmp_path / "dst"))
    assert (tmp_path / "dst").is_dir()


def test_destination_that_is_a_file_fails(tmp_path):
    make_tree(tmp_path / "src", {"a.txt": "A"})
    (tmp_path / "dst").write_text("a file")
    with pytest.raises(OSError):
        copy_files(str(tmp_path / "src"), str(tmp_path / "dst"))


def test_links_are_followed_and_a_cycle_hits_the_limit(tmp_path, capsys):
    make_tree(tmp_path / "target", {"t.txt": "T"})
    make_tree(tmp_path / "src", {})
    os.symlink(tmp_path / "target", tmp_path / "src" / "link")
    os.symlink(tmp_path / "nowhere", tmp_path / "src" / "broken")
    copy_files(str(tmp_path / "src"), str(tmp_path / "dst"))
    assert read_tree(tmp_path / "dst") == {"link": {"t.txt": "T"}}
    assert not os.path.islink(tmp_path / "dst" / "link")
    assert capsys.readouterr().out == f"loading: {tmp_path / 'src' / 'link' / 't.txt'}\n"

    (tmp_path / "cycle").mkdir()
    os.symlink(tmp_path / "cycle", tmp_path / "cycle" / "loop")
    with pytest.raises(RecursionError, match="^Too many directories.$"):
        copy_files(str(tmp_path / "cycle"), str(tmp_path / "cycle_copy"))


def test_recursion_goes_through_the_module_level_name(tmp_path, monkeypatch):
    make_tree(tmp_path / "src", {"a": {}, "b": {}})
    original = Vesk.copy_files
    calls = []
    monkeypatch.setattr(Vesk, "copy_files", lambda *args, **kwargs: calls.append((args, kwargs)))
    original(str(tmp_path / "src"), str(tmp_path / "dst"), 3)
    order = os.listdir(tmp_path / "src")
    assert calls == [
        ((str(tmp_path / "src" / name), str(tmp_path / "dst" / name), 4 + position), {})
        for position, name in enumerate(order)
    ]
