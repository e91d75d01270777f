"""One failed allocation at a time, in a fresh interpreter that the tests start.

For each call of ``call_table()`` (every public function and method, on its
success path and its error paths) and for each k, a forked child makes the
k-th allocation of the call fail (``_testcapi.set_nomemory(k, k + 1)``), from
the first allocation until the call makes no more.  The call must return, or
raise MemoryError (or an exception whose chain holds one), or raise what it
raises without the failure; the child must live on; the next call must give
what it gives without the failure; and repeating the failing call must leave
no reference to its arguments and no memory block behind.  ``load(name)`` does
the same for a module's import.

Failing every allocation after the n-th instead makes CPython itself hang or
crash, even in imports of pure-Python modules: one fails at a time.

CPython itself does not survive every failed allocation: an AttributeError
raised meanwhile can come out as a SystemError (NULL returned without an
exception: 3.11 and 3.12); its import system, written in Python, can keep a
module lock taken, so that the next import waits forever (the child notices
and stops, counted as such), or leave its state broken, so that a later import
crashes (3.13.0); and its allocated blocks can grow by one per call.  So each
run starts with three controls, walked the same way: a class written in Python
whose ``__init__`` fails to read an attribute, the imports that
``import_by_full_name`` makes, written in Python, and the rebuild of an
exception by ``special_unpicklers`` (Python code, which crashes CPython 3.12.1
and 3.13.0 when its sixth allocation fails).  A kind of fault (crash,
hang, SystemError) that the first shows is the interpreter's in every call,
one that the second or the third shows is the interpreter's in the calls that
import (``import_by_full_name``, the wrappers that resolve names or rebuild
exceptions, pickle's loading): allowed, and counted.  The blocks of the calls that import are not counted,
only the reference counts.

Run as ``python -c "import failing_allocations as f; f.main(...)"`` with this
folder on ``sys.path``; prints one JSON report.
"""

# copy, jsonpickle.unpickler and special_unpicklers are imported before any
# failure, so that only the calls' own allocations fail.
import _testcapi
import copy  # noqa: F401
import functools
import gc
import importlib
import json
import os
import pickle
import signal
import sys

import jsonpickle.unpickler  # noqa: F401

import forked
from dravolt_common.utils import special_unpicklers

# A leak of one reference or block per failing call shows as a drift of this
# many, at least half of it past what the interpreter's caches keep.
REPEATS = 16
INTERVALS = 3
# Allocations a probe makes after the call: a failure there was beyond the call.
PROBE = 64
# How long a child may wait on one of the import system's module locks.
LOCK_WAIT = 0.2
IMPORT_LOCK_LOST = 86
# The control's first allocations show every kind of fault seen so far.
CONTROL_LIMIT = 200


class Sample:
    def method(self):
        return self


class Outer:
    class Inner:
        pass


class CallableObject:
    def __call__(self):
        pass


class Attributes:
    def __init__(self, **attributes):
        vars(self).update(attributes)


class RaisingQualname:
    """Has a module and a name; reading its qualified name raises."""

    __module__ = "m"
    __name__ = "Y"

    def __getattribute__(self, name):
        if name == "__qualname__":
            raise RuntimeError("no qualified name")
        return object.__getattribute__(self, name)


def plain_function():
    pass


