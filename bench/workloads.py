"""The workloads of the benchmark suite, timed by pyperf for one implementation.

    python bench/workloads.py --impl IMPL [--tree DIR] [--group GROUP] [--only NAME ...]
                              [pyperf options]

IMPL is ``native`` (the installed package, or a copy of it in DIR), ``model``
or ``cython`` (the pure-Python model, as it is or compiled, in the package
tree DIR, which goes first on sys.path so that it is the package
``dravolt_common`` of every process), or ``floor`` (the timing loop with no
call in it, no-op C functions, no-op functions of our own function type and
empty Python functions of each arity, from the tree DIR).  GROUP ``calls`` times the calls and the round
trips in this process's workers; ``import`` times the import of both modules
in fresh interpreters.  ``--only`` picks benchmarks by name.  ``--check``
prints what each workload returns instead, so that the implementations can be
compared.  ``bench/run.py`` runs all of it.
"""

import json
import pickle
import subprocess
import sys
from time import process_time

import jsonpickle
import pyperf

IMPLEMENTATIONS = ("native", "model", "cython", "floor")
ROUND_TRIP_SIZE = 1000


class Sensor:
    pass


class Outer:
    class Inner:
        pass


class Thing:
    def method(self):
        pass


class Gadget:
    def __call__(self):
        pass


class Plain:
    """What the floor of the round trips carries instead of a wrapper."""

    def __init__(self, name):
        self.name = name


class ByName:
    """Travels as the construction of a wrapper class: constructing
    ModuleWrapper, ExceptionWrapper or SpecialWrapper gives the module, the
    exception or the callable's result, so a payload names the class and its
    arguments in a reduce value."""

    def __init__(self, wrapper_class, *args):
        self.wrapper_class = wrapper_class
        self.args = args

    def __reduce__(self):
        return self.wrapper_class, self.args


def helper():
    pass


def describe(wrapper):
    return wrapper.cls.__name__


FUNCS = {"describe": describe}


# Each per-call workload: its name, its arity, and what to call with which
# arguments, given the implementation's two modules.
def naming(function_name, obj, is_method=False):
    def make(pw, cn):
        if function_name == "get_function_module":
            return cn.get_function_module, (obj, is_method)
        return cn.get_function_full_name, (cn.get_function_module(obj, is_method), obj)

    return make


class EachCall:
    """An argument made anew for every call, before the clock starts: a
    wrapper that no call has seen yet, as pickle meets each wrapper of a list."""

    def __init__(self, make):
        self.make = make


def fresh_wrapper(pw):
    return EachCall(lambda: pw.PayloadWrapper(Sensor, FUNCS))


CALLS = [
    ("get_function_module: function", 2, naming("get_function_module", helper)),
    ("get_function_module: class", 2, naming("get_function_module", Thing)),
    ("get_function_module: callable instance", 2, naming("get_function_module", Gadget())),
    ("get_function_module: bound method", 2, naming("get_function_module", Thing().method, True)),
    ("get_function_module: method descriptor", 2, naming("get_function_module", str.join)),
    ("get_function_full_name: function", 2, naming("get_function_full_name", helper)),
    (
        "get_function_full_name: bound method",
        2,
        naming("get_function_full_name", Thing().method, True),
    ),
    ("get_function_full_name: class", 2, naming("get_function_full_name", Thing)),
    ("get_function_full_name: len", 2, naming("get_function_full_name", len)),
    ("get_attribute_full_name: class", 1, lambda pw, cn: (pw.get_attribute_full_name, (Sensor,))),
    (
        "get_attribute_full_name: nested class",
        1,
        lambda pw, cn: (pw.get_attribute_full_name, (Outer.Inner,)),
    ),
    ("import_by_full_name: module", 1, lambda pw, cn: (pw.import_by_full_name, ("json",))),
    (
        "import_by_full_name: function",
        1,
        lambda pw, cn: (pw.import_by_full_name, ("os.path.join",)),
    ),
    ("PayloadWrapper(C, funcs)", 2, lambda pw, cn: (pw.PayloadWrapper, (Sensor, FUNCS))),
    (
        "PayloadWrapper.__reduce__: a fresh wrapper",
        1,
        lambda pw, cn: (pw.PayloadWrapper.__reduce__, (fresh_wrapper(pw),)),
    ),
    (
        "PayloadWrapper.__reduce__: the same wrapper",
        1,
        lambda pw, cn: (pw.PayloadWrapper.__reduce__, (pw.PayloadWrapper(Sensor, FUNCS),)),
    ),
    (
        "FunctionWrapper.__reduce__",
        1,
        lambda pw, cn: (pw.FunctionWrapper.__reduce__, (pw.FunctionWrapper("os.path.join"),)),
    ),
    (
        "SpecialWrapper(name, a, b)",
        3,
        lambda pw, cn: (pw.SpecialWrapper, ("os.path.join", "a", "b")),
    ),
    ("ModuleWrapper(name)", 1, lambda pw, cn: (pw.ModuleWrapper, ("json",))),
    (
        "ExceptionWrapper(name, args, dict)",
        3,
        lambda pw, cn: (pw.ExceptionWrapper, ("builtins.ValueError", ("bad",), {"code": 7})),
    ),
]

