"""Loading under an allowlist: hostile payloads are refused before anything is
imported or called, through pickle, jsonpickle and a process pool, and the
same payloads load as before once their names are admitted.
"""

import asyncio
import collections
import concurrent.futures
import contextlib
import contextvars
import multiprocessing
import os
import pickle
import sys
import threading
import uuid

import jsonpickle
import pytest

from dravolt_common import _allowlist, payloads
from dravolt_common.utils import payload_wrapper as pw

SYSTEM = f"{os.system.__module__}.system"

SIDE_EFFECT_MODULE = """
import pathlib
pathlib.Path({marker!r}).write_text("imported")


class Boom(Exception):
    pass
"""


class Reduced:
    """Pickles as the reduce tuple it is given: a hand-built payload."""

    def __init__(self, reduced):
        self.reduced = reduced

    def __reduce__(self):
        return self.reduced


class Case:
    """A hostile payload: what its reduce tuple is, the names that admit it
    besides those of `refused_with`, and what it loads as once admitted."""

    def __init__(self, reduced, admitting, loaded, refused_with=()):
        self.reduced, self.admitting, self.loaded = reduced, admitting, loaded
        self.refused_with = list(refused_with)


def _installed_system(result, world):
    assert vars(pw.PayloadWrapper).get("__del__") is os.system
    del pw.PayloadWrapper.__del__
    return type(result) is pw.PayloadWrapper


CASES = {
    "SpecialWrapper of os.system": lambda w: Case(
        (pw.SpecialWrapper, (SYSTEM, f"touch {w.marker}")),
        [SYSTEM],
        lambda result, w: result == 0 and w.marker_written(),
    ),
    "FunctionWrapper of os.system": lambda w: Case(
        pw.FunctionWrapper(SYSTEM).__reduce__(),
        [SYSTEM],
        lambda result, w: result is os.system,
    ),
    "ModuleWrapper of a module with a side effect": lambda w: Case(
        (pw.ModuleWrapper, (w.module,)),
        [w.module],
        lambda result, w: result is sys.modules[w.module] and w.marker_written(),
    ),
    "ExceptionWrapper of a class in such a module": lambda w: Case(
        (pw.ExceptionWrapper, (f"{w.module}.Boom", ("bad",), {"code": 7})),
        [f"{w.module}.Boom"],
        lambda result, w: (
            (type(result).__name__, result.args, result.code) == ("Boom", ("bad",), 7)
        ),
    ),
    "PayloadWrapper whose funcs carry os.system as __del__": lambda w: Case(
        (pw.PayloadWrapper, (collections.OrderedDict, {"__del__": os.system})),
        [SYSTEM],
        _installed_system,
        refused_with=["collections.OrderedDict"],
    ),
    "reduce tuple naming builtins.eval": lambda w: Case(
        (eval, ("1 + 1",)), ["builtins.eval"], lambda result, w: result == 2
    ),
}


class World:
    """A fresh module whose import writes a marker file."""

    def __init__(self, tmp_path):
        self.module = f"allowlist_side_effect_{uuid.uuid4().hex}"
        self.marker = str(tmp_path / "marker")
        source = SIDE_EFFECT_MODULE.format(marker=self.marker)
        (tmp_path / f"{self.module}.py").write_text(source)

    def marker_written(self):
        return os.path.exists(self.marker)


@pytest.fixture
def world(tmp_path, monkeypatch):
    monkeypatch.syspath_prepend(str(tmp_path))
    return World(tmp_path)


def load_pickle(data, allow):
    return payloads.loads(data, allow=allow)


def load_plain_pickle_inside_the_block(data, allow):
    with payloads.allowed(allow):
        return pickle.loads(data)


def load_json(data, allow):
    return _allowlist.load_json(data, allow, keys=True)


def load_json_helper(data, allow):
    return payloads.json_loads(data, allow=allow)


ROUTES = [
    *(
        pytest.param(load_pickle, protocol, id=f"payloads.loads-{protocol}")
        for protocol in range(6)
    ),
    *(
        pytest.param(load_plain_pickle_inside_the_block, protocol, id=f"pickle.loads-{protocol}")
        for protocol in range(6)
    ),
    pytest.param(load_json, None, id="jsonpickle"),
    pytest.param(load_json_helper, None, id="json_loads"),
]


def serialise(payload, protocol):
    if protocol is None:
        return jsonpickle.encode(payload, keys=True)
    return pickle.dumps(payload, protocol)


# The names that pickle's own find_class resolves are not the wrappers' to check.
RESOLVED_BY_PICKLE = {"FunctionWrapper of os.system", "reduce tuple naming builtins.eval"}
REFUSALS = [
    pytest.param(name, *route.values, id=f"{name}-{route.id}")
    for name in CASES
    for route in ROUTES
    if route.values[0] is not load_plain_pickle_inside_the_block or name not in RESOLVED_BY_PICKLE
]


@pytest.mark.parametrize("case_name, route, protocol", REFUSALS)
def test_a_hostile_payload_is_refused_with_no_side_effect(world, case_name, route, protocol):
    case = CASES[case_name](world)
    data = serialise(Reduced(case.reduced), protocol)
    modules = set(sys.modules)

    with pytest.raises(pickle.UnpicklingError, match="refused to load"):
        route(data, case.refused_with)

    assert not world.marker_written()
    assert set(sys.modules) == modules
    assert "__del__" not in vars(pw.PayloadWrapper)


