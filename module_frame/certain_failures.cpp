#include "module_frame/certain_failures.hpp"

#include <initializer_list>
#include <new>

#include "module_frame/attributes.hpp"
#include "module_frame/class.hpp"
#include "module_frame/errors.hpp"
#include "module_frame/names.hpp"
#include "module_frame/ref.hpp"
#include "namespace_version.hpp"
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
// that changes each in brackets, and ..._from_the_first_call that makes some
// of those changes before anything is captured; "untested" where none does
// yet); otherwise the import system is called.
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
//   "<frozen importlib._bootstrap>" equal to the code the interpreter froze
//   (_imp.get_frozen_object), and the same __code__, __defaults__,
//   __kwdefaults__ and __closure__ objects at every call (kept, so that none
//   can be freed and its address reused) [reassigned-code; __defaults__,
//   __kwdefaults__: untested];
// - each of those classes: metaclass `type`, holding only _bootstrap's
//   functions (plain, static, class methods, property accessors) and data,
//   and the same class version (tp_version_tag, which any change of the
//   class or a base replaces) [patched-lock-class];
// - the namespaces those functions read: _bootstrap's own, the modules among
//   its globals that it calls into (_imp, _thread, _weakref) and its
//   instances' namespaces hold only exact str keys and exactly the objects
//   they held at capture; of the builtins, each name the captured code
//   names holds the same object, the builtins module's own function or a
//   built-in class under its own name; of importlib's namespace, `_bootstrap`.
//   Watched by the dicts' version tags (3.10, 3.11) or a dict watcher of this
//   file's (3.12+), and compared again after any change
//   [rebound-find-and-load, rebound-builtin, rebound-message-prefix];
// - _ERR_MSG_PREFIX an exact str without braces (before 3.12 the message is
//   made from _ERR_MSG, which must be that prefix and "{!r}").
// Inputs read at every call:
// - `name` an exact, non-empty str without a leading dot that has a dot
//   (import_module's leading-dot handling and _sanity_check pass it on);
// - sys.modules the interpreter's own exact dict (interpreter_modules(),
//   relative_misses.cpp), without `name` [name-in-sys-modules,
//   sys-modules-rebound]; the parent an exact ModuleType (a subclass may read
//   attributes its own way) whose namespace holds neither __path__ nor
//   __getattr__, so that reading __path__ runs module_getattro's miss
//   [module-subclass-parent, parent-with-getattr, parent-is-a-package];
// - from 3.15 every package above the name in sys.modules, an exact module
//   whose __spec__ is None or an instance of the captured ModuleSpec whose
//   `_initializing` (read generically: the class keeps no such attribute) is
//   missing or False: _HierarchicalLockManager locks no module but the name
//   itself [initializing-parent]; and sys.audit is the interpreter's own,
//   with no audit hook installed (relative_misses.cpp's audit_hooks_installed):
//   a hook could change the import state while the event is raised
//   [audit-hook];
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
// be called a different number of times).

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

  // 0, or -1 with MemoryError set.
  int push_back(const T& item) noexcept {
    if (count == capacity) {
      size_t grown = capacity ? capacity * 2 : 16;
      void* moved = PyMem_RawRealloc(items, grown * sizeof(T));
      if (!moved) {
        PyErr_NoMemory();
        return -1;
      }
      items = static_cast<T*>(moved);
      capacity = grown;
    }
    new (&items[count++]) T(item);
    return 0;
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
// Texts read at each call, and the file of _bootstrap's code.
KeptRef getattr_name, initializing_name, audit_name, bootstrap_file;

// The capture below answers 1 (the interpreter's own), 0 (not: the import
// system is asked at every call) or -1 with the exception set.

// Keeps `object` (null for none) for the process's life: 0, or -1 with the
// exception set.
int hold(PyObject* object) { return object == nullptr ? 0 : PyList_Append(kept.get(), object); }

Ref text(const char* value) { return Ref::steal(PyUnicode_InternFromString(value)); }

// `*value`: the entry of `dict` under the str `key` (borrowed), null when
// none. 0, or -1 with the exception set.
int entry(PyObject* dict, const char* key, PyObject** value) {
  Ref name = text(key);
  *value = name ? PyDict_GetItemWithError(dict, name.get()) : nullptr;
  return *value == nullptr && PyErr_Occurred() ? -1 : 0;
}

struct Wanted {
  const char* key;
  PyObject** value;
};

int entries(PyObject* dict, std::initializer_list<Wanted> wanted) {
  for (const Wanted& each : wanted) {
    if (entry(dict, each.key, each.value) < 0) return -1;
  }
  return 0;
}

bool code_from(PyObject* code, PyObject* file) {
  PyObject* filename = reinterpret_cast<PyCodeObject*>(code)->co_filename;
  // Of two str objects, PyUnicode_Compare raises nothing.
  return PyUnicode_CheckExact(filename) && PyUnicode_CheckExact(file) &&
         PyUnicode_Compare(filename, file) == 0;
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

// A namespace of exact str keys (a lookup then runs no code) to compare
// after a change.
int watch(PyObject* dict, PyObject* snapshot) {
  if (!only_str_keys(dict)) return 0;
#if PY_VERSION_HEX >= 0x030C0000
  if (PyDict_Watch(watcher, dict) < 0) return -1;
#endif
  if (hold(dict) < 0 || hold(snapshot) < 0 ||
      import_system.namespaces.push_back({dict, snapshot, {}, {}, version_of(dict)}) < 0) {
    return -1;
  }
  return 1;
}

int watch_whole(PyObject* dict) {
  if (!PyDict_CheckExact(dict)) return 0;
  Ref snapshot = Ref::steal(PyDict_Copy(dict));
  return snapshot ? watch(dict, snapshot.get()) : -1;
}

// The names, and the names of nested code, that `code` reads: 0, or -1 with
// the exception set.
int add_names(PyObject* code, PyObject* into) {
  Ref names = Ref::steal(PyObject_GetAttrString(code, "co_names"));
  if (!names) return -1;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.get()); ++i) {
    if (PySet_Add(into, PyTuple_GET_ITEM(names.get(), i)) < 0) return -1;
  }
  Ref constants = Ref::steal(PyObject_GetAttrString(code, "co_consts"));
  if (!constants) return -1;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(constants.get()); ++i) {
    PyObject* constant = PyTuple_GET_ITEM(constants.get(), i);
    if (PyCode_Check(constant) && add_names(constant, into) < 0) return -1;
  }
  return 0;
}

