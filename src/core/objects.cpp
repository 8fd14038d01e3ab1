#include "core/objects.hpp"

#include "core/names.hpp"

namespace orv {

Ref mapping_get(PyObject* mapping, PyObject* key, PyObject* fallback) {
  if (PyDict_CheckExact(mapping)) {
    PyObject* value = check_ptr(PyDict_GetItemWithError(mapping, key));
    return Ref::borrow(value ? value : fallback);
  }
  return call_method(mapping, core_names.get.get(), key, fallback);
}

Ref mapping_get(PyObject* mapping, PyObject* key) {
  if (PyDict_CheckExact(mapping)) return Ref::borrow(check_ptr(PyDict_GetItemWithError(mapping, key)));
  return call_method(mapping, core_names.get.get(), key);
}

Ref lookup_global(PyObject* globals, PyObject* name) {
  PyObject* value = check_ptr(PyDict_GetItemWithError(globals, name));
  if (!value) raise_format(PyExc_NameError, "name '%U' is not defined", name);
  return Ref::borrow(value);
}

}  // namespace orv
