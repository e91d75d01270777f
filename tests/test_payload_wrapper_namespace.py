import copy
import ctypes
import importlib
import importlib.machinery
import json
import os
import subprocess
import sys
import typing

import pytest

import dravolt_common.utils
import dravolt_common.utils.payload_wrapper as pw
import payload_wrapper_twin as twin

MODULE_NAME = "dravolt_common.utils.payload_wrapper"

NAMES_IN_ORDER = [
    "copy",
    "Any",
    "AnyStr",
    "special_unpicklers",
    "JSONPICKLE_EXTERNAL_TYPE_KEY",
    "FUNCS_INDEX",
    "CLS_INDEX",
    "get_attribute_full_name",
    "import_by_full_name",
    "SpecialWrapper",
    "ModuleWrapper",
    "ExceptionWrapper",
    "FunctionWrapper",
    "PayloadWrapperBase",
    "PayloadWrapper",
    "UnpicklableObject",
]

# Attributes the module object and the import system may give any module.
STANDARD_ATTRIBUTES = {
    "__name__",
    "__doc__",
    "__package__",
    "__loader__",
    "__spec__",
    "__file__",
    "__builtins__",
}


def test_namespace_holds_the_names_in_order_of_creation():
    # A fresh interpreter, so that no other test's rebinding of a module
    # attribute can have moved a key.
    code = f"import json, {MODULE_NAME} as m; print(json.dumps(list(vars(m))))"
    out = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=True
    ).stdout
    keys = json.loads(out)
    own = [k for k in keys if not (k.startswith("__") and k.endswith("__"))]
    assert own == NAMES_IN_ORDER
    assert set(keys) - set(own) <= STANDARD_ATTRIBUTES


@pytest.mark.parametrize(
    "name, expected",
    [
        ("copy", lambda: copy),
        ("Any", lambda: typing.Any),
        ("AnyStr", lambda: typing.AnyStr),
        (
            "special_unpicklers",
            lambda: importlib.import_module("dravolt_common.utils.special_unpicklers"),
        ),
    ],
)
def test_imported_names_are_the_modules_and_objects_themselves(name, expected):
    assert getattr(pw, name) is expected()


def test_special_unpicklers_offers_the_unpickle_function_lookup():
    assert callable(pw.special_unpicklers.get_special_unpickle_function)


@pytest.mark.parametrize(
    "name, value",
    [
        ("JSONPICKLE_EXTERNAL_TYPE_KEY", "py/dravolt/external/type"),
        ("FUNCS_INDEX", 1),
        ("CLS_INDEX", 0),
    ],
)
def test_constants(name, value):
    assert type(getattr(pw, name)) is type(value)
    assert getattr(pw, name) == value


def test_module_attributes():
    assert pw.__name__ == MODULE_NAME
    assert pw.__doc__ is None
    assert pw.__package__ == "dravolt_common.utils"
    assert not hasattr(pw, "__path__")
    assert pw.__spec__.name == MODULE_NAME
    assert pw.__loader__ is pw.__spec__.loader
    assert isinstance(pw.__loader__, importlib.machinery.ExtensionFileLoader)
    assert pw.__file__ == pw.__spec__.origin


def test_module_file_is_the_extension_inside_the_package():
    assert pw.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
    package_dir = os.path.dirname(dravolt_common.utils.__file__)
    assert os.path.dirname(pw.__file__) == package_dir
    assert hasattr(ctypes.CDLL(pw.__file__), "PyInit_payload_wrapper")


CLASS_BASES = {
    "SpecialWrapper": (),
    "ModuleWrapper": (),
    "ExceptionWrapper": (),
    "FunctionWrapper": (),
    "PayloadWrapperBase": (),
    "PayloadWrapper": ("PayloadWrapperBase",),
    "UnpicklableObject": ("PayloadWrapperBase",),
}


@pytest.mark.parametrize("name", list(CLASS_BASES))
def test_class_identity(name):
    cls = getattr(pw, name)
    bases = tuple(getattr(pw, b) for b in CLASS_BASES[name]) or (object,)
    assert type(cls) is type
    assert cls.__bases__ == bases
    assert cls.__mro__ == (cls, *bases[:-1], *bases[-1].__mro__)
    assert cls.__module__ == MODULE_NAME
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__doc__ is None


@pytest.mark.parametrize("name", list(CLASS_BASES))
def test_class_namespace_is_that_of_the_python_class(name):
    cls = getattr(pw, name)
    assert list(vars(cls)) == twin.class_namespace(getattr(twin, name))
    assert vars(cls)["__module__"] == MODULE_NAME


@pytest.mark.parametrize("name", list(CLASS_BASES))
def test_classes_are_open_and_instances_have_a_dict(name):
    cls = getattr(pw, name)
    instance = object.__new__(cls)
    assert instance.__dict__ == {}
    instance.extra = 1
    assert instance.__dict__ == {"extra": 1}
    cls.extra_class_attribute = 2
    try:
        assert instance.extra_class_attribute == 2
    finally:
        del cls.extra_class_attribute


def test_wrapper_hierarchy():
    assert pw.PayloadWrapper.__mro__ == (pw.PayloadWrapper, pw.PayloadWrapperBase, object)
    assert pw.UnpicklableObject.__mro__ == (
        pw.UnpicklableObject,
        pw.PayloadWrapperBase,
        object,
    )
    assert pw.ExceptionWrapper.__mro__ == (pw.ExceptionWrapper, object)
    assert not issubclass(pw.ExceptionWrapper, BaseException)
    derived = {name for name in CLASS_BASES if issubclass(getattr(pw, name), pw.PayloadWrapperBase)}
    assert derived == {"PayloadWrapperBase", "PayloadWrapper", "UnpicklableObject"}
