import builtins
import collections
import copyreg
import dataclasses
import errno
import functools
import io
import json
import os.path
import pickle
import sys
import threading
import traceback
import types
import warnings

import jsonpickle
import pytest

from dravolt_common import payloads
from dravolt_common.utils import payload_wrapper as pw
from dravolt_common.utils import special_unpicklers
from dravolt_common.utils.special_unpicklers import TRACEBACK_TEXT_KEY, unpickle_exception

WRAPPERS = "dravolt_common.utils.payload_wrapper"
BUILD_CLASS = builtins.__build_class__
FLATTEN_FUNCTION = jsonpickle.pickler.Pickler._flatten_function


class KwOnlyError(Exception):
    def __init__(self, item, *, detail):
        super().__init__(f"{item}: {detail}")
        self.item = item
        self.detail = detail


class NoArgsError(Exception):
    def __init__(self):
        super().__init__("always the same")


@payloads.pickle_as_payload
class DecoratedError(KwOnlyError):
    pass


class SubError(DecoratedError):
    pass


class SlottedError(Exception):
    __slots__ = ("code", "__secret", "__tag__")

    def __init__(self, code):
        super().__init__(code)
        self.code = code
        self.__secret = code * 2
        self.__tag__ = f"tag {code}"


@dataclasses.dataclass
class Owner:
    value: int

    class Nested:
        pass

    def method(self):
        return self.value

    @classmethod
    def build(cls):
        return cls(0)

    def __private(self):
        return -self.value

    def private(self):
        return self.__private


class Holder:
    def __init__(self, **attributes):
        vars(self).update(attributes)


def _comparable(obj):
    """``obj`` with each bound method as its owner and name: bound methods
    compare their owners by identity, and a loaded owner is another object."""
    if isinstance(obj, (types.MethodType, types.BuiltinMethodType)):
        return ("method", _comparable(obj.__self__), obj.__name__)
    if isinstance(obj, Holder):
        return ("Holder", _comparable(vars(obj)))
    if isinstance(obj, dict):
        return {key: _comparable(value) for key, value in obj.items()}
    if isinstance(obj, list):
        return [_comparable(item) for item in obj]
    return obj


def _wrap(function):
    @functools.wraps(function)
    def wrapper(*args, **kwargs):
        return function(*args, **kwargs)

    return wrapper


def _wrap_without_name(function):
    def wrapper(*args, **kwargs):
        return function(*args, **kwargs)

    wrapper.__wrapped__ = function
    return wrapper


def rebound():
    return "original"


ORIGINAL_OF_REBOUND = rebound
rebound = _wrap(rebound)


def _local_function():
    def nested():
        pass

    return nested


def _local_class():
    class Local(Exception):
        pass

    return Local


def _free_function(self):
    return self


def _with(exception, **attributes):
    for name, value in attributes.items():
        setattr(exception, name, value)
    return exception


def _raised(exception, cause=None):
    """Raise ``exception``, from ``cause`` while handling it if there is one; return it."""
    try:
        if cause is None:
            raise exception
        try:
            raise cause
        except BaseException:
            raise exception from cause
    except BaseException as caught:
        return caught


def _through_pickle(protocol):
    return lambda obj: pickle.loads(payloads.dumps(obj, protocol))


def _through_jsonpickle(obj):
    text = jsonpickle.encode(obj, context=payloads.JsonPickler(keys=True))
    return jsonpickle.decode(text, keys=True)


ROUND_TRIPS = [
    *(pytest.param(_through_pickle(protocol), id=f"pickle-{protocol}") for protocol in range(6)),
    pytest.param(_through_jsonpickle, id="jsonpickle"),
    pytest.param(lambda obj: payloads.json_loads(payloads.json_dumps(obj)), id="json-helpers"),
]
DUMPERS = [
    pytest.param(payloads.dumps, id="pickle"),
    pytest.param(lambda obj: jsonpickle.encode(obj, context=payloads.JsonPickler()), id="json"),
    pytest.param(payloads.json_dumps, id="json-helpers"),
]

# Fields that the interpreter keeps outside the instance dictionary.
FIELDS = (
    "errno strerror filename filename2 name path msg lineno offset text end_lineno end_offset"
    " encoding object start end reason value code obj"
).split()


def fields(exception):
    return {name: getattr(exception, name, "-") for name in FIELDS}


