#include "relative_misses.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "module_frame/class.hpp"
#include "module_frame/errors.hpp"
#include "module_frame/names.hpp"
#include "module_frame/ref.hpp"
#include "namespace_version.hpp"

// The remembered misses of package-relative imports.
//
// Keyed on: the name imported (one of the module's own interned names, by
// identity); one miss per name, from one importing namespace.
//
// A relative import of `name` from a package's module fails without a search
// again while every input of that search is as it was (each compared by
// identity unless said otherwise; the test in tests/test_relative_imports.py
// that changes it in brackets):
// - the importing namespace, its __package__, its __spec__ and what
//   __spec__.parent is computed from: the property of the spec's class, the
//   spec's name and submodule_search_locations (importlib._bootstrap's
//   _calc___package__ reads these) [package-of-the-namespace];
// - sys.modules: the interpreter's own dict (PyImport_GetModuleDict, which the
//   C import reads) is also the sys.modules that importlib._bootstrap reads,
//   an exact dict; the package's module is the one recorded, and neither the
//   name nor any package between it and the package is in it
//   [module-in-sys-modules, sys-modules-rebound];
// - the package module's __path__ (read at every attempt): the same list,
//   which PathFinder iterates as a list iterates (list's own tp_iter), with
//   the same entries [path-of-the-package, path-iterating-more];
// - sys.meta_path: an exact list of the same finders. For each, `find_spec`
//   read as _find_spec reads it (`finder.find_spec`, an instance attribute
//   included): when that is the import system's own function (its code from
//   "<frozen importlib._bootstrap" and equal to the code the interpreter
//   froze, _imp.get_frozen_object, compared at the miss's first use: code
//   replaced before the miss is another's)
//   [test_a_finder_whose_code_was_replaced_first_is_asked_at_every_call],
//   bound to the same object, with the same
//   code, and the class that it is bound through at the same class version
//   (tp_version_tag, changed by any change of that class or its bases), its
//   answer depends only on what is recorded here; any other find_spec is
//   called at every attempt, and must find nothing again
//   [new-meta-path-entry, meta-path-find-spec-on-the-instance,
//   test_an_unknown_finder_is_asked_at_every_call];
// - sys.path_hooks: an exact list of the same hooks [new-path-hook];
// - sys.path_importer_cache: an exact dict, whose finder for each path entry
//   is the one recorded, with its find_spec unchanged as above, its
//   _path_mtime the same float object, and the directory's modification time
//   now equal to it: FileFinder.find_spec lists the directory again when
//   os.stat(path).st_mtime differs, and importlib.invalidate_caches() sets
//   _path_mtime anew. When recorded, the listing (_path_cache) named nothing
//   the module could be found by [module-placed-in-the-package,
//   invalidate-caches, path-importer-cache-entry,
//   entry-find-spec-on-the-instance].
// - the import system's own namespace, sys.modules["_frozen_importlib"] (an
//   exact module, whose _find_and_load the C import calls for every module
//   not loaded yet, and whose functions the search runs), and its builtins:
//   the same namespace, with nothing in either rebound or added since, by
//   the stamp of namespace_version.cpp (the dicts' version tags before 3.12,
//   a dict watcher from 3.12) [find-and-load-rebound];
// - whether searches print (-v, -X importtime): fixed while a process runs;
//   when they do, nothing is remembered, so the output stays the import
//   system's [test_what_the_import_system_prints_is_printed_at_every_call].
//
// What cannot be watched is never remembered, and the import system is asked
// at every attempt: a finder whose class reads attributes its own way (a
// __getattribute__ or __getattr__), a find_spec that is not the import
// system's, a class without a version, a __path__ that iterates its own way,
// a subclass of list or dict in place of the import system's containers, a
// rebound sys.modules, a path entry that is not a non-empty str, a directory
// whose time cannot be read the way os.stat reads it.
//
// A finder of the program's is asked at every attempt as the import system
// asks it, in its turn; what its find_spec read or call raises is what the
// import raises (an ImportError lets the absolute import follow)
// [test_what_a_finder_asked_again_raises_the_import_raises].
//
// Not watched: the __code__ of _frozen_importlib's functions (replacing it is
// not a change of the namespace), the module-level helpers of importlib._bootstrap_external
// that FileFinder.find_spec calls (_path_stat, _path_join), and a finder's
// instance attributes other than find_spec and _path_mtime: replacing the
// import system's private parts is not seen until an input above changes.
//
// The inputs are compared in the order the search reads them: the meta path
// finders one after the other, and the path entries' finders (with the
// directory's time) where PathFinder's turn comes, so that a finder asked
// before it that places the module is seen
// [finder-before-the-path-finder-places-the-module].
//
// The import system raises an "import" audit event for each name it imports
// before it searches. While any audit hook is installed (or the interpreter
// traces audit events), a hook could change what the search finds, so no
// miss is used and the import system is asked at every attempt
// [audit-hook-places-the-module, test_audit_events_are_those_of_the_import_system];
// with none, the events have no effect and a hit raises none.
//
// The table holds kMisses names; a name past it is never remembered, and the
// import system searches for it at every attempt. Each module imports fewer
// names than that in its body and functions.

