"""Introspection, binding, pickling and argument handling of every function
and method of ``payload_wrapper``."""

import copy
import inspect
import pickle
import types

import pytest

import dravolt_common.utils.payload_wrapper as pw
import payload_wrapper_twin as twin

MODULE_NAME = "dravolt_common.utils.payload_wrapper"
SOURCE_PATH = "dravolt_common/utils/payload_wrapper"
INIT_DOC = "\n        This object wraps extranl types.\n        "

QUALNAMES = twin.QUALNAMES
METHODS = [q for q in QUALNAMES if "." in q]
GENERAL = [q for q in QUALNAMES if q not in twin.SINGLE_ARGUMENT]


def native(qualname):
    return twin.lookup(pw, qualname)


def owner_instance(qualname):
    """An instance of the class that defines the method (None for functions)."""
    if "." not in qualname:
        return None
    return object.__new__(getattr(pw, qualname.split(".")[0]))


def expect_parsed(call, *args, **kwargs):
    """Call and require that the arguments were accepted.

    Some method bodies may still raise NotImplementedError; that, a normal
    return or any error other than TypeError shows that the arguments got
    through.  The calls used with this helper are chosen so that the body
    itself never raises TypeError.
    """
    try:
        call(*args, **kwargs)
    except TypeError as exc:
        pytest.fail(f"arguments refused: {exc}")
    except Exception:
        pass


# ---------------------------------------------------------------- introspection


@pytest.mark.parametrize("qualname", QUALNAMES)
def test_names_module_and_globals(qualname):
    f = native(qualname)
    assert f.__name__ == qualname.rpartition(".")[2]
    assert f.__qualname__ == qualname
    assert f.__module__ == MODULE_NAME
    assert f.__globals__ is vars(pw)
    assert f.__defaults__ is None
    assert f.__kwdefaults__ is None


@pytest.mark.parametrize("qualname", QUALNAMES)
def test_docstrings(qualname):
    expected = INIT_DOC if qualname == "PayloadWrapper.__init__" else None
    assert native(qualname).__doc__ == expected


@pytest.mark.parametrize("qualname", QUALNAMES)
def test_annotations(qualname):
    f = native(qualname)
    expected = twin.lookup(twin, qualname).__annotations__
    assert f.__annotations__ == expected
    for key, value in expected.items():
        assert f.__annotations__[key] is value
    assert f.__annotations__ is f.__annotations__


def test_annotations_refer_to_the_module_globals():
    assert pw.get_attribute_full_name.__annotations__ == {
        "cls": pw.Any,
        "return": pw.AnyStr,
    }
    assert pw.ModuleWrapper.__init__.__annotations__ == {"return": None}
    assert pw.import_by_full_name.__annotations__ == {}
    assert pw.PayloadWrapper.__init__.__annotations__ == {"cls": pw.Any}


@pytest.mark.parametrize("qualname", QUALNAMES)
def test_code_object(qualname):
    code = native(qualname).__code__
    expected = twin.lookup(twin, qualname).__code__
    flags = inspect.CO_VARARGS | inspect.CO_VARKEYWORDS
    assert isinstance(code, types.CodeType)
    assert code.co_name == qualname.rpartition(".")[2]
    assert code.co_filename == SOURCE_PATH
    assert code.co_argcount == expected.co_argcount
    assert code.co_posonlyargcount == 0
    assert code.co_kwonlyargcount == 0
    assert code.co_varnames == expected.co_varnames
    assert code.co_nlocals == len(expected.co_varnames)
    assert code.co_flags & flags == expected.co_flags & flags


@pytest.mark.parametrize("qualname", QUALNAMES)
def test_signature(qualname):
    expected = inspect.signature(twin.lookup(twin, qualname))
    assert inspect.signature(native(qualname)) == expected


@pytest.mark.parametrize("qualname", QUALNAMES)
def test_functions_accept_attributes(qualname):
    f = native(qualname)
    f.marker = qualname
    try:
        assert f.__dict__["marker"] == qualname
        assert f.marker == qualname
    finally:
        del f.marker
    assert not hasattr(f, "marker")


# ---------------------------------------------------------------- binding


@pytest.mark.parametrize("qualname", [q for q in METHODS if not q.endswith("__new__")])
def test_methods_bind_like_python_functions(qualname):
    class_name, name = qualname.split(".")
    cls = getattr(pw, class_name)
    f = vars(cls)[name]
    assert getattr(cls, name) is f
    assert f.__get__(None, cls) is f
    instance = object.__new__(cls)
    bound = getattr(instance, name)
    assert isinstance(bound, types.MethodType)
    assert bound.__func__ is f
    assert bound.__self__ is instance


