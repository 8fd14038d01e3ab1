#include "core/objects.hpp"

#include "core/names.hpp"

namespace orv {

Ref mapping_get(PyObject* mapping, PyObject* key, PyObject* fallback) {
  if (PyDict_CheckExact(mapping)) {
    Ref value = Ref::steal(compat::dict_get_ref(mapping, key));
    if (!value && PyErr_Occurred()) throw_current();
    return value ? value : Ref::borrow(fallback);
  }
  return call_method(mapping, core_names.get.get(), key, fallback);
}

Ref mapping_get(PyObject* mapping, PyObject* key) {
  if (PyDict_CheckExact(mapping)) return dict_get(mapping, key);
  return call_method(mapping, core_names.get.get(), key);
}

Ref dict_get(PyObject* dict, PyObject* key) {
  Ref value = Ref::steal(compat::dict_get_ref(dict, key));
  if (!value && PyErr_Occurred()) throw_current();
  return value;
}

Ref lookup_global(PyObject* globals, PyObject* name) {
  Ref value = dict_get(globals, name);
  if (!value) raise_format(PyExc_NameError, "name '%U' is not defined", name);
  return value;
}

}  // namespace orv
