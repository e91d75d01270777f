"""From objects to full names and back: ``get_attribute_full_name`` and
``import_by_full_name``."""

import builtins
import collections
import importlib
import importlib.machinery
import json
import os.path
import subprocess
import sys
import types
import uuid

import jsonpickle.unpickler
import pytest

import dravolt_common.utils.payload_wrapper as pw

get_attribute_full_name = pw.get_attribute_full_name
import_by_full_name = pw.import_by_full_name
HERE = __name__


class Outer:
    class Inner:
        def method(self):
            pass


def enclosing():
    def nested():
        pass

    return nested


class Formats:
    """Formats as ``text`` under an empty spec."""

    def __init__(self, text):
        self.text = text

    def __format__(self, spec):
        assert spec == ""
        if isinstance(self.text, type):
            raise self.text("formatting")
        return self.text

    def __str__(self):
        return "str is not used"


class PlainStr(str):
    pass


class FormatsItself(str):
    def __format__(self, spec):
        return "formatted"


class WithFormattedModule:
    pass


class WithFormattedQualname:
    pass


WithFormattedModule.__module__ = Formats("fm")
WithFormattedQualname.__qualname__ = FormatsItself("q")


# ---------------------------------------------------------------- get_attribute_full_name


@pytest.mark.parametrize(
    "obj, expected",
    [
        (Outer, f"{HERE}.Outer"),
        (Outer.Inner, f"{HERE}.Outer.Inner"),
        (Outer.Inner.method, f"{HERE}.Outer.Inner.method"),
        (Outer.Inner().method, f"{HERE}.Outer.Inner.method"),
        (enclosing(), f"{HERE}.enclosing.<locals>.nested"),
        (int, "builtins.int"),
        (len, "builtins.len"),
        (collections.OrderedDict, "collections.OrderedDict"),
        (os.path.join, "posixpath.join"),
        # A class whose module or qualified name is not an exact str formats it.
        (WithFormattedModule, "fm.WithFormattedModule"),
        (WithFormattedQualname, f"{HERE}.formatted"),
    ],
)
def test_full_name_of_classes_and_functions(obj, expected):
    result = get_attribute_full_name(obj)
    assert type(result) is str
    assert result == expected


@pytest.mark.parametrize(
    "answers, expected",
    [
        ({"__module__": None, "__qualname__": "X"}, "None.X"),
        ({"__module__": "m", "__qualname__": RuntimeError, "__name__": "Y"}, "m.Y"),
        ({"__module__": "m", "__qualname__": KeyboardInterrupt, "__name__": "Y"}, "m.Y"),
        ({"__module__": "m", "__qualname__": AttributeError, "__name__": "Y"}, "m.Y"),
        ({"__module__": "m", "__qualname__": "Q", "__name__": "Y"}, "m.Q"),
        ({"__module__": Formats("M"), "__qualname__": "X"}, "M.X"),
        ({"__module__": "m", "__qualname__": Formats("Q")}, "m.Q"),
        ({"__module__": "m", "__qualname__": AttributeError, "__name__": Formats("N")}, "m.N"),
        ({"__module__": 7, "__qualname__": 1.5}, "7.1.5"),
        ({"__module__": PlainStr("p"), "__qualname__": PlainStr("q")}, "p.q"),
        ({"__module__": "a.b", "__qualname__": "c.<locals>.d"}, "a.b.c.<locals>.d"),
        ({"__module__": "", "__qualname__": ""}, "."),
        # Wider pieces than ASCII take the general join, mixed widths included.
        ({"__module__": "m\u00e9", "__qualname__": "\u03bb"}, "m\u00e9.\u03bb"),
        ({"__module__": "m", "__qualname__": "\U0001f600"}, "m.\U0001f600"),
    ],
)
def test_full_name_from_the_pieces(probe, answers, expected):
    result = get_attribute_full_name(probe(**answers))
    assert type(result) is str
    assert result == expected


