#include "allowlist.hpp"
#include "payload_wrapper.hpp"

namespace payload_wrapper {

using frame::KeptRef;
using frame::Ref;

namespace {

// The last class that object.__new__ accepted, and its version then: any
// change of the class or its bases gives it another version. The class is
// held, so that no other class can be made at its address: on 3.10,
// sys._clear_type_cache() starts the versions again from 0, and a new class
// there could have the same version [test_a_class_made_where_the_accepted_one_was].
KeptRef accepted_class;
unsigned int accepted_version = 0;

bool accepted_unchanged(PyTypeObject* type) {
  unsigned int version = frame::class_version(type);
  return reinterpret_cast<PyObject*>(type) == accepted_class.get() && version != 0 &&
         version == accepted_version;
}

// `object.__new__(new_cls)`, reading `__new__` of the built-in object. For
// the class it accepted last, unchanged since, its checks would pass again:
// object's allocation runs at once.
Ref object_new(PyObject* new_cls) {
  auto* type = reinterpret_cast<PyTypeObject*>(new_cls);
  if (PyType_Check(new_cls) && accepted_unchanged(type)) {
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args) return Ref();
    return Ref::steal(PyBaseObject_Type.tp_new(type, no_args.get(), nullptr));
  }
  Ref new_function = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(&PyBaseObject_Type),
                                                 frame::names::dunder_new.get()));
  if (!new_function) return Ref();
  Ref new_obj = Ref::steal(PyObject_CallOneArg(new_function.get(), new_cls));
  if (new_obj && PyType_Check(new_cls) && frame::class_version(type) != 0) {
    accepted_class.keep(Ref::borrow(new_cls));
    accepted_version = frame::class_version(type);
  }
  return new_obj;
}

// The value of an exact int that fits a machine word; false for anything else.
bool small_int(PyObject* value, Py_ssize_t& out) {
  if (!PyLong_CheckExact(value)) return false;
#if PY_VERSION_HEX >= 0x030C0000
  if (!PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(value))) return false;
  out = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(value));
  return true;
#else
  int overflow = 0;
  long long at = PyLong_AsLongLongAndOverflow(value, &overflow);
  out = static_cast<Py_ssize_t>(at);
  return overflow == 0;
#endif
}

// setattr(obj, name, value): the generic setting itself where the object's
// type takes it from object (PyObject_SetAttr would call the same).
int set_attribute(PyObject* obj, PyObject* name, PyObject* value) {
  if (Py_TYPE(obj)->tp_setattro == PyObject_GenericSetAttr && PyUnicode_CheckExact(name)) {
    return PyObject_GenericSetAttr(obj, name, value);
  }
  return PyObject_SetAttr(obj, name, value);
}

// `args[INDEX]`, with the index constant looked up anew at every read, so
// that a rebinding of it takes effect.
Ref argument_at(frame::Call& call, const frame::Name& index_name) {
  Ref index = call.global(index_name);
  if (!index) return Ref();
  PyObject* args = call.star_args();
  // An exact int within the bounds of the exact tuple: what the tuple's own
  // subscript gives. Any other index (a huge one too) takes the subscript,
  // and its error.
  Py_ssize_t at;
  if (PyTuple_CheckExact(args) && small_int(index.get(), at)) {
    Py_ssize_t size = PyTuple_GET_SIZE(args);
    if (at < 0) at += size;
    if (at >= 0 && at < size) return Ref::borrow(PyTuple_GET_ITEM(args, at));
  }
  return Ref::steal(PyObject_GetItem(args, index.get()));
}

// Whether `name` has the form __x__: type's own data descriptors (__name__,
// __dict__, __bases__ and the others) and the slot methods, whose setting
// recomputes the class's slots from its dict, all have it.
bool dunder(PyObject* name) {
  Py_ssize_t length = PyUnicode_GET_LENGTH(name);
  return length >= 4 && PyUnicode_READ_CHAR(name, 0) == '_' &&
         PyUnicode_READ_CHAR(name, 1) == '_' && PyUnicode_READ_CHAR(name, length - 1) == '_' &&
         PyUnicode_READ_CHAR(name, length - 2) == '_';
}

