"""Pure-Python model of ``dravolt_common.callable_naming``.

``get_function_module`` and ``get_function_full_name`` here follow the same
steps as the native functions, in the same order, so that the differential
tests can compare the two on any object.  The constants are read from
``NAMESPACE`` at each use, then from the builtins, like the native module's
globals; a test may point ``NAMESPACE`` at the native module's ``__dict__``.

The safe lookup and the generic read go through ``generic_getattr``, a model
of the interpreter's generic attribute algorithm that no ``__getattribute__``
or ``__getattr__`` of the object's class can intercept.
"""

import builtins
import ctypes
import types

_MISSING = object()
_TYPE_DICT = type.__dict__["__dict__"]
_TYPE_MRO = type.__dict__["__mro__"]
_DICT_DESCRIPTOR_TYPES = (types.GetSetDescriptorType, types.MemberDescriptorType)
# tp_name follows the reference count, the type pointer and ob_size.
_TP_NAME = ctypes.c_char_p
_TP_NAME_OFFSET = 3 * ctypes.sizeof(ctypes.c_ssize_t)

NAMESPACE = {
    "types": types,
    "WRAPPER_DESCRIPTOR": type(type.__init__),
    "QUALNAME_STR": "__qualname__",
    "FUNC_STR": "__func__",
    "FUNC_NAME": "__name__",
    "SELF_CONST": "__self__",
    "METHOD_DESCRIPTOR": type(type.__dict__["mro"]),
    "MODULE_STR": "__module__",
    "CLASS_STR": "__class__",
    "INIT_STR": "__init__",
    "BUILTINS": "builtins",
    "OBJ_CLASS": "__objclass__",
}


def _global(name):
    namespace = NAMESPACE
    if name in namespace:
        return namespace[name]
    if hasattr(builtins, name):
        return getattr(builtins, name)
    raise NameError(f"name '{name}' is not defined")


def type_name(tp):
    """The type's C-level name (``tp_name``), the one error messages show:
    "functools.partial" for a type of an extension module, "C" for a class."""
    return _TP_NAME.from_address(id(tp) + _TP_NAME_OFFSET).value.decode()[:200]


# ------------------------------------------------------------------ generic lookup


def _type_lookup(tp, name):
    """The first entry ``name`` in the dictionaries along the MRO of ``tp``."""
    for base in _TYPE_MRO.__get__(tp):
        entry = _TYPE_DICT.__get__(base).get(name, _MISSING)
        if entry is not _MISSING:
            return entry
    return _MISSING


def _instance_dict(obj):
    """The object's own dictionary: a class's namespace, or the dictionary
    that the ``__dict__`` slot of its type gives; None without one."""
    if issubclass(type(obj), type):
        return _TYPE_DICT.__get__(obj)
    tp = type(obj)
    for base in _TYPE_MRO.__get__(tp):
        entry = _TYPE_DICT.__get__(base).get("__dict__", _MISSING)
        if type(entry) in _DICT_DESCRIPTOR_TYPES:
            try:
                return entry.__get__(obj, tp)
            except (AttributeError, TypeError):
                return None
    return None


def generic_getattr(obj, name):
    """``PyObject_GenericGetAttr``: data descriptors along the MRO of the
    object's type, then its own dictionary, then the other attributes.  Types
    are tested with type(), never isinstance(), which a __class__ attribute
    could mislead."""
    if not issubclass(type(name), str):
        raise TypeError(f"attribute name must be string, not '{type_name(type(name))}'")
    tp = type(obj)
    descr = _type_lookup(tp, name)
    getter = _MISSING
    if descr is not _MISSING:
        descr_type = type(descr)
        getter = _type_lookup(descr_type, "__get__")
        is_data = (
            _type_lookup(descr_type, "__set__") is not _MISSING
            or _type_lookup(descr_type, "__delete__") is not _MISSING
        )
        if getter is not _MISSING and is_data:
            return getter(descr, obj, tp)
    own = _instance_dict(obj)
    if own is not None:
        value = own.get(name, _MISSING)
        if value is not _MISSING:
            return value
    if getter is not _MISSING:
        return getter(descr, obj, tp)
    if descr is not _MISSING:
        return descr
    raise AttributeError(f"'{type_name(tp)[:50]}' object has no attribute '{name}'")


