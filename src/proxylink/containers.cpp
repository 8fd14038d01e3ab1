// OfficeJsArray and OfficeJsDict: a real list or dict of decoded contents
// that also remembers the id of the remote array or dictionary. Contents are
// local; only unknown attribute reads, calls and destruction reach the add-in.
#include "proxylink/classes.hpp"
#include "proxylink/proxy_common.hpp"

namespace proxylink {
namespace {

struct Kind {
  const orv::Immortal& cls;         // the class defined here
  PyTypeObject* base;               // list or dict
  const orv::Immortal& class_name;  // per-instance class name
  const orv::Immortal& type_name;   // _internal_typeName
  const orv::Immortal& typ;         // _typ
};

const Kind array_kind{owned.OfficeJsArray, &PyList_Type, names.JsArray, names.Array, names.officejs_array};
const Kind dict_kind{owned.OfficeJsDict, &PyDict_Type, names.JsDict, names.Dict, names.officejs_dict};

template <const Kind& K>
Ref container_new(PyObject*, orv::Args args) {
  orv::require_exact(args[1], &PyLong_Type, "object_id");
  return new_instance(K.cls, args[0], K.class_name, names.orvane);
}

template <const Kind& K>
Ref container_init(PyObject* self, orv::Args args) {
  PyObject* object_id = args[0];
  orv::require_exact(object_id, &PyLong_Type, "object_id");
  init_next(K.cls, self);
  set_identity(self, object_id, K.type_name, K.typ);
  return orv::none();
}

Ref dict_getattr(PyObject* self, orv::Args args) {
  PyObject* name = args[0];
  orv::require_exact(name, &PyUnicode_Type, "name");
  if (Ref value = orv::dict_get(self, name)) return value;
  return forward_getattr(self, name);
}

Ref array_setattr(PyObject*, orv::Args args) {
  orv::require_exact(args[0], &PyUnicode_Type, "name");
  orv::raise(PyExc_AttributeError, "Cannot set attributes on OfficeJsArray");
}

Ref dict_setattr(PyObject* self, orv::Args args) {
  orv::require_exact(args[0], &PyUnicode_Type, "name");
  if (!orv::check(PyDict_Contains(self, args[0]))) {
    orv::raise(PyExc_AttributeError, "Cannot set attributes on OfficeJsDict");
  }
  orv::check(PyObject_SetItem(self, args[0], args[1]));  // ordinary item assignment
  return orv::none();
}

template <const Kind& K>
Ref container_str(PyObject* self, orv::Args) {
  return orv::own(K.base->tp_repr(self));
}

Ref array_repr(PyObject* self, orv::Args) {
  Ref object_id = format_field(getattr(self, names._internal_id).get());
  Py_ssize_t size = PyObject_Size(self);
  if (size < 0) orv::throw_current();
  return orv::own(PyUnicode_FromFormat("<OfficeJsArray id=%U len=%zd>", object_id.get(), size));
}

Ref dict_repr(PyObject* self, orv::Args) {
  constexpr Py_ssize_t shown = 10;
  Ref keys = orv::own(PyDict_Keys(self));
  if (PyList_GET_SIZE(keys.get()) > shown) {
    keys = orv::own(PyList_GetSlice(keys.get(), 0, shown));
    Ref marker = orv::own(PyUnicode_FromString("..."));
    orv::check(PyList_Append(keys.get(), marker.get()));
  }
  Ref object_id = format_field(getattr(self, names._internal_id).get());
  return orv::own(PyUnicode_FromFormat("<OfficeJsDict id=%U keys=%R>", object_id.get(), keys.get()));
}

constexpr orv::MethodDecl array_static_table[] = {
    {{.function = "__new__", .names = {"cls", "object_id"}, .required = 2}, container_new<array_kind>,
     "__new__(cls, object_id: int) -> OfficeJsArray\n\nCreate an empty array of a new per-instance class."},
};
auto array_static = orv::method_defs<array_static_table>();
constexpr orv::MethodDecl dict_static_table[] = {
    {{.function = "__new__", .names = {"cls", "object_id"}, .required = 2}, container_new<dict_kind>,
     "__new__(cls, object_id: int) -> OfficeJsDict\n\nCreate an empty dictionary of a new per-instance class."},
};
auto dict_static = orv::method_defs<dict_static_table>();

constexpr orv::MethodDecl array_methods_table[] = {
    {{.function = "__init__", .names = {"object_id"}, .required = 1, .self_counted = true}, container_init<array_kind>,
     "__init__(self, object_id: int) -> None\n\nStart empty and record the remote id and the context stamp."},
    forwarded_getattr("__getattr__(self, name: str) -> Any\n\nRead a remote attribute (forwarded to _cw__getattr__)."),
    {{.function = "__setattr__", .names = {"name", "value"}, .required = 2, .self_counted = true}, array_setattr,
     "__setattr__(self, name: str, value: Any) -> None\n\nAlways refused: arrays take no attributes."},
    forwarded_call("__call__(self, *args: Any, **kwargs: Any) -> Any\n\nForwarded to _cw__call__, which refuses arrays."),
    forwarded_del("__del__(self) -> None\n\nRelease the remote array (forwarded to _cw__del__)."),
    {{.function = "__str__", .self_counted = true}, container_str<array_kind>,
     "__str__(self) -> str\n\nReturn the list representation of the items."},
    {{.function = "__repr__", .self_counted = true}, array_repr,
     "__repr__(self) -> str\n\nReturn '<OfficeJsArray id=ID len=N>'."},
};
auto array_methods = orv::method_defs<array_methods_table>();

constexpr orv::MethodDecl dict_methods_table[] = {
    {{.function = "__init__", .names = {"object_id"}, .required = 1, .self_counted = true}, container_init<dict_kind>,
     "__init__(self, object_id: int) -> None\n\nStart empty and record the remote id and the context stamp."},
    {{.function = "__getattr__", .names = {"name"}, .required = 1, .self_counted = true}, dict_getattr,
     "__getattr__(self, name: str) -> Any\n\nThe value of key `name` if present, else a remote read."},
    {{.function = "__setattr__", .names = {"name", "value"}, .required = 2, .self_counted = true}, dict_setattr,
     "__setattr__(self, name: str, value: Any) -> None\n\nReplace the value of an existing key; other names are refused."},
    forwarded_call("__call__(self, *args: Any, **kwargs: Any) -> Any\n\nForwarded to _cw__call__, which refuses dictionaries."),
    forwarded_del("__del__(self) -> None\n\nRelease the remote dictionary (forwarded to _cw__del__)."),
    {{.function = "__str__", .self_counted = true}, container_str<dict_kind>,
     "__str__(self) -> str\n\nReturn the dict representation of the entries."},
    {{.function = "__repr__", .self_counted = true}, dict_repr,
     "__repr__(self) -> str\n\nReturn '<OfficeJsDict id=ID keys=[...]>' with at most ten keys shown."},
};
auto dict_methods = orv::method_defs<dict_methods_table>();

}  // namespace

Ref make_array_class() {
  return make_module_class("OfficeJsArray", "Specialized proxy for arrays returned from Office.js.", array_kind.base,
                           array_methods, array_static);
}

Ref make_dict_class() {
  return make_module_class("OfficeJsDict", "Specialized proxy for dictionaries returned from Office.js.",
                           dict_kind.base, dict_methods, dict_static);
}

}  // namespace proxylink
