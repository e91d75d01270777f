"""Payloads of the package's wrappers, made from live objects: the dump side.

The wrappers of :mod:`dravolt_common.utils.payload_wrapper` turn a payload back
into a live object; this module makes the payload.  Four kinds of object travel
as a reduce tuple that names a wrapper, so that a reader that has the package
loads them with nothing else:

- an exception: ``(ExceptionWrapper, (class name, args, state), later)``.
  Between them ``state`` and ``later`` hold the instance dictionary, what the
  interpreter keeps outside it (``filename`` of an ``OSError``, ``name`` and
  ``path`` of an ``ImportError``, slots, ...), the formatted traceback and
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
(pickle), :func:`pickle_as_payload` and :func:`install` (the standard
``pickle.dumps``, ``copy``, ``multiprocessing`` and ``concurrent.futures``, for
exceptions), and :class:`JsonPickler` and :func:`register_jsonpickle_handlers`
(jsonpickle).

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

from dravolt_common import _allowlist
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
_WRAPPER_NAMES = (
    "SpecialWrapper",
    "ModuleWrapper",
    "ExceptionWrapper",
    "FunctionWrapper",
    "PayloadWrapperBase",
    "PayloadWrapper",
    "UnpicklableObject",
)
# pickle writes these three by a rule of its own; builtins has no name for them.
_LEFT_TO_PICKLE = (type(None), type(NotImplemented), type(...))
# The object whose attribute was missing is often one that cannot travel (a
# socket, a lock), and the interpreter's own pickling of AttributeError leaves
# it out too.
_FIELDS_LEFT_OUT = frozenset({(AttributeError, "obj")})


def reduce_by_reference(obj: Any) -> Reduced:
    """Return the reduce tuple of a ``FunctionWrapper`` that names ``obj``.

    ``obj`` is a function, class or built-in function that is reached by its
    full name (its module, a dot and its qualified name).  The tuple is
    ``(loadclass, (full name,))``, so loading gives back ``obj`` itself.

    Raises ``pickle.PicklingError`` when that name does not lead back to
    ``obj``: a lambda, a function or class defined inside a function, a name
    that a decorator has rebound to its wrapper.
    """
    name = _checked_full_name(obj)
    reduced: Reduced = payload_wrapper.FunctionWrapper(name).__reduce__()
    return reduced


def _checked_full_name(obj: Any) -> str:
    name = _full_name(obj)
    found, error = _resolve(name)
    if found is not obj:
        reason = _why_not_found(obj, name, found, error)
        raise pickle.PicklingError(f"cannot serialise {obj!r} by reference: {reason}")
    return name


def _full_name(obj: Any) -> str:
    try:
        return str(payload_wrapper.get_attribute_full_name(obj))
    except Exception as error:
        raise pickle.PicklingError(
            f"cannot serialise {obj!r} by reference: it has no full name ({error!r})"
        ) from error


def _resolve(name: str) -> tuple[Any, Exception | None]:
    try:
        return payload_wrapper.import_by_full_name(name), None
    except RecursionError:
        raise  # says nothing about the name
    except Exception as error:
        return None, error


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
    an ``ImportError``, ``code`` of a ``SystemExit``, slots), the formatted
    traceback (under ``"py/dravolt/traceback"``, which the package's loader
    appends to ``__notes__``) and ``__cause__``, ``__context__`` and
    ``__suppress_context__``.

    ``state``, which ``ExceptionWrapper`` hands to the rebuild function, is a
    plain dict of the attributes whose values are plain data (str, bytes,
    numbers, None and tuples, lists and dicts of them) and of the traceback.
    ``later`` holds the chain and the other attributes: values that may lead
    back to the exception, which an argument of its own construction cannot,
    so they are set once it exists (by the serialiser, through the exception's
    ``__setstate__``).  ``later`` is left out when it would be empty.

    Raises ``pickle.PicklingError`` when the exception's class cannot be
    reached by its full name.
    """
    return _reduce_exception(exception, _traceback_text(exception.__traceback__))