ROUND_TRIPS = ["pickle round trip", "jsonpickle round trip"]
LOADS = ["pickle.loads", "jsonpickle.decode"]
IMPORT = "import of both modules"


def mixed_wrappers(pw):
    """Every kind of wrapper in turn, the name-carried ones as the construction a payload names."""
    makers = [
        lambda: pw.PayloadWrapper(Sensor, FUNCS),
        lambda: pw.FunctionWrapper("os.path.join"),
        lambda: pw.UnpicklableObject("name", {}),
        lambda: ByName(pw.ModuleWrapper, "json"),
        lambda: ByName(pw.ExceptionWrapper, "builtins.ValueError", ("bad",), {"code": 7}),
        lambda: ByName(pw.SpecialWrapper, "os.path.join", "a", "b"),
    ]
    return [makers[i % len(makers)]() for i in range(ROUND_TRIP_SIZE)]


def pickle_round_trip(items):
    return pickle.loads(pickle.dumps(items))


def jsonpickle_round_trip(items):
    return jsonpickle.decode(jsonpickle.encode(items, keys=True), keys=True)


def jsonpickle_decode(text):
    return jsonpickle.decode(text, keys=True)


def pickle_loads_benchmark(make_items):
    return lambda: (time_calls_1, (pickle.loads, pickle.dumps(make_items())))


def jsonpickle_decode_benchmark(make_items):
    return lambda: (time_calls_1, (jsonpickle_decode, jsonpickle.encode(make_items(), keys=True)))


# The same loop times every implementation: a call of the floor's no-op
# function costs what the loop and the call alone cost.  The clock is the
# process's CPU time, so that the other processes of a shared machine, which
# take turns with this one, do not count.
def time_calls_1(loops, function, a):
    calls = range(loops)
    start = process_time()
    for _ in calls:
        function(a)
    return process_time() - start


def time_calls_2(loops, function, a, b):
    calls = range(loops)
    start = process_time()
    for _ in calls:
        function(a, b)
    return process_time() - start


def time_calls_3(loops, function, a, b, c):
    calls = range(loops)
    start = process_time()
    for _ in calls:
        function(a, b, c)
    return process_time() - start


TIME_CALLS = {1: time_calls_1, 2: time_calls_2, 3: time_calls_3}


def time_fresh_calls(loops, function, make):
    """One call per argument, each argument made before the clock starts."""
    arguments = [make() for _ in range(loops)]
    start = process_time()
    for a in arguments:
        function(a)
    return process_time() - start


# The harness's own cost per call: the same loops with no call in them.  Every
# figure of the table is net of it.
def time_loop(loops):
    calls = range(loops)
    start = process_time()
    for _ in calls:
        pass
    return process_time() - start


