#include "relative_misses.hpp"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "module_frame/names.hpp"
#include "module_frame/ref.hpp"

namespace frame {

namespace {

// Everything a search that found no module depended on, as it was then. The
// fields are kept in one tuple, so that a check holds all of them with one
// reference while code runs that may remember a miss anew (an asked finder).
enum Field {
  kGlobals,        // the namespace the name was imported from
  kPackage,        // its __package__
  kSpec,           // its __spec__
  kSpecParent,     // what __spec__.parent is computed from: its class's property, its name, its
                   // locations
  kMissing,        // "<package>.<first component of the name>": what was not found
  kFullName,       // "<package>.<name>": what the import system's audit event names
  kPackageModule,  // sys.modules[package]
  kPath,           // its __path__, a list
  kPathEntries,    // the entries of that list
  kMetaPath,       // the entries of sys.meta_path
  kFindSpecs,      // per meta path finder: the import system's own find_spec, or None
  kPathHooks,      // the entries of sys.path_hooks
  kEntryFinders,   // per path entry: its finder in sys.path_importer_cache
  kEntryMtimes,    // per path entry: the directory's modification time its finder listed
  kFileFindSpec,   // the find_spec of those finders' class
  kFieldCount,
};

struct Miss {
  KeptRef name;   // the name as imported
  KeptRef state;  // the fields, or null while no miss is remembered
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

bool printing_searches() {
  if (searches_print >= 0) return searches_print;
  PyObject* flags = PySys_GetObject("flags");
  PyObject* xoptions = PySys_GetObject("_xoptions");
  Ref verbose = flags ? Ref::steal(PyObject_GetAttrString(flags, "verbose")) : Ref();
  Ref ignore_environment =
      flags ? Ref::steal(PyObject_GetAttrString(flags, "ignore_environment")) : Ref();
  int verbose_flag = verbose ? PyObject_IsTrue(verbose.get()) : -1;
  int environment_ignored = ignore_environment ? PyObject_IsTrue(ignore_environment.get()) : -1;
  if (verbose_flag < 0 || environment_ignored < 0 || xoptions == nullptr ||
      !PyDict_Check(xoptions)) {
    PyErr_Clear();
    return true;
  }
  bool importtime = PyDict_GetItemString(xoptions, "importtime") != nullptr;
  const char* variable = environment_ignored ? nullptr : std::getenv("PYTHONPROFILEIMPORTTIME");
  importtime |= variable != nullptr && variable[0] != '\0';
  searches_print = verbose_flag || importtime;
  return searches_print;
}

// Whether `list` is a list of the items of the tuple `items`, in order, the same objects.
bool same_items(PyObject* list, PyObject* items) {
  if (list == nullptr || !PyList_Check(list)) return false;
  Py_ssize_t count = PyList_GET_SIZE(list);
  if (count != PyTuple_GET_SIZE(items)) return false;
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (PyList_GET_ITEM(list, i) != PyTuple_GET_ITEM(items, i)) return false;
  }
  return true;
}

Ref items_of(PyObject* list) {
  if (list == nullptr || !PyList_Check(list)) return Ref();
  return Ref::steal(PyList_AsTuple(list));
}

// The attribute as the namespace of a class written in Python holds it
// (borrowed); null when it holds none.
PyObject* class_attribute(PyTypeObject* type, PyObject* name) {
  if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) || type->tp_dict == nullptr) return nullptr;
  return PyDict_GetItemWithError(type->tp_dict, name);
}

// The find_spec in the namespace of the class of `finder` (of `finder`
// itself when it is a class), as the class defines it; null when none.
PyObject* class_find_spec(PyObject* finder) {
  PyObject* owner = PyType_Check(finder) ? finder : reinterpret_cast<PyObject*>(Py_TYPE(finder));
  return class_attribute(reinterpret_cast<PyTypeObject*>(owner), names::find_spec.get());
}

