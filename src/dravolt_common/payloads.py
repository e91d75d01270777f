"""Payloads of the package's wrappers, made from live objects: the dump side.

The wrappers of :mod:`dravolt_common.utils.payload_wrapper` turn a payload back
into a live object; this module makes the payload.  Four kinds of object travel
as a reduce tuple that names a wrapper, so that a reader that has the package
loads them with nothing else:

- an exception: ``(ExceptionWrapper, (class name, args, state), later)``.
  Between them ``state`` and ``later`` hold the instance dictionary, what the
  interpreter keeps outside it (``filename`` of an ``OSError``, ``name`` and
  ``path`` of an ``ImportError``, slots, ...), the traceback's entries and
  ``__cause__``, ``__context__`` and ``__suppress_context__``;
- a module: ``(ModuleWrapper, (name,))``;
- a function, class or built-in function, by its full name: the reduce tuple of
  a ``FunctionWrapper``, ``(loadclass, (name,))``;
- a bound method: ``(SpecialWrapper, ("builtins.getattr", owner, name))``.

Each reducer checks its object when the payload is made: a name that does not
lead back to the very object (a lambda, a nested function, a name that a
decorator rebound) raises ``pickle.PicklingError`` then, instead of loading as
something else later.

The reducers reach the serialisers through :class:`Pickler` and :func:`dumps`
(pickle, every kind), :func:`pickle_as_payload` and :func:`install` (the
standard ``pickle.dumps``, ``copy``, ``multiprocessing`` and
``concurrent.futures``: exceptions, modules and bound methods), and
:func:`json_dumps` with :func:`json_loads`, :class:`JsonPickler` and
:func:`register_jsonpickle_handlers` (jsonpickle).

Loading a payload imports the modules and calls the callables that it names,
exactly as unpickling does: never load a payload from an untrusted source.
For a source that is only partly trusted, :func:`allowed` (or ``allow=`` of
:func:`loads`) restricts the names that loading may import or call; it does
not make the values safe that admitted callables are called with.
"""

from __future__ import annotations

import builtins
import copyreg
import importlib
import inspect
import io
import pickle
import sys
import threading
import traceback
import types
from collections.abc import Callable, Iterable, Iterator
from typing import Any, TypeVar

import jsonpickle.handlers  # type: ignore[import-untyped]
import jsonpickle.pickler  # type: ignore[import-untyped]
import jsonpickle.tags  # type: ignore[import-untyped]
import jsonpickle.unpickler  # type: ignore[import-untyped]
import jsonpickle.util  # type: ignore[import-untyped]

from dravolt_common import _allowlist, _tracebacks
from dravolt_common._allowlist import BUILTIN_EXCEPTIONS, JsonUnpickler, allowed
from dravolt_common.utils import payload_wrapper
from dravolt_common.utils.special_unpicklers import TRACEBACK_TEXT_KEY, unpickle_exception

__all__ = [
    "BUILTIN_EXCEPTIONS",
    "JsonPickler",
    "JsonUnpickler",
    "Pickler",
    "allowed",
    "dumps",
    "install",
    "json_dumps",
    "json_loads",
    "loads",
    "pickle_as_payload",
    "reduce_bound_method",
    "reduce_by_reference",
    "reduce_exception",
    "reduce_module",
    "reducer_for",
    "register_jsonpickle_handlers",
    "uninstall",
    "unregister_jsonpickle_handlers",
]

#: A reduce tuple: a callable, its argument tuple and possibly a state.
Reduced = tuple[Any, ...]
Reducer = Callable[[Any], Reduced]
_ExceptionClass = TypeVar("_ExceptionClass", bound="type[BaseException]")

_TRACEBACK_HEADER = "Traceback (most recent call last):\n"
# Values of these exact types cannot refer back to the exception.
_PLAIN_ATOMS = (str, bytes, int, float, complex, bool, type(None))
_PLAIN_CONTAINERS = (tuple, list, frozenset)
_PLAIN_DEPTH = 4
_GETATTR_NAME = "builtins.getattr"
_WRAPPER_NAMES = frozenset(
    {
        "SpecialWrapper",
        "ModuleWrapper",
        "ExceptionWrapper",
        "FunctionWrapper",
        "PayloadWrapperBase",
        "PayloadWrapper",
        "UnpicklableObject",
    }
)
_TYPE_NAME = type.__dict__["__name__"].__get__
_NEVER_REDUCED = frozenset(
    {tuple, list, dict, set, frozenset, str, bytes, bytearray, int, float, complex, bool}
)
# pickle writes these three by a rule of its own; builtins has no name for them.
_LEFT_TO_PICKLE = (type(None), type(NotImplemented), type(...))
# The object whose attribute was missing is often one that cannot travel (a
# socket, a lock), and the interpreter's own pickling of AttributeError leaves
# it out too.
# A group's message and exceptions are read-only, and its args make them.
_GROUP = getattr(builtins, "BaseExceptionGroup", None)
_FIELDS_LEFT_OUT = frozenset(
    {(AttributeError, "obj")}
    | ({(_GROUP, "message"), (_GROUP, "exceptions")} if _GROUP is not None else set())
)
# What the interpreter keeps for every exception, read past any attribute of
# the class that shadows it, as the interpreter's own pickling reads it.  Each
# is the bound __get__ of the descriptor, made once rather than at each read.
_ARGS = BaseException.__dict__["args"].__get__
_DICT = BaseException.__dict__["__dict__"].__get__
_TRACEBACK = BaseException.__dict__["__traceback__"].__get__
_CAUSE = BaseException.__dict__["__cause__"].__get__
_CONTEXT = BaseException.__dict__["__context__"].__get__
_SUPPRESS_CONTEXT = BaseException.__dict__["__suppress_context__"].__get__


def reduce_by_reference(obj: Any) -> Reduced:
    """Return the reduce tuple of a ``FunctionWrapper`` that names ``obj``.

    ``obj`` is a function, class or built-in function that is reached by its
    full name (its module, a dot and its qualified name).  The tuple is
    ``(loadclass, (full name,))``, with jsonpickle's ``loadclass``, so
    loading gives back ``obj`` itself.

    Raises ``pickle.PicklingError`` when that name does not lead back to
    ``obj``: a lambda, a function or class defined inside a function, a name
    that a decorator has rebound to its wrapper.
    """
    loadclass = jsonpickle.unpickler.loadclass
    return (loadclass, (_checked_full_name(obj, loadclass),))


def _checked_full_name(obj: Any, resolve: Callable[[str], Any] | None = None) -> str:
    # resolve: what loading calls with the name; None for the resolution of
    # ExceptionWrapper, which tries the name as a module first.
    try:
        name = str(payload_wrapper.get_attribute_full_name(obj))
    except Exception as failure:
        raise _without_full_name(obj, failure) from failure
    found = _loaded_resolution(name, resolve)
    error = None
    if found is _UNKNOWN:
        found, error = _resolve(name, resolve)
    if found is not obj:
        reason = _why_not_found(obj, name, found, error)
        raise pickle.PicklingError(f"cannot serialise {obj!r} by reference: {reason}")
    return name


def _full_name(obj: Any) -> str:
    try:
        return str(payload_wrapper.get_attribute_full_name(obj))
    except Exception as error:
        raise _without_full_name(obj, error) from error


def _without_full_name(obj: Any, error: Exception) -> pickle.PicklingError:
    return pickle.PicklingError(
        f"cannot serialise {obj!r} by reference: it has no full name ({error!r})"
    )


def _resolve(name: str, resolve: Callable[[str], Any] | None) -> tuple[Any, Exception | None]:
    try:
        return (payload_wrapper.import_by_full_name if resolve is None else resolve)(name), None
    except RecursionError:
        raise  # says nothing about the name
    except Exception as error:
        return None, error