def call_table():
    """(label, callable, args, kwargs, whether it imports) for each call."""
    import dravolt_common.callable_naming as cn
    import dravolt_common.utils.payload_wrapper as pw

    wrapper = pw.PayloadWrapper(Sample, {"alpha": plain_function})
    module_wrapper = object.__new__(pw.ModuleWrapper)
    exception_wrapper = object.__new__(pw.ExceptionWrapper)
    function_wrapper = pw.FunctionWrapper("os.path.join")
    unpicklable = pw.UnpicklableObject("name", {"beta": 1})
    without_funcs = pw.UnpicklableObject("name", {})
    del without_funcs.funcs
    table = []

    def case(label, call, *args, imports=False, **kwargs):
        table.append((label, call, args, kwargs, imports))

    gfm, gfn, gafn = cn.get_function_module, cn.get_function_full_name, pw.get_attribute_full_name
    case("get_function_module: function", gfm, plain_function, False)
    case("get_function_module: bound method", gfm, Sample().method, True)
    case("get_function_module: descriptor", gfm, str.join, False)
    case("get_function_module: object", gfm, functools.partial(len), False)
    case("get_function_module: no owner module", gfm, [].append, True)
    case("get_function_module: return type", gfm, Attributes(__module__=5), 0)
    case("get_function_module: one argument", gfm, plain_function)
    case("get_function_module: keywords", gfm, function_obj=len, is_method=0)
    case("get_function_full_name: function", gfn, "m", plain_function)
    case("get_function_full_name: bound method", gfn, "m", Sample().method)
    case("get_function_full_name: class", gfn, "m", Sample)
    case("get_function_full_name: builtin", gfn, "builtins", len)
    case("get_function_full_name: instance", gfn, None, CallableObject())
    case("get_function_full_name: composed", gfn, "m", Attributes(__self__=Sample()))
    case("get_function_full_name: argument type", gfn, 1, plain_function)
    case("get_function_full_name: return type", gfn, None, Attributes(__name__=5))
    case("get_function_full_name: unknown keyword", gfn, "m", len, x=1)
    case("get_attribute_full_name: class", gafn, Outer.Inner)
    case("get_attribute_full_name: no module", gafn, 5)
    case("get_attribute_full_name: qualname raises", gafn, RaisingQualname())
    case("get_attribute_full_name: keyword", gafn, cls=int)
    case("import_by_full_name: module", pw.import_by_full_name, "json", imports=True)
    case(
        "import_by_full_name: class",
        pw.import_by_full_name,
        "collections.OrderedDict",
        imports=True,
    )
    case("import_by_full_name: not a str", pw.import_by_full_name, 5, imports=True)
    case("SpecialWrapper", pw.SpecialWrapper, "os.path.join", "a", "b", imports=True)
    case(
        "SpecialWrapper: keywords",
        pw.SpecialWrapper,
        "collections.OrderedDict",
        a=1,
        imports=True,
    )
    case("SpecialWrapper: no name", pw.SpecialWrapper, imports=True)
    case("ModuleWrapper", pw.ModuleWrapper, "json", "ignored", imports=True)
    case("ModuleWrapper: no name", pw.ModuleWrapper)
    case("ModuleWrapper.__init__", pw.ModuleWrapper.__init__, module_wrapper, 123)
    case("ModuleWrapper.__call__", module_wrapper, "json", dropped=1, imports=True)
    case(
        "ExceptionWrapper",
        pw.ExceptionWrapper,
        "builtins.KeyError",
        ("k",),
        {"hint": 1},
        imports=True,
    )
    case("ExceptionWrapper: two arguments", pw.ExceptionWrapper, "builtins.KeyError", ())
    case(
        "ExceptionWrapper: not a class",
        pw.ExceptionWrapper,
        "no.such.name",
        (),
        {},
        imports=True,
    )
    case("ExceptionWrapper.__init__", pw.ExceptionWrapper.__init__, exception_wrapper, 1)
    case(
        "ExceptionWrapper.__call__",
        exception_wrapper,
        "builtins.OSError",
        (2, "x"),
        {},
        imports=True,
    )
    case("FunctionWrapper", pw.FunctionWrapper, 123)
    case("FunctionWrapper.__call__", function_wrapper, "os.path.join", dropped=1)
    case("FunctionWrapper.__call__: two names", function_wrapper, "a", "b")
    case(
        "FunctionWrapper.__reduce__",
        pw.FunctionWrapper.__reduce__,
        function_wrapper,
        imports=True,
    )
    case(
        "FunctionWrapper.__reduce__: no fullname",
        pw.FunctionWrapper.__reduce__,
        object.__new__(pw.FunctionWrapper),
        imports=True,
    )
    case("PayloadWrapper", pw.PayloadWrapper, Sample, {"alpha": plain_function, "beta": 1})
    case("PayloadWrapper: no funcs", pw.PayloadWrapper, Sample)
    case("PayloadWrapper: funcs not a dict", pw.PayloadWrapper, Sample, [1])
    case("PayloadWrapper: key not a str", pw.PayloadWrapper, Sample, {1: 2})
    case("PayloadWrapper: nothing", pw.PayloadWrapper)
    case("PayloadWrapper: no module", pw.PayloadWrapper, "", {})
    case("PayloadWrapper: keyword", pw.PayloadWrapper, Sample, funcs={})
    case("PayloadWrapper.__init__", pw.PayloadWrapper.__init__, wrapper, Sample)
    case("PayloadWrapper.__reduce__", pw.PayloadWrapper.__reduce__, wrapper)
    case(
        "PayloadWrapper.__reduce__: bare",
        pw.PayloadWrapper.__reduce__,
        object.__new__(pw.PayloadWrapper),
    )
    case("PayloadWrapperBase.__new__: not a class", pw.PayloadWrapperBase.__new__, "x")
    case("UnpicklableObject", pw.UnpicklableObject, "name", {"gamma": 1})
    case("UnpicklableObject.__reduce__", pw.UnpicklableObject.__reduce__, unpicklable)
    case(
        "UnpicklableObject.__reduce__: no funcs",
        pw.UnpicklableObject.__reduce__,
        without_funcs,
    )
    case("pickle round trip", lambda obj: pickle.loads(pickle.dumps(obj)), wrapper, imports=True)
    return table


