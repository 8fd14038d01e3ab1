// Small shims over the differences between the CPython versions we build for.
// Every version check of the project lives here.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

namespace orv::compat {

// Takes the raised exception out of the error indicator as one normalised
// object whose __traceback__ holds the traceback; nullptr when none is set.
inline PyObject* fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (!type) return nullptr;
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb && value) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return value;
#endif
}

// Raises `exc` (a reference is stolen) with the traceback it carries.
inline void restore_exception(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
  Py_INCREF(type);
  PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

inline bool is_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

inline PyObject* new_ref(PyObject* o) {
  Py_INCREF(o);
  return o;
}

// The function name of a traceback entry's frame (a new reference).
inline PyObject* frame_function_name(PyFrameObject* frame) {
  PyCodeObject* code = PyFrame_GetCode(frame);  // new reference since 3.9
  PyObject* name = code->co_name;
  Py_INCREF(name);
  Py_DECREF(code);
  return name;
}

}  // namespace orv::compat
