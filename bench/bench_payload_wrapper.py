"""Time per call of the payload wrappers, native against the same classes in Python.

Usage: python bench/bench_payload_wrapper.py [--repeat N]

The Python classes below behave as the native ones do (guarded blocks,
module globals read at each use, the reduce tuple that leaves the wrapper
unchanged); they are what one would write without the extension module.
Each figure is the best of several timeit runs, in nanoseconds per call.
"""

import argparse
import copy
import pickle
import timeit
from typing import Any, AnyStr

import jsonpickle

from dravolt_common.utils import payload_wrapper as native

JSONPICKLE_EXTERNAL_TYPE_KEY = "py/dravolt/external/type"
FUNCS_INDEX = 1
CLS_INDEX = 0


def get_attribute_full_name(cls: Any) -> AnyStr:
    mod = cls.__module__
    try:
        _ = cls.__qualname__
    except BaseException:
        return f"{mod}.{cls.__name__}"
    return f"{mod}.{cls.__qualname__}"


class PythonPayloadWrapperBase:
    def __new__(cls, *args):
        new_cls = copy.copy(cls)
        new_obj = object.__new__(new_cls)
        new_obj.funcs = {}
        new_obj.cls = ""
        try:
            try:
                for func in args[FUNCS_INDEX]:
                    setattr(new_cls, func, args[FUNCS_INDEX][func])
            except Exception:
                pass
            new_obj.__dict__ = args[FUNCS_INDEX]
        except Exception:
            try:
                new_obj.cls = args[CLS_INDEX]
            except Exception:
                pass
            return new_obj
        try:
            new_obj = object.__new__(new_cls)
            new_obj.funcs = args[FUNCS_INDEX]
            new_obj.cls = args[CLS_INDEX]
        except Exception:
            pass
        return new_obj


class PythonPayloadWrapper(PythonPayloadWrapperBase):
    def __new__(cls, *args):
        return super().__new__(cls, *args)

    def __init__(self, cls: Any, *_args):
        self.__setattr__(JSONPICKLE_EXTERNAL_TYPE_KEY, get_attribute_full_name(cls))

    def __reduce__(self):
        try:
            _ = self.funcs
            has_funcs = True
        except BaseException:
            has_funcs = False
        try:
            _ = self.cls
            has_cls = True
        except BaseException:
            has_cls = False
        funcs = self.funcs if has_funcs else {}
        cls = self.cls if has_cls else ""
        state = dict(self.__dict__)
        state.pop("funcs", None)
        state.pop("cls", None)
        return PythonPayloadWrapper, (cls, funcs), state


class Sensor:
    pass


def describe(wrapper):
    return wrapper.cls.__name__


def cases(wrapper_class, full_name):
    funcs = {"describe": describe}
    wrapper = wrapper_class(Sensor, funcs)
    payload = pickle.dumps(wrapper)
    text = jsonpickle.encode(wrapper, keys=True)
    return [
        ("construct PayloadWrapper(C, funcs)", lambda: wrapper_class(Sensor, funcs)),
        ("construct PayloadWrapper(C)", lambda: wrapper_class(Sensor)),
        ("__reduce__", wrapper.__reduce__),
        ("pickle.dumps", lambda: pickle.dumps(wrapper)),
        ("pickle.loads", lambda: pickle.loads(payload)),
        ("jsonpickle.encode", lambda: jsonpickle.encode(wrapper, keys=True)),
        ("jsonpickle.decode", lambda: jsonpickle.decode(text, keys=True)),
        ("get_attribute_full_name(C)", lambda: full_name(Sensor)),
    ]


def best_ns_per_call(calls, repeat):
    """The best time of each call, in ns; the calls take turns, so that a
    passing load on the machine weighs on all of them alike."""
    timers = [timeit.Timer(call) for call in calls]
    numbers = [timer.autorange()[0] for timer in timers]
    best = [float("inf")] * len(calls)
    for _ in range(repeat):
        for i, (timer, number) in enumerate(zip(timers, numbers, strict=True)):
            best[i] = min(best[i], timer.timeit(number) / number * 1e9)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=9)
    repeat = parser.parse_args().repeat

    native_cases = cases(native.PayloadWrapper, native.get_attribute_full_name)
    python_cases = cases(PythonPayloadWrapper, get_attribute_full_name)
    print(f"{'operation':<36} {'native ns':>10} {'Python ns':>10} {'speed-up':>9}")
    for (label, native_call), (_, python_call) in zip(native_cases, python_cases, strict=True):
        native_ns, python_ns = best_ns_per_call([native_call, python_call], repeat)
        print(f"{label:<36} {native_ns:>10.0f} {python_ns:>10.0f} {python_ns / native_ns:>8.2f}x")


if __name__ == "__main__":
    main()
