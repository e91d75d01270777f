"""The module and the full name of callables: ``get_function_module`` and
``get_function_full_name`` of ``dravolt_common.callable_naming``.

Behaviour tests run on the native module and on the pure-Python model in
``callable_naming_model``, so that the model the differential tests trust is
itself checked against the expected results.
"""

import builtins
import functools
import inspect
import json
import sys
import types

import pytest

import callable_naming_model as model
import dravolt_common.callable_naming as cn
from leakcheck import assert_no_leak

HERE = __name__
SOURCE_PATH = "dravolt_common/callable_naming"


@pytest.fixture(params=["native", "model"])
def naming(request):
    """The functions under test and the namespace their constants live in."""
    if request.param == "native":
        return types.SimpleNamespace(
            get_function_module=cn.get_function_module,
            get_function_full_name=cn.get_function_full_name,
            namespace=cn.__dict__,
        )
    return types.SimpleNamespace(
        get_function_module=model.get_function_module,
        get_function_full_name=model.get_function_full_name,
        namespace=model.NAMESPACE,
    )


# ------------------------------------------------------------------ objects to name


def helper():
    pass


def outer():
    def inner():
        pass

    return inner


class Plain:
    def meth(self):
        pass

    @classmethod
    def factory(cls):
        pass


class WithInit:
    def __init__(self):
        pass


class Empty:
    """Falsy instances."""

    def __len__(self):
        return 0

    def meth(self):
        pass


class Slotted:
    __slots__ = ("slot",)


class ForeignMeta(type):
    __module__ = "meta.mod"


class SlottedUnderForeignMeta(metaclass=ForeignMeta):
    __slots__ = ("slot",)


class CallableObject:
    def __call__(self):
        pass


class ModuleName(str):
    pass


class Attributes:
    """An object with exactly the given attributes in its own dictionary."""

    def __init__(self, **attributes):
        self.__dict__.update(attributes)


class AnswersEverything:
    """Ordinary reads of any name succeed; the generic lookup sees none of them."""

    def __getattr__(self, name):
        return "from __getattr__"


class OverridesGetattribute:
    def __getattribute__(self, name):
        return "from __getattribute__"


class Raises:
    """A descriptor that raises when read."""

    def __init__(self, error):
        self.error = error

    def __get__(self, obj, owner=None):
        raise self.error("reading")

    def __set__(self, obj, value):
        raise AttributeError


def module_property(error):
    return type("ModuleRaises", (), {"__module__": Raises(error)})()


# ------------------------------------------------------------------ namespace and functions


def test_namespace_holds_the_constants_in_order():
    own = [name for name in vars(cn) if not name.startswith("__")]
    assert own == [
        "Callable",
        "types",
        "WRAPPER_DESCRIPTOR",
        "QUALNAME_STR",
        "FUNC_STR",
        "FUNC_NAME",
        "SELF_CONST",
        "METHOD_DESCRIPTOR",
        "MODULE_STR",
        "CLASS_STR",
        "INIT_STR",
        "BUILTINS",
        "OBJ_CLASS",
        "get_function_module",
        "get_function_full_name",
    ]


@pytest.mark.parametrize(
    "name, value",
    [
        ("QUALNAME_STR", "__qualname__"),
        ("FUNC_STR", "__func__"),
        ("FUNC_NAME", "__name__"),
        ("SELF_CONST", "__self__"),
        ("MODULE_STR", "__module__"),
        ("CLASS_STR", "__class__"),
        ("INIT_STR", "__init__"),
        ("BUILTINS", "builtins"),
        ("OBJ_CLASS", "__objclass__"),
    ],
)
def test_text_constants(name, value):
    constant = getattr(cn, name)
    assert type(constant) is str
    assert constant == value
    # Interned, as the same constant in Python source is.
    assert constant is sys.intern(value)