@pytest.fixture
def installed():
    payloads.install()
    yield
    payloads.uninstall()


@pytest.fixture
def handlers():
    payloads.register_jsonpickle_handlers()
    yield
    payloads.unregister_jsonpickle_handlers()


@pytest.mark.parametrize("round_trip", ROUND_TRIPS)
@pytest.mark.parametrize(
    "original",
    [os.path.join, len, collections.OrderedDict, Owner.Nested, int, rebound, json, os.path],
    ids=lambda obj: getattr(obj, "__name__", repr(obj)),
)
def test_objects_by_reference_come_back_identical(round_trip, original):
    assert round_trip(original) is original


def _pickled_by_the_pickler(obj, protocol):
    buffer = io.BytesIO()
    payloads.Pickler(buffer, protocol).dump(obj)
    return buffer.getvalue()


class ListOfOwn(list):
    pass


class StrOfOwn(str):
    pass


class DumpsWhenReduced:
    def __reduce__(self):
        return (pickle.loads, (payloads.dumps(ValueError("inner")),))


class ShadowedArgs(Exception):
    args = property(lambda self: ("shadow",))


def _rebind_the_standard_pickler(monkeypatch):
    def refuse(*args, **kwargs):
        raise AssertionError("the rebound standard pickler was called")

    monkeypatch.setattr(pickle, "Pickler", refuse)
    monkeypatch.setattr(pickle, "dumps", refuse)


def _reduce_complex_as_str(monkeypatch):
    monkeypatch.setitem(copyreg.dispatch_table, complex, lambda value: (str, (repr(value),)))


def _give_loadclass_an_extension_code(monkeypatch):
    name = ("jsonpickle.unpickler", "loadclass")
    monkeypatch.setitem(copyreg._extension_registry, name, 240)
    monkeypatch.setitem(copyreg._inverted_registry, 240, name)


def _refuse_to_import_jsonpickle(monkeypatch):
    def refusing(name, *args, **kwargs):
        if name.startswith("jsonpickle"):
            raise ImportError(f"no {name} today")
        return real(name, *args, **kwargs)

    real = builtins.__import__
    monkeypatch.setattr(builtins, "__import__", refusing)


def _rename_loadclass(monkeypatch):
    monkeypatch.setattr(jsonpickle.unpickler.loadclass, "__qualname__", "renamed")


def _persist_every_str(monkeypatch):
    persistent_id = lambda self, obj: obj if type(obj) is str else None  # noqa: E731
    monkeypatch.setattr(payloads.Pickler, "persistent_id", persistent_id, raising=False)


def _outcome(dump, *args):
    try:
        return dump(*args)
    except Exception as error:
        return type(error), str(error)


@pytest.mark.parametrize(
    "setting",
    [
        lambda _: None,
        _rebind_the_standard_pickler,
        _reduce_complex_as_str,
        _give_loadclass_an_extension_code,
        _refuse_to_import_jsonpickle,
        _rename_loadclass,
        _persist_every_str,
    ],
    ids=[
        "as-imported",
        "rebound-pickle",
        "dispatch-table",
        "extension-code",
        "refused-import",
        "renamed-loadclass",
        "persistent-id",
    ],
)
@pytest.mark.parametrize("protocol", [None, *range(pickle.HIGHEST_PROTOCOL + 1), -1])
@pytest.mark.parametrize(
    "original",
    [
        os.path.join,
        len,
        Owner.Nested,
        int,
        ValueError("x" * 300),
        _with(KwOnlyError("a", detail="b"), __reduce__="shadows the class's", at=1 + 2j),
        _raised(OSError(2, "x", "f")),
        _raised(KwOnlyError("a", detail="b"), _raised(ValueError("c"))),
        _with(ValueError(ListOfOwn([1])), seen=("a", "a")),
        _with(ValueError(), callback=len),
        ShadowedArgs("real"),
        _with(ValueError("reentered"), inner=DumpsWhenReduced()),
        _with(ValueError("deep"), nested=[[[[["deeper than plain"]]]]]),
        ValueError(b"\xff", b""),
        _with(ValueError(), names=frozenset({"a"}), empty=frozenset()),
    ],
    ids=lambda obj: getattr(obj, "__name__", type(obj).__name__),
)
def test_dumps_writes_what_the_pickler_writes(monkeypatch, setting, protocol, original):
    payloads.dumps(original, protocol)  # whatever the shortcuts keep, as imported
    setting(monkeypatch)

    assert _outcome(payloads.dumps, original, protocol) == _outcome(
        _pickled_by_the_pickler, original, protocol
    )


