#pragma once

// What both extension modules need from CPython: owning references, interned
// names, the module's loading, global lookups and imports, argument parsing,
// calls and their traceback entries, the function type, classes and builtins.
#include "module_frame/arguments.hpp"
#include "module_frame/attributes.hpp"
#include "module_frame/builtin.hpp"
#include "module_frame/call.hpp"
#include "module_frame/class.hpp"
#include "module_frame/errors.hpp"
#include "module_frame/function.hpp"
#include "module_frame/globals.hpp"
#include "module_frame/idioms.hpp"
#include "module_frame/imports.hpp"
#include "module_frame/module.hpp"
#include "module_frame/name.hpp"
#include "module_frame/names.hpp"
#include "module_frame/ref.hpp"
#include "module_frame/text.hpp"
#include "module_frame/traceback.hpp"
#include "module_frame/truth.hpp"
