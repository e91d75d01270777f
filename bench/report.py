"""The table and the chart of one benchmark run, from pyperf's JSON files."""

import platform
from pathlib import Path

import payload_workloads
import pyperf
import workloads

COLUMNS = ("native", "model", "cython", "floor", "own", "empty")


def load(results):
    """Median seconds per call of every benchmark, by (implementation, name),
    and the metadata of the native run."""
    times = {}
    metadata = {}
    files = [(impl, group) for impl in workloads.IMPLEMENTATIONS for group in ("calls", "import")]
    for impl, group in files + [("native", "dumps")]:
        path = Path(results) / f"{impl}-{group}.json"
        if group == "dumps" and not path.exists():
            continue
        for bench in pyperf.BenchmarkSuite.load(str(path)).get_benchmarks():
            times[impl, bench.get_name()] = bench.median()
            if not metadata:
                metadata = bench.get_runs()[0].get_metadata()
    return times, metadata


def loop_cost(times, name):
    """The harness's own cost per call of a workload: its loop with no call in
    it.  The import is timed inside the interpreter it starts, with no loop."""
    if name == workloads.IMPORT:
        return 0.0
    fresh = name.endswith(": a fresh wrapper")
    return times.get(("floor", workloads.LIST_LOOP if fresh else workloads.LOOP), 0.0)


def net(seconds, loop):
    return None if seconds is None else max(seconds - loop, 0.0)


def rows(times):
    """Per workload: its name and the seconds of each column net of the
    harness's loop (None where there is none)."""
    floors = {
        workloads.IMPORT: ("floor: empty C modules", None, "floor: empty Python modules"),
    }
    for name in workloads.ROUND_TRIPS + workloads.LOADS:
        floors[name] = (f"floor: {name}", None, None)
    for name, arity, _ in workloads.CALLS:
        floors[name] = (
            workloads.floor_name("no-op C function", arity),
            workloads.floor_name("no-op of our function type", arity),
            workloads.floor_name("empty Python function", arity),
        )
    names = [name for name, _, _ in workloads.CALLS]
    names += workloads.ROUND_TRIPS + workloads.LOADS + [workloads.IMPORT]
    for name in names:
        floor, own, empty = floors[name]
        loop = loop_cost(times, name)
        floor_loop = loop_cost(times, "") if name != workloads.IMPORT else 0.0
        yield (
            name,
            {
                "native": net(times.get(("native", name)), loop),
                "model": net(times.get(("model", name)), loop),
                "cython": net(times.get(("cython", name)), loop),
                "floor": net(times.get(("floor", floor)), floor_loop),
                "own": net(times.get(("floor", own)), floor_loop) if own else None,
                "empty": net(times.get(("floor", empty)), floor_loop) if empty else None,
            },
        )


def duration(seconds):
    if seconds is None:
        return "-"
    for unit, scale in (("ns", 1e9), ("µs", 1e6), ("ms", 1e3)):
        value = seconds * scale
        if value < 1000 or unit == "ms":
            return f"{value:.0f} {unit}" if value >= 100 else f"{value:.3g} {unit}"
    raise AssertionError


def ratio(numerator, denominator):
    if numerator is None or not denominator:
        return "-"
    value = numerator / denominator
    return f"{value:.2g}×" if value < 10 else f"{value:.0f}×"


def describe_machine(metadata):
    cpu = metadata.get("cpu_model_name", platform.processor() or "unknown CPU")
    cores = metadata.get("cpu_count", "?")
    python = metadata.get("python_version", platform.python_version()).split()[0]
    return (
        f"CPython {python}, {cpu}, {cores} cores, "
        f"{metadata.get('platform', platform.platform())}, {metadata.get('date', '')[:10]}"
    )


def loop_note(times):
    loop = times.get(("floor", workloads.LOOP))
    list_loop = times.get(("floor", workloads.LIST_LOOP))
    return (
        f"{duration(loop)} per iteration over a range, {duration(list_loop)} over a list;"
        " not for the import, which is timed inside the interpreter it starts"
    )