// setattr(new_cls, func, value). A class made by a class statement that
// holds the very value already under a plain name stays as it is: setting it
// again would store the same value in its dict (no dict watcher hears of
// that) and change nothing but what the interpreter caches of the class,
// unless a type watcher is told of the change (3.12+). A name of the form
// __x__ is always set [test_installing_what_the_class_holds_sets_it_as_setattr_does].
int install(PyObject* new_cls, PyObject* func, PyObject* value) {
  auto* type = reinterpret_cast<PyTypeObject*>(new_cls);
#if PY_VERSION_HEX >= 0x030C0000
  bool watched = type->tp_watched != 0;
#else
  bool watched = false;
#endif
  if (Py_IS_TYPE(new_cls, &PyType_Type) && PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) &&
      !watched && type->tp_dict != nullptr && PyUnicode_CheckExact(func) &&
#if PY_VERSION_HEX < 0x030C0000
      PyUnicode_IS_READY(func) &&
#endif
      !dunder(func) && PyDict_GetItemWithError(type->tp_dict, func) == value) {
    return 0;
  }
  if (PyErr_Occurred()) return -1;
  return PyObject_SetAttr(new_cls, func, value);
}

// The keys of `for func in funcs`. An exact dict is walked as its own
// iterator walks it (dictiter_iternextkey, Objects/dictobject.c, 3.10 to
// 3.15), without making the iterator: the next key is the one PyDict_Next
// finds from the position after the last, which is the iterator's own
// position rule for both table kinds, and the iterator's two RuntimeErrors
// come at the same steps: a size other than the first, checked before every
// step, and a key found after as many as the dict first held. Anything else
// takes its own iterator. Test:
// test_payload_wrapper_base.py::test_funcs_changed_while_installed_stop_as_a_loop_stops.
class FuncsKeys {
 public:
  // 0, or -1 with the exception set.
  int start(PyObject* funcs) {
    if (PyDict_CheckExact(funcs)) {
      dict_ = funcs;
      size_ = left_ = PyDict_GET_SIZE(funcs);
      return 0;
    }
    iterator_ = Ref::steal(PyObject_GetIter(funcs));
    return iterator_ ? 0 : -1;
  }

  // The next key; null at the end, or with the exception set.
  Ref next() {
    if (iterator_) return Ref::steal(PyIter_Next(iterator_.get()));
    if (ended_) return Ref();
    if (PyDict_GET_SIZE(dict_) != size_) {
      return stop("dictionary changed size during iteration");
    }
    PyObject* key;
    if (!PyDict_Next(dict_, &position_, &key, nullptr)) return stop(nullptr);
    if (left_ == 0) return stop("dictionary keys changed during iteration");
    --left_;
    return Ref::borrow(key);
  }

 private:
  Ref stop(const char* message) {
    ended_ = true;
    if (message) PyErr_SetString(PyExc_RuntimeError, message);
    return Ref();
  }

  PyObject* dict_ = nullptr;  // held by the caller for the whole walk
  Ref iterator_;
  Py_ssize_t position_ = 0;
  Py_ssize_t size_ = 0;
  Py_ssize_t left_ = 0;
  bool ended_ = false;
};

// Sets each entry of `args[FUNCS_INDEX]` as an attribute of `new_cls`; the
// first failure ends the loop and leaves what was set before it.
int install_funcs(frame::Call& call, PyObject* new_cls) {
  Ref funcs = argument_at(call, names::FUNCS_INDEX);
  if (!funcs) return -1;
  FuncsKeys keys;
  if (keys.start(funcs.get()) < 0) return -1;
  while (Ref func = keys.next()) {
    Ref current_funcs = argument_at(call, names::FUNCS_INDEX);
    if (!current_funcs) return -1;
    Ref value = Ref::steal(PyObject_GetItem(current_funcs.get(), func.get()));
    if (!value) return -1;
    if (install(new_cls, func.get(), value.get()) < 0) return -1;
  }
  return PyErr_Occurred() ? -1 : 0;
}