// The find_spec of `finder` when that is the import system's own code, whose
// answer for a module of a package depends only on what a miss records;
// None for any other finder, which is asked at every attempt.
Ref own_find_spec(PyObject* finder) {
  Ref find_spec = Ref::borrow(class_find_spec(finder));
  if (!find_spec) return Ref::borrow(Py_None);
  Ref function = Ref::steal(PyObject_GetAttr(find_spec.get(), names::dunder_func.get()));
  if (!function) {
    PyErr_Clear();
    function = Ref::borrow(find_spec.get());
  }
  Ref code = Ref::steal(PyObject_GetAttr(function.get(), names::dunder_code.get()));
  Ref file = code ? Ref::steal(PyObject_GetAttr(code.get(), names::co_filename.get())) : Ref();
  const char* text = file && PyUnicode_Check(file.get()) ? PyUnicode_AsUTF8(file.get()) : nullptr;
  constexpr char kImportSystem[] = "<frozen importlib._bootstrap";
  if (text == nullptr || std::strncmp(text, kImportSystem, sizeof kImportSystem - 1) != 0) {
    PyErr_Clear();
    return Ref::borrow(Py_None);
  }
  return find_spec;
}

// The modification time of a file finder's directory as the finder reads it
// (os.stat(path).st_mtime, or -1 when the stat fails).
double directory_mtime(PyObject* finder) {
  Ref path = Ref::steal(PyObject_GetAttr(finder, names::path.get()));
  const char* text = path && PyUnicode_Check(path.get()) ? PyUnicode_AsUTF8(path.get()) : nullptr;
  struct stat status;
  if (text == nullptr || text[0] == '\0' || stat(text, &status) != 0) {
    PyErr_Clear();
    return -1;
  }
  return static_cast<double>(status.st_mtim.tv_sec) + status.st_mtim.tv_nsec * 1e-9;
}

// 0 when the file finder's listing holds nothing the module could be found
// by (its name, or its name with one of the finder's suffixes): a search that
// finds such an entry looks at the disk beyond the listing.
int listing_names_it(PyObject* finder, PyObject* tail) {
  Ref listing = Ref::steal(PyObject_GetAttr(finder, names::path_cache.get()));
  Ref loaders = Ref::steal(PyObject_GetAttr(finder, names::loaders.get()));
  if (!listing || !loaders || !PyAnySet_Check(listing.get()) || !PyList_Check(loaders.get())) {
    return -1;
  }
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
  Ref attributes = Ref::steal(PyObject_GenericGetDict(spec, nullptr));
  if (property == nullptr || !attributes || !PyDict_Check(attributes.get())) return Ref();
  PyObject* name = PyDict_GetItemWithError(attributes.get(), names::name.get());
  PyObject* locations =
      PyDict_GetItemWithError(attributes.get(), names::submodule_search_locations.get());
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

// The finders of the package's path entries, with the directory times they
// listed at and their class's find_spec: each must be the import system's
// file finder, whose listing names nothing like the module.
bool record_entry_finders(PyObject* state, PyObject* entries, PyObject* tail) {
  PyObject* importer_cache = PySys_GetObject("path_importer_cache");
  if (importer_cache == nullptr || !PyDict_Check(importer_cache)) return false;
  Py_ssize_t count = PyTuple_GET_SIZE(entries);
  Ref finders = Ref::steal(PyTuple_New(count));
  Ref mtimes = Ref::steal(PyTuple_New(count));
  if (!finders || !mtimes) return false;
  Ref file_find_spec;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* entry = PyTuple_GET_ITEM(entries, i);
    if (!PyUnicode_Check(entry) || PyUnicode_GetLength(entry) == 0) return false;
    PyObject* finder = PyDict_GetItemWithError(importer_cache, entry);
    if (finder == nullptr || finder == Py_None) return false;
    Ref find_spec = own_find_spec(finder);
    if (find_spec.get() == Py_None || (file_find_spec && find_spec.get() != file_find_spec.get())) {
      return false;
    }
    Ref mtime = Ref::steal(PyObject_GetAttr(finder, names::path_mtime.get()));
    if (!mtime || !PyFloat_CheckExact(mtime.get()) || listing_names_it(finder, tail) != 0) {
      return false;
    }
    file_find_spec = std::move(find_spec);
    PyTuple_SET_ITEM(finders.get(), i, Py_NewRef(finder));
    PyTuple_SET_ITEM(mtimes.get(), i, mtime.release());
  }
  if (!file_find_spec) return false;
  PyTuple_SET_ITEM(state, kEntryFinders, finders.release());
  PyTuple_SET_ITEM(state, kEntryMtimes, mtimes.release());
  PyTuple_SET_ITEM(state, kFileFindSpec, file_find_spec.release());
  return true;
}

