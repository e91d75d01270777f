"""Time per call of get_function_module and get_function_full_name, native
against plain Python and against the exact pure-Python model in tests/, for
callables of different kinds.

"plain" is the same algorithm as one would write it in Python, with
getattr(obj, name, None) as the safe lookup: the natural alternative. The
model emulates the generic attribute lookup exactly and is much slower.

Usage: python bench/bench_callable_naming.py [--repeat N]
"""

import argparse
import functools
import json
import sys
import timeit
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import types  # noqa: E402

import callable_naming_model as model  # noqa: E402
import dravolt_common.callable_naming as native  # noqa: E402

QUALNAME_STR = "__qualname__"
FUNC_STR = "__func__"
FUNC_NAME = "__name__"
SELF_CONST = "__self__"
MODULE_STR = "__module__"
CLASS_STR = "__class__"
BUILTINS = "builtins"
OBJ_CLASS = "__objclass__"
WRAPPER_DESCRIPTOR = type(type.__init__)
METHOD_DESCRIPTOR = type(type.__dict__["mro"])


def get_attr_safe(obj, attr):
    return getattr(obj, attr, None)


def plain_get_function_module(function_obj, is_method):
    module = ""
    module_tmp = get_attr_safe(function_obj, MODULE_STR)
    if module_tmp:
        module = module_tmp
    if module:
        return module
    descriptor_types = (
        METHOD_DESCRIPTOR,
        WRAPPER_DESCRIPTOR,
        types.MemberDescriptorType,
        types.GetSetDescriptorType,
    )
    if isinstance(function_obj, descriptor_types):
        module = function_obj.__objclass__.__class__.__module__
        if module == BUILTINS:
            module = function_obj.__objclass__.__module__
    elif is_method:
        module = function_obj.__self__.__class__.__module__
        if module == BUILTINS:
            module = function_obj.__self__.__module__
    elif get_attr_safe(function_obj, CLASS_STR):
        if get_attr_safe(function_obj.__class__, MODULE_STR):
            module = function_obj.__class__.__module__
        if module == BUILTINS and get_attr_safe(function_obj, OBJ_CLASS):
            module = function_obj.__objclass__.__module__
    return module


def plain_get_function_full_name(module_name, function_obj):
    if isinstance(function_obj, type):
        function_obj = function_obj.__init__
    function_name = full_name = ""
    try:
        if get_attr_safe(function_obj, SELF_CONST):
            self_attr = getattr(function_obj, SELF_CONST)
            if get_attr_safe(function_obj, FUNC_STR):
                function_obj = getattr(function_obj, FUNC_STR)
            if get_attr_safe(function_obj, FUNC_NAME):
                function_name = getattr(function_obj, FUNC_NAME)
            if get_attr_safe(function_obj, QUALNAME_STR):
                qualname_tmp = getattr(function_obj, QUALNAME_STR)
                if qualname_tmp:
                    return f"{module_name}.{qualname_tmp}"
            if module_name:
                full_name = f"{module_name}.{self_attr.__class__.__name__}.{function_name}"
            else:
                full_name = f"{self_attr.__class__.__name__}.{function_name}"
        else:
            if get_attr_safe(function_obj, FUNC_NAME):
                function_name = getattr(function_obj, FUNC_NAME)
            if get_attr_safe(function_obj, QUALNAME_STR):
                qualname_tmp = getattr(function_obj, QUALNAME_STR)
                if qualname_tmp:
                    return f"{module_name}.{qualname_tmp}"
                qualname = None
            else:
                qualname = function_name
            if module_name:
                if not qualname and get_attr_safe(function_obj, "__class__"):
                    qualname = function_obj.__class__.__name__
                full_name = f"{module_name}.{qualname}"
            else:
                full_name = qualname
    except Exception:
        pass
    return full_name


PLAIN = {
    "get_function_module": plain_get_function_module,
    "get_function_full_name": plain_get_function_full_name,
}


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

    print(
        f"{'callable':<20} {'function':<24} {'native ns':>10} {'plain ns':>10} {'speed-up':>9}"
        f" {'model ns':>10}"
    )
    for label, obj, is_method in CASES:
        module_name = native.get_function_module(obj, is_method)
        for name, args in [
            ("get_function_module", (obj, is_method)),
            ("get_function_full_name", (module_name, obj)),
        ]:
            fast = getattr(native, name)
            plain = PLAIN[name]
            slow = getattr(model, name)
            native_ns = per_call_ns(lambda fast=fast, args=args: fast(*args), repeat)
            plain_ns = per_call_ns(lambda plain=plain, args=args: plain(*args), repeat)
            model_ns = per_call_ns(lambda slow=slow, args=args: slow(*args), repeat)
            print(
                f"{label:<20} {name:<24} {native_ns:>10.0f} {plain_ns:>10.0f} "
                f"{plain_ns / native_ns:>8.1f}x {model_ns:>10.0f}"
            )


if __name__ == "__main__":
    main()