@pytest.mark.parametrize("qualname", [q for q in METHODS if q.endswith("__new__")])
def test_new_is_the_function_on_class_and_instance(qualname):
    class_name = qualname.split(".")[0]
    cls = getattr(pw, class_name)
    f = cls.__new__
    assert f.__qualname__ == qualname
    assert object.__new__(cls).__new__ is f
    # As a class statement stores it: a staticmethod around a function of the
    # one type that every function of the module has.
    stored = vars(cls)["__new__"]
    assert type(stored) is staticmethod
    assert stored.__func__ is f
    assert type(f) is type(pw.get_attribute_full_name)


# ---------------------------------------------------------------- pickling


@pytest.mark.parametrize("qualname", QUALNAMES)
def test_pickled_and_copied_by_reference(qualname):
    f = native(qualname)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f, protocol)) is f, protocol
    assert copy.copy(f) is f
    assert copy.deepcopy(f) is f


# ---------------------------------------------------------------- argument errors


def _single_argument_cases():
    for q in sorted(twin.SINGLE_ARGUMENT):
        name = q.rpartition(".")[2]
        no_keywords = f"{name}() takes no keyword arguments"
        yield q, (), {}, f"{name}() takes exactly one argument (0 given)"
        yield q, (1, 2), {}, f"{name}() takes exactly one argument (2 given)"
        yield q, (1, 2, 3), {}, f"{name}() takes exactly one argument (3 given)"
        yield q, (), {"x": 1}, no_keywords
        yield q, (1,), {"x": 1}, no_keywords
        yield q, (1, 2), {"x": 1}, no_keywords
        param = twin.lookup(twin, q).__code__.co_varnames[0]
        yield q, (), {param: 1}, no_keywords


def _arity(n, varargs):
    word = "at least" if varargs else "exactly"
    return f"{word} {n} positional argument{'' if n == 1 else 's'}"


def _general_cases():
    for q in GENERAL:
        code = twin.lookup(twin, q).__code__
        name = code.co_name
        named = code.co_varnames[: code.co_argcount]
        n = len(named)
        varargs = bool(code.co_flags & inspect.CO_VARARGS)
        varkw = bool(code.co_flags & inspect.CO_VARKEYWORDS)
        arity = _arity(n, varargs)
        full = tuple(f"v{i}" for i in range(n))
        # A named parameter is missing: the count given is the index of the
        # first missing one, also when later ones come as keywords and even
        # when other keywords are wrong.
        for i in range(n):
            later = {p: "k" for p in named[i + 1 :]}
            message = f"{name}() takes {arity} ({i} given)"
            yield q, full[:i], {}, message
            yield q, full[:i], later, message
            yield q, full[:i], {**later, "zz_unknown": 1}, message
        # A keyword repeats a parameter given by position.
        message = f"{name}() got multiple values for keyword argument '{named[0]}'"
        yield q, full, {named[0]: "again"}, message
        if not varkw:
            unexpected = f"{name}() got an unexpected keyword argument 'zz_unknown'"
            yield q, full, {"zz_unknown": 1}, unexpected
            # Keywords are checked in the order given.
            yield q, full, {"zz_unknown": 1, named[0]: "again"}, unexpected
            yield q, full, {named[0]: "again", "zz_unknown": 1}, message
        if not varargs:
            too_many = f"{name}() takes exactly {n} positional arguments ({n + 1} given)"
            yield q, full + ("extra",), {}, too_many
            yield q, full + ("extra",), {"zz_unknown": 1}, too_many
            yield (
                q,
                ("extra",) * (n + 2),
                {named[0]: 1},
                (f"{name}() takes exactly {n} positional arguments ({n + 2} given)"),
            )


def _case_id(case):
    q, args, kwargs, _ = case
    return f"{q}-{len(args)}-{'-'.join(kwargs)}"


ARGUMENT_ERRORS = list(_single_argument_cases()) + list(_general_cases())