@pytest.mark.parametrize(
    "answers, reads",
    [
        # The presence test reads __qualname__ once and the name a second time.
        (
            {"__module__": "m", "__qualname__": "Q", "__name__": "Y"},
            {"__module__": 1, "__qualname__": 2},
        ),
        (
            {"__module__": "m", "__qualname__": RuntimeError, "__name__": "Y"},
            {"__module__": 1, "__qualname__": 1, "__name__": 1},
        ),
    ],
)
def test_each_attribute_is_read_as_often_as_needed(probe, answers, reads):
    arg = probe(**answers)
    get_attribute_full_name(arg)
    assert dict(arg.reads) == reads


@pytest.mark.parametrize("attribute", ["__qualname__", "__name__"])
def test_module_is_converted_before_the_name_is_read_again(probe, attribute):
    answers = {"__module__": Formats(ZeroDivisionError), "__qualname__": "Q", "__name__": "Y"}
    if attribute == "__name__":
        answers["__qualname__"] = RuntimeError
    arg = probe(**answers)
    with pytest.raises(ZeroDivisionError):
        get_attribute_full_name(arg)
    assert arg.reads["__qualname__"] == 1
    assert arg.reads["__name__"] == 0


@pytest.mark.parametrize(
    "answers, error",
    [
        ({"__module__": "m", "__qualname__": Formats(ValueError)}, ValueError),
        ({"__module__": "m", "__qualname__": Formats(3)}, TypeError),
        ({"__module__": KeyboardInterrupt, "__qualname__": "X"}, KeyboardInterrupt),
        ({"__module__": "m", "__qualname__": RuntimeError, "__name__": SystemExit}, SystemExit),
    ],
)
def test_errors_of_pieces_propagate(probe, answers, error):
    with pytest.raises(error):
        get_attribute_full_name(probe(**answers))


class Ordinary:
    pass


@pytest.mark.parametrize("obj", [5, json, "text"])
def test_objects_without_module_or_name_fail(obj):
    with pytest.raises(AttributeError):
        get_attribute_full_name(obj)


def test_instance_of_ordinary_class_fails_on_name():
    with pytest.raises(AttributeError, match="__name__"):
        get_attribute_full_name(Ordinary())


# ---------------------------------------------------------------- import_by_full_name


@pytest.fixture
def recorder(monkeypatch):
    """Replaces jsonpickle's loadclass; records its calls, returns a sentinel."""

    class Recorder:
        result = object()

        def __init__(self):
            self.calls = []

        def __call__(self, *args, **kwargs):
            self.calls.append((args, kwargs))
            return self.result

    rec = Recorder()
    monkeypatch.setattr(jsonpickle.unpickler, "loadclass", rec)
    return rec


@pytest.fixture
def package_dir(tmp_path, monkeypatch):
    """A directory on sys.path for throw-away modules; they are unloaded after."""
    monkeypatch.syspath_prepend(str(tmp_path))
    before = set(sys.modules)
    yield tmp_path
    for name in set(sys.modules) - before:
        del sys.modules[name]


def unique(prefix):
    return f"{prefix}_{uuid.uuid4().hex}"


@pytest.mark.parametrize("name", ["json", "os.path", "collections.abc", "xml.dom.minidom"])
def test_importable_names_give_the_module(name):
    assert import_by_full_name(name) is sys.modules[name]


def test_submodule_wins_over_an_attribute_of_the_same_name(package_dir):
    package = unique("pkg")
    (package_dir / package).mkdir()
    (package_dir / package / "__init__.py").write_text("sub = 'the attribute'\n")
    (package_dir / package / "sub.py").write_text("VALUE = 1\n")
    result = import_by_full_name(f"{package}.sub")
    assert isinstance(result, types.ModuleType)
    assert result is sys.modules[f"{package}.sub"]
    assert result.VALUE == 1


@pytest.mark.parametrize(
    "name, expected",
    [
        ("collections.OrderedDict", collections.OrderedDict),
        ("os.path.join", os.path.join),
        (f"{HERE}.Outer.Inner", Outer.Inner),
        ("", None),
        ("no_such_module.anything", None),
    ],
)
def test_other_names_go_to_loadclass(name, expected):
    assert jsonpickle.unpickler.loadclass(name) is expected
    assert import_by_full_name(name) is expected


