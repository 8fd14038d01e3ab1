#include "proxylink/proxy_common.hpp"

namespace proxylink {

Ref make_instance_class(PyObject* cls, PyObject* name, PyObject* module_name) {
  Ref bases = orv::own(PyTuple_Pack(1, cls));
  Ref ns = orv::own(PyDict_New());
  orv::check(PyDict_SetItemString(ns.get(), "__module__", module_name));
  PyObject* argv[] = {name, bases.get(), ns.get()};
  return orv::own(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyType_Type), argv, 3, nullptr));
}

void set_identity(PyObject* self, PyObject* object_id, PyObject* type_name, PyObject* typ) {
  set_local(self, names._internal_id, object_id);
  set_local(self, names._internal_typeName, type_name);
  Ref messaging = global(names.messaging);
  set_local(self, names._msg_guid, getattr(messaging.get(), names._guid).get());
  set_local(self, names._typ, typ);
  set_local(self, names._internal_cache, orv::own(PyDict_New()).get());
}

Ref format_field(PyObject* value) {
  if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
  return orv::own(PyObject_Format(value, nullptr));
}

}  // namespace proxylink
