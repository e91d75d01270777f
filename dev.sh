#!/usr/bin/env bash
# Sets up a virtual environment for one CPython version, installs this project
# into it and runs the worked example, the checks, the tests or the
# benchmarks.  Run `./dev.sh help` for usage.
set -euo pipefail

readonly DEFAULT_VERSION=3.10

usage() {
    cat <<'EOF'
usage: [PYTHON=VERSION] ./dev.sh COMMAND [ARGS...]

  example           run examples/worked_example.py
  test [ARGS...]    run pytest from the repository root, passing ARGS on
  lint              check the formatting and lint of the Python and C++ files
  bench [ARGS...]   run the benchmark suite (bench/run.py), passing ARGS on
  wheel [ARGS...]   build the sdist and a manylinux wheel into dist/ with
                    tools/build_wheel.py, passing ARGS on
  sanitize [ARGS...]
                    build the modules with AddressSanitizer and
                    UndefinedBehaviorSanitizer into .venv-asan-X.Y and run
                    pytest there with tools/sanitizers.sh, passing ARGS on
  valgrind          run every entry point under valgrind's memcheck
                    (tools/valgrind_entry_points.py)
  celery [ARGS...]  run tests/test_celery.py (a Redis server and Celery
                    workers of its own, on loopback) in .venv-celery-X.Y, with
                    the celery extra; installs Debian's redis-server where it
                    is missing; passes ARGS on to pytest
  help              show this text

PYTHON chooses the interpreter: a version (3.10, the default, 3.11, 3.12,
3.13, 3.14 or 3.15), taken from pythonX.Y on PATH or from the pyenv versions,
or the path of an interpreter.  Where neither has 3.14 or 3.15, Debian's
build of it is unpacked into ~/.cache/dravolt_common/cpython (or
$DRAVOLT_CPYTHON_ROOT) by tools/install_cpython.sh.  A version with a d
(3.14d, 3.15d) names CPython's debug build, whose assertions check every use
of the C API; it is taken from pythonX.Yd on PATH or unpacked the same way.
Each command first creates the virtual environment .venv-X.Y for that
version (unless it exists and works) and installs the
project into it with its test and lint extras (the lint tools at the versions
pyproject.toml pins); the CMake build tree under build/, one per version,
keeps re-installs incremental.  The benchmarks run in an environment of their
own, .venv-bench-X.Y, with the project and its bench extra.
EOF
}

fail() {
    echo "dev.sh: $*" >&2
    exit 1
}

# pip 21.3 is the first that builds a local project in place (so that the
# persistent build tree is reused); 23.0 also passes config settings through.
readonly MIN_PIP=23.0

# The X.Y version of an interpreter, with a d for a debug build; fails when it
# does not run.
version_of() {
    "$1" -c 'import sys; print("%d.%d%s" % (*sys.version_info[:2], "d" * hasattr(sys, "gettotalrefcount")))' 2>/dev/null </dev/null
}

# The path of a CPython X.Y: pythonX.Y on PATH, else the highest patch release
# among the pyenv versions (whose shims may refuse to run it).
find_python() {
    local version=$1 candidate
    if candidate=$(command -v "python$version" 2>/dev/null) &&
        [ "$(version_of "$candidate")" = "$version" ]; then
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
        while IFS= read -r candidate; do
            if [ "$(version_of "$candidate")" = "$version" ]; then
                echo "$candidate"
                return
            fi
        done < <(printf '%s\n' "$root"/versions/"$version".*/bin/python"$version" | sort -rV)
    done
    return 1
}

# The path of Debian's CPython X.Y (3.14 or newer; X.Yd for its debug build),
# unpacked into a private folder on first use.
unpacked_python() {
    local version=${1%d} debug=()
    [ "$version" != "$1" ] && debug=(--debug)
    [[ $version =~ ^3\.(1[4-9]|[2-9][0-9])$ ]] || return 1
    tools/install_cpython.sh "${debug[@]}" "$version"
}