# A shortcut past the import system: a name is resolved by reading what it
# already holds, as importlib.import_module and jsonpickle's loadclass would.
# It answers only where those calls would import nothing and run no code of
# the caller's: each module on the way is in sys.modules (read at each call,
# as importlib's _find_and_load reads it), or it cannot be imported because
# its parent is loaded and is not a package (no __path__: _find_and_load_unlocked
# raises before any finder is asked).  Everywhere else it calls the real thing:
# a module that is not loaded, a parent that is a package, a prefix that
# loadclass renames (__builtin__, exceptions), an attribute that is missing
# or raises (jsonpickle versions differ there), and whenever the functions
# those calls go through are not the ones this module was imported with:
# builtins.__import__, importlib.import_module, jsonpickle.unpickler.loadclass.
# It keeps nothing between calls, so nothing can go stale.
# Tests: tests/test_payload_tracebacks.py (test_a_name_is_checked_against_...).
_IMPORT = builtins.__import__
_IMPORT_MODULE = importlib.import_module
_LOADCLASS = jsonpickle.unpickler.loadclass
_RENAMED_BY_LOADCLASS = frozenset({"__builtin__", "exceptions"})
_MISSING = object()
_UNKNOWN = object()


def _loaded_resolution(name: str, resolve: Callable[[str], Any] | None) -> Any:
    # The object, or _UNKNOWN where the real call must answer.  Written out in
    # one function: the first step is the one that most names take.
    if builtins.__import__ is not _IMPORT:
        return _UNKNOWN
    modules = sys.modules
    module_name, _, attribute = name.rpartition(".")
    if resolve is None:
        if importlib.import_module is not _IMPORT_MODULE or (
            jsonpickle.unpickler.loadclass is not _LOADCLASS
        ):
            return _UNKNOWN
        if name in modules:
            return modules[name]
        # The name as a module, which import_by_full_name tries first.
        if module_name and module_name in modules:
            # _is_not_a_package, its first case written out.
            parent = modules[module_name]
            namespace = parent.__dict__ if type(parent) is types.ModuleType else None
            if namespace is None or "__getattr__" in namespace:
                if not _is_not_a_package(parent):
                    return _UNKNOWN
            elif "__path__" in namespace:
                return _UNKNOWN
        elif not _cannot_import(modules, name):
            return _UNKNOWN
    elif resolve is not _LOADCLASS:
        return _UNKNOWN
    if (
        module_name
        and module_name in modules
        and module_name not in _RENAMED_BY_LOADCLASS
        and ("." not in module_name or module_name.partition(".")[0] in modules)
    ):
        try:
            return getattr(modules[module_name], attribute)
        except Exception:
            return _UNKNOWN
    return _loadclass_by_reading(modules, name)


def _loadclass_by_reading(modules: Any, name: str) -> Any:
    parts = name.split(".")
    for up_to in range(len(parts) - 1, 0, -1):
        module_name = ".".join(parts[:up_to])
        if module_name in _RENAMED_BY_LOADCLASS:
            return _UNKNOWN
        if module_name in modules and parts[0] in modules:
            return _attributes(modules[module_name], parts[up_to:])
        if not _cannot_import(modules, module_name):
            return _UNKNOWN
    return _UNKNOWN if name == "builtins.NoneType" else None


def _attributes(found: Any, names: Iterable[str]) -> Any:
    try:
        for name in names:
            found = getattr(found, name)
    except Exception:
        return _UNKNOWN
    return found


def _cannot_import(modules: Any, module_name: str) -> bool:
    parent = module_name.rpartition(".")[0]
    if not parent:
        return False
    if parent not in modules:
        return _cannot_import(modules, parent)
    return _is_not_a_package(modules[parent])


def _is_not_a_package(module: Any) -> bool:
    # An exact module reads __path__ from its namespace, then from __getattr__
    # there: without one, the namespace answers (a miss through getattr makes
    # the AttributeError and its message first, slow before 3.12).
    if type(module) is types.ModuleType:
        namespace = module.__dict__
        if "__getattr__" not in namespace:
            return "__path__" not in namespace
    try:
        return getattr(module, "__path__", _MISSING) is _MISSING
    except Exception:
        return False


def _why_not_found(obj: Any, name: str, found: Any, error: Exception | None) -> str:
    qualname = str(getattr(obj, "__qualname__", ""))
    if getattr(obj, "__name__", None) == "<lambda>":
        return "a lambda has no name that leads back to it; define it with def at module level"
    if "<locals>" in qualname:
        return _why_nested(obj, qualname)
    if _wraps(found, obj):
        return (
            f"{name} now names {found!r}, which wraps it (found through __wrapped__): a "
            "decorator rebound the name; serialise the wrapper, or keep the undecorated "
            "function under a name of its own"
        )
    if found is None:
        cause = "" if error is None else f" ({error!r})"
        return f"{name} does not lead to any object{cause}"
    return f"{name} leads to another object, {found!r}"


def _why_nested(obj: Any, qualname: str) -> str:
    reason = f"it is defined inside a function ({qualname}), where no import reaches it"
    wrapped = getattr(obj, "__wrapped__", None)
    if wrapped is None:
        return reason
    return (
        f"{reason}; it wraps {wrapped!r} (its __wrapped__) but did not take over its name, "
        "so the decorator that made it should use functools.wraps"
    )


def _wraps(outer: Any, inner: Any) -> bool:
    seen: set[int] = set()
    current = getattr(outer, "__wrapped__", None)
    while current is not None and id(current) not in seen:
        if current is inner:
            return True
        seen.add(id(current))
        current = getattr(current, "__wrapped__", None)
    return False


def reduce_module(module: types.ModuleType) -> Reduced:
    """Return ``(ModuleWrapper, (name,))`` for a module that is imported under its name.

    Raises ``pickle.PicklingError`` when ``sys.modules`` holds another object
    (or nothing) under the module's ``__name__``: loading would import that.
    """
    name = getattr(module, "__name__", None)
    if not isinstance(name, str) or sys.modules.get(name) is not module:
        raise pickle.PicklingError(
            f"cannot serialise {module!r} by name: it is not the module imported as {name!r}"
        )
    return (payload_wrapper.ModuleWrapper, (name,))


def reduce_bound_method(method: Any) -> Reduced:
    """Return ``(SpecialWrapper, ("builtins.getattr", owner, name))`` for a bound method.

    Loading serialises nothing of the method itself: it looks the method up
    again on the loaded owner (``method.__self__``), which must be able to
    travel on its own.  Raises ``pickle.PicklingError`` when no attribute of
    the owner gives back an equal method.
    """
    owner = method.__self__
    return (payload_wrapper.SpecialWrapper, (_GETATTR_NAME, owner, _attribute_name(method, owner)))


def _attribute_name(method: Any, owner: Any) -> str:
    names = list(_attribute_names(method))
    for name in names:
        try:
            if getattr(owner, name) == method:
                return name
        except Exception:
            continue
    raise pickle.PicklingError(
        f"cannot serialise {method!r}: no attribute {' or '.join(names)} of its owner "
        f"(a {type(owner).__qualname__}) gives this method back"
    )


def _attribute_names(method: Any) -> Iterator[str]:
    name = str(method.__name__)
    yield name
    if name.startswith("__") and not name.endswith("__"):
        # A private method lives under its mangled name, after its class.
        owner_class = str(method.__qualname__).rpartition(".")[0].rpartition(".")[2]
        yield f"_{owner_class.lstrip('_')}{name}"