def _rebind_baseline_maker(monkeypatch):
    made_by = payloads.unpickle_exception

    def maker(cls, args, attributes):
        return _with(made_by(cls, args, attributes), filename="made elsewhere")

    monkeypatch.setattr(payloads, "unpickle_exception", maker)


@pytest.mark.parametrize(
    ("first", "second", "between"),
    [
        (StopIteration(1), StopIteration(True), None),
        (StopIteration(1), StopIteration(1.0), None),
        (SystemExit("x"), SystemExit(StrOfOwn("x")), None),
        (OSError(2, "x"), _with(OSError(2, "x"), errno=3), None),
        (FileNotFoundError(2, "x"), _with(FileNotFoundError(2, "x"), filename=None), None),
        (FileNotFoundError(2, "x"), _with(FileNotFoundError(2, "x"), strerror="y"), None),
        (FileNotFoundError(2, "x"), FileNotFoundError(2, "x", "f"), None),
        (OSError(2, "x"), OSError(2, "x"), _rebind_baseline_maker),
    ],
    ids=[
        "bool",
        "float",
        "str-subclass",
        "errno",
        "filename-none",
        "strerror",
        "filename",
        "rebound-maker",
    ],
)
def test_a_kept_baseline_answers_as_a_new_one(monkeypatch, first, second, between):
    monkeypatch.setattr(payloads, "_BASELINES", {})
    payloads.dumps(first)
    if between is not None:
        between(monkeypatch)
    kept = payloads.dumps(second)

    with monkeypatch.context() as each_time:
        each_time.setattr(payloads, "_BASELINES", {})
        each_time.setattr(payloads, "_short_atoms", lambda args: False)
        assert kept == payloads.dumps(second)


def test_threads_dumping_by_reference_while_the_kept_pickles_churn(monkeypatch):
    monkeypatch.setattr(payloads, "_BY_REFERENCE_PICKLES_KEPT", 2)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    originals = [os.path.join, os.path.split, len, repr, json.dumps, Owner, Owner.Nested, int]
    wrong = []

    def dump_in_turn(offset):
        for turn in range(1000):
            original = originals[(turn + offset) % len(originals)]
            for protocol in (None, 3, 5):
                if pickle.loads(payloads.dumps(original, protocol)) is not original:
                    wrong.append((original, protocol))

    threads = [threading.Thread(target=dump_in_turn, args=(offset,)) for offset in range(4)]
    try:
        for thread in threads:
            thread.start()
    finally:
        for thread in threads:
            thread.join()
        sys.setswitchinterval(interval)

    assert wrong == []


class ChangingError(Exception):
    """Changed by another thread while its instances are dumped."""


@pytest.mark.parametrize("changed", ["class", "instance"])
def test_dumps_while_another_thread_changes_the_exception_or_its_class(changed):
    Changing = ChangingError
    error = Changing("x")
    target = Changing if changed == "class" else error
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    done = threading.Event()

    def change():
        while not done.is_set():
            # Entries come and go: the dict changes size.
            for turn in range(20):
                setattr(target, f"entry_{turn}", turn)
            for turn in range(20):
                delattr(target, f"entry_{turn}")

    changer = threading.Thread(target=change)
    changer.start()
    try:
        for _ in range(2000):
            payloads.dumps(error)
    finally:
        done.set()
        changer.join()
        sys.setswitchinterval(interval)


def test_dumps_uses_a_rebound_pickler_of_the_module(monkeypatch):
    seen = []

    class Recording(payloads.Pickler):
        def reducer_override(self, obj):
            seen.append(obj)
            return super().reducer_override(obj)

    monkeypatch.setattr(payloads, "Pickler", Recording)

    assert pickle.loads(payloads.dumps(os.path.join)) is os.path.join
    assert seen[0] is os.path.join


@pytest.mark.parametrize("protocol", range(6))
def test_types_that_pickle_names_by_a_rule_of_its_own_are_left_to_it(protocol):
    originals = [type(None), type(NotImplemented), type(...)]

    assert pickle.loads(payloads.dumps(originals, protocol)) == originals


