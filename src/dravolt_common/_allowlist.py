"""Loading with an allowlist: only listed names are imported, resolved or called.

An allowlist is a set of entries, each a dotted name: a module (admitting the
module, its submodules and everything defined in them) or a full name
(admitting that object and what is nested in it).  While one is in effect
(:func:`allowed`), every name that loading would import or call is checked
before anything is imported: the names the wrappers of
``payload_wrapper`` resolve (the extension reads the context variable
itself, so this holds inside a plain ``pickle.loads`` too), the names that
reach the ``find_class`` of :func:`load_pickle` and the class loading of
:class:`JsonUnpickler`, and the values that ``PayloadWrapper`` and
``UnpicklableObject`` payloads install from their ``funcs``.

A name is admitted when it is an entry, lies below one, or is one of the
package's own wrapper classes, the rebuild functions of ``special_unpicklers``
or ``jsonpickle.unpickler.loadclass`` (whose place the allowlist's own
:meth:`Allowlist.loadclass` takes).  Resolving it then walks only through
modules and classes that bear the name they are reached by, and the object
found must bear the name too (a module is the one ``sys.modules`` holds under
it; anything else has that module and qualified name): an admitted module
does not admit what it imported from elsewhere (``mypkg.os.system``).
Anything else raises ``pickle.UnpicklingError`` naming it.
"""

from __future__ import annotations

import _compat_pickle
import builtins
import contextlib
import contextvars
import importlib
import io
import pickle
import sys
import types
from collections.abc import Iterable, Iterator
from typing import Any

import jsonpickle.tags  # type: ignore[import-untyped]
import jsonpickle.unpickler  # type: ignore[import-untyped]

# The extension makes the context variable while its body runs.
from dravolt_common.utils import payload_wrapper  # noqa: F401
from dravolt_common.utils._allowlist_state import ALLOWLIST  # type: ignore[import-not-found]

if type(ALLOWLIST) is not contextvars.ContextVar:
    raise ImportError("dravolt_common.utils._allowlist_state.ALLOWLIST is not a context variable")

#: The full names of the exception classes (warnings included) of ``builtins``.
BUILTIN_EXCEPTIONS: frozenset[str] = frozenset(
    f"builtins.{name}"
    for name, value in vars(builtins).items()
    if isinstance(value, type) and issubclass(value, BaseException) and value.__name__ == name
)

_WRAPPERS = "dravolt_common.utils.payload_wrapper."
_UNPICKLERS = "dravolt_common.utils.special_unpicklers"
_LOADCLASS = "jsonpickle.unpickler.loadclass"
# Admitted under every allowlist, each by exactly this name. The registering
# function of special_unpicklers is not among them: it changes how every
# later exception loads.
_IMPLICIT = frozenset(
    [
        *(
            _WRAPPERS + name
            for name in (
                "SpecialWrapper",
                "ModuleWrapper",
                "ExceptionWrapper",
                "FunctionWrapper",
                "PayloadWrapperBase",
                "PayloadWrapper",
                "UnpicklableObject",
            )
        ),
        _UNPICKLERS,
        *(
            f"{_UNPICKLERS}.{name}"
            for name in ("get_special_unpickle_function", "unpickle_exception", "unpickle_os_error")
        ),
        _LOADCLASS,
    ]
)
# Values of these exact types name nothing; funcs of these exact types
# install nothing (no key of theirs is both a str and an index).
_ATOMS = (str, bytes, int, float, complex, bool, type(None))
_INSTALLS_NOTHING = (list, tuple, str, bytes, set, frozenset, int, float, type(None))


def _refuse(name: str, why: str) -> pickle.UnpicklingError:
    return pickle.UnpicklingError(f"refused to load {name!r}: {why}")


def _parse_entries(names: Iterable[str]) -> frozenset[str]:
    entries = [names] if isinstance(names, str) else list(names)
    for entry in entries:
        if type(entry) is not str or not _is_dotted_name(entry):
            raise ValueError(f"an allowlist entry is a dotted name, not {entry!r}")
    return frozenset(entries)


def _is_dotted_name(name: str) -> bool:
    return all(part.isidentifier() for part in name.split("."))


