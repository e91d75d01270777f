"""No reference or memory leak on any path of any public function or method:
each message of the calling conventions, by each way in (a builtin, one of
the module's functions called directly or as a bound method, a class call),
and each exception that each algorithm raises or swallows, checked by
``leakcheck`` (argument and result reference counts, allocated blocks and
tracemalloc)."""

import _testcapi
import functools
import types

import jsonpickle.unpickler
import pytest

import dravolt_common.callable_naming as cn
import dravolt_common.utils.payload_wrapper as pw
import figures
from class_attributes import restore_wrapper_classes  # noqa: F401
from leakcheck import assert_no_leak

ROUNDS = figures.scaled(2000, least=400)
# Each call through the import system costs a hundred times more.
IMPORT_ROUNDS = figures.scaled(500, least=200)


class Sample:
    def method(self):
        return self


class Ordinary:
    pass


class CallableObject:
    def __call__(self):
        pass


def plain_function():
    pass


def _answer(value):
    if isinstance(value, type) and issubclass(value, BaseException):
        raise value("scripted")
    return value


def scripted(**answers):
    """An object whose attributes are properties that give the value, or
    raise it when it is an exception class: found by generic lookups too.  A
    class statement keeps ``__qualname__`` for itself, so that one is a
    value in the instance dictionary."""
    qualname = answers.pop("__qualname__", None)
    namespace = {
        name: property(lambda self, v=value: _answer(v)) for name, value in answers.items()
    }
    obj = type("Scripted", (), namespace)()
    if qualname is not None:
        vars(obj)["__qualname__"] = qualname
    return obj


class Reads:
    """An object whose reads through __getattribute__ are scripted the same way."""

    def __init__(self, **answers):
        object.__setattr__(self, "answers", answers)

    def __getattribute__(self, name):
        answers = object.__getattribute__(self, "answers")
        if name in answers:
            return _answer(answers[name])
        return object.__getattribute__(self, name)


class Raises:
    """Raises the exception from its truth, formatting, str and iteration."""

    def __init__(self, exc=ValueError):
        self.exc = exc

    def __bool__(self):
        raise self.exc("bool")

    def __format__(self, spec):
        raise self.exc("format")

    def __str__(self):
        raise self.exc("str")

    def __iter__(self):
        raise self.exc("iter")


class InstanceCheckRaises(type):
    def __instancecheck__(cls, obj):
        raise ValueError("instancecheck")


class SetattrRaises(pw.ExceptionWrapper):
    def __setattr__(self, name, value):
        raise ValueError("setattr")


class DictRaises(pw.PayloadWrapper):
    @property
    def __dict__(self):
        raise ValueError("__dict__")


class FuncsRaises(pw.PayloadWrapper):
    @property
    def funcs(self):
        raise ValueError("funcs")


class InitRaisesMeta(type):
    @property
    def __init__(cls):
        raise ValueError("__init__")


def bare(name):
    return object.__new__(getattr(pw, name))


def made(name, *args):
    instance = bare(name)
    instance.__init__(*args)
    return instance


def without(obj, *names):
    for name in names:
        delattr(obj, name)
    return obj


def vectorcall(function, *args, kwnames):
    """The call with keyword names that only a C caller can pass (no str)."""
    return lambda: _testcapi.pyobject_vectorcall(function, args, kwnames)


def raising(exc):
    def function(*args, **kwargs):
        raise exc("raised")

    return function


GFM, GFN, GAFN, IBFN = (
    cn.get_function_module,
    cn.get_function_full_name,
    pw.get_attribute_full_name,
    pw.import_by_full_name,
)


def case(id, build, expect=None, imports=False):
    """``build(monkeypatch)`` gives (callable, args, kwargs) after changing
    what the path needs changed."""
    return pytest.param(build, expect, imports, id=id)


def call(function, *args, **kwargs):
    return lambda monkeypatch: (function, args, kwargs)


def after(change, function, *args, **kwargs):
    def build(monkeypatch):
        change(monkeypatch)
        return function, args, kwargs

    return build


def rebound(module, name, value=None):
    """A change that rebinds (or, for None, deletes) a global of the module."""
    if value is None:
        return lambda monkeypatch: monkeypatch.delattr(module, name)
    return lambda monkeypatch: monkeypatch.setattr(module, name, value)