@pytest.mark.parametrize("round_trip", ROUND_TRIPS)
@pytest.mark.parametrize(
    "original",
    [Owner(3).method, Owner.build, Owner(4).private(), [1, 2].append, dict.fromkeys],
    ids=["method", "classmethod", "private", "builtin", "builtin-classmethod"],
)
def test_bound_methods_come_back_bound_to_an_equal_owner(round_trip, original):
    loaded = round_trip(original)

    assert (loaded.__self__, loaded.__qualname__) == (original.__self__, original.__qualname__)
    assert getattr(loaded, "__func__", None) is getattr(original, "__func__", None)


@pytest.mark.parametrize("dump", DUMPERS)
@pytest.mark.parametrize(
    ("obj", "reason"),
    [
        (lambda: None, "a lambda has no name"),
        (_local_function(), r"defined inside a function \(_local_function.<locals>.nested\)"),
        (_wrap_without_name(len), "should use functools.wraps"),
        (
            ORIGINAL_OF_REBOUND,
            r"test_payloads.rebound now names .*, which wraps it \(found through __wrapped__\)",
        ),
        (_local_class(), "defined inside a function"),
        (_local_class()("x"), "defined inside a function"),
        (types.ModuleType("made_by_hand"), "not the module imported as 'made_by_hand'"),
        (types.MethodType(_free_function, Owner(1)), "_free_function of its owner .* gives"),
        ({"cb": lambda: None}, "a lambda has no name"),
        (Holder(cb=lambda: None), "a lambda has no name"),
    ],
    ids=lambda value: "" if isinstance(value, str) else type(value).__name__,
)
def test_what_cannot_travel_is_refused_when_dumped(dump, obj, reason):
    with pytest.raises(pickle.PicklingError, match=reason):
        dump(obj)


@pytest.mark.parametrize("round_trip", ROUND_TRIPS)
@pytest.mark.parametrize(
    "original",
    [
        KwOnlyError("disk", detail="full"),
        NoArgsError(),
        OSError(errno.ENOENT, "missing", "a.txt", None, "b.txt"),
        ImportError("no module", name="pkg", path="/p"),
        SyntaxError("bad", ("f.py", 3, 5, "x y", 3, 6)),
        UnicodeDecodeError("utf-8", b"\xff", 0, 1, "invalid start byte"),
        StopIteration(5),
        _with(SystemExit(3), code=None),
        _with(BlockingIOError(errno.EAGAIN, "busy"), characters_written=12),
        AttributeError("no attr", name="attr", obj=object()),
        NameError("undefined", name="x"),
        SlottedError(4),
        _with(ValueError("noted"), __notes__=["a note"]),
    ],
    ids=lambda exception: type(exception).__name__,
)
def test_exceptions_keep_class_args_attributes_and_fields(round_trip, original):
    loaded = round_trip(original)

    expected = fields(original)
    if isinstance(original, AttributeError):
        expected["obj"] = None  # the object whose attribute was missing does not travel
    assert type(loaded) is type(original)
    assert (loaded.args, str(loaded), vars(loaded)) == (
        original.args,
        str(original),
        vars(original),
    )
    assert fields(loaded) == expected
    if isinstance(original, SlottedError):
        assert (loaded._SlottedError__secret, loaded.__tag__) == (8, "tag 4")


@pytest.mark.skipif(sys.version_info < (3, 11), reason="exception groups are new in 3.11")
@pytest.mark.parametrize("round_trip", ROUND_TRIPS)
def test_an_exception_group_keeps_its_message_and_exceptions(round_trip):
    group = builtins.ExceptionGroup
    original = group("several", [ValueError(1), KwOnlyError("disk", detail="full")])

    loaded = round_trip(original)

    assert (type(loaded), loaded.message) == (group, "several")
    assert [(type(e), e.args, vars(e)) for e in loaded.exceptions] == [
        (type(e), e.args, vars(e)) for e in original.exceptions
    ]


def _entries(exception):
    return [
        (e.filename, e.lineno, e.name, e.line)
        for e in traceback.extract_tb(exception.__traceback__)
    ]