@pytest.mark.parametrize("name", ["", "collections.OrderedDict", 5, None, b"json", ".json"])
def test_loadclass_gets_the_name_unchanged_and_its_result_is_returned(recorder, name):
    assert import_by_full_name(name) is recorder.result
    assert recorder.calls == [((name,), {})]
    assert recorder.calls[0][0][0] is name


def test_module_not_loadclass_for_importable_names(recorder):
    assert import_by_full_name("json") is json
    assert recorder.calls == []


def test_module_failing_with_an_exception_goes_to_loadclass(package_dir, recorder):
    name = unique("failing")
    (package_dir / f"{name}.py").write_text("1 / 0\n")
    assert import_by_full_name(name) is recorder.result
    assert recorder.calls == [((name,), {})]


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_module_failing_with_a_base_exception_propagates(package_dir, recorder, error):
    name = unique("interrupting")
    (package_dir / f"{name}.py").write_text(f"raise {error.__name__}\n")
    with pytest.raises(error):
        import_by_full_name(name)
    assert recorder.calls == []


def test_loadclass_error_has_the_import_error_as_context(monkeypatch):
    def loadclass(name):
        raise LookupError(name)

    monkeypatch.setattr(jsonpickle.unpickler, "loadclass", loadclass)
    with pytest.raises(LookupError) as info:
        import_by_full_name("no_such_module_here")
    assert isinstance(info.value.__context__, ModuleNotFoundError)
    assert info.value.__context__.name == "no_such_module_here"


def test_real_loadclass_error_for_a_non_str():
    with pytest.raises(AttributeError) as info:
        import_by_full_name(5)
    assert isinstance(info.value.__context__, Exception)


def test_handled_exception_is_restored_after_a_fallback(recorder):
    assert import_by_full_name("no_such_module_here") is recorder.result
    assert sys.exc_info() == (None, None, None)
    try:
        raise KeyError("outer")
    except KeyError as outer:
        assert import_by_full_name("no_such_module_here") is recorder.result
        assert sys.exc_info()[1] is outer


def test_handled_exception_is_context_inside_an_except_block(monkeypatch):
    def loadclass(name):
        raise LookupError(name)

    monkeypatch.setattr(jsonpickle.unpickler, "loadclass", loadclass)
    try:
        raise KeyError("outer")
    except KeyError as outer:
        with pytest.raises(LookupError) as info:
            import_by_full_name("no_such_module_here")
        assert sys.exc_info()[1] is outer
        assert isinstance(info.value.__context__, ModuleNotFoundError)
        assert info.value.__context__.__context__ is outer


def test_loadclass_is_looked_up_at_each_call(monkeypatch):
    first, second = object(), object()
    monkeypatch.setattr(jsonpickle.unpickler, "loadclass", lambda name: first)
    assert import_by_full_name("no_such_module_here") is first
    monkeypatch.setattr(jsonpickle.unpickler, "loadclass", lambda name: second)
    assert import_by_full_name("no_such_module_here") is second
    monkeypatch.undo()
    assert import_by_full_name("collections.OrderedDict") is collections.OrderedDict


def _fake_module(name, **attributes):
    module = types.ModuleType(name)
    vars(module).update(attributes)
    return module


@pytest.fixture
def package_jsonpickle(monkeypatch):
    """Puts a ``jsonpickle`` of the package itself in place, with a recording
    ``loadclass``; returns the list of its calls."""
    calls = []
    unpickler = _fake_module(
        "dravolt_common.utils.jsonpickle.unpickler",
        loadclass=lambda name: calls.append(name) or "from the package",
    )
    package = _fake_module("dravolt_common.utils.jsonpickle", unpickler=unpickler)
    monkeypatch.setitem(sys.modules, "dravolt_common.utils.jsonpickle", package)
    monkeypatch.setitem(sys.modules, "dravolt_common.utils.jsonpickle.unpickler", unpickler)
    return calls


