import pytest

from leakcheck import assert_no_leak

_kept = []


def _keeps_argument(obj, **kwargs):
    _kept.append(obj)


def _keeps_keyword_value(**kwargs):
    _kept.extend(kwargs.values())


def _keeps_new_objects():
    _kept.append(object())


def _keeps_exceptions():
    exc = ValueError("kept")
    _kept.append(exc)
    raise exc


def _raises():
    raise ValueError("dropped")


@pytest.fixture(autouse=True)
def _forget_kept():
    yield
    _kept.clear()


@pytest.mark.parametrize(
    "call, options, complaint",
    [
        (_keeps_argument, {"args": (object(),)}, "positional argument 0"),
        (_keeps_keyword_value, {"kwargs": {"k": object()}}, "keyword argument 'k'"),
        (_keeps_new_objects, {}, "allocated blocks"),
        (_keeps_exceptions, {"expect": ValueError}, "allocated blocks"),
    ],
)
def test_leaking_calls_are_reported(call, options, complaint):
    with pytest.raises(AssertionError, match=complaint):
        assert_no_leak(call, **options)


@pytest.mark.parametrize(
    "call, options",
    [
        (len, {"args": ("abc",)}),
        (dict, {"kwargs": {"a": object()}}),
        (_raises, {"expect": ValueError}),
        (int, {"args": ("x",), "expect": ValueError}),
    ],
)
def test_clean_calls_pass(call, options):
    assert_no_leak(call, **options)


def test_a_call_that_should_raise_but_returns_fails():
    with pytest.raises(AssertionError, match="did not raise ValueError"):
        assert_no_leak(len, args=("abc",), expect=ValueError)


def test_an_unexpected_exception_propagates():
    with pytest.raises(ValueError):
        assert_no_leak(_raises, expect=KeyError)