int watch_function(PyObject* function, PyObject* file, PyObject* names) {
  PyFunctionObject* f = reinterpret_cast<PyFunctionObject*>(function);
  if (!code_from(f->func_code, file)) return 0;
  if (file == bootstrap_file.get()) {
    // Code replaced before the capture is not the import system's.
    int frozen = frozen_import_code(f->func_code);
    if (frozen <= 0) return frozen;
  }
  if (add_names(f->func_code, names) < 0 || hold(function) < 0 || hold(f->func_code) < 0 ||
      hold(f->func_defaults) < 0 || hold(f->func_kwdefaults) < 0 || hold(f->func_closure) < 0 ||
      import_system.functions.push_back(
          {function, f->func_code, f->func_defaults, f->func_kwdefaults, f->func_closure}) < 0) {
    return -1;
  }
  return 1;
}

// Whether `member` is data that a class statement or `type` puts in a class:
// nothing that runs when the class is used.
bool class_data(PyObject* member) {
  return member == Py_None || PyUnicode_CheckExact(member) || PyLong_CheckExact(member) ||
         PyTuple_CheckExact(member) || Py_IS_TYPE(member, &PyGetSetDescr_Type) ||
         Py_IS_TYPE(member, &PyMemberDescr_Type);
}

// `function`, an accessor of a property or what a static or class method
// wraps: None, or a function of _bootstrap's, watched.
int watch_accessor(PyObject* function, PyObject* globals, PyObject* names) {
  if (function == Py_None) return 1;
  if (!PyFunction_Check(function) || PyFunction_GET_GLOBALS(function) != globals) return 0;
  return watch_function(function, bootstrap_file.get(), names);
}

