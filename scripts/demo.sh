#!/usr/bin/env bash
# Builds and installs Vesk into a virtual environment, then runs the demo.
source "$(dirname "$0")/setup-venv.sh" demo
exec "$VENV_PYTHON" examples/demo.py "$@"