namespace frame {

namespace {

// Everything a search that found no module depended on, as it was then. The
// fields are kept in one tuple, so that a check holds all of them with one
// reference while code runs that may remember a miss anew (an asked finder).
enum Field {
  kGlobals,         // the namespace the name was imported from
  kPackage,         // its __package__
  kSpec,            // its __spec__
  kSpecParent,      // what __spec__.parent is computed from: its class's property, its name, its
                    // locations
  kMissing,         // "<package>.<first component of the name>": what was not found
  kSearchedNames,   // the names the import system imports for it, the full name first
  kPackageModule,   // sys.modules[package]
  kPath,            // its __path__, a list
  kPathEntries,     // the entries of that list
  kMetaPath,        // the entries of sys.meta_path
  kFindSpecs,       // per meta path finder: its find_spec as read (see read_find_spec), or None
  kPathHooks,       // the entries of sys.path_hooks
  kEntryFinders,    // per path entry: its finder in sys.path_importer_cache
  kEntryMtimes,     // per path entry: the directory's modification time its finder listed
  kEntryFindSpecs,  // per path entry: its finder's find_spec as read
  kFieldCount,
};

struct Miss {
  KeptRef name;   // the name as imported
  KeptRef state;  // the fields, or null while no miss is remembered
  // The import system's namespace when the miss was remembered, and its stamp then.
  KeptRef bootstrap;
  NamespaceStamp bootstrap_stamp;
};

// A module imports a few names inside its functions.
constexpr int kMisses = 8;
Miss misses[kMisses];

PyObject* field(PyObject* state, Field which) { return PyTuple_GET_ITEM(state, which); }

Miss* miss_for(PyObject* name) {
  for (Miss& miss : misses) {
    if (miss.name.get() == name) return &miss;
  }
  for (Miss& miss : misses) {
    if (!miss.name) {
      miss.name.keep(Ref::borrow(name));
      return &miss;
    }
  }
  return nullptr;
}

// -1 until known, then whether searches print (-v, -X importtime): their
// output stays the import system's. The flags are fixed while a process runs.
int searches_print = -1;

// The flag of sys.flags: 0 or 1, or -1 with the exception set.
int sys_flag(const char* name) {
  PyObject* flags = PySys_GetObject("flags");
  if (flags == nullptr) return 1;
  Ref value = Ref::steal(PyObject_GetAttrString(flags, name));
  return value ? PyObject_IsTrue(value.get()) : -1;
}

bool printing_searches() {
  if (searches_print >= 0) return searches_print;
  int verbose = sys_flag("verbose");
  if (verbose != 0) return verbose > 0 ? (searches_print = 1) : true;
  int environment_ignored = sys_flag("ignore_environment");
  PyObject* xoptions = environment_ignored < 0 ? nullptr : PySys_GetObject("_xoptions");
  if (xoptions == nullptr || !PyDict_Check(xoptions)) return true;
  PyObject* importtime = PyDict_GetItemString(xoptions, "importtime");
  const char* variable = environment_ignored ? nullptr : std::getenv("PYTHONPROFILEIMPORTTIME");
  searches_print = importtime != nullptr || (variable != nullptr && variable[0] != '\0');
  return searches_print;
}

// Whether iterating `list` gives its items as the list holds them.
bool iterates_as_list(PyObject* list) {
  return list != nullptr && PyList_Check(list) && Py_TYPE(list)->tp_iter == PyList_Type.tp_iter;
}

// Whether `list` is a list of the items of the tuple `items`, in order, the same objects.
bool same_items(PyObject* list, PyObject* items) {
  Py_ssize_t count = PyList_GET_SIZE(list);
  if (count != PyTuple_GET_SIZE(items)) return false;
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (PyList_GET_ITEM(list, i) != PyTuple_GET_ITEM(items, i)) return false;
  }
  return true;
}

// The items of one of the import system's lists, which it iterates and
// tests for truth: an exact list only.
Ref items_of(PyObject* list) {
  if (list == nullptr || !PyList_CheckExact(list)) return Ref();
  return Ref::steal(PyList_AsTuple(list));
}

// Clears an ordinary error and returns `answer`; an error of another kind
// stays pending (the caller returns at once, and the top level sees it).
template <typename T>
T answer_after_error(T answer) {
  clear_if_ordinary();
  return answer;
}

// The attribute as the namespace of a class written in Python holds it
// (borrowed); null when it holds none, or with an exception.
PyObject* class_attribute(PyTypeObject* type, PyObject* name) {
  if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) || type->tp_dict == nullptr) return nullptr;
  return PyDict_GetItemWithError(type->tp_dict, name);
}

