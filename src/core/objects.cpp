#include "core/objects.hpp"

namespace orv {

Ref mapping_get(PyObject* mapping, PyObject* key, PyObject* fallback) {
  if (PyDict_CheckExact(mapping)) {
    PyObject* value = check_ptr(PyDict_GetItemWithError(mapping, key));
    return Ref::borrow(value ? value : fallback);
  }
  static PyObject* get = PyUnicode_InternFromString("get");
  if (!get) throw_current();
  return call_method(mapping, get, key, fallback);
}

}  // namespace orv
