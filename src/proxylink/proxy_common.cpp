#include "proxylink/proxy_common.hpp"

namespace proxylink {

namespace {

Ref next_in_mro(PyObject* defining, PyObject* obj, PyObject* name) {
  PyObject* argv[] = {defining, obj};
  Ref next = orv::own(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PySuper_Type), argv, 2, nullptr));
  return getattr(next.get(), name);
}

}  // namespace

Ref new_instance(PyObject* defining, PyObject* cls, PyObject* name, PyObject* module_name) {
  Ref next_new = next_in_mro(defining, cls, names.__new__);
  Ref bases = orv::own(PyTuple_Pack(1, cls));
  Ref ns = orv::own(PyDict_New());
  orv::check(PyDict_SetItem(ns.get(), names.__module__, module_name));
  PyObject* argv[] = {name, bases.get(), ns.get()};
  Ref instance_class = orv::own(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyType_Type), argv, 3, nullptr));
  return orv::own(PyObject_CallOneArg(next_new.get(), instance_class.get()));
}

void init_next(PyObject* defining, PyObject* self) {
  Ref next_init = next_in_mro(defining, self, names.__init__);
  orv::own(PyObject_CallNoArgs(next_init.get()));
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

Ref method_forward_getattr(PyObject* self, orv::Args args) {
  PyObject* name = args[0];
  orv::require_exact(name, &PyUnicode_Type, "name");
  return forward_getattr(self, name);
}

Ref method_forward_del(PyObject* self, orv::Args) {
  forward_del(self);
  return orv::none();
}

}  // namespace proxylink
