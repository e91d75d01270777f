"""Hostile objects built from plain-data recipes, for the property-based tests.

A recipe says what an object does when the native code touches it: which
attributes it has and where (in the instance, on the class, behind a property,
only through ``__getattr__``), what its special methods and its metaclass's do,
and what it derives from.  Each behaviour is a short list of steps, run at
every use: rebind or delete a global of either module, put a key that
compares with a global's name ahead of it in a module's namespace, call into
the modules again (once, or down to the recursion limit), leave garbage whose finaliser
calls in, add a ``gc.callbacks`` entry that calls in, change the ``funcs``
dictionaries being installed, and then give a value (of the wrong type, a
``str`` subclass, a huge text, another hostile object) or raise.

Everything is built against an ``Env``: the native modules, or the pure-Python
model, so that the same recipe run on both gives two comparable runs.  Recipes
are tuples of strings and numbers, which hypothesis prints and shrinks.
"""

import functools
import gc
import importlib.util
import json
import re
from pathlib import Path
from types import SimpleNamespace
from typing import Any, NamedTuple

import dravolt_common.callable_naming as native_cn
import dravolt_common.utils.payload_wrapper as native_pw

MODEL = Path(__file__).resolve().parent.parent / "model" / "dravolt_common"


class Env(NamedTuple):
    """One implementation of both modules: the functions and classes as they
    were at the start (a behaviour may empty the namespaces), and the live
    namespaces, which the behaviours change."""

    cn: Any
    pw: Any
    namespaces: dict

    def namespace(self, module):
        return self.namespaces[module]


def _env(cn, pw):
    return Env(
        SimpleNamespace(**vars(cn)), SimpleNamespace(**vars(pw)), {"cn": vars(cn), "pw": vars(pw)}
    )


def _load_model(relative, name):
    spec = importlib.util.spec_from_file_location(name, MODEL / relative)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


NATIVE = _env(native_cn, native_pw)
MODEL_ENV = _env(
    _load_model("callable_naming.py", "hostile_model_callable_naming"),
    _load_model("utils/payload_wrapper.py", "hostile_model_payload_wrapper"),
)


class CustomError(Exception):
    pass


class CustomBaseError(BaseException):
    pass


RAISES = {
    cls.__name__: cls
    for cls in (
        ValueError,
        AttributeError,
        TypeError,
        KeyError,
        RecursionError,
        MemoryError,
        KeyboardInterrupt,
        SystemExit,
        CustomError,
        CustomBaseError,
    )
}


class StrSub(str):
    pass


class Sample:
    def method(self):
        return "method"


def plain_function():
    return "plain"


SIMPLE = {
    "empty": lambda: "",
    "text": lambda: "name",
    "dotted": lambda: "pkg.mod",
    "builtins": lambda: "builtins",
    "qualified": lambda: "Outer.method",
    "none": lambda: None,
    "zero": lambda: 0,
    "one": lambda: 1,
    "minus": lambda: -1,
    "true": lambda: True,
    "big": lambda: 2**100,
    "strsub": lambda: StrSub("sub.name"),
    "emptysub": lambda: StrSub(""),
    "huge": lambda: "h" * 100_000,
    "surrogate": lambda: "\udc80",
    "wide": lambda: "\U0001f600",
    "bytes": lambda: b"bytes",
    "list": lambda: [1],
    "emptylist": lambda: [],
    "dict": lambda: {"alpha": 1},
    "tuple": lambda: (),
    "int_type": lambda: int,
    "type_type": lambda: type,
    "sample_class": lambda: Sample,
    "function": lambda: plain_function,
    "method": lambda: Sample().method,
    "len": lambda: len,
    "append": lambda: [1].append,
    "module": lambda: json,
    "descriptor": lambda: str.join,
    "slot": lambda: object.__init__,
    "member": lambda: type.__dict__["__dictoffset__"],
    "getset": lambda: type.__dict__["__name__"],
    "partial": lambda: functools.partial(len),
    "pw_class": lambda: native_pw.PayloadWrapper,
}

# Full names safe to resolve: importing them runs nothing new, and the
# callables among them do nothing harmful with any arguments.
NAMES = [
    "json",
    "os.path",
    "collections.OrderedDict",
    "builtins.ValueError",
    "builtins.KeyError",
    "builtins.OSError",
    "builtins.len",
    "builtins.getattr",
    "builtins.repr",
    "os.path.join",
    "no.such.module",
    "",
    ".",
    "json.",
    "hostile_objects.CustomError",
    "hostile_objects.call_back",
    "hostile_objects.Sample",
    "x" * 300,
]

