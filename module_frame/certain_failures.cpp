#include "module_frame/certain_failures.hpp"

#include <cstring>
#include <new>

#include "module_frame/attributes.hpp"
#include "module_frame/class.hpp"
#include "module_frame/errors.hpp"
#include "module_frame/names.hpp"
#include "module_frame/ref.hpp"
#include "relative_misses.hpp"

// The import of a name whose parent module is loaded and is not a package.
//
// importlib.import_module("os.path.join") runs importlib._bootstrap's
// _gcd_import, _sanity_check, _find_and_load (a module lock for the name,
// through _ModuleLockManager or, from 3.15, _HierarchicalLockManager) and
// _find_and_load_unlocked, which reads the parent's __path__ and, on the
// AttributeError, raises ModuleNotFoundError(f"{_ERR_MSG_PREFIX}{name!r};
// {parent!r} is not a package", name=name) from None. From 3.15 it raises the
// audit event ("import", name, None, sys.path, sys.meta_path, sys.path_hooks)
// first; before 3.15 this path raises none. No finder runs. That exception is
// made here directly, from the same reads, while all of the following hold
// (the case of tests/test_full_names.py::test_a_certain_failure_is_the_import_systems
// that changes each in brackets; "untested" where none does yet); otherwise
// the import system is called.
//
// Keyed on: nothing is kept per name. What is kept is the import system as it
// was at the first call (captured then, refused for good unless it is the
// interpreter's own):
// - importlib.import_module: the function read from `importlib` (the module
//   sys.modules["importlib"]) is the one captured, whose globals are
//   importlib's namespace and whose code was compiled from importlib's
//   __file__; importlib's `_bootstrap` is sys.modules["_frozen_importlib"],
//   the import system the interpreter runs [rebound-import-module];
// - every function of that module, of its classes and of the classes found
//   in the namespaces of its instances (_blocking_on): code from
//   "<frozen importlib._bootstrap>", and the same __code__, __defaults__,
//   __kwdefaults__ and __closure__ objects at every call (kept, so that none
//   can be freed and its address reused) [untested];
// - each of those classes: metaclass `type`, the same class version
//   (tp_version_tag, which any change of the class or a base replaces)
//   [untested];
// - the namespaces those functions read: _bootstrap's own, the modules among
//   its globals that it calls into (_imp, _thread, _weakref) and its
//   instances' namespaces hold only exact str keys and exactly the objects
//   they held at capture; of the builtins, each name the captured code
//   names holds the same object; of importlib's namespace, `_bootstrap`.
//   Watched by the dicts' version tags (3.10, 3.11) or a dict watcher of this
//   file's (3.12+), and compared again after any change
//   [rebound-find-and-load, rebound-builtin, rebound-message-prefix];
// - _ERR_MSG_PREFIX an exact str without braces (before 3.12 the message is
//   made from _ERR_MSG, which must be that prefix and "{!r}").
// Inputs read at every call:
// - `name` an exact, non-empty str without a leading dot that has a dot
//   (import_module's leading-dot handling and _sanity_check pass it on);
// - sys.modules the interpreter's own exact dict (interpreter_modules(),
//   relative_misses.cpp), without `name` [name-in-sys-modules;
//   sys.modules rebound: untested]; the parent an exact ModuleType (a subclass may read
//   attributes its own way) whose namespace holds neither __path__ nor
//   __getattr__, so that reading __path__ runs module_getattro's miss
//   [module-subclass-parent, parent-with-getattr, parent-is-a-package];
// - from 3.15 every package above the name in sys.modules, an exact module
//   whose __spec__ is None or an instance of the captured ModuleSpec whose
//   `_initializing` (read generically: the class keeps no such attribute) is
//   missing or False: _HierarchicalLockManager locks no module but the name
//   itself [untested]; and sys.audit is the interpreter's own;
// - no module lock for `name` (no entry in _bootstrap._module_locks) and the
//   global import lock held by no thread (_imp.lock_held()): the import
//   system would wait, or detect a deadlock [test_a_certain_failure_waits_for_a_held_module_lock];
// - no trace or profile function on this thread and (3.12+) no
//   sys.monitoring tool registered: they would see importlib's frames
//   [test_a_certain_failure_is_seen_by_a_profiler].
//
// The exception differs from the import system's in its traceback only: the
// ModuleNotFoundError carries no entries of importlib's frames, and its
// __context__ (the AttributeError read from the parent, with its name, obj
// and message as the read made them) no entry of _find_and_load_unlocked.
// The module lock that the import system takes and drops leaves nothing
// behind (its _module_locks entry goes with the lock).
//
// Not watched: the contents of the closures' cells, keys other than exact
// str in sys.modules, _module_locks or a spec's namespace (a key's __eq__ may
// be called a different number of times), and, on 3.15, an audit hook that
// changes the import state while the event is raised (the answer was decided
// before the event, as the relative-miss cache does for its events).