// Whether `function` has code from the import system's files. Whether that
// code is also what the interpreter froze is asked when the miss is first
// used (frozen_once): reading the frozen code takes about a millisecond,
// which the modules' own imports, each recording a miss, would pay otherwise.
bool import_system_file(PyObject* function) {
  if (!PyFunction_Check(function)) return false;
  PyObject* file = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(function))->co_filename;
  const char* text = PyUnicode_Check(file) ? PyUnicode_AsUTF8(file) : nullptr;
  constexpr char kImportSystem[] = "<frozen importlib._bootstrap";
  if (text == nullptr) return answer_after_error(false);
  return std::strncmp(text, kImportSystem, sizeof kImportSystem - 1) == 0;
}

// The code objects found equal to frozen ones, held so that none is freed and
// its address reused: a code object never changes, so the answer stands.
// The import system's finders have four find_spec codes; past the table's
// size each is compared again at each use.
KeptRef frozen_codes_seen[8];

// Whether `code` is what the interpreter froze; false with an exception that
// is not ordinary.
bool frozen_once(PyObject* code) {
  for (const KeptRef& seen : frozen_codes_seen) {
    if (seen.get() == code) return true;
  }
  if (frozen_import_code(code) <= 0) return false;
  for (KeptRef& seen : frozen_codes_seen) {
    if (!seen) {
      seen.keep(Ref::borrow(code));
      break;
    }
  }
  return true;
}

// Whether reading an attribute of `finder` runs only the interpreter's
// generic lookup: no __getattribute__ or __getattr__ of the program's.
bool reads_generically(PyObject* finder) {
  getattrofunc reader = Py_TYPE(finder)->tp_getattro;
  return PyType_Check(finder) ? reader == PyType_Type.tp_getattro
                              : reader == PyObject_GenericGetAttr;
}

// `finder.find_spec` as the import system reads it, when that is its own
// function bound to an object: (the function, that object, the function's
// code, the version of the class the method was found through). None when it
// is anything else; null with an exception that is not ordinary.
Ref read_find_spec(PyObject* finder) {
  if (!reads_generically(finder)) return Ref::borrow(Py_None);
  Ref method = Ref::steal(PyObject_GetAttr(finder, names::find_spec.get()));
  if (!method) return clear_if_ordinary() ? Ref::borrow(Py_None) : Ref();
  if (!PyMethod_Check(method.get())) return Ref::borrow(Py_None);
  PyObject* function = PyMethod_GET_FUNCTION(method.get());
  PyObject* self = PyMethod_GET_SELF(method.get());
  if (!import_system_file(function)) return PyErr_Occurred() ? Ref() : Ref::borrow(Py_None);
  auto* owner = PyType_Check(self) ? reinterpret_cast<PyTypeObject*>(self) : Py_TYPE(self);
  unsigned int version = class_version(owner);
  if (version == 0) return Ref::borrow(Py_None);
  Ref version_number = Ref::steal(PyLong_FromUnsignedLong(version));
  if (!version_number) return answer_after_error(Ref());
  return Ref::steal(
      PyTuple_Pack(4, function, self, PyFunction_GET_CODE(function), version_number.get()));
}

// Whether `finder.find_spec`, read again, is what `recorded` holds, with the
// code the interpreter froze (the function first: its code is read only once
// it is the import system's).
bool same_find_spec(PyObject* finder, PyObject* recorded) {
  if (!reads_generically(finder)) return false;
  Ref method = Ref::steal(PyObject_GetAttr(finder, names::find_spec.get()));
  if (!method || !PyMethod_Check(method.get())) return false;
  PyObject* function = PyMethod_GET_FUNCTION(method.get());
  PyObject* self = PyMethod_GET_SELF(method.get());
  auto* owner = PyType_Check(self) ? reinterpret_cast<PyTypeObject*>(self) : Py_TYPE(self);
  return function == PyTuple_GET_ITEM(recorded, 0) && self == PyTuple_GET_ITEM(recorded, 1) &&
         PyFunction_GET_CODE(function) == PyTuple_GET_ITEM(recorded, 2) &&
         class_version(owner) == PyLong_AsUnsignedLong(PyTuple_GET_ITEM(recorded, 3)) &&
         frozen_once(PyFunction_GET_CODE(function));
}

// The modification time of a directory as os.stat(path).st_mtime gives it,
// read with the system call itself (the C library's stat functions are
// versioned symbols newer than the oldest C library supported): -1 when the
// call fails (FileFinder takes any OSError as -1), NaN, equal to nothing,
// where it cannot be read the same way.
double directory_mtime(PyObject* finder) {
  Ref path = Ref::steal(PyObject_GetAttr(finder, names::path.get()));
  if (!path) return answer_after_error(NAN);
  if (!PyUnicode_Check(path.get()) || PyUnicode_GetLength(path.get()) == 0) return NAN;
  Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(path.get()));
  if (!encoded) return answer_after_error(NAN);
  const char* text = PyBytes_AS_STRING(encoded.get());
  // os.stat refuses a path with a NUL with ValueError, which FileFinder does not take.
  if (std::strlen(text) != static_cast<size_t>(PyBytes_GET_SIZE(encoded.get()))) return NAN;