def test_jsonpickle_of_the_package_is_preferred(package_jsonpickle, recorder):
    assert import_by_full_name("no_such_module_here") == "from the package"
    assert package_jsonpickle == ["no_such_module_here"]
    assert recorder.calls == []


def test_importlib_of_the_package_is_preferred(monkeypatch, recorder):
    seen = []

    def import_module(name):
        seen.append(name)
        raise ValueError(name)

    fake = _fake_module("dravolt_common.utils.importlib", import_module=import_module)
    monkeypatch.setitem(sys.modules, "dravolt_common.utils.importlib", fake)
    assert import_by_full_name("json") is recorder.result
    assert seen == ["json"]
    assert recorder.calls == [(("json",), {})]


def test_missing_loadclass_fails_before_any_import(monkeypatch):
    unpickler = _fake_module("dravolt_common.utils.jsonpickle.unpickler")
    package = _fake_module("dravolt_common.utils.jsonpickle", unpickler=unpickler)
    monkeypatch.setitem(sys.modules, "dravolt_common.utils.jsonpickle", package)
    monkeypatch.setitem(sys.modules, "dravolt_common.utils.jsonpickle.unpickler", unpickler)
    with pytest.raises(ImportError) as info:
        import_by_full_name("json")
    assert str(info.value) == "cannot import name loadclass"


class _RefusingFinder:
    """Fails the import of one module name with ZeroDivisionError."""

    def __init__(self, name):
        self.name = name

    def find_spec(self, name, path=None, target=None):
        if name == self.name:
            raise ZeroDivisionError(name)
        return None


@pytest.mark.parametrize(
    "refused", ["dravolt_common.utils.jsonpickle", "dravolt_common.utils.importlib"]
)
def test_import_failures_of_the_function_itself_are_not_answered_by_loadclass(
    monkeypatch, recorder, refused
):
    # Only an ImportError of the attempt within the package leads to the
    # absolute import; anything else ends the call.
    assert refused not in sys.modules
    monkeypatch.setattr(sys, "meta_path", [_RefusingFinder(refused), *sys.meta_path])
    with pytest.raises(ZeroDivisionError):
        import_by_full_name("no_such_module_here")
    assert recorder.calls == []


# ---------------------------------------------------------------- leaks


# Each call of import_by_full_name runs the import machinery several times,
# so it gets fewer rounds; a leak per call still shows far above tolerance.
IMPORT_ROUNDS = {"rounds": 500, "warmup": 200}


@pytest.mark.parametrize(
    "call, args, expect",
    [
        (get_attribute_full_name, (Outer.Inner,), None),
        (get_attribute_full_name, (enclosing(),), None),
        (get_attribute_full_name, (5,), AttributeError),
        (get_attribute_full_name, (Ordinary(),), AttributeError),
        (get_attribute_full_name, (), TypeError),
        (get_attribute_full_name, (int, int), TypeError),
        (import_by_full_name, ("json",), None),
        (import_by_full_name, ("collections.OrderedDict",), None),
        (import_by_full_name, ("",), None),
        (import_by_full_name, (5,), AttributeError),
        (import_by_full_name, (), TypeError),
    ],
)
def test_no_leaks(no_leak, call, args, expect):
    options = IMPORT_ROUNDS if call is import_by_full_name and args else {}
    no_leak(call, args=args, expect=expect, **options)


def test_no_leaks_with_keywords(no_leak):
    no_leak(get_attribute_full_name, kwargs={"cls": int}, expect=TypeError)
    no_leak(import_by_full_name, args=("json",), kwargs={"x": 1}, expect=TypeError)


def test_no_leaks_when_a_qualname_read_fails(no_leak, probe):
    no_leak(
        get_attribute_full_name,
        args=(probe(__module__="m", __qualname__=RuntimeError, __name__="Y"),),
    )


