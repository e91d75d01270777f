"""What loading a payload runs under each of jsonpickle's decoding options: the table of docs/security.md.

Each payload names a module written for the occasion, which records in a list
when it is imported and when one of its callables runs. Every payload is decoded,
each time naming a fresh module of that kind, with ``jsonpickle.decode(text,
safe=True)`` (the default), with ``safe=False``, and with ``safe=True`` plus
``classes=`` and ``on_missing="error"``, and, for the allowlist, with
``payloads.json_loads(text, allow=["builtins.int"])``, which admits none of the probe's
names; the cell says what ran. Run it with
``.venv-3.10/bin/python examples/untrusted_payloads.py``.
"""

import itertools
import json
import platform
import sys
import tempfile
import warnings
from pathlib import Path

import jsonpickle

from dravolt_common import payloads
from dravolt_common.utils import payload_wrapper

PROBE = """
import probe_events
probe_events.log.append("imports the module")


def touch(*args):
    probe_events.log.append(f"calls touch({', '.join(map(repr, args))})")
    return "touched"


class ProbeError(Exception):
    def __setstate__(self, state):
        probe_events.log.append("calls ProbeError.__setstate__")
        super().__setstate__(state)
"""


def wrapper(name):
    return {"py/type": f"dravolt_common.utils.payload_wrapper.{name}"}


def reduce(callable_, *args):
    return {"py/reduce": [callable_, {"py/tuple": list(args)}]}


# Each payload names the probe module as {mod}: the wrappers' reduce tuples as
# jsonpickle writes them, and, to compare, jsonpickle's own forms.
CASES = [
    ("`SpecialWrapper`, as `py/reduce`", reduce(wrapper("SpecialWrapper"), "{mod}.touch", "x")),
    (
        "`SpecialWrapper`, as `py/object` with `py/newargs`",
        {
            "py/object": wrapper("SpecialWrapper")["py/type"],
            "py/newargs": {"py/tuple": ["{mod}.touch", "x"]},
        },
    ),
    ("`ModuleWrapper`", reduce(wrapper("ModuleWrapper"), "{mod}")),
    (
        "`ExceptionWrapper`",
        reduce(wrapper("ExceptionWrapper"), "{mod}.ProbeError", {"py/tuple": ["bad"]}, {}),
    ),
    (
        "`FunctionWrapper` (its payload calls `loadclass`)",
        reduce({"py/function": "jsonpickle.unpickler.loadclass"}, "{mod}.touch"),
    ),
    (
        "`PayloadWrapper` with `funcs`",
        reduce(
            wrapper("PayloadWrapper"),
            {"py/type": "builtins.int"},
            {"describe": {"py/function": "{mod}.touch"}},
        ),
    ),
    ("no wrapper: jsonpickle's own `py/reduce`", reduce({"py/function": "{mod}.touch"}, "x")),
    ("no wrapper: jsonpickle's own `py/repr`", {"py/repr": "{mod}/{mod}.touch('x')"}),
]


def decoding(**options):
    return lambda text: jsonpickle.decode(text, keys=True, **options)


MODES = [
    ("`safe=True` (the default)", decoding(safe=True)),
    ("`safe=False`", decoding(safe=False)),
    (
        '`safe=True`, `classes=[int]`, `on_missing="error"`',
        decoding(safe=True, classes=[int], on_missing="error"),
    ),
    (
        '`payloads.json_loads(text, allow=["builtins.int"])`',
        lambda text: payloads.json_loads(text, allow=["builtins.int"]),
    ),
]


def try_payload(folder, payload, decode, number):
    import probe_events

    mod = f"probe_{number}"
    Path(folder, f"{mod}.py").write_text(PROBE)
    probe_events.log.clear()
    try:
        loaded = decode(json.dumps(payload).replace("{mod}", mod))
    except Exception as error:
        probe_events.log.append(f"raises {type(error).__name__}")
        loaded = None
    touch = getattr(sys.modules.get(mod), "touch", None)
    if touch is not None and getattr(payload_wrapper.PayloadWrapper, "describe", None) is touch:
        probe_events.log.append("installs touch as `PayloadWrapper.describe`")
        del payload_wrapper.PayloadWrapper.describe
    if isinstance(loaded, BaseException):
        probe_events.log.append(f"gives {loaded!r}")
    return ", ".join(probe_events.log) or "nothing"


def table():
    numbers = itertools.count()
    with tempfile.TemporaryDirectory() as folder:
        Path(folder, "probe_events.py").write_text("log = []\n")
        sys.path.insert(0, folder)
        yield "| payload | " + " | ".join(label for label, _ in MODES) + " |"
        yield "|---" * (len(MODES) + 1) + "|"
        for label, payload in CASES:
            cells = [try_payload(folder, payload, decode, next(numbers)) for _, decode in MODES]
            yield f"| {label} | " + " | ".join(cells) + " |"


def main():
    warnings.simplefilter("ignore")
    print(f"CPython {platform.python_version()}, jsonpickle {jsonpickle.__version__}:")
    print()
    for line in table():
        print(line)


if __name__ == "__main__":
    main()