def outcome(call, args, kwargs):
    """What the call gives, as comparable data."""
    try:
        result = call(*args, **kwargs)
    except BaseException as exc:  # noqa: B036 - every ending is an outcome
        return ("raises", type(exc).__name__, str(exc))
    if isinstance(result, str | int | type(None)):
        return ("returns", type(result).__name__, result)
    return ("returns", type(result).__name__)


def holds_memory_error(exc):
    seen = set()
    while exc is not None and id(exc) not in seen:
        if isinstance(exc, MemoryError):
            return True
        seen.add(id(exc))
        exc = exc.__context__ or exc.__cause__
    return False


def fail_once(k, attempt):
    """Runs ``attempt()`` with the k-th allocation failing: (what it raised,
    or None; whether the failure came only after it)."""
    raised = None
    _testcapi.set_nomemory(k, k + 1)
    try:
        attempt()
    except BaseException as exc:  # noqa: B036
        raised = exc
    try:
        # The probe allocates from C: under CPython 3.14's debug build a
        # failed allocation in a list comprehension fails an assertion of the
        # interpreter (_Py_Dealloc with the frame's stack pointer unsaved).
        list(map(list, [()] * PROBE))
        beyond = False
    except MemoryError:
        beyond = True
    _testcapi.remove_mem_hooks()
    return raised, beyond


def watch_import_locks():
    """In a child: a wait of LOCK_WAIT seconds on a module lock of the import
    system ends the child with IMPORT_LOCK_LOST (no other thread could ever
    release it); a wait anywhere else is left to the parent's time limit."""

    def on_alarm(signum, frame):
        code = frame.f_code
        if code.co_filename == "<frozen importlib._bootstrap>" and code.co_name == "acquire":
            os._exit(IMPORT_LOCK_LOST)

    signal.signal(signal.SIGALRM, on_alarm)
    signal.setitimer(signal.ITIMER_REAL, LOCK_WAIT)


BEYOND, FINE = 0, 1


def judge(raised, normal):
    """None when an ending under a failed allocation is one of those allowed;
    otherwise what is wrong, or "other: ..." for an ordinary exception that a
    presence test or a guard made of the failure (allowed, and counted)."""
    if raised is None or holds_memory_error(raised):
        return None
    if normal[0] == "raises" and type(raised).__name__ == normal[1]:
        return None
    if isinstance(raised, SystemError):
        return f"SystemError: {raised}"
    return f"other: {type(raised).__name__}: {raised}"


def try_call(case, k):
    """In the child: the verdict on one k of one call."""
    call, args, kwargs, imports, normal = case
    forked.quiet_child()
    if imports:
        watch_import_locks()
    raised, beyond = fail_once(k, lambda: call(*args, **kwargs))
    if beyond:
        return BEYOND, None
    verdict = judge(raised, normal)
    raised = None
    again = outcome(call, args, kwargs)
    if again != normal:
        return FINE, f"the next call gave {again!r}, not {normal!r}"

    # The first rounds fill what the interpreter caches after a failure, and
    # the first after a collection refill its free lists (a few dozen blocks
    # at most): a leak is a growth in each of the intervals after them.
    # Objects that everything shares (the empty tuple, small ints) are not
    # watched; neither are the blocks of calls that import.
    tracked = [call, *(obj for obj in (*args, *kwargs.values()) if sys.getrefcount(obj) < 1000)]
    if imports:
        warm, interval, intervals = 2, REPEATS // 2, 1
    else:
        warm, interval, intervals = 2 * REPEATS, REPEATS, INTERVALS
    counts = [measure(k, call, args, kwargs, tracked, warm)]
    counts += [measure(k, call, args, kwargs, tracked, interval) for _ in range(intervals)]
    if imports:
        for row in counts:
            row[-1] = 0
    growth = [
        min(b - a for a, b in zip(column, column[1:], strict=False))
        for column in zip(*counts, strict=True)
    ]
    if max(growth) >= interval // 2:
        leak = f"leaks: references {growth[:-1]} and blocks {growth[-1]} in each {interval} calls"
        return FINE, leak if verdict is None else f"{verdict}; {leak}"
    return FINE, verdict


def measure(k, call, args, kwargs, tracked, rounds):
    """The reference counts of the tracked objects, and the allocated blocks,
    after ``rounds`` calls with the k-th allocation failing."""
    for _ in range(rounds):
        fail_once(k, lambda: call(*args, **kwargs))
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in tracked]
    counts.append(sys.getallocatedblocks())
    return counts


def kind_of(problem):
    """The kind of fault a problem is, to match it with the control's."""
    for kind in ("signal", "hangs", "SystemError"):
        if kind in problem:
            return kind
    return None