CONVENTIONS = [
    case("no keywords", call(GAFN, cls=int), TypeError),
    case("one argument, none given", call(GAFN), TypeError),
    case("one argument, two given", call(GAFN, int, int), TypeError),
    case("no keywords: import", call(IBFN, "json", x=1), TypeError),
    case("no keywords: reduce", call(pw.FunctionWrapper.__reduce__, self=None), TypeError),
    case("one argument: reduce", call(pw.UnpicklableObject.__reduce__), TypeError),
    case("builtin: too few", call(GFM, plain_function), TypeError),
    case("builtin: too many", call(GFM, plain_function, 0, 1), TypeError),
    case("builtin: unknown keyword", call(GFM, plain_function, 0, bogus=1), TypeError),
    case("builtin: twice", call(GFM, plain_function, function_obj=len), TypeError),
    case("builtin: by keyword", call(GFN, module_name="m", function_obj=len)),
    case(
        "builtin: keyword no str",
        lambda m: (vectorcall(GFM, len, 0, kwnames=(7,)), (), {}),
        TypeError,
    ),
    case("method: too few", call(pw.ModuleWrapper.__init__, bare("ModuleWrapper")), TypeError),
    case(
        "method: too many",
        call(pw.FunctionWrapper.__init__, bare("FunctionWrapper"), "a", "b"),
        TypeError,
    ),
    case(
        "method: twice",
        call(pw.ModuleWrapper.__init__, bare("ModuleWrapper"), "a", module_full_name="b"),
        TypeError,
    ),
    case("method: at least", call(pw.PayloadWrapper.__init__, bare("PayloadWrapper")), TypeError),
    case(
        "method: by keyword",
        call(pw.ModuleWrapper.__init__, self=bare("ModuleWrapper"), module_full_name=1),
    ),
    case(
        "method: keyword no str",
        lambda m: (
            vectorcall(pw.ModuleWrapper.__init__, bare("ModuleWrapper"), "j", 5, kwnames=(7,)),
            (),
            {},
        ),
        TypeError,
    ),
    case(
        "bound method: unknown keyword",
        call(made("FunctionWrapper", "x").__reduce__, x=1),
        TypeError,
    ),
    case("class call: unknown keyword", call(pw.PayloadWrapper, Sample, funcs={}), TypeError),
    case("class call: twice", call(pw.PayloadWrapper, cls=Sample), TypeError),
    case("class call: keyword to __new__", call(pw.ModuleWrapper, "json", x=1), TypeError),
    case("class call: missing", call(pw.FunctionWrapper), TypeError),
    case("__call__: keywords dropped", call(made("FunctionWrapper", "x"), "y", dropped=1)),
]

