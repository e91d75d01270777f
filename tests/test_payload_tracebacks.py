import builtins
import pickle
import traceback

import jsonpickle.unpickler
import pytest

from dravolt_common import _tracebacks, payloads
from dravolt_common.utils import payload_wrapper
from dravolt_common.utils.special_unpicklers import TRACEBACK_TEXT_KEY, unpickle_exception

ENTRY = ("/src/app.py", 12, "work", "Job.work", 10)


def _shown(tb):
    return [(e.filename, e.lineno, e.name) for e in traceback.extract_tb(tb)]


@pytest.mark.parametrize(
    "other",
    [
        ("/src/other.py", 12, "work", "Job.work", 10),
        ("/src/app.py", 12, "rest", "Job.work", 10),
        ("/src/app.py", 12, "work", "Task.work", 10),
        ("/src/app.py", 12, "work", "Job.work", 11),
        # Code compiled without positions starts at line 0; a traceback made
        # by hand may carry any line.
        ("/src/app.py", 0, "work", "Job.work", 0),
        ("/src/app.py", -5, "work", "Job.work", 9),
    ],
    ids=["file", "name", "qualname", "first line", "line 0", "negative line"],
)
def test_entries_that_differ_in_one_value_get_codes_of_their_own(other):
    tb = _tracebacks.rebuild([ENTRY, other])

    first, second = tb.tb_frame.f_code, tb.tb_next.tb_frame.f_code
    assert _tracebacks.entries(tb) == (
        _tracebacks.entries(_tracebacks.rebuild([ENTRY]))[0],
        _tracebacks.entries(_tracebacks.rebuild([other]))[0],
    )
    assert first is not second and first.co_firstlineno == 10


@pytest.mark.parametrize(
    "recorded",
    [
        ("a.py", 1, "f", None, 1),
        [("a.py", 1, "f")],
        [(b"a.py", 1, "f", None, 1)],
        [("a.py", "1", "f", None, 1)],
        [("a.py", 1, "f", None, 2**31)],
        [("a.py", 1, "f", None, -1)],
        [("a.py", True, "f", None, 1)],
        {"a.py": 1},
    ],
)
def test_a_malformed_traceback_is_refused_when_loaded(recorded):
    with pytest.raises(TypeError, match="traceback"):
        unpickle_exception(ValueError, ("x",), {TRACEBACK_TEXT_KEY: recorded})


def test_entries_without_qualified_name_or_first_line_take_the_name_and_line():
    tb = _tracebacks.rebuild([["w.py", 7, "run", None, None], ("w.py", None, "go", None, None)])

    assert _shown(tb) == [("w.py", 7, "run"), ("w.py", tb.tb_next.tb_lineno, "go")]
    assert tb.tb_frame.f_code.co_firstlineno == 7


TEXT_ENTRY = '  File "/w/a.py", line 3, in f\n    g()\n    ~^^\n'


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("Traceback (most recent call last):\n" + TEXT_ENTRY, [("/w/a.py", 3, "f")]),
        (
            "Traceback (most recent call last):\n"
            + TEXT_ENTRY
            + "  [Previous line repeated 2 more times]\n",
            [("/w/a.py", 3, "f")] * 3,
        ),
        ("Traceback (most recent call last):\n" + TEXT_ENTRY + "ValueError: x\n", None),
        (TEXT_ENTRY, None),
    ],
    ids=["entry", "repeated", "not an entry", "no header"],
)
def test_a_pools_text_gives_its_entries_or_nothing(text, expected):
    found = _tracebacks.entries_from_text(text)

    assert (found if found is None else [entry[:3] for entry in found]) == expected


class ArgsProperty(Exception):
    @property
    def args(self):
        return ("from the property",)


class RaisingArgs(Exception):
    @property
    def args(self):
        raise RuntimeError("no args here")


@pytest.mark.parametrize("cls", [ArgsProperty, RaisingArgs])
def test_an_args_property_does_not_hide_the_real_arguments(cls):
    original = cls("real", 2)

    loaded = pickle.loads(payloads.dumps(original))

    real = BaseException.args.__get__
    assert type(loaded) is cls and real(loaded) == real(pickle.loads(pickle.dumps(original)))
    assert real(loaded) == ("real", 2)


class Outer:
    class Inner(Exception):
        pass


NAMES = [
    "posixpath.join",
    "builtins.ValueError",
    "builtins.nothing",
    "collections.OrderedDict",
    "json.decoder.JSONDecodeError",
    "json.JSONDecodeError",
    f"{__name__}.Outer.Inner",
    f"{__name__}.Outer.Missing",
    "posixpath.join.__name__.x",
    "no_such_module_here.f",
    "json",
    ".X",
    "os.path.join",
    "__builtin__.len",
    "exceptions.ValueError",
]


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize(
    "resolve", [None, jsonpickle.unpickler.loadclass], ids=["wrapper", "loadclass"]
)
def test_a_name_is_checked_by_reading_with_the_answer_of_the_real_call(name, resolve):
    found = payloads._loaded_resolution(name, resolve)

    real = payload_wrapper.import_by_full_name if resolve is None else resolve
    try:
        expected = real(name)
    except Exception:
        expected = None
    assert found is payloads._UNKNOWN or found is expected


def test_a_replaced_import_function_is_called_as_the_real_check(monkeypatch):
    calls = []

    def counting(*args, **kwargs):
        calls.append(args[0])
        return builtins_import(*args, **kwargs)

    builtins_import = builtins.__import__
    monkeypatch.setattr(builtins, "__import__", counting)

    assert pickle.loads(payloads.dumps(Outer.Inner)) is Outer.Inner
    assert __name__ in calls


class Slotted(Exception):
    __slots__ = ("a",)


def test_a_changed_class_is_read_again():
    original = Slotted("x")
    original.a = 1
    assert pickle.loads(payloads.dumps(original)).a == 1

    Slotted.a = "shadow"  # the slot is no longer reached by its name

    loaded = pickle.loads(payloads.dumps(original))
    assert (loaded.a, vars(loaded)) == (original.a, {})
