#include "module_frame/module.hpp"

#include <cctype>
#include <cstring>

#include "module_frame/globals.hpp"
#include "module_frame/imports.hpp"
#include "module_frame/names.hpp"
#include "module_frame/traceback.hpp"

namespace frame {

namespace {

#define FRAME_STRINGIFY_(x) #x
#define FRAME_STRINGIFY(x) FRAME_STRINGIFY_(x)
// The version this build is for, such as "3.10".
constexpr const char kCompiletimeVersion[] =
    FRAME_STRINGIFY(PY_MAJOR_VERSION) "." FRAME_STRINGIFY(PY_MINOR_VERSION);
constexpr int kVersionLength = sizeof kCompiletimeVersion - 1;

// The one Module of this shared library; the slots find it here.
Module* this_module = nullptr;

// What the import system writes onto a module object when it loads one.
const Name* const kImportAttributes[] = {
    &names::dunder_name, &names::dunder_loader, &names::dunder_file,   &names::dunder_package,
    &names::dunder_path, &names::dunder_spec,   &names::dunder_cached,
};

// Copies spec.<from> to module.<to>; a missing spec attribute is skipped.
int copy_spec_attribute(PyObject* spec, PyObject* module, const char* from, const char* to,
                        bool skip_none) {
  Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    // Only the AttributeError of a missing spec attribute.
    PyErr_Clear();
    return 0;
  }
  if (skip_none && value.get() == Py_None) return 0;
  return PyObject_SetAttrString(module, to, value.get());
}

// The first characters of sys.version (of the interpreter's own version when
// sys.version is not a str), read without encoding them, so that a lone
// surrogate does no harm; other characters than ASCII read as '?'.
void read_running_version(char (&out)[kVersionLength + 1]) {
  PyObject* version = PySys_GetObject("version");
  if (version == nullptr || !PyUnicode_Check(version)) {
    std::strncpy(out, Py_GetVersion(), kVersionLength);
    return;
  }
  Py_ssize_t length = PyUnicode_GetLength(version);
  for (Py_ssize_t i = 0; i < kVersionLength && i < length; ++i) {
    Py_UCS4 c = PyUnicode_ReadChar(version, i);
    out[i] = c < 128 ? static_cast<char>(c) : '?';
  }
  // Reading characters in range runs no code; this only drops what a failed
  // read could have set (none is expected), while the module body runs.
  PyErr_Clear();
}

// Warns when the running interpreter is not the one the module was built for.
// The version is read from sys.version so that a test can change it.
int warn_on_version_mismatch(const char* full_name) {
  char running[kVersionLength + 1] = {};
  read_running_version(running);
  if (std::strcmp(running, kCompiletimeVersion) == 0) return 0;

  // The leading digits, with at most one dot, at most four characters.
  char leading[5] = {};
  bool seen_dot = false;
  for (int i = 0; i < 4 && i < kVersionLength; ++i) {
    char c = running[i];
    if (c == '.' && !seen_dot) {
      seen_dot = true;
    } else if (!std::isdigit(static_cast<unsigned char>(c))) {
      break;
    }
    leading[i] = c;
  }
  char message[200];
  PyOS_snprintf(message, sizeof message,
                "compiletime version %s of module '%.100s' does not match runtime version %s",
                kCompiletimeVersion, full_name, leading);
  return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

}  // namespace

Module::Module(const ModuleSpec& spec) noexcept
    : spec_(spec),
      definition_{PyModuleDef_HEAD_INIT},
      slots_{{Py_mod_create, reinterpret_cast<void*>(&Module::create)},
             {Py_mod_exec, reinterpret_cast<void*>(&Module::exec)},
#if PY_VERSION_HEX >= 0x030C0000
             // An interpreter with a GIL of its own would run the slots
             // concurrently with this one: the import system refuses it first.
             {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
             {0, nullptr}} {
  definition_.m_name = spec.short_name;
  definition_.m_doc = nullptr;
  definition_.m_size = 0;
  definition_.m_methods = nullptr;
  definition_.m_slots = slots_;
  this_module = this;
}

PyObject* Module::init() noexcept { return PyModuleDef_Init(&definition_); }

int Module::bind(PyObject* name, Ref value) noexcept {
  if (!value) return -1;
  return PyDict_SetItem(globals_.get(), name, value.get());
}

int Module::bind_texts(std::initializer_list<TextConstant> constants) noexcept {
  for (const TextConstant& constant : constants) {
    if (bind(constant.name, Ref::borrow(constant.text.get())) < 0) return -1;
  }
  return 0;
}

int Module::bind_import(const Name& module_name) noexcept {
  return bind(module_name, import_module(globals(), module_name.get()));
}

int Module::bind_from(const Name& module_name, std::initializer_list<const Name*> names) noexcept {
  Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  if (!fromlist) return -1;
  Py_ssize_t index = 0;
  for (const Name* name : names) PyTuple_SET_ITEM(fromlist.get(), index++, Py_NewRef(name->get()));
  Ref imported = import_for_names(globals(), module_name.get(), fromlist.get());
  if (!imported) return -1;
  for (const Name* name : names) {
    if (bind(*name, imported_name(imported.get(), name->get())) < 0) return -1;
  }
  return 0;
}

int Module::check_interpreter() noexcept {
  int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1 && PyErr_Occurred()) return -1;
  if (interpreter_id_ == -1) {
    interpreter_id_ = id;
  } else if (id != interpreter_id_) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return -1;
  }
  return 0;
}