@pytest.mark.parametrize(
    "qualname, args, kwargs, message",
    ARGUMENT_ERRORS,
    ids=[_case_id(c) for c in ARGUMENT_ERRORS],
)
def test_argument_errors(qualname, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        native(qualname)(*args, **kwargs)
    assert str(info.value) == message


def test_documented_examples():
    with pytest.raises(TypeError) as info:
        pw.get_attribute_full_name(cls=int)
    assert str(info.value) == "get_attribute_full_name() takes no keyword arguments"
    instance = object.__new__(pw.ModuleWrapper)
    with pytest.raises(TypeError) as info:
        pw.ModuleWrapper.__init__(instance)
    assert str(info.value) == "__init__() takes exactly 2 positional arguments (1 given)"
    with pytest.raises(TypeError) as info:
        pw.PayloadWrapper(cls=int)
    assert str(info.value) == "__new__() got multiple values for keyword argument 'cls'"
    with pytest.raises(TypeError) as info:
        pw.PayloadWrapper(int, funcs={})
    assert str(info.value) == "__new__() got an unexpected keyword argument 'funcs'"


@pytest.mark.parametrize("qualname", ["PayloadWrapperBase.__new__", "SpecialWrapper.__new__"])
def test_keywords_must_be_strings(qualname):
    f = native(qualname)
    with pytest.raises(TypeError, match=r"^(__new__\(\) )?keywords must be strings$"):
        f(getattr(pw, qualname.split(".")[0]), **{1: 2})


@pytest.mark.parametrize("qualname", twin.SINGLE_ARGUMENT)
def test_an_empty_keyword_dict_is_no_keyword(qualname):
    arg = owner_instance(qualname) or {
        "get_attribute_full_name": int,
        "import_by_full_name": "json",
    }.get(qualname)
    expect_parsed(native(qualname), arg, **{})


# ---------------------------------------------------------------- accepted calls


def _instance(class_name):
    return object.__new__(getattr(pw, class_name))


ACCEPTED = {
    "get_attribute_full_name": [lambda f: f(int)],
    "import_by_full_name": [lambda f: f("json")],
    "SpecialWrapper.__new__": [
        lambda f: f(pw.SpecialWrapper, "builtins.dict", [("b", 2)], a=1),
        lambda f: f(cls=pw.SpecialWrapper),
        lambda f: f(pw.SpecialWrapper, "builtins.dict", args=1, kwargs=2),
    ],
    "ModuleWrapper.__new__": [
        lambda f: f(pw.ModuleWrapper, "json", "ignored"),
        lambda f: f(cls=pw.ModuleWrapper),
    ],
    "ModuleWrapper.__init__": [
        lambda f: f(_instance("ModuleWrapper"), "json"),
        lambda f: f(_instance("ModuleWrapper"), module_full_name="json"),
        lambda f: f(module_full_name="json", self=_instance("ModuleWrapper")),
    ],
    "ModuleWrapper.__call__": [
        lambda f: f(_instance("ModuleWrapper"), "json", dropped=1),
        lambda f: f(self=_instance("ModuleWrapper")),
        lambda f: _instance("ModuleWrapper")("json", extra=1),
    ],
    "ExceptionWrapper.__new__": [
        lambda f: f(pw.ExceptionWrapper),
        lambda f: f(cls=pw.ExceptionWrapper),
    ],
    "ExceptionWrapper.__init__": [
        lambda f: f(_instance("ExceptionWrapper")),
        lambda f: f(_instance("ExceptionWrapper"), 1, 2, 3),
        lambda f: f(self=_instance("ExceptionWrapper")),
    ],
    "ExceptionWrapper.__call__": [
        lambda f: f(_instance("ExceptionWrapper"), k=1),
        lambda f: f(self=_instance("ExceptionWrapper"), args=1, kwds=2),
    ],
    "FunctionWrapper.__init__": [
        lambda f: f(_instance("FunctionWrapper"), "a.b"),
        lambda f: f(_instance("FunctionWrapper"), fullname="a.b"),
        lambda f: f(fullname="a.b", self=_instance("FunctionWrapper")),
    ],
    "FunctionWrapper.__call__": [
        lambda f: f(_instance("FunctionWrapper"), "a.b", dropped=1),
        lambda f: _instance("FunctionWrapper")("a.b"),
    ],
    "FunctionWrapper.__reduce__": [
        lambda f: f(_instance("FunctionWrapper")),
        lambda f: _instance("FunctionWrapper").__reduce__(),
    ],
    "PayloadWrapperBase.__new__": [
        lambda f: f(pw.PayloadWrapperBase),
        lambda f: f(cls=pw.PayloadWrapperBase),
        lambda f: f(pw.PayloadWrapperBase, int, {}, 1, 2),
    ],
    "PayloadWrapper.__new__": [
        lambda f: f(pw.PayloadWrapper, int, {}),
        lambda f: f(cls=pw.PayloadWrapper),
    ],
    "PayloadWrapper.__init__": [
        lambda f: f(_instance("PayloadWrapper"), int, 1, 2),
        lambda f: f(self=_instance("PayloadWrapper"), cls=int),
        lambda f: f(_instance("PayloadWrapper"), cls=int),
    ],
    "PayloadWrapper.__reduce__": [
        lambda f: f(_instance("PayloadWrapper")),
        lambda f: _instance("PayloadWrapper").__reduce__(),
    ],
    "UnpicklableObject.__new__": [
        lambda f: f(pw.UnpicklableObject, "x", {}),
        lambda f: f(cls=pw.UnpicklableObject),
    ],
    "UnpicklableObject.__reduce__": [
        lambda f: f(_instance("UnpicklableObject")),
        lambda f: _instance("UnpicklableObject").__reduce__(),
    ],
}


def test_every_function_has_accepted_calls():
    assert list(ACCEPTED) == QUALNAMES


@pytest.mark.parametrize(
    "qualname, call",
    [(q, call) for q, calls in ACCEPTED.items() for call in calls],
    ids=[f"{q}-{i}" for q, calls in ACCEPTED.items() for i in range(len(calls))],
)
def test_accepted_calls(qualname, call):
    expect_parsed(call, native(qualname))
