// The small operations on Python objects that both modules are written in.
// Each throws PythonError on failure, so a body reads as its algorithm.
#pragma once
#include "core/error.hpp"

namespace orv {

// obj.name (name interned)
inline Ref getattr(PyObject* obj, PyObject* name) { return own(PyObject_GetAttr(obj, name)); }
// obj.name = value, through the object's own __setattr__
inline void setattr(PyObject* obj, PyObject* name, PyObject* value) { check(PyObject_SetAttr(obj, name, value)); }

// obj.name(args...) (vectorcall; no bound method is made)
template <class... A>
Ref call_method(PyObject* obj, PyObject* name, A... args) {
  PyObject* argv[] = {obj, args...};
  return own(PyObject_VectorcallMethod(name, argv, 1 + sizeof...(A), nullptr));
}

// fn(arg)
inline Ref call(PyObject* fn, PyObject* arg) { return own(PyObject_CallOneArg(fn, arg)); }

// bool(value)
inline bool truth(PyObject* value) { return check(PyObject_IsTrue(value)) != 0; }
// a == b, Python's comparison (identity first)
inline bool equals(PyObject* a, PyObject* b) { return check(PyObject_RichCompareBool(a, b, Py_EQ)) != 0; }
// isinstance(value, cls)
inline bool isinstance(PyObject* value, PyObject* cls) { return check(PyObject_IsInstance(value, cls)) != 0; }

// mapping.get(key, fallback): an exact dict is read directly, any other mapping
// through its own get method; `fallback` is what a missing key reads as.
Ref mapping_get(PyObject* mapping, PyObject* key, PyObject* fallback);
// mapping.get(key): an exact dict is read directly (an empty Ref for a missing
// key), any other mapping through its own get method called with the key alone.
Ref mapping_get(PyObject* mapping, PyObject* key);

// dict[key] for an exact dict, owned; an empty Ref when absent.
Ref dict_get(PyObject* dict, PyObject* key);

// The module global `name`, read from `globals` (a module's __dict__) at every
// use so that rebinding it takes effect at once; NameError when unbound.
Ref lookup_global(PyObject* globals, PyObject* name);

// for item in iterable: if not fn(item): break
template <class F>
void for_each(PyObject* iterable, F&& fn) {
  Ref iter = own(PyObject_GetIter(iterable));
  while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
    if (!fn(item.get())) return;
  }
  if (PyErr_Occurred()) throw_current();
}

}  // namespace orv
