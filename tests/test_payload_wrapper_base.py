"""PayloadWrapperBase.__new__ and PayloadWrapper: construction, the class
attributes it installs, the recorded full name and the reduce tuple."""

import copy
import pickle
import subprocess
import sys
import types

import pytest

import dravolt_common.utils.payload_wrapper as pw
from class_attributes import restore_wrapper_classes  # noqa: F401
from leakcheck import assert_no_leak
from native_traceback import native_entries

KEY = "py/dravolt/external/type"


class Carried:
    """A class of an external type, carried by the wrappers."""


class Other:
    pass


def describe(wrapper):
    return f"wrapping {wrapper.cls.__name__}"


def full_name(cls):
    return f"{cls.__module__}.{cls.__qualname__}"


class Scripted(dict):
    """A funcs dict whose iteration or item reads raise ``error``."""

    def __init__(self, entries, error=None, where=None):
        super().__init__(entries)
        self.error = error
        self.where = where

    def __iter__(self):
        if self.where == "iter":
            raise self.error("iterating")
        return super().__iter__()

    def __getitem__(self, key):
        if self.where == "getitem":
            raise self.error("reading an entry")
        return super().__getitem__(key)


class Index:
    """An index constant whose conversion raises ``error``."""

    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error("converting the index")


# ---------------------------------------------------------------- construction


@pytest.mark.parametrize("extra", [(), ("ignored", 4)])
def test_wrapper_carries_class_funcs_and_full_name(extra):
    funcs = {"describe": describe}
    wrapper = pw.PayloadWrapper(Carried, funcs, *extra)
    assert type(wrapper) is pw.PayloadWrapper
    assert wrapper.funcs is funcs
    assert wrapper.cls is Carried
    assert vars(wrapper) == {"funcs": funcs, "cls": Carried, KEY: full_name(Carried)}
    assert vars(pw.PayloadWrapper)["describe"] is describe
    assert wrapper.describe() == "wrapping Carried"


@pytest.mark.parametrize(
    "funcs",
    [[("label", 1)], "label", None, 42],
    ids=["list", "str", "None", "int"],
)
def test_funcs_that_are_not_a_dict_give_the_fallback_instance(funcs):
    wrapper = pw.PayloadWrapper(Carried, funcs)
    assert vars(wrapper) == {"funcs": {}, "cls": Carried, KEY: full_name(Carried)}
    assert not hasattr(pw.PayloadWrapper, "label")


def test_without_funcs_the_wrapper_keeps_its_class():
    first, second = pw.PayloadWrapper(Carried), pw.PayloadWrapper(Other)
    assert vars(first) == {"funcs": {}, "cls": Carried, KEY: full_name(Carried)}
    assert second.cls is Other
    assert first.funcs is not second.funcs


def test_a_mapping_that_is_not_a_dict_is_installed_but_not_kept():
    wrapper = pw.PayloadWrapper(Carried, types.MappingProxyType({"label": 1}))
    assert pw.PayloadWrapper.label == 1
    assert vars(wrapper) == {"funcs": {}, "cls": Carried, KEY: full_name(Carried)}


def test_without_arguments_the_base_gives_the_bare_fallback():
    obj = pw.PayloadWrapperBase()
    assert type(obj) is pw.PayloadWrapperBase
    assert vars(obj) == {"funcs": {}, "cls": ""}


def test_a_key_that_is_not_a_str_stops_the_installation():
    funcs = {"first": 1, 2: "two", "third": 3}
    wrapper = pw.PayloadWrapper(Carried, funcs)
    assert pw.PayloadWrapper.first == 1
    assert not hasattr(pw.PayloadWrapper, "third")
    assert wrapper.funcs is funcs
    assert wrapper.cls is Carried


# Each funcs holds what the class holds already; setattr still runs type's
# own setter for the name: it refuses __dict__ and an int __name__ (which
# ends the installation), and renames the class for a str.
@pytest.mark.parametrize(
    "body, name, expected",
    [
        (None, "__dict__", ("PayloadWrapperBase", False)),
        ({"__name__": 5}, "__name__", ("Held", False)),
        ({"__name__": "Other"}, "__name__", ("Other", True)),
    ],
    ids=["__dict__", "int-__name__", "str-__name__"],
)
def test_installing_what_the_class_holds_sets_it_as_setattr_does(body, name, expected):
    cls = pw.PayloadWrapperBase if body is None else type("Held", (pw.PayloadWrapper,), body)
    cls(Carried, {name: vars(cls)[name], "later": describe})
    assert (cls.__name__, "later" in vars(cls)) == expected


