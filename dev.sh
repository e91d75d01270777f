#!/usr/bin/env bash
# Sets up .venv with CPython 3.10, installs this project into it and runs the
# worked example, the tests or the benchmarks.  Run `./dev.sh help` for usage.
set -euo pipefail

usage() {
    cat <<'EOF'
usage: ./dev.sh COMMAND [ARGS...]

  example           run examples/worked_example.py
  test [ARGS...]    run pytest from the repository root, passing ARGS on
  lint              check the formatting and lint of the Python and C++ files
  bench [ARGS...]   run bench/run.py, passing ARGS on
  help              show this text

Each command first creates the virtual environment .venv with CPython 3.10
(unless it exists and works) and installs the project into it with its test
and lint extras (the lint tools at the versions pyproject.toml pins); the
CMake build tree under build/ keeps re-installs incremental.
CPython 3.10 is taken from python3.10 on PATH or from the pyenv versions.
EOF
}

fail() {
    echo "dev.sh: $*" >&2
    exit 1
}

# pip 21.3 is the first that builds a local project in place (so that the
# persistent build tree is reused); 23.0 also passes config settings through.
readonly MIN_PIP=23.0

is_python310() {
    "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 10))' >/dev/null 2>&1 </dev/null
}

find_python310() {
    local candidate
    if candidate=$(command -v python3.10 2>/dev/null) && is_python310 "$candidate"; then
        echo "$candidate"
        return
    fi
    local roots=()
    if command -v pyenv >/dev/null 2>&1; then
        roots+=("$(pyenv root 2>/dev/null || true)")
    fi
    roots+=("${HOME:-}/.pyenv")
    local root
    for root in "${roots[@]}"; do
        [ -n "$root" ] && [ -d "$root/versions" ] || continue
        # Highest patch release first.
        while IFS= read -r candidate; do
            if is_python310 "$candidate"; then
                echo "$candidate"
                return
            fi
        done < <(printf '%s\n' "$root"/versions/3.10.*/bin/python3.10 | sort -rV)
    done
    return 1
}

venv_works() {
    [ -x .venv/bin/python ] && is_python310 .venv/bin/python &&
        .venv/bin/python -m pip --version >/dev/null 2>&1 </dev/null
}

pip_is_recent() {
    .venv/bin/python - "$MIN_PIP" <<'EOF'
import sys
from importlib.metadata import version

def release(text):
    return tuple(int(part) for part in text.split(".")[:2] if part.isdigit())

sys.exit(release(version("pip")) < release(sys.argv[1]))
EOF
}

prepare() {
    if ! venv_works; then
        local python
        python=$(find_python310) ||
            fail "no CPython 3.10 found: put python3.10 on PATH or install 3.10 with pyenv"
        if [ -e .venv ]; then
            echo "dev.sh: .venv is broken or not CPython 3.10; creating it again" >&2
        fi
        rm -rf .venv
        "$python" -m venv .venv
    fi
    export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
    if ! pip_is_recent; then
        .venv/bin/python -m pip install -qq --upgrade pip </dev/null
    fi
    # Installing again costs a build environment and a CMake run even when
    # nothing changed, so it is skipped while the sources stay the same.
    local sources
    sources=$(source_digest)
    if [ "$(cat .venv/installed-sources 2>/dev/null)" != "$sources" ]; then
        rm -f .venv/installed-sources
        .venv/bin/python -m pip install -qq '.[test,lint]' </dev/null
        echo "$sources" >.venv/installed-sources
    fi
}

# A digest of every file the installed package is built from.
source_digest() {
    {
        find pyproject.toml CMakeLists.txt module_frame native src -type f \
            ! -path '*/__pycache__/*' -print0 2>/dev/null || true
    } | sort -z | xargs -0 -r sha1sum | sha1sum
}

# The files of the project that the formatters and linters cover.
lint() {
    local python_files cpp_files
    mapfile -t python_files < <(git ls-files -- '*.py' '*.pyi')
    mapfile -t cpp_files < <(git ls-files -- '*.cpp' '*.hpp')
    .venv/bin/ruff check "${python_files[@]}"
    .venv/bin/ruff format --check "${python_files[@]}"
    .venv/bin/clang-format --dry-run -Werror "${cpp_files[@]}"
    echo "lint: clean"
}

cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")"

command=${1:-help}
if [ $# -gt 0 ]; then
    shift
fi

case "$command" in
    example)
        prepare
        exec .venv/bin/python examples/worked_example.py "$@"
        ;;
    test)
        prepare
        exec .venv/bin/python -m pytest "$@"
        ;;
    lint)
        prepare
        lint
        ;;
    bench)
        [ -f bench/run.py ] || fail "there is no bench/run.py to run"
        prepare
        exec .venv/bin/python bench/run.py "$@"
        ;;
    help | -h | --help)
        usage
        ;;
    *)
        usage >&2
        exit 2
        ;;
esac