def time_list_loop(loops):
    arguments = [None] * loops
    start = process_time()
    for _a in arguments:
        pass
    return process_time() - start


LOOP = "harness: the loop alone"
LIST_LOOP = "harness: the loop over a list alone"


def timer(make, pw, cn):
    """The time function and its arguments for a call workload."""
    function, args = make(pw, cn)
    if args and isinstance(args[0], EachCall):
        return time_fresh_calls, (function, args[0].make)
    return TIME_CALLS[len(args)], (function, *args)


def sample_arguments(args):
    return tuple(arg.make() if isinstance(arg, EachCall) else arg for arg in args)


def empty_1(a):
    pass


def empty_2(a, b):
    pass


def empty_3(a, b, c):
    pass


EMPTY = {1: empty_1, 2: empty_2, 3: empty_3}


def floor_name(kind, arity):
    return f"floor: {kind}, {arity} argument{'s' if arity > 1 else ''}"


# The import workload: each loop starts an interpreter that times its own
# import of both modules (from cached bytecode, where they are Python).  The
# interpreter's start-up and the standard modules that the module bodies import
# stay out of the figure: they cost every implementation the same, and more
# than the modules themselves.
IMPORT_CODE = """\
import sys
sys.path[:0] = {path!r}
import copy, types, typing
from time import process_time_ns
start = process_time_ns()
import {first}, {second}
print(process_time_ns() - start)
"""


def time_import(loops, code):
    total_ns = 0
    for _ in range(loops):
        # Isolated: neither the environment nor the working directory adds to sys.path.
        output = subprocess.run(
            [sys.executable, "-I", "-c", code], check=True, capture_output=True, text=True
        ).stdout
        total_ns += int(output)
    return total_ns / 1e9


def import_code(impl, tree):
    path = [tree] if tree else []
    if impl == "floor":
        return {
            "floor: empty C modules": IMPORT_CODE.format(
                path=path, first="bench_floor", second="bench_floor_b"
            ),
            "floor: empty Python modules": IMPORT_CODE.format(
                path=path, first="empty_a", second="empty_b"
            ),
        }
    return {
        IMPORT: IMPORT_CODE.format(
            path=path,
            first="dravolt_common.utils.payload_wrapper",
            second="dravolt_common.callable_naming",
        )
    }


def implementation():
    """The implementation's two modules, from the package first on sys.path."""
    import dravolt_common.callable_naming as cn
    import dravolt_common.utils.payload_wrapper as pw

    return pw, cn


def call_benchmark(make):
    return lambda: timer(make, *implementation())


def round_trip_benchmark(round_trip, make_items):
    return lambda: (time_calls_1, (round_trip, make_items()))


def floor_benchmark(arity, module_name=None, function=None):
    def build():
        if module_name is not None:
            module = __import__(module_name)
            return TIME_CALLS[arity], (getattr(module, f"noop{arity}"), *(None,) * arity)
        return TIME_CALLS[arity], (function, *(None,) * arity)

    return build


def loadclass_benchmark():
    from jsonpickle.unpickler import loadclass

    return time_calls_1, (loadclass, "os.path.join")


LOADCLASS = "floor: jsonpickle's loadclass('os.path.join')"


def plain_objects():
    return [Plain(f"name {i}") for i in range(ROUND_TRIP_SIZE)]