// `member.<attribute>`: None, or a function of _bootstrap's, watched.
int watch_part(PyObject* member, const char* attribute, PyObject* globals, PyObject* names) {
  Ref function = Ref::steal(PyObject_GetAttrString(member, attribute));
  if (!function) return -1;
  return watch_accessor(function.get(), globals, names);
}

// A member of one of _bootstrap's classes: a function of _bootstrap's (a
// static or class method unwrapped, a property's accessors) is watched, and
// the class's data stays as it is. Anything else, a function from elsewhere
// put in the class before the capture among them, is not the import system's.
int watch_member(PyObject* member, PyObject* globals, PyObject* names) {
  if (class_data(member)) return 1;
  if (PyFunction_Check(member)) return watch_accessor(member, globals, names);
  if (Py_IS_TYPE(member, &PyStaticMethod_Type) || Py_IS_TYPE(member, &PyClassMethod_Type)) {
    return watch_part(member, "__func__", globals, names);
  }
  if (!Py_IS_TYPE(member, &PyProperty_Type)) return 0;
  int watched = 1;
  for (const char* accessor : {"fget", "fset", "fdel"}) {
    if (watched > 0) watched = watch_part(member, accessor, globals, names);
  }
  return watched;
}

int watch_class(PyObject* type, PyObject* globals, PyObject* names) {
  PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(type);
  if (!Py_IS_TYPE(type, &PyType_Type) || cls->tp_dict == nullptr) return 0;
  Py_ssize_t position = 0;
  PyObject *key, *value;
  while (PyDict_Next(cls->tp_dict, &position, &key, &value)) {
    int watched = watch_member(value, globals, names);
    if (watched <= 0) return watched;
  }
  // A lookup gives the class a version where it has none yet.
  _PyType_Lookup(cls, names::dunder_init.get());
  unsigned int version = class_version(cls);
  if (version == 0) return 0;
  if (hold(type) < 0 || import_system.classes.push_back({cls, version}) < 0) return -1;
  return 1;
}

// The namespaces of _bootstrap's instances (_blocking_on), with the classes
// they hold.
int watch_instance(PyObject* instance, PyObject* globals, PyObject* names) {
  Ref dict = Ref::steal(PyObject_GenericGetDict(instance, nullptr));
  if (!dict) return -1;
  int watched = watch_whole(dict.get());
  Py_ssize_t position = 0;
  PyObject *name, *member;
  while (watched > 0 && PyDict_Next(dict.get(), &position, &name, &member)) {
    if (PyType_Check(member)) watched = watch_class(member, globals, names);
  }
  return watched;
}

// The functions, classes, instances and called modules of _bootstrap.
int watch_bootstrap(PyObject* globals, PyObject* names) {
  PyObject* classes[64];
  int class_count = 0;
  int watched = 1;
  Py_ssize_t position = 0;
  PyObject *key, *value;
  while (watched > 0 && PyDict_Next(globals, &position, &key, &value)) {
    if (PyFunction_Check(value) && PyFunction_GET_GLOBALS(value) == globals) {
      watched = watch_function(value, bootstrap_file.get(), names);
    } else if (PyType_Check(value) &&
               PyType_HasFeature(reinterpret_cast<PyTypeObject*>(value), Py_TPFLAGS_HEAPTYPE)) {
      if (class_count == 64) return 0;
      classes[class_count++] = value;
    }
  }
  for (int i = 0; watched > 0 && i < class_count; ++i) {
    watched = watch_class(classes[i], globals, names);
  }
  position = 0;
  while (watched > 0 && PyDict_Next(globals, &position, &key, &value)) {
    bool own = false;
    for (int i = 0; i < class_count; ++i) own |= Py_TYPE(value) == (PyTypeObject*)classes[i];
    if (own) watched = watch_instance(value, globals, names);
  }
  for (const char* module : {"_imp", "_thread", "_weakref"}) {
    if (watched <= 0) return watched;
    PyObject* called;
    if (entry(globals, module, &called) < 0) return -1;
    if (called == nullptr || !PyModule_CheckExact(called)) return 0;
    watched = watch_whole(PyModule_GetDict(called));
  }
  return watched > 0 ? watch_whole(globals) : watched;
}