def test_no_leaks_when_loadclass_raises(no_leak, monkeypatch):
    def loadclass(name):
        raise LookupError(name)

    monkeypatch.setattr(jsonpickle.unpickler, "loadclass", loadclass)
    no_leak(import_by_full_name, args=("no_such_module_here",), expect=LookupError, **IMPORT_ROUNDS)


# ------------------------------------------- failures the import system is certain of


def _count_calls(monkeypatch, owner, attribute, only_from=None):
    """Replaces owner.attribute with a wrapper that records its calls (those
    from a frame of the file only_from, when given) and calls the original."""
    calls = []
    original = getattr(owner, attribute)

    def wrapper(*args, **kwargs):
        if only_from is None or sys._getframe(1).f_code.co_filename == only_from:
            calls.append(args)
        return original(*args, **kwargs)

    monkeypatch.setattr(owner, attribute, wrapper)
    return calls


class _PathlessModule(types.ModuleType):
    @property
    def __path__(self):
        raise AttributeError("no path of mine")


def _lazy_module(name):
    module = types.ModuleType(name)

    def __getattr__(attribute):
        raise AttributeError(f"lazy {attribute}")

    module.__getattr__ = __getattr__
    return module


def _package(name):
    module = types.ModuleType(name)
    module.__path__ = []
    return module


def _parent(monkeypatch, module):
    monkeypatch.setitem(sys.modules, module.__name__, module)
    return module.__name__ + ".child"


BOOTSTRAP = "<frozen importlib._bootstrap>"


def _reword_not_a_package(monkeypatch):
    """Gives _find_and_load_unlocked a new __code__ whose message says more."""
    function = importlib._bootstrap._find_and_load_unlocked
    code = function.__code__
    consts = tuple(
        c + " (reworded)" if isinstance(c, str) and c.endswith("is not a package") else c
        for c in code.co_consts
    )
    assert consts != code.co_consts
    monkeypatch.setattr(function, "__code__", code.replace(co_consts=consts))
    return "os.path.join"


def _lock_manager():
    bootstrap = importlib._bootstrap
    return getattr(bootstrap, "_HierarchicalLockManager", None) or bootstrap._ModuleLockManager


def _initializing_parent(monkeypatch):
    module = types.ModuleType("initializing_parent")
    module.__spec__ = importlib.machinery.ModuleSpec(module.__name__, None)
    module.__spec__._initializing = True
    return _parent(monkeypatch, module)


# Each case changes one input of the shortcut and gives the name to import and
# the calls that show the import system ran (None: the answer alone shows it).
CERTAIN_FAILURE_CASES = {
    "plain": lambda mp: ("os.path.join", None),
    "exception-class": lambda mp: ("builtins.ValueError", None),
    "rebound-import-module": lambda mp: (
        "os.path.join",
        _count_calls(mp, importlib, "import_module"),
    ),
    "rebound-find-and-load": lambda mp: (
        "os.path.join",
        _count_calls(mp, importlib._bootstrap, "_find_and_load"),
    ),
    "rebound-builtin": lambda mp: (
        "os.path.join",
        _count_calls(mp, builtins, "isinstance", only_from=BOOTSTRAP),
    ),
    "rebound-message-prefix": lambda mp: (
        mp.setattr(importlib._bootstrap, "_ERR_MSG_PREFIX", "Gone: ") or "os.path.join",
        None,
    ),
    "name-in-sys-modules": lambda mp: (
        mp.setitem(sys.modules, "os.path.join", json) or "os.path.join",
        None,
    ),
    "module-subclass-parent": lambda mp: (
        _parent(mp, _PathlessModule("pathless_parent")),
        None,
    ),
    "parent-with-getattr": lambda mp: (_parent(mp, _lazy_module("lazy_parent")), None),
    "parent-is-a-package": lambda mp: (_parent(mp, _package("empty_package")), None),
    "reassigned-code": lambda mp: (_reword_not_a_package(mp), None),
    "patched-lock-class": lambda mp: (
        "os.path.join",
        _count_calls(mp, _lock_manager(), "__enter__"),
    ),
    "sys-modules-rebound": lambda mp: (
        mp.setattr(sys, "modules", {**sys.modules, "os.path.join": json}) or "os.path.join",
        None,
    ),
    "initializing-parent": lambda mp: (_initializing_parent(mp), None),
}


