"""Functions of the modules called again while the frame makes what it keeps
for the life of the process: from a gc callback or a finaliser that a
collection runs inside the first traceback entry, from a second thread while
the first waits there, and after that making failed for want of memory.

Each case runs in a child forked from a fresh interpreter that has made no
traceback entry yet, once for each collection or allocation during the first
entry; a fault aborts or hangs the child.
"""

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

TESTS = str(Path(__file__).resolve().parent)

PRELUDE = (
    f"import sys\nsys.path.insert(0, {TESTS!r})\n"
    + """
import gc, threading
import forked
import dravolt_common.utils.payload_wrapper as pw

SOURCE_PATH = "dravolt_common/utils/payload_wrapper"


def has_entry(exc):
    tb = exc.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code.co_filename == SOURCE_PATH:
            return True
        tb = tb.tb_next
    return False


def failing_call():
    # TypeError: get_attribute_full_name() takes exactly one argument (0 given)
    try:
        pw.get_attribute_full_name()
    except TypeError as exc:
        return exc
    raise AssertionError("the call did not fail")


def in_children(case, cases=range(4, 64)):
    # case(n) tells whether it reached its point; the count of those.
    print(sum(forked.statuses(case, cases).values()))


class Plain:
    # No free list: each instance is one allocation of the collector.
    pass


def at_collection(n, action):
    # Runs action at the (n // 4)-th collection during the first failing
    # call, with n % 4 more allocations before it, so that some collection
    # falls inside each allocation of the entry.
    seen = {"collections": 0, "ran": False, "infos": []}

    def callback(phase, info):
        # Keeping each info dict keeps it from refilling the dict free list.
        seen["infos"].append(info)
        if phase == "start":
            seen["collections"] += 1
            if seen["collections"] == n // 4:
                seen["ran"] = True
                action()

    gc.collect()
    gc.callbacks.append(callback)
    # Drain the dict free list, so that the entry's dicts come from the collector.
    held = [{} for _ in range(200)]
    shift = [None] * 4
    gc.set_threshold(1)
    for i in range(n % 4):
        shift[i] = Plain()
    try:
        outer = failing_call()
    finally:
        gc.set_threshold(700)
        gc.callbacks.remove(callback)
    assert has_entry(outer)
    del held, shift
    return seen["ran"]
"""
)


def reached(code):
    """Runs the cases of ``code`` in a fresh interpreter; the number that reached their point."""
    proc = subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert proc.returncode == 0, proc.stderr
    return int(proc.stdout)


def test_gc_callback_calls_in_while_the_first_entry_is_made():
    code = """
        def case(n):
            inner = []
            ran = at_collection(n, lambda: inner.append(failing_call()))
            assert all(has_entry(exc) for exc in inner)
            return ran

        in_children(case)
        """
    assert reached(code) > 0


def test_finaliser_calls_in_while_the_first_entry_is_made():
    code = """
        class Garbage:
            def __init__(self, inner):
                self.cycle, self.inner = self, inner

            def __del__(self):
                self.inner.append(failing_call())

        def case(n):
            # The collection that the callback starts finalises the garbage.
            inner = []
            ran = at_collection(n, lambda: Garbage(inner))
            assert all(has_entry(exc) for exc in inner)
            return ran and bool(inner)

        in_children(case)
        """
    assert reached(code) > 0


def test_second_thread_fails_while_the_first_entry_waits():
    code = """
        def case(n):
            inner = []
            second = threading.Thread(target=lambda: inner.append(failing_call()))

            def let_the_second_run():
                second.start()
                second.join(5)
                assert not second.is_alive()

            ran = at_collection(n, let_the_second_run)
            assert all(has_entry(exc) for exc in inner)
            return ran

        in_children(case)
        """
    assert reached(code) > 0


def test_entry_lost_to_a_failed_allocation_is_made_at_the_next_failure():
    pytest.importorskip("_testcapi")
    code = """
        import _testcapi

        def case(k):
            first = None
            held = [{} for _ in range(200)]  # the dict free list, drained
            try:
                _testcapi.set_nomemory(k, k + 1)
                try:
                    pw.get_attribute_full_name()
                except BaseException as exc:
                    first = exc
                _testcapi.remove_mem_hooks()
            except BaseException:
                # The failed allocation was the harness's, not the call's.
                _testcapi.remove_mem_hooks()
                return False
            assert has_entry(failing_call())
            return not has_entry(first)

        in_children(case, range(80))
        """
    assert reached(code) > 0