def reduce_exception(exception: BaseException) -> Reduced:
    """Return ``(ExceptionWrapper, (class name, args, state), later)`` for an exception.

    What travels is the instance dictionary (``__notes__`` included), every
    member or getset field that differs from what ``args`` alone rebuild
    (``filename`` and ``filename2`` of an ``OSError``, ``name`` and ``path`` of
    an ``ImportError``, ``code`` of a ``SystemExit``, slots), the traceback's
    entries (under ``"py/dravolt/traceback"``: file name, line number, name,
    qualified name and first line of each, from which the package's loader
    makes a real ``__traceback__``) and ``__cause__``, ``__context__`` and
    ``__suppress_context__``.  ``args`` are those the interpreter keeps, also
    when the class shadows them with a property.

    ``state``, which ``ExceptionWrapper`` hands to the rebuild function, is a
    plain dict of the attributes whose values are plain data (str, bytes,
    numbers, None and tuples, lists and dicts of them) and of the traceback
    entries.
    ``later`` holds the chain and the other attributes: values that may lead
    back to the exception, which an argument of its own construction cannot,
    so they are set once it exists (by the serialiser, through the exception's
    ``__setstate__``).  ``later`` is left out when it would be empty.

    Raises ``pickle.PicklingError`` when the exception's class cannot be
    reached by its full name.
    """
    tb = _TRACEBACK(exception)
    return _reduce_exception(exception, () if tb is None else _tracebacks.entries(tb))


def _reduce_exception(exception: BaseException, recorded: tuple[Any, ...] | str) -> Reduced:
    # recorded: the traceback's entries, or the text of a pool that dropped it.
    cls = type(exception)
    name = _checked_full_name(cls)
    args = _ARGS(exception)
    # The instance dictionary and the fields, split into plain data and the rest.
    state: dict[str, Any] = {}
    later: dict[str, Any] = {}
    attributes = _DICT(exception)
    getters = _FIELDS_OF_CLASS.get(cls)
    if getters is None:
        getters = _field_getters(cls)
    if getters:
        attributes = {**attributes, **_field_values(exception, args, getters)}
    # A copy, made at once: another thread, or a finaliser that an allocation
    # below runs, may change the live dict meanwhile.
    for key, value in (attributes if getters else dict.copy(attributes)).items():
        # The traceback note joins __notes__ as the exception is made.
        early = key == "__notes__" or _is_plain(value)
        (state if early else later)[key] = value
    if recorded:
        state[TRACEBACK_TEXT_KEY] = recorded
    cause, context = _CAUSE(exception), _CONTEXT(exception)
    suppress = _SUPPRESS_CONTEXT(exception)
    if cause is not None or context is not None or suppress:
        # Setting __cause__ sets __suppress_context__ too, so the latter comes last.
        later["__cause__"] = cause
        later["__context__"] = context
        later["__suppress_context__"] = suppress
    reduced: Reduced = (payload_wrapper.ExceptionWrapper, (name, args, state))
    return (*reduced, later) if later else reduced


def _is_plain(
    value: Any, depth: int = 0, atoms: Any = _PLAIN_ATOMS, containers: Any = _PLAIN_CONTAINERS
) -> bool:
    kind = type(value)
    if kind in atoms:
        return True
    if depth >= _PLAIN_DEPTH:
        return False
    if kind is dict:
        return _all_plain(value.keys(), depth, atoms, containers) and _all_plain(
            value.values(), depth, atoms, containers
        )
    return kind in containers and _all_plain(value, depth, atoms, containers)


def _all_plain(values: Iterable[Any], depth: int, atoms: Any, containers: Any) -> bool:
    # A loop, not all() over a generator: most items are atoms, answered here.
    for item in values:
        if type(item) not in atoms and not _is_plain(item, depth + 1, atoms, containers):
            return False
    return True


def _field_values(
    exception: BaseException, args: tuple[Any, ...], getters: tuple[tuple[str, Any], ...]
) -> dict[str, Any]:
    baseline = _baseline(exception, args)
    values = {}
    for name, get in getters:
        try:
            value = get(exception)
        except AttributeError:
            continue  # not set
        if baseline is None:
            if value is not None:
                values[name] = value
            continue
        try:
            rebuilt = get(baseline)
        except AttributeError:
            values[name] = value
            continue
        # The fields that args fill hold the same objects, except numbers
        # kept in C that come out as new ints; other values are not compared,
        # so no __eq__ of the caller's runs here.
        if value is not rebuilt and not (
            type(value) is type(rebuilt) and type(value) in _COMPARED and value == rebuilt
        ):
            values[name] = value
    return values


_COMPARED = (int, str, bytes)


# The fields of a class's instances, found once per class whose every class
# along the MRO is immutable.
#   Keyed on: the class.  The answer is read from the dicts of the classes of
#   its MRO (type.__mro__, tp_mro in CPython, and each class's tp_dict).
#   Stale when: the MRO changes (assigning __bases__, which type_set_bases
#   allows only on a mutable class) or a class dict changes (type_setattro
#   refuses both on a type with Py_TPFLAGS_IMMUTABLETYPE, as every built-in
#   exception type has from 3.10 on).  So only classes whose MRO holds
#   immutable classes alone are kept whole; for any other class the dicts of
#   its mutable classes, which Python code cannot watch, are read again at
#   each dump, and only the fields of its immutable classes come from here.
#   Tests: tests/test_payload_tracebacks.py changes a Python class's slots
#   and bases between two dumps.
# Both tables only grow by immutable classes, which are built-in or made by
# extension modules: they are emptied when full, which costs a lookup again.
# A field is kept as its name and its descriptor's bound __get__.
_FIELDS_OF_CLASS: dict[type, tuple[tuple[str, Any], ...]] = {}
_OWN_FIELDS: dict[type, tuple[tuple[str, Any], ...]] = {}
_FIELD_TABLES_KEPT = 512
_MRO = type.__dict__["__mro__"].__get__
_TYPE_FLAGS = type.__dict__["__flags__"].__get__
_IMMUTABLE_TYPE = 1 << 8  # Py_TPFLAGS_IMMUTABLETYPE


def _field_getters(cls: type) -> tuple[tuple[str, Any], ...]:
    kept = _FIELDS_OF_CLASS.get(cls)
    if kept is not None:
        return kept
    found: dict[str, Any] = {}
    immutable = True
    for klass in _MRO(cls):
        own = _OWN_FIELDS.get(klass)
        if own is None:
            own = _own_fields(klass)
            if _TYPE_FLAGS(klass) & _IMMUTABLE_TYPE:
                _keep(_OWN_FIELDS, klass, own)
            else:
                immutable = False
        for name, getter in own:
            found.setdefault(name, getter)
    getters = tuple(found.items())
    if immutable:
        _keep(_FIELDS_OF_CLASS, cls, getters)
    return getters


def _keep(table: dict[type, Any], cls: type, value: Any) -> None:
    if len(table) >= _FIELD_TABLES_KEPT:
        table.clear()
    table[cls] = value


def _own_fields(klass: type) -> tuple[tuple[str, Any], ...]:
    # The built-in exception types keep their fields in members and getsets,
    # and so do the slots of a class written in Python; BaseException's own
    # (args, the chain, the traceback) travel otherwise.
    if klass is BaseException or klass is object:
        return ()
    return tuple(
        (name, value.__get__)
        # A copy made at once, as above: a class may change in another thread.
        for name, value in vars(klass).copy().items()
        if type(value) in _DESCRIPTOR_TYPES and _is_field(klass, name, value)
    )


# Neither type can be subclassed: the exact type says it.
_DESCRIPTOR_TYPES = frozenset({types.MemberDescriptorType, types.GetSetDescriptorType})