def test_a_class_made_where_the_accepted_one_was_is_checked_again():
    # On 3.10 sys._clear_type_cache() starts the class versions again, so a
    # class made at a freed one's address may carry its version; a dict
    # subclass that object.__new__ did not refuse crashed. In a child: a
    # crash must not end the suite.
    code = """if True:
        import gc, sys
        import dravolt_common.utils.payload_wrapper as pw
        new = pw.PayloadWrapperBase.__new__
        dummies = [type("D%d" % i, (), {}) for i in range(200)]
        class A: pass
        sys._clear_type_cache()
        getattr(A, "zz", None)
        new(A)
        address = id(A)
        del A
        gc.collect()
        made = [type("B", (dict,), {}) for _ in range(2000)]
        for there in [cls for cls in made if id(cls) == address]:
            for primed in range(120):
                sys._clear_type_cache()
                for dummy in dummies[:primed]:
                    getattr(dummy, "zz", None)
                getattr(there, "zz", None)
                try:
                    new(there)
                except TypeError:
                    continue
                raise SystemExit("object.__new__ accepted a dict subclass")
    """
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert child.returncode == 0, (child.returncode, child.stderr[-2000:])


def test_a_later_wrapper_replaces_a_shared_class_attribute():
    first = pw.PayloadWrapper(Carried, {"label": "first"})
    second = pw.PayloadWrapper(Other, {"label": "second"})
    assert first.label == second.label == "second"


def test_funcs_go_to_the_class_being_constructed():
    class Sub(pw.PayloadWrapper):
        pass

    wrapper = Sub(Carried, {"label": "sub"})
    assert type(wrapper) is Sub
    assert vars(Sub)["label"] == "sub"
    assert "label" not in vars(pw.PayloadWrapper)


@pytest.mark.parametrize("defining", ["PayloadWrapper", "UnpicklableObject"])
def test_new_passes_on_along_the_method_resolution_order(defining):
    calls = []

    class Middle(pw.PayloadWrapperBase):
        def __new__(cls, *args):
            calls.append((cls, args))
            return super().__new__(cls, *args)

    class Sub(getattr(pw, defining), Middle):
        pass

    obj = Sub(Carried, {}, "extra")
    assert calls == [(Sub, (Carried, {}, "extra"))]
    assert type(obj) is Sub
    assert obj.cls is Carried


def test_the_class_is_what_the_module_copy_makes_of_it(monkeypatch):
    class Replacement(pw.PayloadWrapperBase):
        pass

    seen = []
    monkeypatch.setattr(
        pw, "copy", types.SimpleNamespace(copy=lambda cls: seen.append(cls) or Replacement)
    )
    obj = pw.PayloadWrapperBase(Carried, {"label": 1})
    assert seen == [pw.PayloadWrapperBase]
    assert type(obj) is Replacement
    assert vars(Replacement)["label"] == 1


@pytest.mark.parametrize(
    "funcs_index, cls_index, make_args",
    [
        (0, 1, lambda funcs: (funcs, Carried)),
        (-1, 0, lambda funcs: (Carried, "skipped", funcs)),
    ],
)
def test_rebound_index_constants_take_effect(monkeypatch, funcs_index, cls_index, make_args):
    monkeypatch.setattr(pw, "FUNCS_INDEX", funcs_index)
    monkeypatch.setattr(pw, "CLS_INDEX", cls_index)
    funcs = {"label": 1}
    obj = pw.PayloadWrapperBase(*make_args(funcs))
    assert obj.funcs is funcs
    assert obj.cls is Carried
    assert pw.PayloadWrapperBase.label == 1


FUNCS = {"label": 1}


