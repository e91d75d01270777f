"""SpecialWrapper runs a named callable; UnpicklableObject reduces to a
reconstruction of itself."""

import collections
import os.path
import pickle

import jsonpickle.unpickler
import pytest

import dravolt_common.utils.payload_wrapper as pw
from class_attributes import restore_wrapper_classes  # noqa: F401
from leakcheck import assert_no_leak
from native_traceback import native_entries


class Carried:
    pass


def collect(*args, **kwargs):
    return args, kwargs


# ---------------------------------------------------------------- SpecialWrapper


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        (("os.path.join", "a", "b"), {}, os.path.join("a", "b")),
        (("collections.OrderedDict",), {"b": 2, "a": 1}, collections.OrderedDict(b=2, a=1)),
        ((f"{__name__}.collect",), {}, ((), {})),
        (
            (f"{__name__}.collect", 1, None),
            {"args": 3, "kwargs": 4},
            ((1, None), {"args": 3, "kwargs": 4}),
        ),
    ],
    ids=["function", "class-with-keywords", "name-only", "keywords-named-like-parameters"],
)
def test_special_wrapper_returns_what_the_named_callable_returns(args, kwargs, expected):
    result = pw.SpecialWrapper(*args, **kwargs)
    assert result == expected
    assert type(result) is type(expected)


def test_special_wrapper_imports_loadclass_at_every_call(monkeypatch):
    seen = []
    monkeypatch.setattr(jsonpickle.unpickler, "loadclass", lambda name: seen.append(name) or len)
    assert pw.SpecialWrapper("some.name", "abc") == 3
    assert seen == ["some.name"]
    monkeypatch.delattr(jsonpickle.unpickler, "loadclass")
    # The import comes before the arguments are looked at.
    with pytest.raises(ImportError, match="^cannot import name loadclass$"):
        pw.SpecialWrapper()


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((), IndexError, "^tuple index out of range$"),
        (("no_such_module_anywhere.f", 1), TypeError, "^'NoneType' object is not callable$"),
        (("os.path.join",), TypeError, None),
    ],
    ids=["no-name", "unresolved", "callee-refuses"],
)
def test_special_wrapper_failures(args, error, message):
    with pytest.raises(error, match=message) as info:
        pw.SpecialWrapper(*args)
    assert native_entries(info.value) == ["SpecialWrapper.__new__"]


# ---------------------------------------------------------------- UnpicklableObject


def test_unpicklable_object_is_built_like_a_payload_wrapper():
    funcs = {"label": 1}
    obj = pw.UnpicklableObject("name", funcs)
    assert type(obj) is pw.UnpicklableObject
    assert obj.funcs is funcs
    assert obj.cls == "name"
    assert vars(pw.UnpicklableObject)["label"] == 1
    assert vars(pw.UnpicklableObject(Carried)) == {"funcs": {}, "cls": Carried}


def test_unpicklable_object_refuses_keywords():
    with pytest.raises(
        TypeError, match="^__new__\\(\\) got an unexpected keyword argument 'funcs'$"
    ):
        pw.UnpicklableObject("name", funcs={})


@pytest.mark.parametrize("cls", ["name", Carried, 5], ids=["str", "class", "int"])
def test_unpicklable_object_reduces_to_the_str_of_its_class_and_its_funcs(cls):
    funcs = {"label": 1}
    obj = pw.UnpicklableObject(cls, funcs)
    reducer, args, state = obj.__reduce__()
    assert reducer is pw.UnpicklableObject
    assert args == (str(cls), funcs)
    assert args[1] is funcs
    assert state is vars(obj)
    assert state["cls"] is cls


def test_unpicklable_object_comes_back_with_its_class_object():
    loaded = pickle.loads(pickle.dumps(pw.UnpicklableObject(Carried, {"label": 1})))
    assert type(loaded) is pw.UnpicklableObject
    assert loaded.cls is Carried
    assert loaded.funcs == {"label": 1}


def test_unpicklable_object_reduces_through_the_module_global(monkeypatch):
    class Sub(pw.UnpicklableObject):
        pass

    obj = Sub("name", {})
    assert obj.__reduce__()[0] is pw.UnpicklableObject
    replacement = object()
    monkeypatch.setattr(pw, "UnpicklableObject", replacement)
    assert obj.__reduce__()[0] is replacement
    monkeypatch.delattr(pw, "UnpicklableObject")
    with pytest.raises(NameError, match="^name 'UnpicklableObject' is not defined$") as info:
        obj.__reduce__()
    assert native_entries(info.value) == ["UnpicklableObject.__reduce__"]


@pytest.mark.parametrize("missing", ["cls", "funcs"])
def test_unpicklable_object_without_its_attributes_does_not_reduce(missing):
    obj = pw.UnpicklableObject("name", {})
    delattr(obj, missing)
    with pytest.raises(AttributeError, match=missing) as info:
        obj.__reduce__()
    assert native_entries(info.value) == ["UnpicklableObject.__reduce__"]


@pytest.mark.parametrize(
    "change, args, error, entries",
    [
        (None, ("not a class",), TypeError, ["UnpicklableObject.__new__"]),
        (
            lambda m: m.delattr(pw, "copy"),
            (pw.UnpicklableObject,),
            NameError,
            ["UnpicklableObject.__new__", "PayloadWrapperBase.__new__"],
        ),
    ],
    ids=["not-a-class", "base-fails"],
)
def test_unpicklable_object_new_failures(monkeypatch, change, args, error, entries):
    if change:
        change(monkeypatch)
    with pytest.raises(error) as info:
        pw.UnpicklableObject.__new__(*args)
    assert native_entries(info.value) == entries


# ---------------------------------------------------------------- leaks

UNPICKLABLE = pw.UnpicklableObject("name", {})
MISSING_FUNCS = pw.UnpicklableObject("name", {})
del MISSING_FUNCS.funcs


@pytest.mark.parametrize(
    "call, args, kwargs, expect",
    [
        (pw.SpecialWrapper, ("os.path.join", "a", "b"), {}, None),
        (pw.SpecialWrapper, ("collections.OrderedDict",), {"a": 1}, None),
        (pw.SpecialWrapper, (), {}, IndexError),
        (pw.SpecialWrapper, ("no_such_module_anywhere.f",), {"a": 1}, TypeError),
        (pw.UnpicklableObject, ("name", {}), {}, None),
        (pw.UnpicklableObject, (), {"funcs": {}}, TypeError),
        (pw.UnpicklableObject.__new__, ("not a class",), {}, TypeError),
        (pw.UnpicklableObject.__reduce__, (UNPICKLABLE,), {}, None),
        (pw.UnpicklableObject.__reduce__, (MISSING_FUNCS,), {}, AttributeError),
    ],
)
def test_no_leaks(call, args, kwargs, expect):
    assert_no_leak(call, args=args, kwargs=kwargs, expect=expect)
