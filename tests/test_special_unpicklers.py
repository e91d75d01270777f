import errno
import json
import pickle
import sys

import pytest

from dravolt_common.utils import special_unpicklers
from dravolt_common.utils.special_unpicklers import (
    get_special_unpickle_function,
    register_special_unpickler,
    unpickle_exception,
    unpickle_os_error,
)


class ItemError(Exception):
    """Builds its message from its parameters, so its args differ from them."""

    def __init__(self, item, reason):
        super().__init__(f"{item}: {reason}")
        self.item = item
        self.reason = reason


class ConstructionCounted(Exception):
    constructions = 0

    def __new__(cls, required, *args):
        cls.constructions += 1
        return super().__new__(cls, required, *args)

    def __init__(self, required, *args):
        type(self).constructions += 1
        super().__init__(required, *args)


class DeviceError(OSError):
    """An OSError subclass whose __init__ takes over the parsing of its arguments."""

    def __init__(self, device):
        super().__init__(errno.ENODEV, f"no device {device}")
        self.device = device


class ValueOSError(ValueError, OSError):
    """Laid out as an OSError, but initialised as a ValueError."""


# From 3.14 the interpreter fills OSError's fields from the arguments even in
# a class that ValueError initialises.
VALUE_OS_ERRNO = errno.ENOENT if sys.version_info >= (3, 14) else None


class ShortDecodeError(UnicodeDecodeError):
    """Replaces the five arguments its base needs with a single one."""

    def __init__(self, data):
        super().__init__("utf-8", data, 0, 1, "short")
        self.args = (data,)


class KeepsState(Exception):
    def __setstate__(self, state):
        self.received_state = state


def full_name(cls):
    return f"{cls.__module__}.{cls.__qualname__}"


def rebuild(original, args=None):
    """Take an exception apart as a serialiser does and put it back together."""
    cls = type(original)
    unpickle = get_special_unpickle_function(full_name(cls))
    return unpickle(cls, original.args if args is None else args, dict(original.__dict__))


@pytest.fixture
def registry(monkeypatch):
    table = dict(special_unpicklers.SPECIAL_UNPICKLERS)
    monkeypatch.setattr(special_unpicklers, "SPECIAL_UNPICKLERS", table)
    return table


@pytest.mark.parametrize(
    ("original", "kept"),
    [
        (ValueError("bad value"), {}),
        (KeyError("key"), {}),
        (OSError(99999, "odd failure"), {"errno": 99999, "strerror": "odd failure"}),
        (FileNotFoundError(errno.ENOENT, "gone"), {"errno": errno.ENOENT, "strerror": "gone"}),
        (DeviceError("sda"), {"errno": errno.ENODEV, "strerror": "no device sda"}),
        (ValueOSError(errno.ENOENT, "missing"), {"errno": VALUE_OS_ERRNO}),
        (
            UnicodeDecodeError("utf-8", b"\xff", 0, 1, "invalid start byte"),
            {"encoding": "utf-8", "object": b"\xff", "start": 0, "end": 1},
        ),
        (SyntaxError("bad", ("f.py", 3, 5, "x y", 3, 6)), {"msg": "bad", "lineno": 3, "offset": 5}),
        (StopIteration(5), {"value": 5}),
        (SystemExit(3), {"code": 3}),
        (ItemError("disk", "full"), {"item": "disk", "reason": "full"}),
        (json.JSONDecodeError("Expecting value", "[1,", 3), {"lineno": 1, "colno": 4}),
    ],
    ids=lambda value: type(value).__name__ if isinstance(value, BaseException) else "",
)
def test_rebuilt_exception_equals_the_original(original, kept):
    rebuilt = rebuild(original)

    assert type(rebuilt) is type(original)
    assert rebuilt.args == original.args
    assert str(rebuilt) == str(original)
    assert rebuilt.__dict__ == original.__dict__
    assert {name: getattr(rebuilt, name) for name in kept} == kept


@pytest.mark.parametrize(
    "original",
    [
        ValueError("bad value"),
        PermissionError(errno.EACCES, "denied"),
        UnicodeDecodeError("utf-8", b"\xff", 0, 1, "invalid start byte"),
        SyntaxError("bad", ("f.py", 3, 5, "x y", 3, 6)),
    ],
    ids=lambda value: type(value).__name__,
)
def test_rebuilt_builtin_exception_survives_pickle(original):
    again = pickle.loads(pickle.dumps(rebuild(original)))

    assert (type(again), again.args, str(again)) == (type(original), original.args, str(original))


