import itertools

import pytest

import leakcheck
from leakcheck import assert_no_leak

_kept = []
_SHARED = object()


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


def _keeps_its_result():
    _kept.append(_SHARED)
    return _SHARED


def _keeps_large_objects():
    # Past the small-object allocator: no block to count, only tracemalloc sees it.
    _kept.append(bytearray(4096))


def _raises():
    raise ValueError("dropped")


def _grows_a_table_once():
    """Keeps one large block at one call of the traced runs, as an interpreter
    table that resizes (the interned strings, say) does: not a leak."""
    first_traced_run = (
        leakcheck._DEFAULT_WARMUP
        + leakcheck._DEFAULT_ROUNDS
        + 1
        + leakcheck._DEFAULT_WARMUP // leakcheck._TRACED_SHARE
    )
    calls = itertools.count()

    def call():
        if next(calls) == first_traced_run + 10:
            _kept.append(bytearray(1 << 20))

    return call


@pytest.fixture(autouse=True)
def _forget_kept():
    yield
    _kept.clear()


@pytest.mark.parametrize(
    "call, options, complaint",
    [
        (_keeps_argument, {"args": (object(),)}, "positional argument 0"),
        (_keeps_keyword_value, {"kwargs": {"k": object()}}, "keyword argument 'k'"),
        (_keeps_new_objects, {}, "allocated blocks|traced memory"),
        (_keeps_exceptions, {"expect": ValueError}, "allocated blocks|traced memory"),
        (_keeps_its_result, {}, "reference count of the result"),
        (_keeps_large_objects, {}, "traced memory"),
    ],
)
def test_leaking_calls_are_reported(call, options, complaint):
    with pytest.raises(AssertionError, match=complaint):
        assert_no_leak(call, check=None, **options)


@pytest.mark.parametrize(
    "call, options",
    [
        (len, {"args": ("abc",)}),
        (dict, {"kwargs": {"a": object()}}),
        (_raises, {"expect": ValueError}),
        (int, {"args": ("x",), "expect": ValueError}),
        (lambda: _SHARED, {}),
        (_grows_a_table_once(), {}),
    ],
)
def test_clean_calls_pass(call, options):
    assert_no_leak(call, check=None, **options)


def test_a_call_that_should_raise_but_returns_fails():
    with pytest.raises(AssertionError, match="did not raise ValueError"):
        assert_no_leak(len, args=("abc",), expect=ValueError, check=None)


def test_an_unexpected_exception_propagates():
    with pytest.raises(ValueError):
        assert_no_leak(_raises, expect=KeyError, check=None)
