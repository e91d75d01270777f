"""Every public function and method of both modules, called with hostile
objects built by hypothesis (``hostile_objects``): attributes and special
methods that raise, return the wrong type or rebind the modules' globals,
descriptors whose value changes between reads, hostile metaclasses, ``str``
subclasses and huge names, keys of the modules' namespaces that compare
with a global's name, ``funcs`` dictionaries changed while they are
installed, calls back into the modules down to the recursion limit, and
finalisers and ``gc.callbacks`` that call in while a call is in flight.

Each case runs in a forked child: the result of every call is a value or an
exception, never a crash, a hang or a SystemError.  The naming functions and
``get_attribute_full_name`` give what the pure-Python model gives on the same
recipe, run in a second child, whenever the recipe's run does not depend on
the depth of the recursion or the moment of a collection.
"""

import _testcapi
import pickle

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import figures
import forked
import hostile_objects as ho

# entry: (the callable in an Env, the kind of each positional argument, the
# parameter names that may be given by keyword)
ENTRIES = {
    "get_function_module": (
        lambda env: env.cn.get_function_module,
        ("any", "any"),
        ("function_obj", "is_method"),
    ),
    "get_function_full_name": (
        lambda env: env.cn.get_function_full_name,
        ("module_name", "any"),
        ("module_name", "function_obj"),
    ),
    "get_attribute_full_name": (lambda env: env.pw.get_attribute_full_name, ("any",), ("cls",)),
    "import_by_full_name": (lambda env: env.pw.import_by_full_name, ("name",), ("full_name",)),
    "SpecialWrapper": (lambda env: env.pw.SpecialWrapper, ("name", "any", "any"), ("cls",)),
    "ModuleWrapper": (lambda env: env.pw.ModuleWrapper, ("name", "any"), ("cls",)),
    "ModuleWrapper.__init__": (
        lambda env: env.pw.ModuleWrapper.__init__,
        ("instance:ModuleWrapper", "any"),
        ("self", "module_full_name"),
    ),
    "ModuleWrapper.__call__": (
        lambda env: env.pw.ModuleWrapper.__call__,
        ("instance:ModuleWrapper", "name"),
        ("self",),
    ),
    "ExceptionWrapper": (
        lambda env: env.pw.ExceptionWrapper,
        ("name", "any", "any"),
        ("cls",),
    ),
    "ExceptionWrapper.__init__": (
        lambda env: env.pw.ExceptionWrapper.__init__,
        ("instance:ExceptionWrapper", "any"),
        ("self",),
    ),
    "ExceptionWrapper.__call__": (
        lambda env: env.pw.ExceptionWrapper.__call__,
        ("instance:ExceptionWrapper", "name", "any", "any"),
        ("self",),
    ),
    "FunctionWrapper": (lambda env: env.pw.FunctionWrapper, ("any",), ("fullname",)),
    "FunctionWrapper.__call__": (
        lambda env: env.pw.FunctionWrapper.__call__,
        ("instance:FunctionWrapper", "any"),
        ("self",),
    ),
    "FunctionWrapper.__reduce__": (
        lambda env: env.pw.FunctionWrapper.__reduce__,
        ("instance:FunctionWrapper",),
        ("self",),
    ),
    "PayloadWrapperBase.__new__": (
        lambda env: env.pw.PayloadWrapperBase.__new__,
        ("class:PayloadWrapperBase", "any", "funcs"),
        ("cls",),
    ),
    "PayloadWrapper": (lambda env: env.pw.PayloadWrapper, ("any", "funcs", "any"), ("cls",)),
    "PayloadWrapper.__new__": (
        lambda env: env.pw.PayloadWrapper.__new__,
        ("class:PayloadWrapper", "any", "funcs"),
        ("cls",),
    ),
    "PayloadWrapper.__init__": (
        lambda env: env.pw.PayloadWrapper.__init__,
        ("instance:PayloadWrapper", "any"),
        ("self", "cls"),
    ),
    "PayloadWrapper.__reduce__": (
        lambda env: env.pw.PayloadWrapper.__reduce__,
        ("instance:PayloadWrapper",),
        ("self",),
    ),
    "UnpicklableObject": (lambda env: env.pw.UnpicklableObject, ("any", "funcs"), ("cls",)),
    "UnpicklableObject.__new__": (
        lambda env: env.pw.UnpicklableObject.__new__,
        ("class:UnpicklableObject", "any", "funcs"),
        ("cls",),
    ),
    "UnpicklableObject.__reduce__": (
        lambda env: env.pw.UnpicklableObject.__reduce__,
        ("instance:UnpicklableObject",),
        ("self",),
    ),
    "a subclass called": (
        lambda env: lambda cls, *args, **kwargs: cls(*args, **kwargs),
        ("class:PayloadWrapper", "any", "funcs"),
        (),
    ),
    "pickle round trip": (
        lambda env: lambda obj: pickle.loads(pickle.dumps(obj)),
        ("instance:PayloadWrapper",),
        (),
    ),
}
# Compared with the model.
DIFFERENTIAL = {"get_function_module", "get_function_full_name", "get_attribute_full_name"}
NAMING = {"get_function_module": (str, type(None)), "get_function_full_name": (str, type(None))}
# How the arguments are passed: as drawn, one fewer, one more, by keyword,
# one twice, with a keyword nobody takes, or with a keyword that is no str
# (which only a C caller can pass).
ARRANGEMENTS = ["exact", "missing", "extra", "keywords", "twice", "unknown", "subclass", "nonstr"]

