"""The wrappers through pickle (every protocol) and jsonpickle, and back, in
this process and in a fresh one."""

import json
import os
import os.path
import pickle
import subprocess
import sys
import textwrap

import jsonpickle
import pytest

import dravolt_common.utils.payload_wrapper as pw
from class_attributes import restore_wrapper_classes  # noqa: F401

KEY = "py/dravolt/external/type"


class Carried:
    pass


def describe(wrapper):
    return f"wrapping {wrapper.cls.__name__}"


class Reduced:
    """An object that outside code reduces to the construction of a wrapper class."""

    def __init__(self, *reduce_value):
        self.reduce_value = reduce_value

    def __reduce__(self):
        return self.reduce_value


def through_pickle(protocol):
    def round_trip(obj):
        return pickle.loads(pickle.dumps(obj, protocol))

    return round_trip


def through_jsonpickle(obj):
    return jsonpickle.decode(jsonpickle.encode(obj, keys=True), keys=True)


ROUND_TRIPS = [
    pytest.param(through_pickle(protocol), id=f"pickle-{protocol}")
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1)
] + [pytest.param(through_jsonpickle, id="jsonpickle")]


@pytest.mark.parametrize("round_trip", ROUND_TRIPS)
def test_payload_wrapper_comes_back_every_time_it_travels(round_trip):
    wrapper = pw.PayloadWrapper(Carried, {"describe": describe})
    before = dict(vars(wrapper))
    for _ in range(2):
        loaded = round_trip(wrapper)
        assert type(loaded) is pw.PayloadWrapper
        assert vars(loaded) == before
        assert loaded.describe() == "wrapping Carried"
    assert vars(wrapper) == before


@pytest.mark.parametrize("round_trip", ROUND_TRIPS)
def test_payload_wrapper_made_without_funcs_comes_back_with_its_class(round_trip):
    loaded = round_trip(pw.PayloadWrapper(Carried))
    assert vars(loaded) == {"funcs": {}, "cls": Carried, KEY: f"{__name__}.Carried"}


@pytest.mark.parametrize("round_trip", ROUND_TRIPS)
@pytest.mark.parametrize(
    "name, expected", [("os.path.join", os.path.join), (f"{__name__}.describe", describe)]
)
def test_function_wrapper_comes_back_as_the_function(round_trip, name, expected):
    assert round_trip(pw.FunctionWrapper(name)) is expected


@pytest.mark.parametrize("round_trip", ROUND_TRIPS)
def test_unpicklable_object_comes_back_with_its_class_and_funcs(round_trip):
    loaded = round_trip(pw.UnpicklableObject(Carried, {"label": 1}))
    assert type(loaded) is pw.UnpicklableObject
    assert loaded.cls is Carried
    assert loaded.funcs == {"label": 1}


@pytest.mark.parametrize("round_trip", ROUND_TRIPS)
@pytest.mark.parametrize(
    "reduced, check",
    [
        (Reduced(pw.ModuleWrapper, ("json",)), lambda loaded: loaded is json),
        (
            Reduced(pw.ExceptionWrapper, ("builtins.ValueError", ("bad",), {"note": 1})),
            lambda loaded: (
                type(loaded) is ValueError and loaded.args == ("bad",) and loaded.note == 1
            ),
        ),
        (Reduced(pw.SpecialWrapper, ("os.path.join", "a", "b")), lambda loaded: loaded == "a/b"),
    ],
    ids=["module", "exception", "special"],
)
def test_loading_a_wrapper_construction_gives_the_object(round_trip, reduced, check):
    assert check(round_trip(reduced))


def test_the_json_of_a_payload_wrapper_holds_the_full_name():
    encoded = jsonpickle.encode(pw.PayloadWrapper(Carried, {"describe": describe}), keys=True)
    reducer, args, state = json.loads(encoded)["py/reduce"]
    assert reducer == {"py/type": "dravolt_common.utils.payload_wrapper.PayloadWrapper"}
    assert args["py/tuple"][0] == {"py/type": f"{__name__}.Carried"}
    assert state == {KEY: f"{__name__}.Carried"}


CARRIED_MODULE = """
import dravolt_common.utils.payload_wrapper as pw

class Sensor:
    pass

def describe(wrapper):
    return f"wrapping {wrapper.cls.__name__}"

class Reduced:
    def __init__(self, *reduce_value):
        self.reduce_value = reduce_value

    def __reduce__(self):
        return self.reduce_value

def payload():
    return [
        pw.PayloadWrapper(Sensor, {"describe": describe}),
        pw.PayloadWrapper(Sensor),
        pw.FunctionWrapper("round_trip_carried.describe"),
        pw.UnpicklableObject(Sensor, {"label": 1}),
        Reduced(pw.ModuleWrapper, ("json",)),
        Reduced(pw.ExceptionWrapper, ("builtins.KeyError", ("k",), {"note": 2})),
        Reduced(pw.SpecialWrapper, ("os.path.join", "a", "b")),
    ]
"""

LOADER = """
import json, pickle, sys
import jsonpickle

def describe(items):
    wrapper, bare, function, unpicklable, module, exception, special = items
    return [
        type(wrapper).__name__, wrapper.cls.__qualname__, wrapper.describe(),
        getattr(wrapper, "py/dravolt/external/type"),
        bare.cls.__qualname__, getattr(bare, "py/dravolt/external/type"),
        f"{function.__module__}.{function.__qualname__}",
        type(unpicklable).__name__, unpicklable.cls.__qualname__, unpicklable.funcs,
        module.__name__, repr(exception), exception.note, special,
    ]

with open(sys.argv[1], "rb") as f:
    from_pickle = pickle.load(f)
with open(sys.argv[2]) as f:
    from_json = jsonpickle.decode(f.read(), keys=True)
print(json.dumps({"pickle": describe(from_pickle), "jsonpickle": describe(from_json)}))
"""


def test_a_fresh_process_loads_what_this_one_dumped(tmp_path, monkeypatch):
    (tmp_path / "round_trip_carried.py").write_text(CARRIED_MODULE)
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.delitem(sys.modules, "round_trip_carried", raising=False)
    import round_trip_carried

    try:
        payload = round_trip_carried.payload()
        (tmp_path / "payload.pickle").write_bytes(pickle.dumps(payload))
        (tmp_path / "payload.json").write_text(jsonpickle.encode(payload, keys=True))
    finally:
        sys.modules.pop("round_trip_carried", None)
    (tmp_path / "loader.py").write_text(textwrap.dedent(LOADER))

    env = {**os.environ, "PYTHONPATH": str(tmp_path)}
    done = subprocess.run(
        [sys.executable, str(tmp_path / "loader.py"), "payload.pickle", "payload.json"],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    expected = [
        "PayloadWrapper",
        "Sensor",
        "wrapping Sensor",
        "round_trip_carried.Sensor",
        "Sensor",
        "round_trip_carried.Sensor",
        "round_trip_carried.describe",
        "UnpicklableObject",
        "Sensor",
        {"label": 1},
        "json",
        "KeyError('k')",
        2,
        "a/b",
    ]
    assert json.loads(done.stdout) == {"pickle": expected, "jsonpickle": expected}