def test_imported_and_type_constants():
    import typing

    assert cn.Callable is typing.Callable
    assert cn.types is types
    assert cn.WRAPPER_DESCRIPTOR is type(object.__init__) is type(int.__add__)
    assert cn.METHOD_DESCRIPTOR is type(str.join) is type(list.append)


DOCS = {
    "get_function_module": (
        "\n"
        "        This functiom extracts module name from function_object\n"
        "        :param function_obj: callable to extract module from.\n"
        "        :type function_obj: Callable.\n"
        "        :param is_method: Is the callable a function\n"
        "        :type is_method: bool\n"
        "        :return The function module.\n"
        "        :rtype str.\n"
        "        "
    ),
    "get_function_full_name": (
        "\n"
        "        This function extracts module name from function_object\n"
        "        :param function_obj: callable to extract module from.\n"
        "        :type function_obj: Callable.\n"
        "        :param module_name: Is the callable a function\n"
        "        :type module_name: bool.\n"
        "        :return The function name.\n"
        "        :rtype str.\n"
        "        "
    ),
}
PARAMETERS = {
    "get_function_module": ["function_obj", "is_method"],
    "get_function_full_name": ["module_name", "function_obj"],
}


@pytest.mark.parametrize("name", ["get_function_module", "get_function_full_name"])
def test_functions_are_plain_builtins(name):
    function = getattr(cn, name)
    assert type(function) is types.BuiltinFunctionType
    assert function.__self__ is None
    assert function.__module__ == "dravolt_common.callable_naming"
    assert function.__name__ == function.__qualname__ == name
    assert function.__doc__ == DOCS[name]
    parameters = inspect.signature(function).parameters
    assert list(parameters) == PARAMETERS[name]
    for parameter in parameters.values():
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert parameter.default is inspect.Parameter.empty
        assert parameter.annotation is inspect.Parameter.empty


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: cn.get_function_module(helper),
            "get_function_module() takes exactly 2 positional arguments (1 given)",
        ),
        (
            lambda: cn.get_function_module(helper, True, 3),
            "get_function_module() takes exactly 2 positional arguments (3 given)",
        ),
        (
            lambda: cn.get_function_module(helper, True, x=1),
            "get_function_module() got an unexpected keyword argument 'x'",
        ),
        (
            lambda: cn.get_function_module(helper, is_method=True, function_obj=helper),
            "get_function_module() got multiple values for keyword argument 'function_obj'",
        ),
        (
            lambda: cn.get_function_full_name(),
            "get_function_full_name() takes exactly 2 positional arguments (0 given)",
        ),
        (
            lambda: cn.get_function_full_name("m", function_obj=helper, module_name="m"),
            "get_function_full_name() got multiple values for keyword argument 'module_name'",
        ),
    ],
)
def test_calling_convention_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_arguments_by_keyword():
    assert cn.get_function_module(is_method=False, function_obj=helper) == HERE
    assert cn.get_function_full_name(function_obj=helper, module_name="m") == "m.helper"


# ------------------------------------------------------------------ get_function_module


# From 3.15 a class written in Python shares object's own __dict__ descriptor.
CLASS_DICT_MODULE = "builtins" if sys.version_info >= (3, 15) else HERE