Ref find_specs_of(PyObject* meta_path) {
  Py_ssize_t count = PyTuple_GET_SIZE(meta_path);
  Ref find_specs = Ref::steal(PyTuple_New(count));
  for (Py_ssize_t i = 0; find_specs && i < count; ++i) {
    PyTuple_SET_ITEM(find_specs.get(), i, own_find_spec(PyTuple_GET_ITEM(meta_path, i)).release());
  }
  return find_specs;
}

// The fields of a miss of `name`, when `error` says that the import system
// searched for the name's first component and found nothing; else null.
Ref record(PyObject* globals, PyObject* name, PyObject* error) {
  if (printing_searches()) return Ref();
  if (!PyObject_TypeCheck(error, reinterpret_cast<PyTypeObject*>(PyExc_ModuleNotFoundError))) {
    return Ref();
  }
  PyObject* package = PyDict_GetItemWithError(globals, names::dunder_package.get());
  PyObject* spec = PyDict_GetItemWithError(globals, names::dunder_spec.get());
  if (package == nullptr || !PyUnicode_CheckExact(package) || spec == nullptr ||
      !agrees_with_spec(package, spec)) {
    return Ref();
  }
  Ref parent = parent_inputs(spec);
  if (!parent) return Ref();
  Ref components = Ref::steal(PyUnicode_Split(name, names::dot.get(), 1));
  if (!components) return Ref();
  PyObject* tail = PyList_GET_ITEM(components.get(), 0);
  Ref missing = Ref::steal(PyUnicode_FromFormat("%U.%U", package, tail));
  Ref full_name = Ref::steal(PyUnicode_FromFormat("%U.%U", package, name));
  Ref error_name = Ref::steal(PyObject_GetAttr(error, names::name.get()));
  if (!missing || !full_name || !error_name ||
      PyObject_RichCompareBool(error_name.get(), missing.get(), Py_EQ) != 1) {
    return Ref();
  }

  PyObject* package_module = PyDict_GetItemWithError(PyImport_GetModuleDict(), package);
  Ref path = package_module ? Ref::steal(PyObject_GetAttr(package_module, names::dunder_path.get()))
                            : Ref();
  Ref path_entries = items_of(path.get());
  Ref meta_path = items_of(PySys_GetObject("meta_path"));
  Ref path_hooks = items_of(PySys_GetObject("path_hooks"));
  if (!path_entries || !meta_path || !path_hooks || PyTuple_GET_SIZE(meta_path.get()) == 0) {
    return Ref();
  }
  Ref find_specs = find_specs_of(meta_path.get());
  Ref state = Ref::steal(PyTuple_New(kFieldCount));
  if (!find_specs || !state || !record_entry_finders(state.get(), path_entries.get(), tail)) {
    return Ref();
  }
  PyTuple_SET_ITEM(state.get(), kGlobals, Py_NewRef(globals));
  PyTuple_SET_ITEM(state.get(), kPackage, Py_NewRef(package));
  PyTuple_SET_ITEM(state.get(), kSpec, Py_NewRef(spec));
  PyTuple_SET_ITEM(state.get(), kSpecParent, parent.release());
  PyTuple_SET_ITEM(state.get(), kMissing, missing.release());
  PyTuple_SET_ITEM(state.get(), kFullName, full_name.release());
  PyTuple_SET_ITEM(state.get(), kPackageModule, Py_NewRef(package_module));
  PyTuple_SET_ITEM(state.get(), kPath, path.release());
  PyTuple_SET_ITEM(state.get(), kPathEntries, path_entries.release());
  PyTuple_SET_ITEM(state.get(), kMetaPath, meta_path.release());
  PyTuple_SET_ITEM(state.get(), kFindSpecs, find_specs.release());
  PyTuple_SET_ITEM(state.get(), kPathHooks, path_hooks.release());
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
    if (namespace_ == nullptr || PyDict_GetItemWithError(namespace_, names::meta_path.get()) !=
                                     PySys_GetObject("meta_path")) {
      return nullptr;
    }
    sys_namespace.keep(Ref::borrow(namespace_));
  }
  return PyDict_GetItemWithError(sys_namespace.get(), name.get());
}

// What the import system reads of sys, as it is now.
struct ImportState {
  Ref path = Ref::borrow(sys_attribute(names::path));
  Ref meta_path = Ref::borrow(sys_attribute(names::meta_path));
  Ref path_hooks = Ref::borrow(sys_attribute(names::path_hooks));
  Ref importer_cache = Ref::borrow(sys_attribute(names::path_importer_cache));
};

