"""Reference and memory leak check for calls into the native modules.

``assert_no_leak(call, args=..., kwargs=..., expect=...)`` repeats one call
many times after a warm-up and fails when the call leaves references behind
on the objects it was given (the callable, the positional arguments and the
keyword values) or leaves memory blocks allocated.  With ``expect`` set to an
exception type, every call must raise it; the exception and its traceback are
dropped straight away, so the error path is measured as well.
"""

import gc
import itertools
import sys

# One leaked reference or object per call shows as a drift of ``rounds``;
# interpreter caches and free lists account for a handful at most.
_DEFAULT_ROUNDS = 2000
_DEFAULT_WARMUP = 200


def _settle():
    gc.collect()
    # The type attribute cache keeps a reference to each attribute name it
    # saw (up to 4096 of them), which looks like a leak of every name that
    # a call builds afresh.
    sys._clear_type_cache()


def _repeat(once, times):
    # itertools.repeat keeps no loop counter alive, so no int objects are
    # created or held by the loop itself.
    for _ in itertools.repeat(None, times):
        once()


def _make_once(call, args, kwargs, expect):
    if expect is None:

        def once():
            call(*args, **kwargs)

        return once

    def once():
        try:
            call(*args, **kwargs)
        except expect:
            return
        raise AssertionError(f"{call!r} did not raise {expect.__name__}")

    return once


def assert_no_leak(
    call,
    *,
    args=(),
    kwargs=None,
    expect=None,
    rounds=_DEFAULT_ROUNDS,
    warmup=_DEFAULT_WARMUP,
    tolerance=None,
):
    """Fail if ``call(*args, **kwargs)`` leaks references or memory.

    ``expect``: None for a call that must return normally, or an exception
    class (or tuple of classes) that every call must raise.
    ``tolerance``: the drift in reference counts and in allocated blocks that
    still passes; by default a tenth of ``rounds``, far below the drift of
    one leaked reference or object per call.
    """
    kwargs = dict(kwargs or {})
    if tolerance is None:
        tolerance = rounds // 10
    once = _make_once(call, tuple(args), kwargs, expect)
    tracked = [call, *args, *kwargs.values()]
    labels = ["the callable"]
    labels += [f"positional argument {i}" for i in range(len(args))]
    labels += [f"keyword argument {k!r}" for k in kwargs]

    _repeat(once, warmup)
    _settle()
    refs_before = [sys.getrefcount(obj) for obj in tracked]
    blocks_before = sys.getallocatedblocks()

    _repeat(once, rounds)

    _settle()
    blocks_after = sys.getallocatedblocks()
    refs_after = [sys.getrefcount(obj) for obj in tracked]

    problems = []
    for label, before, after in zip(labels, refs_before, refs_after, strict=True):
        if abs(after - before) > tolerance:
            problems.append(
                f"reference count of {label} went from {before} to {after} over {rounds} calls"
            )
    if blocks_after - blocks_before > tolerance:
        problems.append(
            f"allocated blocks grew from {blocks_before} to {blocks_after} over {rounds} calls"
        )
    if problems:
        raise AssertionError(f"{call!r} leaks: " + "; ".join(problems))
