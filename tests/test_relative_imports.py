"""The imports inside the functions: a module of the same name inside the
package is tried first, at every call, as the import system would find it, but
a package-relative attempt that found nothing is not searched for again while
nothing it depended on has changed.

``import_by_full_name`` imports ``jsonpickle.unpickler`` and ``importlib``;
a module ``importlib`` placed in the package takes the place of the standard
one, which shows in what ``import_by_full_name`` returns. Each case runs in a
fresh interpreter whose package has one more directory on its ``__path__``,
where a test may put that module.
"""

import subprocess
import sys
import textwrap

import pytest

PRELUDE = """
import importlib, importlib.util, os, sys, tempfile
import dravolt_common.utils as utils
import dravolt_common.utils.payload_wrapper as pw

OWN = "dravolt_common.utils.importlib"
extra = tempfile.mkdtemp()
utils.__path__.append(extra)


def own_importlib_used():
    found = pw.import_by_full_name("json")
    sys.modules.pop(OWN, None)
    return found == ("own importlib", "json")


def write_own_importlib(folder=extra):
    with open(os.path.join(folder, "importlib.py"), "w") as file:
        file.write("def import_module(name):\\n    return ('own importlib', name)\\n")


def later(folder=extra):
    # A modification time that differs from the last one, however coarse the clock.
    stamp = os.stat(folder).st_mtime_ns + 10**9
    os.utime(folder, ns=(stamp, stamp))


class Finding:
    # A finder for the package's own importlib, from a file in `extra`.
    def find_spec(self, name, path=None, target=None):
        if name != OWN:
            return None
        write_own_importlib()
        return importlib.util.spec_from_file_location(name, os.path.join(extra, "importlib.py"))


def searches_during(call):
    # The frozen import system's find_spec calls during the call.
    found = []

    def profile(frame, event, arg):
        code = frame.f_code
        if event == "call" and code.co_name in ("_find_spec", "find_spec"):
            if code.co_filename.startswith("<frozen importlib"):
                found.append(frame.f_locals.get("name") or frame.f_locals.get("fullname"))

    sys.setprofile(profile)
    try:
        call()
    finally:
        sys.setprofile(None)
    return found


assert not own_importlib_used()
"""