// Whether each path entry's finder is the one recorded and would not list
// its directory again: the same listing as then.
bool same_entry_finders(PyObject* state, PyObject* importer_cache) {
  if (importer_cache == nullptr || !PyDict_Check(importer_cache)) return false;
  PyObject* entries = field(state, kPathEntries);
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(entries); ++i) {
    PyObject* finder = PyTuple_GET_ITEM(field(state, kEntryFinders), i);
    PyObject* listed_at = PyTuple_GET_ITEM(field(state, kEntryMtimes), i);
    if (PyDict_GetItemWithError(importer_cache, PyTuple_GET_ITEM(entries, i)) != finder ||
        class_find_spec(finder) != field(state, kFileFindSpec)) {
      return false;
    }
    Ref mtime = Ref::steal(PyObject_GetAttr(finder, names::path_mtime.get()));
    if (mtime.get() != listed_at || directory_mtime(finder) != PyFloat_AS_DOUBLE(listed_at)) {
      return false;
    }
  }
  return true;
}

// Whether the meta path finders are those recorded: the import system's own
// unchanged, and every other one, asked now, still finding nothing.
bool same_meta_path(PyObject* state, PyObject* meta_path) {
  PyObject* finders = field(state, kMetaPath);
  if (!same_items(meta_path, finders)) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(finders); ++i) {
    PyObject* finder = PyTuple_GET_ITEM(finders, i);
    PyObject* own = PyTuple_GET_ITEM(field(state, kFindSpecs), i);
    if (own != Py_None) {
      if (class_find_spec(finder) != own) return false;
      continue;
    }
    PyObject* find_args[] = {finder, field(state, kMissing), field(state, kPath), Py_None};
    Ref spec = Ref::steal(PyObject_VectorcallMethod(names::find_spec.get(), find_args,
                                                    4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (spec.get() != Py_None) return false;
  }
  return true;
}

bool unchanged(PyObject* state, PyObject* globals, const ImportState& now) {
  if (printing_searches() || field(state, kGlobals) != globals ||
      !resolves_to(globals, field(state, kPackage), field(state, kSpec),
                   field(state, kSpecParent))) {
    return false;
  }
  PyObject* modules = PyImport_GetModuleDict();
  if (PyDict_GetItemWithError(modules, field(state, kMissing)) != nullptr ||
      PyDict_GetItemWithError(modules, field(state, kFullName)) != nullptr ||
      PyDict_GetItemWithError(modules, field(state, kPackage)) != field(state, kPackageModule)) {
    return false;
  }
  Ref path = Ref::steal(PyObject_GetAttr(field(state, kPackageModule), names::dunder_path.get()));
  if (path.get() != field(state, kPath) || !same_items(path.get(), field(state, kPathEntries))) {
    return false;
  }
  return same_items(now.path_hooks.get(), field(state, kPathHooks)) &&
         same_entry_finders(state, now.importer_cache.get()) &&
         same_meta_path(state, now.meta_path.get());
}

PyObject* or_none(const Ref& value) { return value ? value.get() : Py_None; }

// The event that the import system raises before it searches.
int audit_search(PyObject* state, const ImportState& now) {
  return PySys_Audit("import", "OOOOO", field(state, kFullName), Py_None, or_none(now.path),
                     or_none(now.meta_path), or_none(now.path_hooks));
}

}  // namespace

int known_missing(PyObject* globals, PyObject* name) noexcept {
  Miss* miss = miss_for(name);
  if (miss == nullptr || !miss->state) return 0;
  Ref state = Ref::borrow(miss->state.get());
  ImportState now;
  // Whatever goes wrong while comparing leaves the import to the import system.
  bool same = unchanged(state.get(), globals, now);
  PyErr_Clear();
  if (!same) return 0;
  return audit_search(state.get(), now) < 0 ? -1 : 1;
}

void remember_missing(PyObject* globals, PyObject* name) noexcept {
  Miss* miss = miss_for(name);
  if (miss == nullptr) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref state = value ? record(globals, name, value) : Ref();
  PyErr_Clear();
  miss->state.keep(std::move(state));
  PyErr_Restore(type, value, traceback);
}

}  // namespace frame
