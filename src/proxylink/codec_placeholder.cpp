// Minimal codec until the full encoder and decoder land: scalars, containers,
// proxies and references only.
#include "proxylink/serializer.hpp"

namespace proxylink {

Ref encode(PyObject* value) {
  Ref result = orv::own(PyDict_New());
  const char* tag = "String";
  Ref payload = Ref::borrow(value);
  bool is_spec = false;
  if (value == Py_None) {
    tag = "Null";
  } else if (PyBool_Check(value)) {
    tag = "Bool";
  } else if (PyLong_Check(value)) {
    tag = "Int";
  } else if (PyFloat_Check(value)) {
    tag = "Float";
  } else if (PyList_Check(value) || PyTuple_Check(value)) {
    tag = "Array";
    Ref seq = orv::own(PySequence_List(value));
    payload = orv::own(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq.get()); ++i)
      orv::check(PyList_Append(payload.get(), to_wire(PyList_GET_ITEM(seq.get(), i)).get()));
  } else if (PyObject_IsInstance(value, owned.OfficeJsObject) == 1) {
    tag = nullptr;
    orv::check(PyDict_SetItem(result.get(), names.type, getattr(value, names._internal_typeName).get()));
    payload = getattr(value, names._internal_id);
    is_spec = true;
  } else if (!PyUnicode_Check(value)) {
    payload = orv::own(PyObject_Str(value));
  }
  if (tag) orv::check(PyDict_SetItem(result.get(), names.type, orv::own(PyUnicode_FromString(tag)).get()));
  orv::check(PyDict_SetItem(result.get(), names.value, payload.get()));
  orv::check(PyDict_SetItem(result.get(), names.isSpec, is_spec ? Py_True : Py_False));
  return result;
}

Ref decode(PyObject* wire) {
  if (!PyDict_CheckExact(wire)) orv::raise(PyExc_TypeError, "wire must be a dict");
  PyObject* value = PyDict_GetItemWithError(wire, names.value);
  if (!value) return orv::none();
  return Ref::borrow(value);
}

}  // namespace proxylink
