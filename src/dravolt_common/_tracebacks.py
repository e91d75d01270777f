"""Tracebacks as data, and real tracebacks again from that data.

What travels of a traceback is, for each entry from the outermost frame in,
the five values a traceback entry is shown with: the file name, the line
number, the function's name and qualified name (None before 3.11, whose code
objects have none) and the line its code starts on.  Nothing of the frame's
locals or globals travels.

The loading side makes one code object per distinct entry, by replacing those
values in the code of a stub generator function, and takes the frame of an
unstarted generator of it: that frame has no caller (``f_back`` is None), so
the rebuilt traceback keeps no frame of the loading code alive.  Each entry
becomes ``types.TracebackType(next, frame, -1, lineno)``; an instruction
offset of -1 tells the ``traceback`` module that no column is known, so it
shows the recorded line and no carets.  On 3.10 and 3.11 a tracer or profiler
sees each stub called once, when its generator is dropped: those versions
close an unstarted generator by running it.
"""

from __future__ import annotations

import re
import sys
import types
from typing import Any

#: One traceback entry: file name, line number, name, qualified name, first line.
Entry = tuple[str, int | None, str, str | None, int | None]

_HEADER = "Traceback (most recent call last):\n"
_FILE_LINE = re.compile(r'  File "(.*)", line (\d+|None), in (.*)')
_REPEATED = re.compile(r"  \[Previous line repeated (\d+) more times?\]")
_C_INT_MAX = 2**31 - 1


def entries(tb: types.TracebackType | None) -> tuple[Entry, ...]:
    """The entries of ``tb``, outermost first, as plain data."""
    found = []
    while tb is not None:
        code = tb.tb_frame.f_code
        entry = (code.co_filename, tb.tb_lineno, code.co_name, _qualname(code), code.co_firstlineno)
        found.append(entry)
        tb = tb.tb_next
    return tuple(found)


def entries_from_text(text: str) -> tuple[Entry, ...] | None:
    """The entries of one traceback that the ``traceback`` module formatted.

    ``text`` starts with the header line and holds nothing but entries (a
    worker pool formatted it and then dropped the traceback).  Returns None
    when a line is not one the module writes for an entry.
    """
    if not text.startswith(_HEADER):
        return None
    found: list[Entry] = []
    for line in text[len(_HEADER) :].splitlines():
        if line.startswith("    "):
            continue  # the source line, or the carets under it
        entry = _FILE_LINE.fullmatch(line)
        repeated = _REPEATED.fullmatch(line)
        if entry is not None:
            filename, lineno, name = entry.groups()
            found.append((filename, None if lineno == "None" else int(lineno), name, None, None))
        elif repeated is not None and found:
            found.extend([found[-1]] * int(repeated.group(1)))
        else:
            return None
    return tuple(found)


def rebuild(recorded: Any) -> types.TracebackType | None:
    """A traceback whose entries are ``recorded`` (a sequence of :data:`Entry`).

    Raises TypeError when ``recorded`` is not such a sequence.
    """
    if not isinstance(recorded, (tuple, list)):
        raise TypeError(f"a traceback travels as a sequence of entries, not {_kind(recorded)}")
    frame_globals: dict[str, Any] = {}
    tb = None
    # From the innermost entry out, each checked before anything is made of it.
    for entry in reversed(recorded):
        if not (isinstance(entry, (tuple, list)) and len(entry) == 5):
            raise TypeError(f"a traceback entry is a sequence of five values, not {_kind(entry)}")
        filename, lineno, name, qualname, firstlineno = entry
        if not (isinstance(filename, str) and isinstance(name, str)):
            raise TypeError("the file name and the name of a traceback entry are str")
        if qualname is None:
            qualname = name
        if firstlineno is None:
            firstlineno = lineno if lineno is not None and lineno >= 1 else 1
        if not (
            isinstance(qualname, str)
            and (
                lineno is None or (type(lineno) is int and -_C_INT_MAX - 1 <= lineno <= _C_INT_MAX)
            )
            and type(firstlineno) is int
            # Code compiled without positions starts at line 0.
            and 0 <= firstlineno <= _C_INT_MAX
        ):
            raise TypeError(
                f"a traceback entry holds a str qualified name and line numbers: {entry!r}"
            )
        key = (filename, name, qualname, firstlineno)
        code = _CODES.get(key)
        if code is None:
            code = _code(key)
        frame = _FUNCTION(code, frame_globals)().gi_frame
        tb = _TRACEBACK(tb, frame, -1, -1 if lineno is None else lineno)
    return tb


_FUNCTION = types.FunctionType
_TRACEBACK = types.TracebackType


def _kind(value: Any) -> str:
    return type(value).__qualname__


if sys.version_info >= (3, 11):

    def _qualname(code: types.CodeType) -> str | None:
        return code.co_qualname

    def _named(
        code: types.CodeType, filename: str, name: str, qualname: str, firstlineno: int
    ) -> types.CodeType:
        return code.replace(
            co_filename=filename, co_name=name, co_qualname=qualname, co_firstlineno=firstlineno
        )

else:

    def _qualname(code: types.CodeType) -> str | None:
        return None

    def _named(
        code: types.CodeType, filename: str, name: str, qualname: str, firstlineno: int
    ) -> types.CodeType:
        return code.replace(co_filename=filename, co_name=name, co_firstlineno=firstlineno)


def _stub() -> Any:
    yield


# Code objects of the entries, by every value that _code replaces in the stub.
# The key holds all of them and code objects never change, so an entry is
# never stale; the table is emptied when it is full, which costs a rebuild.
# Test: tests/test_payload_tracebacks.py makes entries that differ in one value
# each.
_CODES: dict[tuple[str, str, str, int], types.CodeType] = {}
_CODES_KEPT = 1024


def _code(key: tuple[str, str, str, int]) -> types.CodeType:
    if len(_CODES) >= _CODES_KEPT:
        _CODES.clear()
    code = _CODES[key] = _named(_stub.__code__, *key)
    return code
