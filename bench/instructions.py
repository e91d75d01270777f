"""Instructions per call of chosen workloads, counted by valgrind's callgrind.

    python bench/instructions.py [--tree DIR] [--floor DIR] [NAME ...]
    python bench/instructions.py --payloads [--tree DIR] [NAME ...]

Unlike times, instruction counts do not depend on what else the machine is
doing, so they show what a change to the code buys on a busy machine. Each
workload of bench/workloads.py (all of the calls, or those whose names contain
one of the NAMEs) runs in the same loop as the timed benchmarks, twice, with
different numbers of loops; the difference, divided by the difference of the
loops, is the cost of one call and its loop (the loop alone is printed first).
A workload that reduces a fresh wrapper per call is counted less the making of
its wrappers. DIR, as for
bench/workloads.py, goes first on sys.path (a model's tree); --floor names the
tree of the no-op C functions and the own-type ones (bench/prepare.py builds
it), whose counts are printed next.  --payloads counts the workloads of
bench/payload_workloads.py instead (the dump side beside pickle and tblib,
which the environment must have), with the ratio of each pair.
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
    module = __import__({floor!r})
    function = getattr(module, "noop{arity}")
    time_function, arguments = workloads.TIME_CALLS[{arity}], (function, *(None,) * {arity})
elif {name!r} == "loop":
    time_function, arguments = workloads.time_loop, ()
else:
    import dravolt_common.callable_naming as cn, dravolt_common.utils.payload_wrapper as pw
    make = {{name: m for name, _, m in workloads.CALLS}}[{name!r}]
    time_function, arguments = workloads.timer(make, pw, cn)
    if {making_only!r}:
        # What a fresh-argument workload spends outside its calls.
        def time_function(loops, function, make):
            made = [make() for _ in range(loops)]
            for _a in made:
                pass
time_function(1, *arguments)
time_function({loops}, *arguments)
"""

PAYLOAD_CASE = """
import sys
sys.path[:0] = {path!r}
import payload_workloads
function, argument = {{n: (f, a) for n, f, a in payload_workloads.workloads()}}[{name!r}]
payload_workloads.time_function(1, function, argument)
payload_workloads.time_function({loops}, function, argument)
"""


def count(code):
    result = subprocess.run(
        [
            "valgrind",
            "--tool=callgrind",
            "--trace-children=yes",  # an interpreter that starts through a launcher
            "--callgrind-out-file=/dev/null",
            sys.executable,
            "-c",
            code,
        ],
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONHASHSEED": "0"},
    )
    found = re.findall(r"Collected : (\d+)", result.stderr)
    if not found:
        raise SystemExit(f"instructions: valgrind failed:\n{result.stderr}")
    return sum(int(collected) for collected in found)


def per_call(path, name="", floor="", arity=1, making_only=False):
    counts = [
        count(
            CASE.format(
                path=path, floor=floor, arity=arity, name=name, loops=loops, making_only=making_only
            )
        )
        for loops in (1000, 5000)
    ]
    return (counts[1] - counts[0]) // 4000


def payload_per_call(path, name):
    counts = [
        count(PAYLOAD_CASE.format(path=path, name=name, loops=loops)) for loops in (200, 1000)
    ]
    return (counts[1] - counts[0]) // 800


def payload_pairs(path, names):
    import payload_workloads

    for label, target, ours, reference in payload_workloads.PAIRS:
        if names and not any(part in label for part in names):
            continue
        mine, theirs = payload_per_call(path, ours), payload_per_call(path, reference)
        print(f"{label:<45} {mine:>8} {theirs:>8} {mine / theirs:>6.2f} (target {target})")


def workload_per_call(path, name, fresh):
    """A fresh-argument workload's count less what making its arguments costs,
    with an empty loop's in its place: one call and its loop, as elsewhere."""
    cost = per_call(path, name)
    if fresh:
        cost -= per_call(path, name, making_only=True) - per_call(path, "loop")
    return cost


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tree", help="the directory that goes first on sys.path")
    parser.add_argument("--floor", help="the tree of the no-op C functions")
    parser.add_argument(
        "--payloads", action="store_true", help="the dump side: bench/payload_workloads.py"
    )
    parser.add_argument("names", nargs="*", help="workloads whose names contain one of these")
    args = parser.parse_args()
    sys.path.insert(0, str(HERE))
    path = [str(HERE)] + ([args.tree] if args.tree else [])
    if args.payloads:
        print(f"{'payloads':<45} {'ours':>8} {'theirs':>8} {'ratio':>6}")
        payload_pairs(path, args.names)
        return
    import workloads

    print(f"{'the loop alone':<45} {per_call(path, 'loop'):>8}")
    if args.floor:
        for module, kind in (("bench_floor", "no-op C function"), ("bench_own_floor", "own type")):
            for arity in (1, 2, 3):
                cost = per_call([*path, args.floor], floor=module, arity=arity)
                print(f"{'floor: ' + kind + ', ' + str(arity) + ' argument(s)':<45} {cost:>8}")
    for name, _, _ in workloads.CALLS:
        if args.names and not any(part in name for part in args.names):
            continue
        fresh = name.endswith(": a fresh wrapper")
        print(f"{name:<45} {workload_per_call(path, name, fresh):>8}", flush=True)


if __name__ == "__main__":
    main()
