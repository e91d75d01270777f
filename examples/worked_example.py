"""A tour of dravolt_common: full names, wrappers through jsonpickle, callable naming.

Run it with `./dev.sh example` from the repository root.
"""

import collections
import json
import os.path
from collections.abc import Callable
from typing import Any

# jsonpickle ships no type information; what it decodes is typed Any.
import jsonpickle  # type: ignore[import-untyped]

from dravolt_common.utils.payload_wrapper import (
    ExceptionWrapper,
    FunctionWrapper,
    ModuleWrapper,
    PayloadWrapper,
    SpecialWrapper,
    UnpicklableObject,
    get_attribute_full_name,
    import_by_full_name,
)


class Outer:
    class Inner:
        def method(self) -> str:
            return "method"


class Greeter:
    def __call__(self, name: str) -> str:
        return f"hello {name}"


class ByName:
    """An object that travels as the construction of a wrapper class.

    Constructing ModuleWrapper, ExceptionWrapper or SpecialWrapper yields the
    module, the exception or the callable's result, so a payload names the
    class and its arguments in a reduce value, and loading runs the construction.
    """

    def __init__(self, wrapper_class: type, *args: object) -> None:
        self.wrapper_class = wrapper_class
        self.args = args

    def __reduce__(self) -> tuple[type, tuple[object, ...]]:
        return self.wrapper_class, self.args


def describe(wrapper: PayloadWrapper) -> str:
    return f"a wrapper around {wrapper.cls.__qualname__}"


def make_nested() -> Callable[[], str]:
    def nested() -> str:
        return "nested"

    return nested


def heading(title: str) -> None:
    print()
    print(title)
    print("-" * len(title))


def show_full_names() -> None:
    heading("Full names")
    for obj in (collections.OrderedDict, Outer.Inner, os.path.join, make_nested()):
        print(f"  {get_attribute_full_name(obj)}")


def show_resolved_names() -> None:
    heading("Objects resolved from their full names")
    for name, original in (("json", json), ("os.path.join", os.path.join)):
        resolved = import_by_full_name(name)
        print(f"  {name!r} -> {resolved!r}; the original: {resolved is original}")


def show_wrappers_through_jsonpickle() -> None:
    heading("Wrappers through jsonpickle")
    wrapper = PayloadWrapper(Outer.Inner, {"describe": describe})
    loaded = round_trip("PayloadWrapper(Outer.Inner, {'describe': describe})", wrapper)
    print(f"    loaded.cls: {loaded.cls!r}")
    print(f"    loaded.describe(): {loaded.describe()!r}")
    print(f"    the wrapper still has its cls after encoding: {wrapper.cls is Outer.Inner}")

    loaded = round_trip('FunctionWrapper("os.path.join")', FunctionWrapper("os.path.join"))
    print(f"    the function itself: {loaded is os.path.join}")

    loaded = round_trip('ModuleWrapper("json")', ByName(ModuleWrapper, "json"))
    print(f"    the module itself: {loaded is json}")

    loaded = round_trip(
        'ExceptionWrapper("builtins.ValueError", ("bad",), {"code": 7})',
        ByName(ExceptionWrapper, "builtins.ValueError", ("bad",), {"code": 7}),
    )
    print(f"    loaded.code: {loaded.code!r}")
    round_trip(
        'SpecialWrapper("os.path.join", "a", "b")', ByName(SpecialWrapper, "os.path.join", "a", "b")
    )

    loaded = round_trip('UnpicklableObject("name", {})', UnpicklableObject("name", {}))
    print(f"    loaded.cls: {loaded.cls!r}, loaded.funcs: {loaded.funcs!r}")


def round_trip(label: str, obj: object) -> Any:
    """Print what `obj` encodes to and what decoding gives back; return the latter."""
    encoded = jsonpickle.encode(obj, keys=True)
    loaded = jsonpickle.decode(encoded, keys=True)
    print(f"  {label}")
    print(f"    encoded: {encoded}")
    print(f"    decoded: {loaded!r}")
    return loaded


def show_callable_naming() -> None:
    heading("Module and full name of callables")
    from dravolt_common.callable_naming import get_function_full_name, get_function_module

    instance = Outer.Inner()
    callables = [
        ("a function", describe, False),
        ("a nested function", make_nested(), False),
        ("a class", Outer.Inner, False),
        ("a bound method", instance.method, True),
        ("a built-in function", len, False),
        ("a method descriptor", str.join, False),
        ("a slot wrapper", object.__init__, False),
        ("a callable instance", Greeter(), False),
    ]
    for kind, obj, is_method in callables:
        module = get_function_module(obj, is_method)
        print(f"  {kind:<20} {module!r:<12} {get_function_full_name(module, obj)!r}")


def main() -> None:
    show_full_names()
    show_resolved_names()
    show_wrappers_through_jsonpickle()
    show_callable_naming()


if __name__ == "__main__":
    main()
