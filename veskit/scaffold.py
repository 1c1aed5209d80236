"""`python -m veskit new NAME [--dir PATH]`: a new environment folder that
trains as written.

The folder holds a page (index.html and assets/: a copy of the installed
client kit, a simulation without DOM, its task handlers, its drawing and the
wiring), a Node entry running the same simulation and handlers without the
page, the `Vesk.Vesk_Pal_st` subclass, a training script for either host and
its tests, all made from
the templates in veskit/templates/environment/. The task in it is a toy, a
point mass brought to rest at a target on a 1-D track, meant to be replaced.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import re
import shutil
import sys
import tempfile
from typing import List, Optional, Sequence

from .hosts.pages import frontend_folder

__all__ = ["ScaffoldError", "check_name", "class_name", "main", "new_environment", "templates_folder", "written_files"]

# A name becomes the folder, the module NAME_env.py, the test file and the
# class, so it must be a plain lower-case Python identifier.
_NAME = re.compile(r"[a-z][a-z0-9_]*\Z")
# The template tokens: in file names and in contents.
_NAME_TOKEN = "NAME"
_CLASS_TOKEN = "CLASS"
_TEMPLATE_SUFFIX = ".tmpl"
_KIT = pathlib.PurePath("page", "assets", "vesk-client.js")


class ScaffoldError(ValueError):
    """A name or a target folder that `new_environment` refuses."""


def templates_folder() -> pathlib.Path:
    """The environment templates shipped with the package."""
    return pathlib.Path(__file__).resolve().parent / "templates" / "environment"


def check_name(name: str) -> str:
    """`name` if it can name an environment, else ScaffoldError saying why
    and suggesting one that can."""
    if _NAME.match(name):
        return name
    suggestion = re.sub(r"[^a-z0-9_]+", "_", name.lower()).strip("_")
    suggestion = re.sub(r"^[0-9_]+", "", suggestion)
    hint = f"; try {suggestion!r}" if suggestion and _NAME.match(suggestion) else ""
    raise ScaffoldError(
        f"invalid environment name {name!r}: use lower-case letters, digits and underscores, starting with a"
        f" letter (it names the folder, the module {_NAME_TOKEN}_env.py and the class){hint}")


def class_name(name: str) -> str:
    """The subclass's name for an environment name: reach_target -> ReachTargetEnv."""
    return "".join(part[:1].upper() + part[1:] for part in check_name(name).split("_")) + "Env"


def new_environment(name: str, folder: "str | os.PathLike[str] | None" = None) -> pathlib.Path:
    """Writes the environment `name` into `folder` (default: ./name), which
    must not exist or be empty; returns the folder. Nothing is left behind
    when writing fails."""
    check_name(name)
    target = pathlib.Path(folder if folder is not None else name).absolute()
    if target.is_symlink():
        raise ScaffoldError(f"{target} is a symbolic link: name the folder itself")
    if target.exists():
        if not target.is_dir():
            raise ScaffoldError(f"{target} exists and is not a folder")
        if any(target.iterdir()):
            raise ScaffoldError(f"{target} exists and is not empty: choose another name or --dir")
    if not target.parent.is_dir():
        raise ScaffoldError(f"{target.parent} is not a folder: create it first")
    kit = frontend_folder() / "dist" / "assets" / "vesk-client.js"
    # Written beside the target, then renamed into place: a failure leaves no half-made folder.
    scratch = pathlib.Path(tempfile.mkdtemp(prefix=f".{name}-", dir=target.parent))
    try:
        for source, relative in _templates():
            text = source.read_text(encoding="utf-8")
            text = text.replace(_CLASS_TOKEN, class_name(name)).replace(_NAME_TOKEN, name)
            out = scratch / str(relative).replace(_NAME_TOKEN, name)
            out.parent.mkdir(parents=True, exist_ok=True)
            out.write_bytes(text.encode("utf-8"))  # as written: \n line ends on every system
        shutil.copyfile(kit, scratch / _KIT)
        scratch.chmod(0o777 & ~_umask())
        if target.is_dir():
            target.rmdir()  # empty, checked above
        scratch.rename(target)
    except BaseException:
        shutil.rmtree(scratch, ignore_errors=True)
        raise
    return target


def written_files(folder: pathlib.Path) -> List[pathlib.Path]:
    """The files of an environment folder, relative to it, in a stable order."""
    return sorted(p.relative_to(folder) for p in folder.rglob("*") if p.is_file())


def _templates() -> List[tuple[pathlib.Path, pathlib.Path]]:
    root = templates_folder()
    found = [(p, p.relative_to(root).with_suffix("")) for p in sorted(root.rglob("*" + _TEMPLATE_SUFFIX))]
    if not found:
        raise FileNotFoundError(f"the environment templates are missing from {root}")
    return found


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _shown(folder: pathlib.Path) -> str:
    """`folder` relative to the working folder when it lies inside it."""
    try:
        relative = os.path.relpath(folder)
    except ValueError:  # another drive
        return str(folder)
    return str(folder) if relative.startswith(os.pardir) else relative


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m veskit", description="Vesk's companion commands.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    new = commands.add_parser("new", help="write a new environment folder (a page, its subclass, training, tests)",
                              description="Writes a working environment folder: a page with the client kit, a "
                                          "simulation without DOM (run by the page or by Node), the Vesk_Pal_st "
                                          "subclass, train.py and tests.")
    new.add_argument("name", metavar="NAME", help="lower-case letters, digits and underscores, e.g. reach")
    new.add_argument("--dir", metavar="PATH", help="the folder to write (default: ./NAME); must not exist or be empty")
    args = parser.parse_args(argv)

    try:
        folder = new_environment(args.name, args.dir)
    except ScaffoldError as error:
        new.error(str(error))  # exits with status 2
    shown = _shown(folder)
    print(f"wrote {shown}{os.sep}:")
    for relative in written_files(folder):
        print(f"  {relative}")
    print("next:")
    print(f"  cd {shown}")
    print("  python train.py               # trains in headless Chromium (apt-get install chromium)")
    print("  python train.py --host node   # trains with the simulation in Node (apt-get install nodejs)")
    print("  python -m pytest              # the environment's tests")
    print("docs/authoring.md explains how to make the task your own.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