// Installs the funcs on the class (errors of the installation are
// discarded), then makes `args[FUNCS_INDEX]` the instance dictionary of the
// first object. Fails unless that is a dict.
int adopt_funcs(frame::Call& call, PyObject* new_cls, PyObject* new_obj) {
  if (install_funcs(call, new_cls) < 0 && !frame::clear_if_ordinary()) return -1;
  Ref funcs = argument_at(call, names::FUNCS_INDEX);
  if (!funcs) return -1;
  return set_attribute(new_obj, frame::names::dunder_dict.get(), funcs.get());
}

// The second object, carrying funcs and cls from the arguments.
int rebuild_with_arguments(frame::Call& call, PyObject* new_cls, Ref& new_obj) {
  Ref second = object_new(new_cls);
  if (!second) return -1;
  new_obj = std::move(second);
  Ref funcs = argument_at(call, names::FUNCS_INDEX);
  if (!funcs || set_attribute(new_obj.get(), names::funcs.get(), funcs.get()) < 0) return -1;
  Ref cls = argument_at(call, names::CLS_INDEX);
  if (!cls || set_attribute(new_obj.get(), names::cls.get(), cls.get()) < 0) return -1;
  return 0;
}

// The fallback instance keeps the wrapped class when the arguments hold one,
// so that a wrapper made without funcs still reduces to arguments that load.
int keep_wrapped_class(frame::Call& call, PyObject* new_obj) {
  Ref cls = argument_at(call, names::CLS_INDEX);
  if (!cls) return -1;
  return set_attribute(new_obj, names::cls.get(), cls.get());
}

Ref PayloadWrapperBase_new(frame::Call& call) {
  PyObject* cls = call.arg(0);
  Ref copy_module = call.global(names::copy);
  if (!copy_module) return call.fail();
  Ref copy_function = frame::attribute(copy_module.get(), names::copy.get());
  if (!copy_function) return call.fail();
  // Called every time: whatever is bound as copy.copy may give another class.
  Ref new_cls = Ref::steal(PyObject_CallOneArg(copy_function.get(), cls));
  if (!new_cls) return call.fail();
  Ref new_obj = object_new(new_cls.get());
  if (!new_obj) return call.fail();
  Ref empty_funcs = Ref::steal(PyDict_New());
  if (!empty_funcs) return call.fail();
  if (set_attribute(new_obj.get(), names::funcs.get(), empty_funcs.get()) < 0) {
    return call.fail();
  }
  if (set_attribute(new_obj.get(), names::cls.get(), frame::names::empty.get()) < 0) {
    return call.fail();
  }

  if (allowlist::check_funcs(call) < 0) return call.fail();
  // Errors that arise from the arguments never leave: unusable arguments give
  // the fallback instance. Only BaseException-only errors propagate.
  if (adopt_funcs(call, new_cls.get(), new_obj.get()) < 0) {
    if (!frame::clear_if_ordinary()) return call.fail();
    if (keep_wrapped_class(call, new_obj.get()) < 0 && !frame::clear_if_ordinary()) {
      return call.fail();
    }
    return new_obj;
  }
  if (rebuild_with_arguments(call, new_cls.get(), new_obj) < 0 && !frame::clear_if_ordinary()) {
    return call.fail();
  }
  return new_obj;
}

Ref PayloadWrapper_new(frame::Call& call) {
  Ref new_obj = frame::call_super_new(call.defining_class(), call.arg(0), call.star_args());
  if (!new_obj) return call.fail();
  return new_obj;
}

