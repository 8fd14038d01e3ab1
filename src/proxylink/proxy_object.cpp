// OfficeJsObject: the proxy of one object in the add-in's object table.
#include "proxylink/classes.hpp"
#include "proxylink/proxy_common.hpp"

namespace proxylink {
namespace {

void check_identity_args(PyObject* object_id, PyObject* type_name) {
  orv::require_exact(object_id, &PyLong_Type, "object_id");
  orv::require_exact(type_name, &PyUnicode_Type, "type_name");
}

Ref object_new(PyObject*, orv::Args args) {
  check_identity_args(args[1], args[2]);
  return new_instance(owned.OfficeJsObject, args[0], args[2], names.orvane_Excel);  // per-instance classes live in "orvane.Excel"
}

Ref object_init(PyObject* self, orv::Args args) {
  check_identity_args(args[0], args[1]);
  Ref object_id = orv::own(PyNumber_Long(args[0]));
  set_identity(self, object_id.get(), args[1], names.officejs_object);
  return orv::none();
}

Ref object_getitem(PyObject* self, orv::Args args) {
  PyObject* index = args[0];
  return forward_getitem(self, index);
}

Ref object_setattr(PyObject* self, orv::Args args) {
  orv::require_exact(args[0], &PyUnicode_Type, "name");
  forward_setattr(self, args[0], args[1]);
  return orv::none();
}

Ref object_repr(PyObject* self, orv::Args) {
  Ref type_name = format_field(getattr(self, names._internal_typeName).get());
  Ref object_id = format_field(getattr(self, names._internal_id).get());
  return orv::own(PyUnicode_FromFormat("<OfficeJsObject %U id=%U>", type_name.get(), object_id.get()));
}

constexpr orv::MethodDecl static_methods_table[] = {
    {{.function = "__new__", .names = {"cls", "object_id", "type_name"}, .required = 3}, object_new,
     "__new__(cls, object_id: int, type_name: str) -> OfficeJsObject\n\n"
     "Create the proxy as an instance of a new class named after its Office.js type."},
};
auto static_methods = orv::method_defs<static_methods_table>();

constexpr orv::MethodDecl methods_table[] = {
    {{.function = "__init__", .names = {"object_id", "type_name"}, .required = 2, .self_counted = true}, object_init,
     "__init__(self, object_id: int, type_name: str) -> None\n\n"
     "Record the remote id, the type name and the current messaging context stamp."},
    forwarded_getattr("__getattr__(self, name: str) -> Any\n\nRead a remote attribute (forwarded to _cw__getattr__)."),
    {{.function = "__getitem__", .names = {"index"}, .required = 1, .self_counted = true}, object_getitem,
     "__getitem__(self, index: Union[int, slice]) -> Any\n\nRead a remote item (forwarded to _cw__getitem__)."},
    {{.function = "__setattr__", .names = {"name", "value"}, .required = 2, .self_counted = true}, object_setattr,
     "__setattr__(self, name: str, value: Any) -> None\n\nWrite a remote attribute (forwarded to _cw__setattr__)."},
    forwarded_call("__call__(self, *args: Any, **kwargs: Any) -> Any\n\nCall a remote function (forwarded to _cw__call__)."),
    forwarded_del("__del__(self) -> None\n\nRelease the remote object (forwarded to _cw__del__)."),
    {{.function = "__repr__", .self_counted = true}, object_repr,
     "__repr__(self) -> str\n\nReturn '<OfficeJsObject TYPE id=ID>'."},
};
auto methods = orv::method_defs<methods_table>();

}  // namespace

Ref make_object_class() {
  return make_module_class("OfficeJsObject",
                           "Dynamic proxy class for Office.js objects.\n\n"
                           "    Provides __getattr__, __setattr__, __call__, __getitem__ to proxy\n"
                           "    operations to the Office.js Add-in via WebSocket.\n",
                           &PyBaseObject_Type, methods, static_methods);
}

}  // namespace proxylink