# Sets PYTHON_BIN, VERSION and VENV from $PYTHON.
select_python() {
    local wanted=${PYTHON:-$DEFAULT_VERSION}
    if [[ $wanted == */* ]]; then
        VERSION=$(version_of "$wanted") || fail "PYTHON=$wanted does not run"
        PYTHON_BIN=$wanted
    else
        VERSION=$wanted
        PYTHON_BIN=$(find_python "$VERSION") || PYTHON_BIN=$(unpacked_python "$VERSION") ||
            fail "no CPython $VERSION found: put python$VERSION on PATH or install it with pyenv"
    fi
    VENV=.venv-$VERSION
}

venv_works() {
    [ -x "$VENV/bin/python" ] && [ "$(version_of "$VENV/bin/python")" = "$VERSION" ] &&
        "$VENV/bin/python" -m pip --version >/dev/null 2>&1 </dev/null
}

pip_is_recent() {
    "$VENV/bin/python" - "$MIN_PIP" <<'EOF'
import sys
from importlib.metadata import version

def release(text):
    return tuple(int(part) for part in text.split(".")[:2] if part.isdigit())

sys.exit(release(version("pip")) < release(sys.argv[1]))
EOF
}

# Sets up $VENV for the chosen version with the project and the given extras.
prepare() {
    local extras=${1:-test,lint}
    select_python
    if [ "$extras" != test,lint ]; then
        VENV=.venv-${extras%%,*}-$VERSION
    fi
    if ! venv_works; then
        if [ -e "$VENV" ]; then
            echo "dev.sh: $VENV is broken or not CPython $VERSION; creating it again" >&2
        fi
        rm -rf "$VENV"
        "$PYTHON_BIN" -m venv "$VENV"
    fi
    export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
    if ! pip_is_recent; then
        "$VENV/bin/python" -m pip install -qq --upgrade pip </dev/null
    fi
    # Installing again costs a build environment and a CMake run even when
    # nothing changed, so it is skipped while the sources stay the same.
    local sources
    sources=$(source_digest)
    if [ "$(cat "$VENV/installed-sources" 2>/dev/null)" != "$sources" ]; then
        rm -f "$VENV/installed-sources"
        "$VENV/bin/python" -m pip install -qq ".[$extras]" </dev/null
        echo "$sources" >"$VENV/installed-sources"
    fi
}

# A digest of every file the installed package is built from, and of whether
# warnings are errors (CI=true).
source_digest() {
    {
        echo "CI=${CI:-}"
        {
            find pyproject.toml CMakeLists.txt module_frame native src -type f \
                ! -path '*/__pycache__/*' -print0 2>/dev/null || true
        } | sort -z | xargs -0 -r sha1sum
    } | sha1sum
}

# The files of the project that the formatters and linters cover.
lint() {
    local python_files cpp_files
    mapfile -t python_files < <(git ls-files -- '*.py' '*.pyi')
    mapfile -t cpp_files < <(git ls-files -- '*.cpp' '*.hpp')
    "$VENV/bin/ruff" check "${python_files[@]}"
    "$VENV/bin/ruff" format --check "${python_files[@]}"
    "$VENV/bin/clang-format" --dry-run -Werror "${cpp_files[@]}"
    echo "lint: clean"
}

# Installs a Debian package when what it provides is missing (machines of
# this kind have valgrind; a bare Debian may not). The sanitizers' runtime
# comes with g++.
ensure_debian_package() {
    local package=$1 present=$2
    if ! eval "$present" >/dev/null 2>&1; then
        echo "dev.sh: installing $package from Debian's packages"
        local sudo=
        [ "$(id -u)" -eq 0 ] || sudo=sudo
        $sudo apt-get update -qq && $sudo apt-get install -y -qq "$package" >/dev/null
    fi
}

cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")"

command=${1:-help}
if [ $# -gt 0 ]; then
    shift
fi

case "$command" in
    example)
        prepare
        exec "$VENV/bin/python" examples/worked_example.py "$@"
        ;;
    test)
        prepare
        exec "$VENV/bin/python" -m pytest "$@"
        ;;
    lint)
        prepare
        lint
        ;;
    bench)
        prepare bench
        exec "$VENV/bin/python" bench/run.py "$@"
        ;;
    wheel)
        prepare
        exec "$VENV/bin/python" tools/build_wheel.py "$@"
        ;;
    sanitize)
        # An environment of its own, with a debug build of the modules made
        # with the sanitizers, in a build tree of its own.
        select_python
        VENV=.venv-asan-$VERSION
        if ! venv_works; then
            rm -rf "$VENV"
            "$PYTHON_BIN" -m venv "$VENV"
        fi
        export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
        if ! pip_is_recent; then
            "$VENV/bin/python" -m pip install -qq --upgrade pip </dev/null
        fi
        flags="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
        sources="$(source_digest) $flags"
        if [ "$(cat "$VENV/installed-sources" 2>/dev/null)" != "$sources" ]; then
            rm -f "$VENV/installed-sources"
            # The long option: pip 23.0, which CPython 3.10 brings, has no -C.
            "$VENV/bin/python" -m pip install -qq ".[test]" \
                --config-settings=build-dir="build/asan-{wheel_tag}" \
                --config-settings=cmake.build-type=Debug \
                --config-settings="cmake.define.CMAKE_CXX_FLAGS=$flags" \
                --config-settings="cmake.define.CMAKE_SHARED_LINKER_FLAGS=-fsanitize=address,undefined" </dev/null
            echo "$sources" >"$VENV/installed-sources"
        fi
        exec tools/sanitizers.sh "$VENV/bin/python" "$@"
        ;;
    valgrind)
        ensure_debian_package valgrind 'command -v valgrind'
        prepare
        exec "$VENV/bin/python" tools/valgrind_entry_points.py "$@"
        ;;
    celery)
        # The package's postinst starts the system's Redis service: the tests
        # start a server of their own, so the one the install started stops.
        if ! command -v redis-server >/dev/null 2>&1; then
            ensure_debian_package redis-server 'command -v redis-server'
            service redis-server stop >/dev/null 2>&1 || true
        fi
        prepare celery,test
        export DRAVOLT_CELERY_REQUIRED=1
        exec "$VENV/bin/python" -m pytest tests/test_celery.py "$@"
        ;;
    help | -h | --help)
        usage
        ;;
    *)
        usage >&2
        exit 2
        ;;
esac
