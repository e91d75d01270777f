"""Module-level names missing from a module's namespace come from the
builtins module, never from the caller's builtins; and the object case of
get_function_module starts from the module found before it."""

import builtins

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