PyObject* Module::create(PyObject* spec, PyModuleDef*) noexcept {
  Module& self = *this_module;
  if (self.check_interpreter() < 0) return nullptr;
  if (self.module_) return Py_NewRef(self.module_.get());

  Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  if (copy_spec_attribute(spec, module.get(), "loader", "__loader__", false) < 0 ||
      copy_spec_attribute(spec, module.get(), "origin", "__file__", false) < 0 ||
      copy_spec_attribute(spec, module.get(), "parent", "__package__", false) < 0 ||
      copy_spec_attribute(spec, module.get(), "submodule_search_locations", "__path__", true) < 0) {
    return nullptr;
  }
  return module.release();
}

int Module::exec(PyObject* module) noexcept {
  Module& self = *this_module;
  if (self.module_) return self.exec_again(module);
  if (self.running_) {
    // Another load of the module started while its body runs (the half-made
    // module was taken out of sys.modules): the namespace is not shared.
    PyErr_Format(PyExc_ImportError,
                 "Module '%s' is being initialised and cannot be imported again meanwhile.",
                 self.spec_.short_name);
    return -1;
  }
  if (warn_on_version_mismatch(self.spec_.full_name) < 0) return -1;
  self.running_ = true;
  int result = self.run_body(module);
  self.running_ = false;
  return result < 0 ? self.report_failure() : 0;
}

// The body ran already. For its own module object (a reload, or a load under
// another name that was handed the one module object), the import system has
// written its spec onto the module: the module keeps the attributes of its load.
int Module::exec_again(PyObject* module) noexcept {
  if (module != module_.get()) {
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is not supported.",
                 spec_.short_name);
    return -1;
  }
  PyObject* namespace_ = globals_.get();
  for (const Name* name : kImportAttributes) {
    PyObject* kept = PyDict_GetItemWithError(import_attributes_.get(), name->get());
    if (kept == nullptr && PyErr_Occurred()) return -1;
    if (kept != nullptr) {
      if (PyDict_SetItem(namespace_, name->get(), kept) < 0) return -1;
      continue;
    }
    int present = PyDict_Contains(namespace_, name->get());
    if (present < 0 || (present && PyDict_DelItem(namespace_, name->get()) < 0)) return -1;
  }
  return 0;
}

int Module::run_body(PyObject* module) noexcept {
  failed_line_ = 0;
  if (prepare() < 0) return fail();
  globals_.keep(Ref::borrow(PyModule_GetDict(module)));
  if (!globals_) return fail();
  // An existing sys.modules entry is not replaced.
  if (PyDict_SetDefault(PyImport_GetModuleDict(), name_.get(), module) == nullptr) return fail();
  if (spec_.body(*this) < 0) return -1;
  if (remember_import_attributes() < 0) return fail();
  module_.keep(Ref::borrow(module));
  return 0;
}

// What the body and the functions need for the life of the process, made
// under the import lock before any of them can run; what could not be made is
// made at the next load.
int Module::prepare() noexcept {
  if (!init_name_) init_name_.keep(Ref::steal(PyUnicode_FromFormat("init %s", spec_.full_name)));
  if (!source_path_) source_path_.keep(Ref::steal(PyUnicode_InternFromString(spec_.source_path)));
  if (!name_) name_.keep(Ref::steal(PyUnicode_InternFromString(spec_.full_name)));
  if (!init_name_ || !source_path_ || !name_) return -1;
  if (intern_names(names::all) < 0 || intern_names(spec_.names) < 0) return -1;
  return take_builtins();
}

int Module::remember_import_attributes() noexcept {
  Ref kept = Ref::steal(PyDict_New());
  if (!kept) return -1;
  for (const Name* name : kImportAttributes) {
    PyObject* value = PyDict_GetItemWithError(globals_.get(), name->get());
    if (value == nullptr && PyErr_Occurred()) return -1;
    if (value != nullptr && PyDict_SetItem(kept.get(), name->get(), value) < 0) return -1;
  }
  import_attributes_.keep(std::move(kept));
  return 0;
}

int Module::report_failure() noexcept {
  if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "init %s", spec_.full_name);
  if (init_name_ && source_path_) {
    add_traceback(init_name_.get(), source_path_.get(), failed_line_);
  }
  // The namespace stays with the functions the failed body may have made,
  // until the next load replaces it.
  return -1;
}

}  // namespace frame