@pytest.mark.parametrize(
    "change, expected",
    [
        # Unusable FUNCS_INDEX: the fallback instance, which keeps the class.
        (lambda m: m.setattr(pw, "FUNCS_INDEX", "1"), {"funcs": {}, "cls": Carried}),
        (lambda m: m.setattr(pw, "FUNCS_INDEX", 7), {"funcs": {}, "cls": Carried}),
        (lambda m: m.delattr(pw, "FUNCS_INDEX"), {"funcs": {}, "cls": Carried}),
        # Unusable CLS_INDEX once funcs was taken: the second object without cls.
        (lambda m: m.setattr(pw, "CLS_INDEX", 7), {"funcs": FUNCS}),
        (lambda m: m.setattr(pw, "CLS_INDEX", -(2**70)), {"funcs": FUNCS}),
        (lambda m: m.delattr(pw, "CLS_INDEX"), {"funcs": FUNCS}),
        (lambda m: m.setattr(pw, "CLS_INDEX", Index(ValueError)), {"funcs": FUNCS}),
        # Both unusable: the fallback instance as it was first made.
        (
            lambda m: (m.delattr(pw, "FUNCS_INDEX"), m.delattr(pw, "CLS_INDEX")),
            {"funcs": {}, "cls": ""},
        ),
    ],
    ids=[
        "funcs-str",
        "funcs-range",
        "funcs-missing",
        "cls-range",
        "cls-huge",
        "cls-missing",
        "cls-index-raises",
        "both-missing",
    ],
)
def test_errors_from_the_arguments_are_swallowed(monkeypatch, change, expected):
    change(monkeypatch)
    obj = pw.PayloadWrapperBase(Carried, FUNCS)
    assert vars(obj) == expected
    assert sys.exc_info() == (None, None, None)


@pytest.mark.parametrize("where", ["iter", "getitem"])
def test_failing_installation_still_keeps_the_arguments(where):
    funcs = Scripted({"label": 1}, ValueError, where)
    wrapper = pw.PayloadWrapper(Carried, funcs)
    assert not hasattr(pw.PayloadWrapper, "label")
    assert wrapper.funcs is funcs
    assert wrapper.cls is Carried


class Holder:
    """Instances keep their attributes in a dict that shares its keys."""


def instance_funcs():
    holder = Holder()
    holder.a, holder.b, holder.c = 1, 2, 3
    return vars(holder)


def replace_key(funcs, key):
    del funcs[key]
    funcs[key + "2"] = 0


# What the installation does to funcs at each step: (step, key) -> change.
FUNCS_CHANGES = {
    "grows": lambda funcs, step, key: step == 0 and funcs.update(extra=0),
    "shrinks": lambda funcs, step, key: step == 0 and funcs.pop("c"),
    "grows-at-the-last": lambda funcs, step, key: step == 2 and funcs.update(extra=0),
    "same-size-other-key": lambda funcs, step, key: (
        step == 0 and (funcs.pop("b"), funcs.update(d=4))
    ),
    "other-key-after-the-last": lambda funcs, step, key: (
        step == 2 and (funcs.pop("a"), funcs.update(d=4))
    ),
    "each-key-replaced": lambda funcs, step, key: replace_key(funcs, key),
    "refilled": lambda funcs, step, key: step == 0 and (funcs.clear(), funcs.update(x=1, y=2, z=3)),
}


@pytest.mark.parametrize("make_funcs", [lambda: {"a": 1, "b": 2, "c": 3}, instance_funcs])
@pytest.mark.parametrize("change", FUNCS_CHANGES.values(), ids=FUNCS_CHANGES)
def test_funcs_changed_while_installed_stop_as_a_loop_stops(make_funcs, change):
    expected = []
    funcs = make_funcs()
    try:
        for step, key in enumerate(funcs):
            funcs[key]
            expected.append(key)
            change(funcs, step, key)
    except RuntimeError:
        pass

    installed = []
    funcs = make_funcs()

    class Recording(type):
        def __setattr__(cls, name, value):
            installed.append(name)
            change(funcs, len(installed) - 1, name)
            super().__setattr__(name, value)

    class Wrapper(pw.PayloadWrapper, metaclass=Recording):
        pass

    wrapper = Wrapper(Carried, funcs)
    assert installed == expected
    assert wrapper.funcs is funcs


class RaisingOnce:
    """A key whose hash is that of a name, and whose first comparison raises."""

    def __init__(self, name, error):
        self.name, self.error = name, error

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        error, self.error = self.error, None
        if error:
            raise error
        return False


