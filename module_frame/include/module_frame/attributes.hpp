#pragma once

#include <Python.h>

#include "module_frame/ref.hpp"

namespace frame {

// Attribute reads of the frame's dunder names (frame::names) on the objects
// the modules meet most (functions, bound methods, builtins, method and slot
// descriptors, classes whose metaclass is type) take the answer from the
// object's layout where its exact type decides it; every other read takes
// the interpreter's protocol. The answers are those of the protocol.

// What the interpreter's generic attribute algorithm finds (the data
// descriptors of the object's type, then the object's own dict, then the
// type's other attributes; no __getattribute__ or __getattr__ of the class
// takes part): a new reference, or null without an exception when there is
// no such attribute (an AttributeError of a getter counts as none), or null
// with any other exception.
Ref generic_attribute(PyObject* obj, PyObject* name) noexcept;

// The same, with the AttributeError of PyObject_GenericGetAttr when there is
// no such attribute.
Ref generic_attribute_or_error(PyObject* obj, PyObject* name) noexcept;

// obj.<name> through the object's own attribute machinery (PyObject_GetAttr).
Ref attribute(PyObject* obj, PyObject* name) noexcept;

// Whether the object's layout answers that attribute from a field of its
// own: reading it runs no code (no dict lookup, no descriptor), and reading
// it again gives the same.
bool answered_by_layout(PyObject* obj, PyObject* name) noexcept;

// What reading cls.__qualname__ gives (borrowed) when reading it runs no
// code and cannot fail: a class written in Python whose metaclass is exactly
// type keeps it in its heap type (type's own data descriptor reads it there).
// Null, with nothing set, for any other object.
PyObject* plain_class_qualname(PyObject* cls) noexcept;

// isinstance(obj, cls): 1, 0, or -1 with the exception set. For an object of
// those types and a class whose metaclass is type, its type alone decides.
int is_instance(PyObject* obj, PyObject* cls) noexcept;

// Whether the object's own dict provably lacks `name`: it has no dict, or its
// dict is an exact dict without that key. False when the dict holds it, when
// the dict is of another kind, and where telling would make a dict that the
// object does not have yet (on interpreters that keep the attributes of an
// instance inline until asked for its dict, making one also costs each
// deallocation a copy). Leaves an exception set only when reading the dict
// raised more than an ordinary error (a key's __eq__ interrupted): false then.
bool own_dict_lacks(PyObject* obj, PyObject* name) noexcept;

// Whether `method` is object's own __setattr__ bound to `self` (a
// method-wrapper of object's slot wrapper), with the generic setting as
// self's type's setting now: calling `method` is then PyObject_GenericSetAttr
// on self, as the slot wrapper checks and calls it. Leaves an exception set
// only when one that is not an ordinary error interrupted telling: false then.
bool binds_generic_setattr(PyObject* method, PyObject* self) noexcept;

}  // namespace frame