def run(code, *options, before=""):
    proc = subprocess.run(
        [sys.executable, *options, "-c", textwrap.dedent(before) + PRELUDE + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    return proc


def test_nothing_changed_nothing_searched():
    # The relative attempts are not searched again, and the absolute imports
    # of the loaded modules take the import system's fast path.
    run(
        """
        found = searches_during(lambda: pw.import_by_full_name("json"))
        assert found == [], found
        """
    )


@pytest.mark.parametrize(
    "change",
    [
        pytest.param("write_own_importlib(); later()", id="module-placed-in-the-package"),
        pytest.param(
            """
            again = tempfile.mkdtemp()
            write_own_importlib(again)
            utils.__path__.append(again)
            """,
            id="path-of-the-package",
        ),
        pytest.param(
            """
            before = os.stat(extra).st_mtime_ns
            write_own_importlib()
            os.utime(extra, ns=(before, before))
            assert not own_importlib_used()  # the finder's listing has not changed
            importlib.invalidate_caches()
            """,
            id="invalidate-caches",
        ),
        pytest.param("sys.meta_path.insert(0, Finding())", id="new-meta-path-entry"),
        pytest.param(
            """
            sys.path_importer_cache[extra] = Finding()
            """,
            id="path-importer-cache-entry",
        ),
        pytest.param(
            """
            class Hook:
                def __init__(self, path):
                    if path != extra:
                        raise ImportError
                def find_spec(self, name, target=None):
                    return Finding().find_spec(name)
            sys.path_hooks.insert(0, Hook)
            del sys.path_importer_cache[extra]
            """,
            id="new-path-hook",
        ),
        pytest.param(
            """
            finder = sys.path_importer_cache[extra]
            finder.find_spec = lambda name, target=None: Finding().find_spec(name)
            """,
            id="entry-find-spec-on-the-instance",
        ),
        pytest.param(
            """
            path_finder = importlib.machinery.PathFinder()
            sys.meta_path.insert(0, path_finder)
            assert not own_importlib_used()
            path_finder.find_spec = Finding().find_spec
            """,
            id="meta-path-find-spec-on-the-instance",
        ),
        pytest.param(
            """
            class More(list):
                entries = []
                def __iter__(self):
                    yield from list.__iter__(self)
                    yield from More.entries
            utils.__path__ = More(utils.__path__)
            assert not own_importlib_used()
            again = tempfile.mkdtemp()
            write_own_importlib(again)
            More.entries.append(again)
            """,
            id="path-iterating-more",
        ),
        pytest.param(
            """
            import types
            own = types.SimpleNamespace(import_module=lambda name: ("own importlib", name))
            sys.modules = dict(sys.modules)
            sys.modules[OWN] = own
            """,
            id="sys-modules-rebound",
        ),
        pytest.param(
            """
            class Placing:
                armed = False
                def find_spec(self, name, path=None, target=None):
                    if Placing.armed and name == OWN:
                        write_own_importlib()
                        later()
            sys.meta_path.insert(0, Placing())
            assert not own_importlib_used()
            Placing.armed = True
            """,
            id="finder-before-the-path-finder-places-the-module",
        ),
        pytest.param(
            """
            armed = []
            def hook(event, args):
                if armed and event == "import" and args[0] == OWN:
                    write_own_importlib()
                    later()
            sys.addaudithook(hook)
            assert not own_importlib_used()
            armed.append(True)
            """,
            id="audit-hook-places-the-module",
        ),
        pytest.param(
            """
            import importlib._bootstrap as bootstrap, types
            original = bootstrap._find_and_load
            def find_and_load(name, import_):
                if name != OWN:
                    return original(name, import_)
                own = sys.modules[name] = types.ModuleType(name)
                own.import_module = lambda name: ("own importlib", name)
                return own
            bootstrap._find_and_load = find_and_load
            """,
            id="find-and-load-rebound",
        ),
    ],
)
def test_a_change_takes_effect_at_the_next_call(change):
    run(
        f"""
        assert not own_importlib_used()
        {textwrap.indent(textwrap.dedent(change), " " * 8).strip()}
        assert own_importlib_used()
        """
    )


def test_a_removed_meta_path_entry_takes_effect_at_the_next_call():
    run(
        """
        class Blocking:
            # Hides the package's own importlib from the finders after it.
            def find_spec(self, name, path=None, target=None):
                if name == OWN:
                    raise ModuleNotFoundError(name, name=name)

        blocking = Blocking()
        sys.meta_path.insert(0, blocking)
        write_own_importlib()
        later()
        assert not own_importlib_used()
        assert not own_importlib_used()
        sys.meta_path.remove(blocking)
        assert own_importlib_used()
        """
    )


def test_an_unknown_finder_is_asked_at_every_call():
    run(
        """
        class Counting:
            asked = 0
            def find_spec(self, name, path=None, target=None):
                if name == OWN:
                    Counting.asked += 1

        sys.meta_path.insert(0, Counting())
        for expected in (1, 2, 3):
            assert not own_importlib_used()
            assert Counting.asked == expected, Counting.asked
        """
    )


@pytest.mark.parametrize("error", ["ValueError", "ImportError"])
def test_what_a_finder_asked_again_raises_the_import_raises(error):
    # Asked once, as the import system asks it: a ValueError leaves the call,
    # an ImportError lets the absolute import follow.
    run(
        f"""
        class Failing:
            asked = 0
            fail = False
            def find_spec(self, name, path=None, target=None):
                if name == OWN:
                    Failing.asked += 1
                    if Failing.fail:
                        Failing.fail = False
                        raise {error}("finder failed")

        sys.meta_path.insert(0, Failing())
        assert not own_importlib_used()
        Failing.asked, Failing.fail = 0, True
        try:
            found = pw.import_by_full_name("json")
        except ValueError as raised:
            found = raised
        import json
        expected = json if {error!r} == "ImportError" else "finder failed"
        assert str(found) == str(expected) and Failing.asked == 1, (found, Failing.asked)
        """
    )


# PathFinder.find_spec given, before the first miss, code of the import
# system's file name that finds the package's own importlib once asked to.
REPLACED_FIND_SPEC = """
import builtins, importlib.machinery, importlib.util, os, types

function = importlib.machinery.PathFinder.find_spec.__func__
builtins.ORIGINAL_FIND_SPEC = types.FunctionType(
    function.__code__, function.__globals__, "find_spec", function.__defaults__
)
builtins.FIND_OWN = False
source = '''
def find_spec(cls, fullname, path=None, target=None):
    b = __import__("builtins")
    if b.FIND_OWN and fullname == "dravolt_common.utils.importlib":
        return b.OWN_SPEC()
    return b.ORIGINAL_FIND_SPEC(cls, fullname, path, target)
'''
module_code = compile(source, "<frozen importlib._bootstrap_external>", "exec")
function.__code__ = next(c for c in module_code.co_consts if isinstance(c, types.CodeType))
"""


def test_a_finder_whose_code_was_replaced_first_is_asked_at_every_call():
    run(
        """
        def own_spec():
            write_own_importlib()
            return importlib.util.spec_from_file_location(OWN, os.path.join(extra, "importlib.py"))

        builtins.OWN_SPEC = own_spec
        assert not own_importlib_used()
        builtins.FIND_OWN = True
        assert own_importlib_used()
        """,
        before=REPLACED_FIND_SPEC,
    )


def test_audit_events_are_those_of_the_import_system():
    # A remembered miss of a dotted name raises an event for the name and for
    # each package of it, as the import system does for the same attempts.
    run(
        """
        events = []

        def hook(event, args):
            if event == "import" and args[0].startswith("dravolt_common.utils."):
                events.append(args[0])

        sys.addaudithook(hook)
        for name in ("jsonpickle.unpickler", "importlib"):
            try:
                __import__(name, vars(pw), None, None, 1)
            except ImportError:
                pass
        expected, events[:] = events[:], []
        assert len(expected) == 3, expected
        for _ in range(3):
            pw.import_by_full_name("json")
        assert events == expected * 3, events
        """
    )


@pytest.mark.parametrize("interrupted_read", [1, 2, 3])
def test_an_interrupted_finder_interrupts_the_import(interrupted_read):
    # A finder's find_spec is read by the import system's search, then when
    # the miss is remembered, then at the next attempt; whichever read raises
    # KeyboardInterrupt, it leaves the call.
    run(
        f"""
        class Interrupting:
            reads = 0
            @property
            def find_spec(self):
                Interrupting.reads += 1
                if Interrupting.reads == {interrupted_read}:
                    raise KeyboardInterrupt
                return lambda name, path=None, target=None: None

        sys.meta_path.insert(0, Interrupting())
        try:
            for _ in range(3):
                pw.import_by_full_name("json")
        except KeyboardInterrupt:
            pass
        else:
            raise AssertionError("not interrupted")
        """
    )


@pytest.mark.parametrize("option", [["-X", "importtime"], ["-vv"]], ids=["importtime", "verbose"])
def test_what_the_import_system_prints_is_printed_at_every_call(option):
    stderr = run(
        """
        for _ in range(3):
            print("--- call", file=sys.stderr)
            pw.import_by_full_name("json")
        """,
        *option,
    ).stderr
    calls = stderr.split("--- call")[1:]
    # -X importtime names the module; -vv names the files it tries.
    printed = [call.count("utils.importlib") + call.count("utils/importlib") for call in calls]
    assert printed[0] > 0 and printed == printed[:1] * 3, printed
