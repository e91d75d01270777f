"""The objects of the stored payloads, and what a loaded payload must give back.

`tools/write_stored_payloads.py` dumps each kind's object into `tests/payloads/VERSION/`;
`test_stored_payloads.py` loads those files and hands the result to the kind's check.  Both
import this module under the same name, so the payloads name its classes and functions as
`stored_payload_objects.X`.  Changing what a name here means changes what the stored payloads
of earlier versions load into: add names, never change or remove one.
"""

import json
import os.path
import traceback

import jsonpickle

from dravolt_common import payloads
from dravolt_common.utils.payload_wrapper import FunctionWrapper, PayloadWrapper, UnpicklableObject

PICKLE_PROTOCOL = 4
JSON_OPTIONS = {"keys": True}


class Sensor:
    def __init__(self, value=7):
        self.value = value

    def read(self):
        return self.value


def describe(wrapper):
    return f"a wrapper around {wrapper.cls.__name__}"


class UploadError(Exception):
    __slots__ = ("code",)

    def __init__(self, path, *, attempts):
        super().__init__(f"{path}: gave up after {attempts} attempts")
        self.attempts = attempts


def fail_deep():
    try:
        raise OSError(2, "No such file or directory", "/no/such/file")
    except OSError as error:
        failure = UploadError("/no/such/file", attempts=3)
        failure.code = 17
        raise failure from error


def raised_upload_error():
    try:
        fail_deep()
    except UploadError as error:
        return error


def make_exceptions():
    return [raised_upload_error(), NameError("x", name="n"), OSError(5, "x", "a", None, "b")]


def check_exceptions(loaded):
    error, name_error, os_error = loaded
    assert type(error) is UploadError and error.args == ("/no/such/file: gave up after 3 attempts",)
    assert (error.attempts, error.code, error.__suppress_context__) == (3, 17, True)
    cause = error.__cause__
    assert type(cause) is FileNotFoundError and cause.filename == "/no/such/file"
    assert "fail_deep" in traceback_shown(error)
    assert type(name_error) is NameError and name_error.name == "n"
    assert type(os_error) is OSError and (os_error.filename, os_error.filename2) == ("a", "b")


def traceback_entries(exceptions):
    """The traceback entries (file, line, name) of each exception and of its cause, as JSON holds them."""
    return [[_entries(error), _entries(error.__cause__)] for error in exceptions]


def _entries(error):
    if error is None:
        return None
    return [[e.filename, e.lineno, e.name] for e in traceback.extract_tb(error.__traceback__)]


def traceback_shown(error):
    """What a reader is shown of where the exception was raised: its frames, or the text in a note."""
    frames = "".join(traceback.format_tb(error.__traceback__))
    return frames + "".join(getattr(error, "__notes__", ()))


def check_payload_wrapper(loaded):
    assert type(loaded) is PayloadWrapper and loaded.cls is Sensor
    assert loaded.funcs == {"describe": describe} and loaded.describe() == "a wrapper around Sensor"
    assert getattr(loaded, "py/dravolt/external/type") == "stored_payload_objects.Sensor"


def check_unpicklable_object(loaded):
    assert type(loaded) is UnpicklableObject
    assert loaded.cls is Sensor and loaded.funcs == {"describe": describe}


def check_by_reference(loaded):
    expected = [describe, Sensor, len, os.path.join, json]
    assert len(loaded) == len(expected)
    assert all(got is want for got, want in zip(loaded, expected, strict=True))


def check_bound_method(loaded):
    assert loaded.__func__ is Sensor.read and loaded() == 7


def check_function_wrapper(loaded):
    assert loaded is describe


# Each kind: the object to dump, and the check of what loading gives.
KINDS = {
    "exceptions": (make_exceptions, check_exceptions),
    "payload_wrapper": (
        lambda: PayloadWrapper(Sensor, {"describe": describe}),
        check_payload_wrapper,
    ),
    "unpicklable_object": (
        lambda: UnpicklableObject(Sensor, {"describe": describe}),
        check_unpicklable_object,
    ),
    "function_wrapper": (
        lambda: FunctionWrapper("stored_payload_objects.describe"),
        check_function_wrapper,
    ),
    "by_reference": (lambda: [describe, Sensor, len, os.path.join, json], check_by_reference),
    "bound_method": (lambda: Sensor().read, check_bound_method),
}


def dump_pickle(obj):
    return payloads.dumps(obj, PICKLE_PROTOCOL)


def dump_json(obj):
    return jsonpickle.encode(obj, context=payloads.JsonPickler(**JSON_OPTIONS), indent=1).encode()


def load_json(data):
    return jsonpickle.decode(data.decode(), **JSON_OPTIONS)


# Each serialiser: the file suffix, how the writer dumps and how the test loads.
SERIALISERS = {
    "pickle": ("pickle", dump_pickle, payloads.loads),
    "jsonpickle": ("json", dump_json, load_json),
}
