#!/usr/bin/env bash
# Runs the test suite on a build of the extension modules made with
# AddressSanitizer and UndefinedBehaviorSanitizer (./dev.sh sanitize makes it,
# into the virtual environment whose interpreter is the first argument), with
# the sanitizers' runtime preloaded into the stock interpreter, and counts the
# sanitizers' reports, written to build/sanitizers/ by every process the
# suite starts.  The other arguments go to pytest.  Fails when the suite
# fails or when any report was written.
set -euo pipefail

python=$1
shift
cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/.."

logs=$PWD/build/sanitizers
rm -rf "$logs"
mkdir -p "$logs"

# The interpreter allocates through malloc, which ASan watches; the
# interpreter's own allocations live until exit, so leak detection is off
# (reference and memory leaks are the suite's checks). An error of either
# sanitizer ends the process that made it.
runtime="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
# The heavy checks at a reduced count: each forked child costs more here.
scale=${RELIABILITY_SCALE:-0.1}

status=0
# The wheel test compiles a wheel of its own, without the sanitizers.
env LD_PRELOAD="$runtime" PYTHONMALLOC=malloc RELIABILITY_SCALE="$scale" \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$logs/asan" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan" \
    "$python" -m pytest -p no:cacheprovider --deselect tests/test_wheel.py "$@" || status=$?

reports=$( (grep -lE "ERROR: AddressSanitizer|runtime error:" "$logs"/* 2>/dev/null || true) | wc -l)
if [ "$reports" -gt 0 ]; then
    for report in "$logs"/*; do
        echo "== $report"
        head -n 60 "$report"
    done
    status=1
fi
line="sanitizers: $reports AddressSanitizer and UndefinedBehaviorSanitizer reports over the suite"
echo "$line"
if [ -n "${RELIABILITY_FIGURES:-}" ]; then
    echo "$("$python" -c 'import sys; print("CPython %d.%d" % sys.version_info[:2])'), scale $scale: $line" >>"$RELIABILITY_FIGURES"
fi
exit "$status"