// Whether `value`, bound to `name` in `builtins`, is what the interpreter
// binds there: one of the builtins module's own functions or a built-in
// class, under its own name, or NotImplemented. A name rebound before the
// capture is not the import system's.
bool interpreter_builtin(PyObject* builtins, PyObject* name, PyObject* value) {
  const char* own_name = nullptr;
  if (PyCFunction_Check(value)) {
    PyObject* module = PyCFunction_GET_SELF(value);
    if (module == nullptr || !PyModule_CheckExact(module) || PyModule_GetDict(module) != builtins) {
      return false;
    }
    own_name = reinterpret_cast<PyCFunctionObject*>(value)->m_ml->ml_name;
  } else if (PyType_Check(value)) {
    auto* type = reinterpret_cast<PyTypeObject*>(value);
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) return false;
    own_name = type->tp_name;
  } else if (value == Py_NotImplemented) {
    own_name = "NotImplemented";
  }
  // Of an exact str and ASCII text, the comparison raises nothing.
  return own_name != nullptr && PyUnicode_CheckExact(name) &&
         PyUnicode_CompareWithASCIIString(name, own_name) == 0;
}

// Of the builtins, what each name the code reads (and _bootstrap does not
// hold) is bound to: the interpreter's own.
int watch_builtins(PyObject* builtins, PyObject* globals, PyObject* names) {
  int watched = PyDict_CheckExact(builtins) ? watch(builtins, nullptr) : 0;
  if (watched <= 0) return watched;
  WatchedNamespace& namespace_ = import_system.namespaces.back();
  Ref iterator = Ref::steal(PyObject_GetIter(names));
  if (!iterator) return -1;
  while (Ref name = Ref::steal(PyIter_Next(iterator.get()))) {
    if (PyDict_GetItemWithError(globals, name.get()) != nullptr) continue;
    PyObject* value = PyErr_Occurred() ? nullptr : PyDict_GetItemWithError(builtins, name.get());
    if (PyErr_Occurred()) return -1;
    if (value != nullptr && !interpreter_builtin(builtins, name.get(), value)) return 0;
    if (hold(name.get()) < 0 || hold(value) < 0 || namespace_.names.push_back(name.get()) < 0 ||
        namespace_.values.push_back(value) < 0) {
      return -1;
    }
  }
  return PyErr_Occurred() ? -1 : 1;
}

int watch_importlib(PyObject* importlib, PyObject* bootstrap) {
  int watched = watch(PyModule_GetDict(importlib), nullptr);
  if (watched <= 0) return watched;
  WatchedNamespace& namespace_ = import_system.namespaces.back();
  Ref name = text("_bootstrap");
  if (!name || hold(name.get()) < 0 || hold(bootstrap) < 0 ||
      namespace_.names.push_back(name.get()) < 0 || namespace_.values.push_back(bootstrap) < 0) {
    return -1;
  }
  return 1;
}

bool has_braces(PyObject* text) {
  Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  return PyUnicode_FindChar(text, '{', 0, length, 1) != -1 ||
         PyUnicode_FindChar(text, '}', 0, length, 1) != -1;
}