#ifdef SYS_newfstatat
  struct stat status;
  if (syscall(SYS_newfstatat, AT_FDCWD, text, &status, 0) != 0) return -1;
  return static_cast<double>(status.st_mtim.tv_sec) + status.st_mtim.tv_nsec * 1e-9;
#else
  return NAN;
#endif
}

// 0 when the file finder's listing holds nothing the module could be found
// by (its name, or its name with one of the finder's suffixes): a search that
// finds such an entry looks at the disk beyond the listing.
int listing_names_it(PyObject* finder, PyObject* tail) {
  Ref listing = Ref::steal(PyObject_GetAttr(finder, names::path_cache.get()));
  if (!listing) return -1;
  Ref loaders = Ref::steal(PyObject_GetAttr(finder, names::loaders.get()));
  if (!loaders || !PyAnySet_Check(listing.get()) || !PyList_Check(loaders.get())) return -1;
  int found = PySet_Contains(listing.get(), tail);
  for (Py_ssize_t i = 0; found == 0 && i < PyList_GET_SIZE(loaders.get()); ++i) {
    PyObject* loader = PyList_GET_ITEM(loaders.get(), i);
    if (!PyTuple_Check(loader) || PyTuple_GET_SIZE(loader) < 1) return -1;
    Ref with_suffix = Ref::steal(PyUnicode_Concat(tail, PyTuple_GET_ITEM(loader, 0)));
    found = with_suffix ? PySet_Contains(listing.get(), with_suffix.get()) : -1;
  }
  return found;
}

// What __spec__.parent is computed from: the property of the spec's class
// and the spec's own name and locations (None when absent).
Ref parent_inputs(PyObject* spec) {
  PyObject* property = class_attribute(Py_TYPE(spec), names::parent.get());
  if (property == nullptr) return Ref();
  Ref attributes = Ref::steal(PyObject_GenericGetDict(spec, nullptr));
  if (!attributes || !PyDict_Check(attributes.get())) return Ref();
  PyObject* name = PyDict_GetItemWithError(attributes.get(), names::name.get());
  if (name == nullptr && PyErr_Occurred()) return Ref();
  PyObject* locations =
      PyDict_GetItemWithError(attributes.get(), names::submodule_search_locations.get());
  if (locations == nullptr && PyErr_Occurred()) return Ref();
  return Ref::steal(
      PyTuple_Pack(3, property, name ? name : Py_None, locations ? locations : Py_None));
}

// Whether `globals` resolves a relative import against `package` without a
// word from the import system: its __package__ and __spec__ are those given,
// and __spec__.parent agrees (computed from what `parent` holds).
bool resolves_to(PyObject* globals, PyObject* package, PyObject* spec, PyObject* parent) {
  if (PyDict_GetItemWithError(globals, names::dunder_package.get()) != package ||
      PyDict_GetItemWithError(globals, names::dunder_spec.get()) != spec) {
    return false;
  }
  Ref inputs = parent_inputs(spec);
  if (!inputs) return false;
  for (Py_ssize_t i = 0; i < 3; ++i) {
    if (PyTuple_GET_ITEM(inputs.get(), i) != PyTuple_GET_ITEM(parent, i)) return false;
  }
  return true;
}

// The same, when the spec's parent is first read: the property runs.
bool agrees_with_spec(PyObject* package, PyObject* spec) {
  Ref parent = Ref::steal(PyObject_GetAttr(spec, names::parent.get()));
  return parent && PyObject_RichCompareBool(parent.get(), package, Py_EQ) == 1;
}

// The dict of the module objects, when the C import and importlib read the
// same one: the interpreter's own, bound as sys.modules (borrowed).
PyObject* modules_dict();

// The finders of the package's path entries, with the directory times they
// listed at and their find_spec: each must be the import system's file
// finder, whose listing names nothing like the module.
bool record_entry_finders(PyObject* state, PyObject* entries, PyObject* tail) {
  PyObject* importer_cache = PySys_GetObject("path_importer_cache");
  if (importer_cache == nullptr || !PyDict_CheckExact(importer_cache)) return false;
  Py_ssize_t count = PyTuple_GET_SIZE(entries);
  Ref finders = Ref::steal(PyTuple_New(count));
  if (!finders) return false;
  Ref mtimes = Ref::steal(PyTuple_New(count));
  if (!mtimes) return false;
  Ref find_specs = Ref::steal(PyTuple_New(count));
  if (!find_specs) return false;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* entry = PyTuple_GET_ITEM(entries, i);
    if (!PyUnicode_CheckExact(entry) || PyUnicode_GetLength(entry) == 0) return false;
    PyObject* finder = PyDict_GetItemWithError(importer_cache, entry);
    if (finder == nullptr || finder == Py_None) return false;
    Ref find_spec = read_find_spec(finder);
    if (!find_spec || find_spec.get() == Py_None) return false;
    Ref mtime = Ref::steal(PyObject_GetAttr(finder, names::path_mtime.get()));
    if (!mtime || !PyFloat_CheckExact(mtime.get()) || listing_names_it(finder, tail) != 0) {
      return false;
    }
    PyTuple_SET_ITEM(finders.get(), i, Py_NewRef(finder));
    PyTuple_SET_ITEM(mtimes.get(), i, mtime.release());
    PyTuple_SET_ITEM(find_specs.get(), i, find_spec.release());
  }
  PyTuple_SET_ITEM(state, kEntryFinders, finders.release());
  PyTuple_SET_ITEM(state, kEntryMtimes, mtimes.release());
  PyTuple_SET_ITEM(state, kEntryFindSpecs, find_specs.release());
  return true;
}