def _is_field(klass: type, name: str, value: Any) -> bool:
    # A slot may have a name of the form __x__; the descriptors of a class's
    # own __dict__ and __weakref__, and the built-in types' dunder ones, are
    # not fields.
    if name.startswith("__"):
        slot = type(value) is types.MemberDescriptorType and name.endswith("__")
        if not slot or name in _NOT_SLOTS or not _TYPE_FLAGS(klass) & _HEAP_TYPE:
            return False
    return (klass, name) not in _FIELDS_LEFT_OUT


_NOT_SLOTS = frozenset({"__dict__", "__weakref__"})
_HEAP_TYPE = 1 << 9  # Py_TPFLAGS_HEAPTYPE


def _baseline(exception: BaseException, args: tuple[Any, ...]) -> BaseException | None:
    # What the loading side makes from args alone: fields that come out the
    # same need not travel, and writing them again could change them (an
    # OSError whose filename was never set prints differently from one whose
    # filename is None).
    cls = type(exception)
    maker = unpickle_exception
    key = (maker, cls, args) if cls in _FIELDS_OF_CLASS and _short_atoms(args) else None
    if key is not None and key in _BASELINES:
        return _BASELINES[key]
    try:
        baseline: BaseException | None = maker(cls, args, None)
    except Exception:
        baseline = None
    if key is not None:
        if len(_BASELINES) >= _BASELINES_KEPT:
            _BASELINES.clear()
        _BASELINES[key] = baseline
    return baseline


# What unpickle_exception makes from a class and args alone, for a class
# whose every class along the MRO is immutable (one of _FIELDS_OF_CLASS) and
# args of short str, bytes and int values and None: the same failure, dumped
# again, is compared with the exception made the first time.
#   Keyed on: the function bound as unpickle_exception here (a program may
#   rebind it), the class and args, by value.  The exact types keep equal
#   values of other types apart (True == 1, 1.0 == 1, a str subclass), and
#   each value is read the same from any object equal to it: the fields
#   compare a str, bytes or int by value, None by identity.
#   Stale when: what unpickle_exception makes of them changes.  It calls
#   the built-in __new__ and __init__ the class inherits, which an immutable
#   class cannot change (type_setattro refuses, see _FIELDS_OF_CLASS), and
#   they read nothing but their arguments; a class that is not immutable, or
#   args holding anything else, make the exception at each dump.
#   The kept exceptions are never changed or handed out; the table is
#   emptied when full, which costs a making again.
#   Tests: tests/test_payloads.py
#   (test_a_kept_baseline_answers_as_a_new_one) dumps an exception after
#   one of the same class with args equal in value but not in type, and
#   after one whose fields were changed away from what args make.
_BASELINES: dict[tuple[Any, type, tuple[Any, ...]], BaseException | None] = {}
_BASELINES_KEPT = 256
_SHORT_ATOMS = (str, bytes, int, type(None))
_SHORT = 256


def _short_atoms(args: tuple[Any, ...]) -> bool:
    for item in args:
        kind = type(item)
        if kind not in _SHORT_ATOMS or (
            kind is not int and item is not None and len(item) > _SHORT
        ):
            return False
    return True


def reducer_for(obj: Any) -> Reducer | None:
    """Return the reducer of this module that serialises ``obj``, or None.

    Exceptions, modules, bound methods (built-in ones included), functions,
    classes and built-in functions have one; None leaves ``obj`` to the
    serialiser, as it does for the objects that the payloads themselves name
    (the wrapper classes and ``jsonpickle.unpickler.loadclass``).
    """
    kind = type(obj)
    # The serialiser asks about every container it writes: the exact built-in
    # types, whose __class__ cannot lie, answer at once.
    if kind in _NEVER_REDUCED:
        return None
    if kind is types.FunctionType or kind is type:
        return None if _left_to_serialiser(obj) else reduce_by_reference
    if isinstance(obj, BaseException):
        return reduce_exception
    if isinstance(obj, types.ModuleType):
        return reduce_module
    if isinstance(obj, types.MethodType):
        return reduce_bound_method
    if isinstance(obj, types.BuiltinFunctionType):
        return reduce_by_reference if _is_unbound(obj) else reduce_bound_method
    if isinstance(obj, (types.FunctionType, type)) and not _left_to_serialiser(obj):
        return reduce_by_reference
    return None


def _is_unbound(builtin: Any) -> bool:
    owner = getattr(builtin, "__self__", None)
    return owner is None or isinstance(owner, types.ModuleType)


def _left_to_serialiser(obj: Any) -> bool:
    # Read at each call, like the wrappers read their own names: a reducer
    # must not reduce the callable that its own reduce tuple names.
    if obj is jsonpickle.unpickler.loadclass:
        return True
    if not isinstance(obj, type):
        return False
    none_type, not_implemented_type, ellipsis_type = _LEFT_TO_PICKLE
    if obj is none_type or obj is not_implemented_type or obj is ellipsis_type:
        return True
    name = _TYPE_NAME(obj)
    return name in _WRAPPER_NAMES and getattr(payload_wrapper, name, None) is obj


class Pickler(pickle.Pickler):
    """A ``pickle.Pickler`` that writes each object with a reducer through that reducer.

    See :func:`reducer_for` for the kinds of object; everything else is pickled
    as usual.
    """

    def reducer_override(self, obj: Any) -> Any:
        if type(obj) in _NEVER_REDUCED:
            return NotImplemented
        reducer = reducer_for(obj)
        return NotImplemented if reducer is None else reducer(obj)


def dumps(obj: Any, protocol: int | None = None) -> bytes:
    """Return the pickle of ``obj`` written by :class:`Pickler` with ``protocol``."""
    reduced = _plain_reduction(obj, protocol)
    if reduced is not None:
        if reduced[0] is _LOADCLASS:
            return _pickle_by_reference(reduced, protocol)
        return _PICKLE_DUMPS(_Reduction(reduced), protocol)
    buffer = io.BytesIO()
    Pickler(buffer, protocol).dump(obj)
    return buffer.getvalue()


# A shortcut of dumps past the Pickler subclass, for an object that is itself
# reduced (a function, class or built-in function by reference, an exception)
# into a tuple of plain data (_is_plain) and a callable that the Pickler leaves
# to the standard rule.  The standard pickler, handed a stand-in whose
# __reduce_ex__ gives that tuple, writes the same bytes as the Pickler: it
# asks reducer_override about nothing inside plain data that the override
# would not turn down, it memoizes the stand-in where it would memoize the
# object, and nothing inside plain data can refer back to the object.
#   It keeps nothing, so nothing goes stale.  It is taken only while what
#   the Pickler path reads at each call is what this module was imported
#   with: the module's Pickler and the names in its class dict (a rebound
#   payloads.Pickler is used as it is, and so is one given a persistent_id,
#   a dispatch_table or a reducer_override of its own),
#   jsonpickle.unpickler.loadclass (a rebound one is asked about by the
#   Pickler's reducer_override) and payload_wrapper.ExceptionWrapper; and
#   for a protocol that the Pickler accepts, so that a bad protocol still
#   fails before any reducer runs.  pickle.dumps is the one this module was
#   imported with, whatever pickle.dumps or pickle.Pickler are rebound to;
#   copyreg.dispatch_table is read alike by both paths (the C pickler took
#   it when it was imported, the Pickler subclass defines none of its own).
#   An exception with a chain goes the Pickler way at once, and one whose
#   reduction is not plain data is reduced again there.
#   Tests: tests/test_payloads.py (test_dumps_writes_what_the_pickler_writes).
_PICKLE_DUMPS = pickle.dumps
_HIGHEST_PROTOCOL = pickle.HIGHEST_PROTOCOL
_BY_REFERENCE_KINDS = (types.FunctionType, type, types.BuiltinFunctionType)


