# Sourced by the other scripts: makes (or reuses) a virtual environment for
# $PYTHON (default python3) and installs Vesk into it with the given extras.
# Sets $VENV_PYTHON.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PYTHON=${PYTHON:-python3}
version=$("$PYTHON" -c 'import sys; print("%d.%d%s" % (sys.version_info[:2] + (getattr(sys, "abiflags", ""),)))')
venv=".venv-$version"
if [ ! -x "$venv/bin/python" ]; then
    "$PYTHON" -m venv "$venv"
fi
VENV_PYTHON="$PWD/$venv/bin/python"
target=.
[ -n "${1:-}" ] && target=".[$1]"
"$VENV_PYTHON" -m pip install --quiet --disable-pip-version-check "$target"
