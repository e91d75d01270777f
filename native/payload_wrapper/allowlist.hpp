#pragma once

#include "module_frame/frame.hpp"

// The allowlist of names that loading may import or call, in effect in the
// current context (dravolt_common._allowlist sets it). With none in effect
// each check is one read of the context variable and changes nothing.
namespace payload_wrapper::allowlist {

// Made while the module body runs: the context variable, handed to Python
// as the module dravolt_common.utils._allowlist_state. 0, or -1 with the
// exception set.
int prepare() noexcept;

// Before `full_name` is imported or resolved: under an allowlist, refuses a
// name outside it (pickle.UnpicklingError, -1) and otherwise puts the
// allowlist's own loadclass, which resolves only admitted names, in place of
// `loadclass`.
int check_name(PyObject* full_name, frame::Ref& loadclass) noexcept;

// Before PayloadWrapperBase.__new__ installs `args[FUNCS_INDEX]` on the
// class: under an allowlist, refuses funcs that carry a value outside it.
int check_funcs(frame::Call& call) noexcept;

}  // namespace payload_wrapper::allowlist
