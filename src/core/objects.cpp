#include "core/objects.hpp"

#include "core/immortal.hpp"

namespace orv {

namespace {
const Immortal& get_name() {
  static const Immortal get = Immortal::interned("get");
  return get;
}
}  // namespace

Ref mapping_get(PyObject* mapping, PyObject* key, PyObject* fallback) {
  if (PyDict_CheckExact(mapping)) {
    PyObject* value = check_ptr(PyDict_GetItemWithError(mapping, key));
    return Ref::borrow(value ? value : fallback);
  }
  return call_method(mapping, get_name().get(), key, fallback);
}

Ref mapping_get(PyObject* mapping, PyObject* key) {
  if (PyDict_CheckExact(mapping)) return Ref::borrow(check_ptr(PyDict_GetItemWithError(mapping, key)));
  return call_method(mapping, get_name().get(), key);
}

}  // namespace orv