class Allowlist:
    """The names admitted in one context: its own entries and those of the allowlist it is inside."""

    def __init__(self, entries: frozenset[str], outer: Allowlist | None) -> None:
        self.entries = entries
        self.outer = outer

    def admits(self, name: str) -> bool:
        """Whether ``name`` is admitted: an inner allowlist only narrows an outer one."""
        if name in _IMPLICIT:
            return True
        allowlist: Allowlist | None = self
        while allowlist is not None:
            if not any(_below(name, entry) for entry in allowlist.entries):
                return False
            allowlist = allowlist.outer
        return True

    def check_name(self, name: Any) -> Any:
        """Raise ``pickle.UnpicklingError`` unless ``name`` is admitted; return the checked loadclass."""
        # A str subclass could show the check one text and the import another.
        if type(name) is not str:
            raise pickle.UnpicklingError("refused to load a name that is not a str")
        if not _is_dotted_name(name):
            raise _refuse(name, "it is not a dotted name")
        if not self.admits(name):
            raise _refuse(name, "it is not on the allowlist")
        return self.loadclass

    def loadclass(self, name: Any, classes: Any = None) -> Any:
        """What ``jsonpickle.unpickler.loadclass`` finds for an admitted name, checked."""
        self.check_name(name)
        found = _resolve(name)
        return self.loadclass if found is jsonpickle.unpickler.loadclass else found

    def check_funcs(self, funcs: Any) -> None:
        """Raise ``pickle.UnpicklingError`` unless every value that ``funcs`` installs is admitted."""
        if type(funcs) in _INSTALLS_NOTHING:
            return
        if type(funcs) is not dict:
            raise pickle.UnpicklingError("refused to install funcs that are not a dict")
        entries = list(funcs.items())
        for key, value in entries:
            if type(key) is not str:
                raise pickle.UnpicklingError("refused to install funcs whose key is not a str")
            self._check_value(key, value)
        # Checking read attributes of the values, which may have run code.
        now = list(funcs.items())
        if len(now) != len(entries) or any(
            a[0] is not b[0] or a[1] is not b[1] for a, b in zip(now, entries, strict=True)
        ):
            raise pickle.UnpicklingError("refused to install funcs that changed while checked")

    def _check_value(self, key: str, value: Any) -> None:
        if type(value) in _ATOMS:
            return
        name = _own_name(value)
        if name is None:
            raise _refuse(key, "the value it installs has no full name")
        self.check_name(name)
        if _resolve(name) is not value:
            raise _refuse(name, f"the value installed as {key!r} is not the object of that name")


def _below(name: str, entry: str) -> bool:
    return name == entry or (name.startswith(entry) and name[len(entry)] == ".")


def _own_name(obj: Any) -> str | None:
    """The module and qualified name that ``obj`` gives itself, or None."""
    module = getattr(obj, "__module__", None)
    qualname = getattr(obj, "__qualname__", None)
    if qualname is None:
        qualname = getattr(obj, "__name__", None)
    if type(module) is not str or type(qualname) is not str:
        return None
    return f"{module}.{qualname}"


def _bears(obj: Any, name: str) -> bool:
    if isinstance(obj, types.ModuleType):
        return sys.modules.get(name) is obj
    return _own_name(obj) == name


_MISSING = object()


def _resolve(name: str) -> Any:
    """loadclass's search (the longest module first), through objects that bear their names.

    None when no split finds the name, as loadclass gives.
    """
    parts = name.split(".")
    for up_to in range(len(parts) - 1, 0, -1):
        module_name = ".".join(parts[:up_to])
        try:
            module = importlib.import_module(module_name)
        except (ImportError, ValueError):
            continue
        found = _walk(module, module_name, parts[up_to:])
        if found is not _MISSING:
            return found
    return type(None) if name == "builtins.NoneType" else None


def _walk(obj: Any, path: str, rest: list[str]) -> Any:
    name = ".".join([path, *rest])
    for part in rest:
        if not (isinstance(obj, (types.ModuleType, type)) and _bears(obj, path)):
            raise _refuse(name, f"it leads through {path}, an alias")
        try:
            obj = getattr(obj, part)
        except AttributeError:
            return _MISSING
        path = f"{path}.{part}"
    if not _bears(obj, path):
        theirs = _own_name(obj)
        why = "an alias" if theirs is None else f"an alias of {theirs}"
        raise _refuse(path, f"it is {why}")
    return obj


def current() -> Allowlist | None:
    """The allowlist in effect in this context, or None."""
    found: Allowlist | None = ALLOWLIST.get(None)
    return found


@contextlib.contextmanager
def allowed(names: Iterable[str]) -> Iterator[Allowlist]:
    """Admit only ``names`` (and the package's own) while loading inside the block.

    ``names`` is an iterable of dotted names (or a single one): each admits
    itself and every name below it.  Nested blocks narrow: a name must be
    admitted by every block in effect.  The allowlist is a context variable:
    threads started meanwhile and asyncio tasks see it as they see any.
    """
    allowlist = Allowlist(_parse_entries(names), current())
    token = ALLOWLIST.set(allowlist)
    try:
        yield allowlist
    finally:
        ALLOWLIST.reset(token)


@contextlib.contextmanager
def _allowed_if(names: Iterable[str] | None) -> Iterator[None]:
    if names is None:
        yield
    else:
        with allowed(names):
            yield