Ref find_specs_of(PyObject* meta_path) {
  Py_ssize_t count = PyTuple_GET_SIZE(meta_path);
  Ref find_specs = Ref::steal(PyTuple_New(count));
  for (Py_ssize_t i = 0; find_specs && i < count; ++i) {
    Ref find_spec = read_find_spec(PyTuple_GET_ITEM(meta_path, i));
    if (!find_spec) return Ref();
    PyTuple_SET_ITEM(find_specs.get(), i, find_spec.release());
  }
  return find_specs;
}

// The names the import system imports when `name` misses from `package`:
// "<package>.<name>", then each of its packages down to
// "<package>.<first component>", which is what it did not find.
Ref searched_names(PyObject* package, PyObject* name) {
  Ref full_name = Ref::steal(PyUnicode_FromFormat("%U.%U", package, name));
  if (!full_name) return Ref();
  Ref searched = Ref::steal(PyList_New(0));
  if (!searched) return Ref();
  Py_ssize_t first_dot = PyUnicode_GET_LENGTH(package);
  Py_ssize_t end = PyUnicode_GET_LENGTH(full_name.get());
  while (end > first_dot) {
    Ref prefix = Ref::steal(PyUnicode_Substring(full_name.get(), 0, end));
    if (!prefix || PyList_Append(searched.get(), prefix.get()) < 0) return Ref();
    end = PyUnicode_FindChar(full_name.get(), '.', first_dot + 1, end, -1);
    if (end == -2) return Ref();
    if (end < 0) break;
  }
  return Ref::steal(PyList_AsTuple(searched.get()));
}

// Whether `modules` holds none of the names.
bool holds_none_of(PyObject* modules, PyObject* searched) {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(searched); ++i) {
    if (PyDict_GetItemWithError(modules, PyTuple_GET_ITEM(searched, i)) != nullptr ||
        PyErr_Occurred()) {
      return false;
    }
  }
  return true;
}

// What the import system reads of the importing namespace, when it
// resolves the relative name without asking anything else; false otherwise.
bool record_namespace(PyObject* state, PyObject* globals, PyObject* name) {
  PyObject* package = PyDict_GetItemWithError(globals, names::dunder_package.get());
  if (package == nullptr || !PyUnicode_CheckExact(package)) return false;
  PyObject* spec = PyDict_GetItemWithError(globals, names::dunder_spec.get());
  if (spec == nullptr || !agrees_with_spec(package, spec)) return false;
  Ref parent = parent_inputs(spec);
  if (!parent) return false;
  Ref searched = searched_names(package, name);
  if (!searched) return false;
  PyTuple_SET_ITEM(state, kGlobals, Py_NewRef(globals));
  PyTuple_SET_ITEM(state, kPackage, Py_NewRef(package));
  PyTuple_SET_ITEM(state, kSpec, Py_NewRef(spec));
  PyTuple_SET_ITEM(state, kSpecParent, parent.release());
  PyTuple_SET_ITEM(
      state, kMissing,
      Py_NewRef(PyTuple_GET_ITEM(searched.get(), PyTuple_GET_SIZE(searched.get()) - 1)));
  PyTuple_SET_ITEM(state, kSearchedNames, searched.release());
  return true;
}

// Whether `error` says that the import system searched for what the state
// names as missing and found nothing.
bool searched_and_missed(PyObject* state, PyObject* error) {
  if (!PyObject_TypeCheck(error, reinterpret_cast<PyTypeObject*>(PyExc_ModuleNotFoundError))) {
    return false;
  }
  Ref error_name = Ref::steal(PyObject_GetAttr(error, names::name.get()));
  return error_name &&
         PyObject_RichCompareBool(error_name.get(), field(state, kMissing), Py_EQ) == 1;
}

