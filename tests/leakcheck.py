"""Reference and memory leak check for calls into the native modules.

``assert_no_leak(call, args=..., kwargs=..., expect=...)`` repeats one call
many times after a warm-up and fails when the call leaves references behind
on the objects it was given (the callable, the positional arguments and the
keyword values) or on what it returns, or leaves memory blocks allocated.
With ``expect`` set to an exception type, every call must raise it; the
exception and its traceback are dropped straight away, so the error path is
measured as well.

A debug build of CPython, which counts every reference, is not at hand here.
Memory is measured twice: by ``sys.getallocatedblocks()``, the blocks of the
interpreter's small-object allocator, and by ``tracemalloc``, which sees every
allocation, the large ones and those under ``PYTHONMALLOC=malloc`` (where the
allocator has no blocks to count) included.
"""

import gc
import itertools
import sys
import tracemalloc

import figures

# One leaked reference or object per call shows as a drift of ``rounds``;
# interpreter caches and free lists account for a handful at most.
_DEFAULT_ROUNDS = 2000
_DEFAULT_WARMUP = 200
# tracemalloc slows each call down: it watches a quarter of the rounds, and
# fails past this many bytes per watched call, below the size of the smallest
# object a call could leave behind (an int: 28) and above what the import
# system caches (about 1 kB, whatever the number of calls).
_TRACED_SHARE = 4
_TRACED_BYTES_PER_CALL = 24
# At least this many watched calls in each run, whatever the scale, so that
# the import system's kilobyte stays under the threshold.
_LEAST_TRACED_ROUNDS = 64
# From 3.13 the old name warns, and each warning that pytest records is
# memory that looks like a leak of the call being checked.
_clear_type_cache = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache


def _settle():
    gc.collect()
    # The type attribute cache keeps a reference to each attribute name it
    # saw (up to 4096 of them), which looks like a leak of every name that
    # a call builds afresh.
    _clear_type_cache()


def _repeat(once, times):
    # itertools.repeat keeps no loop counter alive, so no int objects are
    # created or held by the loop itself.
    for _ in itertools.repeat(None, times):
        once()


def _make_once(call, args, kwargs, expect):
    if expect is None:

        def once():
            return call(*args, **kwargs)

        return once

    def once():
        try:
            call(*args, **kwargs)
        except expect:
            return None
        raise AssertionError(f"{call!r} did not raise {expect.__name__}")

    return once


def _traced_growth(once, rounds, warmup):
    """Bytes that tracemalloc sees allocated and kept over ``rounds`` calls.

    Counted over two runs of ``rounds`` calls, the smaller growth: a leak
    grows both, while a table of the interpreter that happens to resize
    during one run (the interned strings, a cache of the import system or of
    a finder on the meta path) shows its whole new size in that run alone.
    """
    started = not tracemalloc.is_tracing()
    if started:
        tracemalloc.start()
    try:
        _repeat(once, warmup)
        growths = []
        for _ in range(2):
            _settle()
            before = tracemalloc.get_traced_memory()[0]
            _repeat(once, rounds)
            _settle()
            growths.append(tracemalloc.get_traced_memory()[0] - before)
        return min(growths)
    finally:
        if started:
            tracemalloc.stop()


def assert_no_leak(
    call,
    *,
    args=(),
    kwargs=None,
    expect=None,
    rounds=_DEFAULT_ROUNDS,
    warmup=_DEFAULT_WARMUP,
    tolerance=None,
    check="reference leaks",
):
    """Fail if ``call(*args, **kwargs)`` leaks references or memory.

    ``expect``: None for a call that must return normally, or an exception
    class (or tuple of classes) that every call must raise.
    ``tolerance``: the drift in reference counts and in allocated blocks that
    still passes; by default a tenth of ``rounds``, far below the drift of
    one leaked reference or object per call.
    ``check``: the line of the run's figures that counts the call, or None.
    """
    # What exists already is left out of the collections that settle the
    # counts: they then take microseconds, not the tens of milliseconds of a
    # full collection of a test run's heap.
    gc.freeze()
    try:
        _assert_no_leak(call, args, kwargs, expect, rounds, warmup, tolerance, check)
    finally:
        gc.unfreeze()


def _assert_no_leak(call, args, kwargs, expect, rounds, warmup, tolerance, check):
    kwargs = dict(kwargs or {})
    if tolerance is None:
        tolerance = rounds // 10
    once = _make_once(call, tuple(args), kwargs, expect)
    tracked = [call, *args, *kwargs.values()]
    labels = ["the callable"]
    labels += [f"positional argument {i}" for i in range(len(args))]
    labels += [f"keyword argument {k!r}" for k in kwargs]

    _repeat(once, warmup)
    # A result that every call shares (a module, an interned name) shows a
    # reference taken too many or too few; a new one each time shows in memory.
    result = once()
    if result is not None:
        tracked.append(result)
        labels.append("the result")
    _settle()
    refs_before = [sys.getrefcount(obj) for obj in tracked]
    blocks_before = sys.getallocatedblocks()

    _repeat(once, rounds)

    _settle()
    blocks_after = sys.getallocatedblocks()
    refs_after = [sys.getrefcount(obj) for obj in tracked]
    traced_rounds = max(_LEAST_TRACED_ROUNDS, rounds // _TRACED_SHARE // 2)
    traced = _traced_growth(once, traced_rounds, max(1, warmup // _TRACED_SHARE))

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
    if traced > _TRACED_BYTES_PER_CALL * traced_rounds:
        problems.append(
            f"traced memory grew by {traced} bytes or more over each of two runs of {traced_rounds} calls"
        )
    if check:
        figures.add(
            check,
            calls_checked=1,
            calls_made=warmup + rounds + 2 * traced_rounds + warmup // _TRACED_SHARE + 1,
            leaks_found=bool(problems),
        )
    if problems:
        raise AssertionError(f"{call!r} leaks: " + "; ".join(problems))
