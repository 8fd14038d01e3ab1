// Benchmark floors, built by bench_wire.py only: the nested wire value of a
// float table made straight from the array's buffer through the C API, with
// nothing else around it (no type tests, no module lookups).
//
// build(values, labels) makes each dict with PyDict_New and three inserts;
// build(values, labels, float_t, string_t, array_t) copies the given
// template dicts and replaces their `value`: with templates that are instance
// dictionaries sharing one key table, the copies share it too, which is the
// layout the encoder produces.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

PyObject *k_type, *k_value, *k_is_spec, *t_array, *t_float, *t_string;
PyObject *tmpl_float, *tmpl_string, *tmpl_array;  // borrowed for one build; null: plain dicts

PyObject* template_for(PyObject* tag) {
  return tag == t_float ? tmpl_float : tag == t_string ? tmpl_string : tmpl_array;
}

PyObject* wire(PyObject* tag, PyObject* value) {  // steals value
  if (tmpl_float) {
    PyObject* d = value ? PyDict_Copy(template_for(tag)) : nullptr;
    if (!d || PyDict_SetItem(d, k_value, value) < 0) {
      Py_XDECREF(d);
      Py_XDECREF(value);
      return nullptr;
    }
    Py_DECREF(value);
    return d;
  }
  PyObject* d = PyDict_New();
  if (!d || !value || PyDict_SetItem(d, k_type, tag) < 0 || PyDict_SetItem(d, k_value, value) < 0 ||
      PyDict_SetItem(d, k_is_spec, Py_False) < 0) {
    Py_XDECREF(d);
    Py_XDECREF(value);
    return nullptr;
  }
  Py_DECREF(value);
  return d;
}

// build(values: 2-D float64 ndarray, labels: list of str[, float_t, string_t, array_t]) -> dict
PyObject* build(PyObject*, PyObject* args) {
  PyObject *values, *labels;
  tmpl_float = tmpl_string = tmpl_array = nullptr;
  if (!PyArg_ParseTuple(args, "OO!|O!O!O!", &values, &PyList_Type, &labels, &PyDict_Type, &tmpl_float,
                        &PyDict_Type, &tmpl_string, &PyDict_Type, &tmpl_array)) {
    return nullptr;
  }
  if (tmpl_float && !tmpl_array) {
    PyErr_SetString(PyExc_TypeError, "give all three templates or none");
    return nullptr;
  }
  Py_buffer view;
  if (PyObject_GetBuffer(values, &view, PyBUF_STRIDES | PyBUF_FORMAT) < 0) return nullptr;
  const Py_ssize_t n_rows = view.shape[0], n_cols = view.shape[1];
  PyObject* rows = PyList_New(n_rows + 1);
  PyObject* header = rows ? PyList_New(PyList_GET_SIZE(labels)) : nullptr;
  bool ok = header != nullptr;
  for (Py_ssize_t c = 0; ok && c < PyList_GET_SIZE(labels); ++c) {
    PyObject* label = PyList_GET_ITEM(labels, c);
    Py_INCREF(label);
    PyObject* cell = wire(t_string, label);
    ok = cell != nullptr;
    if (ok) PyList_SET_ITEM(header, c, cell);
  }
  if (ok) PyList_SET_ITEM(rows, 0, wire(t_array, header));
  const char* base = static_cast<const char*>(view.buf);
  for (Py_ssize_t r = 0; ok && r < n_rows; ++r) {
    PyObject* row = PyList_New(n_cols);
    ok = row != nullptr;
    for (Py_ssize_t c = 0; ok && c < n_cols; ++c) {
      double v = *reinterpret_cast<const double*>(base + r * view.strides[0] + c * view.strides[1]);
      PyObject* cell = wire(t_float, PyFloat_FromDouble(v));
      ok = cell != nullptr;
      if (ok) PyList_SET_ITEM(row, c, cell);
    }
    PyObject* row_wire = ok ? wire(t_array, row) : (Py_XDECREF(row), nullptr);
    ok = row_wire != nullptr;
    if (ok) PyList_SET_ITEM(rows, r + 1, row_wire);
  }
  PyBuffer_Release(&view);
  if (!ok) {
    Py_XDECREF(rows);
    return nullptr;
  }
  return wire(t_array, rows);
}

PyMethodDef methods[] = {{"build", build, METH_VARARGS, nullptr}, {nullptr, nullptr, 0, nullptr}};
PyModuleDef module = {PyModuleDef_HEAD_INIT, "floor_float_table", nullptr, -1, methods,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_floor_float_table() {
  k_type = PyUnicode_InternFromString("type");
  k_value = PyUnicode_InternFromString("value");
  k_is_spec = PyUnicode_InternFromString("isSpec");
  t_array = PyUnicode_InternFromString("Array");
  t_float = PyUnicode_InternFromString("Float");
  t_string = PyUnicode_InternFromString("String");
  return PyModule_Create(&module);
}