// What the search read of the package and of sys: its module and __path__,
// the meta path with its finders' find_spec, the path hooks and the finders
// of the path entries.
bool record_search(PyObject* state, PyObject* tail) {
  PyObject* modules = modules_dict();
  if (modules == nullptr) return false;
  PyObject* package_module = PyDict_GetItemWithError(modules, field(state, kPackage));
  if (package_module == nullptr) return false;
  Ref path = Ref::steal(PyObject_GetAttr(package_module, names::dunder_path.get()));
  if (!iterates_as_list(path.get())) return false;
  Ref path_entries = Ref::steal(PyList_AsTuple(path.get()));
  if (!path_entries) return false;
  Ref meta_path = items_of(PySys_GetObject("meta_path"));
  if (!meta_path || PyTuple_GET_SIZE(meta_path.get()) == 0) return false;
  Ref path_hooks = items_of(PySys_GetObject("path_hooks"));
  if (!path_hooks) return false;
  Ref find_specs = find_specs_of(meta_path.get());
  if (!find_specs || !record_entry_finders(state, path_entries.get(), tail)) return false;
  PyTuple_SET_ITEM(state, kPackageModule, Py_NewRef(package_module));
  PyTuple_SET_ITEM(state, kPath, path.release());
  PyTuple_SET_ITEM(state, kPathEntries, path_entries.release());
  PyTuple_SET_ITEM(state, kMetaPath, meta_path.release());
  PyTuple_SET_ITEM(state, kFindSpecs, find_specs.release());
  PyTuple_SET_ITEM(state, kPathHooks, path_hooks.release());
  return true;
}

// The fields of a miss of `name`, when `error` says that the import system
// searched for the name's first component and found nothing; else null
// (with an exception when one arose).
Ref record(PyObject* globals, PyObject* name, PyObject* error) {
  if (printing_searches()) return Ref();
  Ref state = Ref::steal(PyTuple_New(kFieldCount));
  if (!state || !record_namespace(state.get(), globals, name) ||
      !searched_and_missed(state.get(), error)) {
    return Ref();
  }
  Ref components = Ref::steal(PyUnicode_Split(name, names::dot.get(), 1));
  if (!components) return Ref();
  if (!record_search(state.get(), PyList_GET_ITEM(components.get(), 0))) return Ref();
  return state;
}

// The namespace of sys that the import system reads, taken once: looking its
// entries up by interned name saves making a str per lookup.
KeptRef sys_namespace;

PyObject* sys_attribute(const Name& name) {
  if (!sys_namespace) {
    // The module in sys.modules, when its namespace is the one PySys_GetObject reads.
    PyObject* sys = PyDict_GetItemWithError(PyImport_GetModuleDict(), names::sys.get());
    PyObject* namespace_ = sys && PyModule_Check(sys) ? PyModule_GetDict(sys) : nullptr;
    if (namespace_ == nullptr) return nullptr;
    PyObject* meta_path = PyDict_GetItemWithError(namespace_, names::meta_path.get());
    if (meta_path == nullptr || meta_path != PySys_GetObject("meta_path")) return nullptr;
    sys_namespace.keep(Ref::borrow(namespace_));
  }
  return PyDict_GetItemWithError(sys_namespace.get(), name.get());
}

PyObject* modules_dict() {
  PyObject* modules = PyImport_GetModuleDict();
  if (!PyDict_CheckExact(modules) || sys_attribute(names::modules) != modules) return nullptr;
  return modules;
}

// What the import system reads of sys, as it is now.
struct ImportState {
  Ref meta_path = Ref::borrow(sys_attribute(names::meta_path));
  Ref path_hooks = Ref::borrow(PyErr_Occurred() ? nullptr : sys_attribute(names::path_hooks));
  Ref importer_cache =
      Ref::borrow(PyErr_Occurred() ? nullptr : sys_attribute(names::path_importer_cache));
};

// Whether each path entry's finder is the one recorded and would not list
// its directory again: the same listing as then.
bool same_entry_finders(PyObject* state, PyObject* importer_cache) {
  if (importer_cache == nullptr || !PyDict_CheckExact(importer_cache)) return false;
  PyObject* entries = field(state, kPathEntries);
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(entries); ++i) {
    PyObject* finder = PyTuple_GET_ITEM(field(state, kEntryFinders), i);
    PyObject* listed_at = PyTuple_GET_ITEM(field(state, kEntryMtimes), i);
    if (PyDict_GetItemWithError(importer_cache, PyTuple_GET_ITEM(entries, i)) != finder ||
        !same_find_spec(finder, PyTuple_GET_ITEM(field(state, kEntryFindSpecs), i))) {
      return false;
    }
    Ref mtime = Ref::steal(PyObject_GetAttr(finder, names::path_mtime.get()));
    if (mtime.get() != listed_at || directory_mtime(finder) != PyFloat_AS_DOUBLE(listed_at)) {
      return false;
    }
  }
  return true;
}

// Whether `own`, a find_spec as read_find_spec records it, is PathFinder's:
// of the import system's meta path finders, only its search asks the finders
// of the path entries, and only it comes from importlib._bootstrap_external.
bool searches_path_entries(PyObject* own) {
  PyObject* file = reinterpret_cast<PyCodeObject*>(PyTuple_GET_ITEM(own, 2))->co_filename;
  return PyUnicode_Check(file) &&
         PyUnicode_CompareWithASCIIString(file, "<frozen importlib._bootstrap_external>") == 0;
}