# The discarded first object of PayloadWrapperBase.__new__ calls os.system as it goes.
@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
@pytest.mark.parametrize("route, protocol", ROUTES)
@pytest.mark.parametrize("case_name", CASES)
def test_the_same_payload_loads_as_before_once_admitted(world, case_name, route, protocol):
    case = CASES[case_name](world)
    data = serialise(Reduced(case.reduced), protocol)

    result = route(data, case.refused_with + case.admitting)

    assert case.loaded(result, world)


def load_in_worker(data, allow):
    modules = set(sys.modules)
    try:
        payloads.loads(data, allow=allow)
    except pickle.UnpicklingError as error:
        return f"refused: {error}", sorted(set(sys.modules) - modules)
    return "loaded", []


def test_a_worker_of_a_process_pool_refuses_each_payload(world):
    cases = [CASES[name](world) for name in CASES]
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=context) as pool:
        results = [
            pool.submit(load_in_worker, pickle.dumps(Reduced(c.reduced)), c.refused_with).result()
            for c in cases
        ]

    assert [(outcome.split(":")[0], new) for outcome, new in results] == [("refused", [])] * len(
        cases
    )
    assert not world.marker_written()


@pytest.mark.parametrize(
    "reduced, why",
    [
        # An admitted module does not admit what it imported from elsewhere.
        ((pw.SpecialWrapper, ("dravolt_common.payloads.sys.exit",)), "an alias"),
        ((pw.SpecialWrapper, ("dravolt_common.payloads.importlib.import_module", "os")), "alias"),
        ((pw.ModuleWrapper, ("dravolt_common.payloads.importlib",)), "an alias"),
        # Nor what lies behind an object's attributes.
        ((pw.SpecialWrapper, ("dravolt_common.payloads.loads.__globals__.get", "os")), "alias"),
        ((pw.SpecialWrapper, ("dravolt_common..payloads",)), "not a dotted name"),
        ((pw.ModuleWrapper, (b"dravolt_common.payloads",)), "not a str"),
    ],
)
def test_names_below_an_admitted_module_that_lead_elsewhere_are_refused(reduced, why):
    data = pickle.dumps(Reduced(reduced))

    with pytest.raises(pickle.UnpicklingError, match=why):
        payloads.loads(data, allow=["dravolt_common.payloads"])


@pytest.mark.parametrize(
    "outer, inner, name, admitted",
    [
        (None, ["os"], "os.path", True),
        (None, ["os.path"], "os", False),
        (None, ["os"], "osx", False),
        (["os"], ["os", "json"], "json", False),  # an inner block only narrows
        (["os", "json"], ["json"], "json", True),
        (None, [], "dravolt_common.utils.payload_wrapper.SpecialWrapper", True),
        (None, [], "dravolt_common.utils.special_unpicklers.register_special_unpickler", False),
        (None, payloads.BUILTIN_EXCEPTIONS, "builtins.ValueError", True),
        (None, payloads.BUILTIN_EXCEPTIONS, "builtins.eval", False),
    ],
)
def test_which_names_are_admitted(outer, inner, name, admitted):
    with contextlib.ExitStack() as stack:
        if outer is not None:
            stack.enter_context(payloads.allowed(outer))
        allowlist = stack.enter_context(payloads.allowed(inner))
        assert allowlist.admits(name) is admitted


@pytest.mark.parametrize("entry", ["", "os.", ".os", "os..path", "a-b", 3])
def test_an_entry_is_a_dotted_name(entry):
    with pytest.raises(ValueError, match="dotted name"):
        payloads.allowed([entry]).__enter__()


def refused(full_name):
    try:
        pw.SpecialWrapper(full_name)
    except pickle.UnpicklingError:
        return True
    return False


def test_the_allowlist_follows_threads_as_context_variables_do():
    probe = contextvars.ContextVar("probe")
    seen = {}

    def look(key):
        seen[key] = (refused("posix.getpid"), probe.get(None) is not None)

    with payloads.allowed([]):
        probe.set(True)
        started = threading.Thread(target=look, args=("started",))
        copied = threading.Thread(target=contextvars.copy_context().run, args=(look, "copied"))
        for thread in (started, copied):
            thread.start()
            thread.join()

    # Refused exactly where the probe variable is visible.
    assert seen["copied"] == (True, True)
    assert seen["started"][0] == seen["started"][1]
    assert not refused("posix.getpid")


def test_the_allowlist_holds_in_its_asyncio_task_only():
    async def restricted(entered, other_done):
        with payloads.allowed([]):
            entered.set()
            await other_done.wait()
            return refused("posix.getpid"), await asyncio.create_task(child())

    async def child():
        return refused("posix.getpid")

    async def unrestricted(entered, other_done):
        await entered.wait()
        try:
            return refused("posix.getpid")
        finally:
            other_done.set()

    async def main():
        entered, other_done = asyncio.Event(), asyncio.Event()
        return await asyncio.gather(
            restricted(entered, other_done), unrestricted(entered, other_done)
        )

    assert asyncio.run(main()) == [(True, True), False]