@pytest.mark.parametrize(
    "function_obj, is_method, expected",
    [
        pytest.param(helper, False, HERE, id="function"),
        pytest.param(helper, True, HERE, id="function-as-method"),
        pytest.param(outer(), False, HERE, id="nested-function"),
        pytest.param(len, True, "builtins", id="builtin-function"),
        pytest.param(json.dumps, False, "json", id="library-function"),
        pytest.param(Plain, False, HERE, id="class"),
        pytest.param(str.join, False, "builtins", id="method-descriptor"),
        pytest.param(functools.partial.__dict__["__reduce__"], True, "functools", id="ext-method"),
        pytest.param(object.__init__, True, "builtins", id="slot-wrapper"),
        pytest.param(Slotted.__dict__["slot"], False, HERE, id="member-descriptor"),
        pytest.param(
            SlottedUnderForeignMeta.__dict__["slot"], False, "meta.mod", id="foreign-metaclass"
        ),
        pytest.param(type.__dict__["__doc__"], False, "builtins", id="getset-descriptor"),
        pytest.param(vars(Plain)["__dict__"], False, CLASS_DICT_MODULE, id="class-dict-descriptor"),
        pytest.param(Plain().meth, True, HERE, id="bound-method"),
        pytest.param(Plain().meth, False, "builtins", id="bound-method-not-method"),
        pytest.param(Plain.factory, True, HERE, id="class-method"),
        pytest.param(functools.partial(len), False, "functools", id="partial"),
        pytest.param(json, False, "builtins", id="module-object"),
        pytest.param(CallableObject(), False, HERE, id="callable-instance"),
        pytest.param(Attributes(__module__="own.mod"), False, "own.mod", id="own-module"),
        pytest.param(Attributes(__module__=""), False, HERE, id="empty-module"),
        pytest.param(Attributes(__module__=None), False, HERE, id="none-module"),
        pytest.param(Attributes(__module__=0), False, HERE, id="zero-module"),
        pytest.param(type("NoModule", (), {"__module__": ""})(), False, "", id="nothing-to-derive"),
        pytest.param(OverridesGetattribute(), False, HERE, id="getattribute-ignored"),
    ],
)
def test_module_of(naming, function_obj, is_method, expected):
    result = naming.get_function_module(function_obj, is_method)
    assert type(result) is str
    assert result == expected


@pytest.mark.parametrize(
    "function_obj, is_method, error, message",
    [
        pytest.param(
            [].append,
            True,
            AttributeError,
            "'list' object has no attribute '__module__'",
            id="builtin-bound-object-without-module",
        ),
        pytest.param(
            object(),
            True,
            AttributeError,
            "'object' object has no attribute '__self__'",
            id="method-without-self",
        ),
        pytest.param(
            Attributes(__module__=5), False, TypeError, "Expected str, got int", id="int-module"
        ),
        pytest.param(
            Attributes(__module__=ModuleName("m")),
            False,
            TypeError,
            "Expected str, got ModuleName",
            id="str-subclass-module",
        ),
        pytest.param(
            module_property(RuntimeError), False, RuntimeError, "reading", id="property-raises"
        ),
    ],
)
def test_module_of_failures(naming, function_obj, is_method, error, message):
    with pytest.raises(error) as info:
        naming.get_function_module(function_obj, is_method)
    assert str(info.value) == message


def test_module_of_failing_truth_of_is_method(naming):
    class Undecided:
        def __bool__(self):
            raise LookupError("undecided")

    with pytest.raises(LookupError):
        naming.get_function_module(Plain().meth, Undecided())
    # A callable with a module of its own never asks.
    assert naming.get_function_module(helper, Undecided()) == HERE


def test_module_of_ignores_getattr(naming):
    # The class's __module__ is a property that raises AttributeError: an
    # ordinary read would fall back to __getattr__, the generic lookup does not.
    class Hidden(AnswersEverything):
        __module__ = Raises(AttributeError)

    with pytest.raises(TypeError, match="^Expected str, got Raises$"):
        naming.get_function_module(Hidden(), False)


@pytest.mark.parametrize(
    "name, function_obj, error",
    [
        ("MODULE_STR", helper, "MODULE_STR"),
        ("types", str.join, "types"),
        ("METHOD_DESCRIPTOR", str.join, "METHOD_DESCRIPTOR"),
        ("BUILTINS", str.join, "BUILTINS"),
        ("CLASS_STR", json, "CLASS_STR"),
    ],
)
def test_module_of_missing_constant(naming, monkeypatch, name, function_obj, error):
    monkeypatch.delitem(naming.namespace, name)
    with pytest.raises(NameError) as info:
        naming.get_function_module(function_obj, False)
    assert str(info.value) == f"name '{error}' is not defined"


