"""Rebuilding exceptions from their class, arguments and attribute dictionary.

``ExceptionWrapper`` in :mod:`dravolt_common.utils.payload_wrapper` carries an
exception as three values: the full name of its class, its ``args`` and its
attribute dictionary.  When it is loaded it resolves the name to the class and
asks this module which function turns the three values back into an exception::

    rebuild = get_special_unpickle_function(full_name)
    exception = rebuild(exception_class, args, attributes)

Calling the class is not an option: an exception class written in Python may
define an ``__init__`` whose parameters have nothing to do with the ``args``
it ends up with, or that needs more arguments than ``args`` holds.  The
default function, :func:`unpickle_exception`, therefore never runs Python-level
``__new__`` or ``__init__`` code.  It creates the object with the built-in
``__new__`` and ``__init__`` that the class inherits from the interpreter's own
exception types, which fill the state that those types keep outside the
instance dictionary (``errno`` and ``strerror`` of an ``OSError``, ``msg`` and
``lineno`` of a ``SyntaxError``, the five fields of a ``UnicodeDecodeError``,
the ``value`` of a ``StopIteration``) from ``args``, and then hands the
attribute dictionary to the exception's ``__setstate__``, as unpickling an
exception does.

Classes that need a rebuilding of their own are registered by full name with
:func:`register_special_unpickler`; ``builtins.OSError`` is one, because
``OSError`` would otherwise turn itself into the subclass that matches its
``errno``.

A traceback object cannot travel, so :mod:`dravolt_common.payloads` sends its
entries as data instead, under the attribute name :data:`TRACEBACK_TEXT_KEY`;
both rebuild functions here make a real traceback of them and set it as the
exception's ``__traceback__``.  Payloads of version 0.1.0 hold the formatted
text there, which is appended to the exception's ``__notes__``.
"""

import types
from collections.abc import Callable, Iterable, Mapping
from typing import Any, TypeVar, cast, overload

from dravolt_common import _tracebacks

__all__ = [
    "SPECIAL_UNPICKLERS",
    "TRACEBACK_TEXT_KEY",
    "UnpickleFunction",
    "get_special_unpickle_function",
    "register_special_unpickler",
    "unpickle_exception",
    "unpickle_os_error",
]

#: A rebuild function: ``function(exception_class, args, attributes)``.
UnpickleFunction = Callable[[type[BaseException], Any, Any], BaseException]

#: Rebuild functions by the full name of the exception class they rebuild.
#: Every name missing here is rebuilt by :func:`unpickle_exception`.
SPECIAL_UNPICKLERS: dict[str, UnpickleFunction] = {}

_Function = TypeVar("_Function", bound=UnpickleFunction)
# The interpreter's own args, which a property of the class may shadow.
_ARGS = BaseException.__dict__["args"]

#: The entry of the attributes that holds the traceback of the original
#: exception: a tuple of its entries (file name, line number, name, qualified
#: name, first line of the code), or, in payloads of version 0.1.0, its
#: formatted text.  Its slashes keep it apart from any attribute a class sets
#: with ordinary code.  The reader of version 0.1.0 drops a value that is not
#: a str; a reader that does not know the entry sets it as an attribute like
#: any other entry.
TRACEBACK_TEXT_KEY = "py/dravolt/traceback"


def get_special_unpickle_function(full_name: str) -> UnpickleFunction:
    """Return the function that rebuilds exceptions of the class named ``full_name``.

    ``full_name`` is the class's module name, a dot and its qualified name, for
    example ``"builtins.ValueError"``.  The result is called as
    ``function(exception_class, args, attributes)`` and returns the rebuilt
    exception: the function registered for that name, or
    :func:`unpickle_exception` for every other name.
    """
    return SPECIAL_UNPICKLERS.get(full_name, unpickle_exception)


@overload
def register_special_unpickler(
    full_name: str, function: None = None
) -> Callable[[_Function], _Function]: ...


@overload
def register_special_unpickler(full_name: str, function: _Function) -> _Function: ...


def register_special_unpickler(
    full_name: str, function: _Function | None = None
) -> _Function | Callable[[_Function], _Function]:
    """Register ``function`` as the rebuild function for the class named ``full_name``.

    Takes the place of any function registered earlier under that name.  Used
    as ``register_special_unpickler(name, function)`` it returns ``function``;
    used as a decorator, ``@register_special_unpickler(name)``, it registers
    and returns the decorated function.
    """
    if function is None:

        def register(function: _Function) -> _Function:
            return register_special_unpickler(full_name, function)

        return register
    if not callable(function):
        raise TypeError(f"a special unpickler must be callable, not {type(function).__name__}")
    SPECIAL_UNPICKLERS[full_name] = function
    return function


