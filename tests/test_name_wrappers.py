"""FunctionWrapper, ModuleWrapper and ExceptionWrapper: objects carried by name
and turned back into the live object."""

import json
import os.path
import types

import jsonpickle.unpickler
import pytest

import dravolt_common.utils.payload_wrapper as pw
from dravolt_common.utils import special_unpicklers
from leakcheck import assert_no_leak
from native_traceback import native_entries


class Text:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        if isinstance(self.text, type):
            raise self.text("no text")
        return self.text


class Recorder:
    """A callable that records its calls and answers with ``result``."""

    def __init__(self, result=None, error=None):
        self.calls = []
        self.result = result
        self.error = error

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.error:
            raise self.error("recorded")
        return self.result


def bare(class_name):
    """An instance made without running the class's __new__ or __init__."""
    return object.__new__(getattr(pw, class_name))


# ---------------------------------------------------------------- __init__


@pytest.mark.parametrize(
    "class_name, attribute",
    [("FunctionWrapper", "fullname"), ("ModuleWrapper", "module_full_name")],
)
@pytest.mark.parametrize(
    "given, stored",
    [("os.path.join", "os.path.join"), (123, "123"), (Text("pkg.mod.f"), "pkg.mod.f")],
)
def test_init_stores_the_str_of_the_name(class_name, attribute, given, stored):
    obj = bare(class_name)
    assert obj.__init__(given) is None
    assert vars(obj) == {attribute: stored}
    assert type(vars(obj)[attribute]) is str


@pytest.mark.parametrize("class_name", ["FunctionWrapper", "ModuleWrapper"])
def test_init_leaves_the_instance_alone_when_the_conversion_fails(class_name):
    obj = bare(class_name)
    with pytest.raises(LookupError):
        obj.__init__(Text(LookupError))
    assert vars(obj) == {}


@pytest.mark.parametrize("args", [(), (1,), (1, "two", None)])
def test_exception_wrapper_init_keeps_its_positional_arguments(args):
    obj = bare("ExceptionWrapper")
    obj.__init__(*args)
    assert vars(obj) == {"args": args}


# ---------------------------------------------------------------- FunctionWrapper.__reduce__


def test_function_wrapper_reduces_to_a_loadclass_call_on_its_name():
    wrapper = pw.FunctionWrapper("os.path.join")
    reducer, args = wrapper.__reduce__()
    assert reducer is jsonpickle.unpickler.loadclass
    assert args == ("os.path.join",)
    assert args[0] is wrapper.fullname
    assert reducer(*args) is os.path.join


def test_function_wrapper_imports_loadclass_at_every_reduction(monkeypatch):
    wrapper = pw.FunctionWrapper("os.path.join")
    replacement = Recorder()
    monkeypatch.setattr(jsonpickle.unpickler, "loadclass", replacement)
    assert wrapper.__reduce__()[0] is replacement
    monkeypatch.delattr(jsonpickle.unpickler, "loadclass")
    with pytest.raises(ImportError, match="^cannot import name loadclass$"):
        wrapper.__reduce__()


def test_function_wrapper_without_a_name_does_not_reduce():
    with pytest.raises(AttributeError, match="fullname"):
        bare("FunctionWrapper").__reduce__()


# ---------------------------------------------------------------- constructing the classes


def test_module_wrapper_gives_the_module_itself():
    assert pw.ModuleWrapper("json") is json
    assert pw.ModuleWrapper("os.path", "ignored") is os.path


def test_module_wrapper_resolves_through_the_module_global(monkeypatch):
    resolver = Recorder(result="resolved")
    monkeypatch.setattr(pw, "import_by_full_name", resolver)
    name = Text("not converted")
    assert pw.ModuleWrapper(name) == "resolved"
    assert resolver.calls == [((name,), {})]


def test_module_wrapper_needs_a_name():
    with pytest.raises(IndexError, match="^tuple index out of range$"):
        pw.ModuleWrapper()


