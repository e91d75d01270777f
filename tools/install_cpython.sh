#!/usr/bin/env bash
# Installs Debian's CPython X.Y (3.14 or 3.15; with --debug also its debug
# build, pythonX.Yd) into a private folder and prints the interpreter's path.
#
#   tools/install_cpython.sh [--debug] X.Y
#
# The root is ${DRAVOLT_CPYTHON_ROOT:-$HOME/.cache/dravolt_common/cpython}/X.Y.
# Nothing outside it changes: apt runs on a state of this script's own (its
# own source list, lists, cache and an empty dpkg status), passed as -o
# options, and the packages are unpacked with dpkg -x, never installed.  The
# binaries need a newer glibc than this machine's, so each runs through the
# loader unpacked beside it.  A machine with its own CPython X.Y needs none of
# this.
set -euo pipefail

readonly SUITE=forky
readonly MULTIARCH=x86_64-linux-gnu

fail() {
    echo "install_cpython.sh: $*" >&2
    exit 1
}

debug=false
if [ "${1:-}" = --debug ]; then
    debug=true
    shift
fi
[ $# -eq 1 ] && [[ $1 =~ ^3\.[0-9]+$ ]] || fail "usage: $0 [--debug] X.Y"
readonly VERSION=$1
[ "$(dpkg --print-architecture)" = amd64 ] || fail "only amd64 is provided for"

readonly BASE=${DRAVOLT_CPYTHON_ROOT:-$HOME/.cache/dravolt_common/cpython}
readonly ROOT=$BASE/$VERSION
readonly LIBDIR=$ROOT/usr/lib/$MULTIARCH
suffix=
$debug && suffix=d
readonly INTERPRETER=$ROOT/usr/bin/python$VERSION$suffix
readonly STAMP=$ROOT/.installed$suffix

packages() {
    local v=$VERSION
    echo "python$v-minimal libpython$v-minimal libpython$v-stdlib python$v libpython$v"
    echo "libpython$v-dev python$v-dev python$v-venv python3-pip-whl python3-setuptools-whl"
    echo "libc6 libgcc-s1 libssl3t64 libffi8 libmpdec4 libexpat1 zlib1g libbz2-1.0 liblzma5"
    echo "libzstd1 libuuid1 libsqlite3-0 libncursesw6 libtinfo6 libreadline8t64 libdb5.3t64"
    echo "libgdbm6t64 libgdbm-compat4t64"
    if $debug; then
        echo "python$v-dbg libpython$v-dbg"
    fi
}

# apt-get on the private state under $BASE/apt.
private_apt() {
    local state=$BASE/apt
    apt-get -q \
        -o Dir::Etc::SourceList="$state/sources.list" \
        -o Dir::Etc::SourceParts="$state/sources.list.d" \
        -o Dir::State="$state/state" \
        -o Dir::State::Lists="$state/lists" \
        -o Dir::State::status="$state/status" \
        -o Dir::Cache="$state/cache" \
        -o APT::Sandbox::User=root \
        "$@"
}

# The private state: one source line for Debian's $SUITE at the archive this
# machine's apt already uses, signed by the archive keyring.
prepare_apt() {
    local state=$BASE/apt archive keyring
    archive=$(apt-get indextargets --format '$(REPO_URI)' | grep -m1 '/debian/$') ||
        fail "this machine's apt names no Debian archive"
    keyring=$(dpkg -L debian-archive-keyring | grep -m1 '/debian-archive-keyring\.gpg$') ||
        fail "the debian-archive-keyring package is not installed"
    mkdir -p "$state/sources.list.d" "$state/state" "$state/lists/partial" \
        "$state/cache/archives/partial"
    touch "$state/status"
    echo "deb [signed-by=$keyring] $archive $SUITE main" >"$state/sources.list"
    private_apt update -qq >/dev/null
}

# Unpacks the packages into $ROOT.
unpack() {
    local debs=$BASE/debs/$VERSION deb
    rm -rf "$debs"
    mkdir -p "$debs" "$ROOT"
    # shellcheck disable=SC2046  # one word per package
    (cd "$debs" && private_apt download -qq $(packages) >/dev/null)
    for deb in "$debs"/*.deb; do
        dpkg -x "$deb" "$ROOT"
    done
    rm -rf "$debs"
}

# Puts a wrapper in place of each interpreter binary that runs it through the
# unpacked loader; --argv0 keeps the wrapper's path as sys.executable, so that
# venvs, subprocess and multiprocessing find the interpreter again.
wrap() {
    local binary=$1 real
    real=$(dirname "$binary")/.$(basename "$binary").real
    if ! [ -e "$real" ]; then
        mv "$binary" "$real"
    fi
    printf '#!/bin/sh\nexec %q --library-path %q --argv0 "$0" %q "$@"\n' \
        "$LIBDIR/ld-linux-x86-64.so.2" "$LIBDIR" "$real" >"$binary"
    chmod 755 "$binary"
}

# ensurepip takes its wheels from WHEEL_PKG_DIR, which names the system's
# folder (with a pip too old for 3.14): point it at the root's own.
mend_wheel_dir() {
    local file
    for file in "$ROOT"/usr/lib/python"$VERSION"/_sysconfigdata_*.py \
        "$ROOT"/usr/lib/python"$VERSION"/_sysconfig_vars_*.json; do
        [ -e "$file" ] || continue
        sed -i -E "s#(['\"]WHEEL_PKG_DIR['\"]: ['\"])/usr/share/python-wheels#\1$ROOT/usr/share/python-wheels#" "$file"
    done
}

# Debian's pyconfig.h only includes the multiarch one, which is not on the
# include path an extension is built with: put the real header in its place.
mend_pyconfig() {
    local header target
    for header in "$ROOT"/usr/include/python"$VERSION"*/pyconfig.h; do
        target=$(sed -n -E "s#^\#\s*include\s*<($MULTIARCH/python[^>]*/pyconfig\.h)>.*#\1#p" "$header" | head -n1)
        [ -n "$target" ] || continue
        cp "$ROOT/usr/include/$target" "$header.real"
        mv "$header.real" "$header"
    done
}

install() {
    prepare_apt
    unpack
    local binary
    for binary in "$ROOT"/usr/bin/python"$VERSION" "$ROOT"/usr/bin/python"$VERSION"d; do
        [ -f "$binary" ] && ! [ -L "$binary" ] && wrap "$binary"
    done
    mend_wheel_dir
    mend_pyconfig
    "$INTERPRETER" -c 'import ensurepip, ssl, sqlite3, venv' ||
        fail "the unpacked CPython $VERSION$suffix does not run"
    # The debug build's packages include the release build's.
    touch "$STAMP" "$ROOT/.installed"
}

mkdir -p "$BASE"
# One install at a time per root; a second caller waits and finds it done.
exec 9>"$BASE/.lock"
flock 9
if ! [ -e "$STAMP" ] || ! "$INTERPRETER" -c '' 2>/dev/null; then
    echo "install_cpython.sh: installing Debian's CPython $VERSION$suffix into $ROOT" >&2
    install
fi
echo "$INTERPRETER"