def test_python_level_constructors_do_not_run():
    before = ConstructionCounted.constructions

    rebuilt = unpickle_exception(ConstructionCounted, (), {"extra": 1})

    assert ConstructionCounted.constructions == before
    assert (rebuilt.args, rebuilt.extra) == ((), 1)


def test_arguments_refused_by_the_builtin_init_are_kept_as_they_are():
    original = ShortDecodeError(b"\xc3")

    rebuilt = rebuild(original)

    assert type(rebuilt) is ShortDecodeError
    assert (rebuilt.args, rebuilt.__dict__) == ((b"\xc3",), {})


def test_oserror_arguments_with_a_filename_restore_it():
    original = PermissionError(errno.EACCES, "denied", "/etc/shadow")

    rebuilt = rebuild(original, args=(errno.EACCES, "denied", "/etc/shadow"))

    assert (rebuilt.filename, rebuilt.args, str(rebuilt)) == (
        "/etc/shadow",
        original.args,
        str(original),
    )


@pytest.mark.parametrize(
    "args",
    [(errno.ENOENT, "missing"), (errno.ENOENT, "missing", "a.txt", None, "b.txt"), ("plain",), ()],
)
def test_oserror_keeps_its_own_class_whatever_the_errno(args):
    assert get_special_unpickle_function("builtins.OSError") is unpickle_os_error
    expected = OSError(*args)

    rebuilt = get_special_unpickle_function("builtins.OSError")(OSError, args, {})

    assert type(rebuilt) is OSError
    assert type(unpickle_exception(OSError, args, {})) is type(expected)
    assert (rebuilt.args, str(rebuilt)) == (expected.args, str(expected))
    assert (rebuilt.errno, rebuilt.strerror, rebuilt.filename, rebuilt.filename2) == (
        expected.errno,
        expected.strerror,
        expected.filename,
        expected.filename2,
    )


def test_attributes_reach_the_slots_of_the_class():
    rebuilt = unpickle_exception(ImportError, ("no module",), {"name": "pkg", "path": "/p"})

    assert (rebuilt.name, rebuilt.path, rebuilt.__dict__) == ("pkg", "/p", {})


def test_class_with_its_own_setstate_receives_the_attributes():
    rebuilt = unpickle_exception(KeepsState, ("x",), {"a": 1})

    assert (rebuilt.received_state, rebuilt.args) == ({"a": 1}, ("x",))


@pytest.mark.parametrize("unpickle", [unpickle_exception, unpickle_os_error])
@pytest.mark.parametrize(
    ("args", "attributes", "expected_args"),
    [(None, None, ()), (["a", 1], {}, ("a", 1)), (("a",), None, ("a",))],
)
def test_missing_or_listed_parts_are_accepted(unpickle, args, attributes, expected_args):
    assert unpickle(OSError, args, attributes).args == expected_args


@pytest.mark.parametrize("unpickle", [unpickle_exception, unpickle_os_error])
@pytest.mark.parametrize(
    ("exception_class", "args", "attributes", "message"),
    [
        (None, (), {}, "not an exception class"),
        (dict, (), {}, "not an exception class"),
        (OSError("instance"), (), {}, "not an exception class"),
        (OSError, "text", {}, "must be a sequence, not str"),
        (OSError, 5, {}, "must be a sequence, not int"),
        (OSError, (), [("a", 1)], "must be a mapping, not list"),
    ],
)
def test_unusable_parts_are_refused(unpickle, exception_class, args, attributes, message):
    with pytest.raises(TypeError, match=message):
        unpickle(exception_class, args, attributes)


@pytest.mark.parametrize("name", ["builtins.ValueError", "no.such.Error", None])
def test_unregistered_names_get_the_default(registry, name):
    assert get_special_unpickle_function(name) is unpickle_exception


def test_registered_function_is_selected_by_full_name(registry):
    calls = []

    @register_special_unpickler("pkg.mod.Special")
    def special(exception_class, args, attributes):
        calls.append((exception_class, args, attributes))
        return exception_class("special")

    rebuilt = get_special_unpickle_function("pkg.mod.Special")(ValueError, (), {})

    assert str(rebuilt) == "special"
    assert calls == [(ValueError, (), {})]
    assert get_special_unpickle_function("pkg.mod.Other") is unpickle_exception


def test_later_registration_replaces_an_earlier_one(registry):
    assert register_special_unpickler("pkg.E", unpickle_os_error) is unpickle_os_error
    register_special_unpickler("pkg.E", unpickle_exception)

    assert get_special_unpickle_function("pkg.E") is unpickle_exception


def test_registering_a_non_callable_fails(registry):
    with pytest.raises(TypeError, match="must be callable, not str"):
        register_special_unpickler("pkg.E", "not a function")
    assert "pkg.E" not in registry