def _frames(exception):
    tb, found = exception.__traceback__, []
    while tb is not None:
        code = tb.tb_frame.f_code
        found.append((getattr(code, "co_qualname", None), code.co_firstlineno, tb.tb_frame.f_back))
        tb = tb.tb_next
    return found


@pytest.mark.parametrize("round_trip", ROUND_TRIPS)
def test_a_raised_chain_keeps_its_links_and_each_traceback(round_trip):
    original = _raised(KwOnlyError("disk", detail="full"), _raised(FileNotFoundError(2, "x", "a")))

    loaded = round_trip(original)

    cause = loaded.__cause__
    assert (type(cause), cause.filename, str(cause)) == (
        FileNotFoundError,
        "a",
        str(original.__cause__),
    )
    assert loaded.__context__ is cause and loaded.__suppress_context__
    for rebuilt, first in [(loaded, original), (cause, original.__cause__)]:
        assert _entries(rebuilt) == _entries(first) and _entries(first)[0][2] == "_raised"
        # The frames keep no caller alive, nor anything of the original's locals.
        assert _frames(rebuilt) == [(q, n, None) for q, n, _ in _frames(first)]
        assert rebuilt.__traceback__.tb_frame.f_locals == {}
        assert not hasattr(rebuilt, "__notes__")
    # Printed as the original, source lines included, less the carets.
    assert _printed(loaded) == _printed(original)


def _printed(exception):
    text = traceback.format_exception(type(exception), exception, exception.__traceback__)
    return [line for line in "".join(text).splitlines() if line.strip(" ^~")]


@pytest.mark.parametrize("round_trip", ROUND_TRIPS)
def test_chains_and_attributes_that_lead_back_round_trip(round_trip):
    first, second, itself = ValueError("first"), KeyError("second"), TypeError("itself")
    first.__context__, second.__context__ = second, first
    itself.__cause__, itself.__suppress_context__ = itself, False
    holder = _with(KwOnlyError("a", detail="b"), seen={"by": [first]}, owner=Owner(1))
    first.holder = holder

    loaded_first, loaded_itself = round_trip([first, itself])

    assert loaded_first.__context__.__context__ is loaded_first
    assert loaded_first.__context__.args == ("second",) and loaded_first.__cause__ is None
    assert loaded_itself.__cause__ is loaded_itself and not loaded_itself.__suppress_context__
    loaded_holder = loaded_first.holder
    assert loaded_holder.seen["by"][0] is loaded_first and loaded_holder.owner == Owner(1)


@pytest.mark.parametrize(
    ("original", "names"),
    [
        (_raised(KwOnlyError("a", detail="b")), {(WRAPPERS, "ExceptionWrapper")}),
        (json, {(WRAPPERS, "ModuleWrapper")}),
        (os.path.join, {("jsonpickle.unpickler", "loadclass")}),
        (Owner.build, {(WRAPPERS, "SpecialWrapper"), ("jsonpickle.unpickler", "loadclass")}),
    ],
    ids=["exception", "module", "function", "method"],
)
def test_payloads_name_nothing_but_the_wrappers(original, names):
    seen = set()

    class Recording(pickle.Unpickler):
        def find_class(self, module, name):
            seen.add((module, name))
            return super().find_class(module, name)

    Recording(io.BytesIO(payloads.dumps(original))).load()

    assert seen == names


def test_a_reader_without_the_traceback_entry_loads_it_as_an_attribute(monkeypatch):
    def older_reader(exception_class, args, attributes):
        exception = unpickle_exception(exception_class, args, None)
        exception.__setstate__(dict(attributes))
        return exception

    monkeypatch.setattr(special_unpicklers, "get_special_unpickle_function", lambda _: older_reader)
    original = _raised(KwOnlyError("a", detail="b"), _raised(OSError(2, "x", "f")))

    loaded = pickle.loads(payloads.dumps(original))

    assert (type(loaded), loaded.detail, loaded.__cause__.filename) == (KwOnlyError, "b", "f")
    assert getattr(loaded, TRACEBACK_TEXT_KEY) == tuple(
        (e.filename, e.lineno, e.name, *rest)
        for e, rest in zip(
            traceback.extract_tb(original.__traceback__), _first_lines(original), strict=True
        )
    )


def _first_lines(exception):
    return [(q, n) for q, n, _ in _frames(exception)]


