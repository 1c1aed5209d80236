#!/usr/bin/env bash
# Installs optional extras (comma-separated: sb3, ray, ...) into the virtual
# environment the README's commands use, .venv-<python version>: only the
# extras' own packages when the module there is current (nothing is rebuilt),
# else the module is built first as by the other scripts. A command after the
# extras then runs with that environment's bin first on PATH:
#     bash scripts/extras.sh ray python examples/train_ray.py --actors 2
[ $# -ge 1 ] || { echo "usage: bash scripts/extras.sh EXTRA[,EXTRA...] [command ...]" >&2; exit 2; }
source "$(dirname "$0")/setup-venv.sh" "$1"
shift
if [ $# -eq 0 ]; then
    echo "extras: installed in $venv; its python is $VENV_PYTHON (or: source $venv/bin/activate)"
    exit 0
fi
VIRTUAL_ENV="$(dirname "$(dirname "$VENV_PYTHON")")"
PATH="$VIRTUAL_ENV/bin:$PATH"
export VIRTUAL_ENV PATH
exec "$@"