# ----------------------------------------------------------------- strategies


def hostile(values, base=None, kind=None, size=(3, 2, 1)):
    """An object with up to ``size`` attributes, special methods and special
    methods of its metaclass; any base and kind unless given."""
    steps = behaviours(values)
    base = st.sampled_from(ho.BASES) if base is None else base
    kind = st.sampled_from(["instance", "class"]) if kind is None else kind

    def table(names, size):
        return st.dictionaries(st.sampled_from(names), steps, max_size=size).map(
            lambda found: tuple(sorted(found.items()))
        )

    return st.builds(
        ho.Hostile,
        base=base,
        kind=kind,
        attributes=st.lists(
            st.tuples(st.sampled_from(ho.NAMING_ATTRIBUTES), st.sampled_from(ho.PLACEMENTS), steps),
            max_size=size[0],
        ).map(tuple),
        dunders=table(ho.DUNDERS, size[1]),
        meta=table(ho.META_DUNDERS, size[2]),
        text=st.sampled_from(["hostile", "builtins", "", "pkg.mod", "json"]),
    ).map(lambda h: ("obj", h))


def funcs(values):
    return st.tuples(
        st.just("funcs"),
        st.none() | hostile(values, base=st.just("dict"), kind=st.just("instance")),
        st.lists(
            st.tuples(
                st.sampled_from(ho.FUNC_KEYS).map(lambda key: ("lit", key)) | values,
                values | st.tuples(st.just("callable"), behaviours(values)),
            ),
            max_size=3,
        ).map(tuple),
    )


def behaviours(values):
    """Steps: a side effect or none, then what the use gives or raises."""
    rebound = st.one_of(
        st.sampled_from(["delete", "strsub"]),
        st.sampled_from(ho.CN_GLOBALS + ho.PW_GLOBALS).map(lambda name: ("swap", name)),
        values,
    )
    reentries = st.sampled_from(sorted(ho.REENTRIES))
    side_step = st.one_of(
        st.tuples(st.just("rebind"), st.just("cn"), st.sampled_from(ho.CN_GLOBALS), rebound),
        st.tuples(st.just("rebind"), st.just("pw"), st.sampled_from(ho.PW_GLOBALS), rebound),
        st.tuples(st.sampled_from(["once", "deep", "finaliser", "gc_callback"]), reentries),
        st.tuples(st.just("mutate_funcs"), st.sampled_from(["clear", "add"])),
        st.tuples(
            st.just("shadow"),
            st.just("cn"),
            st.sampled_from(ho.CN_GLOBALS),
            st.sampled_from(["raise", "true", "false", "clear"]),
        ),
        st.tuples(
            st.just("shadow"),
            st.just("pw"),
            st.sampled_from(ho.PW_GLOBALS),
            st.sampled_from(["raise", "true", "false", "clear"]),
        ),
    )
    final_step = st.one_of(
        st.tuples(st.just("give"), values),
        st.tuples(st.just("raise"), st.sampled_from(sorted(ho.RAISES))),
        st.tuples(st.just("alternate"), values, values),
    )
    return st.builds(
        lambda side, final: tuple(side) + ((final,) if final else ()),
        st.lists(side_step, max_size=1),
        st.none() | final_step,
    )


def nested(inner, size):
    """Plain values, or objects whose behaviours give values of ``inner``."""
    return st.one_of(
        simple_values,
        hostile(inner, size=size),
        funcs(inner),
        st.tuples(st.just("callable"), behaviours(inner)),
    )


simple_values = st.sampled_from(sorted(ho.SIMPLE))
# Two levels of objects: an attribute may give an object whose attributes
# give plain values.
values = nested(nested(simple_values, (2, 1, 0)), (3, 2, 1))