// Whether self.__setattr__ is object's, bound to self: the class takes its
// attribute reading and setting from object, and the instance's dict does not
// hide the method. Calling it is then the generic setting.
bool sets_generically(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  return type->tp_getattro == PyObject_GenericGetAttr &&
         type->tp_setattro == PyObject_GenericSetAttr &&
         frame::own_dict_lacks(self, frame::names::dunder_setattr.get());
}

Ref PayloadWrapper_init(frame::Call& call) {
  PyObject* self = call.arg(0);
  PyObject* cls = call.arg(1);
  bool generic = sets_generically(self);
  if (PyErr_Occurred()) return call.fail();
  Ref setattr =
      generic ? Ref() : Ref::steal(PyObject_GetAttr(self, frame::names::dunder_setattr.get()));
  if (!generic && !setattr) return call.fail();
  Ref key = call.global(names::JSONPICKLE_EXTERNAL_TYPE_KEY);
  if (!key) return call.fail();
  Ref full_name_of = call.global(names::get_attribute_full_name);
  if (!full_name_of) return call.fail();
  Ref full_name = Ref::steal(PyObject_CallOneArg(full_name_of.get(), cls));
  if (!full_name) return call.fail();
  // Object's own __setattr__, bound to self, and still the type's setting:
  // calling it is the generic setting (what the code above runs meanwhile
  // may have changed the class).
  if (generic || frame::binds_generic_setattr(setattr.get(), self)) {
    if (PyObject_GenericSetAttr(self, key.get(), full_name.get()) < 0) return call.fail();
    return Ref::borrow(Py_None);
  }
  if (PyErr_Occurred()) return call.fail();
  PyObject* setattr_args[] = {key.get(), full_name.get()};
  Ref done = Ref::steal(PyObject_Vectorcall(setattr.get(), setattr_args, 2, nullptr));
  if (!done) return call.fail();
  return Ref::borrow(Py_None);
}

// Whether the exact str `key` may equal `name`: only one of the same length
// can (the length of a legacy str that is not ready is not known yet).
bool may_equal(PyObject* key, PyObject* name) {
#if PY_VERSION_HEX < 0x030C0000
  if (!PyUnicode_IS_READY(key)) return true;
#endif
  return PyUnicode_GET_LENGTH(key) == PyUnicode_GET_LENGTH(name);
}

bool is_argument_name(PyObject* key) {
  for (const frame::Name* name : {&names::funcs, &names::cls}) {
    if (key == name->get()) return true;
    if (may_equal(key, name->get()) && PyUnicode_Compare(key, name->get()) == 0) return true;
  }
  return false;
}

// The state as a new dict without funcs and cls, which travel in the
// arguments instead: a merge of the instance dictionary, then the two taken out.
Ref merged_state(PyObject* instance_dict) {
  Ref state = Ref::steal(PyDict_New());
  if (!state || PyDict_Merge(state.get(), instance_dict, 1) < 0) return Ref();
  for (const frame::Name* name : {&names::funcs, &names::cls}) {
    int found = PyDict_Contains(state.get(), name->get());
    if (found < 0 || (found && PyDict_DelItem(state.get(), name->get()) < 0)) return Ref();
  }
  return state;
}

// The same dict as merged_state, made by copying every other entry. Where a
// key is not an exact str, telling it from funcs and cls could run its __eq__,
// as the merge's lookups would: the merge is made instead.
Ref state_from(PyObject* instance_dict) {
  if (!PyDict_CheckExact(instance_dict)) return merged_state(instance_dict);
  Ref state = Ref::steal(PyDict_New());
  if (!state) return Ref();
  Py_ssize_t position = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(instance_dict, &position, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) return merged_state(instance_dict);
    if (is_argument_name(key)) continue;
    // Held: an allocation may collect, and a finaliser may change the dict.
    Ref held_key = Ref::borrow(key);
    Ref held_value = Ref::borrow(value);
    if (PyDict_SetItem(state.get(), held_key.get(), held_value.get()) < 0) return Ref();
  }
  return state;
}

