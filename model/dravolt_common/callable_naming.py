"""Pure-Python model of the native ``dravolt_common.callable_naming``.

The functions take the native ones' steps in the same order, with the same
local names, so that the differential tests can compare the two on any object
and the benchmarks can weigh the native code against plain Python (and against
this file compiled with Cython).  Module globals are read at each use, then
from the builtins, as Python does anyway.  The names that start with an
underscore stand for what the native module keeps outside its namespace.

The module also works when it is loaded under another name, outside the
package: its package-relative imports then fail with ImportError and the
absolute ones are taken.
"""

_MISSING = object()


def _import_module(name):
    # The level-1 import first: a module of that name in the package takes
    # the place of a standard one.
    try:
        return __import__(name, globals(), None, None, 1)
    except ImportError:
        return __import__(name, globals(), None, None, 0)


def _import_from(module_name, name):
    try:
        module = __import__(module_name, globals(), None, (name,), 1)
    except ImportError:
        module = __import__(module_name, globals(), None, (name,), 0)
    # Only a missing attribute becomes the ImportError; the import above is
    # not tried again.
    value = getattr(module, name, _MISSING)
    if value is _MISSING:
        raise ImportError(f"cannot import name {name}")
    return value


def _type_name(tp):
    """The type's C-level name (``tp_name``), the one the native messages show:
    "functools.partial" for a type of an extension module, "C" for a class."""
    import ctypes

    # tp_name follows the reference count, the type pointer and ob_size.
    offset = 3 * ctypes.sizeof(ctypes.c_ssize_t)
    return ctypes.c_char_p.from_address(id(tp) + offset).value.decode()[:200]


# The interpreter's generic attribute algorithm itself (PyObject_GenericGetAttr):
# no __getattribute__ or __getattr__ of the object's class takes part.
_generic_getattr = object.__getattribute__


def _get_attr_safe(obj, attr):
    try:
        return _generic_getattr(obj, attr)
    except AttributeError:
        return None


def _returnable(value):
    if type(value) is not str and value is not None:
        raise TypeError(f"Expected str, got {_type_name(type(value))}")
    return value


Callable = _import_from("typing", "Callable")
types = _import_module("types")
WRAPPER_DESCRIPTOR = type(type.__init__)
QUALNAME_STR = "__qualname__"
FUNC_STR = "__func__"
FUNC_NAME = "__name__"
SELF_CONST = "__self__"
METHOD_DESCRIPTOR = type(type.__dict__["mro"])
MODULE_STR = "__module__"
CLASS_STR = "__class__"
INIT_STR = "__init__"
BUILTINS = "builtins"
OBJ_CLASS = "__objclass__"


def get_function_module(function_obj, is_method):
    module = ""
    module_tmp = _get_attr_safe(function_obj, MODULE_STR)
    if module_tmp:
        module = module_tmp
    if module:
        return _returnable(module)

    # All four types are fetched before the first test.
    method_descriptor = METHOD_DESCRIPTOR
    wrapper_descriptor = WRAPPER_DESCRIPTOR
    member_descriptor = types.MemberDescriptorType
    getset_descriptor = types.GetSetDescriptorType
    if (
        isinstance(function_obj, method_descriptor)
        or isinstance(function_obj, wrapper_descriptor)
        or isinstance(function_obj, member_descriptor)
        or isinstance(function_obj, getset_descriptor)
    ):
        module = function_obj.__objclass__.__class__.__module__
        if module == BUILTINS:
            module = function_obj.__objclass__.__module__
    elif is_method:
        module = function_obj.__self__.__class__.__module__
        if module == BUILTINS:
            module = function_obj.__self__.__module__
    elif _get_attr_safe(function_obj, CLASS_STR):
        if _get_attr_safe(function_obj.__class__, MODULE_STR):
            module = function_obj.__class__.__module__
        if module == BUILTINS and _get_attr_safe(function_obj, OBJ_CLASS):
            module = function_obj.__objclass__.__module__
    return _returnable(module)


def get_function_full_name(module_name, function_obj):
    if type(module_name) is not str and module_name is not None:
        raise TypeError(
            "Argument 'module_name' has incorrect type "
            f"(expected str, got {_type_name(type(module_name))})"
        )
    # The object's real type: isinstance() would also believe a __class__ attribute.
    if issubclass(type(function_obj), type):
        function_obj = function_obj.__init__
    function_name = ""
    full_name = ""
    try:
        is_method = _get_attr_safe(function_obj, SELF_CONST)
        if is_method:
            self_attr = _generic_getattr(function_obj, SELF_CONST)
            if _get_attr_safe(function_obj, FUNC_STR):
                function_obj = _generic_getattr(function_obj, FUNC_STR)
            if _get_attr_safe(function_obj, FUNC_NAME):
                function_name = _generic_getattr(function_obj, FUNC_NAME)
            if _get_attr_safe(function_obj, QUALNAME_STR):
                qualname_tmp = _generic_getattr(function_obj, QUALNAME_STR)
                if qualname_tmp:
                    full_name = f"{module_name}.{qualname_tmp}"
                    return full_name
            if module_name:
                full_name = f"{module_name}.{self_attr.__class__.__name__}.{function_name}"
            else:
                full_name = f"{self_attr.__class__.__name__}.{function_name}"
        else:
            if _get_attr_safe(function_obj, FUNC_NAME):
                function_name = _generic_getattr(function_obj, FUNC_NAME)
            if _get_attr_safe(function_obj, QUALNAME_STR):
                qualname_tmp = _generic_getattr(function_obj, QUALNAME_STR)
                if qualname_tmp:
                    full_name = f"{module_name}.{qualname_tmp}"
                    return full_name
            else:
                qualname = function_name
            # A falsy __qualname__ leaves qualname unbound: UnboundLocalError,
            # which the guard discards, as it does in the native function.
            if module_name:
                if not qualname and _get_attr_safe(function_obj, "__class__"):
                    qualname = function_obj.__class__.__name__
                full_name = f"{module_name}.{qualname}"
            else:
                full_name = qualname
    except Exception:
        pass
    return _returnable(full_name)


get_function_module.__doc__ = (
    "\n"
    "        This functiom extracts module name from function_object\n"
    "        :param function_obj: callable to extract module from.\n"
    "        :type function_obj: Callable.\n"
    "        :param is_method: Is the callable a function\n"
    "        :type is_method: bool\n"
    "        :return The function module.\n"
    "        :rtype str.\n"
    "        "
)
get_function_full_name.__doc__ = (
    "\n"
    "        This function extracts module name from function_object\n"
    "        :param function_obj: callable to extract module from.\n"
    "        :type function_obj: Callable.\n"
    "        :param module_name: Is the callable a function\n"
    "        :type module_name: bool.\n"
    "        :return The function name.\n"
    "        :rtype str.\n"
    "        "
)
