"""The native ``callable_naming`` against its pure-Python model, on the
callables of the standard library and on generated objects.  The model is
``model/dravolt_common/callable_naming.py``, the file the benchmarks time too,
loaded by ``callable_naming_model`` under another name."""

import builtins
import collections
import datetime
import decimal
import functools
import io
import itertools
import json
import operator
import os
import pathlib
import re
import typing
import warnings

import pytest
from hypothesis import given
from hypothesis import strategies as st

import callable_naming_model as model
import dravolt_common.callable_naming as cn

MODULES = [
    builtins,
    collections,
    datetime,
    decimal,
    functools,
    io,
    itertools,
    json,
    operator,
    os,
    pathlib,
    re,
    typing,
]


def instances():
    """Objects whose bound methods are worth naming too."""
    return [
        [],
        [1],
        {},
        {"a": 1},
        "text",
        "",
        b"bytes",
        0,
        2.5,
        datetime.date(2020, 1, 2),
        decimal.Decimal("1.5"),
        pathlib.PurePosixPath("/a/b"),
        re.compile("a+"),
        collections.OrderedDict(a=1),
        collections.deque(),
        collections.Counter("abc"),
        functools.partial(len),
        itertools.count(),
        io.StringIO("x"),
        object(),
        json.JSONEncoder(),
    ]


def gather(module):
    """Every public attribute of the module; for each class, the entries of its
    dictionary and what reading them from the class gives."""
    found = []
    for name in sorted(dir(module)):
        if name.startswith("_"):
            continue
        obj = getattr(module, name)
        found.append((f"{module.__name__}.{name}", obj))
        if isinstance(obj, type):
            for key, entry in list(vars(obj).items()):
                found.append((f"{module.__name__}.{name}.__dict__[{key!r}]", entry))
                # Some class attributes warn when read (typing's io and re
                # namespaces on 3.11): the object read is what counts here.
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore", DeprecationWarning)
                    try:
                        found.append((f"{module.__name__}.{name}.{key}", getattr(obj, key)))
                    except AttributeError:
                        pass
    if module is builtins:
        for instance in instances():
            for key in dir(instance):
                label = f"{type(instance).__name__}().{key}"
                try:
                    found.append((label, getattr(instance, key)))
                except AttributeError:
                    pass
    return found


def outcome(function, *args):
    try:
        result = function(*args)
    except Exception as exc:
        return ("raises", type(exc), str(exc))
    return ("returns", type(result), result)


def mismatches(objects, module_names=(None, "", "pkg.mod")):
    wrong = []
    for label, obj in objects:
        for is_method in (False, True):
            native = outcome(cn.get_function_module, obj, is_method)
            modelled = outcome(model.get_function_module, obj, is_method)
            if native != modelled:
                wrong.append((label, is_method, native, modelled))
        names = set(module_names)
        if native[0] == "returns" and (native[2] is None or type(native[2]) is str):
            names.add(native[2])
        for module_name in sorted(names, key=repr):
            native = outcome(cn.get_function_full_name, module_name, obj)
            modelled = outcome(model.get_function_full_name, module_name, obj)
            if native != modelled:
                wrong.append((label, module_name, native, modelled))
    return wrong


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_standard_library_callables(module):
    objects = gather(module)
    assert len(objects) > 20
    assert mismatches(objects) == []


def test_enough_callables_are_compared():
    objects = [obj for module in MODULES for _, obj in gather(module) if callable(obj)]
    assert len(objects) > 1000


# ------------------------------------------------------------------ generated objects


class Sample:
    def method(self):
        pass


class Falsy:
    def __bool__(self):
        return False


class StrSub(str):
    pass


def plain_function():
    pass


