# Sourced by the other scripts: makes (or reuses) a virtual environment for
# $PYTHON (default python3) and installs Vesk into it with the given extras.
# $VENV_PREFIX names the environment (default .venv); $PIP_BUILD_ARGS go to
# pip install (build settings). Sets $VENV_PYTHON.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PYTHON=${PYTHON:-python3}
version=$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
venv="${VENV_PREFIX:-.venv}-$version"
if [ ! -x "$venv/bin/python" ]; then
    "$PYTHON" -m venv "$venv"
fi
VENV_PYTHON="$PWD/$venv/bin/python"
target=.
[ -n "${1:-}" ] && target=".[$1]"
# shellcheck disable=SC2086
"$VENV_PYTHON" -m pip install --quiet --disable-pip-version-check ${PIP_BUILD_ARGS:-} "$target"
