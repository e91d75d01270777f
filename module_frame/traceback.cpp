#include "module_frame/traceback.hpp"

#include <frameobject.h>

#include <cstddef>
#include <cstdint>

#include "module_frame/ref.hpp"

namespace frame {

namespace {

// An empty code object per failure site, so that repeated failures of the same
// statement make no new code object; its first line is the line of the site,
// which a fresh frame reports. The table is plain data, zero when the shared
// library loads, and takes no lock: a finaliser or a gc callback that runs
// while an entry is made may cache the same site meanwhile.
struct CachedCode {
  KeptRef function_name;  // kept with its entry: its address is part of the key
  int line = 0;
  KeptRef code;
};
constexpr size_t kCacheSize = 512;  // a power of two, well above a module's failure sites
CachedCode cache[kCacheSize];

// The globals of the frames of the entries, made on first use.
KeptRef frame_globals;

size_t first_slot(PyObject* function_name, int line) {
  auto address = reinterpret_cast<uintptr_t>(function_name) >> 4;
  return (address * 31u + static_cast<size_t>(line)) & (kCacheSize - 1);
}

// The slot of the site, or the empty slot where it goes; null when the table is full.
CachedCode* slot_for(PyObject* function_name, int line) {
  size_t start = first_slot(function_name, line);
  for (size_t i = 0; i < kCacheSize; ++i) {
    CachedCode& slot = cache[(start + i) & (kCacheSize - 1)];
    if (!slot.code) return &slot;
    if (slot.function_name.get() == function_name && slot.line == line) return &slot;
  }
  return nullptr;
}

Ref code_for(PyObject* function_name, PyObject* source_path, int line) {
  CachedCode* slot = slot_for(function_name, line);
  if (slot != nullptr && slot->code) return Ref::borrow(slot->code.get());
  const char* function = PyUnicode_AsUTF8(function_name);
  const char* file = function ? PyUnicode_AsUTF8(source_path) : nullptr;
  if (file == nullptr) return Ref();
  Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, function, line)));
  if (!code) return code;
  // Look again: the allocations above may have run an entry of the same site.
  slot = slot_for(function_name, line);
  if (slot != nullptr && slot->code) return Ref::borrow(slot->code.get());
  if (slot != nullptr) {
    slot->function_name.keep(Ref::borrow(function_name));
    slot->line = line;
    slot->code.keep(Ref::borrow(code.get()));
  }
  return code;
}

PyObject* globals_for_frames() {
  if (!frame_globals) {
    Ref made = Ref::steal(PyDict_New());
    if (made && !frame_globals) frame_globals.keep(std::move(made));
  }
  return frame_globals.get();
}

Ref new_frame(PyObject* function_name, PyObject* source_path, int line) {
  Ref code = code_for(function_name, source_path, line);
  PyObject* globals = code ? globals_for_frames() : nullptr;
  if (globals == nullptr) return Ref();
  return Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
      PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
}

}  // namespace

void add_traceback(PyObject* function_name, PyObject* source_path, int line) noexcept {
  if (!PyErr_Occurred()) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  Ref frame = new_frame(function_name, source_path, line);
  if (!frame) {
    // What failed here costs the entry, not the exception.
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    return;
  }
  Ref saved_type = Ref::borrow(type), saved_value = Ref::borrow(value),
      saved_traceback = Ref::borrow(traceback);
  PyErr_Restore(type, value, traceback);
  if (PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get())) < 0) {
    // As above: the original exception takes the place of the entry's failure.
    PyErr_Clear();
    PyErr_Restore(saved_type.release(), saved_value.release(), saved_traceback.release());
  }
}

}  // namespace frame