def benchmarks(impl, group, tree=None):
    """The implementation's benchmarks of the group, by name: each gives its
    time function and arguments when called, so that listing them costs nothing."""
    if group == "import":
        return {
            name: (lambda code=code: (time_import, (code,)))
            for name, code in import_code(impl, tree).items()
        }
    found = {}
    if impl == "floor":
        found[LOOP] = lambda: (time_loop, ())
        found[LIST_LOOP] = lambda: (time_list_loop, ())
        for arity in sorted(TIME_CALLS):
            found[floor_name("no-op C function", arity)] = floor_benchmark(arity, "bench_floor")
            found[floor_name("no-op of our function type", arity)] = floor_benchmark(
                arity, "bench_own_floor"
            )
            found[floor_name("empty Python function", arity)] = floor_benchmark(
                arity, function=EMPTY[arity]
            )
        found[LOADCLASS] = loadclass_benchmark
        found["floor: pickle round trip"] = round_trip_benchmark(pickle_round_trip, plain_objects)
        found["floor: jsonpickle round trip"] = round_trip_benchmark(
            jsonpickle_round_trip, plain_objects
        )
        found["floor: pickle.loads"] = pickle_loads_benchmark(plain_objects)
        found["floor: jsonpickle.decode"] = jsonpickle_decode_benchmark(plain_objects)
        return found
    for name, _, make in CALLS:
        found[name] = call_benchmark(make)

    def wrappers():
        return mixed_wrappers(implementation()[0])

    found[ROUND_TRIPS[0]] = round_trip_benchmark(pickle_round_trip, wrappers)
    found[ROUND_TRIPS[1]] = round_trip_benchmark(jsonpickle_round_trip, wrappers)
    found[LOADS[0]] = pickle_loads_benchmark(wrappers)
    found[LOADS[1]] = jsonpickle_decode_benchmark(wrappers)
    return found


def canonical(value, depth=0):
    """A description of a result that does not depend on the implementation."""
    if depth > 4:
        return "..."
    if value is None or isinstance(value, (str, int, float)):
        return repr(value)
    if isinstance(value, type(sys)):
        return f"module {value.__name__}"
    if isinstance(value, (tuple, list)):
        items = ", ".join(canonical(item, depth + 1) for item in value[:6])
        return f"{type(value).__name__}({items})"
    if isinstance(value, dict):
        items = ", ".join(
            f"{canonical(key, depth + 1)}: {canonical(item, depth + 1)}"
            for key, item in sorted(value.items(), key=lambda entry: repr(entry[0]))
        )
        return f"{{{items}}}"
    if isinstance(value, type) or (callable(value) and hasattr(value, "__qualname__")):
        return f"{value.__module__}.{value.__qualname__}"
    if isinstance(value, BaseException):
        return f"{type(value).__qualname__}{value.args!r} {canonical(vars(value), depth + 1)}"
    kind = type(value)
    return f"{kind.__module__}.{kind.__qualname__} {canonical(vars(value), depth + 1)}"


def check():
    """Prints, as JSON, what each workload gives: the implementations must agree."""
    pw, cn = implementation()
    results = {}
    for name, _, make in CALLS:
        function, args = make(pw, cn)
        results[name] = canonical(function(*sample_arguments(args)))
    items = mixed_wrappers(pw)
    results[ROUND_TRIPS[0]] = canonical(pickle_round_trip(items))
    results[ROUND_TRIPS[1]] = canonical(jsonpickle_round_trip(items))
    print(json.dumps(results, indent=1))


def add_cmdline_args(cmd, args):
    cmd.extend(["--impl", args.impl, "--group", args.group])
    if args.tree:
        cmd.extend(["--tree", args.tree])
    for name in args.only or ():
        cmd.extend(["--only", name])


def main():
    runner = pyperf.Runner(add_cmdline_args=add_cmdline_args)
    parser = runner.argparser
    parser.add_argument("--impl", choices=IMPLEMENTATIONS, required=True)
    parser.add_argument("--tree", help="the directory that goes first on sys.path")
    parser.add_argument("--group", choices=("calls", "import"), default="calls")
    parser.add_argument("--only", action="append", help="time only this benchmark (repeatable)")
    parser.add_argument("--check", action="store_true", help="print the results, time nothing")
    args = runner.parse_args()
    if args.tree:
        sys.path.insert(0, args.tree)
    if args.check:
        check()
        return
    for name, build in benchmarks(args.impl, args.group, args.tree).items():
        if not args.only or name in args.only:
            time_function, arguments = build()
            runner.bench_time_func(name, time_function, *arguments)


if __name__ == "__main__":
    main()
