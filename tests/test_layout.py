"""The source layout's rules that the compiler does not check: which folder
of src/ may include which."""
import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"/]+)/[^"]+"', re.MULTILINE)

# Folders a folder's files must never include: env and bridge meet only at
# run time and through the failure home, which sits below both.
FORBIDDEN = {
    "env": {"bridge"},
    "bridge": {"env"},
    "failure": {"env", "bridge", "util", "module"},
    "core": {"env", "bridge", "util", "module", "failure"},
}


def included_folders(folder):
    """(file, included folder) for every quoted include of src/<folder>."""
    for path in sorted((SRC / folder).glob("*.[ch]*")):
        for match in INCLUDE.finditer(path.read_text(encoding="utf-8")):
            yield path.name, match.group(1)


@pytest.mark.parametrize("folder", sorted(FORBIDDEN))
def test_no_include_crosses_between_subsystems(folder):
    assert (SRC / folder).is_dir()
    crossing = [f"src/{folder}/{name} includes {target}/"
                for name, target in included_folders(folder) if target in FORBIDDEN[folder]]
    assert crossing == []


def test_the_check_sees_includes():
    # Guards the pattern itself: env includes failure/ for the exchange.
    assert ("task_exchange.cpp", "failure") in set(included_folders("env"))


# --- every file is on the map (docs/architecture.md)

ROOT = SRC.parent
MAP = ROOT / "docs" / "architecture.md"
FOLDER_HEADING = re.compile(r"^#+ .*?`([^`]+/)`", re.MULTILINE)
ROW = re.compile(r"^\|([^|\n]*)\|", re.MULTILINE)


def named_on_map(text):
    """Repo-relative paths the map's tables name in their first column; a
    table under a heading that names a folder names its files relative to it."""
    named = set()
    sections = re.split(r"^(?=#)", text, flags=re.MULTILINE)
    for section in sections:
        heading = FOLDER_HEADING.match(section)
        folder = heading.group(1) if heading else ""
        for cell in ROW.findall(section):
            for name in re.findall(r"`([^`]+)`", cell):
                named.add(name if name.startswith(("src/", "veskit/")) else folder + name)
    return named


def files_to_name():
    """Every unit the map must name: C++ files of src/, Python and JavaScript
    modules of veskit/, and veskit's templates folder as a whole."""
    units = {p for pattern in ("*.cpp", "*.h") for p in SRC.rglob(pattern)}
    veskit = ROOT / "veskit"
    units |= {p for pattern in ("*.py", "*.mjs") for p in veskit.rglob(pattern) if "templates" not in p.parts}
    names = {p.relative_to(ROOT).as_posix() for p in units}
    return names | {"veskit/templates/"}


def test_every_file_is_on_the_map():
    missing = sorted(files_to_name() - named_on_map(MAP.read_text(encoding="utf-8")))
    assert missing == [], "name these in docs/architecture.md: " + ", ".join(missing)


def test_the_map_names_no_file_that_is_gone():
    gone = [name for name in named_on_map(MAP.read_text(encoding="utf-8"))
            if name.startswith(("src/", "veskit/")) and not (ROOT / name).exists()]
    assert gone == []


@pytest.mark.parametrize("table, named", [
    ("### `src/core/`\n\n| file | owns |\n|---|---|\n| `ref.h`, `call.h` | x |\n", {"src/core/ref.h", "src/core/call.h"}),
    ("## veskit\n\n| file | owns |\n|---|---|\n| `veskit/hosts/base.py` | x |\n", {"veskit/hosts/base.py"}),
    ("### `src/env/`\n\nprose naming `episode.cpp`\n", set()),
])
def test_the_map_check_reads_table_rows_only(table, named):
    assert named_on_map(table) & {"src/core/ref.h", "src/core/call.h", "veskit/hosts/base.py",
                                  "src/env/episode.cpp"} == named