def unpickle_exception(
    exception_class: type[BaseException],
    args: Iterable[Any] | None,
    attributes: Mapping[str, Any] | None,
) -> BaseException:
    """Rebuild an exception of ``exception_class`` without calling the class.

    ``args`` becomes the exception's ``args``: a tuple, list or other iterable,
    or None for no arguments.  ``attributes`` is a mapping of attribute names
    to values, typically the original exception's ``__dict__``, or None.

    The object is created by the built-in ``__new__`` that the class inherits
    and then initialised by the built-in ``__init__`` that its method resolution
    order reaches first, both given ``args``; any ``__new__`` or ``__init__``
    written in Python is passed over, so its signature does not matter.  If that
    built-in ``__init__`` refuses ``args`` with TypeError or ValueError (a
    subclass of ``UnicodeDecodeError`` whose ``args`` were replaced after it was
    initialised, say), the exception keeps the state its ``__new__`` gave it
    and its ``args`` are set directly.  Finally ``attributes``, as a dict, goes
    to the exception's ``__setstate__``; the one that exceptions inherit sets
    each entry with ``setattr``, so names that the class keeps in slots of its
    own (``name`` and ``path`` of an ImportError) are restored there.  The
    entry :data:`TRACEBACK_TEXT_KEY`, if present, is taken out first: a tuple
    or list of traceback entries becomes the exception's ``__traceback__``, a
    str is appended to the exception's ``__notes__`` (a new list).

    Raises TypeError when ``exception_class`` is not a subclass of
    BaseException, when ``args`` is a str, bytes or not iterable, or when
    ``attributes`` is neither a mapping nor None, or when the traceback entry
    is neither None, a str nor a sequence of traceback entries.
    """
    _check_exception_class(exception_class)
    args = _as_args(args)
    exception = _builtin_new(exception_class)(exception_class, *args)
    try:
        _builtin_init(exception_class)(exception, *args)
    except (TypeError, ValueError):
        _ARGS.__set__(exception, args)
    _set_attributes(exception, attributes)
    return exception


@register_special_unpickler("builtins.OSError")
def unpickle_os_error(
    exception_class: type[BaseException],
    args: Iterable[Any] | None,
    attributes: Mapping[str, Any] | None,
) -> BaseException:
    """Rebuild an exception of exactly the class ``OSError``.

    ``OSError(errno, strerror)`` returns an instance of the subclass that
    matches ``errno`` (FileNotFoundError for ENOENT, for example), so the
    default rebuilding would change the class of an ``OSError`` whose ``errno``
    has such a subclass.  This function lets ``OSError`` read ``args`` as usual
    (``errno``, ``strerror``, ``filename``, ``winerror``, ``filename2``) and
    copies the result onto an object created as ``OSError`` itself.  The
    arguments and failures are those of :func:`unpickle_exception`.
    """
    _check_exception_class(exception_class)
    args = _as_args(args)
    parsed = OSError(*args)
    exception = OSError.__new__(cast("type[OSError]", exception_class))
    # OSError reads errno and strerror only from two to five arguments, and
    # keeps a filename only when it is not None; the message depends on which
    # of them are set, so set no more than the parsing did.
    if 2 <= len(args) <= 5:
        exception.errno = parsed.errno
        exception.strerror = parsed.strerror
    for name in ("filename", "filename2"):
        value = getattr(parsed, name)
        if value is not None:
            setattr(exception, name, value)
    _ARGS.__set__(exception, parsed.args)
    _set_attributes(exception, attributes)
    return exception


def _check_exception_class(exception_class: object) -> None:
    if not (isinstance(exception_class, type) and issubclass(exception_class, BaseException)):
        raise TypeError(
            f"cannot rebuild an exception from {exception_class!r}: not an exception class"
        )


def _as_args(args: object) -> tuple[Any, ...]:
    if type(args) is tuple:
        return args
    if args is None:
        return ()
    if not isinstance(args, (str, bytes, bytearray)):
        try:
            # tuple() also takes what iterates through __getitem__ alone.
            return tuple(cast("Iterable[Any]", args))
        except TypeError:
            pass
    raise TypeError(f"exception arguments must be a sequence, not {type(args).__name__}")


def _set_attributes(exception: BaseException, attributes: object) -> None:
    if attributes is None:
        return
    if type(attributes) is not dict and not isinstance(attributes, Mapping):
        raise TypeError(f"exception attributes must be a mapping, not {type(attributes).__name__}")
    state = dict(attributes)
    recorded = state.pop(TRACEBACK_TEXT_KEY, None)
    # Made before __setstate__ runs any code of the class, and checked.
    tb = None if recorded is None or isinstance(recorded, str) else _tracebacks.rebuild(recorded)
    exception.__setstate__(state)
    if isinstance(recorded, str):
        _add_note(exception, recorded)
    elif tb is not None:
        # The interpreter's own setter: a class may shadow __traceback__.
        BaseException.with_traceback(exception, tb)


def _add_note(exception: BaseException, text: str) -> None:
    # A new list: the one the attributes brought may be shared with the
    # original exception (copy.copy hands over the attributes unchanged).
    # setattr, because BaseException declares __notes__ only from 3.11 on.
    notes = getattr(exception, "__notes__", None)
    if notes is None:
        setattr(exception, "__notes__", [text])  # noqa: B010
    elif isinstance(notes, (list, tuple)):
        setattr(exception, "__notes__", [*notes, text])  # noqa: B010


def _builtin_new(exception_class: type[BaseException]) -> Callable[..., BaseException]:
    # The interpreter accepts only the __new__ of the nearest built-in class
    # along the chain of __base__ (the class that decides the memory layout);
    # a Python-level __new__ sits in the class dictionary as a staticmethod.
    # BaseException ends every such chain.  Neither built-in function type
    # here can be subclassed, so the exact type says it.
    cls: type = exception_class
    while True:
        new = cls.__dict__.get("__new__")
        if type(new) is types.BuiltinFunctionType:
            return cast("Callable[..., BaseException]", new)
        cls = cls.__base__  # type: ignore[assignment]


def _builtin_init(exception_class: type[BaseException]) -> Callable[..., None]:
    # __init__ is found along the method resolution order, as a call of the
    # class finds it; the built-in ones are slot wrappers, BaseException's last.
    for cls in exception_class.__mro__:
        init = cls.__dict__.get("__init__")
        if type(init) is types.WrapperDescriptorType:
            return cast("Callable[..., None]", init)
    raise TypeError(f"{exception_class!r} inherits no built-in __init__")
