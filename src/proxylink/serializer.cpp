// Serializer: the class that exposes the wire-value codec as static methods.
#include "proxylink/serializer.hpp"

#include "core/method.hpp"
#include "proxylink/classes.hpp"
#include "proxylink/codec.hpp"
#include "proxylink/global_checks.hpp"

namespace proxylink {
namespace {

Ref call_static(PyObject* name, PyObject* arg) {
  Ref cls = global(names.Serializer);
  return call_method(cls.get(), name, arg);
}

Ref to_wire_function(PyObject*, orv::Args args) {
  PyObject* value = args[0];
  // The hooks of a value may call back in: a __str__ that encodes another value.
  orv::RecursionGuard nesting(codec::kEncodeNesting);
  return encode(value);
}

Ref from_wire_function(PyObject*, orv::Args args) {
  PyObject* wire = args[0];
  orv::RecursionGuard nesting(codec::kDecodeNesting);
  return decode(wire);
}

constexpr orv::MethodDecl static_methods_table[] = {
    {{.function = "to_wire", .names = {"value"}, .required = 1}, to_wire_function,
     "to_wire(value: Any) -> Dict[str, Any]\n\n"
     "Serialize a Python value to wire format for transmission.\n\n"
     "Supports: None, bool, int, float, str, datetime, bytes, list, dict,\n"
     "pandas DataFrame/Series, polars DataFrame/Series (if installed), and OfficeJsObject wrappers.\n\n"
     "DataFrames and Series are serialized as a 2D array with column names as the\n"
     "first row, followed by data rows."},
    {{.function = "from_wire", .names = {"wire"}, .required = 1}, from_wire_function,
     "from_wire(wire: Dict[str, Any]) -> Any\n\n"
     "Deserialize a wire format value back to Python.\n\n"
     "Handles: Null, Bool, Int, Float, String, Date, Bytes, Array, Dict, and special OfficeJs object references."},
};
auto static_methods = orv::method_defs<static_methods_table>();

}  // namespace

Ref to_wire(PyObject* value) {
  if (global_checks::to_wire_is_own()) return encode(value);
  return call_static(names.to_wire, value);
}

Ref from_wire(PyObject* wire) {
  if (global_checks::from_wire_is_own()) return decode(wire);
  return call_static(names.from_wire, wire);
}

Ref make_serializer_class() {
  codec::init();
  Ref cls = make_module_class("Serializer", "Handles marshaling of data types between Python and JavaScript.",
                              &PyBaseObject_Type, {}, static_methods);
  PyObject* dict = reinterpret_cast<PyTypeObject*>(cls.get())->tp_dict;
  owned.to_wire_static = orv::Immortal(Ref::borrow(PyDict_GetItemWithError(dict, names.to_wire)));
  owned.from_wire_static = orv::Immortal(Ref::borrow(PyDict_GetItemWithError(dict, names.from_wire)));
  return cls;
}

}  // namespace proxylink