namespace frame {

namespace {

// A growable array in Python's raw allocator, for the process-lifetime
// records below: the modules link no C++ runtime, and a failed allocation is
// a MemoryError set (the capture then fails and the import system is called),
// never an abort. Its items are plain records, moved as bytes and never
// destroyed.
template <typename T>
struct Array {
  T* items = nullptr;
  size_t count = 0;
  size_t capacity = 0;

  bool push_back(const T& item) noexcept {
    if (count == capacity) {
      size_t grown = capacity ? capacity * 2 : 16;
      void* moved = PyMem_RawRealloc(items, grown * sizeof(T));
      if (!moved) {
        PyErr_NoMemory();
        return false;
      }
      items = static_cast<T*>(moved);
      capacity = grown;
    }
    new (&items[count++]) T(item);
    return true;
  }
  void clear() noexcept { count = 0; }
  size_t size() const noexcept { return count; }
  T& back() noexcept { return items[count - 1]; }
  T& operator[](size_t i) noexcept { return items[i]; }
  const T& operator[](size_t i) const noexcept { return items[i]; }
  T* begin() noexcept { return items; }
  T* end() noexcept { return items + count; }
  const T* begin() const noexcept { return items; }
  const T* end() const noexcept { return items + count; }
};

struct WatchedFunction {
  PyObject* function;
  PyObject* code;
  PyObject* defaults;
  PyObject* kwdefaults;
  PyObject* closure;
};

struct WatchedClass {
  PyTypeObject* type;
  unsigned int version;
};

// A namespace whose whole contents are compared (`snapshot`), or only some
// names (`names`, with `values`: null for a name it did not hold).
struct WatchedNamespace {
  PyObject* dict;
  PyObject* snapshot;
  Array<PyObject*> names;
  Array<PyObject*> values;
  uint64_t version;
};

struct ImportSystem {
  bool captured = false;
  bool standard = false;
  bool changed = false;
  PyObject* importlib = nullptr;
  PyObject* import_module = nullptr;
  PyObject* module_locks = nullptr;
  PyObject* sys = nullptr;
  PyObject* prefix = nullptr;
  PyObject* lock_held = nullptr;
  PyObject* module_spec = nullptr;
  PyObject* get_tool = nullptr;
  PyObject* audit = nullptr;
  Array<WatchedFunction> functions;
  Array<WatchedClass> classes;
  Array<WatchedNamespace> namespaces;
};

ImportSystem import_system;
// Everything the import system above points to, held for the process's life.
KeptRef kept;
// Texts read at each call.
KeptRef getattr_name, initializing_name, audit_name;

PyObject* hold(PyObject* object) {
  if (object != nullptr && PyList_Append(kept.get(), object) < 0) return nullptr;
  return object;
}

Ref text(const char* value) { return Ref::steal(PyUnicode_InternFromString(value)); }

// The entry of `dict` under the str `key` (borrowed), null when none.
PyObject* entry(PyObject* dict, const char* key) {
  Ref name = text(key);
  return name ? PyDict_GetItemWithError(dict, name.get()) : nullptr;
}

bool only_str_keys(PyObject* dict) {
  Py_ssize_t position = 0;
  PyObject *key, *value;
  while (PyDict_Next(dict, &position, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) return false;
  }
  return true;
}

bool code_from(PyObject* code, const char* file) {
  PyObject* filename = reinterpret_cast<PyCodeObject*>(code)->co_filename;
  const char* chars = PyUnicode_Check(filename) ? PyUnicode_AsUTF8(filename) : nullptr;
  return chars != nullptr && std::strcmp(chars, file) == 0;
}

#if PY_VERSION_HEX >= 0x030C0000
int watcher = -1;

int note_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
  import_system.changed = true;
  return 0;
}

uint64_t version_of(PyObject*) { return 0; }
#else
uint64_t version_of(PyObject* dict) {
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
#endif

bool watch(PyObject* dict, PyObject* snapshot) {
#if PY_VERSION_HEX >= 0x030C0000
  if (PyDict_Watch(watcher, dict) < 0) return false;
#endif
  return import_system.namespaces.push_back({hold(dict), hold(snapshot), {}, {}, version_of(dict)});
}

bool watch_whole(PyObject* dict) {
  if (!PyDict_CheckExact(dict)) return false;
  Ref snapshot = Ref::steal(PyDict_Copy(dict));
  return snapshot && watch(dict, snapshot.get());
}

// The names, and the names of nested code, that `code` reads.
bool add_names(PyObject* code, PyObject* into) {
  Ref names = Ref::steal(PyObject_GetAttrString(code, "co_names"));
  if (!names) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.get()); ++i) {
    if (PySet_Add(into, PyTuple_GET_ITEM(names.get(), i)) < 0) return false;
  }
  Ref constants = Ref::steal(PyObject_GetAttrString(code, "co_consts"));
  if (!constants) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(constants.get()); ++i) {
    PyObject* constant = PyTuple_GET_ITEM(constants.get(), i);
    if (PyCode_Check(constant) && !add_names(constant, into)) return false;
  }
  return true;
}