def test_constants_are_read_at_each_call(naming, monkeypatch):
    monkeypatch.setitem(naming.namespace, "MODULE_STR", "__name__")
    assert naming.get_function_module(helper, False) == "helper"
    monkeypatch.delitem(naming.namespace, "MODULE_STR")
    # The builtins come after the namespace.
    monkeypatch.setattr(builtins, "MODULE_STR", "__qualname__", raising=False)
    assert naming.get_function_module(outer(), False) == "outer.<locals>.inner"


# ------------------------------------------------------------------ get_function_full_name


@pytest.mark.parametrize(
    "module_name, function_obj, expected",
    [
        pytest.param("pkg.mod", helper, "pkg.mod.helper", id="function"),
        pytest.param("pkg.mod", outer(), "pkg.mod.outer.<locals>.inner", id="nested"),
        pytest.param(None, helper, "None.helper", id="none-module-name"),
        pytest.param("", helper, ".helper", id="empty-module-name"),
        pytest.param("pkg.mod", Plain().meth, "pkg.mod.Plain.meth", id="bound-method"),
        pytest.param("pkg.mod", Plain.factory, "pkg.mod.Plain.factory", id="class-method"),
        pytest.param("pkg.mod", WithInit, "pkg.mod.WithInit.__init__", id="class-own-init"),
        pytest.param("pkg.mod", Plain, "pkg.mod.object.__init__", id="class-inherited-init"),
        pytest.param("builtins", len, "builtins.len", id="builtin-function"),
        pytest.param("builtins", [].append, "builtins.list.append", id="falsy-self"),
        pytest.param("builtins", [1].append, "builtins.list.append", id="truthy-self"),
        pytest.param("builtins", str.join, "builtins.str.join", id="method-descriptor"),
        pytest.param("m", Slotted.__dict__["slot"], "m.Slotted.slot", id="member-descriptor"),
        pytest.param("functools", functools.partial(len), "functools.partial", id="partial"),
        pytest.param("pkg.mod", CallableObject(), "pkg.mod.CallableObject", id="callable-obj"),
        pytest.param(None, CallableObject(), "", id="callable-obj-no-module-name"),
        pytest.param(
            "pkg.mod", Attributes(__qualname__="", __name__="f"), "pkg.mod.f", id="name-only"
        ),
        pytest.param(None, Attributes(__name__="f"), "f", id="raw-name"),
        pytest.param("m", Attributes(__name__=5), "m.5", id="int-name"),
        pytest.param("m", Attributes(__qualname__=7), "m.7", id="int-qualname"),
        pytest.param("m", Attributes(__self__=Plain()), "m.Plain.", id="bare-self"),
        pytest.param(None, Attributes(__self__=Plain()), "Plain.", id="bare-self-no-module"),
        pytest.param(
            "m", Attributes(__self__=Plain(), __name__="n"), "m.Plain.n", id="self-and-name"
        ),
        pytest.param("m", Empty().meth, "m.method", id="method-of-falsy-object"),
        pytest.param("m", AnswersEverything(), "m.AnswersEverything", id="getattr-ignored"),
    ],
)
def test_full_name_of(naming, module_name, function_obj, expected):
    result = naming.get_function_full_name(module_name, function_obj)
    assert type(result) is str
    assert result == expected


class Swaps:
    """A value whose truth test puts ``other`` into the ``__qualname__`` slot of ``owner``."""

    def __init__(self, owner, truth):
        self.owner = owner
        self.truth = truth
        self.other = None

    def __bool__(self):
        self.owner.__qualname__ = self.other
        return self.truth


class QualnameSlot:
    __slots__ = ("__qualname__",)


def changing_qualname():
    """An object whose ``__qualname__`` is truthy for the safe lookup and falsy
    for the read right after it, on every call."""
    obj = QualnameSlot()
    shown = Swaps(obj, True)
    hidden = Swaps(obj, False)
    shown.other, hidden.other = hidden, shown
    obj.__qualname__ = shown
    return obj


