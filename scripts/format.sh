#!/usr/bin/env bash
# Formats C++ sources with the repository's .clang-format (the files given,
# or every file under src/). --check only reports files that would change.
source "$(dirname "$0")/setup-venv.sh" format
formatter="$(dirname "$VENV_PYTHON")/clang-format"
mode=(-i)
if [ "${1:-}" = "--check" ]; then
    mode=(--dry-run --Werror)
    shift
fi
files=("$@")
[ ${#files[@]} -eq 0 ] && mapfile -t files < <(git ls-files 'src/*.cpp' 'src/*.h')
exec "$formatter" "${mode[@]}" "${files[@]}"
