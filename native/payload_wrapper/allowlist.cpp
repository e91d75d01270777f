#include "allowlist.hpp"

#include "names.hpp"

// The allowlist lives in a context variable, so that it follows threads and
// asyncio tasks as context variables do, and so that a plain pickle.loads
// inside `with payloads.allowed(...)` meets it in the wrappers too. The
// variable is made here, once, while the module body runs, and handed to
// Python as the attribute ALLOWLIST of a module object made here and stored
// in sys.modules as dravolt_common.utils._allowlist_state. That module has no
// file: should its entry be removed, importing it again fails, and so does
// importing dravolt_common._allowlist, rather than setting a variable that
// this code never reads. The variable has no default: unset, the read gives
// null and the check ends there.
namespace payload_wrapper::allowlist {

using frame::Ref;

namespace {

#define ALLOWLIST_NAMES(NAME)                                 \
  NAME(state_module, "dravolt_common.utils._allowlist_state") \
  NAME(ALLOWLIST, "ALLOWLIST")                                \
  NAME(check_name_method, "check_name")                       \
  NAME(check_funcs_method, "check_funcs")

namespace own_names {
FRAME_NAMES(ALLOWLIST_NAMES)
}  // namespace own_names

frame::KeptRef variable;

// The allowlist in effect, or null (with no exception) when there is none.
Ref current(bool& failed) {
  PyObject* value = nullptr;
  failed = PyContextVar_Get(variable.get(), nullptr, &value) < 0;
  return Ref::steal(value);
}

}  // namespace

int prepare() noexcept {
  if (frame::intern_names(own_names::all) < 0) return -1;
  Ref made = Ref::steal(PyContextVar_New("dravolt_common.allowlist", nullptr));
  if (!made) return -1;
  Ref state = Ref::steal(PyModule_NewObject(own_names::state_module.get()));
  if (!state || PyObject_SetAttr(state.get(), own_names::ALLOWLIST.get(), made.get()) < 0) {
    return -1;
  }
  PyObject* modules = PyImport_GetModuleDict();
  if (PyDict_SetItem(modules, own_names::state_module.get(), state.get()) < 0) return -1;
  variable.keep(std::move(made));
  return 0;
}

int check_name(PyObject* full_name, Ref& loadclass) noexcept {
  bool failed = false;
  Ref allowlist = current(failed);
  if (!allowlist) return failed ? -1 : 0;
  Ref checked = Ref::steal(
      PyObject_CallMethodOneArg(allowlist.get(), own_names::check_name_method.get(), full_name));
  if (!checked) return -1;
  loadclass = std::move(checked);
  return 0;
}

int check_funcs(frame::Call& call) noexcept {
  bool failed = false;
  Ref allowlist = current(failed);
  if (!allowlist) return failed ? -1 : 0;
  // Read as the installation reads it; when that fails, the installation
  // fails alike and installs nothing.
  Ref index = call.global(names::FUNCS_INDEX);
  Ref funcs = index ? Ref::steal(PyObject_GetItem(call.star_args(), index.get())) : Ref();
  if (!funcs) return frame::clear_if_ordinary() ? 0 : -1;
  Ref done = Ref::steal(
      PyObject_CallMethodOneArg(allowlist.get(), own_names::check_funcs_method.get(), funcs.get()));
  return done ? 0 : -1;
}

}  // namespace payload_wrapper::allowlist
