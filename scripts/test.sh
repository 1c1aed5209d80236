#!/usr/bin/env bash
# Builds and installs Vesk into a virtual environment, then runs the tests.
# PYTHON=/path/to/python picks the interpreter; VESK_EXTRAS=ray adds extras
# (comma-separated) to the test install; extra arguments go to pytest.
source "$(dirname "$0")/setup-venv.sh" "test,demo${VESK_EXTRAS:+,$VESK_EXTRAS}"
exec "$VENV_PYTHON" -m pytest -q "$@"
