"""Time per call of get_function_module and get_function_full_name, native
against the pure-Python model in tests/, for callables of different kinds.

Usage: python bench/bench_callable_naming.py [--repeat N]
"""

import argparse
import functools
import json
import sys
import timeit
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import callable_naming_model as model  # noqa: E402
import dravolt_common.callable_naming as native  # noqa: E402


class Thing:
    def method(self):
        pass


class Gadget:
    def __call__(self):
        pass


CASES = [
    ("function", json.dumps, False),
    ("class", Thing, False),
    ("bound method", Thing().method, True),
    ("builtin function", len, False),
    ("method descriptor", str.join, False),
    ("builtin method", [1].append, False),
    ("partial", functools.partial(len), False),
    ("callable instance", Gadget(), False),
]


def per_call_ns(call, repeat):
    timer = timeit.Timer(call)
    number, _ = timer.autorange()
    best = min(timer.repeat(repeat=repeat, number=number))
    return best / number * 1e9


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    repeat = parser.parse_args().repeat

    print(f"{'callable':<20} {'function':<24} {'native ns':>10} {'model ns':>10} {'ratio':>7}")
    for label, obj, is_method in CASES:
        module_name = native.get_function_module(obj, is_method)
        for name, args in [
            ("get_function_module", (obj, is_method)),
            ("get_function_full_name", (module_name, obj)),
        ]:
            fast = getattr(native, name)
            slow = getattr(model, name)
            native_ns = per_call_ns(lambda fast=fast, args=args: fast(*args), repeat)
            model_ns = per_call_ns(lambda slow=slow, args=args: slow(*args), repeat)
            print(
                f"{label:<20} {name:<24} {native_ns:>10.0f} {model_ns:>10.0f} "
                f"{model_ns / native_ns:>6.1f}x"
            )


if __name__ == "__main__":
    main()
