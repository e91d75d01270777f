"""Undoing what constructing wrappers leaves on their classes.

Constructing ``PayloadWrapper`` or ``UnpicklableObject`` installs the entries of
``funcs`` on the class for the rest of the process.  Test modules import
``restore_wrapper_classes`` (an autouse fixture) so that what one test
installs is gone before the next one runs.
"""

import pytest

import dravolt_common.utils.payload_wrapper as pw

_CLASSES = ("PayloadWrapperBase", "PayloadWrapper", "UnpicklableObject")


@pytest.fixture(autouse=True)
def restore_wrapper_classes():
    classes = [getattr(pw, name) for name in _CLASSES]
    before = {cls: dict(vars(cls)) for cls in classes}
    yield
    for cls in classes:
        for name in [name for name in vars(cls) if name not in before[cls]]:
            delattr(cls, name)
        for name, value in before[cls].items():
            if vars(cls).get(name) is not value:
                setattr(cls, name, value)