bool watch_function(PyObject* function, const char* file, PyObject* names) {
  PyFunctionObject* f = reinterpret_cast<PyFunctionObject*>(function);
  if (!code_from(f->func_code, file) || !add_names(f->func_code, names)) return false;
  import_system.functions.push_back({hold(function), hold(f->func_code), hold(f->func_defaults),
                                     hold(f->func_kwdefaults), hold(f->func_closure)});
  return !PyErr_Occurred();
}

bool watch_class(PyObject* type, PyObject* globals, PyObject* names) {
  PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(type);
  if (!Py_IS_TYPE(type, &PyType_Type) || cls->tp_dict == nullptr) return false;
  Py_ssize_t position = 0;
  PyObject *key, *value;
  while (PyDict_Next(cls->tp_dict, &position, &key, &value)) {
    bool wrapped =
        Py_IS_TYPE(value, &PyStaticMethod_Type) || Py_IS_TYPE(value, &PyClassMethod_Type);
    PyObject* function =
        wrapped ? PyObject_GetAttr(value, names::dunder_func.get()) : Py_NewRef(value);
    Ref held = Ref::steal(function);
    if (!held) return false;
    if (PyFunction_Check(function) && PyFunction_GET_GLOBALS(function) == globals &&
        !watch_function(function, "<frozen importlib._bootstrap>", names)) {
      return false;
    }
  }
  // A lookup gives the class a version where it has none yet.
  _PyType_Lookup(cls, names::dunder_init.get());
  unsigned int version = class_version(cls);
  if (!import_system.classes.push_back({reinterpret_cast<PyTypeObject*>(hold(type)), version})) {
    return false;
  }
  return version != 0;
}

// The functions, classes, instances and called modules of _bootstrap.
bool watch_bootstrap(PyObject* globals, PyObject* names) {
  PyObject* classes[64];
  int class_count = 0;
  Py_ssize_t position = 0;
  PyObject *key, *value;
  while (PyDict_Next(globals, &position, &key, &value)) {
    if (PyFunction_Check(value) && PyFunction_GET_GLOBALS(value) == globals) {
      if (!watch_function(value, "<frozen importlib._bootstrap>", names)) return false;
    } else if (PyType_Check(value) &&
               PyType_HasFeature(reinterpret_cast<PyTypeObject*>(value), Py_TPFLAGS_HEAPTYPE)) {
      if (class_count == 64) return false;
      classes[class_count++] = value;
    }
  }
  for (int i = 0; i < class_count; ++i) {
    if (!watch_class(classes[i], globals, names)) return false;
  }
  // The instances of those classes (_blocking_on), with the classes they hold.
  position = 0;
  while (PyDict_Next(globals, &position, &key, &value)) {
    bool own = false;
    for (int i = 0; i < class_count; ++i) own |= Py_TYPE(value) == (PyTypeObject*)classes[i];
    if (!own) continue;
    Ref dict = Ref::steal(PyObject_GenericGetDict(value, nullptr));
    if (!dict || !watch_whole(dict.get())) return false;
    Py_ssize_t inner = 0;
    PyObject *name, *member;
    while (PyDict_Next(dict.get(), &inner, &name, &member)) {
      if (PyType_Check(member) && !watch_class(member, globals, names)) return false;
    }
  }
  for (const char* module : {"_imp", "_thread", "_weakref"}) {
    PyObject* called = entry(globals, module);
    if (called == nullptr || !PyModule_CheckExact(called)) return false;
    if (!watch_whole(PyModule_GetDict(called))) return false;
  }
  return watch_whole(globals);
}