Ref state_of(Ref instance_dict) {
  if (!instance_dict) return Ref();
  return state_from(instance_dict.get());
}

Ref state_without_arguments(PyObject* self) {
  Ref instance_dict = Ref::steal(PyObject_GetAttr(self, frame::names::dunder_dict.get()));
  if (!instance_dict) return Ref();
  return state_from(instance_dict.get());
}

// What __reduce__ reads of the wrapper: funcs and cls where present.
struct Reads {
  Ref funcs;            // null where absent
  Ref cls;              // null where absent
  Ref dict_descriptor;  // where the shortcut holds: the getset that gives __dict__
};

// self.__dict__ as getset_get gives it, once its checks have passed.
Ref dict_through(PyObject* descriptor, PyObject* self) {
  PyGetSetDef* getset = reinterpret_cast<PyGetSetDescrObject*>(descriptor)->d_getset;
  return Ref::steal(getset->get(self, getset->closure));
}

// Shortcut: the reads of a wrapper whose class reads attributes the generic
// way. It keeps nothing between calls; each call checks, from the type as
// CPython keeps it, everything the answer rests on:
// - the type's tp_getattro is PyObject_GenericGetAttr (CPython's type_setattro
//   changes the slot when a class or a base gains __getattribute__ or
//   __getattr__);
// - _PyType_Lookup (the MRO's dicts, behind the method cache keyed on
//   tp_version_tag) finds nothing named funcs or cls, so that reading either
//   is a lookup in the instance dict that runs no code (Objects/object.c,
//   _PyObject_GenericGetAttrWithDict), and the presence test and the read
//   give the same answer;
// - it finds a getset descriptor for __dict__ of a type the wrapper is an
//   instance of, so that reading __dict__ is a call of its getter (as
//   Objects/descrobject.c, getset_get, makes it).
// Where any of it does not hold, or the instance dict cannot be had, the
// reads are made the standard way. Tests: tests/test_payload_wrapper_base.py,
// the reduce cases with a class attribute, a property, __getattr__,
// __getattribute__ and a __dict__ of their own, a dict subclass and non-str
// keys in the instance dict.
bool read_generically(PyObject* self, Reads& reads) {
  PyTypeObject* type = Py_TYPE(self);
  if (type->tp_getattro != PyObject_GenericGetAttr) return false;
  if (_PyType_Lookup(type, names::funcs.get()) || _PyType_Lookup(type, names::cls.get())) {
    return false;
  }
  // Held from here: making the dict below may run a finaliser that changes the class.
  Ref descriptor = Ref::borrow(_PyType_Lookup(type, frame::names::dunder_dict.get()));
  if (!descriptor || !Py_IS_TYPE(descriptor.get(), &PyGetSetDescr_Type)) return false;
  auto* getset = reinterpret_cast<PyGetSetDescrObject*>(descriptor.get());
  if (getset->d_getset->get == nullptr || !PyObject_TypeCheck(self, getset->d_common.d_type)) {
    return false;
  }
  // The dict the generic reads look in (made here if there is none yet, as
  // reading __dict__ would make it).
  Ref own_dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
  if (!own_dict) return false;
  reads.funcs = Ref::borrow(PyDict_GetItemWithError(own_dict.get(), names::funcs.get()));
  if (!reads.funcs && PyErr_Occurred()) return false;
  reads.cls = Ref::borrow(PyDict_GetItemWithError(own_dict.get(), names::cls.get()));
  if (!reads.cls && PyErr_Occurred()) return false;
  reads.dict_descriptor = std::move(descriptor);
  return true;
}

