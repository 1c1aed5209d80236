# Sourced by the other scripts: checks the machine's prerequisites, makes (or
# reuses) a virtual environment for $PYTHON and installs Vesk into it with the
# given extras (comma-separated). $VENV_PREFIX names the environment (default
# .venv); $PIP_BUILD_ARGS go to pip install (build settings). Sets $VENV_PYTHON.
#
# Missing prerequisites are installed from Debian's packages when we are root
# and apt-get exists; otherwise the exact command is printed. The install is
# skipped when nothing it is made from has changed, and a changed source
# recompiles only what changed: the build folder build/<wheel tag> is kept and
# the build runs without pip's throw-away build environment (a new one each
# time makes scikit-build-core clear CMake's cache and rebuild everything).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PYTHON=${PYTHON:-python3}
extras=${1:-}

# --- prerequisites: "<debian package> <check>" pairs
missing=()
have_command() { command -v "$1" >/dev/null 2>&1; }
have_command "$PYTHON" || { echo "setup: $PYTHON not found; install Python 3.9 or newer (Debian: apt-get install -y python3)" >&2; exit 1; }
have_command c++ || have_command g++ || have_command clang++ || missing+=(g++)
"$PYTHON" -c 'import os, sysconfig, sys; sys.exit(not os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' \
    || missing+=(python3-dev)
"$PYTHON" -c 'import ensurepip, venv' 2>/dev/null || missing+=(python3-venv)
chromium_found() {
    [ -n "${VESK_CHROMIUM:-}" ] && have_command "$VESK_CHROMIUM" && return 0
    local name
    for name in chromium chromium-browser google-chrome google-chrome-stable; do have_command "$name" && return 0; done
    return 1
}
chromium_found || missing+=(chromium)
# Node (optional: veskit.NodeHost, the front-end's tests) needs a WebSocket:
# its own (Node 22+, or 20 and 21 behind a flag) or the ws package (Debian's
# node-ws, for Debian's Node 18).
node_command=$(command -v "${VESK_NODE:-node}" || command -v nodejs || true)
has_websocket='process.exit(typeof WebSocket === "function" ? 0 : 1)'
if [ -z "$node_command" ]; then
    missing+=(nodejs node-ws)
elif ! "$node_command" -e "$has_websocket" 2>/dev/null \
        && ! "$node_command" --experimental-websocket -e "$has_websocket" 2>/dev/null \
        && ! "$node_command" -e 'require.resolve("ws")' 2>/dev/null && [ ! -d /usr/share/nodejs/ws ]; then
    missing+=(node-ws)
fi
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" = 0 ] && have_command apt-get; then
        echo "setup: installing ${missing[*]} with apt-get"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    else
        echo "setup: missing ${missing[*]}; install with:" >&2
        echo "    sudo apt-get install -y ${missing[*]}" >&2
        # Without Chromium the demo prints the page to open and the browser
        # tests skip; without Node the Node host's tests skip.
        for package in "${missing[@]}"; do
            case $package in chromium | nodejs | node-ws) ;; *) exit 1 ;; esac
        done
    fi
fi

# --- the virtual environment and the install
version=$("$PYTHON" -c 'import sys; print("%d.%d%s" % (sys.version_info[:2] + (getattr(sys, "abiflags", ""),)))')
venv="${VENV_PREFIX:-.venv}-$version"
if [ ! -x "$venv/bin/python" ]; then
    "$PYTHON" -m venv "$venv"
fi
VENV_PYTHON="$PWD/$venv/bin/python"
target=.
[ -n "$extras" ] && target=".[$extras]"
# The stamp: a digest of what the install is made from, then the extras
# installed so far (their packages stay when the package itself is reinstalled).
stamp_file="$venv/.vesk-installed"
digest=$( { "$VENV_PYTHON" -c 'import sys; print(sys.version)'; echo "${PIP_BUILD_ARGS:-}";
            find CMakeLists.txt pyproject.toml src stubs veskit frontend -type f \
                 ! -path '*/__pycache__/*' ! -path '*/node_modules/*' ! -path 'frontend/tests/*' -print0 \
                | sort -z | xargs -0 sha256sum; } | sha256sum | cut -d' ' -f1)
installed=()
current=no
[ -f "$stamp_file" ] && [ "$(head -n 1 "$stamp_file")" = "$digest" ] && current=yes
[ "$current" = yes ] && mapfile -t installed < <(tail -n +2 "$stamp_file")
IFS=, read -r -a wanted <<<"$extras"
missing_extras=()
for extra in "${wanted[@]}"; do
    printf '%s\n' "${installed[@]}" | grep -qx -- "$extra" || missing_extras+=("$extra")
done
pip=("$VENV_PYTHON" -m pip --disable-pip-version-check)

# Runs pip quietly, with a line every 10 s (the ninja step while the C++
# module compiles); its whole output is shown when it fails.
pip_with_progress() {
    local what=$1 log start pid step next=10
    shift
    log=$(mktemp)
    start=$SECONDS
    "${pip[@]}" install -v "$@" >"$log" 2>&1 &
    pid=$!
    while kill -0 "$pid" 2>/dev/null; do
        sleep 1
        if [ $((SECONDS - start)) -ge $next ]; then
            next=$((next + 10))
            step=$(grep -Eo '^ *\[[0-9]+/[0-9]+\]' "$log" | tail -n 1 | tr -d ' ' || true)
            echo "setup: $what (${step:+compiling $step, }$((SECONDS - start)) s)"
        fi
    done
    if ! wait "$pid"; then
        tail -n 60 "$log" >&2
        echo "setup: $what failed; pip's whole output is in $log" >&2
        return 1
    fi
    rm -f "$log"
    echo "setup: $what took $((SECONDS - start)) s"
}

if [ "$current" = no ]; then
    rm -f "$stamp_file"
    build=("scikit-build-core>=0.8")
    have_command cmake || build+=(cmake)
    have_command ninja || build+=(ninja)
    "${pip[@]}" install --quiet "${build[@]}"
    echo "setup: building the C++ module and installing Vesk${extras:+ with $extras} into $venv" \
         "(about 2 minutes from scratch on 2 cores; seconds when little changed)"
    # shellcheck disable=SC2086
    pip_with_progress "building and installing" --no-build-isolation --config-settings=build.verbose=true ${PIP_BUILD_ARGS:-} "$target"
elif [ ${#missing_extras[@]} -gt 0 ]; then
    # The module is current: only the extras' own packages are installed, from
    # the installed package's metadata (pip builds nothing for it).
    joined=$(IFS=,; echo "${missing_extras[*]}")
    vesk_version=$("$VENV_PYTHON" -c 'from importlib.metadata import version; print(version("Vesk"))')
    echo "setup: installing the extras $joined into $venv"
    pip_with_progress "installing $joined" "Vesk[$joined]==$vesk_version"
fi
if [ "$current" = no ] || [ ${#missing_extras[@]} -gt 0 ]; then
    { echo "$digest"; printf '%s\n' "${installed[@]}" "${wanted[@]}" | grep -v '^$' | sort -u; } >"$stamp_file"
fi