class BadTruth:
    def __bool__(self):
        raise LookupError("no truth")


class BadFormat:
    def __format__(self, spec):
        raise LookupError("no format")


class RaisingInitMeta(type):
    __init__ = Raises(LookupError)


class NoClass:
    __class__ = Raises(AttributeError)


@pytest.mark.parametrize(
    "module_name, make",
    [
        # qualname is never assigned: UnboundLocalError.
        pytest.param("m", changing_qualname, id="unbound-qualname"),
        pytest.param(None, changing_qualname, id="unbound-no-module"),
        pytest.param("m", lambda: type("N", (), {"__name__": Raises(RuntimeError)})(), id="raises"),
        pytest.param(
            "m", lambda: type("S", (), {"__self__": Raises(KeyError)})(), id="self-raises"
        ),
        pytest.param("m", lambda: Attributes(__qualname__=BadTruth()), id="truth-raises"),
        pytest.param("m", lambda: Attributes(__self__=BadTruth()), id="self-truth-raises"),
        pytest.param("m", lambda: Attributes(__qualname__=BadFormat()), id="format-raises"),
        pytest.param(None, lambda: Attributes(__name__=BadFormat(), __self__=1), id="format-name"),
        pytest.param("m", lambda: Attributes(__self__=NoClass()), id="no-class-of-self"),
        # The read of __class__ after the safe lookup is an ordinary one.
        pytest.param("m", OverridesGetattribute, id="class-read-intercepted"),
    ],
)
def test_full_name_guard_gives_empty_text(naming, module_name, make):
    assert naming.get_function_full_name(module_name, make()) == ""


@pytest.mark.parametrize("name", ["SELF_CONST", "FUNC_STR", "FUNC_NAME", "QUALNAME_STR"])
def test_full_name_missing_constant_gives_empty_text(naming, monkeypatch, name):
    monkeypatch.delitem(naming.namespace, name)
    assert naming.get_function_full_name("m", Plain().meth) == ""


@pytest.mark.parametrize(
    "module_name, function_obj, error, message",
    [
        pytest.param(
            ModuleName("m"),
            helper,
            TypeError,
            "Argument 'module_name' has incorrect type (expected str, got ModuleName)",
            id="str-subclass-module-name",
        ),
        pytest.param(
            b"m",
            helper,
            TypeError,
            "Argument 'module_name' has incorrect type (expected str, got bytes)",
            id="bytes-module-name",
        ),
        pytest.param(None, Attributes(__name__=5), TypeError, "Expected str, got int", id="int"),
        pytest.param(
            None,
            Attributes(__name__=ModuleName("f")),
            TypeError,
            "Expected str, got ModuleName",
            id="str-subclass-name",
        ),
        # The read of __init__ on a class comes before the guard.
        pytest.param(
            "m",
            type.__new__(RaisingInitMeta, "K", (), {}),
            LookupError,
            "reading",
            id="class-init-read-raises",
        ),
        # The argument check comes first of all.
        pytest.param(
            b"m",
            type.__new__(RaisingInitMeta, "K", (), {}),
            TypeError,
            "Argument 'module_name' has incorrect type (expected str, got bytes)",
            id="argument-check-first",
        ),
    ],
)
def test_full_name_failures(naming, module_name, function_obj, error, message):
    with pytest.raises(error) as info:
        naming.get_function_full_name(module_name, function_obj)
    assert str(info.value) == message


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_full_name_guard_lets_non_ordinary_exceptions_through(naming, error):
    obj = type("S", (), {"__self__": Raises(error)})()
    with pytest.raises(error):
        naming.get_function_full_name("m", obj)


# ------------------------------------------------------------------ native only


