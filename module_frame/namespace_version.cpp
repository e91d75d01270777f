#include "namespace_version.hpp"

#include "module_frame/errors.hpp"

namespace frame {

namespace {

// The last scan of the two namespaces, valid while their stamp is the one
// kept with it: a namespace that changes is scanned once, not once per name.
struct Scan {
  PyObject* globals = nullptr;
  NamespaceStamp stamp;
  bool plain = false;
};
Scan last_scan;

bool plain_namespaces(PyObject* globals, PyObject* builtins, const NamespaceStamp& stamp) {
  if (last_scan.globals != globals || !(last_scan.stamp == stamp)) {
    last_scan = {globals, stamp, only_str_keys(globals) && only_str_keys(builtins)};
  }
  return last_scan.plain;
}

}  // namespace

bool only_str_keys(PyObject* namespace_) noexcept {
  Py_ssize_t position = 0;
  PyObject *key, *value;
  while (PyDict_Next(namespace_, &position, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) return false;
  }
  return true;
}

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
  return plain_namespaces(globals, builtins, stamp);
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
  if (watcher < 0) return clear_if_ordinary() ? 0 : -1;
  return PyDict_Watch(watcher, builtins);
}

NamespaceStamp current_stamp(PyObject*, PyObject*) noexcept { return {changes, 0}; }

bool stamp_to_keep(PyObject* globals, PyObject* builtins, NamespaceStamp& stamp) noexcept {
  if (watcher < 0 || !PyDict_CheckExact(globals)) return false;
  // Its only error is a watcher id out of range (a ValueError), which this one is not.
  if (PyDict_Watch(watcher, globals) < 0) {
    clear_if_ordinary();
    return false;
  }
  stamp = {changes, 0};
  return plain_namespaces(globals, builtins, stamp);
}

#endif

}  // namespace frame
