"""Module-level names missing from a module's namespace come from the
builtins module, never from the caller's builtins; and the object case of
get_function_module starts from the module found before it."""

import builtins
import collections
import json
import types

import pytest

import dravolt_common.callable_naming as cn
import dravolt_common.utils.payload_wrapper as pw


@pytest.mark.parametrize(
    "frame_builtins, in_builtins_module, expected",
    [
        # The caller's frame has its own builtins; the builtins module lacks the name.
        ({"BUILTINS": "nope"}, False, NameError),
        # The builtins module has the name; the caller's frame builtins do not.
        ({}, True, "builtins"),
    ],
    ids=["frame-builtins-ignored", "builtins-module-used"],
)
def test_constant_falls_back_to_the_builtins_module_not_the_callers_builtins(
    monkeypatch, frame_builtins, in_builtins_module, expected
):
    monkeypatch.delitem(cn.__dict__, "BUILTINS")
    if in_builtins_module:
        monkeypatch.setattr(builtins, "BUILTINS", "builtins", raising=False)
    scope = {"__builtins__": frame_builtins, "f": cn.get_function_module, "d": str.join}
    if expected is NameError:
        with pytest.raises(NameError, match="name 'BUILTINS' is not defined"):
            exec("f(d, False)", scope)
    else:
        exec("r = f(d, False)", scope)
        assert scope["r"] == expected


class TruthyOnce:
    """True on its first truth test only; records its == comparisons."""

    def __init__(self):
        self.tests = 0
        self.compared = []

    def __bool__(self):
        self.tests += 1
        return self.tests == 1

    def __eq__(self, other):
        self.compared.append(other)
        return False

    __hash__ = object.__hash__


def test_object_case_keeps_the_module_set_at_the_first_step():
    # The first truth test keeps the value as the module, the second sends the
    # call to the object case; that case changes nothing here, so the value is
    # compared with BUILTINS and then judged by the return-type rule.
    value = TruthyOnce()

    class Owner:
        pass

    obj = Owner()
    obj.__dict__["__module__"] = value
    Owner.__module__ = ""
    with pytest.raises(TypeError, match="^Expected str, got TruthyOnce$"):
        cn.get_function_module(obj, False)
    assert value.compared == ["builtins"]


@pytest.mark.parametrize(
    "caller_builtins",
    [
        pytest.param({"ModuleWrapper": lambda *args: "caller"}, id="caller-builtins-ignored"),
        pytest.param({}, id="builtins-module-used"),
    ],
)
def test_missing_global_falls_back_to_the_builtins_module(monkeypatch, caller_builtins):
    instance = object.__new__(pw.ModuleWrapper)
    monkeypatch.delattr(pw, "ModuleWrapper")
    monkeypatch.setattr(builtins, "ModuleWrapper", lambda *args: "builtins module", raising=False)
    namespace = {"__builtins__": caller_builtins, "instance": instance}
    exec("result = instance('json')", namespace)
    assert namespace["result"] == "builtins module"


def helper():
    pass


def outer():
    def inner():
        pass

    return inner


class Thing:
    def method(self):
        pass


def nameless():
    pass


nameless.__qualname__ = ""
moduleless = lambda: None  # noqa: E731
moduleless.__module__ = None
error_with_objclass = ValueError()
error_with_objclass.__objclass__ = collections.OrderedDict


class OwnWrapper(pw.PayloadWrapper):
    pass


# The classes as the tests call them, whatever the module binds meanwhile.
PayloadWrapper, UnpicklableObject = pw.PayloadWrapper, pw.UnpicklableObject
ModuleWrapper, ExceptionWrapper, FunctionWrapper = (
    pw.ModuleWrapper,
    pw.ExceptionWrapper,
    pw.FunctionWrapper,
)
fake_copy = types.SimpleNamespace(copy=lambda cls: OwnWrapper)
fake_unpicklers = types.SimpleNamespace(get_special_unpickle_function=lambda n: lambda *a: "own")
full_name = cn.get_function_full_name


