"""A global missing from the module falls back to the builtins module."""

import builtins

import pytest

import dravolt_common.utils.payload_wrapper as pw


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