def walk(label, case, stride, limit, excused=frozenset()):
    """Runs ``case(k)`` in a child for k = 0, stride, ... until the
    allocations end (or ``limit``); the report of the label.  Faults of the
    ``excused`` kinds are the interpreter's: allowed, and counted."""
    report = {
        "label": label,
        "injected": 0,
        "locks_lost": 0,
        "interpreter_faults": 0,
        "problems": [],
        "allowed": [],
    }
    for k in range(0, limit, stride):
        try:
            status, verdict = forked.result_in_child(case, k, timeout=20)
        except forked.ChildFailed as failure:
            if failure.status == IMPORT_LOCK_LOST:
                report["locks_lost"] += 1
                continue
            status, verdict = FINE, str(failure)
        if status == BEYOND:
            break
        report["injected"] += 1
        if verdict and verdict.startswith("other: "):
            report["allowed"].append(f"k={k}: {verdict}")
        elif verdict and kind_of(verdict) in excused:
            report["interpreter_faults"] += 1
        elif verdict:
            report["problems"].append(f"k={k}: {verdict}")
    report["end"] = k
    return report


# What a relative import reads of the module's namespace.
NAMESPACE = {
    "__name__": "dravolt_common.utils.payload_wrapper",
    "__package__": "dravolt_common.utils",
}


def import_in_python(full_name, namespace=NAMESPACE):
    """The imports of ``import_by_full_name``, written in Python."""
    try:
        unpickler = __import__("jsonpickle.unpickler", namespace, None, ("loadclass",), 1)
    except ImportError:
        unpickler = __import__("jsonpickle.unpickler", namespace, None, ("loadclass",), 0)
    try:
        module = __import__("importlib", namespace, None, None, 1)
    except ImportError:
        module = __import__("importlib", namespace, None, None, 0)
    try:
        return module.import_module(full_name)
    except Exception:
        return unpickler.loadclass(full_name)


class Twin:
    """Records the full name of a class, as ``PayloadWrapper.__init__`` does."""

    def __init__(self, cls):
        self.name = f"{cls.__module__}.{cls.__qualname__}"


def twin_in_python():
    try:
        Twin("")
    except AttributeError:
        pass
    return Twin(Sample)


def control(call, *args):
    """A control's report, and the kinds of fault that it shows."""
    normal = outcome(call, args, {})
    gc.freeze()
    report = walk(
        f"control: {call.__name__}",
        functools.partial(try_call, (call, args, {}, True, normal)),
        1,
        CONTROL_LIMIT,
    )
    return report, frozenset(kind_of(problem) for problem in report["problems"])


def rebuild_in_python():
    """What ``ExceptionWrapper`` runs after its imports: Python code."""
    return special_unpicklers.unpickle_exception(KeyError, ("k",), {"hint": 1})


def controls():
    """The reports of the three controls, and the kinds of fault to excuse in
    every call and in the calls that import."""
    general, everywhere = control(twin_in_python)
    imports, in_imports = control(import_in_python, "collections.OrderedDict")
    rebuild, in_rebuild = control(rebuild_in_python)
    return [general, imports, rebuild], everywhere, everywhere | in_imports | in_rebuild


def calls(stride, limit, only=None):
    """``limit`` for the calls that import, which make hundreds of
    allocations in the import system; the others are followed to their end."""
    reports, everywhere, in_imports = controls()
    for label, call, args, kwargs, imports in call_table():
        if only and only not in label:
            continue
        normal = outcome(call, args, kwargs)
        outcome(call, args, kwargs)  # what a first call makes for good is made
        gc.freeze()
        case = (call, args, kwargs, imports, normal)
        end = limit if imports else 10 * limit
        excused = in_imports if imports else everywhere
        reports.append(walk(label, functools.partial(try_call, case), stride, end, excused))
    return reports


def load(name, stride, limit):
    """The import of ``name`` (found, not loaded yet) with each k failing; after
    a failure the module imports and works."""
    from importlib import _bootstrap, util

    spec = util.find_spec(name)

    def case(k):
        forked.quiet_child()
        watch_import_locks()
        raised, beyond = fail_once(k, lambda: _bootstrap._load(spec))
        if beyond:
            return BEYOND, None
        verdict = judge(raised, ("returns",))
        raised = None
        module = importlib.import_module(name)
        if name.endswith("callable_naming"):
            works = module.get_function_full_name("m", Sample.method) == "m.Sample.method"
        else:
            wrapper = module.PayloadWrapper(Sample, {"alpha": plain_function})
            works = type(pickle.loads(pickle.dumps(wrapper))) is module.PayloadWrapper
        if not works:
            return FINE, "the module loaded after the failure does not work"
        return FINE, verdict

    reports, _, in_imports = controls()
    return [*reports, walk(f"import {name}", case, stride, limit, in_imports)]


def main(what, stride, limit, only=None):
    reports = calls(stride, limit, only) if what == "calls" else load(what, stride, limit)
    print(json.dumps(reports))