def _reduce_exception(exception: BaseException, traceback_text: str | None) -> Reduced:
    name = _checked_full_name(type(exception))
    state, later = _split_attributes(exception)
    if traceback_text is not None:
        state[TRACEBACK_TEXT_KEY] = traceback_text
    later.update(_chain_state(exception))
    reduced: Reduced = (payload_wrapper.ExceptionWrapper, (name, exception.args, state))
    return (*reduced, later) if later else reduced


def _traceback_text(tb: types.TracebackType | None) -> str | None:
    if tb is None:
        return None
    return _TRACEBACK_HEADER + "".join(traceback.format_tb(tb))


def _split_attributes(exception: BaseException) -> tuple[dict[str, Any], dict[str, Any]]:
    state: dict[str, Any] = {}
    later: dict[str, Any] = {}
    attributes = {**vars(exception), **_field_values(exception)}
    for name, value in attributes.items():
        # The traceback note joins __notes__ as the exception is made.
        early = name == "__notes__" or _is_plain(value)
        (state if early else later)[name] = value
    return state, later


def _is_plain(value: Any, depth: int = 0) -> bool:
    kind = type(value)
    if kind in _PLAIN_ATOMS:
        return True
    if depth >= _PLAIN_DEPTH:
        return False
    if kind in _PLAIN_CONTAINERS:
        return all(_is_plain(item, depth + 1) for item in value)
    if kind is dict:
        return all(_is_plain(k, depth + 1) and _is_plain(v, depth + 1) for k, v in value.items())
    return False


def _chain_state(exception: BaseException) -> dict[str, Any]:
    cause, context = exception.__cause__, exception.__context__
    suppress = exception.__suppress_context__
    if cause is None and context is None and not suppress:
        return {}
    # Setting __cause__ sets __suppress_context__ too, so the latter comes last.
    return {"__cause__": cause, "__context__": context, "__suppress_context__": suppress}


def _field_values(exception: BaseException) -> dict[str, Any]:
    descriptors = _field_descriptors(type(exception))
    if not descriptors:
        return {}
    baseline = _baseline(exception)
    values = {}
    for name, descriptor in descriptors.items():
        present, value = _read(descriptor, exception)
        if present and not _rebuilt_alike(baseline, descriptor, value):
            values[name] = value
    return values


def _field_descriptors(cls: type) -> dict[str, Any]:
    # The built-in exception types keep their fields in members and getsets,
    # and so do the slots of a class written in Python; BaseException's own
    # (args, the chain, the traceback) travel otherwise.
    found: dict[str, Any] = {}
    for klass in cls.__mro__:
        if klass in (BaseException, object):
            continue
        for name, value in vars(klass).items():
            if name not in found and _is_field(klass, name, value):
                found[name] = value
    return found


def _is_field(klass: type, name: str, value: Any) -> bool:
    return (
        isinstance(value, (types.MemberDescriptorType, types.GetSetDescriptorType))
        and not name.startswith("__")
        and (klass, name) not in _FIELDS_LEFT_OUT
    )


def _baseline(exception: BaseException) -> BaseException | None:
    # What the loading side makes from args alone: fields that come out the
    # same need not travel, and writing them again could change them (an
    # OSError whose filename was never set prints differently from one whose
    # filename is None).
    try:
        return unpickle_exception(type(exception), exception.args, None)
    except Exception:
        return None


def _read(descriptor: Any, obj: Any) -> tuple[bool, Any]:
    try:
        return True, descriptor.__get__(obj, type(obj))
    except AttributeError:
        return False, None


def _rebuilt_alike(baseline: BaseException | None, descriptor: Any, value: Any) -> bool:
    if baseline is None:
        return value is None
    present, rebuilt = _read(descriptor, baseline)
    if not present:
        return False
    if value is rebuilt:
        return True
    # The fields that args fill hold the same objects, except numbers kept
    # in C that come out as new ints; other values are not compared, so no
    # __eq__ of the caller's runs here.
    return type(value) is type(rebuilt) and type(value) in (int, str, bytes) and value == rebuilt


