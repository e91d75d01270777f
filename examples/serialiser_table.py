"""What each serialiser keeps of each kind of object: prints the table of docs/serialising.md.

Each case is dumped and loaded again by the standard pickle, by jsonpickle, and
by this package through each of them (``payloads.dumps`` and
``jsonpickle.encode(obj, context=payloads.JsonPickler())``); the cell says what
came back.  Run it with ``.venv-3.10/bin/python examples/serialiser_table.py``.
"""

import functools
import json
import os.path
import pickle
import platform
import traceback
import warnings

import jsonpickle

from dravolt_common import payloads

MISSING = object()
FIELDS = "filename filename2 name path code".split()


class KwOnlyError(Exception):
    def __init__(self, item, *, detail):
        super().__init__(f"{item}: {detail}")
        self.item = item
        self.detail = detail


class NoArgsError(Exception):
    def __init__(self):
        super().__init__("always the same")


class SlottedError(Exception):
    __slots__ = ("code",)


class Owner:
    def __init__(self, value):
        self.value = value

    def method(self):
        return self.value


def function():
    pass


def _wrap(wrapped):
    @functools.wraps(wrapped)
    def wrapper(*args, **kwargs):
        return wrapped(*args, **kwargs)

    return wrapper


def rebound():
    pass


ORIGINAL_OF_REBOUND = rebound
rebound = _wrap(rebound)


def nested():
    def inner():
        pass

    return inner


def raised(exception, cause=None):
    try:
        if cause is None:
            raise exception
        try:
            raise cause
        except BaseException:
            raise exception from cause
    except BaseException as caught:
        return caught


def slotted():
    error = SlottedError("x")
    error.code = 7
    return error


def cycle():
    first, second = ValueError("first"), KeyError("second")
    first.__context__, second.__context__ = second, first
    return first


def noted():
    error = ValueError("noted")
    error.__notes__ = ["a note"]
    return error


SERIALISERS = {
    "`pickle`": (pickle.dumps, pickle.loads),
    "`jsonpickle`": (
        functools.partial(jsonpickle.encode, keys=True),
        functools.partial(jsonpickle.decode, keys=True),
    ),
    "this package through `pickle`": (payloads.dumps, pickle.loads),
    "this package through `jsonpickle`": (
        lambda obj: jsonpickle.encode(obj, context=payloads.JsonPickler(keys=True)),
        functools.partial(jsonpickle.decode, keys=True),
    ),
}


def losses(names):
    return "loses " + ", ".join(names) if names else None


def exception_lost(original, loaded):
    return losses(fields_lost(original, loaded))


def fields_lost(original, loaded):
    if type(loaded) is not type(original):
        return [f"its class (loads a {type(loaded).__name__})"]
    lost = [] if loaded.args == original.args else ["args"]
    for name, value in vars(original).items():
        if vars(loaded).get(name, MISSING) != value:
            lost.append(f"`{name}`")
    for name in FIELDS:
        if getattr(loaded, name, MISSING) != getattr(original, name, MISSING):
            lost.append(f"`{name}`")
    return lost


def chain_lost(original, loaded):
    lost = fields_lost(original, loaded)
    for link in ("__cause__", "__context__"):
        if type(getattr(loaded, link)) is not type(getattr(original, link)):
            lost.append(f"`{link}`")
    if loaded.__suppress_context__ != original.__suppress_context__:
        lost.append("`__suppress_context__`")
    return losses(lost)


def cycle_lost(original, loaded):
    context = loaded.__context__
    return None if context is not None and context.__context__ is loaded else "loses the cycle"


def traceback_lost(original, loaded):
    def shown(exception):
        return [
            (e.filename, e.lineno, e.name) for e in traceback.extract_tb(exception.__traceback__)
        ]

    return None if shown(loaded) == shown(original) else "loses it"


def identity_lost(original, loaded):
    if loaded is original:
        return None
    return "loads as None" if loaded is None else f"loads another {type(loaded).__name__}"


def method_lost(original, loaded):
    same = getattr(loaded, "__func__", None) is original.__func__
    return None if same and loaded() == original() else f"loads a {type(loaded).__name__}"


CASES = [
    ("exception with a keyword-only `__init__` parameter", lambda: KwOnlyError("a", detail="b")),
    ("exception whose `__init__` takes no arguments", NoArgsError),
    ("`OSError` with `filename` and `filename2`", lambda: OSError(2, "x", "a", None, "b")),
    ("`ImportError` with `name` and `path`", lambda: ImportError("x", name="m", path="/p")),
    ("`NameError` with `name`", lambda: NameError("x", name="n")),
    ("exception with a slot", slotted),
    ("exception with `__notes__`", noted),
]
CASES = [(title, make, exception_lost) for title, make in CASES] + [
    (
        "`__cause__`, `__context__`, `__suppress_context__`",
        lambda: raised(ValueError("a"), OSError(2, "x", "f")),
        chain_lost,
    ),
    ("a chain that leads back to the exception", cycle, cycle_lost),
    (
        "traceback (its frames' file, line and name)",
        lambda: raised(ValueError("x")),
        traceback_lost,
    ),
    ("module", lambda: json, identity_lost),
    ("function", lambda: function, identity_lost),
    ("built-in function", lambda: os.path.join, identity_lost),
    ("class", lambda: KwOnlyError, identity_lost),
    ("lambda", lambda: lambda: None, identity_lost),
    ("nested function", nested, identity_lost),
    ("function whose name a decorator rebound", lambda: ORIGINAL_OF_REBOUND, identity_lost),
    ("bound method", lambda: Owner(1).method, method_lost),
]


def outcome(serialiser, make, lost):
    dump, load = SERIALISERS[serialiser]
    original = make()
    try:
        payload = dump(original)
    except Exception as error:
        return f"refused when dumped ({type(error).__name__})"
    try:
        loaded = load(payload)
    except Exception as error:
        return f"fails to load ({type(error).__name__})"
    return lost(original, loaded) or "kept"


def table():
    yield "| object | " + " | ".join(SERIALISERS) + " |"
    yield "|---" * (len(SERIALISERS) + 1) + "|"
    for title, make, lost in CASES:
        cells = [outcome(serialiser, make, lost) for serialiser in SERIALISERS]
        yield f"| {title} | " + " | ".join(cells) + " |"


def main():
    warnings.simplefilter("ignore")
    print(f"CPython {platform.python_version()}, jsonpickle {jsonpickle.__version__}:")
    print()
    for line in table():
        print(line)


if __name__ == "__main__":
    main()