// A finder of the program's, asked as _find_spec asks it: `finder.find_spec`
// read, then called. 1 when it finds nothing; 0 when it finds something, or
// has no find_spec (before 3.12 the import system then tries find_module);
// -1 with what the read or the call raised, which the import raises.
int finds_nothing(PyObject* finder, PyObject* state) {
  Ref find_spec = Ref::steal(PyObject_GetAttr(finder, names::find_spec.get()));
  if (!find_spec) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();  // the AttributeError only: the import system takes it
    return 0;
  }
  PyObject* find_args[] = {field(state, kMissing), field(state, kPath), Py_None};
  Ref spec = Ref::steal(PyObject_Vectorcall(find_spec.get(), find_args, 3, nullptr));
  if (!spec) return -1;
  return spec.get() == Py_None;
}

// Whether the meta path finders are those recorded, each in its turn: the
// import system's own unchanged (PathFinder with its path entries' finders),
// and every other one, asked now, still finding nothing. 1 or 0, or -1 with
// what a finder of the program's raised.
int same_meta_path(PyObject* state, const ImportState& now) {
  PyObject* finders = field(state, kMetaPath);
  PyObject* meta_path = now.meta_path.get();
  if (meta_path == nullptr || !PyList_CheckExact(meta_path) || !same_items(meta_path, finders)) {
    return 0;
  }
  bool entries_compared = false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(finders); ++i) {
    PyObject* finder = PyTuple_GET_ITEM(finders, i);
    PyObject* own = PyTuple_GET_ITEM(field(state, kFindSpecs), i);
    if (own != Py_None) {
      if (!same_find_spec(finder, own)) return 0;
      if (searches_path_entries(own)) {
        if (!same_entry_finders(state, now.importer_cache.get())) return 0;
        entries_compared = true;
      }
      continue;
    }
    int nothing = finds_nothing(finder, state);
    if (nothing <= 0) return nothing;
  }
  return entries_compared || same_entry_finders(state, now.importer_cache.get());
}

// Whether the package and its __path__ are those recorded, and nothing the
// import would find first is in sys.modules.
bool same_package(PyObject* state) {
  PyObject* modules = modules_dict();
  if (modules == nullptr || !holds_none_of(modules, field(state, kSearchedNames)) ||
      PyDict_GetItemWithError(modules, field(state, kPackage)) != field(state, kPackageModule)) {
    return false;
  }
  Ref path = Ref::steal(PyObject_GetAttr(field(state, kPackageModule), names::dunder_path.get()));
  return path.get() == field(state, kPath) && same_items(path.get(), field(state, kPathEntries));
}

// 1 when nothing the miss depended on has changed, 0 when something has (an
// ordinary error of the reads here may be pending), -1 with what a finder of
// the program's raised.
int unchanged(PyObject* state, PyObject* globals, const ImportState& now) {
  if (PyErr_Occurred() || printing_searches() || field(state, kGlobals) != globals ||
      !resolves_to(globals, field(state, kPackage), field(state, kSpec),
                   field(state, kSpecParent)) ||
      !same_package(state)) {
    return 0;
  }
  PyObject* path_hooks = now.path_hooks.get();
  if (path_hooks == nullptr || !PyList_CheckExact(path_hooks) ||
      !same_items(path_hooks, field(state, kPathHooks))) {
    return 0;
  }
  return same_meta_path(state, now);
}

// The converter of the probe's one argument: notes that the arguments are
// being built, and fails the build, so that no hook is called.
PyObject* note_arguments_built(void* built) {
  *static_cast<bool*>(built) = true;
  PyErr_SetNone(PyExc_RuntimeError);
  return nullptr;
}

}  // namespace

bool audit_hooks_installed() noexcept {
  // PySys_Audit returns at once while no hook is installed and audit events
  // are not traced; otherwise it builds the event's arguments first, before
  // it calls any hook. A hook is never called without those arguments, so a
  // build that did not start means that no hook would see an event now.
  bool built = false;
  if (PySys_Audit("dravolt_common.audit_probe", "O&", note_arguments_built, &built) < 0) {
    PyErr_Clear();  // the probe's own RuntimeError
  }
  return built;
}

PyObject* interpreter_modules() noexcept { return modules_dict(); }