// `*prefix`: the message's prefix (borrowed), when the message is made of it
// alone; null otherwise. 0, or -1 with the exception set.
int message_prefix(PyObject* globals, PyObject** prefix) {
  *prefix = nullptr;
  PyObject* value;
  if (entry(globals, "_ERR_MSG_PREFIX", &value) < 0) return -1;
  if (value == nullptr || !PyUnicode_CheckExact(value) || has_braces(value)) return 0;
#if PY_VERSION_HEX < 0x030C0000
  PyObject* message;
  if (entry(globals, "_ERR_MSG", &message) < 0) return -1;
  Ref expected = Ref::steal(PyUnicode_FromFormat("%U{!r}", value));
  if (!expected) return -1;
  if (message == nullptr || !PyUnicode_CheckExact(message) ||
      PyUnicode_Compare(message, expected.get()) != 0) {
    return 0;
  }
#endif
  *prefix = value;
  return 0;
}

int capture_functions(PyObject* sys) {
  PyObject* sys_dict = PyModule_GetDict(sys);
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* monitoring;
  if (entry(sys_dict, "monitoring", &monitoring) < 0) return -1;
  if (monitoring == nullptr) return 0;
  Ref get_tool = Ref::steal(PyObject_GetAttrString(monitoring, "get_tool"));
  if (!get_tool) return -1;
  if (!PyCFunction_Check(get_tool.get())) return 0;
  if (hold(get_tool.get()) < 0) return -1;
  import_system.get_tool = get_tool.get();
#endif
#if PY_VERSION_HEX >= 0x030F0000
  PyObject* audit;
  if (entry(sys_dict, "audit", &audit) < 0) return -1;
  if (audit == nullptr || !PyCFunction_Check(audit) || PyCFunction_GET_SELF(audit) != sys) {
    return 0;
  }
  if (hold(audit) < 0) return -1;
  import_system.audit = audit;
#else
  (void)sys_dict;
#endif
  return 1;
}

PyObject* builtins_of(PyObject* function) {
  return reinterpret_cast<PyFunctionObject*>(function)->func_builtins;
}

// Whether importlib is loaded and import_module its own.
int importlib_loaded(PyObject* modules, PyObject* importlib, PyObject* import_module,
                     PyObject* names, PyObject** bootstrap) {
  PyObject *loaded, *frozen, *file;
  PyObject* importlib_dict = PyModule_CheckExact(importlib) ? PyModule_GetDict(importlib) : nullptr;
  if (importlib_dict == nullptr || !PyFunction_Check(import_module) ||
      PyFunction_GET_GLOBALS(import_module) != importlib_dict) {
    return 0;
  }
  if (entries(modules, {{"importlib", &loaded}, {"_frozen_importlib", &frozen}}) < 0 ||
      entries(importlib_dict, {{"__file__", &file}, {"_bootstrap", bootstrap}}) < 0) {
    return -1;
  }
  if (loaded != importlib || file == nullptr || *bootstrap == nullptr || frozen != *bootstrap ||
      !PyModule_CheckExact(*bootstrap)) {
    return 0;
  }
  return watch_function(import_module, file, names);
}