class _Reduction(tuple):  # type: ignore[type-arg]
    """Stands for an object whose reduce tuple, its own items, is made already."""

    __slots__ = ()

    def __reduce_ex__(self, protocol: Any) -> Any:
        return self


def _plain_reduction(obj: Any, protocol: Any) -> Reduced | None:
    if not (protocol is None or (type(protocol) is int and protocol in _WRITTEN_AS_THEY_ARE)):
        return None
    if Pickler is not _PICKLER or _PICKLER_NAMESPACE.keys() != _PICKLER_NAMES:
        return None
    if _PICKLER_NAMESPACE["reducer_override"] is not _REDUCER_OVERRIDE:
        return None
    kind = type(obj)
    if kind in _BY_REFERENCE_KINDS:
        loadclass = jsonpickle.unpickler.loadclass
        if loadclass is not _LOADCLASS:
            return None
        # What reducer_for answers for these three kinds.
        if kind is types.FunctionType:
            if obj is loadclass:
                return None
        elif kind is types.BuiltinFunctionType:
            if not _is_unbound(obj):
                return None
        else:
            none_type, not_implemented_type, ellipsis_type = _LEFT_TO_PICKLE
            if obj is none_type or obj is not_implemented_type or obj is ellipsis_type:
                return None
            name = _TYPE_NAME(obj)
            if name in _WRAPPER_NAMES and getattr(payload_wrapper, name, None) is obj:
                return None
        return (loadclass, (_checked_full_name(obj, loadclass),))
    if not isinstance(obj, BaseException):  # none of _NEVER_REDUCED is one
        return None
    if _CAUSE(obj) is not None or _CONTEXT(obj) is not None:
        return None
    tb = _TRACEBACK(obj)
    reduced = _reduce_exception(obj, () if tb is None else _tracebacks.entries(tb))
    if len(reduced) != 2 or reduced[0] is not _EXCEPTION_WRAPPER:
        return None
    atoms, containers = _WRITTEN_AS_THEY_ARE[protocol]
    _, args, state = reduced[1]
    for item in args:  # _all_plain(args, 1, ...), written out
        if type(item) not in atoms and not _is_plain(item, 2, atoms, containers):
            return None
    if state and not _is_plain(state, 1, atoms, containers):
        return None
    return reduced


def _written_as_they_are(protocol: int) -> tuple[tuple[type, ...], tuple[type, ...]]:
    # The plain data that the standard pickler writes with opcodes of its own,
    # never asking reducer_override about a class or function on the way: a
    # complex is reduced to a call of its class, bytes below protocol 3 to a
    # call of _codecs.encode (or of bytes), a frozenset below 4 to a call of
    # frozenset, and the Pickler writes those by reference.
    atoms = tuple(kind for kind in _PLAIN_ATOMS if kind is not complex)
    if protocol < 3:
        atoms = tuple(kind for kind in atoms if kind is not bytes)
    containers = tuple(kind for kind in _PLAIN_CONTAINERS if protocol >= 4 or kind is not frozenset)
    return atoms, containers


_WRITTEN_AS_THEY_ARE = {
    protocol: _written_as_they_are(pickle.DEFAULT_PROTOCOL if protocol is None else protocol)
    for protocol in (None, *range(_HIGHEST_PROTOCOL + 1))
}
_WRITTEN_AS_THEY_ARE.update(
    (protocol, _WRITTEN_AS_THEY_ARE[_HIGHEST_PROTOCOL]) for protocol in range(-8, 0)
)


_PICKLER = Pickler
_PICKLER_NAMESPACE = Pickler.__dict__
_PICKLER_NAMES = frozenset(_PICKLER_NAMESPACE)
_REDUCER_OVERRIDE = _PICKLER_NAMESPACE["reducer_override"]
_EXCEPTION_WRAPPER = payload_wrapper.ExceptionWrapper


# The pickles of functions, classes and built-in functions by reference, as
# the standard pickler writes their reduce tuple (loadclass, (full name,)).
#   Keyed on: the protocol (a table each) and the full name, which has been
#   checked against the object already, at this call; the pickler writes
#   nothing else but loadclass's __module__ and __qualname__, which must be
#   the very strings they were when this module was imported.
#   Stale when: writing loadclass as a global reads something else.  Each is
#   read at each call, and the pickler is called when any differs from what
#   leaves the pickle as it was: builtins.__import__ (which the pickler's
#   PyImport_Import calls) and sys.modules (the interpreter's dict, whose
#   module must hold loadclass under its __qualname__, without dots) are the
#   ones this module was imported with; copyreg's extension registry (the
#   dict the C pickler took when it was imported) has no code for loadclass.
#   Below protocol 3 the pickler renames modules through _compat_pickle's
#   tables, which are not watched: those protocols are not kept.  A loadclass
#   that is not jsonpickle's never comes here.
#   Each table is emptied when full, which costs the pickler's call again
#   (protocol None shares the default protocol's, a negative one the highest's).
#   Tests: tests/test_payloads.py (test_dumps_writes_what_the_pickler_writes,
#   with an extension code, a rebound import, a renamed loadclass).
_LOADCLASS_MODULE = _LOADCLASS.__module__
_LOADCLASS_QUALNAME = _LOADCLASS.__qualname__
_LOADCLASS_GLOBAL = (_LOADCLASS_MODULE, _LOADCLASS_QUALNAME)
_BY_REFERENCE_PICKLES: dict[int | None, dict[str, bytes]] = (
    {}
    if "." in _LOADCLASS_QUALNAME
    else {protocol: {} for protocol in range(3, _HIGHEST_PROTOCOL + 1)}
)
# The protocols that write what another writes share its table.
if _BY_REFERENCE_PICKLES:
    _BY_REFERENCE_PICKLES[None] = _BY_REFERENCE_PICKLES[pickle.DEFAULT_PROTOCOL]
    for _protocol in range(-8, 0):
        _BY_REFERENCE_PICKLES[_protocol] = _BY_REFERENCE_PICKLES[_HIGHEST_PROTOCOL]
_BY_REFERENCE_PICKLES_KEPT = 1024
_EXTENSIONS = copyreg._extension_registry  # type: ignore[attr-defined]
_SYS_MODULES = sys.modules


def _pickle_by_reference(reduced: Reduced, protocol: int | None) -> bytes:
    loadclass = reduced[0]
    kept = _BY_REFERENCE_PICKLES.get(protocol)
    if (
        kept is None
        or loadclass.__module__ is not _LOADCLASS_MODULE
        or loadclass.__qualname__ is not _LOADCLASS_QUALNAME
        or builtins.__import__ is not _IMPORT
        or sys.modules is not _SYS_MODULES
        or getattr(_SYS_MODULES.get(_LOADCLASS_MODULE), _LOADCLASS_QUALNAME, None) is not loadclass
        or (_EXTENSIONS and _LOADCLASS_GLOBAL in _EXTENSIONS)
    ):
        return _PICKLE_DUMPS(_Reduction(reduced), protocol)
    name = reduced[1][0]
    if type(name) is not str:
        # A str subclass may hash and compare its own way.
        return _PICKLE_DUMPS(_Reduction(reduced), protocol)
    pickled = kept.get(name)
    if pickled is None:
        if len(kept) >= _BY_REFERENCE_PICKLES_KEPT:
            kept.clear()
        pickled = kept[name] = _PICKLE_DUMPS(_Reduction(reduced), protocol)
    return pickled


