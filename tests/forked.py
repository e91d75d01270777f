"""Cases run in children forked from one interpreter, each with a time limit,
so that a crash or a hang of one shows as that child's end.

Used inside a fresh interpreter that the test starts (``sys.path`` holding
this folder), or inside the test process itself: the children share the
state the parent had at the fork, such as a module loaded once, or nothing
made yet, and whatever a case changes dies with its child.
"""

import json
import os
import pickle
import select
import signal
import subprocess
import sys
import time
import traceback
from pathlib import Path


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


class ChildFailed(AssertionError):
    """A forked case that raised, crashed or hung; ``status`` is the child's
    exit status, or minus the signal that ended it, or None."""

    def __init__(self, message, status=None):
        super().__init__(message)
        self.status = status


def result_in_child(case, value, timeout=10):
    """What ``case(value)`` returns, run in a forked child; the result must
    pickle, and travels back through a pipe.

    Raises ChildFailed, with what went wrong, when the child raises (the
    traceback), dies of a signal or an exit of its own, or outlives
    ``timeout`` seconds (it is killed).
    """
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        try:
            message = pickle.dumps((True, case(value)))
        except BaseException:
            message = pickle.dumps((False, traceback.format_exc()))
        view = memoryview(message)
        while view:
            view = view[os.write(write_end, view) :]
        os._exit(0)
    os.close(write_end)
    chunks = []
    deadline = time.monotonic() + timeout
    try:
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not select.select([read_end], [], [], remaining)[0]:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                raise ChildFailed(f"case {value!r} hangs (killed after {timeout} s)")
            chunk = os.read(read_end, 1 << 16)
            if not chunk:
                break
            chunks.append(chunk)
    finally:
        os.close(read_end)
    code = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
    if code != 0 or not chunks:
        how = f"signal {-code} ({signal.strsignal(-code)})" if code < 0 else f"exit status {code}"
        raise ChildFailed(f"case {value!r} ended with {how}", code)
    returned, result = pickle.loads(b"".join(chunks))
    if not returned:
        raise ChildFailed(f"case {value!r} raised:\n{result}")
    return result


def quiet_child():
    """For a child about to run hostile code: exceptions that the interpreter
    can only report (from finalisers and gc callbacks) are not printed, and
    the objects of the parent are left out of the child's collections."""
    import gc

    sys.unraisablehook = lambda unraisable: None
    gc.freeze()


def report_from_fresh_interpreter(module, call, timeout):
    """The JSON that ``module.<call>`` prints, run in a fresh interpreter with
    this folder on ``sys.path`` (``call`` is the text of the call, say
    ``"main(8, 1000)"``); fails with the end of its stderr when it does not
    exit normally within ``timeout`` seconds."""
    tests = str(Path(__file__).resolve().parent)
    code = f"import sys; sys.path.insert(0, {tests!r})\nimport {module}\n{module}.{call}\n"
    proc = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout
    )
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(proc.stdout)