NAMING_ATTRIBUTES = [
    "__module__",
    "__qualname__",
    "__name__",
    "__self__",
    "__func__",
    "__objclass__",
    "__class__",
    "__init__",
    "__dict__",
    "funcs",
    "cls",
    "fullname",
    "args",
]
PLACEMENTS = ["instance", "class", "property", "getattr"]
DUNDERS = [
    "__bool__",
    "__len__",
    "__eq__",
    "__hash__",
    "__format__",
    "__str__",
    "__repr__",
    "__iter__",
    "__getitem__",
    "__getattribute__",
    "__setattr__",
    "__call__",
    "__index__",
    "__del__",
]
META_DUNDERS = [
    "__getattribute__",
    "__setattr__",
    "__instancecheck__",
    "__subclasscheck__",
    "__prepare__",
    "__call__",
    "__bool__",
    "__eq__",
    "__hash__",
    "__format__",
    "__str__",
]
BASES = [
    "object",
    "Exception",
    "str",
    "dict",
    "PayloadWrapperBase",
    "PayloadWrapper",
    "UnpicklableObject",
    "ModuleWrapper",
    "ExceptionWrapper",
    "FunctionWrapper",
]
CN_GLOBALS = [
    "QUALNAME_STR",
    "FUNC_STR",
    "FUNC_NAME",
    "SELF_CONST",
    "MODULE_STR",
    "CLASS_STR",
    "BUILTINS",
    "OBJ_CLASS",
    "WRAPPER_DESCRIPTOR",
    "METHOD_DESCRIPTOR",
    "types",
]
PW_GLOBALS = [
    "copy",
    "special_unpicklers",
    "JSONPICKLE_EXTERNAL_TYPE_KEY",
    "FUNCS_INDEX",
    "CLS_INDEX",
    "get_attribute_full_name",
    "import_by_full_name",
    "PayloadWrapperBase",
    "PayloadWrapper",
    "ModuleWrapper",
    "ExceptionWrapper",
    "FunctionWrapper",
    "UnpicklableObject",
]
# Names that a funcs dictionary may install on a wrapper class.
FUNC_KEYS = [
    "alpha",
    "beta",
    "describe",
    "__init__",
    "__new__",
    "__reduce__",
    "__reduce_ex__",
    "__setattr__",
    "__getattribute__",
    "__getattr__",
    "__eq__",
    "__hash__",
    "__del__",
    "__call__",
    "__str__",
    "__init_subclass__",
    "__qualname__",
    "__module__",
    "__name__",
    "__doc__",
]

# Calls back into the modules on an object, from a behaviour.
REENTRIES = {
    "module": lambda env, obj: env.cn.get_function_module(obj, True),
    "full_name": lambda env, obj: env.cn.get_function_full_name("m", obj),
    "attribute_full_name": lambda env, obj: env.pw.get_attribute_full_name(obj),
    "payload_wrapper": lambda env, obj: env.pw.PayloadWrapper(obj, {"alpha": obj}),
    "reduce": lambda env, obj: env.pw.PayloadWrapper.__reduce__(obj),
    "function_wrapper": lambda env, obj: env.pw.FunctionWrapper(obj),
}

# The steps that make a run depend on more than the recipe: how deep the
# recursion goes before RecursionError, and when a collection runs.
UNSTEADY_STEPS = ("deep", "finaliser", "gc_callback")

_MISSING = object()


class Garbage:
    """A cycle whose finaliser runs an action when a collection finds it."""

    def __init__(self, action):
        self.cycle = self
        self.action = action

    def __del__(self):
        self.action()


class Shadow(str):
    """A key equal in hash to a global's name, whose comparison with it
    raises, answers yes (its own value is found), answers no, or takes every
    public name out of the namespace."""

    def __new__(cls, name, comparison, namespace):
        shadow = super().__new__(cls, name)
        shadow.comparison = comparison
        shadow.namespace = namespace
        return shadow

    def __hash__(self):
        return str.__hash__(self)

    def __eq__(self, other):
        if self.comparison == "raise":
            raise CustomError("shadow")
        if self.comparison == "clear":
            # The model's names that start with an underscore stand for what
            # the native modules keep outside their namespaces.
            for name in [name for name in self.namespace if not name.startswith("_")]:
                del self.namespace[name]
            return False
        return self.comparison == "true"