@pytest.mark.parametrize("class_name", ["ModuleWrapper", "ExceptionWrapper"])
def test_constructing_refuses_keywords(class_name):
    with pytest.raises(
        TypeError, match="^__new__\\(\\) got an unexpected keyword argument 'name'$"
    ):
        getattr(pw, class_name)("json", name="json")


def test_exception_wrapper_passes_its_values_on_unchanged(monkeypatch):
    resolver = Recorder(result="the class")
    unpickle = Recorder(result="the exception")
    selector = Recorder(result=unpickle)
    monkeypatch.setattr(pw, "import_by_full_name", resolver)
    monkeypatch.setattr(
        pw, "special_unpicklers", types.SimpleNamespace(get_special_unpickle_function=selector)
    )
    name, args, attributes = Text("x.E"), object(), object()
    assert pw.ExceptionWrapper(name, args, attributes, "ignored") == "the exception"
    assert resolver.calls == [((name,), {})]
    assert selector.calls == [((name,), {})]
    assert unpickle.calls == [(("the class", args, attributes), {})]
    assert unpickle.calls[0][0][1] is args and unpickle.calls[0][0][2] is attributes


@pytest.mark.parametrize(
    "args, resolver_error, resolved, selected",
    [
        (("x.E", ()), None, 0, 0),
        (("x.E", (), {}), LookupError, 1, 0),
    ],
    ids=["too-few-arguments", "resolving-fails"],
)
def test_exception_wrapper_stops_at_the_first_failure(
    monkeypatch, args, resolver_error, resolved, selected
):
    resolver = Recorder(error=resolver_error)
    selector = Recorder()
    monkeypatch.setattr(pw, "import_by_full_name", resolver)
    monkeypatch.setattr(special_unpicklers, "get_special_unpickle_function", selector)
    with pytest.raises(resolver_error or IndexError):
        pw.ExceptionWrapper(*args)
    assert (len(resolver.calls), len(selector.calls)) == (resolved, selected)


# ---------------------------------------------------------------- __call__


CALLS = {
    "ModuleWrapper": (("json",), lambda result: result is json),
    "ExceptionWrapper": (
        ("builtins.ValueError", ("bad",), {}),
        lambda result: type(result) is ValueError and result.args == ("bad",),
    ),
    "FunctionWrapper": (
        ("os.path.join",),
        lambda result: type(result) is pw.FunctionWrapper and result.fullname == "os.path.join",
    ),
}


@pytest.mark.parametrize("class_name", list(CALLS))
def test_calling_an_instance_constructs_the_class_anew(class_name):
    args, check = CALLS[class_name]
    instance = bare(class_name)
    assert check(instance(*args, dropped=1))
    assert vars(instance) == {}


@pytest.mark.parametrize("class_name", list(CALLS))
def test_calling_an_instance_uses_the_class_bound_now(monkeypatch, class_name):
    class Sub(getattr(pw, class_name)):
        pass

    instance = object.__new__(Sub)
    constructor = Recorder(result="constructed")
    monkeypatch.setattr(pw, class_name, constructor)
    assert instance(1, 2, keyword=3) == "constructed"
    assert constructor.calls == [((1, 2), {})]


@pytest.mark.parametrize("args", [(), ("a", "b")])
def test_calling_a_function_wrapper_takes_exactly_one_name(args):
    with pytest.raises(TypeError, match="^__init__\\(\\) takes exactly 2 positional arguments"):
        bare("FunctionWrapper")(*args)


# ---------------------------------------------------------------- tracebacks and leaks


