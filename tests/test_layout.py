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