def copy_with(error):
    module = types.ModuleType("copy")
    key = RaisingOnce("copy", None)
    vars(module)[key] = None
    module.copy = copy.copy
    key.error = error
    return module


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize(
    "make_args, change",
    [
        (lambda error: (Carried, Scripted({"label": 1}, error, "iter")), None),
        (lambda error: (Carried, Scripted({"label": 1}, error, "getitem")), None),
        (lambda error: (Carried, FUNCS), lambda m, error: m.setattr(pw, "CLS_INDEX", Index(error))),
        # On the fallback path too, where the class is kept.
        (lambda error: (Carried, None), lambda m, error: m.setattr(pw, "CLS_INDEX", Index(error))),
        # Reading copy.copy: a key of copy's namespace compared with "copy" raises, once.
        (lambda error: (Carried, FUNCS), lambda m, error: m.setattr(pw, "copy", copy_with(error))),
    ],
    ids=["iter", "getitem", "cls-index", "fallback-cls-index", "copy-namespace-key"],
)
def test_exceptions_that_are_not_errors_propagate(monkeypatch, error, make_args, change):
    if change:
        change(monkeypatch, error)
    with pytest.raises(error) as info:
        pw.PayloadWrapper(*make_args(error))
    assert native_entries(info.value) == ["PayloadWrapper.__new__", "PayloadWrapperBase.__new__"]


# ---------------------------------------------------------------- __init__


def test_init_uses_the_module_globals_of_the_moment(monkeypatch):
    monkeypatch.setattr(pw, "JSONPICKLE_EXTERNAL_TYPE_KEY", "other/key")
    monkeypatch.setattr(pw, "get_attribute_full_name", lambda cls: f"named {cls.__name__}")
    wrapper = pw.PayloadWrapper(Carried, {})
    assert getattr(wrapper, "other/key") == "named Carried"
    assert KEY not in vars(wrapper)


def test_init_sets_the_key_through_the_instance_setattr():
    seen = []

    def recording_setattr(self, name, value):
        seen.append(name)
        object.__setattr__(self, name, value)

    class Sub(pw.PayloadWrapper):
        pass

    wrapper = Sub(Carried, {"__setattr__": recording_setattr})
    assert seen == ["__dict__", "funcs", "cls", KEY]
    assert getattr(wrapper, KEY) == full_name(Carried)


# Where an instance attribute __setattr__ is kept: inline, where the
# interpreter keeps an instance's attributes so, or in its dict.
stores_of_an_instance_setattr = pytest.mark.parametrize(
    "store",
    [
        lambda wrapper, value: object.__setattr__(wrapper, "__setattr__", value),
        lambda wrapper, value: vars(wrapper).__setitem__("__setattr__", value),
    ],
    ids=["inline", "in-the-dict"],
)


@stores_of_an_instance_setattr
def test_init_sets_the_key_through_an_instance_attribute_setattr(store):
    seen = []
    wrapper = pw.PayloadWrapper(Carried, {})
    store(wrapper, lambda name, value: seen.append((name, value)))
    pw.PayloadWrapper.__init__(wrapper, int)
    assert seen == [(KEY, full_name(int))]


@stores_of_an_instance_setattr
def test_init_sets_the_key_through_object_setattr_bound_to_another(store):
    other = Carried()
    wrapper = pw.PayloadWrapper(Carried, {})
    store(wrapper, other.__setattr__)
    pw.PayloadWrapper.__init__(wrapper, int)
    assert (getattr(other, KEY), vars(wrapper)[KEY]) == (full_name(int), full_name(Carried))


def test_init_calls_the_setattr_it_read_before_the_class_changed(monkeypatch):
    class Sub(pw.PayloadWrapper):
        pass

    seen = []

    def full_name_that_changes_the_class(cls):
        Sub.__setattr__ = lambda self, name, value: seen.append(name)
        return "changed"

    wrapper = Sub(Carried, {})
    monkeypatch.setattr(pw, "get_attribute_full_name", full_name_that_changes_the_class)
    pw.PayloadWrapper.__init__(wrapper, int)
    assert (seen, vars(wrapper)[KEY]) == ([], "changed")


# ---------------------------------------------------------------- __reduce__