def reducer_for(obj: Any) -> Reducer | None:
    """Return the reducer of this module that serialises ``obj``, or None.

    Exceptions, modules, bound methods (built-in ones included), functions,
    classes and built-in functions have one; None leaves ``obj`` to the
    serialiser, as it does for the objects that the payloads themselves name
    (the wrapper classes and ``jsonpickle.unpickler.loadclass``).
    """
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
    if obj is jsonpickle.unpickler.loadclass or obj in _LEFT_TO_PICKLE:
        return True
    return any(obj is getattr(payload_wrapper, name, None) for name in _WRAPPER_NAMES)


class Pickler(pickle.Pickler):
    """A ``pickle.Pickler`` that writes each object with a reducer through that reducer.

    See :func:`reducer_for` for the kinds of object; everything else is pickled
    as usual.
    """

    def reducer_override(self, obj: Any) -> Any:
        reducer = reducer_for(obj)
        return NotImplemented if reducer is None else reducer(obj)


def dumps(obj: Any, protocol: int | None = None) -> bytes:
    """Return the pickle of ``obj`` written by :class:`Pickler` with ``protocol``."""
    buffer = io.BytesIO()
    Pickler(buffer, protocol).dump(obj)
    return buffer.getvalue()


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
        # Reentrant: a class statement run while the lock is held (by an
        # import, or a finaliser) reaches the lock again through the hook.
        self.lock = threading.RLock()
        self.active = False
        self.covered: dict[type, Reducer] = {}
        self.hook: _ClassStatementHook | None = None


_installation = _Installation()


def install() -> None:
    """Make every exception class, now and later, pickle with :func:`reduce_exception`.

    Covers what uses ``copyreg.dispatch_table``: the standard ``pickle.dumps``
    and ``pickle.Pickler``, the ``copy`` module, and ``multiprocessing`` with
    ``concurrent.futures``, whose workers send an exception wrapped with its
    formatted traceback; that wrapper is reduced to the exception too, with
    the traceback text, in place of the pool's own rebuilding, which would
    replace ``__cause__``.  A worker started with ``spawn`` or ``forkserver``
    must call :func:`install` itself (as the pool's ``initializer``).

    Each exception class that exists is registered in the dispatch table,
    except those defined inside a function (they cannot travel by name) and
    those that have an entry already.  Classes defined later by a ``class``
    statement are registered as they are made, by a hook in place of
    ``builtins.__build_class__``; a class made by calling ``type()`` directly
    is not seen.  Calling it again is harmless; :func:`uninstall` undoes it.
    """
    wrappers = list(_pool_exception_wrappers())
    with _installation.lock:
        _installation.active = True
        for cls in _exception_classes():
            _cover(cls, reduce_exception)
        for cls in wrappers:
            _cover(cls, _reduce_pool_exception)
        _hook_class_statements()


def uninstall() -> None:
    """Undo :func:`install`: remove its dispatch-table entries and its class-statement hook.

    Entries that others have changed since are left alone.  If another hook
    has been put in place of ``builtins.__build_class__`` on top of this
    module's, this module's stays in the chain, passing every call through.
    """
    with _installation.lock:
        _installation.active = False
        _unhook_class_statements()
        for cls, reducer in _installation.covered.items():
            if copyreg.dispatch_table.get(cls) is reducer:
                del copyreg.dispatch_table[cls]
        _installation.covered.clear()


def _cover(cls: type, reducer: Reducer) -> None:
    if "<locals>" in str(cls.__qualname__) or cls in copyreg.dispatch_table:
        return
    copyreg.dispatch_table[cls] = reducer
    _installation.covered[cls] = reducer


def _exception_classes() -> Iterator[type]:
    pending: list[type] = [BaseException]
    seen: set[type] = set()
    while pending:
        cls = pending.pop()
        if cls not in seen:
            seen.add(cls)
            yield cls
            pending.extend(type.__subclasses__(cls))


