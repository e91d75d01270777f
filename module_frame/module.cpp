#include "module_frame/module.hpp"

#include <cctype>
#include <cstddef>
#include <cstring>

#include "module_frame/traceback.hpp"

namespace frame {

namespace {

#define FRAME_STRINGIFY_(x) #x
#define FRAME_STRINGIFY(x) FRAME_STRINGIFY_(x)
constexpr const char kCompiletimeVersion[] =
    FRAME_STRINGIFY(PY_MAJOR_VERSION) "." FRAME_STRINGIFY(PY_MINOR_VERSION);

// The definition of the Module of this shared object; each extension module
// links its own copy of the frame.
PyModuleDef* last_definition = nullptr;

// Copies spec.<from> to module.<to>; a missing spec attribute is skipped.
int copy_spec_attribute(PyObject* spec, PyObject* module, const char* from, const char* to,
                        bool skip_none) {
  Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  if (skip_none && value.get() == Py_None) return 0;
  return PyObject_SetAttrString(module, to, value.get());
}

}  // namespace

Module::Module(const char* short_name, const char* full_name, const char* source_path,
               Body body) noexcept
    : definition_{PyModuleDef_HEAD_INIT},
      slots_{{Py_mod_create, reinterpret_cast<void*>(&Module::create)},
             {Py_mod_exec, reinterpret_cast<void*>(&Module::exec)},
             {0, nullptr}},
      short_name_(short_name),
      full_name_(full_name),
      source_path_text_(source_path),
      body_(body) {
  definition_.m_name = short_name;
  definition_.m_doc = nullptr;
  definition_.m_size = 0;
  definition_.m_methods = nullptr;
  definition_.m_slots = slots_;
  last_definition = &definition_;
}

PyObject* Module::init() noexcept { return PyModuleDef_Init(&definition_); }

Module& Module::of(PyModuleDef* definition) noexcept {
  static_assert(offsetof(Module, definition_) == 0);
  return *reinterpret_cast<Module*>(definition);
}

int Module::bind(const Name& name, Ref value) noexcept {
  if (!value) return -1;
  return PyDict_SetItem(globals_.get(), name.get(), value.get());
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

PyObject* Module::create(PyObject* spec, PyModuleDef* definition) noexcept {
  Module& self = of(definition);
  if (self.check_interpreter() < 0) return nullptr;
  if (self.module_) return Ref::borrow(self.module_.get()).release();

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

// Warns when the running interpreter is not the one the module was built for.
// The version is read from sys.version so that a test can change it.
int Module::warn_on_version_mismatch() noexcept {
  const char* runtime = nullptr;
  PyObject* version = PySys_GetObject("version");
  if (version != nullptr && PyUnicode_Check(version)) {
    runtime = PyUnicode_AsUTF8(version);
    if (runtime == nullptr) return -1;
  } else {
    runtime = Py_GetVersion();
  }
  if (std::strncmp(runtime, kCompiletimeVersion, std::strlen(kCompiletimeVersion)) == 0) return 0;

  // The leading digits, with at most one dot, at most four characters.
  char leading[5] = {};
  bool seen_dot = false;
  for (int i = 0; i < 4; ++i) {
    char c = runtime[i];
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
                kCompiletimeVersion, full_name_, leading);
  return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

int Module::exec(PyObject* module) noexcept {
  PyModuleDef* definition = PyModule_GetDef(module);
  if (definition == nullptr) {
    if (PyErr_Occurred()) return -1;
    // A module object made elsewhere, handed to our exec slot directly.
    definition = last_definition;
  }
  Module& self = of(definition);
  if (self.module_) {
    if (module == self.module_.get()) return 0;
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is not supported.",
                 self.short_name_);
    return -1;
  }
  if (self.running_) {
    // Another load of the module started while its body runs (the half-made
    // module was taken out of sys.modules): the namespace is not shared.
    PyErr_Format(PyExc_ImportError,
                 "Module '%s' is being initialised and cannot be imported again meanwhile.",
                 self.short_name_);
    return -1;
  }
  if (self.warn_on_version_mismatch() < 0) return -1;
  self.running_ = true;
  int body_result = self.run_body(module);
  self.running_ = false;
  if (body_result < 0) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "init %s", self.full_name_);
    if (self.init_name_ && self.source_path_) {
      add_traceback(self.init_name_.get(), self.source_path_.get(), self.failed_line_);
    }
    // The namespace stays with the functions the failed body may have made,
    // until the next load replaces it.
    return -1;
  }
  self.module_.keep(Ref::borrow(module));
  return 0;
}

int Module::run_body(PyObject* module) noexcept {
  failed_line_ = __LINE__;
  if (!name_) {
    name_.keep(Ref::steal(PyUnicode_InternFromString(full_name_)));
    if (!name_) return -1;
  }
  if (!init_name_) {
    init_name_.keep(Ref::steal(PyUnicode_FromFormat("init %s", full_name_)));
    if (!init_name_) return -1;
  }
  if (!source_path_) {
    source_path_.keep(Ref::steal(PyUnicode_InternFromString(source_path_text_)));
    if (!source_path_) return -1;
  }
  globals_.keep(Ref::borrow(PyModule_GetDict(module)));
  if (!globals_ || builtins_namespace() == nullptr) return -1;

  // An existing sys.modules entry is not replaced.
  failed_line_ = __LINE__;
  if (PyDict_SetDefault(PyImport_GetModuleDict(), name_.get(), module) == nullptr) return -1;
  if (Name::intern_all() < 0) return -1;
  return body_(*this);
}

}  // namespace frame