ALGORITHMS = [
    case("get_attribute_full_name", call(GAFN, Sample)),
    case("get_attribute_full_name: no module", call(GAFN, 5), AttributeError),
    case("get_attribute_full_name: no name", call(GAFN, Ordinary()), AttributeError),
    case(
        "get_attribute_full_name: qualname raises",
        call(GAFN, Reads(__module__="m", __qualname__=RuntimeError, __name__="Y")),
    ),
    case(
        "get_attribute_full_name: module format",
        call(GAFN, Reads(__module__=Raises(), __qualname__="q")),
        ValueError,
    ),
    case(
        "get_attribute_full_name: name format",
        call(GAFN, Reads(__module__="m", __qualname__=Raises())),
        ValueError,
    ),
    case(
        "get_attribute_full_name: interrupt",
        call(GAFN, Reads(__module__=KeyboardInterrupt)),
        KeyboardInterrupt,
    ),
    case("import_by_full_name: module", call(IBFN, "json"), imports=True),
    case("import_by_full_name: loadclass", call(IBFN, "collections.OrderedDict"), imports=True),
    case("import_by_full_name: nothing", call(IBFN, ""), imports=True),
    case("import_by_full_name: no str", call(IBFN, 5), AttributeError, imports=True),
    case(
        "import_by_full_name: loadclass raises",
        after(
            rebound(jsonpickle.unpickler, "loadclass", raising(LookupError)), IBFN, "no.such.module"
        ),
        LookupError,
        imports=True,
    ),
    case(
        "import_by_full_name: interrupt",
        after(
            lambda m: m.setattr("importlib.import_module", raising(KeyboardInterrupt)), IBFN, "json"
        ),
        KeyboardInterrupt,
        imports=True,
    ),
    case(
        "import_by_full_name: no loadclass",
        after(rebound(jsonpickle.unpickler, "loadclass"), IBFN, "json"),
        ImportError,
        imports=True,
    ),
    case("SpecialWrapper", call(pw.SpecialWrapper, "os.path.join", "a", "b"), imports=True),
    case(
        "SpecialWrapper: keywords",
        call(pw.SpecialWrapper, "collections.OrderedDict", a=1),
        imports=True,
    ),
    case("SpecialWrapper: no name", call(pw.SpecialWrapper), IndexError, imports=True),
    case(
        "SpecialWrapper: nothing named",
        call(pw.SpecialWrapper, "no.such.f"),
        TypeError,
        imports=True,
    ),
    case(
        "SpecialWrapper: callable raises",
        call(pw.SpecialWrapper, "builtins.int", "x"),
        ValueError,
        imports=True,
    ),
    case("ModuleWrapper", call(pw.ModuleWrapper, "json"), imports=True),
    case("ModuleWrapper: no name", call(pw.ModuleWrapper), IndexError),
    case(
        "ModuleWrapper: no importer",
        after(rebound(pw, "import_by_full_name"), pw.ModuleWrapper, "json"),
        NameError,
    ),
    case(
        "ModuleWrapper: importer raises",
        after(rebound(pw, "import_by_full_name", raising(LookupError)), pw.ModuleWrapper, "json"),
        LookupError,
    ),
    case("ModuleWrapper.__init__", call(pw.ModuleWrapper.__init__, bare("ModuleWrapper"), 5)),
    case(
        "ModuleWrapper.__init__: str raises",
        call(pw.ModuleWrapper.__init__, bare("ModuleWrapper"), Raises(LookupError)),
        LookupError,
    ),
    case("ModuleWrapper.__call__", call(made("ModuleWrapper", "x"), "json", x=1), imports=True),
    case(
        "ModuleWrapper.__call__: no class",
        after(rebound(pw, "ModuleWrapper"), made("ModuleWrapper", "x"), "json"),
        NameError,
    ),
    case(
        "ExceptionWrapper",
        call(pw.ExceptionWrapper, "builtins.KeyError", ("k",), {"h": 1}),
        imports=True,
    ),
    case("ExceptionWrapper: one argument", call(pw.ExceptionWrapper, "x"), IndexError),
    case("ExceptionWrapper: two arguments", call(pw.ExceptionWrapper, "x", ()), IndexError),
    case(
        "ExceptionWrapper: not a class",
        call(pw.ExceptionWrapper, "no.such.thing", (), {}),
        TypeError,
        imports=True,
    ),
    case(
        "ExceptionWrapper: arguments",
        call(pw.ExceptionWrapper, "builtins.ValueError", 5, {}),
        TypeError,
        imports=True,
    ),
    case(
        "ExceptionWrapper: attributes",
        call(pw.ExceptionWrapper, "builtins.ValueError", (), 5),
        TypeError,
        imports=True,
    ),
    case(
        "ExceptionWrapper: no unpicklers",
        after(rebound(pw, "special_unpicklers"), pw.ExceptionWrapper, "builtins.KeyError", (), {}),
        NameError,
        imports=True,
    ),
    case(
        "ExceptionWrapper: no selector",
        after(
            rebound(pw, "special_unpicklers", types.SimpleNamespace()),
            pw.ExceptionWrapper,
            "builtins.KeyError",
            (),
            {},
        ),
        AttributeError,
        imports=True,
    ),
    case(
        "ExceptionWrapper: selector raises",
        after(
            rebound(
                pw,
                "special_unpicklers",
                types.SimpleNamespace(get_special_unpickle_function=raising(LookupError)),
            ),
            pw.ExceptionWrapper,
            "builtins.KeyError",
            (),
            {},
        ),
        LookupError,
        imports=True,
    ),
    case(
        "ExceptionWrapper.__init__",
        call(pw.ExceptionWrapper.__init__, bare("ExceptionWrapper"), 1, 2),
    ),
    case(
        "ExceptionWrapper.__init__: setattr raises",
        call(pw.ExceptionWrapper.__init__, object.__new__(SetattrRaises), 1),
        ValueError,
    ),
    case(
        "ExceptionWrapper.__call__",
        call(made("ExceptionWrapper"), "builtins.KeyError", (), {}, x=1),
        imports=True,
    ),
    case(
        "ExceptionWrapper.__call__: no class",
        after(rebound(pw, "ExceptionWrapper"), made("ExceptionWrapper"), 1, 2, 3),
        NameError,
    ),
    case("FunctionWrapper", call(pw.FunctionWrapper, 123)),
    case("FunctionWrapper: str raises", call(pw.FunctionWrapper, Raises(LookupError)), LookupError),
    case(
        "FunctionWrapper.__call__: two names",
        call(made("FunctionWrapper", "x"), "a", "b"),
        TypeError,
    ),
    case(
        "FunctionWrapper.__call__: no class",
        after(rebound(pw, "FunctionWrapper"), made("FunctionWrapper", "x"), "y"),
        NameError,
    ),
    case(
        "FunctionWrapper.__reduce__",
        call(pw.FunctionWrapper.__reduce__, made("FunctionWrapper", "x")),
        imports=True,
    ),
    case(
        "FunctionWrapper.__reduce__: no fullname",
        call(pw.FunctionWrapper.__reduce__, bare("FunctionWrapper")),
        AttributeError,
        imports=True,
    ),
    case(
        "FunctionWrapper.__reduce__: no loadclass",
        after(
            rebound(jsonpickle.unpickler, "loadclass"),
            pw.FunctionWrapper.__reduce__,
            made("FunctionWrapper", "x"),
        ),
        ImportError,
        imports=True,
    ),
    case("PayloadWrapper", call(pw.PayloadWrapper, Sample, {"alpha": plain_function})),
    case("PayloadWrapper: no funcs", call(pw.PayloadWrapper, Sample)),
    case("PayloadWrapper: nothing", call(pw.PayloadWrapper), TypeError),
    case("PayloadWrapper: no module", call(pw.PayloadWrapper, "", {}), AttributeError),
    case("PayloadWrapper: funcs no dict", call(pw.PayloadWrapper, Sample, [1])),
    case("PayloadWrapper: key no str", call(pw.PayloadWrapper, Sample, {"a": 1, 2: 3})),
    case("PayloadWrapper: funcs raise", call(pw.PayloadWrapper, Sample, Raises())),
    case(
        "PayloadWrapper: funcs interrupt",
        call(pw.PayloadWrapper, Sample, Raises(KeyboardInterrupt)),
        KeyboardInterrupt,
    ),
    case(
        "PayloadWrapper: no copy",
        after(rebound(pw, "copy"), pw.PayloadWrapper, Sample, {}),
        NameError,
    ),
    case(
        "PayloadWrapper: copy raises",
        after(
            rebound(pw, "copy", types.SimpleNamespace(copy=raising(LookupError))),
            pw.PayloadWrapper,
            Sample,
            {},
        ),
        LookupError,
    ),
    case(
        "PayloadWrapper: no index", after(rebound(pw, "FUNCS_INDEX"), pw.PayloadWrapper, Sample, {})
    ),
    case(
        "PayloadWrapper: no class index",
        after(rebound(pw, "CLS_INDEX"), pw.PayloadWrapper, Sample, {}),
    ),
    case(
        "PayloadWrapperBase.__new__: no class", call(pw.PayloadWrapperBase.__new__, "x"), TypeError
    ),
    case(
        "PayloadWrapper.__init__",
        call(pw.PayloadWrapper.__init__, bare("PayloadWrapper"), Sample, 1),
    ),
    case(
        "PayloadWrapper.__init__: no module",
        call(pw.PayloadWrapper.__init__, bare("PayloadWrapper"), 5),
        AttributeError,
    ),
    case(
        "PayloadWrapper.__init__: no key",
        after(
            rebound(pw, "JSONPICKLE_EXTERNAL_TYPE_KEY"),
            pw.PayloadWrapper.__init__,
            bare("PayloadWrapper"),
            Sample,
        ),
        NameError,
    ),
    case(
        "PayloadWrapper.__init__: no namer",
        after(
            rebound(pw, "get_attribute_full_name"),
            pw.PayloadWrapper.__init__,
            bare("PayloadWrapper"),
            Sample,
        ),
        NameError,
    ),
    case(
        "PayloadWrapper.__reduce__",
        call(pw.PayloadWrapper.__reduce__, pw.PayloadWrapper(Sample, {})),
    ),
    case(
        "PayloadWrapper.__reduce__: bare",
        call(pw.PayloadWrapper.__reduce__, bare("PayloadWrapper")),
    ),
    case(
        "PayloadWrapper.__reduce__: funcs raise",
        call(pw.PayloadWrapper.__reduce__, object.__new__(FuncsRaises)),
    ),
    case(
        "PayloadWrapper.__reduce__: __dict__ raises",
        call(pw.PayloadWrapper.__reduce__, object.__new__(DictRaises)),
        ValueError,
    ),
    case(
        "PayloadWrapper.__reduce__: no class",
        after(rebound(pw, "PayloadWrapper"), pw.PayloadWrapper.__reduce__, bare("PayloadWrapper")),
        NameError,
    ),
    case("UnpicklableObject", call(pw.UnpicklableObject, "name", {"beta": 1})),
    case(
        "UnpicklableObject.__reduce__",
        call(pw.UnpicklableObject.__reduce__, pw.UnpicklableObject("n", {})),
    ),
    case(
        "UnpicklableObject.__reduce__: no funcs",
        call(pw.UnpicklableObject.__reduce__, without(pw.UnpicklableObject("n", {}), "funcs")),
        AttributeError,
    ),
    case(
        "UnpicklableObject.__reduce__: no cls",
        call(pw.UnpicklableObject.__reduce__, without(pw.UnpicklableObject("n", {}), "cls")),
        AttributeError,
    ),
    case(
        "UnpicklableObject.__reduce__: str raises",
        call(pw.UnpicklableObject.__reduce__, pw.UnpicklableObject(Raises(), {})),
        ValueError,
    ),
    case(
        "UnpicklableObject.__reduce__: no class",
        after(
            rebound(pw, "UnpicklableObject"),
            pw.UnpicklableObject.__reduce__,
            pw.UnpicklableObject("n", {}),
        ),
        NameError,
    ),
    case("get_function_module", call(GFM, plain_function, False)),
    case("get_function_module: bound", call(GFM, Sample().method, True)),
    case("get_function_module: descriptor", call(GFM, str.join, False)),
    case("get_function_module: object", call(GFM, functools.partial(len), 0)),
    case("get_function_module: module", call(GFM, types, 0)),
    case("get_function_module: no owner module", call(GFM, [].append, True), AttributeError),
    case("get_function_module: return type", call(GFM, scripted(__module__=5), 0), TypeError),
    case(
        "get_function_module: lookup raises",
        call(GFM, scripted(__module__=ValueError), 0),
        ValueError,
    ),
    case(
        "get_function_module: truth raises", call(GFM, scripted(__module__=Raises()), 0), ValueError
    ),
    case(
        "get_function_module: is_method truth",
        call(GFM, scripted(__module__=""), Raises()),
        ValueError,
    ),
    case(
        "get_function_module: no constant", after(rebound(cn, "MODULE_STR"), GFM, len, 0), NameError
    ),
    case(
        "get_function_module: no descriptor type",
        after(rebound(cn, "METHOD_DESCRIPTOR"), GFM, str.join, 0),
        NameError,
    ),
    case(
        "get_function_module: no types",
        after(rebound(cn, "types", types.SimpleNamespace()), GFM, str.join, 0),
        AttributeError,
    ),
    case(
        "get_function_module: isinstance raises",
        after(rebound(cn, "METHOD_DESCRIPTOR", InstanceCheckRaises("D", (), {})), GFM, str.join, 0),
        ValueError,
    ),
    case(
        "get_function_module: no builtins",
        after(rebound(cn, "BUILTINS"), GFM, str.join, 0),
        NameError,
    ),
    case("get_function_full_name", call(GFN, "m", plain_function)),
    case("get_function_full_name: bound", call(GFN, "m", Sample().method)),
    case("get_function_full_name: class", call(GFN, "m", Sample)),
    case("get_function_full_name: builtin", call(GFN, "builtins", len)),
    case("get_function_full_name: instance", call(GFN, None, CallableObject())),
    case("get_function_full_name: composed", call(GFN, "m", scripted(__self__=Sample()))),
    case("get_function_full_name: argument type", call(GFN, 1, plain_function), TypeError),
    case("get_function_full_name: return type", call(GFN, None, scripted(__name__=5)), TypeError),
    case(
        "get_function_full_name: interrupt",
        call(GFN, "m", scripted(__self__=KeyboardInterrupt)),
        KeyboardInterrupt,
    ),
    case("get_function_full_name: guarded", call(GFN, "m", scripted(__qualname__=Raises()))),
    case(
        "get_function_full_name: init raises",
        call(GFN, "m", type.__new__(InitRaisesMeta, "C", (), {})),
        ValueError,
    ),
    case("get_function_full_name: no constant", after(rebound(cn, "QUALNAME_STR"), GFN, "m", len)),
]


@pytest.mark.parametrize("build, expect, imports", CONVENTIONS + ALGORITHMS)
def test_no_leak(monkeypatch, build, expect, imports):
    function, args, kwargs = build(monkeypatch)
    rounds = IMPORT_ROUNDS if imports else ROUNDS
    assert_no_leak(function, args=args, kwargs=kwargs, expect=expect, rounds=rounds)
