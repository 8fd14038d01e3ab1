// The five proxy operations behind the module functions _cw__getattr__,
// _cw__getitem__, _cw__setattr__, _cw__call__ and _cw__del__. The proxy
// classes reach them through the module globals; when a global is still the
// module's own function they call these directly.
#pragma once
#include "proxylink/state.hpp"

namespace proxylink {

Ref op_getattr(PyObject* self, PyObject* name);
Ref op_getitem(PyObject* self, PyObject* index);
void op_setattr(PyObject* self, PyObject* name, PyObject* value);
// Vectorcall convention: positional arguments, then the values named by kwnames.
Ref op_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Never raises an Exception; sends nothing while the interpreter shuts down.
void op_del(PyObject* self);

}  // namespace proxylink
