#!/usr/bin/env bash
# The test suite (browser tests excepted) against an AddressSanitizer +
# UndefinedBehaviorSanitizer build of the module, in its own environment
# .venv-sanitize-<version>. Any report fails the run. Extra arguments go to pytest.
VENV_PREFIX=.venv-sanitize PIP_BUILD_ARGS="-C cmake.define.VESK_SANITIZE=ON -C build-dir=build/sanitize-{wheel_tag}" \
    source "$(dirname "$0")/setup-venv.sh" test
# The one place the runtimes are preloaded. The interpreter links neither:
# ASan must come first to see every allocation, and libstdc++ beside it, or
# ASan's interceptors miss C++ throws and abort at the first one.
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
export LD_PRELOAD
# CPython keeps much of its memory to the end, so leaks are not reported.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Tests that start Chromium or type checkers are left out: the preload would
# reach those programs too.
exec "$VENV_PYTHON" -m pytest -q --ignore=tests/test_browser.py --ignore=tests/test_launcher.py \
    --ignore=tests/test_workers.py --ignore=tests/test_ray_workers.py --ignore=tests/test_typing.py \
    --ignore=tests/test_authoring.py --ignore=tests/test_browser_security.py --ignore=tests/test_hosts.py \
    --ignore=tests/test_readme.py --ignore=tests/test_registered.py --ignore=tests/test_rllib.py \
    --ignore=tests/test_ray_cluster.py "$@"