# Every global that a function reads: the call, what it gives before the
# global is rebound, and after. A rebinding takes effect at the next call,
# and so does its undoing, whatever the calls before kept.
REBINDINGS = [
    (
        pw,
        "copy",
        fake_copy,
        lambda: type(PayloadWrapper(int, {})).__name__,
        "PayloadWrapper",
        "OwnWrapper",
    ),
    (pw, "FUNCS_INDEX", 0, lambda: OwnWrapper(int, {"a": 1}).funcs, {"a": 1}, {}),
    (pw, "CLS_INDEX", 1, lambda: UnpicklableObject(int, {}).cls, int, {}),
    (
        pw,
        "JSONPICKLE_EXTERNAL_TYPE_KEY",
        "own",
        lambda: "own" in vars(PayloadWrapper(int)),
        False,
        True,
    ),
    (
        pw,
        "get_attribute_full_name",
        lambda c: "own",
        lambda: getattr(PayloadWrapper(int), "py/dravolt/external/type"),
        "builtins.int",
        "own",
    ),
    (
        pw,
        "PayloadWrapper",
        "own",
        lambda: PayloadWrapper(int).__reduce__()[0],
        PayloadWrapper,
        "own",
    ),
    (
        pw,
        "UnpicklableObject",
        "own",
        lambda: UnpicklableObject("c", {}).__reduce__()[0],
        UnpicklableObject,
        "own",
    ),
    (pw, "import_by_full_name", lambda n: "own", lambda: ModuleWrapper("json"), json, "own"),
    (
        pw,
        "special_unpicklers",
        fake_unpicklers,
        lambda: ExceptionWrapper("builtins.ValueError", (), {}).__class__.__name__,
        "ValueError",
        "str",
    ),
    (
        pw,
        "ModuleWrapper",
        lambda *a: "own",
        lambda: object.__new__(ModuleWrapper)("json"),
        json,
        "own",
    ),
    (
        pw,
        "ExceptionWrapper",
        lambda *a: "own",
        lambda: type(object.__new__(ExceptionWrapper)("builtins.KeyError", (), {})).__name__,
        "KeyError",
        "str",
    ),
    (
        pw,
        "FunctionWrapper",
        lambda *a: "own",
        lambda: type(object.__new__(FunctionWrapper)("a.b")).__name__,
        "FunctionWrapper",
        "str",
    ),
    (
        cn,
        "MODULE_STR",
        "__qualname__",
        lambda: cn.get_function_module(helper, False),
        __name__,
        "helper",
    ),
    (
        cn,
        "METHOD_DESCRIPTOR",
        types.FunctionType,
        lambda: cn.get_function_module(moduleless, False),
        "builtins",
        AttributeError,
    ),
    (
        cn,
        "WRAPPER_DESCRIPTOR",
        types.FunctionType,
        lambda: cn.get_function_module(moduleless, False),
        "builtins",
        AttributeError,
    ),
    (
        cn,
        "types",
        types.SimpleNamespace(MemberDescriptorType=types.FunctionType, GetSetDescriptorType=int),
        lambda: cn.get_function_module(moduleless, False),
        "builtins",
        AttributeError,
    ),
    (
        cn,
        "BUILTINS",
        "own",
        lambda: cn.get_function_module(collections.OrderedDict.__dict__["move_to_end"], False),
        "collections",
        "builtins",
    ),
    (
        cn,
        "CLASS_STR",
        "own",
        lambda: cn.get_function_module(ValueError(), False),
        "builtins",
        "",
    ),
    (
        cn,
        "OBJ_CLASS",
        "own",
        lambda: cn.get_function_module(error_with_objclass, False),
        "collections",
        "builtins",
    ),
    (cn, "SELF_CONST", "own", lambda: full_name("m", Thing().method), "m.Thing.method", "m.method"),
    (cn, "FUNC_STR", "own", lambda: full_name("m", Thing().method), "m.Thing.method", "m.Thing."),
    (
        cn,
        "FUNC_NAME",
        "__module__",
        lambda: full_name("m", nameless),
        "m.nameless",
        f"m.{__name__}",
    ),
    (
        cn,
        "QUALNAME_STR",
        "__name__",
        lambda: full_name("m", outer()),
        "m.outer.<locals>.inner",
        "m.inner",
    ),
]


def outcome(call):
    try:
        return call()
    except Exception as exc:
        return type(exc)


@pytest.mark.parametrize(
    "module, name, value, call, before, after",
    REBINDINGS,
    ids=[f"{module.__name__.rpartition('.')[2]}.{name}" for module, name, *_ in REBINDINGS],
)
def test_a_rebound_global_takes_effect_at_the_next_call(
    monkeypatch, module, name, value, call, before, after
):
    assert outcome(call) == before
    assert outcome(call) == before
    monkeypatch.setattr(module, name, value)
    assert outcome(call) == after
    assert outcome(call) == after
    monkeypatch.undo()
    assert outcome(call) == before
    # Deleted from the module, the name is looked for among the builtins.
    monkeypatch.delattr(module, name)
    monkeypatch.setattr(builtins, name, value, raising=False)
    assert outcome(call) == after
    # Bound in the module again, it hides the builtin at once.
    monkeypatch.undo()
    assert outcome(call) == before


