"""Objects of every kind the wrappers make, for the round trips through a
process pool (``test_process_pool``): the parent pickles them, a worker
rebuilds each and pickles it back, and the parent compares what comes back
with what it sent.  The wrappers travel by their own reduce tuples; the
modules, exceptions and bound methods that ``ModuleWrapper``,
``ExceptionWrapper`` and ``SpecialWrapper`` make travel as the payloads of
``dravolt_common.payloads``, which name those wrappers.
"""

import collections
import json
import os.path
import pickle
import types

from dravolt_common import payloads
from dravolt_common.utils import payload_wrapper as pw


class Carried:
    def method(self):
        return self


class Sensor(Carried):
    def __init__(self, name="s"):
        self.name = name


class DeviceError(Exception):
    def __init__(self, device, *, retries):
        super().__init__(f"{device} failed")
        self.device = device
        self.retries = retries


def describe(wrapper):
    return f"a wrapper around {wrapper.cls.__name__}"


def label(wrapper):
    return "label"


def make(i):
    """The i-th object: one kind in turn, with values that vary with i; the
    payloads of exceptions, dearer to make, one time in twenty."""
    kind = i % 20
    if kind > 9:
        kind = (0, 1, 2, 3, 4, 0, 1, 3, 8, 9)[kind - 10]
    if kind == 0:
        return pw.PayloadWrapper(Carried, {"describe": describe, "count": i})
    if kind == 1:
        return pw.PayloadWrapper(Sensor if i % 20 == 1 else Carried)
    if kind == 2:
        return pw.FunctionWrapper("os.path.join" if i % 20 == 2 else "json.dumps")
    if kind == 3:
        return pw.UnpicklableObject(Sensor, {"label": label, "i": i})
    if kind == 4:
        return pw.UnpicklableObject(f"name-{i}", {})
    if kind == 5:
        return pw.ModuleWrapper("json" if i % 20 == 5 else "os.path")
    if kind == 6:
        return pw.ExceptionWrapper("builtins.KeyError", (f"k{i}",), {"hint": i})
    if kind == 7:
        error = pw.ExceptionWrapper(
            f"{__name__}.DeviceError", (f"sda{i} failed",), {"device": f"sda{i}", "retries": i}
        )
        error.__cause__ = pw.ExceptionWrapper("builtins.OSError", (2, "missing"), {})
        return error
    if kind == 8:
        return pw.SpecialWrapper("collections.OrderedDict", a=i, b=[i, str(i)])
    return pw.SpecialWrapper("builtins.getattr", Sensor(f"s{i}"), "method")


def expected(obj):
    """What must come back: comparable data that names each part."""
    if isinstance(obj, pw.PayloadWrapper):
        return ("PayloadWrapper", obj.cls, obj.funcs, dict(vars(obj)))
    if isinstance(obj, pw.UnpicklableObject):
        return ("UnpicklableObject", obj.cls, obj.funcs, dict(vars(obj)))
    if isinstance(obj, pw.FunctionWrapper):
        # It travels as loadclass(name): the function itself comes back.
        return ("function", pw.import_by_full_name(obj.fullname))
    if isinstance(obj, BaseException):
        return ("exception", type(obj), obj.args, vars(obj), expected_cause(obj))
    if isinstance(obj, type(json)):
        return ("module", obj)
    if isinstance(obj, collections.OrderedDict):
        return ("OrderedDict", list(obj.items()))
    return ("bound method", type(obj.__self__), vars(obj.__self__), obj.__func__)


def expected_cause(error):
    cause = error.__cause__
    return None if cause is None else (type(cause), cause.args, cause.errno)


def came_back(original, loaded):
    """What came back, in the form of ``expected``; a FunctionWrapper came
    back as its function."""
    if isinstance(original, pw.FunctionWrapper):
        return ("function", loaded)
    if isinstance(original, type(json)):
        return ("module", loaded)
    return expected(loaded)


def dumps(obj):
    if isinstance(obj, BaseException | types.ModuleType | types.MethodType):
        return payloads.dumps(obj)
    return pickle.dumps(obj)


def rebuild(data):
    """In a worker: load the payload and send what it gives back."""
    return dumps(pickle.loads(data))


assert os.path  # the module the wrappers name
