"""Cases run in children forked from one interpreter, each with a time limit,
so that a crash or a hang of one shows as that child's end.

Used inside a fresh interpreter that the test starts (``sys.path`` holding
this folder): the children share the state the parent had at the fork, such
as a module loaded once, or nothing made yet.
"""

import os
import signal
import time
import traceback


def run_in_child(case, value, timeout=10):
    """The status (0 to 99) that ``case(value)`` returns in a forked child.

    Fails with AssertionError when the child raises, crashes or hangs.
    """
    pid = os.fork()
    if pid == 0:
        status = 100
        try:
            status = int(case(value))
        except BaseException:
            traceback.print_exc()
        finally:
            os._exit(status)
    deadline = time.monotonic() + timeout
    while True:
        done, wait_status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            raise AssertionError(f"case {value} hangs")
        time.sleep(0.002)
    code = os.waitstatus_to_exitcode(wait_status)
    assert 0 <= code < 100, f"case {value} ended with {code}"
    return code


def statuses(case, values, until=None, timeout=10):
    """The status of ``case`` for each value, in order; stops after the first
    status for which ``until`` is true."""
    found = {}
    for value in values:
        found[value] = run_in_child(case, value, timeout)
        if until is not None and until(found[value]):
            break
    return found
