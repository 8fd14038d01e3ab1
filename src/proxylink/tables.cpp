// pandas and polars frames and series as tables: an "Array" whose first row
// holds the column labels and each further row the cells of one data row.
// The row index is not sent.
#include "proxylink/codec.hpp"

namespace proxylink::codec {
namespace {

using orv::check;
using orv::own;

// Cells of datetime64 columns travel as the Timestamps the frame holds:
// `values` of an all-datetime frame is a datetime64 array whose tolist()
// gives integer nanoseconds, so such a frame is read through astype(object).
Ref frame_values(PyObject* frame) {
  Ref values = getattr(frame, names.values);
  if (Py_TYPE(values.get()) != reinterpret_cast<PyTypeObject*>(libs.np_ndarray)) return values;
  Ref kind = getattr(getattr(values.get(), words.dtype).get(), words.kind);
  if (!check(PyObject_RichCompareBool(kind.get(), words.M, Py_EQ))) return values;
  Ref as_objects = call_method(frame, words.astype, reinterpret_cast<PyObject*>(&PyBaseObject_Type));
  return getattr(as_objects.get(), names.values);
}

}  // namespace

Ref encode_pandas(PyObject* value, bool is_series) {
  Ref frame = is_series ? call_method(value, words.to_frame) : Ref::borrow(value);
  Ref rows = own(PyList_New(0));
  Ref columns = getattr(frame.get(), words.columns);
  check(PyList_Append(rows.get(), call_method(columns.get(), words.tolist).get()));
  Ref values = frame_values(frame.get());
  Ref iterator = own(PyObject_GetIter(values.get()));
  while (Ref row = Ref::steal(PyIter_Next(iterator.get()))) {
    check(PyList_Append(rows.get(), call_method(row.get(), words.tolist).get()));
  }
  if (PyErr_Occurred()) orv::throw_current();
  return to_wire(rows.get());
}

Ref encode_polars(PyObject* value, bool is_series) {
  Ref frame = is_series ? call_method(value, words.to_frame) : Ref::borrow(value);
  Ref rows = own(PyList_New(0));
  check(PyList_Append(rows.get(), getattr(frame.get(), words.columns).get()));
  Ref data = call_method(frame.get(), words.rows);
  Ref iterator = own(PyObject_GetIter(data.get()));
  while (Ref row = Ref::steal(PyIter_Next(iterator.get()))) {
    check(PyList_Append(rows.get(), own(PySequence_List(row.get())).get()));
  }
  if (PyErr_Occurred()) orv::throw_current();
  return to_wire(rows.get());
}

}  // namespace proxylink::codec