def test_the_traceback_note_of_an_older_payload_does_not_touch_the_notes_it_was_given():
    notes = ["first"]

    rebuilt = unpickle_exception(ValueError, (), {"__notes__": notes, TRACEBACK_TEXT_KEY: "tb"})

    assert (rebuilt.__notes__, notes, rebuilt.__traceback__) == (["first", "tb"], ["first"], None)


@pytest.mark.parametrize("protocol", range(6))
def test_decorated_classes_and_their_subclasses_use_the_reducer(protocol):
    original = _raised(SubError("a", detail="b"), _raised(OSError(2, "x", "f")))

    loaded = pickle.loads(pickle.dumps(original, protocol))

    assert (type(loaded), loaded.detail, loaded.__cause__.filename) == (SubError, "b", "f")
    with pytest.raises(TypeError, match="takes an exception class"):
        payloads.pickle_as_payload(Owner)


@pytest.mark.parametrize("protocol", range(6))
def test_install_covers_what_exists_and_the_named_later_classes_until_uninstalled(protocol):
    before = dict(copyreg.dispatch_table)
    later = sys.modules["later_module"] = types.ModuleType("later_module")
    copyreg.dispatch_table[NoArgsError] = keep_own = copyreg.dispatch_table.get(complex)
    try:
        payloads.install()
        exec(
            "class LaterError(Exception):\n    def __init__(self, *, a):\n        self.a = a",
            vars(later),
        )
        with pytest.raises(TypeError, match="keyword-only argument"):
            pickle.loads(pickle.dumps(later.LaterError(a=1), protocol))
        payloads.install(later.LaterError)
        existing = _with(KwOnlyError("a", detail="b"), __cause__=OSError(2, "x", "f", None, "g"))
        owner = Owner(4)
        originals = [existing, later.LaterError(a=1), json, owner.private(), [1, 2].append, len]

        loaded, loaded_later, module, private, append, builtin = pickle.loads(
            pickle.dumps(originals, protocol)
        )

        assert (type(loaded), loaded.detail, loaded.__cause__.filename2) == (KwOnlyError, "b", "g")
        assert (type(loaded_later), loaded_later.a, module, builtin) == (
            later.LaterError,
            1,
            json,
            len,
        )
        assert (private(), append.__self__, append.__name__) == (-4, [1, 2], "append")
        assert copyreg.dispatch_table[NoArgsError] is keep_own
    finally:
        payloads.uninstall()
        del sys.modules["later_module"]
        del copyreg.dispatch_table[NoArgsError]
    assert copyreg.dispatch_table == before and builtins.__build_class__ is BUILD_CLASS


class UnhashableMeta(type):
    def __hash__(cls):
        raise TypeError("no hash")


def test_install_of_named_classes_covers_them_and_their_subclasses_only():
    before = dict(copyreg.dispatch_table)
    unhashable = UnhashableMeta("Unhashable", (KwOnlyError,), {})  # cannot be a table key
    try:
        payloads.install(KwOnlyError)

        added = set(copyreg.dispatch_table) - set(before)
    finally:
        payloads.uninstall()
    assert added == {KwOnlyError, DecoratedError, SubError}
    assert isinstance(unhashable, UnhashableMeta)
    assert copyreg.dispatch_table == before
    with pytest.raises(TypeError, match="takes exception classes"):
        payloads.install(KwOnlyError, Owner)


def test_a_class_statement_under_install_runs_as_without_it(installed):
    class Warns:
        def __init_subclass__(cls):
            warnings.warn("subclassed", DeprecationWarning, stacklevel=2)

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")

        class Sub(Warns):
            pass

    assert [warning.filename for warning in caught] == [__file__]
    assert builtins.__build_class__ is BUILD_CLASS


def test_jsonpickle_handlers_write_payloads_of_the_wrappers(handlers):
    first, second = ValueError("first"), KeyError("second")
    first.__context__, second.__context__ = second, first

    text = jsonpickle.encode([first, json, Owner(2).method], keys=True)
    loaded_first, module, method = jsonpickle.decode(text, keys=True)

    for wrapper in ["ExceptionWrapper", "ModuleWrapper", "SpecialWrapper"]:
        assert f"{WRAPPERS}.{wrapper}" in text
    assert loaded_first.__context__.__context__ is loaded_first
    assert (module, method()) == (json, 2)
    payloads.unregister_jsonpickle_handlers()
    assert jsonpickle.handlers.get(ValueError) is None


