// Benchmark floor, built by bench_wire.py only: the least that decoding a
// table of scalar wire values can cost through the C API.
//
// decode(wire, tag) reads an "Array" of "Array" rows. For every row and every
// cell it makes the four lookups the decoder makes ("type", "value", "isSpec",
// "id", with interned keys), tests the cell's tag against one interned word
// (identity first, then string equality) and puts a new reference to the value
// into a new list; a cell of another tag becomes None. The result is a list of
// row lists. No containers with ids, no conversions, no module lookups.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

PyObject *k_type, *k_value, *k_is_spec, *k_id;

struct Fields {
  PyObject *type, *value, *is_spec, *id;  // borrowed; null when missing
};

bool read(PyObject* wire, Fields& out) {
  if (!PyDict_CheckExact(wire)) {
    PyErr_SetString(PyExc_TypeError, "a wire value must be a dict");
    return false;
  }
  out.type = PyDict_GetItemWithError(wire, k_type);
  if (!out.type && PyErr_Occurred()) return false;
  out.value = PyDict_GetItemWithError(wire, k_value);
  if (!out.value && PyErr_Occurred()) return false;
  out.is_spec = PyDict_GetItemWithError(wire, k_is_spec);
  if (!out.is_spec && PyErr_Occurred()) return false;
  out.id = PyDict_GetItemWithError(wire, k_id);
  return out.id || !PyErr_Occurred();
}

bool is_tag(PyObject* type, PyObject* tag) {
  return type == tag || (type && PyUnicode_CheckExact(type) && PyUnicode_Compare(type, tag) == 0);
}

// Borrowed list payload of an "Array" wire value, or null with an error set.
PyObject* rows_of(PyObject* wire) {
  Fields f;
  if (!read(wire, f)) return nullptr;
  if (!f.value || !PyList_CheckExact(f.value)) {
    PyErr_SetString(PyExc_TypeError, "expected an Array with a list payload");
    return nullptr;
  }
  return f.value;
}

// decode(wire: dict, tag: str) -> list of lists
PyObject* decode(PyObject*, PyObject* args) {
  PyObject *wire, *tag;
  if (!PyArg_ParseTuple(args, "OU", &wire, &tag)) return nullptr;
  Py_INCREF(tag);
  PyUnicode_InternInPlace(&tag);
  PyObject* rows = rows_of(wire);
  PyObject* out = rows ? PyList_New(PyList_GET_SIZE(rows)) : nullptr;
  for (Py_ssize_t r = 0; out && r < PyList_GET_SIZE(rows); ++r) {
    PyObject* cells = rows_of(PyList_GET_ITEM(rows, r));
    PyObject* row = cells ? PyList_New(PyList_GET_SIZE(cells)) : nullptr;
    if (row) PyList_SET_ITEM(out, r, row);
    for (Py_ssize_t c = 0; row && c < PyList_GET_SIZE(cells); ++c) {
      Fields f;
      if (!read(PyList_GET_ITEM(cells, c), f)) {
        row = nullptr;
        break;
      }
      PyObject* value = is_tag(f.type, tag) && f.value ? f.value : Py_None;
      Py_INCREF(value);
      PyList_SET_ITEM(row, c, value);
    }
    if (!row) Py_CLEAR(out);
  }
  Py_DECREF(tag);
  return out;
}

PyMethodDef methods[] = {{"decode", decode, METH_VARARGS, nullptr}, {nullptr, nullptr, 0, nullptr}};
PyModuleDef module = {PyModuleDef_HEAD_INIT, "floor_decode", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_floor_decode() {
  k_type = PyUnicode_InternFromString("type");
  k_value = PyUnicode_InternFromString("value");
  k_is_spec = PyUnicode_InternFromString("isSpec");
  k_id = PyUnicode_InternFromString("id");
  return PyModule_Create(&module);
}
