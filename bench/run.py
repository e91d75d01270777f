"""The benchmark suite: native against the pure-Python model, the model compiled
with Cython, and the floor, in one run.  ``./dev.sh bench`` sets up its
environment and runs this file.

    python bench/run.py [--smoke] [--publish] [--results DIR]

It builds the compiled model and the floor (bench/prepare.py), checks that the
three implementations give the same results, times every workload of
bench/workloads.py with pyperf for each implementation in processes of its
own, then the dump side of the native package beside pickle and tblib
(bench/payload_workloads.py), and writes table.md and chart.png (with pyperf's JSON files and logs) into
bench/results/.  --smoke takes one value of a few loops of each workload: a
quick test that the suite runs, with meaningless figures.  --publish also
copies the table and the chart to docs/benchmarks/, named for the Python
version, and rewrites the README's benchmark section from the newest version
published there.
"""

import argparse
import compileall
import difflib
import json
import shutil
import subprocess
import sys
import time
from pathlib import Path

import prepare
import report
import workloads

HERE = Path(__file__).resolve().parent
SCRIPT = HERE / "workloads.py"
DUMPS_SCRIPT = HERE / "payload_workloads.py"
DOCS = prepare.ROOT / "docs" / "benchmarks"
README = prepare.ROOT / "README.md"
README_BEGIN = "<!-- benchmarks: written by ./dev.sh bench --publish from docs/benchmarks/ -->"
README_END = "<!-- benchmarks: end -->"

# Enough values for stable medians within the time limit on two cores.
PYPERF_OPTIONS = {
    "calls": ["--processes", "4", "--values", "3", "--warmups", "1", "--min-time", "0.05"],
    "import": ["--processes", "4", "--values", "3", "--warmups", "1", "--loops", "5"],
}
# One value of a few loops, all in one worker process that pyperf does not spawn.
SMOKE_OPTIONS = {
    "calls": ["--worker", "--values", "1", "--warmups", "0", "--loops", "3"],
    "import": ["--worker", "--values", "1", "--warmups", "0", "--loops", "1"],
}


def workload_command(impl, tree, *options):
    command = [sys.executable, str(SCRIPT), "--impl", impl, *options]
    if tree:
        command += ["--tree", str(tree)]
    return command


def compile_bytecode(trees):
    """The Python files of every package tree get their bytecode before the import is timed."""
    for tree in trees:
        compileall.compile_dir(str(tree), quiet=2)


def check(trees):
    """The model and the compiled model give what native gives, workload by workload."""
    outputs = {}
    for impl in ("native", "model", "cython"):
        command = workload_command(impl, trees[impl], "--check")
        outputs[impl] = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    for impl in ("model", "cython"):
        if json.loads(outputs[impl]) != json.loads(outputs["native"]):
            diff = difflib.unified_diff(
                outputs["native"].splitlines(), outputs[impl].splitlines(), "native", impl
            )
            print("\n".join(diff))
            raise SystemExit(f"bench: the {impl} implementation gives other results than native")


def plan():
    """The pyperf runs, in lines of (label, [(implementation, group, benchmark
    names)]).  The three implementations of a workload run one after the
    other, so that a change in the machine's load between workloads weighs on
    all three alike; the floor runs at the start and at the end, into the same
    benchmarks."""
    floor = (
        "floor: calls and round trips",
        [("floor", "calls", list(workloads.benchmarks("floor", "calls")))],
    )
    lines = [floor]
    for group in ("calls", "import"):
        for name in workloads.benchmarks("native", group):
            lines.append((name, [(impl, group, [name]) for impl in ("native", "model", "cython")]))
    lines += [
        floor,
        ("floor: imports", [("floor", "import", list(workloads.benchmarks("floor", "import")))]),
    ]
    return lines


