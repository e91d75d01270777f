"""The pure-Python model of ``dravolt_common.callable_naming``, for the tests.

The one copy of the model is ``model/dravolt_common/callable_naming.py``, which
the benchmarks also run (as the package ``dravolt_common``, and compiled with
Cython).  Here it is loaded from its file under another module name, next to
the native package; its package-relative imports then fail with ImportError and
it takes the absolute ones.  ``NAMESPACE`` is the model's module namespace,
where its functions look their globals up.
"""

import importlib.util
from pathlib import Path

PATH = Path(__file__).resolve().parent.parent / "model" / "dravolt_common" / "callable_naming.py"


def _load():
    spec = importlib.util.spec_from_file_location("dravolt_common_model_callable_naming", PATH)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


_model = _load()
get_function_module = _model.get_function_module
get_function_full_name = _model.get_function_full_name
NAMESPACE = vars(_model)