def test_reduce_gives_the_class_the_arguments_and_a_copy_of_the_state():
    funcs = {"label": 1}
    wrapper = pw.PayloadWrapper(Carried, funcs)
    wrapper.extra = "kept"
    before = dict(vars(wrapper))
    reducer, args, state = wrapper.__reduce__()
    assert reducer is pw.PayloadWrapper
    assert args == (Carried, funcs)
    assert args[0] is Carried and args[1] is funcs
    assert state == {KEY: full_name(Carried), "extra": "kept"}
    assert state is not vars(wrapper)
    assert vars(wrapper) == before
    assert wrapper.__reduce__() == (pw.PayloadWrapper, (Carried, funcs), state)


def test_reduce_of_a_wrapper_made_without_funcs_names_its_class():
    assert pw.PayloadWrapper(Carried).__reduce__() == (
        pw.PayloadWrapper,
        (Carried, {}),
        {KEY: full_name(Carried)},
    )


@pytest.mark.parametrize(
    "attributes, expected_args",
    [({}, ("", {})), ({"cls": Carried}, (Carried, {})), ({"funcs": FUNCS}, ("", FUNCS))],
    ids=["neither", "no-funcs", "no-cls"],
)
def test_reduce_stands_in_for_missing_attributes_without_writing_them(attributes, expected_args):
    wrapper = object.__new__(pw.PayloadWrapper)
    vars(wrapper).update(attributes, note=1)
    first = wrapper.__reduce__()
    assert first == (pw.PayloadWrapper, expected_args, {"note": 1})
    assert vars(wrapper) == {**attributes, "note": 1}
    assert wrapper.__reduce__()[1] == expected_args


@pytest.mark.parametrize("error", [AttributeError, RuntimeError, KeyboardInterrupt])
def test_reduce_counts_any_failing_read_as_absence(error):
    class Sub(pw.PayloadWrapper):
        @property
        def funcs(self):
            raise error("funcs")

        @property
        def cls(self):
            raise error("cls")

    assert object.__new__(Sub).__reduce__() == (pw.PayloadWrapper, ("", {}), {})
    assert sys.exc_info() == (None, None, None)


class KeysOnly(dict):
    """An instance dict whose merge goes through keys() and __getitem__."""

    def keys(self):
        return ["shown"]

    def __iter__(self):
        return iter(self.keys())

    def __getitem__(self, key):
        return "through getitem"


def reading_class(kind):
    """A wrapper class that makes its own answer of funcs, cls or __dict__."""
    namespace = {
        "getattr": {"__getattr__": lambda self, name: f"missing {name}"},
        "getattribute": {
            "__getattribute__": lambda self, name: (
                f"read {name}" if name in ("funcs", "cls") else object.__getattribute__(self, name)
            )
        },
        "class attribute": {"funcs": "on the class", "cls": "on the class"},
        "dict property": {"__dict__": property(lambda self: {"note": 2, "funcs": 0})},
    }.get(kind, {})
    return type("Sub", (pw.PayloadWrapper,), namespace)


@pytest.mark.parametrize(
    "kind, expected",
    [
        ("getattr", (("missing cls", "missing funcs"), {"note": 1})),
        ("getattribute", (("read cls", "read funcs"), {"note": 1})),
        ("class attribute", (("on the class", "on the class"), {"note": 1})),
        ("dict property", (("", {}), {"note": 2})),
        ("dict subclass", (("", {}), {"shown": "through getitem"})),
        ("non-str key", (("", {}), {"note": 1, 7: "seven"})),
    ],
)
def test_reduce_reads_what_the_class_makes_of_its_attributes(kind, expected):
    wrapper = object.__new__(reading_class(kind))
    if kind == "dict subclass":
        wrapper.__dict__ = KeysOnly(note=1)
    elif kind != "dict property":
        vars(wrapper).update({"note": 1, **({7: "seven"} if kind == "non-str key" else {})})
    assert wrapper.__reduce__() == (pw.PayloadWrapper, *expected)


def test_reduce_names_the_module_global_payload_wrapper(monkeypatch):
    class Sub(pw.PayloadWrapper):
        pass

    wrapper = Sub(Carried, {})
    assert wrapper.__reduce__()[0] is pw.PayloadWrapper
    replacement = object()
    monkeypatch.setattr(pw, "PayloadWrapper", replacement)
    assert wrapper.__reduce__()[0] is replacement