def test_jsonpickle_handlers_write_a_built_in_bound_method_bound(handlers):
    loaded = jsonpickle.decode(jsonpickle.encode([[1, 2].append, len], keys=True), keys=True)

    assert (loaded[0].__self__, loaded[0].__name__, loaded[1]) == ([1, 2], "append", len)
    payloads.unregister_jsonpickle_handlers()
    assert jsonpickle.pickler.Pickler._flatten_function is FLATTEN_FUNCTION


OWNER = Owner(5)


@pytest.mark.parametrize(
    "encode",
    [
        pytest.param(
            lambda obj: jsonpickle.encode(obj, context=payloads.JsonPickler()), id="plain"
        ),
        pytest.param(
            lambda obj: jsonpickle.encode(obj, context=payloads.JsonPickler(keys=True)), id="keys"
        ),
        pytest.param(payloads.json_dumps, id="helpers"),
    ],
)
@pytest.mark.parametrize(
    "original",
    [
        {"cb": OWNER.method, "n": [OWNER.method]},
        Holder(cb=OWNER.method, append=[3].append),
        [{"cb": Owner.build}, Holder(later=OWNER.method)],
    ],
    ids=["dict-value", "attribute", "referenced"],
)
def test_json_keeps_bound_methods_in_dicts_and_attributes(encode, original):
    loaded = jsonpickle.decode(encode(original), keys=True)

    assert _comparable(loaded) == _comparable(original)


@pytest.mark.parametrize(
    "original",
    [{1: OWNER.method, (2, 3): "t", "py/object": "tag", "json://x": 4}, Holder(**{"py/id": 7})],
    ids=["dict", "attribute"],
)
def test_json_helpers_keep_keys_that_are_not_str_or_are_jsonpickle_tags(original):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        loaded = payloads.json_loads(payloads.json_dumps(original))

    assert _comparable(loaded) == _comparable(original)


def test_json_without_keys_refuses_a_key_that_is_a_tag():
    with pytest.raises(pickle.PicklingError, match="'py/object'.*keys=True"):
        payloads.json_dumps({"py/object": OWNER.method}, keys=False)


@pytest.mark.parametrize(
    ("options", "message"),
    [
        ({"context": None}, "makes its own jsonpickle context: context"),
        ({"reset": False}, "reset refused"),
        ({"keyz": True}, "does not take: keyz"),
    ],
)
def test_json_helpers_refuse_options_they_cannot_honour(options, message):
    for helper, argument in [(payloads.json_dumps, 1), (payloads.json_loads, "1")]:
        with pytest.raises(TypeError, match=message):
            helper(argument, **options)


def test_json_helpers_apply_each_option_to_the_side_that_reads_it():
    options = {"keys": False, "indent": 2, "classes": [Owner]}

    text = payloads.json_dumps({1: Owner(2)}, **options)

    assert text.startswith('{\n  "1"') and payloads.json_loads(text, **options) == {"1": Owner(2)}


@pytest.mark.parametrize(
    ("payload", "found", "missing"),
    [
        # What a class defined in a script run as __main__ leaves in a file read elsewhere.
        (pw.PayloadWrapper(Owner, {}), f"{__name__}.Owner", "'__main__.Gone'.*defined in __main__"),
        # A wrapper that makes the named object: when the name leads nowhere,
        # jsonpickle gives back a blank wrapper in the object's place.
        (ValueError("x"), "builtins.ValueError", "'gone.ValueError'"),
        # A function or class by reference: loadclass gives None in its place.
        (os.path.join, "posixpath.join", "'gone.ValueError'"),
        ({"f": Owner}, f"{__name__}.Owner", "'__main__.Gone'.*defined in __main__"),
    ],
    ids=["PayloadWrapper", "ExceptionWrapper", "function", "class in a dict"],
)
def test_json_loads_names_a_class_that_cannot_be_found(payload, found, missing):
    pickler = None if isinstance(payload, pw.PayloadWrapper) else payloads.JsonPickler(keys=True)
    text = jsonpickle.encode(payload, keys=True, context=pickler)
    text = text.replace(found, "__main__.Gone" if "defined in" in missing else "gone.ValueError")

    with pytest.raises(pickle.UnpicklingError, match=missing):
        payloads.json_loads(text)
