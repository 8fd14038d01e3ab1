// OfficeJsObject: the proxy of one object in the add-in's object table.
#include "core/pyclass.hpp"
#include "proxylink/classes.hpp"
#include "proxylink/forwarding.hpp"
#include "proxylink/proxy_common.hpp"

namespace proxylink {
namespace {

void check_identity_args(PyObject* object_id, PyObject* type_name) {
  orv::require_exact(object_id, &PyLong_Type, "object_id");
  orv::require_exact(type_name, &PyUnicode_Type, "type_name");
}

PyObject* object_new(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return orv::boundary([&] {
    PyObject* argv[3];
    orv::parse_args({"__new__", {"cls", "object_id", "type_name"}, 3}, args, nargs, kwnames, argv);
    check_identity_args(argv[1], argv[2]);
    return new_instance(owned.OfficeJsObject, argv[0], argv[2], names.orvane_Excel);  // per-instance classes live in "orvane.Excel"
  });
}

PyObject* object_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return orv::boundary([&] {
    PyObject* argv[2];
    orv::parse_args({"__init__", {"object_id", "type_name"}, 2, true}, args, nargs, kwnames, argv);
    check_identity_args(argv[0], argv[1]);
    Ref object_id = orv::own(PyNumber_Long(argv[0]));
    set_identity(self, object_id.get(), argv[1], names.officejs_object);
    return orv::none();
  });
}

PyObject* object_getitem(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return orv::boundary([&] {
    PyObject* index;
    orv::parse_args({"__getitem__", {"index"}, 1, true}, args, nargs, kwnames, {&index, 1});
    return forward_getitem(self, index);
  });
}

PyObject* object_setattr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return orv::boundary([&] {
    PyObject* argv[2];
    orv::parse_args({"__setattr__", {"name", "value"}, 2, true}, args, nargs, kwnames, argv);
    orv::require_exact(argv[0], &PyUnicode_Type, "name");
    forward_setattr(self, argv[0], argv[1]);
    return orv::none();
  });
}

PyObject* object_repr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return orv::boundary([&] {
    std::span<PyObject*> none;
    orv::parse_args({"__repr__", {}, 0, true}, args, nargs, kwnames, none);
    Ref type_name = format_field(getattr(self, names._internal_typeName).get());
    Ref object_id = format_field(getattr(self, names._internal_id).get());
    return orv::own(PyUnicode_FromFormat("<OfficeJsObject %U id=%U>", type_name.get(), object_id.get()));
  });
}

PyMethodDef static_methods[] = {
    {"__new__", ORV_FASTCALL(object_new),
     "__new__(cls, object_id: int, type_name: str) -> OfficeJsObject\n\n"
     "Create the proxy as an instance of a new class named after its Office.js type."},
};

PyMethodDef methods[] = {
    {"__init__", ORV_FASTCALL(object_init),
     "__init__(self, object_id: int, type_name: str) -> None\n\n"
     "Record the remote id, the type name and the current messaging context stamp."},
    {"__getattr__", ORV_FASTCALL(method_forward_getattr),
     "__getattr__(self, name: str) -> Any\n\nRead a remote attribute (forwarded to _cw__getattr__)."},
    {"__getitem__", ORV_FASTCALL(object_getitem),
     "__getitem__(self, index: Union[int, slice]) -> Any\n\nRead a remote item (forwarded to _cw__getitem__)."},
    {"__setattr__", ORV_FASTCALL(object_setattr),
     "__setattr__(self, name: str, value: Any) -> None\n\nWrite a remote attribute (forwarded to _cw__setattr__)."},
    {"__call__", ORV_FASTCALL(method_forward_call),
     "__call__(self, *args: Any, **kwargs: Any) -> Any\n\nCall a remote function (forwarded to _cw__call__)."},
    {"__del__", ORV_FASTCALL(method_forward_del),
     "__del__(self) -> None\n\nRelease the remote object (forwarded to _cw__del__)."},
    {"__repr__", ORV_FASTCALL(object_repr),
     "__repr__(self) -> str\n\nReturn '<OfficeJsObject TYPE id=ID>'."},
};

}  // namespace

Ref make_object_class() {
  return make_module_class("OfficeJsObject",
                           "Dynamic proxy class for Office.js objects.\n\n"
                           "    Provides __getattr__, __setattr__, __call__, __getitem__ to proxy\n"
                           "    operations to the Office.js Add-in via WebSocket.\n",
                           &PyBaseObject_Type, methods, static_methods);
}

}  // namespace proxylink