// What _bootstrap's path reads, with its module locks, _imp.lock_held and
// ModuleSpec; `*find_and_load`: the function whose builtins it runs with.
int bootstrap_parts(PyObject* modules, PyObject* globals, PyObject** find_and_load) {
  PyObject *module_locks, *sys, *imp, *module_spec, *loaded_sys, *prefix;
  if (entries(globals, {{"_find_and_load", find_and_load},
                        {"_module_locks", &module_locks},
                        {"sys", &sys},
                        {"_imp", &imp},
                        {"ModuleSpec", &module_spec}}) < 0 ||
      entry(modules, "sys", &loaded_sys) < 0 || message_prefix(globals, &prefix) < 0) {
    return -1;
  }
  if (*find_and_load == nullptr || !PyFunction_Check(*find_and_load) || module_locks == nullptr ||
      !PyDict_CheckExact(module_locks) || sys == nullptr || loaded_sys != sys ||
      !PyModule_CheckExact(sys) || imp == nullptr || module_spec == nullptr ||
      !PyType_Check(module_spec) || prefix == nullptr) {
    return 0;
  }
  PyTypeObject* spec_class = reinterpret_cast<PyTypeObject*>(module_spec);
  if (spec_class->tp_getattro != PyObject_GenericGetAttr ||
      _PyType_Lookup(spec_class, initializing_name.get()) != nullptr) {
    return 0;
  }
  Ref lock_held = Ref::steal(PyObject_GetAttrString(imp, "lock_held"));
  if (!lock_held) return -1;
  if (!PyCFunction_Check(lock_held.get())) return 0;
  if (hold(module_locks) < 0 || hold(sys) < 0 || hold(prefix) < 0 || hold(lock_held.get()) < 0 ||
      hold(module_spec) < 0) {
    return -1;
  }
  import_system.module_locks = module_locks;
  import_system.sys = sys;
  import_system.prefix = prefix;
  import_system.lock_held = lock_held.get();
  import_system.module_spec = module_spec;
  return 1;
}

// The exceptions the path raises and catches are the interpreter's own.
int own_exceptions(PyObject* builtins) {
  PyObject *not_found, *attribute_error;
  if (entries(builtins,
              {{"ModuleNotFoundError", &not_found}, {"AttributeError", &attribute_error}}) < 0) {
    return -1;
  }
  return not_found == PyExc_ModuleNotFoundError && attribute_error == PyExc_AttributeError;
}

// Whether the import system is the interpreter's own, taking what the
// shortcut relies on if it is.
int capture(PyObject* importlib, PyObject* import_module) {
  PyObject* modules = interpreter_modules();
  Ref names = Ref::steal(PySet_New(nullptr));
  if (!names) return -1;
  PyObject *bootstrap, *find_and_load;
  int standard =
      modules ? importlib_loaded(modules, importlib, import_module, names.get(), &bootstrap) : 0;
  if (standard <= 0) return standard;
  PyObject* globals = PyModule_GetDict(bootstrap);
  // import_module reads only `_bootstrap` of its globals on this path; its
  // builtins are those of _bootstrap's code.
  standard = bootstrap_parts(modules, globals, &find_and_load);
  if (standard > 0) standard = watch_bootstrap(globals, names.get());
  if (standard > 0) standard = watch_importlib(importlib, bootstrap);
  if (standard > 0) standard = watch_builtins(builtins_of(find_and_load), globals, names.get());
  if (standard > 0) standard = capture_functions(import_system.sys);
  if (standard > 0) standard = own_exceptions(builtins_of(find_and_load));
  if (standard <= 0) return standard;
  if (hold(importlib) < 0 || hold(import_module) < 0) return -1;
  import_system.importlib = importlib;
  import_system.import_module = import_module;
  return 1;
}

int capture_once(PyObject* importlib, PyObject* import_module) {
  // What an attempt that an error cut short took is dropped with its references.
  import_system.functions.clear();
  import_system.classes.clear();
  import_system.namespaces.clear();
  Ref list = Ref::steal(PyList_New(0));
  Ref getattr_text = text("__getattr__");
  Ref initializing_text = text("_initializing");
  Ref audit_text = text("audit");
  Ref file_text = text("<frozen importlib._bootstrap>");
  if (!list || !getattr_text || !initializing_text || !audit_text || !file_text) return -1;
  kept.keep(std::move(list));
  getattr_name.keep(std::move(getattr_text));
  initializing_name.keep(std::move(initializing_text));
  audit_name.keep(std::move(audit_text));
  bootstrap_file.keep(std::move(file_text));
#if PY_VERSION_HEX >= 0x030C0000
  if (watcher < 0) watcher = PyDict_AddWatcher(note_change);
  // With every watcher taken, the import system is asked at every call.
  if (watcher < 0) return clear_if_ordinary() ? 0 : -1;
#endif
  return capture(importlib, import_module);
}

