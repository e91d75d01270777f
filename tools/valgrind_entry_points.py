"""Every entry point of both extension modules under valgrind's memcheck.

``python tools/valgrind_entry_points.py`` runs this file again under valgrind
(``PYTHONMALLOC=malloc``, so that memcheck sees each of the interpreter's
allocations), with ``--run``, which imports both modules and makes every call
of ``tests/failing_allocations.py`` (each public function and method on its
success and error paths) a few times; calls them again from a gc callback and
a finaliser while calls are in flight, and from a second thread; and fails
each allocation of the calls that do not import, one at a time.  Then it
reads valgrind's XML report and prints one line: the errors whose stack runs
through the two modules, and the others (the interpreter's own: none on 3.10,
3.12 and 3.13; on 3.11.7, uses of the uninitialised digits that
``int.from_bytes`` leaves, which no suppression hides since the stage runs on
3.10).  It exits with status 1 when an error is in our code.

The interpreter to run is the one running this script (``./dev.sh valgrind``
runs it with that of ``.venv-X.Y``).
"""

import gc
import os
import subprocess
import sys
import tempfile
import threading
import xml.etree.ElementTree as ElementTree
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# Our shared libraries, as valgrind names the object of a frame.
OURS = ("payload_wrapper.cpython", "callable_naming.cpython")
ROUNDS = 3


def workload():
    """Under valgrind: the calls; returns how many were made."""
    sys.path.insert(0, str(ROOT / "tests"))
    import _testcapi

    import failing_allocations

    table = failing_allocations.call_table()
    made = 0

    def call_all(rows):
        nonlocal made
        for _, call, args, kwargs, _ in rows:
            failing_allocations.outcome(call, args, kwargs)
            made += 1

    for _ in range(ROUNDS):
        call_all(table)

    # From a gc callback and from finalisers, while the calls run.
    reentering = [False]

    def callback(phase, info):
        if phase == "start" and not reentering[0]:
            reentering[0] = True
            try:
                call_all(table[:20])
            finally:
                reentering[0] = False

    class Garbage:
        def __init__(self):
            self.cycle = self

        def __del__(self):
            call_all(table[20:30])

    gc.callbacks.append(callback)
    gc.set_threshold(50)
    for _ in range(20):
        Garbage()
        call_all(table)
    gc.callbacks.remove(callback)
    gc.set_threshold(700)

    # A second thread, while this one calls too.
    second = threading.Thread(target=call_all, args=(table * ROUNDS,))
    second.start()
    call_all(table * ROUNDS)
    second.join()

    # One failed allocation at a time, for the calls that do not import
    # (CPython's own import system does not survive them all).
    for _, call, args, kwargs, imports in table:
        if imports:
            continue
        for k in range(40):
            failing_allocations.fail_once(k, lambda c=call, a=args, kw=kwargs: c(*a, **kw))
            made += 1
    _testcapi.remove_mem_hooks()
    return made


def errors(xml_file):
    """(errors in our code, other errors) in valgrind's XML report, each as
    its kind and the top of its stack."""
    ours, others = [], []
    for error in ElementTree.parse(xml_file).getroot().iter("error"):
        # Valgrind lists what is still allocated at exit even with
        # --leak-check=no when it writes XML.
        if error.findtext("kind", "").startswith("Leak_"):
            continue
        frames = [
            (frame.findtext("fn") or "?", frame.findtext("obj") or "?")
            for frame in error.iter("frame")
        ]
        described = f"{error.findtext('kind')}: " + " < ".join(fn for fn, _ in frames[:6])
        if any(name in obj for _, obj in frames for name in OURS):
            ours.append(described)
        else:
            others.append(described)
    return ours, others


def main():
    if sys.argv[1:] == ["--run"]:
        print(workload())
        return 0
    with tempfile.TemporaryDirectory() as scratch:
        xml_file = os.path.join(scratch, "memcheck.xml")
        command = [
            "valgrind",
            "--tool=memcheck",
            "--error-exitcode=0",
            "--track-origins=no",
            # The interpreter frees little at exit; leaks are the business of
            # the reference and memory checks of the test suite.
            "--leak-check=no",
            "--xml=yes",
            f"--xml-file={xml_file}",
            sys.executable,
            __file__,
            "--run",
        ]
        env = dict(os.environ, PYTHONMALLOC="malloc")
        proc = subprocess.run(command, capture_output=True, text=True, env=env)
        if proc.returncode != 0:
            print(proc.stdout, proc.stderr, sep="\n", file=sys.stderr)
            print(f"valgrind: the run under valgrind ended with status {proc.returncode}")
            return 1
        ours, others = errors(xml_file)
    calls = int(proc.stdout.split()[-1])
    for described in ours + others:
        print(f"valgrind: {described}")
    line = (
        f"valgrind: {len(ours)} errors in our code, {len(others)} elsewhere, over {calls:,} calls"
    )
    print(line)
    if os.environ.get("RELIABILITY_FIGURES"):
        with open(os.environ["RELIABILITY_FIGURES"], "a", encoding="utf-8") as kept:
            kept.write("CPython {}.{}: {}\n".format(*sys.version_info[:2], line))
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main())