// The presence tests, then the reads: a failing test counts as absence, a
// failing read fails the call.
int read_standard(PyObject* self, Reads& reads) {
  bool has_funcs = frame::has_attribute(self, names::funcs.get());
  bool has_cls = frame::has_attribute(self, names::cls.get());
  reads.funcs =
      has_funcs ? Ref::steal(PyObject_GetAttr(self, names::funcs.get())) : Ref::steal(PyDict_New());
  if (!reads.funcs) return -1;
  reads.cls = has_cls ? Ref::steal(PyObject_GetAttr(self, names::cls.get()))
                      : Ref::borrow(frame::names::empty.get());
  return reads.cls ? 0 : -1;
}

// The shortcut's reads where they hold, else the standard ones.
int read_arguments(PyObject* self, Reads& reads) {
  if (read_generically(self, reads)) {
    if (!reads.funcs) reads.funcs = Ref::steal(PyDict_New());
    if (!reads.cls) reads.cls = Ref::borrow(frame::names::empty.get());
    return reads.funcs ? 0 : -1;
  }
  // A failure of the shortcut's own reads tells nothing: the standard reads decide.
  if (PyErr_Occurred() && !frame::clear_if_ordinary()) return -1;
  reads = Reads();
  return read_standard(self, reads);
}

// The instance stays as it is: a missing funcs or cls is stood in for by an
// empty dict or "" in the arguments, not written onto the instance.
Ref PayloadWrapper_reduce(frame::Call& call) {
  PyObject* self = call.arg(0);
  Reads reads;
  if (read_arguments(self, reads) < 0) return call.fail();
  Ref wrapper_class = call.global(names::PayloadWrapper);
  if (!wrapper_class) return call.fail();
  Ref arguments = Ref::steal(PyTuple_Pack(2, reads.cls.get(), reads.funcs.get()));
  if (!arguments) return call.fail();
  // A finaliser run by an allocation above may have given the class another __dict__.
  bool same_descriptor =
      reads.dict_descriptor &&
      _PyType_Lookup(Py_TYPE(self), frame::names::dunder_dict.get()) == reads.dict_descriptor.get();
  Ref state = same_descriptor ? state_of(dict_through(reads.dict_descriptor.get(), self))
                              : state_without_arguments(self);
  if (!state) return call.fail();
  Ref reduced = Ref::steal(PyTuple_Pack(3, wrapper_class.get(), arguments.get(), state.get()));
  if (!reduced) return call.fail();
  return reduced;
}

constinit const frame::FunctionSpec PayloadWrapperBase_new_spec{
    .qualname = "PayloadWrapperBase.__new__",
    .parameters = {"cls"},
    .star_args = "args",
    .locals = {"new_cls", "new_obj", "func"},
    .implementation = PayloadWrapperBase_new,
};

constinit const frame::FunctionSpec PayloadWrapper_new_spec{
    .qualname = "PayloadWrapper.__new__",
    .parameters = {"cls"},
    .star_args = "args",
    .implementation = PayloadWrapper_new,
};

constinit const frame::FunctionSpec PayloadWrapper_init_spec{
    .qualname = "PayloadWrapper.__init__",
    .parameters = {"self", "cls"},
    .star_args = "_args",
    .annotations = {{"cls", &names::Any}},
    .doc = "\n        This object wraps extranl types.\n        ",
    .implementation = PayloadWrapper_init,
};

constinit const frame::FunctionSpec PayloadWrapper_reduce_spec{
    .qualname = "PayloadWrapper.__reduce__",
    .parameters = {"self"},
    .convention = frame::Convention::kSingleArgument,
    .locals = {"funcs", "cls"},
    .implementation = PayloadWrapper_reduce,
};

}  // namespace

constinit const frame::ClassSpec payload_wrapper_base_class{
    .name = names::PayloadWrapperBase,
    .methods = {&PayloadWrapperBase_new_spec},
};

constinit const frame::ClassSpec payload_wrapper_class{
    .name = names::PayloadWrapper,
    .base = &names::PayloadWrapperBase,
    .methods = {&PayloadWrapper_new_spec, &PayloadWrapper_init_spec, &PayloadWrapper_reduce_spec},
};

}  // namespace payload_wrapper