namespace {

// The namespace of the import system that the C import calls into (its
// _find_and_load, read from _frozen_importlib for every module not loaded
// yet) and that namespace's builtins (borrowed); false when they are not
// plain module namespaces, or with an exception.
bool bootstrap_namespaces(PyObject** globals, PyObject** builtins) {
  PyObject* modules = modules_dict();
  PyObject* bootstrap =
      modules ? PyDict_GetItemWithError(modules, names::frozen_importlib.get()) : nullptr;
  if (bootstrap == nullptr || !PyModule_CheckExact(bootstrap)) return false;
  *globals = PyModule_GetDict(bootstrap);
  PyObject* found = PyDict_GetItemWithError(*globals, names::dunder_builtins.get());
  if (found != nullptr && PyModule_CheckExact(found)) found = PyModule_GetDict(found);
  *builtins = found;
  return found != nullptr && PyDict_CheckExact(found);
}

// Keeps the import system's namespace with the miss, and its stamp: false
// when it cannot be watched, and nothing is remembered.
bool stamp_bootstrap(Miss& miss) {
  PyObject *globals, *builtins;
  if (!bootstrap_namespaces(&globals, &builtins) || watch_builtins(builtins) < 0 ||
      !stamp_to_keep(globals, builtins, miss.bootstrap_stamp)) {
    return false;
  }
  miss.bootstrap.keep(Ref::borrow(globals));
  return true;
}

// Whether the import system's namespace and its builtins are as they were
// when the miss was remembered: no name of theirs rebound, none added.
bool same_import_system(const Miss& miss) {
  PyObject *globals, *builtins;
  return bootstrap_namespaces(&globals, &builtins) && globals == miss.bootstrap.get() &&
         current_stamp(globals, builtins) == miss.bootstrap_stamp;
}

// Every code object of the two modules, as the interpreter froze them, read
// once.
KeptRef frozen_codes;

// Adds `code` and the code nested in it to `into`: 0, or -1 with the
// exception set.
int add_codes(PyObject* code, PyObject* into) {
  if (PySet_Add(into, code) < 0) return -1;
  Ref constants = Ref::steal(PyObject_GetAttrString(code, "co_consts"));
  if (!constants) return -1;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(constants.get()); ++i) {
    PyObject* constant = PyTuple_GET_ITEM(constants.get(), i);
    if (PyCode_Check(constant) && add_codes(constant, into) < 0) return -1;
  }
  return 0;
}

// The frozen code through _imp.get_frozen_object, when that is the built-in
// module's own function: 1, 0 when it cannot be read, or -1 with the
// exception set.
int read_frozen_codes() {
  Ref imp = Ref::steal(PyImport_ImportModule("_imp"));
  if (!imp) return clear_if_ordinary() ? 0 : -1;
  Ref get_frozen_object = Ref::steal(PyObject_GetAttrString(imp.get(), "get_frozen_object"));
  if (!get_frozen_object) return clear_if_ordinary() ? 0 : -1;
  if (!PyCFunction_Check(get_frozen_object.get()) ||
      PyCFunction_GET_SELF(get_frozen_object.get()) != imp.get()) {
    return 0;
  }
  Ref codes = Ref::steal(PySet_New(nullptr));
  if (!codes) return -1;
  for (const char* module : {"_frozen_importlib", "_frozen_importlib_external"}) {
    Ref code = Ref::steal(PyObject_CallFunction(get_frozen_object.get(), "s", module));
    if (!code) return clear_if_ordinary() ? 0 : -1;
    if (!PyCode_Check(code.get())) return 0;
    if (add_codes(code.get(), codes.get()) < 0) return -1;
  }
  frozen_codes.keep(std::move(codes));
  return 1;
}

}  // namespace

int frozen_import_code(PyObject* code) noexcept {
  if (!frozen_codes) {
    int read = read_frozen_codes();
    if (read <= 0) return read;
  }
  // A code object's hash and equality read its constants: an ordinary
  // error of a replaced one's makes it another's.
  int frozen = PySet_Contains(frozen_codes.get(), code);
  if (frozen < 0) return clear_if_ordinary() ? 0 : -1;
  return frozen;
}

int known_missing(PyObject* globals, PyObject* name) noexcept {
  Miss* miss = miss_for(name);
  if (miss == nullptr || !miss->state || audit_hooks_installed()) return 0;
  Ref state = Ref::borrow(miss->state.get());
  if (!same_import_system(*miss)) return PyErr_Occurred() && !clear_if_ordinary() ? -1 : 0;
  ImportState now;
  int same = unchanged(state.get(), globals, now);
  if (same < 0) return -1;
  // An ordinary error while comparing leaves the import to the import system.
  if (PyErr_Occurred()) return clear_if_ordinary() ? 0 : -1;
  return same;
}

int remember_missing(PyObject* globals, PyObject* name) noexcept {
  Miss* miss = miss_for(name);
  if (miss == nullptr) return 0;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref state = value && !PyErr_Occurred() ? record(globals, name, value) : Ref();
  if (state && !stamp_bootstrap(*miss)) state = Ref();
  // What interrupted the recording replaces the ImportError, as it would
  // have had it interrupted the import system.
  PyObject *interrupt_type = nullptr, *interrupt = nullptr, *interrupt_traceback = nullptr;
  if (PyErr_Occurred() && !clear_if_ordinary()) {
    PyErr_Fetch(&interrupt_type, &interrupt, &interrupt_traceback);
  }
  miss->state.keep(std::move(state));
  if (interrupt_type == nullptr) {
    PyErr_Restore(type, value, traceback);
    return 0;
  }
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  PyErr_Restore(interrupt_type, interrupt, interrupt_traceback);
  return -1;
}

}  // namespace frame
