"""A worker process of concurrent.futures raises; what reaches the parent.

The workers are spawned, so they start from nothing: only a worker whose
initializer is ``payloads.install`` sends the exception as a payload.  The
parent installs nothing; loading needs only the package.
"""

import concurrent.futures
import json
import multiprocessing
import os.path
import traceback

from dravolt_common import payloads


class DeviceError(Exception):
    def __init__(self, device, *, retries):
        super().__init__(f"{device} failed after {retries} retries")
        self.device = device
        self.retries = retries


def open_device(path):
    try:
        open(path)
    except OSError as error:
        raise DeviceError("sda", retries=3) from error


class Counter:
    def __init__(self, start):
        self.value = start

    def __eq__(self, other):
        return type(other) is Counter and other.value == self.value

    def bump(self):
        self.value += 1
        return self.value


def hand_back(*args):
    return args


def run_in_a_worker(path, **pool_options):
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=context, **pool_options) as pool:
        return pool.submit(open_device, path).exception()


def test_with_the_reducers_the_parent_gets_the_exception_with_its_chain(tmp_path):
    missing = str(tmp_path / "missing")

    error = run_in_a_worker(missing, initializer=payloads.install)

    assert (type(error), error.args) == (DeviceError, ("sda failed after 3 retries",))
    assert (error.device, error.retries) == ("sda", 3)
    cause = error.__cause__
    assert (type(cause), cause.filename, cause.errno) == (FileNotFoundError, missing, 2)
    assert error.__context__ is cause and error.__suppress_context__
    # Each traceback is the worker's own, as extract_tb shows it there.
    first = open_device.__code__.co_firstlineno
    here = (__file__, "open_device")
    entries = [
        (e.filename, e.lineno, e.name, e.line) for e in traceback.extract_tb(error.__traceback__)
    ]
    assert entries[0][0].endswith(os.path.join("concurrent", "futures", "process.py"))
    assert entries[1:] == [
        (*here[:1], first + 4, here[1], 'raise DeviceError("sda", retries=3) from error')
    ]
    cause_entries = traceback.extract_tb(cause.__traceback__)
    assert [(e.filename, e.lineno, e.name, e.line) for e in cause_entries] == [
        (__file__, first + 2, "open_device", "open(path)")
    ]
    assert not hasattr(error, "__notes__") and not hasattr(cause, "__notes__")


def test_without_them_the_standard_library_breaks_the_pool(tmp_path):
    error = run_in_a_worker(str(tmp_path / "missing"))

    assert isinstance(error, concurrent.futures.process.BrokenProcessPool)
    assert "missing 1 required keyword-only argument: 'retries'" in str(error.__cause__)


def test_modules_and_bound_methods_travel_both_ways_once_installed():
    context = multiprocessing.get_context("spawn")
    payloads.install()
    try:
        with concurrent.futures.ProcessPoolExecutor(
            1, mp_context=context, initializer=payloads.install
        ) as pool:
            module, method, append = pool.submit(
                hand_back, json, Counter(1).bump, [1].append
            ).result()
            text = pool.submit(
                payloads.json_dumps, {"cb": Counter(5).bump, "add": [2].append}
            ).result()
    finally:
        payloads.uninstall()

    assert (module, method(), append.__self__) == (json, 2, [1])
    loaded = payloads.json_loads(text)
    assert (loaded["cb"](), loaded["add"].__self__) == (6, [2])
