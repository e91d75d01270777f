import types as types
from typing import Any
from typing import Callable as Callable  # noqa: UP035  (the module binds typing.Callable)

WRAPPER_DESCRIPTOR: type
QUALNAME_STR: str
FUNC_STR: str
FUNC_NAME: str
SELF_CONST: str
METHOD_DESCRIPTOR: type
MODULE_STR: str
CLASS_STR: str
INIT_STR: str
BUILTINS: str
OBJ_CLASS: str

def get_function_module(function_obj: Any, is_method: Any) -> str | None: ...
def get_function_full_name(module_name: str | None, function_obj: Any) -> str | None: ...