def loads(data: bytes, *, allow: Iterable[str] | None = None) -> Any:
    """Load a pickle; the payloads need nothing beyond ``pickle.loads`` and the package.

    Under an allowlist (``allow``, or :func:`allowed` around the call) every
    name the pickle imports or calls is checked first; a name outside it
    raises ``pickle.UnpicklingError``.  With none, this is ``pickle.loads``.
    """
    return _allowlist.load_pickle(data, allow)


def pickle_as_payload(cls: _ExceptionClass) -> _ExceptionClass:
    """Class decorator: pickle, copy and multiprocessing reduce ``cls`` with :func:`reduce_exception`.

    Sets ``__reduce_ex__`` on the class, so its subclasses inherit it; a class
    of its own that defines ``__reduce_ex__`` or is registered in
    ``copyreg.dispatch_table`` keeps that.  Returns the class.
    """
    if not (isinstance(cls, type) and issubclass(cls, BaseException)):
        raise TypeError(f"pickle_as_payload takes an exception class, not {cls!r}")
    cls.__reduce_ex__ = _reduce_ex_as_payload  # type: ignore[assignment,method-assign]
    return cls


def _reduce_ex_as_payload(self: BaseException, protocol: int) -> Reduced:
    return reduce_exception(self)


class _Installation:
    """What :func:`install` changed, so that :func:`uninstall` undoes exactly that."""

    def __init__(self) -> None:
        # Reentrant: hashing a class for the table runs its metaclass's
        # __hash__, which may call back in.
        self.lock = threading.RLock()
        self.covered: dict[type, Reducer] = {}


_installation = _Installation()


def install(*classes: type[BaseException]) -> None:
    """Make the standard pickling of the kinds this module reduces go through its reducers.

    Covers what uses ``copyreg.dispatch_table``: the standard ``pickle.dumps``
    and ``pickle.Pickler``, the ``copy`` module, and ``multiprocessing`` with
    ``concurrent.futures``.  With no argument it registers every exception
    class that exists (except those defined inside a function, which cannot
    travel by name), modules, bound methods of Python functions and of
    built-in functions, and the wrappers in which the process pools send a
    worker's exception with its formatted traceback: that wrapper is reduced
    to the exception, whatever its class and whenever it was defined, with
    the traceback text, in place of the pool's own rebuilding, which would
    replace ``__cause__``.  Given classes, it registers those exception
    classes and their subclasses that exist, and nothing else.

    The table holds exact classes, and a class made later is not in it:
    cover it with ``install(cls)`` or :func:`pickle_as_payload`.  Functions and
    classes are pickled without asking the table: use :func:`dumps` or
    :class:`Pickler` for those.  A type that has an entry in the table already
    keeps it.  A worker started with ``spawn`` or ``forkserver`` must call
    :func:`install` itself (as the pool's ``initializer``).  Calling it again
    is harmless; :func:`uninstall` undoes it.
    """
    for cls in classes:
        _check_exception_class(cls, "install")
    covering = list(_covered_by(classes))
    with _installation.lock:
        for cls, reducer in covering:
            _cover(cls, reducer)


def _check_exception_class(cls: Any, caller: str) -> None:
    if not (isinstance(cls, type) and issubclass(cls, BaseException)):
        raise TypeError(f"{caller} takes exception classes, not {cls!r}")


def _covered_by(classes: tuple[type, ...]) -> Iterator[tuple[type, Reducer]]:
    if classes:
        for cls in classes:
            yield from ((found, reduce_exception) for found in _exception_classes(cls))
        return
    yield from _KIND_REDUCERS
    yield from ((cls, reduce_exception) for cls in _exception_classes(BaseException))
    yield from ((cls, _reduce_pool_exception) for cls in _pool_exception_wrappers())


def uninstall() -> None:
    """Undo :func:`install`: remove the dispatch-table entries it made.

    Entries that others have changed since are left alone, and so are those
    that were there before :func:`install`, which it did not replace.
    """
    with _installation.lock:
        covered, _installation.covered = _installation.covered, {}
        for cls, reducer in covered.items():
            _uncover(cls, reducer)


def _uncover(cls: type, reducer: Reducer) -> None:
    # A metaclass's __hash__ that raises now costs only its own class's entry.
    try:
        if copyreg.dispatch_table.get(cls) is reducer:
            del copyreg.dispatch_table[cls]
    except Exception:
        pass


def _cover(cls: type, reducer: Reducer) -> None:
    # The real qualified name, whatever a metaclass says; a class that cannot
    # be a dictionary key (its metaclass's __hash__ raises) goes uncovered.
    if "<locals>" in str(_QUALNAME(cls)):
        return
    try:
        if cls in copyreg.dispatch_table:
            return
        copyreg.dispatch_table[cls] = reducer
    except Exception:
        return
    _installation.covered[cls] = reducer


def _exception_classes(root: type) -> Iterator[type]:
    # By identity: a metaclass's __eq__ or __hash__ is not asked.
    pending: list[type] = [root]
    seen: dict[int, type] = {}
    while pending:
        cls = pending.pop()
        if id(cls) not in seen:
            seen[id(cls)] = cls
            yield cls
            pending.extend(type.__subclasses__(cls))


def _reduce_builtin(builtin: Any) -> Any:
    # A built-in function of a module is left to the standard rule (its name,
    # which pickle checks and writes as a global); a bound one, [].append,
    # travels by its owner.
    if _is_unbound(builtin):
        return builtin.__reduce__()
    return reduce_bound_method(builtin)


_QUALNAME = type.__dict__["__qualname__"].__get__
# Every kind besides exceptions that the standard pickler lets the dispatch
# table decide (it writes functions and classes by its own rule).
_KIND_REDUCERS: tuple[tuple[type, Reducer], ...] = (
    (types.ModuleType, reduce_module),
    (types.MethodType, reduce_bound_method),
    (types.BuiltinMethodType, _reduce_builtin),
)


# concurrent.futures and multiprocessing.pool send a worker's exception inside
# a private wrapper, which holds the exception and the text of its traceback
# and chain, and whose rebuilding puts that text in __cause__.
_POOL_EXCEPTION_WRAPPERS = (
    ("concurrent.futures.process", "_ExceptionWithTraceback"),
    ("multiprocessing.pool", "ExceptionWithTraceback"),
)


def _pool_exception_wrappers() -> Iterator[type]:
    for module_name, class_name in _POOL_EXCEPTION_WRAPPERS:
        try:
            module = importlib.import_module(module_name)
        except ImportError:
            continue
        cls = getattr(module, class_name, None)
        if isinstance(cls, type):
            yield cls


def _reduce_pool_exception(wrapper: Any) -> Reduced:
    exception, text = getattr(wrapper, "exc", None), getattr(wrapper, "tb", None)
    if not isinstance(exception, BaseException) or not isinstance(text, str):
        reduced: Reduced = wrapper.__reduce__()
        return reduced
    return _reduce_exception(exception, _own_traceback(exception, text))


def _own_traceback(exception: BaseException, quoted: str) -> tuple[Any, ...] | str:
    tb = _TRACEBACK(exception)
    if tb is not None:
        return _tracebacks.entries(tb)
    # The pool formatted the whole chain and then dropped the traceback: its
    # entries are read back from the text, which is sent as it is when they
    # cannot be.
    whole = quoted.removeprefix('\n"""\n').removesuffix('"""')
    own = _last_traceback(exception, whole)
    recorded = None if own is None else _tracebacks.entries_from_text(own)
    return whole if recorded is None else recorded