def get_attr_safe(obj, attr):
    try:
        return generic_getattr(obj, attr)
    except AttributeError:
        return None


def _returnable(value):
    if type(value) is not str and value is not None:
        raise TypeError(f"Expected str, got {type_name(type(value))}")
    return value


# ------------------------------------------------------------------ the functions


def get_function_module(function_obj, is_method):
    module = ""
    module_tmp = get_attr_safe(function_obj, _global("MODULE_STR"))
    if module_tmp:
        module = module_tmp
    if module:
        return _returnable(module)

    method_descriptor = _global("METHOD_DESCRIPTOR")
    wrapper_descriptor = _global("WRAPPER_DESCRIPTOR")
    member_descriptor = _global("types").MemberDescriptorType
    getset_descriptor = _global("types").GetSetDescriptorType
    if (
        isinstance(function_obj, method_descriptor)
        or isinstance(function_obj, wrapper_descriptor)
        or isinstance(function_obj, member_descriptor)
        or isinstance(function_obj, getset_descriptor)
    ):
        module = function_obj.__objclass__.__class__.__module__
        if module == _global("BUILTINS"):
            module = function_obj.__objclass__.__module__
    elif is_method:
        module = function_obj.__self__.__class__.__module__
        if module == _global("BUILTINS"):
            module = function_obj.__self__.__module__
    elif get_attr_safe(function_obj, _global("CLASS_STR")):
        if get_attr_safe(function_obj.__class__, _global("MODULE_STR")):
            module = function_obj.__class__.__module__
        if module == _global("BUILTINS") and get_attr_safe(function_obj, _global("OBJ_CLASS")):
            module = function_obj.__objclass__.__module__
    return _returnable(module)


def get_function_full_name(module_name, function_obj):
    if type(module_name) is not str and module_name is not None:
        raise TypeError(
            "Argument 'module_name' has incorrect type "
            f"(expected str, got {type_name(type(module_name))})"
        )
    # The object's real type: isinstance() would also believe a __class__ attribute.
    if issubclass(type(function_obj), type):
        function_obj = function_obj.__init__
    function_name = ""
    full_name = ""
    try:
        is_method = get_attr_safe(function_obj, _global("SELF_CONST"))
        if is_method:
            self_attr = generic_getattr(function_obj, _global("SELF_CONST"))
            if get_attr_safe(function_obj, _global("FUNC_STR")):
                function_obj = generic_getattr(function_obj, _global("FUNC_STR"))
            if get_attr_safe(function_obj, _global("FUNC_NAME")):
                function_name = generic_getattr(function_obj, _global("FUNC_NAME"))
            if get_attr_safe(function_obj, _global("QUALNAME_STR")):
                qualname_tmp = generic_getattr(function_obj, _global("QUALNAME_STR"))
                if qualname_tmp:
                    full_name = f"{module_name}.{qualname_tmp}"
                    return full_name
            if module_name:
                full_name = f"{module_name}.{self_attr.__class__.__name__}.{function_name}"
            else:
                full_name = f"{self_attr.__class__.__name__}.{function_name}"
        else:
            if get_attr_safe(function_obj, _global("FUNC_NAME")):
                function_name = generic_getattr(function_obj, _global("FUNC_NAME"))
            if get_attr_safe(function_obj, _global("QUALNAME_STR")):
                qualname_tmp = generic_getattr(function_obj, _global("QUALNAME_STR"))
                if qualname_tmp:
                    full_name = f"{module_name}.{qualname_tmp}"
                    return full_name
            else:
                qualname = function_name
            if module_name:
                if not qualname and get_attr_safe(function_obj, "__class__"):
                    qualname = function_obj.__class__.__name__
                full_name = f"{module_name}.{qualname}"
            else:
                full_name = qualname
    except Exception:
        pass
    return _returnable(full_name)