// Of the builtins, what each name the code reads (and _bootstrap does not
// hold) is bound to.
bool watch_builtins(PyObject* builtins, PyObject* globals, PyObject* names) {
  if (!PyDict_CheckExact(builtins) || !watch(builtins, nullptr)) return false;
  WatchedNamespace& watched = import_system.namespaces.back();
  Ref iterator = Ref::steal(PyObject_GetIter(names));
  if (!iterator) return false;
  while (Ref name = Ref::steal(PyIter_Next(iterator.get()))) {
    if (PyDict_GetItemWithError(globals, name.get()) != nullptr) continue;
    PyObject* value = PyDict_GetItemWithError(builtins, name.get());
    if (PyErr_Occurred()) return false;
    watched.names.push_back(hold(name.get()));
    watched.values.push_back(hold(value));
  }
  return !PyErr_Occurred();
}

bool watch_importlib(PyObject* importlib, PyObject* bootstrap) {
  if (!watch(PyModule_GetDict(importlib), nullptr)) return false;
  WatchedNamespace& watched = import_system.namespaces.back();
  Ref name = text("_bootstrap");
  watched.names.push_back(hold(name.get()));
  watched.values.push_back(hold(bootstrap));
  return name && !PyErr_Occurred();
}

// The message's prefix, when the message is made of it alone.
PyObject* message_prefix(PyObject* globals) {
  PyObject* prefix = entry(globals, "_ERR_MSG_PREFIX");
  if (prefix == nullptr || !PyUnicode_CheckExact(prefix) ||
      PyUnicode_FindChar(prefix, '{', 0, PyUnicode_GET_LENGTH(prefix), 1) != -1 ||
      PyUnicode_FindChar(prefix, '}', 0, PyUnicode_GET_LENGTH(prefix), 1) != -1) {
    return nullptr;
  }
#if PY_VERSION_HEX < 0x030C0000
  PyObject* message = entry(globals, "_ERR_MSG");
  Ref expected = Ref::steal(PyUnicode_FromFormat("%U{!r}", prefix));
  if (message == nullptr || !expected || !PyUnicode_CheckExact(message) ||
      PyUnicode_Compare(message, expected.get()) != 0) {
    return nullptr;
  }
#endif
  return prefix;
}

bool capture_functions(PyObject* sys) {
  PyObject* sys_dict = PyModule_GetDict(sys);
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* monitoring = entry(sys_dict, "monitoring");
  if (monitoring == nullptr) return false;
  Ref get_tool = Ref::steal(PyObject_GetAttrString(monitoring, "get_tool"));
  if (!get_tool || !PyCFunction_Check(get_tool.get())) return false;
  import_system.get_tool = hold(get_tool.get());
#endif
#if PY_VERSION_HEX >= 0x030F0000
  PyObject* audit = entry(sys_dict, "audit");
  if (audit == nullptr || !PyCFunction_Check(audit) || PyCFunction_GET_SELF(audit) != sys) {
    return false;
  }
  import_system.audit = hold(audit);
#else
  (void)sys_dict;
#endif
  return true;
}

PyObject* builtins_of(PyObject* function) {
  return reinterpret_cast<PyFunctionObject*>(function)->func_builtins;
}

