// Forwarding of the proxies' special methods to the module-level _cw__
// functions, looked up by name at every call. Failures derived from Exception
// come back as the same exception object with the bridge's own leading frames
// cut from the traceback and the chained cause suppressed.
#pragma once
#include "proxylink/state.hpp"

namespace proxylink {

Ref forward_getattr(PyObject* self, PyObject* name);
Ref forward_getitem(PyObject* self, PyObject* index);
void forward_setattr(PyObject* self, PyObject* name, PyObject* value);
Ref forward_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
void forward_del(PyObject* self);

// Re-raises an Exception trimmed as above; anything else passes unchanged.
[[noreturn]] void rethrow_for_user(orv::PythonError& err);

}  // namespace proxylink
