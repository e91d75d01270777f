"""Loading ``payload_wrapper``: one module object per process, the version
warning, relative-first imports at load time, failed loads and their retry,
and the refusal of a second interpreter or a second initialisation.

Each test runs in a fresh interpreter, since a load happens once per process.
"""

import subprocess
import sys
import textwrap

import pytest

NAME = "dravolt_common.utils.payload_wrapper"
INIT_ENTRY = f"init {NAME}"

PRELUDE = f"""
import sys
NAME = {NAME!r}


def frame_names(exc):
    names, tb = [], exc.__traceback__
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    return names


def init_entries(exc):
    return [n for n in frame_names(exc) if n.startswith("init ")]


def failing_import(error):
    try:
        import dravolt_common.utils.payload_wrapper
    except error as exc:
        assert NAME not in sys.modules
        return exc
    raise AssertionError("the import succeeded")
"""


def run(code, *options):
    """Run ``code`` in a fresh interpreter; it signals failure by raising."""
    source = PRELUDE + textwrap.dedent(code)
    proc = subprocess.run(
        [sys.executable, *options, "-c", source],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def test_one_module_object_per_process():
    run(
        """
        import importlib
        import dravolt_common.utils.payload_wrapper as first
        import dravolt_common.utils.payload_wrapper as second
        assert first is second
        first.CLS_INDEX = "rebound"
        before = dict(vars(first))
        del sys.modules[NAME]
        again = importlib.import_module(NAME)
        assert again is first and id(again) == id(first)
        assert sys.modules[NAME] is first
        after = vars(again)
        assert list(after) == list(before)
        for key, value in before.items():
            if key == "__spec__":
                assert after[key] == value
            else:
                assert after[key] is value, key
        # The body did not run again.
        assert again.CLS_INDEX == "rebound"
        assert importlib.reload(again) is first
        assert again.CLS_INDEX == "rebound"
        """
    )


def test_creation_copies_the_spec_and_hands_back_the_loaded_module():
    run(
        """
        import _imp, importlib.util, types
        spec = importlib.util.find_spec(NAME)
        module = _imp.create_dynamic(spec)
        assert type(module) is types.ModuleType
        assert sorted(vars(module)) == sorted(
            ["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"]
        )
        assert module.__name__ == NAME
        assert module.__doc__ is None
        assert module.__file__ == spec.origin
        assert module.__loader__ is spec.loader
        assert module.__package__ == "dravolt_common.utils"

        # Attributes the import spec lacks are skipped; a search location gives a path.
        bare = types.SimpleNamespace(
            name=NAME, origin=spec.origin, submodule_search_locations=["somewhere"]
        )
        other = _imp.create_dynamic(bare)
        assert other is not module
        assert other.__file__ == spec.origin
        assert other.__loader__ is None
        assert other.__package__ is None
        assert other.__path__ == ["somewhere"]

        assert NAME not in sys.modules
        assert _imp.exec_dynamic(module) == 0
        assert sys.modules[NAME] is module
        assert module.CLS_INDEX == 0
        assert _imp.create_dynamic(spec) is module
        assert _imp.create_dynamic(bare) is module
        """
    )


def test_an_existing_sys_modules_entry_is_kept():
    run(
        """
        import _imp, importlib.util
        spec = importlib.util.find_spec(NAME)
        module = _imp.create_dynamic(spec)
        placeholder = object()
        sys.modules[NAME] = placeholder
        assert _imp.exec_dynamic(module) == 0
        assert sys.modules[NAME] is placeholder
        assert module.FUNCS_INDEX == 1
        """
    )


# Each build is for the interpreter that builds it: the one running the tests.
BUILT = f"{sys.version_info.major}.{sys.version_info.minor}"
NEXT = f"{sys.version_info.major}.{sys.version_info.minor + 1}"


def version_warning(runtime):
    return (
        f"compiletime version {BUILT} of module '{NAME}' does not match runtime version {runtime}"
    )


@pytest.mark.parametrize(
    "version, runtime",
    [
        (f"{NEXT}.4 (main, Jun  7 2023, 00:00:00) [GCC 12.2.0]", NEXT),
        ("3.9.7 (default, Sep 10 2021, 14:59:43)", "3.9"),
        ("3.1a0", "3.1"),
        ("10.2.1", "10.2"),
        ("4", "4"),
        (BUILT, None),
        (f"{BUILT}.1 (main)", None),
        (f"{BUILT}0.0", None),
        # Read without encoding: a lone surrogate does no harm.
        (f"{BUILT}\udcff (main)", None),
        ("3.1\udcff", "3.1"),
    ],
)
def test_version_warning(version, runtime):
    expected = [] if runtime is None else [version_warning(runtime)]
    run(
        f"""
        import warnings
        sys.version = {version!r}
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import dravolt_common.utils.payload_wrapper as module
        messages = [str(w.message) for w in caught if w.category is RuntimeWarning]
        assert messages == {expected!r}, messages
        assert module.CLS_INDEX == 0
        """
    )


def test_version_warning_as_error_fails_the_import_until_lifted():
    run(
        f"""
        import warnings
        real_version = sys.version
        sys.version = "9.8.7 (main)"
        exc = failing_import(RuntimeWarning)
        assert str(exc) == {version_warning("9.8")!r}, str(exc)
        # The version check comes before anything that adds an init entry.
        assert init_entries(exc) == [], frame_names(exc)

        sys.version = real_version
        warnings.resetwarnings()
        import dravolt_common.utils.payload_wrapper as module
        assert module.CLS_INDEX == 0
        """,
        "-W",
        "error::RuntimeWarning",
    )


@pytest.mark.parametrize("missing", ["Any", "AnyStr"])
def test_typing_of_the_package_without_a_name(missing):
    run(
        f"""
        import types, typing
        fake = types.ModuleType("dravolt_common.utils.typing")
        fake.Any, fake.AnyStr = typing.Any, typing.AnyStr
        delattr(fake, {missing!r})
        sys.modules["dravolt_common.utils.typing"] = fake
        exc = failing_import(ImportError)
        assert str(exc) == "cannot import name {missing}", str(exc)
        assert init_entries(exc) == [{INIT_ENTRY!r}], frame_names(exc)

        del sys.modules["dravolt_common.utils.typing"]
        import dravolt_common.utils.payload_wrapper as module
        assert module.{missing} is typing.{missing}
        """
    )


def test_typing_is_imported_once():
    run(
        """
        class Recorder:
            def find_spec(self, name, path=None, target=None):
                seen.append(name)

        seen = []
        sys.meta_path.insert(0, Recorder())
        import dravolt_common.utils.payload_wrapper
        assert seen.count("dravolt_common.utils.typing") == 1, seen
        """
    )


def test_import_without_a_builtins_entry():
    # No empty module named builtins is made: the import system makes the
    # entry again, as `import builtins` would, and the functions fall back to it.
    run(
        """
        real = sys.modules.pop("builtins")
        import dravolt_common.utils.payload_wrapper as module
        import dravolt_common.callable_naming as naming
        again = sys.modules["builtins"]
        assert again.__name__ == "builtins" and again.len is real.len
        from builtins import len as builtin_len
        assert builtin_len is real.len

        del module.CLS_INDEX
        again.CLS_INDEX = 0
        assert module.PayloadWrapper(int, {}).cls is int
        del naming.BUILTINS
        again.BUILTINS = "builtins"
        assert naming.get_function_module(str.join, False) == "builtins"
        """
    )


def test_load_under_another_name_leaves_the_module_as_loaded():
    # The one module object is handed to the other load; the spec that the
    # import system writes onto it does not stay.
    run(
        """
        import importlib, importlib.util
        import dravolt_common.utils.payload_wrapper as module
        keys = ["__name__", "__spec__", "__loader__", "__file__", "__package__"]
        before = {key: vars(module)[key] for key in keys}
        other = importlib.util.spec_from_file_location(
            "otherpkg.payload_wrapper", module.__file__, submodule_search_locations=["elsewhere"]
        )
        loaded = importlib.util.module_from_spec(other)
        other.loader.exec_module(loaded)
        assert loaded is module
        assert {key: vars(module)[key] for key in keys} == before
        assert module.__spec__ is before["__spec__"]
        assert not hasattr(module, "__path__")
        assert importlib.reload(module) is module
        """
    )


def test_modules_of_the_package_are_preferred_at_load():
    run(
        """
        import types
        any_, anystr = object(), object()
        own_copy = types.ModuleType("dravolt_common.utils.copy")
        own_typing = types.ModuleType("dravolt_common.utils.typing")
        own_typing.Any, own_typing.AnyStr = any_, anystr
        sys.modules["dravolt_common.utils.copy"] = own_copy
        sys.modules["dravolt_common.utils.typing"] = own_typing
        import dravolt_common.utils.payload_wrapper as module
        assert module.copy is own_copy
        assert module.Any is any_ and module.AnyStr is anystr
        # Annotations hold what the names were bound to at definition.
        assert module.get_attribute_full_name.__annotations__ == {
            "cls": any_, "return": anystr
        }
        assert module.FunctionWrapper.__call__.__annotations__ == {
            "args": any_, "kwds": any_, "return": any_
        }
        """
    )


def test_missing_special_unpicklers():
    run(
        f"""
        class Refuse:
            def find_spec(self, name, path=None, target=None):
                if name == "dravolt_common.utils.special_unpicklers":
                    raise ModuleNotFoundError(f"No module named {{name!r}}", name=name)
                return None

        assert "dravolt_common.utils.special_unpicklers" not in sys.modules
        finder = Refuse()
        sys.meta_path.insert(0, finder)
        exc = failing_import(ImportError)
        assert str(exc) == "cannot import name special_unpicklers", str(exc)
        assert init_entries(exc) == [{INIT_ENTRY!r}], frame_names(exc)

        sys.meta_path.remove(finder)
        import dravolt_common.utils.payload_wrapper as module
        assert module.special_unpicklers is sys.modules[
            "dravolt_common.utils.special_unpicklers"
        ]
        """
    )


def test_special_unpicklers_failing_while_it_loads():
    run(
        f"""
        import importlib.util
        seen = {{}}

        class FailingLoader:
            def create_module(self, spec):
                return None

            def exec_module(self, module):
                loading = sys.modules[NAME]
                seen["module"] = loading
                seen["names"] = [k for k in vars(loading) if not k.startswith("__")]
                raise ZeroDivisionError("special_unpicklers fails")

        class Finder:
            def find_spec(self, name, path=None, target=None):
                if name == "dravolt_common.utils.special_unpicklers":
                    return importlib.util.spec_from_loader(name, FailingLoader())
                return None

        finder = Finder()
        sys.meta_path.insert(0, finder)
        exc = failing_import(ZeroDivisionError)
        assert str(exc) == "special_unpicklers fails"
        assert init_entries(exc) == [{INIT_ENTRY!r}], frame_names(exc)
        # The body had bound the earlier names when the import ran.
        assert seen["names"] == ["copy", "Any", "AnyStr"], seen["names"]

        sys.meta_path.remove(finder)
        import dravolt_common.utils.payload_wrapper as module
        assert module is not seen["module"]
        assert callable(module.special_unpicklers.get_special_unpickle_function)
        """
    )


INTERPRETER_CHANGE = (
    "Interpreter change detected - this module can only be loaded into one interpreter per process."
)


# What a sub-interpreter runs; it writes what it found to the standard output.
ATTEMPT = f"""
import os
try:
    import {NAME}
except ImportError as exc:
    os.write(1, ("ImportError " + str(exc) + chr(10)).encode())
else:
    os.write(1, b"LOADED" + bytes([10]))
"""

# A sub-interpreter that shares the GIL, which every version offers.
IN_SUBINTERPRETER = f"""
import _testcapi

ATTEMPT = {ATTEMPT!r}


def in_subinterpreter(code):
    assert _testcapi.run_in_subinterp(code) == 0
"""


def test_second_interpreter_is_refused():
    out = run(
        IN_SUBINTERPRETER
        + textwrap.dedent(
            """
            import dravolt_common.utils.payload_wrapper
            in_subinterpreter(ATTEMPT)
            """
        )
    )
    assert out == f"ImportError {INTERPRETER_CHANGE}\n"


def test_main_interpreter_is_refused_after_a_sub_interpreter():
    out = run(
        IN_SUBINTERPRETER
        + textwrap.dedent(
            f"""
            in_subinterpreter(ATTEMPT)
            exc = failing_import(ImportError)
            assert str(exc) == {INTERPRETER_CHANGE!r}, str(exc)
            """
        )
    )
    assert out == "LOADED\n"


def test_body_refuses_to_run_for_another_module_object():
    run(
        """
        import _imp, importlib, importlib.util
        # Two module objects, created before the body ran for either.
        spec = importlib.util.find_spec(NAME)
        module = _imp.create_dynamic(spec)
        other = _imp.create_dynamic(spec)
        assert other is not module
        assert _imp.exec_dynamic(module) == 0
        try:
            _imp.exec_dynamic(other)
        except RuntimeError as exc:
            assert str(exc) == (
                "Module 'payload_wrapper' has already been imported. "
                "Re-initialisation is not supported."
            ), str(exc)
        else:
            raise AssertionError("the body ran for a second module object")
        assert "CLS_INDEX" not in vars(other)

        # For the module it ran for, nothing happens again.
        module.CLS_INDEX = "rebound"
        assert _imp.exec_dynamic(module) == 0
        assert importlib.import_module(NAME) is module
        assert module.CLS_INDEX == "rebound"
        """
    )


def test_interpreter_with_a_gil_of_its_own_is_refused_by_the_import_system():
    # Where sub-interpreters may have a GIL of their own, the module says it
    # supports no second interpreter, and the import system refuses it before
    # the module's own check would run in another thread.
    if not hasattr(__import__("_imp"), "_override_multi_interp_extensions_check"):
        pytest.skip("this interpreter has no per-interpreter extension check")
    out = run(
        f"""
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        sub = interpreters.create()
        interpreters.run_string(sub, {ATTEMPT!r})
        """
    )
    assert out == f"ImportError module {NAME} does not support loading in subinterpreters\n"