def _last_traceback(exception: BaseException, whole: str) -> str | None:
    # The exception's own traceback comes last, between the chain and the
    # final lines; entries are indented, so its header is the last one that
    # starts a line.
    final = "".join(traceback.format_exception_only(type(exception), exception))
    if not whole.endswith(final):
        return None
    body = whole[: len(whole) - len(final)]
    start = body.rfind(_TRACEBACK_HEADER)
    while start > 0 and body[start - 1] != "\n":
        start = body.rfind(_TRACEBACK_HEADER, 0, start)
    return None if start < 0 else body[start:]


class JsonPickler(jsonpickle.pickler.Pickler):  # type: ignore[misc]
    """A jsonpickle ``Pickler`` that writes each object with a reducer through that reducer.

    Use it through :func:`json_dumps`, or as
    ``jsonpickle.encode(obj, context=JsonPickler(keys=True))`` (the context's
    options are the ones that count; ``encode``'s own are ignored then);
    ``jsonpickle.decode`` loads the result.  jsonpickle writes functions and
    classes by name without asking any handler, so a lambda becomes None and
    a nested function loads as None; this pickler puts them through
    :func:`reduce_by_reference` and so refuses them when it writes them.  It
    overrides jsonpickle's ``_get_flattener``, the one place where jsonpickle
    picks how to write an object.

    jsonpickle also leaves out of a dict, or of an instance's attributes, every
    entry whose value is a function it cannot name (a bound method, a lambda)
    or whose key is one of its tags (``"py/object"``, ...), before any
    flattener is asked.  This pickler writes such a value through the
    reducers (so a bound method is kept and a lambda refused), and a tag as a
    key escaped when ``keys`` is true; without ``keys`` it refuses that key.
    """

    def _get_flattener(self, obj: Any) -> Any:
        if self.unpicklable and reducer_for(obj) is not None:
            return self._flatten_with_reducer
        return super()._get_flattener(obj)

    def _flatten_with_reducer(self, obj: Any) -> Any:
        return _flatten_payload(self, obj)

    # jsonpickle's three writers of an entry, each of which first drops the
    # entries that jsonpickle.util.is_picklable turns down.

    def _flatten_key_value_pair(self, k: Any, v: Any, data: dict[Any, Any]) -> Any:
        # Without keys: dicts, instance dictionaries and slots.
        if self._left_to_jsonpickle(k, v):
            return super()._flatten_key_value_pair(k, v, data)
        data[self._plain_key(k)] = self._flatten(v)
        return data

    def _flatten_string_key_value_pair(self, k: Any, v: Any, data: dict[Any, Any]) -> Any:
        # With keys, the first pass: the entries whose key is a str.
        if self._left_to_jsonpickle(k, v) or not isinstance(k, str):
            return super()._flatten_string_key_value_pair(k, v, data)
        escape = k in jsonpickle.tags.RESERVED or k.startswith(jsonpickle.tags.JSON_KEY)
        data[self._escape_key(k) if escape else k] = self._flatten(v)
        return data

    def _flatten_non_string_key_value_pair(self, k: Any, v: Any, data: dict[Any, Any]) -> Any:
        # With keys, the second pass: the other entries.
        if self._left_to_jsonpickle(k, v) or isinstance(k, str):
            return super()._flatten_non_string_key_value_pair(k, v, data)
        data[self._escape_key(k)] = self._flatten(v)
        return data

    def _left_to_jsonpickle(self, k: Any, v: Any) -> bool:
        # Without unpicklable the output is a lossy view, jsonpickle's own.
        return not self.unpicklable or bool(jsonpickle.util.is_picklable(k, v))

    def _plain_key(self, k: Any) -> Any:
        # jsonpickle's rule for a key without keys=True, for the entries it
        # would have dropped.
        if isinstance(k, str) and k in jsonpickle.tags.RESERVED:
            raise pickle.PicklingError(
                f"cannot serialise the entry {k!r}: jsonpickle would read the key as its own "
                "tag; write with keys=True, which escapes it"
            )
        if k is None:
            return "null"
        if isinstance(k, str) or (self.numeric_keys and isinstance(k, (int, float))):
            return k
        try:
            return repr(k)
        except Exception:
            return str(k)


def _flatten_payload(context: Any, obj: Any) -> Any:
    # jsonpickle's reader numbers each py/reduce and py/object it meets, for
    # py/id references; the writer must number the same objects.
    if not context._mkref(obj):
        return context._getref(obj)
    return _json_payload(context, obj)


class _PayloadHandler(jsonpickle.handlers.BaseHandler):  # type: ignore[misc]
    """Writes exceptions, modules and bound methods as payloads of the wrappers."""

    def flatten(self, obj: Any, data: dict[str, Any]) -> Any:
        if not self.context.unpicklable:
            return repr(obj)
        return _json_payload(self.context, obj)

    def restore(self, obj: dict[str, Any]) -> Any:
        # The payloads name the wrappers, never a class this handler is registered for.
        raise TypeError(f"{obj.get(jsonpickle.tags.OBJECT)!r} is not a payload of the wrappers")


_HANDLED_TYPES = ((BaseException, True), (types.ModuleType, True), (types.MethodType, False))


def _function_flattener(replaced: Callable[..., Any]) -> Callable[..., Any]:
    # Takes the place of jsonpickle's Pickler._flatten_function while the
    # handlers are registered.  jsonpickle writes a built-in bound method,
    # [1, 2].append, as a function, by the name of its unbound method,
    # list.append, without asking any handler.
    def _flatten_function(pickler: Any, obj: Any) -> Any:
        if pickler.unpicklable and type(obj) is types.BuiltinMethodType and not _is_unbound(obj):
            return _flatten_payload(pickler, obj)
        return replaced(pickler, obj)

    return _flatten_function


