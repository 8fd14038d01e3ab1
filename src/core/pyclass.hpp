// Classes whose methods are C++ functions, built the way a class statement
// builds them: a namespace handed to `type`. Their class dictionaries then
// look exactly like those of Python classes (no extra slot wrappers).
#pragma once
#include "core/error.hpp"

#include <span>

namespace orv {

// Binds `value` to `name` in a module's namespace.
inline void bind(PyObject* module, const char* name, PyObject* value) {
  check(PyObject_SetAttrString(module, name, value));
}

struct ClassSpec {
  const char* name;
  const char* module;  // the `__module__` entry
  const char* doc;
  PyObject* bases;     // a tuple, borrowed
  // Plain methods become method descriptors of the class.
  std::span<PyMethodDef> methods;
  // Static methods (`__new__` among them) are wrapped in `staticmethod`.
  std::span<PyMethodDef> static_methods;
};

Ref make_class(const ClassSpec& spec);

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

// The PyMethodDef function and flags of a vectorcall function with keywords.
#define ORV_FASTCALL(fn) \
  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_FASTCALL | METH_KEYWORDS