class _Unpickler(pickle.Unpickler):
    """Resolves each global through the allowlist in effect."""

    def __init__(self, file: Any, protocol: int) -> None:
        super().__init__(file)
        self._protocol = protocol

    def find_class(self, module: str, name: str) -> Any:
        allowlist = current()
        if allowlist is None:
            return super().find_class(module, name)
        module, name = self._unrenamed(module, name)
        sys.audit("pickle.find_class", module, name)
        full_name = f"{module}.{name}"
        allowlist.check_name(full_name)
        try:
            # Before protocol 4 a dotted name is one attribute, as the standard reads it.
            parts = name.split(".") if self._protocol >= 4 else [name]
            found = _walk(importlib.import_module(module), module, parts)
        except ImportError:
            found = _MISSING
        if found is _MISSING:
            raise AttributeError(f"Can't get attribute {name!r} on module {module!r}")
        return allowlist.loadclass if found is jsonpickle.unpickler.loadclass else found

    def _unrenamed(self, module: str, name: str) -> tuple[str, str]:
        # What the standard find_class does for a pickle of protocol 0 to 2
        # written with Python 2's names.
        if self._protocol >= 3:
            return module, name
        if (module, name) in _compat_pickle.NAME_MAPPING:
            return _compat_pickle.NAME_MAPPING[(module, name)]
        return _compat_pickle.IMPORT_MAPPING.get(module, module), name


def _protocol(data: bytes) -> int:
    # The standard unpickler learns it from the PROTO opcode, which a pickle
    # of protocol 2 or later begins with.
    head = bytes(memoryview(data)[:2])
    return head[1] if len(head) == 2 and head[0] == pickle.PROTO[0] else 0


def load_pickle(data: bytes, allow: Iterable[str] | None = None) -> Any:
    """``pickle.loads(data)``, with every global checked against the allowlist in effect.

    ``allow``, when given, is an allowlist in effect for this load (inside any
    that is in effect already).  With none in effect this is ``pickle.loads``.
    """
    with _allowed_if(allow):
        if current() is None:
            return pickle.loads(data)
        return _Unpickler(io.BytesIO(data), _protocol(data)).load()


class JsonUnpickler(jsonpickle.unpickler.Unpickler):  # type: ignore[misc]
    """A jsonpickle ``Unpickler`` that loads under the allowlist in effect.

    Use it as ``jsonpickle.decode(text, context=JsonUnpickler())``.  With no
    allowlist in effect it is jsonpickle's own.  Under one, every class,
    function and module that the text names is checked and resolved by the
    allowlist before jsonpickle sees it, and ``py/repr`` with ``safe=False``
    (which evaluates code) is refused.
    """

    def _admit(self, name: Any) -> None:
        allowlist = current()
        if allowlist is None or (type(name) is str and name in self._classes):
            return
        found = allowlist.loadclass(name)
        if found is not None:
            # loadclass finds the caller's classes first.
            self._classes[name] = found

    def _restore_object(self, obj: dict[str, Any]) -> Any:
        self._admit(obj[jsonpickle.tags.OBJECT])
        return super()._restore_object(obj)

    def _restore_type(self, obj: dict[str, Any]) -> Any:
        self._admit(obj[jsonpickle.tags.TYPE])
        return super()._restore_type(obj)

    def _restore_function(self, obj: dict[str, Any]) -> Any:
        self._admit(obj[jsonpickle.tags.FUNCTION])
        return super()._restore_function(obj)

    def _restore_module(self, obj: dict[str, Any]) -> Any:
        found = self._admitted_module_path(obj[jsonpickle.tags.MODULE])
        return super()._restore_module(obj) if found is _MISSING else self._mkref(found)

    def _restore_repr_safe(self, obj: dict[str, Any]) -> Any:
        found = self._admitted_module_path(obj[jsonpickle.tags.REPR])
        return super()._restore_repr_safe(obj) if found is _MISSING else self._mkref(found)

    def _restore_repr(self, obj: dict[str, Any]) -> Any:
        if current() is not None:
            raise pickle.UnpicklingError("refused to evaluate a py/repr (safe=False)")
        return super()._restore_repr(obj)

    def _admitted_module_path(self, text: Any) -> Any:
        # "module/identifier": jsonpickle imports the module and walks the
        # identifier from its top-level package.
        allowlist = current()
        if allowlist is None:
            return _MISSING
        module, _, identifier = str(text).partition("/")
        allowlist.check_name(identifier)
        if not _below(identifier, module):
            raise _refuse(identifier, f"it does not lie in the module {module!r}")
        return allowlist.loadclass(identifier) if identifier != module else _module(module)


def _module(name: str) -> Any:
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


def load_json(
    text: str,
    allow: Iterable[str] | None = None,
    *,
    backend: Any = None,
    reset: bool = True,
    classes: Any = None,
    **options: Any,
) -> Any:
    """``jsonpickle.decode(text, ...)`` under the allowlist in effect (and ``allow``).

    ``options`` are those of jsonpickle's ``Unpickler`` (``keys``, ``safe``,
    ``on_missing``, ...), which decodes through a :class:`JsonUnpickler`.
    """
    with _allowed_if(allow):
        context = JsonUnpickler(backend=backend, **options)
        return jsonpickle.decode(
            text, backend=backend, context=context, reset=reset, classes=classes
        )