// Whether the import system is the interpreter's own, taking what the
// shortcut relies on if it is.
bool capture(PyObject* importlib, PyObject* import_module) {
  PyObject* modules = interpreter_modules();
  if (modules == nullptr || entry(modules, "importlib") != importlib ||
      !PyModule_CheckExact(importlib) || !PyFunction_Check(import_module)) {
    return false;
  }
  PyObject* importlib_dict = PyModule_GetDict(importlib);
  PyObject* file = entry(importlib_dict, "__file__");
  const char* file_text = file && PyUnicode_Check(file) ? PyUnicode_AsUTF8(file) : nullptr;
  PyObject* bootstrap = entry(importlib_dict, "_bootstrap");
  if (file_text == nullptr || PyFunction_GET_GLOBALS(import_module) != importlib_dict ||
      bootstrap == nullptr || entry(modules, "_frozen_importlib") != bootstrap ||
      !PyModule_CheckExact(bootstrap)) {
    return false;
  }
  PyObject* globals = PyModule_GetDict(bootstrap);
  Ref names = Ref::steal(PySet_New(nullptr));
  if (!names || !watch_function(import_module, file_text, names.get())) return false;
  // import_module reads only `_bootstrap` of its globals on this path; its
  // builtins are those of _bootstrap's code.
  PyObject* find_and_load = entry(globals, "_find_and_load");
  PyObject* module_locks = entry(globals, "_module_locks");
  PyObject* sys = entry(globals, "sys");
  PyObject* imp = entry(globals, "_imp");
  PyObject* module_spec = entry(globals, "ModuleSpec");
  PyObject* prefix = message_prefix(globals);
  if (find_and_load == nullptr || !PyFunction_Check(find_and_load) || module_locks == nullptr ||
      !PyDict_CheckExact(module_locks) || sys == nullptr || entry(modules, "sys") != sys ||
      !PyModule_CheckExact(sys) || imp == nullptr || module_spec == nullptr ||
      !PyType_Check(module_spec) || prefix == nullptr) {
    return false;
  }
  PyTypeObject* spec_class = reinterpret_cast<PyTypeObject*>(module_spec);
  if (spec_class->tp_getattro != PyObject_GenericGetAttr ||
      _PyType_Lookup(spec_class, initializing_name.get()) != nullptr) {
    return false;
  }
  Ref lock_held = Ref::steal(PyObject_GetAttrString(imp, "lock_held"));
  if (!lock_held || !PyCFunction_Check(lock_held.get())) return false;
  if (!watch_bootstrap(globals, names.get()) || !watch_importlib(importlib, bootstrap) ||
      !watch_builtins(builtins_of(find_and_load), globals, names.get()) ||
      !capture_functions(sys)) {
    return false;
  }
  // The exceptions the path raises and catches are the interpreter's own.
  PyObject* builtins = builtins_of(find_and_load);
  if (entry(builtins, "ModuleNotFoundError") != PyExc_ModuleNotFoundError ||
      entry(builtins, "AttributeError") != PyExc_AttributeError) {
    return false;
  }
  import_system.importlib = hold(importlib);
  import_system.import_module = hold(import_module);
  import_system.module_locks = hold(module_locks);
  import_system.sys = hold(sys);
  import_system.prefix = hold(prefix);
  import_system.lock_held = hold(lock_held.get());
  import_system.module_spec = hold(module_spec);
  return !PyErr_Occurred();
}

bool capture_once(PyObject* importlib, PyObject* import_module) {
  // What an attempt that an error cut short took is dropped with its references.
  import_system.functions.clear();
  import_system.classes.clear();
  import_system.namespaces.clear();
  Ref list = Ref::steal(PyList_New(0));
  Ref getattr_text = text("__getattr__");
  Ref initializing_text = text("_initializing");
  Ref audit_text = text("audit");
  if (!list || !getattr_text || !initializing_text || !audit_text) return false;
  kept.keep(std::move(list));
  getattr_name.keep(std::move(getattr_text));
  initializing_name.keep(std::move(initializing_text));
  audit_name.keep(std::move(audit_text));
#if PY_VERSION_HEX >= 0x030C0000
  if (watcher < 0) watcher = PyDict_AddWatcher(note_change);
  // With every watcher taken, the import system is asked at every call.
  if (watcher < 0) return !clear_if_ordinary() && false;
#endif
  return capture(importlib, import_module);
}

bool same_contents(const WatchedNamespace& watched) {
  if (!only_str_keys(watched.dict)) return false;
  if (watched.snapshot != nullptr) {
    if (PyDict_GET_SIZE(watched.dict) != PyDict_GET_SIZE(watched.snapshot)) return false;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(watched.snapshot, &position, &key, &value)) {
      if (PyDict_GetItemWithError(watched.dict, key) != value) return false;
    }
  }
  for (size_t i = 0; i < watched.names.size(); ++i) {
    if (PyDict_GetItemWithError(watched.dict, watched.names[i]) != watched.values[i]) return false;
  }
  return !PyErr_Occurred();
}

