#pragma once

#include <Python.h>

namespace frame {

// The package-relative imports that found no module. The import system keeps
// no record of what it did not find, so every relative attempt would search
// the package's directory again; a miss is remembered with everything the
// search depended on, and the next attempt with all of that unchanged is
// answered without the search. What is watched, and what is asked at every
// attempt instead, is listed at the top of relative_misses.cpp.

// Whether the relative import of `name` from `globals` would fail again as
// it did last time: 1, 0 when it must be tried, or -1 with the exception that
// the import raises instead: what a finder of the program's, asked again,
// raised, or an error that is not ordinary (a KeyboardInterrupt, a
// SystemExit) from the comparisons.
int known_missing(PyObject* globals, PyObject* name) noexcept;

// Called with the ImportError of a failed relative import of `name` pending:
// remembers the miss when the import system searched for the module and found
// none. 0 with the ImportError still pending; -1 with the exception, not an
// ordinary error, that code read while remembering raised in its place.
int remember_missing(PyObject* globals, PyObject* name) noexcept;

// Whether an audit hook would be called for an event raised now (also when
// the interpreter traces audit events). Never raises.
bool audit_hooks_installed() noexcept;

// The dict of the module objects when the C import and importlib read the
// same one: the interpreter's own, an exact dict, bound as sys.modules
// (borrowed); null (nothing pending) when sys.modules is another object.
PyObject* interpreter_modules() noexcept;

// Whether `code` equals a code object that the interpreter froze into its
// import system (importlib._bootstrap, importlib._bootstrap_external): 1 or
// 0 (also when the frozen code cannot be read), or -1 with an exception that
// is not an ordinary error.
int frozen_import_code(PyObject* code) noexcept;

}  // namespace frame