class _Registration:
    """What :func:`register_jsonpickle_handlers` put in jsonpickle's ``Pickler``."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.flattener: Callable[..., Any] | None = None
        self.replaced: Callable[..., Any] | None = None


_registration = _Registration()


def register_jsonpickle_handlers() -> None:
    """Make ``jsonpickle.encode`` write exceptions, modules and bound methods as payloads.

    Registers a handler for every exception class, every module and bound
    methods, and makes jsonpickle's ``Pickler`` write a built-in bound method
    (``[1, 2].append``), which it would write as the unbound method, as a
    bound method.  jsonpickle asks no handler about functions, classes and
    built-in functions, and it leaves bound methods and lambdas out of dicts
    and instance attributes before any handler is asked: for those use
    :func:`json_dumps` or :class:`JsonPickler`.
    """
    for cls, base in _HANDLED_TYPES:
        jsonpickle.handlers.register(cls, _PayloadHandler, base=base)
    with _registration.lock:
        pickler_class = jsonpickle.pickler.Pickler
        current = pickler_class.__dict__["_flatten_function"]
        if current is _registration.flattener:
            return
        _registration.replaced = current
        _registration.flattener = _function_flattener(current)
        pickler_class._flatten_function = _registration.flattener


def unregister_jsonpickle_handlers() -> None:
    """Undo :func:`register_jsonpickle_handlers`, where nothing else has changed it since."""
    for cls, _ in _HANDLED_TYPES:
        if jsonpickle.handlers.get(cls) is _PayloadHandler:
            jsonpickle.handlers.unregister(cls)
    with _registration.lock:
        flattener, _registration.flattener = _registration.flattener, None
        pickler_class = jsonpickle.pickler.Pickler
        if flattener is not None and pickler_class.__dict__["_flatten_function"] is flattener:
            pickler_class._flatten_function = _registration.replaced


def json_dumps(obj: Any, **options: Any) -> str:
    """Return the JSON of ``obj``, written by :class:`JsonPickler` with jsonpickle's ``options``.

    ``options`` are the keyword arguments of ``jsonpickle.encode`` and
    ``jsonpickle.decode`` (those of their ``Pickler`` and ``Unpickler``, and
    ``indent``, ``separators``, ``backend`` and ``classes``), given once: pass
    the same ones to :func:`json_loads`, and each side takes those that
    concern it.  ``keys`` is true unless given, so that keys that are not
    str come back as they were.  ``context`` and ``reset`` are refused: the
    helpers make their own context.
    """
    chosen = _json_options(options, "json_dumps")
    pickler_options = _taken(chosen, _PICKLER_OPTIONS)
    if "original_object" in _PICKLER_PARAMETERS:
        pickler_options["original_object"] = obj  # what handle_readonly reads
    pickler = JsonPickler(**pickler_options)
    text: str = jsonpickle.encode(obj, context=pickler, **_taken(chosen, _ENCODE_OPTIONS))
    return text


def json_loads(text: str, *, allow: Iterable[str] | None = None, **options: Any) -> Any:
    """Load JSON written by :func:`json_dumps`, with the same jsonpickle ``options``.

    ``keys`` is true and ``safe`` is true unless given.  A class or function
    that the text names and that cannot be imported here raises
    ``pickle.UnpicklingError`` naming it, where jsonpickle would give back the
    JSON object in its place; ``on_missing="ignore"`` keeps jsonpickle's way.
    Under an allowlist (``allow``, or :func:`allowed` around the call) every
    name the text imports or calls is checked first, as :func:`loads` does.
    """
    chosen = _json_options(options, "json_loads")
    with _allowlist._allowed_if(allow):
        unpickler = _JsonUnpickler(**_taken(chosen, _UNPICKLER_OPTIONS))
        return jsonpickle.decode(text, context=unpickler, **_taken(chosen, _DECODE_OPTIONS))


class _JsonUnpickler(JsonUnpickler):
    """A jsonpickle ``Unpickler`` that reports a class it cannot find by its ``on_missing``."""

    def _restore_type(self, obj: Any) -> Any:
        # A py/type always names a class.  When the name leads nowhere,
        # jsonpickle gives back the py/type object itself (4.x) or the module
        # that the name starts with (3.x); a wrapper handed either fails far
        # from the cause.
        restored = super()._restore_type(obj)
        if not isinstance(restored, type):
            self._process_missing(obj[jsonpickle.tags.TYPE])
        return restored

    def _restore_reduce(self, obj: Any) -> Any:
        # A function or class travels as a call of loadclass on its full name,
        # which gives None (4.x) or the module the name starts with (3.x) when
        # the name leads nowhere: that would stand silently for the object.
        restored = super()._restore_reduce(obj)
        name = _loadclass_name(obj)
        if name is not None and (
            restored is None
            or (isinstance(restored, types.ModuleType) and restored.__name__ != name)
        ):
            self._process_missing(name)
        return restored

    def _restore_object_instance(self, obj: Any, cls: Any, *rest: Any) -> Any:
        # Constructing ModuleWrapper, ExceptionWrapper or SpecialWrapper gives
        # the named object, never an instance of the wrapper: an instance is
        # the blank one jsonpickle makes after the construction raised (the
        # name leads nowhere here), which would stand silently for the object.
        instance = super()._restore_object_instance(obj, cls, *rest)
        if type(instance) in _OBJECT_MAKERS:
            self._process_missing(_named_by(obj, type(instance)))
        return instance


# The wrappers whose construction gives the object they name.
_OBJECT_MAKERS = (
    payload_wrapper.ModuleWrapper,
    payload_wrapper.ExceptionWrapper,
    payload_wrapper.SpecialWrapper,
)


_LOADCLASS_NAME = "jsonpickle.unpickler.loadclass"


def _loadclass_name(obj: dict[str, Any]) -> str | None:
    """The full name a py/reduce entry hands to loadclass, or None for any other entry."""
    reduced = obj.get(jsonpickle.tags.REDUCE)
    if not isinstance(reduced, list) or len(reduced) < 2:
        return None
    function, arguments = reduced[0], reduced[1]
    if not isinstance(function, dict) or function.get(jsonpickle.tags.FUNCTION) != _LOADCLASS_NAME:
        return None
    if isinstance(arguments, dict):
        arguments = arguments.get(jsonpickle.tags.TUPLE)
    if isinstance(arguments, list) and len(arguments) == 1 and isinstance(arguments[0], str):
        return arguments[0]
    return None


def _named_by(obj: dict[str, Any], wrapper: type) -> str:
    arguments = obj.get(jsonpickle.tags.NEWARGS, {})
    if isinstance(arguments, dict):
        arguments = arguments.get(jsonpickle.tags.TUPLE, ())
    if isinstance(arguments, list) and arguments and isinstance(arguments[0], str):
        return arguments[0]
    return wrapper.__qualname__


def _refuse_missing(name: str) -> None:
    cause = ""
    if name.startswith("__main__."):
        cause = (
            ": a class or function defined in __main__ exists only in the process that ran "
            "that script as __main__; define it in a module that both sides import"
        )
    raise pickle.UnpicklingError(f"cannot load {name!r}: no such class or function here{cause}")


def _json_options(options: dict[str, Any], caller: str) -> dict[str, Any]:
    refused = sorted(set(options) & {"context", "reset"})
    unknown = sorted(set(options) - _JSON_OPTIONS - {"context", "reset"})
    if refused:
        raise TypeError(f"{caller} makes its own jsonpickle context: {', '.join(refused)} refused")
    if unknown:
        raise TypeError(f"{caller} got options that jsonpickle does not take: {', '.join(unknown)}")
    return {**_JSON_DEFAULTS, **options}


def _taken(options: dict[str, Any], names: frozenset[str]) -> dict[str, Any]:
    return {name: value for name, value in options.items() if name in names}


def _parameters(function: Callable[..., Any], *left_out: str) -> frozenset[str]:
    names = inspect.signature(function).parameters
    return frozenset(names) - {"self", *left_out}


# The options of each side, as the installed jsonpickle names them.
_PICKLER_PARAMETERS = _parameters(jsonpickle.pickler.Pickler.__init__)
_PICKLER_OPTIONS = _PICKLER_PARAMETERS - {"original_object"}
_ENCODE_OPTIONS = frozenset({"indent", "separators", "backend"})
_UNPICKLER_OPTIONS = _parameters(jsonpickle.unpickler.Unpickler.__init__)
_DECODE_OPTIONS = frozenset({"backend", "classes"})
_JSON_OPTIONS = _PICKLER_OPTIONS | _ENCODE_OPTIONS | _UNPICKLER_OPTIONS | _DECODE_OPTIONS
_JSON_DEFAULTS = {"keys": True, "safe": True, "on_missing": _refuse_missing}


def _json_payload(context: Any, obj: Any) -> dict[str, Any]:
    reducer = reducer_for(obj)
    if reducer is None:
        raise TypeError(f"no payload reducer for {obj!r}")
    reduced = reducer(obj)
    if reduced[0] is payload_wrapper.ExceptionWrapper:
        return _json_exception(context, reduced)
    tags = jsonpickle.tags
    return {tags.REDUCE: [context.flatten(part, reset=False) for part in reduced]}


def _json_exception(context: Any, reduced: Reduced) -> dict[str, Any]:
    # jsonpickle reads the state of a py/reduce before it calls the callable,
    # so a value leading back to the exception would find it missing.  As
    # py/object with py/newargs, the exception exists (ExceptionWrapper.__new__
    # does all the rebuilding) before py/state is read.
    tags = jsonpickle.tags
    payload = {
        tags.OBJECT: _full_name(reduced[0]),
        tags.NEWARGS: context.flatten(reduced[1], reset=False),
    }
    if len(reduced) > 2:
        payload[tags.STATE] = context.flatten(reduced[2], reset=False)
    return payload
