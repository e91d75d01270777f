"""Exceptions leaving the functions of ``payload_wrapper`` carry one traceback
entry that names the function and the native source."""

import sys
from pathlib import Path

import jsonpickle.unpickler
import pytest

import dravolt_common.utils.payload_wrapper as pw
import payload_wrapper_twin as twin

MODULE_NAME = "dravolt_common.utils.payload_wrapper"
SOURCE_PATH = "dravolt_common/utils/payload_wrapper"
NATIVE_SOURCES = Path(__file__).resolve().parent.parent / "native" / "payload_wrapper"


def entries(exc):
    tb = exc.__traceback__
    found = []
    while tb is not None:
        found.append(tb)
        tb = tb.tb_next
    return found


def native_entries(exc):
    return [tb for tb in entries(exc) if tb.tb_frame.f_code.co_filename == SOURCE_PATH]


def assert_one_entry(exc, qualname):
    native = native_entries(exc)
    assert [tb.tb_frame.f_code.co_name for tb in native] == [f"{MODULE_NAME}.{qualname}"]
    assert native[0].tb_lineno > 0
    assert native[0].tb_frame.f_lineno == native[0].tb_lineno
    return native[0]


@pytest.mark.parametrize("qualname", twin.QUALNAMES)
def test_argument_errors_gain_one_entry(qualname):
    with pytest.raises(TypeError) as info:
        twin.lookup(pw, qualname)()
    assert_one_entry(info.value, qualname)


@pytest.mark.parametrize(
    "make_arg, error",
    [
        (lambda probe: 5, AttributeError),
        (lambda probe: object(), AttributeError),
        (lambda probe: probe(__module__=ValueError), ValueError),
        (
            lambda probe: probe(__module__="m", __qualname__=KeyError, __name__=LookupError),
            LookupError,
        ),
    ],
)
def test_get_attribute_full_name_failures(probe, make_arg, error):
    with pytest.raises(error) as info:
        pw.get_attribute_full_name(make_arg(probe))
    assert_one_entry(info.value, "get_attribute_full_name")


def test_entry_sits_between_the_caller_and_the_code_it_ran(probe):
    with pytest.raises(ValueError) as info:
        pw.get_attribute_full_name(probe(__module__=ValueError))
    names = [tb.tb_frame.f_code.co_name for tb in entries(info.value)]
    position = names.index(f"{MODULE_NAME}.get_attribute_full_name")
    assert names[position - 1] == "test_entry_sits_between_the_caller_and_the_code_it_ran"
    assert names[position + 1] == "__getattribute__"


def test_import_by_full_name_failure_from_loadclass(monkeypatch):
    def loadclass(name):
        raise LookupError(name)

    monkeypatch.setattr(jsonpickle.unpickler, "loadclass", loadclass)
    with pytest.raises(LookupError) as info:
        pw.import_by_full_name("no_such_module_for_traceback_test")
    assert_one_entry(info.value, "import_by_full_name")
    # The exception that import_module raised is the context; like an
    # exception caught in a Python function, it carries the function's entry.
    assert isinstance(info.value.__context__, ModuleNotFoundError)
    assert_one_entry(info.value.__context__, "import_by_full_name")


def test_import_by_full_name_failure_while_a_module_loads(tmp_path, monkeypatch):
    (tmp_path / "tb_interrupting_module.py").write_text("raise KeyboardInterrupt\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    with pytest.raises(KeyboardInterrupt) as info:
        pw.import_by_full_name("tb_interrupting_module")
    assert_one_entry(info.value, "import_by_full_name")
    sys.modules.pop("tb_interrupting_module", None)


def test_repeated_failures_keep_their_entry():
    for _ in range(3):
        with pytest.raises(AttributeError) as info:
            pw.get_attribute_full_name(5)
        assert_one_entry(info.value, "get_attribute_full_name")


def test_swallowed_exceptions_leave_nothing_behind(probe):
    arg = probe(__module__="m", __qualname__=RuntimeError, __name__="Y")
    assert pw.get_attribute_full_name(arg) == "m.Y"
    assert sys.exc_info() == (None, None, None)
    try:
        raise KeyError("after")
    except KeyError as exc:
        assert exc.__context__ is None


def test_exception_after_a_swallowed_one_has_no_context(probe):
    arg = probe(__module__="m", __qualname__=RuntimeError, __name__=AttributeError)
    with pytest.raises(AttributeError) as info:
        pw.get_attribute_full_name(arg)
    assert info.value.__context__ is None
    assert_one_entry(info.value, "get_attribute_full_name")


@pytest.mark.parametrize(
    "qualname, fail",
    [
        ("get_attribute_full_name", lambda: pw.get_attribute_full_name(5)),
        ("ModuleWrapper.__new__", lambda: pw.ModuleWrapper()),
        ("FunctionWrapper.__reduce__", lambda: object.__new__(pw.FunctionWrapper).__reduce__()),
        ("UnpicklableObject.__reduce__", lambda: object.__new__(pw.UnpicklableObject).__reduce__()),
    ],
)
def test_entry_line_is_a_failing_statement_of_the_source(qualname, fail):
    with pytest.raises(Exception) as info:
        fail()
    entry = assert_one_entry(info.value, qualname)
    implementation = qualname.replace(".__", "_").removesuffix("__")
    definition = f"Ref {implementation}(frame::Call& call)"
    (source,) = [p for p in NATIVE_SOURCES.glob("*.cpp") if definition in p.read_text()]
    line = source.read_text().splitlines()[entry.tb_lineno - 1]
    assert "fail()" in line, line
