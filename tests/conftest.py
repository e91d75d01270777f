import collections

import pytest

from leakcheck import assert_no_leak


class Probe:
    """An object whose reads of chosen attributes are scripted.

    ``Probe(__module__="m", __qualname__=RuntimeError)`` answers a read of
    ``__module__`` with "m" and raises a new RuntimeError on a read of
    ``__qualname__``; attributes not named behave as usual.  ``reads`` counts
    the reads of each scripted attribute.
    """

    def __init__(self, **answers):
        object.__setattr__(self, "_answers", answers)
        object.__setattr__(self, "reads", collections.Counter())

    def __getattribute__(self, name):
        answers = object.__getattribute__(self, "_answers")
        if name not in answers:
            return object.__getattribute__(self, name)
        object.__getattribute__(self, "reads")[name] += 1
        answer = answers[name]
        if isinstance(answer, type) and issubclass(answer, BaseException):
            raise answer(f"reading {name}")
        return answer


@pytest.fixture
def probe():
    return Probe


@pytest.fixture
def no_leak():
    """``assert_no_leak`` from ``leakcheck``, for tests that prefer a fixture."""
    return assert_no_leak


def pytest_terminal_summary(terminalreporter):
    import figures

    found = figures.lines()
    if found:
        terminalreporter.section(f"reliability figures (scale {figures.scale():g})")
        for line in found:
            terminalreporter.write_line(line)
        figures.keep(found)
