"""Instructions per call of chosen workloads, counted by valgrind's callgrind.

    python bench/instructions.py [--tree DIR] [--floor DIR] [NAME ...]

Unlike times, instruction counts do not depend on what else the machine is
doing, so they show what a change to the code buys on a busy machine. Each
workload of bench/workloads.py (all of the calls, or those whose names contain
one of the NAMEs) runs in the same loop as the timed benchmarks, twice, with
different numbers of loops; the difference, divided by the difference of the
loops, is the cost of one call and its loop. DIR, as for bench/workloads.py,
goes first on sys.path (a model's tree); --floor names the tree of the no-op C
functions (bench/prepare.py builds it), whose count is printed first.
"""

import argparse
import os
import re
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent

CASE = """
import sys
sys.path[:0] = {path!r}
import workloads
if {floor!r}:
    import bench_floor
    arity = {arity}
    function, args = getattr(bench_floor, f"noop{{arity}}"), (None,) * arity
else:
    import dravolt_common.callable_naming as cn, dravolt_common.utils.payload_wrapper as pw
    arity, make = {{name: (a, m) for name, a, m in workloads.CALLS}}[{name!r}]
    function, args = make(pw, cn)
function(*args)
workloads.TIME_CALLS[len(args)]({loops}, function, *args)
"""


def count(code):
    result = subprocess.run(
        [
            "valgrind",
            "--tool=callgrind",
            "--callgrind-out-file=/dev/null",
            sys.executable,
            "-c",
            code,
        ],
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONHASHSEED": "0"},
    )
    found = re.search(r"Collected : (\d+)", result.stderr)
    if not found:
        raise SystemExit(f"instructions: valgrind failed:\n{result.stderr}")
    return int(found.group(1))


def per_call(path, name="", floor=False, arity=1):
    counts = [
        count(CASE.format(path=path, floor=floor, arity=arity, name=name, loops=loops))
        for loops in (1000, 5000)
    ]
    return (counts[1] - counts[0]) // 4000


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tree", help="the directory that goes first on sys.path")
    parser.add_argument("--floor", help="the tree of the no-op C functions")
    parser.add_argument("names", nargs="*", help="workloads whose names contain one of these")
    args = parser.parse_args()
    sys.path.insert(0, str(HERE))
    import workloads

    path = [str(HERE)] + ([args.tree] if args.tree else [])
    if args.floor:
        for arity in (1, 2, 3):
            cost = per_call([*path, args.floor], floor=True, arity=arity)
            print(f"{'floor: no-op C function, ' + str(arity) + ' argument(s)':<45} {cost:>8}")
    for name, _, _ in workloads.CALLS:
        if args.names and not any(part in name for part in args.names):
            continue
        print(f"{name:<45} {per_call(path, name):>8}", flush=True)


if __name__ == "__main__":
    main()