class Context:
    """One run of a recipe against one Env: the reentry budget, the objects
    and funcs dictionaries made, and the count of calls into the modules."""

    # Enough calls to reach the recursion limit once, few enough that a
    # behaviour that calls in twice per level cannot run for long.
    BUDGET = 600

    def __init__(self, env):
        self.env = env
        self.budget = self.BUDGET
        self.calls = 0
        self.depth = 0
        self.funcs_dicts = []
        self.in_callback = False

    # ----------------------------------------------------------- values

    def value(self, recipe):
        """The object of a value recipe: a key of SIMPLE, or a tagged tuple."""
        if isinstance(recipe, str):
            return SIMPLE[recipe]()
        kind, *rest = recipe
        if kind == "lit":
            return rest[0]
        if kind == "obj":
            return self.build(rest[0])
        if kind == "funcs":
            return self.funcs(*rest)
        if kind == "callable":
            return self.behaving_callable(rest[0])
        if kind == "class":
            return getattr(self.env.pw, rest[0])
        if kind == "proper":
            return self.proper(rest[0])
        raise ValueError(f"unknown value recipe {recipe!r}")

    def proper(self, class_name):
        """An instance of a wrapper class as its constructor makes it (or,
        for the classes whose constructor returns something else, as
        ``object.__new__`` and ``__init__`` make it)."""
        pw = self.env.pw
        if class_name == "PayloadWrapper":
            return pw.PayloadWrapper(Sample, {"alpha": plain_function})
        if class_name == "UnpicklableObject":
            return pw.UnpicklableObject("name", {"beta": 1})
        if class_name == "FunctionWrapper":
            return pw.FunctionWrapper("os.path.join")
        made = object.__new__(getattr(pw, class_name))
        made.__init__("json")
        return made

    def funcs(self, base, entries):
        made = self.value(base) if base is not None else {}
        for key, value in entries:
            try:
                dict.__setitem__(made, self.value(key), self.value(value))
            except Exception:
                pass
        self.funcs_dicts.append(made)
        return made

    def behaving_callable(self, steps):
        context = self

        state = [0]

        def hostile_callable(*args, **kwargs):
            owner = args[0] if args else None
            return context.perform(steps, owner, lambda: "called", state)

        return hostile_callable

    # ------------------------------------------------------------ steps

    def perform(self, steps, owner, default, state):
        """Runs the steps of one behaviour; a give, raise or alternate step
        ends it with its value, otherwise ``default()`` gives the value.
        ``state`` holds the behaviour's count of runs, for alternate."""
        for step in steps:
            kind = step[0]
            if kind == "give":
                return self.value(step[1])
            if kind == "raise":
                raise RAISES[step[1]](f"hostile {step[1]}")
            if kind == "alternate":
                state[0] += 1
                return self.value(step[1] if state[0] % 2 else step[2])
            if kind == "rebind":
                self.rebind(step[1], step[2], step[3])
            elif kind in ("once", "deep"):
                self.reenter(kind, step[1], owner)
            elif kind == "finaliser":
                self.leave_garbage(step[1], owner)
            elif kind == "gc_callback":
                self.add_gc_callback(step[1], owner)
            elif kind == "mutate_funcs":
                self.mutate_funcs(step[1])
            elif kind == "shadow":
                self.shadow(step[1], step[2], step[3])
        return default()

    def rebind(self, module, name, value):
        namespace = self.env.namespace(module)
        if value == "delete":
            namespace.pop(name, None)
        elif value == "strsub":
            if isinstance(namespace.get(name), str):
                namespace[name] = StrSub(namespace[name])
        elif isinstance(value, tuple) and value[0] == "swap":
            namespace[name] = namespace.get(value[1])
        else:
            namespace[name] = self.value(value)

    def shadow(self, module, name, comparison):
        """Puts a key that hashes like ``name`` ahead of it in the module's
        namespace, so that a lookup of the name compares the two with the
        shadow's ``__eq__``."""
        namespace = self.env.namespace(module)
        value = namespace.pop(name, _MISSING)
        namespace[Shadow(name, comparison, namespace)] = "shadowed"
        if value is not _MISSING:
            namespace[name] = value

    def call(self, entry, obj):
        self.calls += 1
        return REENTRIES[entry](self.env, obj)

    def reenter(self, mode, entry, owner):
        if self.budget <= 0 or (mode == "once" and self.depth > 0):
            return
        self.budget -= 1
        self.depth += 1
        try:
            self.call(entry, owner)
        except Exception:
            pass
        finally:
            self.depth -= 1

    def leave_garbage(self, entry, owner):
        def action():
            if self.budget > 0:
                self.budget -= 1
                self.call(entry, owner)

        Garbage(action)
        gc.set_threshold(1, 1, 1)

    def add_gc_callback(self, entry, owner):
        def callback(phase, info):
            if phase != "start" or self.in_callback or self.budget <= 0:
                return
            self.budget -= 1
            self.in_callback = True
            try:
                self.call(entry, owner)
            except Exception:
                pass
            finally:
                self.in_callback = False

        gc.callbacks.append(callback)
        gc.set_threshold(1, 1, 1)

    def mutate_funcs(self, how):
        for made in self.funcs_dicts:
            if how == "clear":
                dict.clear(made)
            else:
                dict.__setitem__(made, f"added{len(made)}", plain_function)

    # ----------------------------------------------------------- objects

    def base_class(self, key):
        if key == "object":
            return object
        if key in ("Exception", "str", "dict"):
            return {"Exception": Exception, "str": str, "dict": dict}[key]
        return getattr(self.env.pw, key)

    def build(self, recipe):
        """The object of a ``Hostile`` recipe, or its class when its kind is "class"."""
        base = self.base_class(recipe.base)
        namespace, meta_namespace, instance_values = self.namespaces(recipe)
        for name, steps in recipe.meta:
            meta_namespace[name] = self.meta_dunder(name, steps)
        metaclass = type("HostileMeta", (type,), meta_namespace) if meta_namespace else type
        cls = metaclass.__new__(metaclass, "Hostile", (base,), namespace)
        if "__prepare__" in meta_namespace:
            try:
                metaclass.__prepare__("Prepared", (base,))
            except Exception:
                pass
        if recipe.kind == "class":
            for name, value in instance_values.items():
                try:
                    type.__setattr__(cls, name, value)
                except Exception:
                    pass
            return cls
        obj = self.instance(cls, recipe)
        for name, value in instance_values.items():
            try:
                object.__getattribute__(obj, "__dict__")[name] = value
            except Exception:
                pass
        return obj

    def instance(self, cls, recipe):
        if recipe.base == "str":
            return str.__new__(cls, recipe.text)
        if recipe.base == "Exception":
            return BaseException.__new__(cls)
        if recipe.base == "dict":
            return dict.__new__(cls)
        return object.__new__(cls)

    def namespaces(self, recipe):
        """The namespaces of the class and of its metaclass, and the values
        to set on the object itself.  What the object is read for sits where
        a read of the object finds it: for a class, a property goes on the
        metaclass; a class statement takes ``__qualname__`` for its own, so
        that of an instance can only come through ``__getattr__``."""
        namespace, meta_namespace, instance_values, lazily = {}, {}, {}, {}
        of_class = recipe.kind == "class"
        for name, placement, steps in recipe.attributes:
            if placement == "property" and of_class:
                meta_namespace[name] = property(self.getter(steps))
            elif placement == "property" and name != "__qualname__":
                namespace[name] = property(self.getter(steps))
            elif placement in ("getattr", "property"):
                lazily[name] = steps
            elif placement == "class" and name not in ("__dict__", "__qualname__"):
                namespace[name] = self.static_value(steps)
            else:
                instance_values[name] = self.static_value(steps)
        if lazily:
            getattr_fallback = self.getattr_fallback(lazily)
            (meta_namespace if of_class else namespace)["__getattr__"] = getattr_fallback
        for name, steps in recipe.dunders:
            namespace[name] = self.dunder(name, steps)
        return namespace, meta_namespace, instance_values

    def static_value(self, steps):
        for step in reversed(steps):
            if step[0] == "give":
                return self.value(step[1])
        return "name"

    def getter(self, steps):
        context, state = self, [0]

        def read(owner):
            return context.perform(steps, owner, lambda: "name", state)

        return read

    def getattr_fallback(self, lazily):
        context, states = self, {name: [0] for name in lazily}

        def __getattr__(owner, name):
            if name not in lazily:
                raise AttributeError(name)
            return context.perform(lazily[name], owner, lambda: "name", states[name])

        return __getattr__

    def dunder(self, name, steps):
        context, state = self, [0]
        natural = {
            "__bool__": lambda owner, *a: True,
            "__len__": lambda owner, *a: 1,
            "__eq__": lambda owner, *a: NotImplemented,
            "__hash__": lambda owner, *a: 0,
            "__format__": lambda owner, *a: "formatted",
            "__str__": lambda owner, *a: "text",
            "__repr__": lambda owner, *a: "Hostile()",
            "__iter__": lambda owner, *a: iter(("alpha",)),
            "__getitem__": lambda owner, *a: plain_function,
            "__getattribute__": lambda owner, *a: object.__getattribute__(owner, *a),
            "__setattr__": lambda owner, *a: object.__setattr__(owner, *a),
            "__call__": lambda owner, *a: "called",
            "__index__": lambda owner, *a: 1,
            "__del__": lambda owner, *a: None,
        }[name]

        def special(owner, *args):
            return context.perform(steps, owner, lambda: natural(owner, *args), state)

        return special

    def meta_dunder(self, name, steps):
        context, state = self, [0]
        natural = {
            "__getattribute__": lambda cls, *a: type.__getattribute__(cls, *a),
            "__setattr__": lambda cls, *a: type.__setattr__(cls, *a),
            "__instancecheck__": lambda cls, *a: type.__instancecheck__(cls, *a),
            "__subclasscheck__": lambda cls, *a: type.__subclasscheck__(cls, *a),
            "__call__": lambda cls, *a, **k: type.__call__(cls, *a, **k),
            "__bool__": lambda cls, *a: True,
            "__eq__": lambda cls, *a: NotImplemented,
            "__hash__": lambda cls, *a: id(cls) >> 4,
            "__format__": lambda cls, *a: "Formatted",
            "__str__": lambda cls, *a: "Hostile",
        }
        if name == "__prepare__":

            def prepare(metaclass, *args, **kwargs):
                return context.perform(steps, metaclass, dict, state)

            return classmethod(prepare)

        def special(cls, *args, **kwargs):
            return context.perform(steps, cls, lambda: natural[name](cls, *args, **kwargs), state)

        return special