@pytest.mark.parametrize(
    "call, error, entries",
    [
        (lambda m: pw.ModuleWrapper(), IndexError, ["ModuleWrapper.__new__"]),
        (
            lambda m: bare("ModuleWrapper")(),
            IndexError,
            ["ModuleWrapper.__call__", "ModuleWrapper.__new__"],
        ),
        (
            lambda m: bare("ModuleWrapper").__init__(Text(LookupError)),
            LookupError,
            ["ModuleWrapper.__init__"],
        ),
        (
            lambda m: (m.delattr(pw, "import_by_full_name"), pw.ModuleWrapper("json")),
            NameError,
            ["ModuleWrapper.__new__"],
        ),
        (
            lambda m: pw.ExceptionWrapper("builtins.ValueError", ()),
            IndexError,
            ["ExceptionWrapper.__new__"],
        ),
        (
            lambda m: pw.ExceptionWrapper("builtins.ValueError", 5, {}),
            TypeError,
            ["ExceptionWrapper.__new__"],
        ),
        (
            lambda m: (
                m.delattr(pw, "special_unpicklers"),
                pw.ExceptionWrapper("builtins.E", (), {}),
            ),
            NameError,
            ["ExceptionWrapper.__new__"],
        ),
        (
            lambda m: bare("ExceptionWrapper")(),
            IndexError,
            ["ExceptionWrapper.__call__", "ExceptionWrapper.__new__"],
        ),
        (
            lambda m: bare("FunctionWrapper").__reduce__(),
            AttributeError,
            ["FunctionWrapper.__reduce__"],
        ),
        (
            lambda m: bare("FunctionWrapper")(),
            TypeError,
            ["FunctionWrapper.__call__", "FunctionWrapper.__init__"],
        ),
    ],
    ids=[
        "module-new",
        "module-call",
        "module-init",
        "module-resolver-missing",
        "exception-new",
        "exception-unpickle",
        "exception-unpicklers-missing",
        "exception-call",
        "function-reduce",
        "function-call",
    ],
)
def test_failures_carry_the_entries_of_the_methods_they_leave(monkeypatch, call, error, entries):
    with pytest.raises(error) as info:
        call(monkeypatch)
    assert native_entries(info.value) == entries


def test_a_missing_class_name_fails_the_call(monkeypatch):
    instance = bare("FunctionWrapper")
    monkeypatch.delattr(pw, "FunctionWrapper")
    with pytest.raises(NameError, match="^name 'FunctionWrapper' is not defined$") as info:
        instance("x")
    assert native_entries(info.value) == ["FunctionWrapper.__call__"]


FUNCTION_WRAPPER = pw.FunctionWrapper("os.path.join")
MODULE_WRAPPER = bare("ModuleWrapper")
EXCEPTION_WRAPPER = bare("ExceptionWrapper")


@pytest.mark.parametrize(
    "call, args, kwargs, expect",
    [
        (pw.ModuleWrapper, ("json",), {}, None),
        (pw.ModuleWrapper, (), {}, IndexError),
        (pw.ModuleWrapper.__init__, (MODULE_WRAPPER, 123), {}, None),
        (pw.ModuleWrapper.__init__, (MODULE_WRAPPER, Text(LookupError)), {}, LookupError),
        (MODULE_WRAPPER, ("json", "extra"), {"dropped": 1}, None),
        (MODULE_WRAPPER, (), {}, IndexError),
        (pw.ExceptionWrapper, ("builtins.ValueError", ("bad",), {"note": 1}), {}, None),
        (pw.ExceptionWrapper, ("builtins.ValueError", ("bad",)), {}, IndexError),
        (pw.ExceptionWrapper, ("builtins.ValueError", 5, {}), {}, TypeError),
        (pw.ExceptionWrapper.__init__, (EXCEPTION_WRAPPER, 1, 2), {}, None),
        (EXCEPTION_WRAPPER, ("builtins.KeyError", ("k",), {}), {"dropped": 1}, None),
        (pw.FunctionWrapper, ("os.path.join",), {}, None),
        (pw.FunctionWrapper, (Text(LookupError),), {}, LookupError),
        (FUNCTION_WRAPPER, ("os.path.join",), {"dropped": 1}, None),
        (FUNCTION_WRAPPER, (), {}, TypeError),
        (pw.FunctionWrapper.__reduce__, (FUNCTION_WRAPPER,), {}, None),
        (pw.FunctionWrapper.__reduce__, (bare("FunctionWrapper"),), {}, AttributeError),
    ],
)
def test_no_leaks(call, args, kwargs, expect):
    assert_no_leak(call, args=args, kwargs=kwargs, expect=expect)