class CollidingKey:
    """A key of another type than str that a lookup of `name` meets first,
    and that says it equals the name only once told to."""

    def __init__(self, name):
        self.name = name
        self.equal = False

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        return self.equal and other == self.name


def test_a_namespace_with_a_key_of_another_type_is_looked_up_at_each_call(monkeypatch):
    # The key's answer changes while the namespace does not: no kept answer
    # may hide it.
    def funcs():
        return OwnWrapper(int, {"a": 1}).funcs

    key = CollidingKey("FUNCS_INDEX")
    monkeypatch.delitem(vars(pw), "FUNCS_INDEX")
    monkeypatch.setattr(builtins, "FUNCS_INDEX", 1, raising=False)
    monkeypatch.setitem(vars(pw), key, 0)
    assert funcs() == funcs() == {"a": 1}
    key.equal = True
    assert funcs() == {}


def _other_copy(x):
    return OwnWrapper


def _lookalike_copy_module():
    module = types.ModuleType("copy")
    exec("def copy(x):\n    return OwnWrapper\n", {"OwnWrapper": OwnWrapper}, vars(module))
    module.copy.__globals__["__name__"] = "copy"
    return module


class OwnDispatch(dict):
    def get(self, key, default=None):
        return _other_copy


def _changes_of_copy():
    """The changes of what copy.copy reads, as the running version's copy module has them."""
    import copy

    changes = [
        pytest.param(lambda m: m.setattr(copy, "copy", _other_copy), id="copy.copy"),
        pytest.param(
            lambda m: m.setattr(copy, "type", lambda x: OwnWrapper, raising=False), id="copy.type"
        ),
        pytest.param(
            lambda m: m.setattr(copy.copy, "__code__", _other_copy.__code__), id="code-of-copy"
        ),
        pytest.param(lambda m: m.setattr(pw, "copy", _lookalike_copy_module()), id="look-alike"),
    ]
    if hasattr(copy, "_copy_dispatch"):
        changes += [
            pytest.param(
                lambda m: m.setitem(copy._copy_dispatch, type, _other_copy), id="_copy_dispatch"
            ),
            pytest.param(
                lambda m: m.setattr(copy, "_copy_dispatch", OwnDispatch(copy._copy_dispatch)),
                id="dict-subclass-dispatch",
            ),
        ]
    if hasattr(copy, "_copy_builtin_containers"):
        changes += [
            pytest.param(
                lambda m: m.setattr(copy, "_copy_atomic_types", frozenset()),
                id="_copy_atomic_types",
            ),
            pytest.param(
                lambda m: m.setattr(copy, "_copy_builtin_containers", {type}),
                id="_copy_builtin_containers",
            ),
        ]
    return changes


@pytest.mark.parametrize("change", _changes_of_copy())
def test_the_class_is_what_copy_copy_gives_at_each_call(monkeypatch, change):
    # The model calls copy.copy at every construction; so must the module,
    # whatever copy.copy reads has become.
    def constructed():
        return outcome(lambda: type(PayloadWrapper(int, {})))

    assert constructed() is PayloadWrapper
    change(monkeypatch)
    assert constructed() == outcome(lambda: pw.copy.copy(PayloadWrapper))
    monkeypatch.undo()
    assert constructed() is PayloadWrapper


FRESH_COPY = {
    "look-alike-module-first": """
        import sys, types
        lookalike = types.ModuleType("copy")
        exec(
            "def _copy_immutable(x):\\n    return int\\n"
            "_copy_dispatch = {type: _copy_immutable}\\n"
            "def copy(x):\\n    return _copy_dispatch.get(type(x))(x)\\n",
            vars(lookalike),
        )
        sys.modules["copy"] = lookalike
    """,
    "dict-subclass-dispatch-first": """
        import copy
        class OwnDispatch(dict):
            def get(self, key, default=None):
                return lambda x: int
        copy._copy_dispatch = OwnDispatch(getattr(copy, "_copy_dispatch", {}))
    """,
}


@pytest.mark.parametrize("setup", FRESH_COPY.values(), ids=FRESH_COPY.keys())
def test_what_is_bound_before_the_first_wrapper_is_called_too(setup):
    # In a fresh interpreter, so that the first wrapper meets the change.
    import subprocess
    import sys
    import textwrap

    code = textwrap.dedent(setup) + textwrap.dedent(
        """
        import dravolt_common.utils.payload_wrapper as pw
        try:
            made = type(pw.PayloadWrapper(pw.PayloadWrapper, {}))
        except Exception as exc:
            made = type(exc)
        try:
            expected = type(object.__new__(pw.copy.copy(pw.PayloadWrapper)))
        except Exception as exc:
            expected = type(exc)
        assert made is expected, (made, expected)
        """
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
