"""Threads calling both modules at once while another thread rebinds their
globals back and forth; run in a fresh interpreter by ``test_threads``.

Each worker makes ``calls`` mixed calls (naming, full names, wrappers made
with the same names installed on the class, ``__reduce__``, pickle round
trips, imports and rebuilt exceptions) and checks each result against the
results that the call gives under either binding of each rebound global, that
is, in some serial order of the calls and the rebindings.  The main thread
waits a bounded time; a worker still running after it is a hang.

``main(threads, calls, seconds)`` prints one JSON report.
"""

import json
import os
import os.path
import pickle
import sys
import threading
import time

import dravolt_common.callable_naming as cn
import dravolt_common.utils.payload_wrapper as pw

ORIGINAL = pw.PayloadWrapper
KEY = pw.JSONPICKLE_EXTERNAL_TYPE_KEY
OTHER_KEY = "py/dravolt/rebound"


class Carried:
    def method(self):
        return self


class Rebound(pw.PayloadWrapper):
    """What the global PayloadWrapper is rebound to, half the time."""


def _describer(i):
    def describe(wrapper):
        return i

    describe.__name__ = describe.__qualname__ = f"describe_{i}"
    return describe


# Module-level functions, so that pickle stores them by reference.
DESCRIBERS = [_describer(i) for i in range(16)]
for _function in DESCRIBERS:
    globals()[_function.__name__] = _function

# Each rebound global and its two values.
TOGGLES = [
    (vars(cn), "QUALNAME_STR", "__qualname__", "__name__"),
    (vars(cn), "MODULE_STR", "__module__", "__qualname__"),
    (vars(pw), "JSONPICKLE_EXTERNAL_TYPE_KEY", KEY, OTHER_KEY),
    (vars(pw), "PayloadWrapper", ORIGINAL, Rebound),
]
FULL_NAMES = {f"m.{Carried.method.__qualname__}", "m.method"}
MODULES = {__name__, Carried.method.__qualname__}
CARRIED = f"{__name__}.Carried"
SWITCH_INTERVAL = float(os.environ.get("SWITCH_INTERVAL", 1e-3))
REBIND_PAUSE = float(os.environ.get("REBIND_PAUSE", 1e-4))


def check_wrapper(wrapper, funcs, loaded=False):
    """A wrapper made, or loaded, under either binding of the globals: a
    loaded one records the name under the key bound when it was loaded, and
    gets the one of its state as well."""
    assert type(wrapper) in ((ORIGINAL, Rebound) if loaded else (ORIGINAL,)), type(wrapper)
    assert wrapper.cls is Carried and wrapper.funcs == funcs
    keys = {KEY, OTHER_KEY} & set(vars(wrapper))
    assert len(keys) in ((1, 2) if loaded else (1,)), vars(wrapper)
    assert all(getattr(wrapper, key) == CARRIED for key in keys), vars(wrapper)
    assert wrapper.describe() in range(len(DESCRIBERS))


# The kinds of call in turn: mostly the cheap ones; the calls that go through
# the import system (6, 7 and 8, a hundred times dearer) once in 64.
SCHEDULE = [0, 1, 2, 3, 0, 1, 2, 4, 0, 1, 2, 3, 0, 1, 2, 5] * 4


def one_call(worker, i):
    """The i-th call of a worker, checked."""
    kind = SCHEDULE[i % 64] if i % 64 != 63 else 6 + (i // 64) % 3
    if kind == 0:
        assert cn.get_function_full_name("m", Carried.method) in FULL_NAMES
    elif kind == 1:
        assert cn.get_function_module(Carried.method, False) in MODULES
    elif kind == 2:
        assert pw.get_attribute_full_name(Carried) == CARRIED
    elif kind in (3, 4, 5):
        funcs = {"describe": DESCRIBERS[(worker + i) % len(DESCRIBERS)]}
        wrapper = ORIGINAL(Carried, funcs)
        check_wrapper(wrapper, funcs)
        assert ORIGINAL.describe in DESCRIBERS
        if kind == 4:
            made_by, arguments, state = wrapper.__reduce__()
            assert made_by in (ORIGINAL, Rebound) and arguments == (Carried, funcs)
            assert "funcs" not in state and "cls" not in state and len(state) == 1
        elif kind == 5:
            check_wrapper(pickle.loads(pickle.dumps(wrapper)), funcs, loaded=True)
    elif kind == 6:
        loaded = pickle.loads(pickle.dumps(pw.FunctionWrapper("os.path.join")))
        assert loaded is os.path.join
    elif kind == 7:
        assert pw.import_by_full_name("os.path") is os.path
    else:
        error = pw.ExceptionWrapper("builtins.KeyError", ("k",), {"hint": worker})
        assert type(error) is KeyError and error.args == ("k",) and error.hint == worker


def main(threads, calls, seconds):
    # A short switch interval makes the threads take turns often.
    sys.setswitchinterval(SWITCH_INTERVAL)
    stop = threading.Event()
    made = [0] * threads
    wrong = []

    def work(worker):
        for i in range(calls):
            try:
                one_call(worker, i)
            except Exception as exc:
                wrong.append(f"worker {worker}, call {i}: {type(exc).__name__}: {exc}")
            made[worker] += 1

    def rebind():
        flips = 0
        while not stop.is_set():
            namespace, name, first, second = TOGGLES[flips % len(TOGGLES)]
            namespace[name] = second if namespace[name] is first else first
            flips += 1
            time.sleep(REBIND_PAUSE)
        for namespace, name, first, _ in TOGGLES:
            namespace[name] = first
        made.append(flips)

    workers = [threading.Thread(target=work, args=(n,), daemon=True) for n in range(threads)]
    rebinder = threading.Thread(target=rebind, daemon=True)
    started = time.monotonic()
    rebinder.start()
    for worker in workers:
        worker.start()
    deadline = started + seconds
    for worker in workers:
        worker.join(max(0.0, deadline - time.monotonic()))
    stop.set()
    rebinder.join(5)
    hung = sum(worker.is_alive() for worker in workers) + rebinder.is_alive()
    report = {
        "threads": threads,
        "calls": sum(made[:threads]),
        "rebindings": made[threads] if len(made) > threads else 0,
        "wrong": wrong[:20],
        "wrong_count": len(wrong),
        "hung": hung,
        "seconds": round(time.monotonic() - started, 2),
    }
    print(json.dumps(report), flush=True)
    # A hung worker would keep the interpreter from ending normally.
    os._exit(0)