class _ClassStatementHook:
    """Takes the place of ``builtins.__build_class__`` and covers the exception classes it makes."""

    def __init__(self, build_class: Callable[..., Any]) -> None:
        self.build_class = build_class

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        cls = self.build_class(*args, **kwargs)
        if _installation.active and isinstance(cls, type) and issubclass(cls, BaseException):
            _cover_new_class(cls)
        return cls


def _cover_new_class(cls: type) -> None:
    # A class statement must not fail because of this hook: a class that cannot
    # be a dictionary key (a metaclass whose __hash__ raises) goes uncovered.
    try:
        with _installation.lock:
            if _installation.active:
                _cover(cls, reduce_exception)
    except Exception:
        pass


def _hook_class_statements() -> None:
    hook = _installation.hook
    if hook is not None and builtins.__build_class__ is hook:
        return
    _installation.hook = _ClassStatementHook(builtins.__build_class__)
    builtins.__build_class__ = _installation.hook


def _unhook_class_statements() -> None:
    hook = _installation.hook
    if hook is not None and builtins.__build_class__ is hook:
        builtins.__build_class__ = hook.build_class
    _installation.hook = None


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
    return _reduce_exception(exception, _own_traceback_text(exception, text))


def _own_traceback_text(exception: BaseException, quoted: str) -> str:
    text = _traceback_text(exception.__traceback__)
    if text is not None:
        return text
    whole = quoted.removeprefix('\n"""\n').removesuffix('"""')
    own = _last_traceback(exception, whole)
    return whole if own is None else own


def _last_traceback(exception: BaseException, whole: str) -> str | None:
    # The pool formatted the whole chain and then dropped the traceback.  The
    # chain formatted again without it is the same text less the exception's
    # own traceback, which lies between the chain and the final lines.
    final = "".join(traceback.format_exception_only(type(exception), exception))
    chain = "".join(traceback.format_exception(type(exception), exception, None))
    chain = chain[: len(chain) - len(final)]
    if not (whole.startswith(chain) and whole.endswith(final)):
        return None
    own = whole[len(chain) : len(whole) - len(final)]
    return own if own.startswith(_TRACEBACK_HEADER) else None


class JsonPickler(jsonpickle.pickler.Pickler):  # type: ignore[misc]
    """A jsonpickle ``Pickler`` that writes each object with a reducer through that reducer.

    Use it as ``jsonpickle.encode(obj, context=JsonPickler())``; plain
    ``jsonpickle.decode`` loads the result.  jsonpickle writes functions and
    classes by name without asking any handler, so a lambda becomes None and
    a nested function loads as None; this pickler puts them through
    :func:`reduce_by_reference` and so refuses them when it writes them.  It
    overrides jsonpickle's ``_get_flattener``, the one place where jsonpickle
    picks how to write an object.
    """

    def _get_flattener(self, obj: Any) -> Any:
        if self.unpicklable and reducer_for(obj) is not None:
            return self._flatten_with_reducer
        return super()._get_flattener(obj)

    def _flatten_with_reducer(self, obj: Any) -> Any:
        # jsonpickle's reader numbers each py/reduce and py/object it meets,
        # for py/id references; the writer must number the same objects.
        if not self._mkref(obj):
            return self._getref(obj)
        return _json_payload(self, obj)


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


def register_jsonpickle_handlers() -> None:
    """Make ``jsonpickle.encode`` write exceptions, modules and bound methods as payloads.

    Registers a handler for every exception class, every module and bound
    methods.  jsonpickle asks no handler about functions, classes and built-in
    functions: for those use :class:`JsonPickler`.
    """
    for cls, base in _HANDLED_TYPES:
        jsonpickle.handlers.register(cls, _PayloadHandler, base=base)


def unregister_jsonpickle_handlers() -> None:
    """Remove the handlers of :func:`register_jsonpickle_handlers` that are still in place."""
    for cls, _ in _HANDLED_TYPES:
        if jsonpickle.handlers.get(cls) is _PayloadHandler:
            jsonpickle.handlers.unregister(cls)


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