// Whether every watched namespace holds what it held: compared again after
// a change, and taken as the new state when it does.
bool namespaces_as_captured() {
  bool changed = import_system.changed;
  for (const WatchedNamespace& watched : import_system.namespaces) {
    changed |= version_of(watched.dict) != watched.version;
  }
  if (!changed) return true;
  for (WatchedNamespace& watched : import_system.namespaces) {
    if (!same_contents(watched)) return false;
  }
  for (WatchedNamespace& watched : import_system.namespaces)
    watched.version = version_of(watched.dict);
  import_system.changed = false;
  return true;
}

bool code_as_captured() {
  for (const WatchedFunction& watched : import_system.functions) {
    PyFunctionObject* function = reinterpret_cast<PyFunctionObject*>(watched.function);
    if (function->func_code != watched.code || function->func_defaults != watched.defaults ||
        function->func_kwdefaults != watched.kwdefaults ||
        function->func_closure != watched.closure) {
      return false;
    }
  }
  for (const WatchedClass& watched : import_system.classes) {
    if (class_version(watched.type) != watched.version) return false;
  }
  return true;
}

bool still_standard(PyObject* importlib, PyObject* import_module) {
  if (!import_system.captured) {
    bool standard = capture_once(importlib, import_module);
    // A failed allocation while capturing leaves it for a later call.
    if (PyErr_Occurred()) return false;
    import_system.captured = true;
    import_system.standard = standard;
  }
  return import_system.standard && importlib == import_system.importlib &&
         import_module == import_system.import_module && code_as_captured() &&
         namespaces_as_captured();
}

// Whether anything would see importlib's frames run.
bool observed() {
  PyThreadState* thread = PyThreadState_Get();
  if (thread->c_tracefunc != nullptr || thread->c_profilefunc != nullptr) return true;
#if PY_VERSION_HEX >= 0x030C0000
  for (long tool = 0; tool < 6; ++tool) {
    Ref id = Ref::steal(PyLong_FromLong(tool));
    Ref name = id ? Ref::steal(PyObject_CallOneArg(import_system.get_tool, id.get())) : Ref();
    if (!name || name.get() != Py_None) return true;
  }
#endif
  return false;
}

// The module as reading its namespace sees it, when reading an attribute
// runs no code: an exact module without __getattr__.
PyObject* plain_module(PyObject* modules, PyObject* name) {
  PyObject* module = PyDict_GetItemWithError(modules, name);
  if (module == nullptr || !PyModule_CheckExact(module)) return nullptr;
  PyObject* dict = PyModule_GetDict(module);
  if (dict == nullptr || PyDict_GetItemWithError(dict, getattr_name.get()) != nullptr)
    return nullptr;
  return module;
}

#if PY_VERSION_HEX >= 0x030F0000
// Whether the module's spec says it is loaded: _HierarchicalLockManager
// takes no lock for it.
bool initialized(PyObject* module) {
  PyObject* spec = PyDict_GetItemWithError(PyModule_GetDict(module), names::dunder_spec.get());
  if (spec == nullptr) return false;
  if (spec == Py_None) return true;
  if (!Py_IS_TYPE(spec, reinterpret_cast<PyTypeObject*>(import_system.module_spec))) return false;
  Ref initializing = generic_attribute(spec, initializing_name.get());
  return !PyErr_Occurred() && (!initializing || initializing.get() == Py_False);
}

bool packages_initialized(PyObject* modules, PyObject* name, Py_ssize_t last_dot) {
  for (Py_ssize_t dot = 0; dot <= last_dot; ++dot) {
    if (PyUnicode_READ_CHAR(name, dot) != '.') continue;
    Ref package = Ref::steal(PyUnicode_Substring(name, 0, dot));
    PyObject* module = package ? plain_module(modules, package.get()) : nullptr;
    if (module == nullptr || !initialized(module)) return false;
  }
  return PyDict_GetItemWithError(PyModule_GetDict(import_system.sys), audit_name.get()) ==
         import_system.audit;
}
#else
bool packages_initialized(PyObject*, PyObject*, Py_ssize_t) { return true; }
#endif

