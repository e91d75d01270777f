import pickle
import traceback

import pytest

from dravolt_common import _tracebacks, payloads
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
    ],
    ids=["file", "name", "qualname", "first line"],
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
        [("a.py", 1, "f", None, 0)],
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
