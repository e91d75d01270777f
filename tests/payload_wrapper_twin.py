"""Pure-Python twin of the declared interface of ``payload_wrapper``.

Same names, class layout, parameters, local names, annotations and docstring
as the native module, with empty bodies.  Tests compare the introspection of
the native objects with that of these twins.  The local names are bound in
the order in which the native functions declare them.
"""

from typing import Any, AnyStr


def get_attribute_full_name(cls: Any) -> AnyStr:
    mod = None


def import_by_full_name(full_name):
    loadclass = importlib = None


class SpecialWrapper:
    def __new__(cls, *args, **kwargs):
        loadclass = full_name = function_to_run = None


class ModuleWrapper:
    def __new__(cls, *args):
        module_full_name = None

    def __init__(self, module_full_name) -> None:
        pass

    def __call__(self, *args: Any, **kwds: Any) -> Any:
        pass


class ExceptionWrapper:
    def __new__(cls, *args):
        exception_full_name = exception_args = exception_dunder_dict = None
        exception_object = unpickle_function = None

    def __init__(self, *args):
        pass

    def __call__(self, *args: Any, **kwds: Any) -> Any:
        pass


class FunctionWrapper:
    def __init__(self, fullname) -> None:
        pass

    def __call__(self, *args: Any, **kwds: Any) -> Any:
        pass

    def __reduce__(self):
        loadclass = None


class PayloadWrapperBase:
    def __new__(cls, *args):
        new_cls = new_obj = func = None


class PayloadWrapper(PayloadWrapperBase):
    def __new__(cls, *args):
        pass

    def __init__(self, cls: Any, *_args):
        """
        This object wraps extranl types.
        """

    def __reduce__(self):
        funcs = cls = None


class UnpicklableObject(PayloadWrapperBase):
    def __new__(cls, *args):
        pass

    def __reduce__(self):
        pass


CLASSES = [
    SpecialWrapper,
    ModuleWrapper,
    ExceptionWrapper,
    FunctionWrapper,
    PayloadWrapperBase,
    PayloadWrapper,
    UnpicklableObject,
]

FUNCTIONS = [get_attribute_full_name, import_by_full_name]

# Qualified names of every function and method, in order of definition.
QUALNAMES = [f.__qualname__ for f in FUNCTIONS] + [
    f"{cls.__name__}.{name}"
    for cls in CLASSES
    for name, value in vars(cls).items()
    if callable(value) or isinstance(value, staticmethod)
]

# These take exactly one positional argument and refuse keywords.
SINGLE_ARGUMENT = {
    "get_attribute_full_name",
    "import_by_full_name",
    "FunctionWrapper.__reduce__",
    "PayloadWrapper.__reduce__",
    "UnpicklableObject.__reduce__",
}


# What a class statement adds on newer interpreters beyond what the body
# defines (its first line, the attributes its methods assign).
CLASS_STATEMENT_EXTRAS = {"__firstlineno__", "__static_attributes__"}


def class_namespace(cls):
    """The keys of a twin's class namespace, as the body of its class statement defines them."""
    return [key for key in vars(cls) if key not in CLASS_STATEMENT_EXTRAS]


def lookup(namespace, qualname):
    """The object at dotted ``qualname`` in ``namespace`` (a module)."""
    obj = namespace
    for part in qualname.split("."):
        obj = getattr(obj, part)
    return obj
