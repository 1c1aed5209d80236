"""The type checkers, run once per test session for all the checks.

Three programs, each over everything it checks, started together as soon as
the tests are collected so that they run beside the other tests (the
conftest's hook starts those named in the selected test modules'
TYPE_CHECKS):

- mypy: a user's project outside the checkout (no configuration file in it,
  nothing on the path but the installed packages) holding the probe and the
  README's examples, and the installed veskit under the strict flags;
- pyright: the same user's project;
- mypy's stubtest: the installed stub against the built module.

A run's `result()` waits for it; the tests read what it printed.
"""
from __future__ import annotations

import atexit
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import tempfile
from typing import Dict, Iterable, List, Optional

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BIN = os.path.dirname(sys.executable)

# What mypy and pyright report for a module without stubs: the check must see
# the stub's own types, not a module of unknown type.
PROBE = """\
import Vesk
reveal_type(Vesk.Vesk_Pal_st.one_task)
Vesk.copy_files(1, "b")
"""

# Checked under the same flags as veskit: its error shows that they apply.
STRICT_CANARY = """\
def untyped(value):
    return value
"""


def has_sb3() -> bool:
    return importlib.util.find_spec("stable_baselines3") is not None


def readme_examples() -> List[str]:
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        blocks = re.findall(r"```python\n(.*?)```", f.read(), re.S)
    if not has_sb3():  # those examples need the sb3 extra
        blocks = [b for b in blocks if "stable_baselines3" not in b and "veskit.sb3" not in b]
    if importlib.util.find_spec("ray") is None or importlib.util.find_spec("ray.rllib") is None:
        blocks = [b for b in blocks if "ray.rllib" not in b]  # those need the rllib extra
    return blocks


def veskit_modules() -> List[str]:
    """veskit's modules, named as the installed package is imported: the
    user's project checks them as installed, so their errors are reported."""
    modules = []
    for where, _, names in os.walk(os.path.join(ROOT, "veskit")):
        package = os.path.relpath(where, ROOT).replace(os.sep, ".")
        modules += [package if name == "__init__.py" else f"{package}.{name[:-3]}" for name in names
                    if name.endswith(".py")]
    return sorted(modules)


def strict_flags() -> Dict[str, bool]:
    """mypy's --strict as configuration-file settings, read from the help of
    the mypy installed, so that a newer mypy's added flags come along."""
    help_text = subprocess.run([os.path.join(BIN, "mypy"), "--help"], capture_output=True, text=True,
                               env=dict(os.environ, COLUMNS="10000"), check=True).stdout
    listed = re.search(r"--strict\s+Strict mode; enables the following flags: (.*)", help_text)
    if listed is None:
        raise RuntimeError("mypy --help does not list the flags of --strict:\n" + help_text)
    flags = {}
    for flag in re.findall(r"--([a-z-]+)", listed.group(1)):
        value = not flag.startswith("no-")
        flags[flag[3:] if flag.startswith("no-") else flag] = value
    return {name.replace("-", "_"): value for name, value in flags.items()}


def mypy_configuration() -> str:
    """veskit (and the canary) get the strict flags; the rest, the user's
    project, keeps mypy's defaults. The flags mypy only takes for the whole
    run go there too (warn_redundant_casts, harmless for the user's files)."""
    from mypy.options import PER_MODULE_OPTIONS

    flags = strict_flags()
    line = "{} = {}".format
    everywhere = [line(name, value) for name, value in flags.items() if name not in PER_MODULE_OPTIONS]
    strict = [line(name, value) for name, value in flags.items() if name in PER_MODULE_OPTIONS]
    sections = ["[mypy]", *everywhere, "[mypy-veskit,veskit.*,strict_canary]", *strict]
    if not has_sb3():  # the sb3 extra is not installed: its view cannot be checked
        sections += ["[mypy-veskit.sb3]", "ignore_errors = True"]
    return "\n".join(sections) + "\n"


