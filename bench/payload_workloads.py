"""The dump side of ``dravolt_common.payloads`` beside the standard pickler and tblib.

    python bench/payload_workloads.py [pyperf options]

Each object goes through ``payloads.dumps`` and through the reference it is
measured against: ``pickle.dumps`` for a function, a class, a built-in
function and an exception that was never raised; tblib's pickling (its
``pickling_support``, which makes ``pickle.dumps`` keep tracebacks) for a
raised exception with one chained cause, and for loading what each wrote.
tblib is a benchmark-only dependency (the ``bench`` extra).
"""

import os.path
import pickle
import sys
from time import perf_counter

import pyperf
import tblib.pickling_support

from dravolt_common import payloads


class Widget:
    pass


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


def raised_chain():
    try:
        open_device(os.path.join(os.sep, "no", "such", "device"))
    except DeviceError as error:
        return error
    raise AssertionError("open_device did not raise")


def tblib_dumps(obj):
    # tblib's own pickling goes through copyreg, which payloads.install() does not touch here.
    return pickle.dumps(obj)


def time_function(loops, function, argument):
    start = perf_counter()
    for _ in range(loops):
        function(argument)
    return perf_counter() - start


def workloads():
    chain = raised_chain()
    tblib.pickling_support.install(DeviceError)
    tblib_payload = tblib_dumps(chain)
    ours = payloads.dumps(chain)
    return [
        ("payloads.dumps(os.path.join)", payloads.dumps, os.path.join),
        ("pickle.dumps(os.path.join)", pickle.dumps, os.path.join),
        ("payloads.dumps(class)", payloads.dumps, Widget),
        ("pickle.dumps(class)", pickle.dumps, Widget),
        ("payloads.dumps(len)", payloads.dumps, len),
        ("pickle.dumps(len)", pickle.dumps, len),
        ("payloads.dumps(ValueError)", payloads.dumps, ValueError("x")),
        ("pickle.dumps(ValueError)", pickle.dumps, ValueError("x")),
        ("payloads.dumps(raised chain)", payloads.dumps, chain),
        ("tblib dumps(raised chain)", tblib_dumps, chain),
        ("payloads loads(raised chain)", pickle.loads, ours),
        ("tblib loads(raised chain)", pickle.loads, tblib_payload),
    ]


def main():
    runner = pyperf.Runner()
    runner.metadata["python"] = sys.version.split()[0]
    for name, function, argument in workloads():
        runner.bench_time_func(name, time_function, function, argument)


if __name__ == "__main__":
    main()