def argument(kind):
    if kind == "name":
        return st.one_of(
            st.sampled_from(ho.NAMES).map(lambda name: ("lit", name)),
            hostile(values, base=st.just("str"), kind=st.just("instance")),
            values,
        )
    if kind == "module_name":
        return st.sampled_from([("lit", None), ("lit", ""), ("lit", "m"), "strsub"]) | values
    if kind == "funcs":
        return funcs(values) | values
    if kind.startswith("instance:"):
        wrapper = kind.partition(":")[2]
        return st.one_of(
            st.just(("proper", wrapper)),
            hostile(values, base=st.just(wrapper), kind=st.just("instance")),
            values,
        )
    if kind.startswith("class:"):
        wrapper = kind.partition(":")[2]
        return st.one_of(
            st.just(("class", wrapper)),
            hostile(values, base=st.just(wrapper), kind=st.just("class")),
            values,
        )
    return values


ARGUMENTS = {kind: argument(kind) for entry in ENTRIES.values() for kind in entry[1]}


@st.composite
def calls(draw):
    # The compared functions are drawn about half the time.
    entry = draw(st.sampled_from(sorted(DIFFERENTIAL)) | st.sampled_from(sorted(ENTRIES)))
    arguments = tuple(draw(ARGUMENTS[kind]) for kind in ENTRIES[entry][1])
    # Arguments as drawn half the time, otherwise arranged otherwise.
    arrangement = draw(st.just("exact") | st.sampled_from(ARRANGEMENTS))
    return entry, arguments, arrangement


# ------------------------------------------------------------------ the runs


def arrange(function, args, names, arrangement):
    """The call of ``function`` with ``args`` passed as ``arrangement`` says."""
    kwargs = {}
    if arrangement == "missing":
        args = args[:-1]
    elif arrangement == "extra":
        args = (*args, 1)
    elif arrangement == "keywords" and names:
        count = min(len(names), len(args))
        kwargs = dict(zip(names[:count], args[:count], strict=True))
        args = args[count:]
    elif arrangement == "twice" and names and args:
        kwargs = {names[0]: args[0]}
    elif arrangement == "unknown":
        kwargs = {"unknown": 1}
    elif arrangement == "subclass" and names and args:
        kwargs = {ho.StrSub(names[0]): args[0]}
        args = args[1:]
    elif arrangement == "nonstr":
        return lambda: _testcapi.pyobject_vectorcall(function, (*args, 1), (7,))
    return lambda: function(*args, **kwargs)


def run(case):
    """In the child: every call of the case against one Env."""
    env_name, recipe = case
    forked.quiet_child()
    env = ho.NATIVE if env_name == "native" else ho.MODEL_ENV
    context = ho.Context(env)
    found = []
    for entry, argument_recipes, arrangement in recipe:
        get_function, _, names = ENTRIES[entry]
        try:
            args = tuple(context.value(part) for part in argument_recipes)
        except BaseException:  # noqa: B036 - a recipe that cannot be built is no call
            found.append(("unbuilt",))
            continue
        context.calls += 1
        found.append(ho.outcome(arrange(get_function(env), args, names, arrangement)))
    return found, context.calls


@settings(
    max_examples=figures.scaled(400, least=60),
    deadline=None,
    suppress_health_check=list(HealthCheck),
)
@given(recipe=st.lists(calls(), min_size=1, max_size=2).map(tuple))
def test_hostile_calls_give_a_value_or_an_exception(recipe):
    native, calls_made = forked.result_in_child(run, ("native", recipe), timeout=60)
    figures.add("hostile input", cases=1, calls=calls_made)
    for (entry, _, _), found in zip(recipe, native, strict=True):
        assert found[:2] != ("raises", "SystemError"), (entry, found)
        if entry in NAMING and found[0] == "returns":
            assert found[1][0] in ("str", "NoneType"), (entry, found)

    compared = [i for i, (entry, _, _) in enumerate(recipe) if entry in DIFFERENTIAL]
    if not compared or not ho.steady(recipe):
        return
    model, _ = forked.result_in_child(run, ("model", recipe), timeout=60)
    figures.add("hostile input", compared_with_the_model=len(compared))
    for i in compared:
        entry, _, arrangement = recipe[i]
        mine, theirs = native[i], model[i]
        if arrangement != "exact" and "raises" == mine[0] == theirs[0]:
            # The model's own messages for a call it refuses differ in words.
            mine, theirs = mine[:2], theirs[:2]
        assert mine == theirs, (entry, "native", native[i], "model", model[i])