def table(times, metadata, cython_version):
    lines = [
        f"Machine and Python: {describe_machine(metadata)}; pyperf {pyperf.__version__},"
        f" Cython {cython_version} for the compiled model.",
        "",
        f"All times are net of the harness's own loop ({loop_note(times)}), subtracted from"
        " every workload and every floor.",
        "",
        "| Workload | native | model | Cython | floor | own-type floor | empty Python "
        "| model ÷ native | Cython ÷ native | native ÷ floor | native ÷ own-type floor |",
        "|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|",
    ]
    for name, seconds in rows(times):
        cells = [duration(seconds[column]) for column in COLUMNS]
        cells += [
            ratio(seconds["model"], seconds["native"]),
            ratio(seconds["cython"], seconds["native"]),
            ratio(seconds["native"], seconds["floor"]),
            ratio(seconds["native"], seconds["own"]),
        ]
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    loadclass = net(times.get(("floor", workloads.LOADCLASS)), loop_cost(times, ""))
    lines += [
        "",
        f"For comparison, jsonpickle's `loadclass('os.path.join')` called directly: "
        f"{duration(loadclass)}.",
        "",
        "Median CPU time per call (the process's own, so that other processes on the machine",
        "count less); each implementation is the package `dravolt_common` of its own processes.",
        "*model*: the pure-Python model; *Cython*: the same file compiled with Cython;",
        "*floor*: a no-op C function called with as many arguments (round trips and loads:",
        "1,000 plain objects through the same serialiser; import: two empty extension modules);",
        "*own-type floor*: a function of our own function type, with as many parameters, whose",
        "body does nothing (built for the benchmarks only), so that native ÷ own-type floor is",
        "what the body costs over the call; *empty Python*: an empty Python function of that",
        "arity (import: two empty Python modules). A fresh wrapper is one made before the clock",
        "starts and reduced once, as pickle meets each wrapper of a list.",
        "Ratios above 1 mean that native is that many times faster than the model, or that many",
        "times slower than the floor. The import is timed inside fresh interpreters, models and",
        "empty modules from cached bytecode.",
    ]
    return "\n".join(lines + dump_side(times)) + "\n"


def dump_side(times):
    """The table of the dump side: payloads beside the reference of each object."""
    loop = loop_cost(times, "")
    lines = [
        "",
        "The dump side: `payloads.dumps` (and `pickle.loads` of what it wrote) beside",
        "`pickle.dumps` of the same object, or tblib's pickling for a raised exception;",
        "the native package only, net of the same loop.",
        "",
        "| Object | payloads | reference | payloads ÷ reference | target |",
        "|---|--:|--:|--:|--:|",
    ]
    for label, target, ours, reference in payload_workloads.PAIRS:
        mine = net(times.get(("native", ours)), loop)
        theirs = net(times.get(("native", reference)), loop)
        cells = [duration(mine), f"{duration(theirs)} ({reference.split('(')[0]})"]
        cells += [ratio(mine, theirs), f"≤ {target}×"]
        lines.append(f"| {label} | " + " | ".join(cells) + " |")
    return lines


def chart(times, metadata, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    data = list(rows(times))
    series = [("native", "native"), ("model", "model"), ("cython", "Cython"), ("floor", "floor")]
    height = 0.8 / len(series)
    figure, axes = plt.subplots(figsize=(9, 0.42 * len(data) + 1.2), dpi=80)
    for index, (column, label) in enumerate(series):
        positions = [row + index * height for row in range(len(data))]
        values = [(seconds[column] or 0) * 1e9 for _, seconds in data]
        axes.barh(positions, values, height=height, label=label)
    axes.set_yticks([row + 0.4 - height / 2 for row in range(len(data))])
    axes.set_yticklabels([name for name, _ in data], fontsize=8)
    axes.invert_yaxis()
    axes.set_xscale("log")
    axes.set_xlabel("ns per call (log scale)")
    axes.set_title(describe_machine(metadata), fontsize=8)
    axes.grid(axis="x", which="major", alpha=0.3)
    axes.legend(loc="lower right", fontsize=8)
    figure.tight_layout()
    figure.savefig(path)
    plt.close(figure)
