#include "core/globals.hpp"

namespace orv {

Ref lookup_global(PyObject* globals, PyObject* name) {
  PyObject* value = check_ptr(PyDict_GetItemWithError(globals, name));
  if (!value) raise_format(PyExc_NameError, "name '%U' is not defined", name);
  return Ref::borrow(value);
}

}  // namespace orv
