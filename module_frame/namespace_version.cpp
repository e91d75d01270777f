#include "namespace_version.hpp"

namespace frame {

#if PY_VERSION_HEX < 0x030C0000

// Every change of a dict gives it a new version tag, unique in the process.
int watch_builtins(PyObject*) noexcept { return 0; }

NamespaceStamp current_stamp(PyObject* globals, PyObject* builtins) noexcept {
  return {reinterpret_cast<PyDictObject*>(globals)->ma_version_tag,
          reinterpret_cast<PyDictObject*>(builtins)->ma_version_tag};
}

bool stamp_to_keep(PyObject* globals, PyObject* builtins, NamespaceStamp& stamp) noexcept {
  if (!PyDict_CheckExact(globals) || !PyDict_CheckExact(builtins)) return false;
  stamp = current_stamp(globals, builtins);
  return true;
}

#else

// From 3.12 the version tags are the interpreter's own: a dict watcher counts
// the changes of the watched namespaces instead (each change, and each
// namespace that goes, moves the count on).
namespace {

int watcher = -1;
uint64_t changes = 0;

int count_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
  ++changes;
  return 0;
}

}  // namespace

int watch_builtins(PyObject* builtins) noexcept {
  if (watcher < 0) watcher = PyDict_AddWatcher(count_change);
  // Without a watcher (all are taken) nothing is kept, and nothing fails.
  if (watcher < 0) {
    PyErr_Clear();
    return 0;
  }
  return PyDict_Watch(watcher, builtins);
}

NamespaceStamp current_stamp(PyObject*, PyObject*) noexcept { return {changes, 0}; }

bool stamp_to_keep(PyObject* globals, PyObject*, NamespaceStamp& stamp) noexcept {
  if (watcher < 0 || !PyDict_CheckExact(globals)) return false;
  if (PyDict_Watch(watcher, globals) < 0) {
    PyErr_Clear();
    return false;
  }
  stamp = {changes, 0};
  return true;
}

#endif

}  // namespace frame
