"""Loads that fail or nest: the module's functions must never run without a
namespace, and a nested load must not take over the namespace of the load
that is running.

Each case runs in a fresh interpreter: a load happens once per process, and a
fault here would crash the process.
"""

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

NAME = "dravolt_common.utils.payload_wrapper"
TESTS = str(Path(__file__).resolve().parent)


def run(code):
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    return proc.returncode, proc.stdout, proc.stderr


def test_builtin_left_by_a_failed_load_does_not_crash():
    # One failed allocation late in the body of callable_naming leaves
    # get_function_module in the namespace of the discarded module object.
    # Each allocation is failed in a child of its own: first the end of the
    # load is found, then the allocations before it are failed one by one
    # until one leaves the builtin behind.
    pytest.importorskip("_testcapi")
    code, out, err = run(
        f"""
        import _imp, importlib.util, sys
        import _testcapi
        sys.path.insert(0, {TESTS!r})
        import forked

        spec = importlib.util.find_spec("dravolt_common.callable_naming")
        LOADED, FAILED, BUILTIN_LEFT = 0, 1, 2

        def load_failing_at(k):
            module = _imp.create_dynamic(spec)
            loaded = False
            _testcapi.set_nomemory(k, k + 1)
            try:
                _imp.exec_dynamic(module)
                loaded = True
            except BaseException:
                pass
            try:
                _testcapi.remove_mem_hooks()
            except MemoryError:
                _testcapi.remove_mem_hooks()
            if loaded:
                return LOADED
            if "get_function_module" not in vars(module):
                return FAILED
            try:
                module.get_function_module(len, False)
            except Exception:
                pass
            return BUILTIN_LEFT

        def beyond_the_load(k):
            # Some failed allocations are taken in stride; a long run is not.
            window = range(k, k + 24)
            return all(forked.run_in_child(load_failing_at, j) == LOADED for j in window)

        low, high = 0, 256
        while not beyond_the_load(high):
            low, high = high, 2 * high
        while high - low > 1:
            middle = (low + high) // 2
            low, high = (low, middle) if beyond_the_load(middle) else (middle, high)
        found = forked.statuses(
            load_failing_at,
            range(high - 1, max(high - 500, 0), -1),
            until=lambda status: status == BUILTIN_LEFT,
        )
        print(list(found.values())[-1])
        """
    )
    assert code == 0, err
    assert out.split()[0] == "2", "no failed load left the builtin behind"


@pytest.mark.parametrize("nested_fails", [True, False], ids=["nested-fails", "nested-succeeds"])
def test_reimport_while_the_body_runs_leaves_a_whole_module_or_an_error(nested_fails):
    # special_unpicklers, while it loads, drops the half-loaded payload_wrapper
    # from sys.modules and imports it again; the nested load fails or succeeds.
    code, out, err = run(
        f"""
        import importlib.util, sys
        NAME = {NAME!r}
        UNPICKLERS = "dravolt_common.utils.special_unpicklers"
        real_spec = importlib.util.find_spec(UNPICKLERS)

        class Loader:
            def create_module(self, spec):
                return None

            def exec_module(self, module):
                outer = sys.modules.pop(NAME)
                sys.meta_path.remove(finder)
                # None halts the nested import of it; without an entry the
                # nested load imports the real one.
                if {nested_fails}:
                    sys.modules[UNPICKLERS] = None
                else:
                    del sys.modules[UNPICKLERS]
                try:
                    import dravolt_common.utils.payload_wrapper  # noqa: F401
                except ImportError:
                    pass
                finally:
                    sys.modules[UNPICKLERS] = module
                sys.modules[NAME] = outer
                real = importlib.util.module_from_spec(real_spec)
                real_spec.loader.exec_module(real)
                vars(module).update(
                    {{k: v for k, v in vars(real).items() if not k.startswith("__")}}
                )

        class Finder:
            def find_spec(self, name, path=None, target=None):
                if name == UNPICKLERS:
                    return importlib.util.spec_from_loader(name, Loader())
                return None

        finder = Finder()
        sys.meta_path.insert(0, finder)
        try:
            import dravolt_common.utils.payload_wrapper as pw
        except Exception as exc:
            print("RAISED", type(exc).__name__)
        else:
            assert pw.get_attribute_full_name(int) == "builtins.int", sorted(vars(pw))
            assert type(pw.PayloadWrapper(int)) is pw.PayloadWrapper
            print("LOADED")
        """
    )
    assert code == 0, err
    assert out.split()[0] in ("RAISED", "LOADED")
