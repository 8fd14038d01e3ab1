// Pieces shared by the proxy classes: per-instance classes, identity
// attributes and the calling conventions of their methods.
#pragma once
#include "core/pyclass.hpp"
#include "core/args.hpp"
#include "proxylink/state.hpp"

namespace proxylink {

// type(name, (cls,), {"__module__": module_name}): every proxy gets a class of its own.
Ref make_instance_class(PyObject* cls, PyObject* name, PyObject* module_name);

// Writes _internal_id, _internal_typeName, _msg_guid, _typ and _internal_cache,
// in that order, into the instance dictionary (bypassing the class's __setattr__).
void set_identity(PyObject* self, PyObject* object_id, PyObject* type_name, PyObject* typ);

// "<...>" texts: a value formatted as a bare f-string field ({value}).
Ref format_field(PyObject* value);

// Method bodies shared by the proxy classes (vectorcall convention).
PyObject* method_forward_getattr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* method_forward_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* method_forward_del(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace proxylink

