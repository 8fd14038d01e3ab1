// What building a module's namespace and classes takes: binding a global,
// module-level functions whose body is C++, and the generic attribute
// assignment that goes around a class's own __setattr__.
#pragma once
#include "core/error.hpp"

#include <span>

namespace orv {

// Binds `value` to `name` in a module's namespace.
inline void bind(PyObject* module, const char* name, PyObject* value) {
  check(PyObject_SetAttrString(module, name, value));
}

// object.__setattr__(obj, name, value): the generic assignment, which goes
// around a class's own __setattr__, after the check that object.__setattr__
// makes first: an object whose C type assigns attributes in its own way (a
// type object, whose assignment keeps the attribute cache in step; before
// 3.13 also any builtin with a setattro of its own) is refused with
// TypeError. The check allocates nothing and runs no Python code.
void object_setattr(PyObject* obj, PyObject* name, PyObject* value);
// Learns how the interpreter dispatches __setattr__ of classes written in
// Python. Called at module set-up, before the first object_setattr.
void init_object_setattr();

// A module-level function object (a builtin function whose __module__ is `module_name`).
Ref make_function(PyMethodDef* def, PyObject* module_name);

}  // namespace orv