class Run:
    """One checker running unattended: its output goes to files, as a pipe
    nobody reads could fill up and stop it."""

    def __init__(self, folder: str, name: str, args: List[str], cwd: str, env: Dict[str, str]):
        self.args = args
        self.out = open(os.path.join(folder, name + ".out"), "w+", encoding="utf-8")
        self.err = open(os.path.join(folder, name + ".err"), "w+", encoding="utf-8")
        self.process = subprocess.Popen(args, stdout=self.out, stderr=self.err, stdin=subprocess.DEVNULL,
                                        cwd=cwd, env=env, text=True)
        self.completed: Optional[subprocess.CompletedProcess] = None

    def result(self, timeout: float = 600) -> subprocess.CompletedProcess:
        if self.completed is None:
            try:
                self.process.wait(timeout)
            finally:
                self.stop()
            self.out.seek(0)
            self.err.seek(0)
            self.completed = subprocess.CompletedProcess(self.args, self.process.returncode, self.out.read(),
                                                         self.err.read())
        return self.completed

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()

    def close(self) -> None:
        self.stop()
        self.out.close()
        self.err.close()


class TypeChecks:
    """The runs, each started at its first use (`start` names those the
    selected tests read, so they start together); `pyright` is None where
    it cannot run."""

    def __init__(self) -> None:
        self.folder = tempfile.mkdtemp(prefix="vesk-type-checks-")
        self.project = os.path.join(self.folder, "project")
        self._runs: Dict[str, Optional[Run]] = {}
        # As in an activated virtual environment: its bin first on PATH.
        self.env = dict(os.environ, PATH=BIN + os.pathsep + os.environ.get("PATH", ""))
        self.env.pop("MYPYPATH", None)

    def start(self, names: Iterable[str]) -> None:
        for name in names:
            getattr(self, name)

    @property
    def mypy(self) -> Run:
        run = self._runs.get("mypy")
        if run is None:
            config = os.path.join(self.folder, "mypy.ini")
            with open(config, "w") as f:
                f.write(mypy_configuration())
            modules = ["probe", "readme", "strict_canary", *veskit_modules()]
            run = self._runs["mypy"] = Run(
                self.folder, "mypy", [os.path.join(BIN, "mypy"), "--no-incremental", "--config-file", config,
                                      *(arg for module in modules for arg in ("-m", module))],
                self._user_project(), self.env)
        return run

    @property
    def pyright(self) -> Optional[Run]:
        if "pyright" not in self._runs:
            runnable = os.path.exists(os.path.join(BIN, "pyright")) and shutil.which("node") is not None
            self._runs["pyright"] = Run(self.folder, "pyright", [os.path.join(BIN, "pyright"), "probe.py", "readme.py"],
                                        self._user_project(), self.env) if runnable else None
        return self._runs["pyright"]

    @property
    def stubtest(self) -> Run:
        run = self._runs.get("stubtest")
        if run is None:
            run = self._runs["stubtest"] = Run(
                self.folder, "stubtest", [sys.executable, "-m", "mypy.stubtest", "Vesk", "--mypy-config-file", os.devnull],
                self.folder, dict(self.env, MYPYPATH=self._stub_folder()))
        return run

    def _user_project(self) -> str:
        if not os.path.isdir(self.project):
            os.mkdir(self.project)
            with open(os.path.join(self.project, "probe.py"), "w") as f:
                f.write(PROBE)
            with open(os.path.join(self.project, "strict_canary.py"), "w") as f:
                f.write(STRICT_CANARY)
            # Read top to bottom, as a user does: later examples use earlier names.
            with open(os.path.join(self.project, "readme.py"), "w") as f:
                f.write("\n".join(readme_examples()))
        return self.project

    def _stub_folder(self) -> str:
        """The stub installed beside the module (copied: mypy refuses
        site-packages on its path), or the repository's for a module built
        in place."""
        import Vesk

        installed = os.path.join(os.path.dirname(os.path.abspath(Vesk.__file__)), "Vesk.pyi")
        if not os.path.exists(installed):
            return os.path.join(ROOT, "stubs")
        folder = os.path.join(self.folder, "stubs")
        os.makedirs(folder, exist_ok=True)
        shutil.copy(installed, folder)
        return folder

    def close(self) -> None:
        for run in self._runs.values():
            if run is not None:
                run.close()
        shutil.rmtree(self.folder, ignore_errors=True)


_session: Optional[TypeChecks] = None


def session() -> TypeChecks:
    """The runs of this process (a pytest session)."""
    global _session
    if _session is None:
        _session = TypeChecks()
        atexit.register(close)  # runs no test waited for (-x, an interrupt) end with the session too
    return _session


def close() -> None:
    global _session
    if _session is not None:
        _session.close()
        _session = None
