// The floor of our own function type, for the benchmarks only (never in the
// wheel): functions whose bodies do nothing, called through the same function
// type and argument parsing as the modules' functions. A naming call's time
// over one of these is what its body costs.
#include "module_frame/frame.hpp"

namespace own_floor {

using frame::Ref;

namespace {

#define OWN_FLOOR_NAMES(NAME) NAME(own_floor, "bench_own_floor")

namespace names {
FRAME_NAMES(OWN_FLOOR_NAMES)
}  // namespace names

Ref nothing(frame::Call&) { return Ref::borrow(Py_None); }

// One argument, as get_attribute_full_name and import_by_full_name take it.
constinit const frame::FunctionSpec noop1_spec{
    .qualname = "noop1",
    .parameters = {"a"},
    .convention = frame::Convention::kSingleArgument,
    .implementation = nothing,
};

// Two, as the naming builtins of callable_naming take them.
constinit const frame::FunctionSpec noop2_spec{
    .qualname = "noop2",
    .parameters = {"a", "b"},
    .implementation = nothing,
};

constinit const frame::FunctionSpec noop3_spec{
    .qualname = "noop3",
    .parameters = {"a", "b", "c"},
    .implementation = nothing,
};

constinit frame::Builtin noop2_builtin{noop2_spec};

int body(frame::Module& module) {
  if (frame::define_function(module, noop1_spec) < 0) return module.fail();
  if (frame::define_builtin<noop2_builtin>(module) < 0) return module.fail();
  if (frame::define_function(module, noop3_spec) < 0) return module.fail();
  return 0;
}

constinit const frame::ModuleSpec spec{
    .short_name = "bench_own_floor",
    .full_name = "bench_own_floor",
    .source_path = "bench_own_floor",
    .names = names::all,
    .body = body,
};

frame::Module module{spec};

}  // namespace

}  // namespace own_floor

PyMODINIT_FUNC PyInit_bench_own_floor() { return own_floor::module.init(); }