// The parent module, when the import of `name` under it fails for certain.
PyObject* certain_parent(PyObject* name, PyObject* parent, Py_ssize_t dot) {
  PyObject* modules = interpreter_modules();
  if (modules == nullptr || PyDict_GetItemWithError(modules, name) != nullptr) return nullptr;
  PyObject* module = PyErr_Occurred() ? nullptr : plain_module(modules, parent);
  if (module == nullptr ||
      PyDict_GetItemWithError(PyModule_GetDict(module), names::dunder_path.get()) != nullptr ||
      PyErr_Occurred() || !packages_initialized(modules, name, dot)) {
    return nullptr;
  }
  return module;
}

// Whether another thread could make the import system wait for the name.
bool locked(PyObject* name) {
  if (PyDict_GetItemWithError(import_system.module_locks, name) != nullptr) return true;
  Ref held = Ref::steal(PyObject_CallNoArgs(import_system.lock_held));
  return !held || held.get() != Py_False;
}

#if PY_VERSION_HEX >= 0x030F0000
// getattr(sys, name, None), as the event's arguments read it.
Ref sys_or_none(const char* name) {
  Ref value = Ref::steal(PyObject_GetAttrString(import_system.sys, name));
  if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
  PyErr_Clear();  // the AttributeError only, as getattr's default takes it
  return Ref::borrow(Py_None);
}

int audit_import(PyObject* name) {
  Ref path = sys_or_none("path");
  Ref meta_path = path ? sys_or_none("meta_path") : Ref();
  Ref path_hooks = meta_path ? sys_or_none("path_hooks") : Ref();
  if (!path_hooks) return -1;
  return PySys_Audit("import", "OOOOO", name, Py_None, path.get(), meta_path.get(),
                     path_hooks.get());
}
#else
int audit_import(PyObject*) { return 0; }
#endif

// ModuleNotFoundError(message, name=name) raised from None while the
// AttributeError is handled: its context, with no cause shown.
void raise_not_a_package(PyObject* name, PyObject* parent) {
  PyObject *type, *read_error, *traceback;
  PyErr_Fetch(&type, &read_error, &traceback);
  PyErr_NormalizeException(&type, &read_error, &traceback);
  Ref attribute_error = Ref::steal(read_error);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  Ref message = Ref::steal(
      PyUnicode_FromFormat("%U%R; %R is not a package", import_system.prefix, name, parent));
  Ref arguments = message ? Ref::steal(PyTuple_Pack(1, message.get())) : Ref();
  Ref keywords = arguments ? Ref::steal(PyDict_New()) : Ref();
  if (!keywords || PyDict_SetItem(keywords.get(), names::name.get(), name) < 0) return;
  Ref error = Ref::steal(PyObject_Call(PyExc_ModuleNotFoundError, arguments.get(), keywords.get()));
  if (!error) return;
  PyException_SetContext(error.get(), attribute_error.release());
  PyException_SetCause(error.get(), nullptr);  // also sets __suppress_context__
  PyObject* type_of_error = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(error.get())));
  PyErr_Restore(type_of_error, error.release(), nullptr);
}

// What the import system does from the point where it takes the module lock.
bool fail_as_the_import_system(PyObject* name, PyObject* parent, PyObject* parent_module) {
  if (audit_import(name) < 0) return true;
  Ref path = Ref::steal(PyObject_GetAttr(parent_module, names::dunder_path.get()));
  if (path) {
    // Code run by the read gave it one: the import system decides.
    return false;
  }
  if (PyErr_ExceptionMatches(PyExc_AttributeError)) raise_not_a_package(name, parent);
  return true;
}

}  // namespace

bool import_fails_for_certain(PyObject* importlib, PyObject* import_module,
                              PyObject* name) noexcept {
  if (!PyUnicode_CheckExact(name)) return false;
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(name) < 0) return !clear_if_ordinary();
#endif
  Py_ssize_t length = PyUnicode_GET_LENGTH(name);
  if (length == 0 || PyUnicode_READ_CHAR(name, 0) == '.') return false;
  Py_ssize_t dot = PyUnicode_FindChar(name, '.', 0, length, -1);
  if (dot < 0 || !still_standard(importlib, import_module) || observed()) {
    return PyErr_Occurred() && !clear_if_ordinary();
  }
  Ref parent = Ref::steal(PyUnicode_Substring(name, 0, dot));
  PyObject* parent_module = parent ? certain_parent(name, parent.get(), dot) : nullptr;
  if (parent_module == nullptr || locked(name)) return PyErr_Occurred() && !clear_if_ordinary();
  return fail_as_the_import_system(name, parent.get(), parent_module);
}

}  // namespace frame
