#!/usr/bin/env bash
# Builds and installs Vesk into a virtual environment, then runs the tests.
# PYTHON=/path/to/python picks the interpreter; extra arguments go to pytest.
source "$(dirname "$0")/setup-venv.sh" test,demo
exec "$VENV_PYTHON" -m pytest -q "$@"
