"""Pure-Python model of the native ``dravolt_common.utils.payload_wrapper``.

The functions and methods take the native ones' steps in the same order, with
the same local names, guarded blocks and imports (relative to the package
first, absolute after an ImportError, also inside the functions), so that the
benchmarks can weigh the native code against plain Python and against this
file compiled with Cython.  Module globals are read at each use, then from the
builtins, as Python does anyway.  The names that start with an underscore stand
for what the native module keeps outside its namespace.
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


def _has_attribute(obj, name):
    # A presence test: any exception of the read counts as absence.
    try:
        getattr(obj, name)
    except BaseException:
        return False
    return True


def _state_without_arguments(self):
    # A new dict: the instance keeps its funcs and cls.
    state = {}
    state.update(self.__dict__)
    state.pop("funcs", None)
    state.pop("cls", None)
    return state


copy = _import_module("copy")
Any = _import_from("typing", "Any")
AnyStr = _import_from("typing", "AnyStr")
special_unpicklers = _import_from("dravolt_common.utils", "special_unpicklers")
JSONPICKLE_EXTERNAL_TYPE_KEY = "py/dravolt/external/type"
FUNCS_INDEX = 1
CLS_INDEX = 0


# The functions of one parameter refuse keywords, as the native ones do.
def get_attribute_full_name(cls: Any, /) -> AnyStr:
    mod = cls.__module__
    if _has_attribute(cls, "__qualname__"):
        return f"{mod}.{cls.__qualname__}"
    return f"{mod}.{cls.__name__}"


def import_by_full_name(full_name, /):
    loadclass = _import_from("jsonpickle.unpickler", "loadclass")
    importlib = _import_module("importlib")
    try:
        return importlib.import_module(full_name)
    except Exception:
        return loadclass(full_name)


class SpecialWrapper:
    def __new__(cls, *args, **kwargs):
        loadclass = _import_from("jsonpickle.unpickler", "loadclass")
        full_name = args[0]
        function_to_run = loadclass(full_name)
        return function_to_run(*args[1:], **kwargs)


class ModuleWrapper:
    def __new__(cls, *args):
        module_full_name = args[0]
        return import_by_full_name(module_full_name)

    def __init__(self, module_full_name) -> None:
        self.module_full_name = str(module_full_name)

    def __call__(self, *args: Any, **kwds: Any) -> Any:
        return ModuleWrapper(*args)


class ExceptionWrapper:
    def __new__(cls, *args):
        exception_full_name = args[0]
        exception_args = args[1]
        exception_dunder_dict = args[2]
        exception_object = import_by_full_name(exception_full_name)
        unpickle_function = special_unpicklers.get_special_unpickle_function(exception_full_name)
        return unpickle_function(exception_object, exception_args, exception_dunder_dict)

    def __init__(self, *args):
        self.args = args

    def __call__(self, *args: Any, **kwds: Any) -> Any:
        return ExceptionWrapper(*args)


class FunctionWrapper:
    def __init__(self, fullname) -> None:
        self.fullname = str(fullname)

    def __call__(self, *args: Any, **kwds: Any) -> Any:
        return FunctionWrapper(*args)

    def __reduce__(self, /):
        loadclass = _import_from("jsonpickle.unpickler", "loadclass")
        return loadclass, (self.fullname,)


class PayloadWrapperBase:
    def __new__(cls, *args):
        new_cls = copy.copy(cls)
        new_obj = object.__new__(new_cls)
        new_obj.funcs = {}
        new_obj.cls = ""
        try:
            try:
                for func in args[FUNCS_INDEX]:
                    setattr(new_cls, func, args[FUNCS_INDEX][func])
            except Exception:
                pass
            new_obj.__dict__ = args[FUNCS_INDEX]
        except Exception:
            # The fallback instance keeps the wrapped class when there is one,
            # so that a wrapper made without funcs reduces to arguments that load.
            try:
                new_obj.cls = args[CLS_INDEX]
            except Exception:
                pass
            return new_obj
        try:
            new_obj = object.__new__(new_cls)
            new_obj.funcs = args[FUNCS_INDEX]
            new_obj.cls = args[CLS_INDEX]
        except Exception:
            pass
        return new_obj


class PayloadWrapper(PayloadWrapperBase):
    def __new__(cls, *args):
        return super().__new__(cls, *args)

    def __init__(self, cls: Any, *_args):
        """
        This object wraps extranl types.
        """
        self.__setattr__(JSONPICKLE_EXTERNAL_TYPE_KEY, get_attribute_full_name(cls))

    def __reduce__(self, /):
        # Both presence tests come before the reads; until then funcs and cls
        # hold their outcomes.  The instance stays as it is: a missing funcs or
        # cls is stood in for in the arguments, not written onto the instance.
        funcs = _has_attribute(self, "funcs")
        cls = _has_attribute(self, "cls")
        funcs = self.funcs if funcs else {}
        cls = self.cls if cls else ""
        return PayloadWrapper, (cls, funcs), _state_without_arguments(self)


class UnpicklableObject(PayloadWrapperBase):
    def __new__(cls, *args):
        return super().__new__(cls, *args)

    def __reduce__(self, /):
        return UnpicklableObject, (str(self.cls), self.funcs), self.__dict__