class Hostile(NamedTuple):
    """An object: its base, whether the object is the class itself, its
    attributes ``(name, placement, steps)``, special methods ``(name, steps)``,
    its metaclass's special methods, and the text of a ``str`` base."""

    base: str = "object"
    kind: str = "instance"
    attributes: tuple = ()
    dunders: tuple = ()
    meta: tuple = ()
    text: str = "hostile"


def call_back(*args, **kwargs):
    """A callable that ``SpecialWrapper`` may name: it calls the modules again."""
    return native_cn.get_function_full_name("m", args[0] if args else call_back)


_ADDRESS = re.compile(r"0x[0-9a-f]+")


def type_name(value):
    return type.__getattribute__(type(value), "__name__")


def describe(value):
    """A run's result in a form that two runs can compare: plain values by
    value, others by type."""
    if type(value) is str:
        text = _ADDRESS.sub("0x", value)
        return ("str", text if len(text) < 200 else f"{text[:100]}...({len(text)})")
    # By identity: `in` would compare with the type's own __eq__, which may be hostile.
    if value is None or type(value) is int or type(value) is bool:
        return (type_name(value), value)
    return (type_name(value), None)


def outcome(call):
    """("returns", description) or ("raises", type name, message)."""
    try:
        result = call()
    except BaseException as exc:  # noqa: B036 - every exception is an outcome here
        try:
            message = _ADDRESS.sub("0x", str(exc))[:300]
        except BaseException:  # noqa: B036
            message = "<unprintable>"
        return ("raises", type_name(exc), message)
    return ("returns", describe(result))


def steady(recipe):
    """Whether two runs of the recipe take the same steps: no recursion down
    to the limit, no collection at a moment of the interpreter's choosing."""
    if isinstance(recipe, tuple):
        if recipe and recipe[0] in UNSTEADY_STEPS:
            return False
        return all(steady(part) for part in recipe)
    return True
