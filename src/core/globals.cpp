#include "core/globals.hpp"

namespace orv {

Ref lookup_global(PyObject* globals, PyObject* name) {
  PyObject* value = check_ptr(PyDict_GetItemWithError(globals, name));
  if (!value) raise_format(PyExc_NameError, "name '%U' is not defined", name);
  return Ref::borrow(value);
}

void rethrow_trimmed(PythonError& err, PyObject* names) {
  Ref exc = err.take();
  Ref tb = Ref::steal(PyException_GetTraceback(exc.get()));
  while (tb && !tb.is(Py_None)) {
    Ref frame = own(PyObject_GetAttrString(tb.get(), "tb_frame"));
    Ref code = own(PyObject_GetAttrString(frame.get(), "f_code"));
    Ref name = own(PyObject_GetAttrString(code.get(), "co_name"));
    if (!check(PySequence_Contains(names, name.get()))) break;
    tb = own(PyObject_GetAttrString(tb.get(), "tb_next"));
  }
  check(PyException_SetTraceback(exc.get(), tb ? tb.get() : Py_None));
  PyException_SetCause(exc.get(), nullptr);  // also sets __suppress_context__
  throw PythonError(std::move(exc));
}

}  // namespace orv