// Whether the namespace holds what it held.
int same_contents(const WatchedNamespace& watched) {
  if (!only_str_keys(watched.dict)) return 0;
  if (watched.snapshot != nullptr) {
    if (PyDict_GET_SIZE(watched.dict) != PyDict_GET_SIZE(watched.snapshot)) return 0;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(watched.snapshot, &position, &key, &value)) {
      PyObject* now = PyDict_GetItemWithError(watched.dict, key);
      if (now != value) return now == nullptr && PyErr_Occurred() ? -1 : 0;
    }
  }
  for (size_t i = 0; i < watched.names.size(); ++i) {
    PyObject* now = PyDict_GetItemWithError(watched.dict, watched.names[i]);
    if (now != watched.values[i]) return now == nullptr && PyErr_Occurred() ? -1 : 0;
  }
  return 1;
}

// Whether every watched namespace holds what it held: compared again after
// a change, and taken as the new state when it does.
int namespaces_as_captured() {
  bool changed = import_system.changed;
  for (const WatchedNamespace& watched : import_system.namespaces) {
    changed |= version_of(watched.dict) != watched.version;
  }
  if (!changed) return 1;
  for (WatchedNamespace& watched : import_system.namespaces) {
    int same = same_contents(watched);
    if (same <= 0) return same;
  }
  for (WatchedNamespace& watched : import_system.namespaces)
    watched.version = version_of(watched.dict);
  import_system.changed = false;
  return 1;
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

int still_standard(PyObject* importlib, PyObject* import_module) {
  if (!import_system.captured) {
    int standard = capture_once(importlib, import_module);
    // A failed allocation while capturing leaves it for a later call.
    if (standard < 0) return -1;
    import_system.captured = true;
    import_system.standard = standard > 0;
  }
  if (!import_system.standard || importlib != import_system.importlib ||
      import_module != import_system.import_module || !code_as_captured()) {
    return 0;
  }
  return namespaces_as_captured();
}

// Whether anything would see importlib's frames run.
int observed() {
  PyThreadState* thread = PyThreadState_Get();
  if (thread->c_tracefunc != nullptr || thread->c_profilefunc != nullptr) return 1;
#if PY_VERSION_HEX >= 0x030C0000
  for (long tool = 0; tool < 6; ++tool) {
    Ref id = Ref::steal(PyLong_FromLong(tool));
    Ref name = id ? Ref::steal(PyObject_CallOneArg(import_system.get_tool, id.get())) : Ref();
    if (!name) return -1;
    if (name.get() != Py_None) return 1;
  }
#endif
  return 0;
}

// `module`: the module under `name` as reading its namespace sees it, when
// reading an attribute runs no code (an exact module without __getattr__);
// empty otherwise. 0, or -1 with the exception set.
int plain_module(PyObject* modules, PyObject* name, Ref& module) {
  Ref found = Ref::borrow(PyDict_GetItemWithError(modules, name));
  if (!found) return PyErr_Occurred() ? -1 : 0;
  if (!PyModule_CheckExact(found.get())) return 0;
  PyObject* dict = PyModule_GetDict(found.get());
  if (PyDict_GetItemWithError(dict, getattr_name.get()) != nullptr) return 0;
  if (PyErr_Occurred()) return -1;
  module = std::move(found);
  return 0;
}

#if PY_VERSION_HEX >= 0x030F0000
// Whether the module's spec says it is loaded: _HierarchicalLockManager
// takes no lock for it.
int initialized(PyObject* module) {
  Ref spec =
      Ref::borrow(PyDict_GetItemWithError(PyModule_GetDict(module), names::dunder_spec.get()));
  if (!spec) return PyErr_Occurred() ? -1 : 0;
  if (spec.get() == Py_None) return 1;
  if (!Py_IS_TYPE(spec.get(), reinterpret_cast<PyTypeObject*>(import_system.module_spec))) return 0;
  Ref initializing = generic_attribute(spec.get(), initializing_name.get());
  if (!initializing && PyErr_Occurred()) return -1;
  return !initializing || initializing.get() == Py_False;
}

int packages_initialized(PyObject* modules, PyObject* name, Py_ssize_t last_dot) {
  for (Py_ssize_t dot = 0; dot <= last_dot; ++dot) {
    if (PyUnicode_READ_CHAR(name, dot) != '.') continue;
    Ref package = Ref::steal(PyUnicode_Substring(name, 0, dot));
    Ref module;
    if (!package || plain_module(modules, package.get(), module) < 0) return -1;
    int loaded = module ? initialized(module.get()) : 0;
    if (loaded <= 0) return loaded;
  }
  PyObject* audit = PyDict_GetItemWithError(PyModule_GetDict(import_system.sys), audit_name.get());
  if (audit == nullptr && PyErr_Occurred()) return -1;
  // A hook sees the event before the parent's __path__ is read, and could give it one.
  return audit == import_system.audit && !audit_hooks_installed();
}
#else
int packages_initialized(PyObject*, PyObject*, Py_ssize_t) { return 1; }
#endif

// `module`: the parent module, when the import of `name` under it fails for
// certain; empty otherwise. 0, or -1 with the exception set.
int certain_parent(PyObject* name, PyObject* parent, Py_ssize_t dot, Ref& module) {
  PyObject* modules = interpreter_modules();
  if (modules == nullptr) return 0;
  if (PyDict_GetItemWithError(modules, name) != nullptr) return 0;
  Ref found;
  if (PyErr_Occurred() || plain_module(modules, parent, found) < 0) return -1;
  if (!found) return 0;
  PyObject* dict = PyModule_GetDict(found.get());
  if (PyDict_GetItemWithError(dict, names::dunder_path.get()) != nullptr) return 0;
  int initialized = PyErr_Occurred() ? -1 : packages_initialized(modules, name, dot);
  if (initialized > 0) module = std::move(found);
  return initialized < 0 ? -1 : 0;
}

// Whether another thread could make the import system wait for the name.
int locked(PyObject* name) {
  if (PyDict_GetItemWithError(import_system.module_locks, name) != nullptr) return 1;
  if (PyErr_Occurred()) return -1;
  Ref held = Ref::steal(PyObject_CallNoArgs(import_system.lock_held));
  if (!held) return -1;
  return held.get() != Py_False;
}

// 1 when the import of `name` fails for certain, with its parent's name and
// module; 0 when the import system must run; -1 with the exception set.
int fails_for_certain(PyObject* importlib, PyObject* import_module, PyObject* name, Ref& parent,
                      Ref& parent_module) {
  if (!PyUnicode_CheckExact(name)) return 0;
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(name) < 0) return -1;
#endif
  Py_ssize_t length = PyUnicode_GET_LENGTH(name);
  if (length == 0 || PyUnicode_READ_CHAR(name, 0) == '.') return 0;
  Py_ssize_t dot = PyUnicode_FindChar(name, '.', 0, length, -1);
  if (dot < 0) return 0;
  int standard = still_standard(importlib, import_module);
  if (standard <= 0) return standard;
  int seen = observed();
  if (seen != 0) return seen < 0 ? -1 : 0;
  parent = Ref::steal(PyUnicode_Substring(name, 0, dot));
  if (!parent || certain_parent(name, parent.get(), dot, parent_module) < 0) return -1;
  if (!parent_module) return 0;
  int held = locked(name);
  return held < 0 ? -1 : !held;
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

// What the import system does from the point where it takes the module lock:
// true with its exception set, false when it must be asked after all.
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
  Ref parent, parent_module;
  int certain = fails_for_certain(importlib, import_module, name, parent, parent_module);
  if (certain < 0) return !clear_if_ordinary();
  return certain > 0 && fail_as_the_import_system(name, parent.get(), parent_module.get());
}

}  // namespace frame