def measure(trees, results, smoke):
    for path in results.glob("*.json"):
        path.unlink()
    for label, runs in plan():
        print(f"  {label:<40}", end="", flush=True)
        for impl, group, names in runs:
            options = (SMOKE_OPTIONS if smoke else PYPERF_OPTIONS)[group]
            command = workload_command(impl, trees[impl], "--group", group, *options)
            command += ["--append", str(results / f"{impl}-{group}.json")]
            command += [f"--only={name}" for name in names]
            started = time.monotonic()
            with open(results / f"{impl}-{group}.log", "a") as log:
                status = subprocess.call(command, stdout=log, stderr=subprocess.STDOUT)
            if status:
                print()
                sys.stdout.write((results / f"{impl}-{group}.log").read_text())
                raise SystemExit(f"bench: {impl} {group} failed")
            print(f" {impl} {time.monotonic() - started:3.0f} s", end="", flush=True)
        print()
    measure_dumps(trees["native"], results, smoke)


def measure_dumps(tree, results, smoke):
    """The dump side, native only: the model has no payloads module."""
    print(f"  {'dump side: payloads, pickle and tblib':<40}", end="", flush=True)
    options = (SMOKE_OPTIONS if smoke else PYPERF_OPTIONS)["calls"]
    command = [sys.executable, str(DUMPS_SCRIPT), *options]
    command += ["--tree", str(tree), "--append", str(results / "native-dumps.json")]
    started = time.monotonic()
    log_path = results / "native-dumps.log"
    with open(log_path, "a") as log:
        status = subprocess.call(command, stdout=log, stderr=subprocess.STDOUT)
    if status:
        print()
        sys.stdout.write(log_path.read_text())
        raise SystemExit("bench: the dump side failed")
    print(f" native {time.monotonic() - started:3.0f} s")


def published_versions():
    """The versions with a published table, oldest first."""
    versions = []
    for path in DOCS.glob("python-*.md"):
        major, minor = path.stem.removeprefix("python-").split(".")
        versions.append((int(major), int(minor)))
    return ["{}.{}".format(*version) for version in sorted(versions)]


def readme_section():
    """The newest published table and chart, and links to the others."""
    versions = published_versions()
    newest = versions[-1]
    others = ", ".join(f"[{v}](docs/benchmarks/python-{v}.md)" for v in versions[:-1])
    lines = [
        f"On CPython {newest}, as `PYTHON={newest} ./dev.sh bench --publish` measured it"
        f" (other versions: {others}; how to read the figures: [Benchmarks](docs/benchmarks.md)):",
        "",
        (DOCS / f"python-{newest}.md").read_text().strip(),
        "",
        f"![Time per call of each workload on CPython {newest}, native, model, Cython and floor,"
        f" on a log scale](docs/benchmarks/python-{newest}.png)",
    ]
    return "\n".join(lines)


def update_readme():
    text = README.read_text()
    start = text.index(README_BEGIN) + len(README_BEGIN)
    end = text.index(README_END, start)
    README.write_text(text[:start] + "\n" + readme_section() + "\n" + text[end:])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true", help="one value of one loop each")
    parser.add_argument("--publish", action="store_true", help="copy the results to docs/")
    parser.add_argument("--results", type=Path, default=HERE / "results")
    args = parser.parse_args()

    started = time.monotonic()
    import Cython

    trees = {
        "native": prepare.build_native(),
        "model": prepare.MODEL,
        "cython": prepare.build_cython_model(),
        "floor": prepare.build_floor(),
    }
    compile_bytecode([trees["native"], trees["model"], trees["cython"], trees["floor"]])
    check(trees)
    args.results.mkdir(parents=True, exist_ok=True)
    for path in args.results.glob("*.log"):
        path.unlink()
    print(f"bench: timing with {sys.executable}", flush=True)
    measure(trees, args.results, args.smoke)

    times, metadata = report.load(args.results)
    table_path = args.results / "table.md"
    chart_path = args.results / "chart.png"
    table_path.write_text(report.table(times, metadata, Cython.__version__))
    report.chart(times, metadata, chart_path)
    print(table_path.read_text())
    print(f"bench: {table_path} and {chart_path} in {time.monotonic() - started:.0f} s")
    if args.publish:
        DOCS.mkdir(parents=True, exist_ok=True)
        version = "{}.{}".format(*sys.version_info[:2])
        shutil.copyfile(table_path, DOCS / f"python-{version}.md")
        shutil.copyfile(chart_path, DOCS / f"python-{version}.png")
        update_readme()
        print(f"bench: copied to {DOCS}, and the newest into {README.name}")


if __name__ == "__main__":
    main()