def test_a_failing_reduce_leaves_the_wrapper_as_it_was(monkeypatch):
    wrapper = pw.PayloadWrapper(Carried, FUNCS)
    before = dict(vars(wrapper))
    monkeypatch.delattr(pw, "PayloadWrapper")
    with pytest.raises(NameError, match="^name 'PayloadWrapper' is not defined$"):
        wrapper.__reduce__()
    assert vars(wrapper) == before


# ---------------------------------------------------------------- the two mends in use


def test_a_wrapper_pickles_again_after_being_pickled():
    wrapper = pw.PayloadWrapper(Carried, {"describe": describe})
    before = dict(vars(wrapper))
    payloads = [pickle.dumps(wrapper), pickle.dumps(wrapper), pickle.dumps(copy.deepcopy(wrapper))]
    assert vars(wrapper) == before
    for payload in payloads:
        loaded = pickle.loads(payload)
        assert vars(loaded) == before
        assert loaded.describe() == "wrapping Carried"


def test_a_wrapper_made_without_funcs_is_rebuilt_with_its_class():
    loaded = pickle.loads(pickle.dumps(pw.PayloadWrapper(Carried)))
    assert type(loaded) is pw.PayloadWrapper
    assert loaded.cls is Carried
    assert getattr(loaded, KEY) == full_name(Carried)


# ---------------------------------------------------------------- tracebacks and leaks

WRAPPER = pw.PayloadWrapper(Carried, {})
REDUCE = pw.PayloadWrapper.__reduce__


@pytest.mark.parametrize(
    "call, error, entries",
    [
        (
            lambda m: pw.PayloadWrapper("", {}),
            AttributeError,
            ["PayloadWrapper.__init__", "get_attribute_full_name"],
        ),
        (
            lambda m: pw.PayloadWrapperBase.__new__("not a class"),
            TypeError,
            ["PayloadWrapperBase.__new__"],
        ),
        (
            lambda m: (m.delattr(pw, "copy"), pw.PayloadWrapperBase()),
            NameError,
            ["PayloadWrapperBase.__new__"],
        ),
        (
            lambda m: (m.delattr(pw, "JSONPICKLE_EXTERNAL_TYPE_KEY"), pw.PayloadWrapper(Carried)),
            NameError,
            ["PayloadWrapper.__init__"],
        ),
        (
            lambda m: (m.delattr(pw, "PayloadWrapper"), REDUCE(WRAPPER)),
            NameError,
            ["PayloadWrapper.__reduce__"],
        ),
    ],
    ids=["init", "new", "copy-missing", "key-missing", "reduce"],
)
def test_failures_carry_the_entries_of_the_methods_they_leave(monkeypatch, call, error, entries):
    with pytest.raises(error) as info:
        call(monkeypatch)
    assert native_entries(info.value) == entries


@pytest.mark.parametrize(
    "call, args, expect",
    [
        (pw.PayloadWrapper, (Carried, {"label": 1}), None),
        (pw.PayloadWrapper, (Carried,), None),
        (pw.PayloadWrapperBase, (), None),
        (pw.PayloadWrapper, (Carried, Scripted({"label": 1}, ValueError, "getitem")), None),
        (
            pw.PayloadWrapper,
            (Carried, Scripted({"label": 1}, KeyboardInterrupt, "iter")),
            KeyboardInterrupt,
        ),
        (pw.PayloadWrapper, ("", {}), AttributeError),
        (pw.PayloadWrapperBase.__new__, ("not a class",), TypeError),
        (pw.PayloadWrapper.__init__, (WRAPPER, Carried, "extra"), None),
        (pw.PayloadWrapper.__init__, (WRAPPER, 5), AttributeError),
        (pw.PayloadWrapper.__reduce__, (WRAPPER,), None),
        (pw.PayloadWrapper.__reduce__, (object.__new__(pw.PayloadWrapper),), None),
        (pw.PayloadWrapper.__reduce__, (WRAPPER, 1), TypeError),
    ],
)
def test_no_leaks(call, args, expect):
    assert_no_leak(call, args=args, expect=expect)