def native_entries(exc):
    found = []
    tb = exc.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code.co_filename == SOURCE_PATH:
            found.append((tb.tb_frame.f_code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return found


@pytest.mark.parametrize(
    "call, error, function",
    [
        (lambda: cn.get_function_module([].append, True), AttributeError, "get_function_module"),
        (
            lambda: cn.get_function_module(module_property(RuntimeError), 0),
            RuntimeError,
            "get_function_module",
        ),
        (
            lambda: cn.get_function_module(Attributes(__module__=1), 0),
            TypeError,
            "get_function_module",
        ),
        (lambda: cn.get_function_module(), TypeError, "get_function_module"),
        (lambda: cn.get_function_full_name(1, helper), TypeError, "get_function_full_name"),
        (
            lambda: cn.get_function_full_name(None, Attributes(__name__=1)),
            TypeError,
            "get_function_full_name",
        ),
        (
            lambda: cn.get_function_full_name(
                "m", type("S", (), {"__self__": Raises(SystemExit)})()
            ),
            SystemExit,
            "get_function_full_name",
        ),
    ],
)
def test_traceback_entry(call, error, function):
    with pytest.raises(error) as info:
        call()
    [(name, line)] = native_entries(info.value)
    assert name == f"dravolt_common.callable_naming.{function}"
    assert line > 0


def test_bound_method_lookup_is_not_forwarded():
    # A bound method forwards ordinary reads to its function; the generic
    # lookup does not, so the method is named through __func__.
    method = Plain().meth
    assert method.__module__ == HERE
    assert cn.get_function_module(method, False) == "builtins"


LEAK_CASES = [
    pytest.param(cn.get_function_module, (helper, False), None, id="module-function"),
    pytest.param(cn.get_function_module, (str.join, False), None, id="module-descriptor"),
    pytest.param(cn.get_function_module, (Plain.factory, True), None, id="module-method"),
    pytest.param(cn.get_function_module, (functools.partial(len), 0), None, id="module-object"),
    pytest.param(cn.get_function_module, (json, 0), None, id="module-of-module"),
    pytest.param(cn.get_function_module, ([].append, True), AttributeError, id="module-error"),
    pytest.param(
        cn.get_function_module, (Attributes(__module__=5), 0), TypeError, id="module-return-type"
    ),
    pytest.param(cn.get_function_module, (helper,), TypeError, id="module-arguments"),
    pytest.param(cn.get_function_full_name, ("m", helper), None, id="full-function"),
    pytest.param(cn.get_function_full_name, ("m", Plain().meth), None, id="full-method"),
    pytest.param(cn.get_function_full_name, (None, WithInit), None, id="full-class"),
    pytest.param(
        cn.get_function_full_name, ("m", Attributes(__self__=Plain())), None, id="full-composed"
    ),
    pytest.param(cn.get_function_full_name, ("m", CallableObject()), None, id="full-object"),
    pytest.param(
        cn.get_function_full_name, (None, Attributes(__name__="f")), None, id="full-raw-name"
    ),
    pytest.param(
        cn.get_function_full_name, ("m", Attributes(__qualname__=BadTruth())), None, id="guarded"
    ),
    pytest.param(cn.get_function_full_name, ("m", NoClass()), None, id="full-no-class"),
    pytest.param(cn.get_function_full_name, (1, helper), TypeError, id="full-argument-check"),
    pytest.param(
        cn.get_function_full_name, (None, Attributes(__name__=5)), TypeError, id="full-return"
    ),
    pytest.param(
        cn.get_function_full_name,
        ("m", type("S", (), {"__self__": Raises(KeyboardInterrupt)})()),
        KeyboardInterrupt,
        id="full-interrupt",
    ),
]


@pytest.mark.parametrize("function, args, expect", LEAK_CASES)
def test_no_leaks(function, args, expect):
    assert_no_leak(function, args=args, expect=expect)


def test_no_leak_on_the_unbound_qualname_path():
    assert_no_leak(cn.get_function_full_name, args=("m", changing_qualname()))