VALUES = {
    "__module__": ["", None, "mod.a", 5, StrSub("sub"), "builtins"],
    "__name__": ["", None, "name", 7, StrSub("n")],
    "__qualname__": ["", None, "Q.name", 3, StrSub("q")],
    "__self__": [None, 0, [], [1], Sample(), Falsy(), Sample],
    "__func__": [None, plain_function, Sample.method, len],
    "__objclass__": [None, int, Sample, 0],
}


def attribute_values():
    return st.fixed_dictionaries(
        {},
        optional={name: st.sampled_from(values) for name, values in VALUES.items()},
    )


def build(own, on_class, properties, with_getattr, claimed_class, the_class):
    """An instance whose naming attributes sit in its own dictionary, in its
    class's dictionary or behind properties; or that class itself."""
    namespace = dict(on_class)
    namespace.pop("__qualname__", None)  # a class body takes it as the class's own
    for name, value in properties.items():
        if name != "__qualname__":
            namespace[name] = property(lambda self, value=value: value)
    if with_getattr:
        namespace["__getattr__"] = lambda self, name: "from __getattr__"
    if claimed_class is not None:
        namespace["__class__"] = property(lambda self: claimed_class)
    cls = type("Generated", (), namespace)
    if the_class:
        return cls
    obj = cls()
    obj.__dict__.update(own)
    return obj


# The objects are built inside the test: some claim to be classes through
# __class__, which would confuse the printing of drawn examples.
@given(
    recipe=st.tuples(
        attribute_values(),
        attribute_values(),
        attribute_values(),
        st.booleans(),
        st.sampled_from([None, Sample, int, type, 0]),
        st.booleans(),
    ),
    is_method=st.sampled_from([False, True, 0, 1, [], [0]]),
    module_name=st.sampled_from([None, "", "pkg.mod", "builtins"]),
)
def test_generated_objects(recipe, is_method, module_name):
    obj = build(*recipe)
    assert outcome(cn.get_function_module, obj, is_method) == outcome(
        model.get_function_module, obj, is_method
    )
    assert outcome(cn.get_function_full_name, module_name, obj) == outcome(
        model.get_function_full_name, module_name, obj
    )


class _FailingOnceKey(str):
    """A namespace key equal to "__module__" whose first armed comparison raises."""

    armed = False
    calls = 0

    __hash__ = str.__hash__

    def __eq__(self, other):
        if type(self).armed:
            type(self).calls += 1
            if type(self).calls == 1:
                raise ValueError("first comparison fails")
        return str.__eq__(self, other)


class _Counting:
    """A descriptor that gives another text at each read."""

    reads = 0

    def __get__(self, obj, owner):
        _Counting.reads += 1
        return f"read{_Counting.reads}"


def _behind_a_failing_key(monkeypatch, implementation):
    cls = type("K", (), {_FailingOnceKey("__module__"): "mymod"})
    _FailingOnceKey.armed, _FailingOnceKey.calls = True, 0
    return lambda: implementation.get_function_module(cls, False)


def _qualname_read_twice(monkeypatch, implementation):
    # The qualified-name constant rebound to __doc__, which type's getter
    # takes from a descriptor of the class.
    namespace = vars(cn) if implementation is cn else model.NAMESPACE
    monkeypatch.setitem(namespace, "QUALNAME_STR", "__doc__")
    _Counting.reads = 0
    inner = type("Inner", (), {"__doc__": _Counting()})
    outer = type("Outer", (), {"__init__": inner})
    return lambda: implementation.get_function_full_name("m", outer)


# Each case makes the program anew for each implementation: the reads that a
# shortcut makes must be those of the model, one for one.
@pytest.mark.parametrize("case", [_behind_a_failing_key, _qualname_read_twice])
def test_reads_that_run_code_are_made_as_the_model_makes_them(monkeypatch, case):
    outcomes = []
    for implementation in (cn, model):
        call = case(monkeypatch, implementation)
        try:
            outcomes.append(outcome(call))
        finally:
            _FailingOnceKey.armed = False
    assert outcomes[0] == outcomes[1]
