"""The dump side of ``dravolt_common.payloads`` beside the standard pickler and tblib.

    python bench/payload_workloads.py [--tree DIR] [pyperf options]

Each object goes through ``payloads.dumps`` and through the reference it is
measured against: ``pickle.dumps`` for a function, a class, a built-in
function and an exception that was never raised; tblib's pickling (its
``pickling_support``, which makes ``pickle.dumps`` keep tracebacks) for a
raised exception with one chained cause, and for loading what each wrote.
tblib is a benchmark-only dependency (the ``bench`` extra).  DIR, where the
native package was built, goes first on sys.path.  ``bench/run.py`` runs this
file with the native package and puts the figures in its table.
"""

import os.path
import pickle
import sys
from time import process_time

import pyperf


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


# Per object: its label, the target of payloads ÷ reference, and the two
# benchmarks' names; what each benchmark calls with what is in workloads().
PAIRS = [
    (
        "`os.path.join` by reference",
        3,
        "payloads.dumps(os.path.join)",
        "pickle.dumps(os.path.join)",
    ),
    ("a class by reference", 3, "payloads.dumps(class)", "pickle.dumps(class)"),
    ("`len` by reference", 3, "payloads.dumps(len)", "pickle.dumps(len)"),
    (
        '`ValueError("x")`, never raised',
        3,
        "payloads.dumps(ValueError)",
        "pickle.dumps(ValueError)",
    ),
    (
        "a raised exception with one chained cause",
        1,
        "payloads.dumps(raised chain)",
        "tblib dumps(raised chain)",
    ),
    ("loading that payload", 1, "payloads loads(raised chain)", "tblib loads(raised chain)"),
]


def workloads():
    """(name, function, argument) of every benchmark.  Both payloads of the
    chain are written before tblib's pickling is installed, so that ours is
    what payloads.dumps writes in a process without tblib."""
    import tblib.pickling_support

    from dravolt_common import payloads

    chain = raised_chain()
    ours = payloads.dumps(chain)
    tblib.pickling_support.install(DeviceError)
    tblib_payload = tblib_dumps(chain)
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


def time_function(loops, function, argument):
    # The same loop and clock as the calls of bench/workloads.py.
    calls = range(loops)
    start = process_time()
    for _ in calls:
        function(argument)
    return process_time() - start


def add_cmdline_args(cmd, args):
    if args.tree:
        cmd.extend(["--tree", args.tree])


def main():
    runner = pyperf.Runner(add_cmdline_args=add_cmdline_args)
    runner.argparser.add_argument("--tree", help="the directory that goes first on sys.path")
    args = runner.parse_args()
    if args.tree:
        sys.path.insert(0, args.tree)
    runner.metadata["python"] = sys.version.split()[0]
    for name, function, argument in workloads():
        runner.bench_time_func(name, time_function, function, argument)


if __name__ == "__main__":
    main()