def _outcome(call):
    """What a call gives: its result, or its exception as the import system makes it."""
    try:
        return ("returned", call())
    except Exception as error:
        context = error.__context__
        return (
            type(error),
            str(error),
            getattr(error, "name", None),
            error.__cause__,
            error.__suppress_context__,
            type(context),
            str(context),
            getattr(context, "name", None),
            getattr(context, "obj", None),
        )


@pytest.mark.parametrize("case", CERTAIN_FAILURE_CASES)
def test_a_certain_failure_is_the_import_systems(monkeypatch, case):
    name, calls = CERTAIN_FAILURE_CASES[case](monkeypatch)
    handled = []
    real_loadclass = jsonpickle.unpickler.loadclass

    def loadclass(full_name):
        handled.append(_outcome(lambda: (_ for _ in ()).throw(sys.exc_info()[1])))
        return real_loadclass(full_name)

    monkeypatch.setattr(jsonpickle.unpickler, "loadclass", loadclass)
    result = import_by_full_name(name)
    if calls is not None:
        assert calls
    monkeypatch.setattr(jsonpickle.unpickler, "loadclass", real_loadclass)
    expected = _outcome(lambda: importlib.import_module(name))
    if expected[0] == "returned":
        assert (handled, result) == ([], expected[1])
    else:
        assert handled == [expected]
        assert result is real_loadclass(name)


@pytest.mark.parametrize(
    "case", ["reassigned-code", "patched-lock-class", "rebound-builtin", "sys-modules-rebound"]
)
def test_a_certain_failure_is_the_import_systems_from_the_first_call(case):
    """The same cases in a fresh interpreter, the change made before anything is captured."""
    code = (
        f"import sys; sys.path.insert(0, {os.path.dirname(__file__)!r})\n"
        "import pytest, test_full_names\n"
        "test_full_names.test_a_certain_failure_is_the_import_systems("
        f"pytest.MonkeyPatch(), {case!r})\n"
    )
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert child.returncode == 0, child.stderr[-3000:]


def test_an_audit_hook_sees_a_certain_failure_as_the_import_system_raises_it():
    """A hook that makes the parent a package when the import is announced."""
    code = """if True:
        import importlib, sys, types
        from dravolt_common.utils.payload_wrapper import import_by_full_name
        parent = sys.modules["hooked_parent"] = types.ModuleType("hooked_parent")
        seen = []

        def hook(event, args):
            if event == "import" and args[0] == "hooked_parent.child":
                seen.append(args[0])
                parent.__path__ = []

        sys.addaudithook(hook)
        heard = []
        for call in (importlib.import_module, import_by_full_name) * 2:
            vars(parent).pop("__path__", None)
            seen.clear()
            try:
                call("hooked_parent.child")
            except ImportError:
                pass
            heard.append(len(seen))
        assert heard[0::2] == heard[1::2], heard
    """
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert child.returncode == 0, child.stderr[-3000:]


def test_a_certain_failure_is_seen_by_a_profiler():
    seen = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code.co_name == "_find_and_load":
            seen.append(frame.f_code.co_filename)

    sys.setprofile(profile)
    try:
        import_by_full_name("os.path.join")
    finally:
        sys.setprofile(None)
    assert seen == [BOOTSTRAP]


def test_a_certain_failure_waits_for_a_held_module_lock():
    import threading

    lock = importlib._bootstrap._get_module_lock("os.path.join")
    lock.acquire()
    done = threading.Event()
    worker = threading.Thread(target=lambda: (import_by_full_name("os.path.join"), done.set()))
    try:
        worker.start()
        assert not done.wait(0.3)
    finally:
        lock.release()
    worker.join(10)
    assert done.is_set()
