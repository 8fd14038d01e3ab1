// pandas and polars frames and series as tables: an "Array" whose first row
// holds the column labels and each further row the cells of one data row.
// The row index is not sent.
#include <cstring>

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
  if (Py_TYPE(values.get()) != as_type(libs.np_ndarray)) return values;
  Ref kind = getattr(getattr(values.get(), words.dtype).get(), words.kind);
  if (!check(PyObject_RichCompareBool(kind.get(), words.M, Py_EQ))) return values;
  Ref as_objects = call_method(frame, words.astype, reinterpret_cast<PyObject*>(&PyBaseObject_Type));
  return getattr(as_objects.get(), names.values);
}

// A 2-D array's buffer, held while its cells are read.
class Buffer {
 public:
  // False (and no error set) when `values` exports no strided buffer.
  bool acquire(PyObject* values) {
    if (PyObject_GetBuffer(values, &view_, PyBUF_STRIDES | PyBUF_FORMAT) < 0) {
      PyErr_Clear();
      return false;
    }
    held_ = true;
    return true;
  }
  ~Buffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// What `row.tolist()` makes of a cell, by the buffer's item format.
enum class Cells { Float, Signed, Unsigned, Bool, Object, Other };

Cells cell_kind(const Py_buffer& view) {
  const char* format = view.format;
  if (!format || !format[0] || format[1]) return Cells::Other;  // native single items only
  switch (format[0]) {
    case 'd':
    case 'f':
      return Cells::Float;
    case 'b': case 'h': case 'i': case 'l': case 'q':
      return Cells::Signed;
    case 'B': case 'H': case 'I': case 'L': case 'Q':
      return Cells::Unsigned;
    case '?':
      return Cells::Bool;
    case 'O':
      return Cells::Object;
    default:
      return Cells::Other;
  }
}

template <class T>
T load(const char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// The Python object `tolist()` gives for the cell at `p` (a new reference).
Ref cell_value(Cells kind, const char* p, Py_ssize_t size) {
  switch (kind) {
    case Cells::Float:
      return orv::own(PyFloat_FromDouble(size == 8 ? load<double>(p) : double(load<float>(p))));
    case Cells::Signed: {
      long long v = size == 8 ? load<int64_t>(p) : size == 4 ? load<int32_t>(p) : size == 2 ? load<int16_t>(p) : load<int8_t>(p);
      return orv::own(PyLong_FromLongLong(v));
    }
    case Cells::Unsigned: {
      unsigned long long v = size == 8 ? load<uint64_t>(p) : size == 4 ? load<uint32_t>(p)
                           : size == 2 ? load<uint16_t>(p) : load<uint8_t>(p);
      return orv::own(PyLong_FromUnsignedLongLong(v));
    }
    case Cells::Bool:
      return orv::boolean(*p != 0);
    case Cells::Object:
    case Cells::Other:
      break;
  }
  return Ref::borrow(load<PyObject*>(p));
}

PyObject* cell_template(Cells kind) {
  return kind == Cells::Float ? templates.Float : kind == Cells::Bool ? templates.Bool : templates.Int;
}

// True when `Serializer.to_wire(rows)` would encode a list of rows here, element by element.
bool rows_encode_here() { return to_wire_is_own() && type_tests_are_own(); }

// `Serializer.to_wire([labels] + [row.tolist() for row in values])` with the
// cells read straight from the buffer, without the intermediate lists. Each
// row is checked as `to_wire` of that row list would be: when the serializer
// or the library globals were replaced meanwhile, the row list is built and
// handed to the serializer of the moment. Numbers, unlike objects, run no
// Python code while they are encoded, so one check serves all their rows.
Ref encode_buffer_rows(PyObject* labels, const Py_buffer& view, Cells kind) {
  Nesting outer(kEncodeNesting);
  const Py_ssize_t n_rows = view.shape[0], n_cols = view.shape[1];
  const Py_ssize_t row_stride = view.strides[0], col_stride = view.strides[1], size = view.itemsize;
  const char* base = static_cast<const char*>(view.buf);
  Ref rows = orv::own(PyList_New(n_rows + 1));
  PyList_SET_ITEM(rows.get(), 0, to_wire(labels).release());
  const bool numbers = kind != Cells::Object;
  bool direct = rows_encode_here();
  for (Py_ssize_t r = 0; r < n_rows; ++r) {
    if (!numbers) direct = rows_encode_here();
    Ref cells = orv::own(PyList_New(n_cols));
    for (Py_ssize_t c = 0; c < n_cols; ++c) {
      Ref value = cell_value(kind, base + r * row_stride + c * col_stride, size);
      Ref cell = !direct ? std::move(value) : numbers ? make_wire(cell_template(kind), value.get()) : to_wire(value.get());
      PyList_SET_ITEM(cells.get(), c, cell.release());
    }
    Ref row;
    if (direct) {
      Nesting inner(kEncodeNesting);
      row = make_wire(templates.Array, cells.get());
    } else {
      row = to_wire(cells.get());
    }
    PyList_SET_ITEM(rows.get(), r + 1, row.release());
  }
  return make_wire(templates.Array, rows.get());
}

}  // namespace

Ref encode_pandas(PyObject* value, bool is_series) {
  Ref frame = is_series ? call_method(value, words.to_frame) : Ref::borrow(value);
  Ref labels = call_method(getattr(frame.get(), words.columns).get(), words.tolist);
  Ref values = frame_values(frame.get());
  if (Py_TYPE(values.get()) == as_type(libs.np_ndarray) && rows_encode_here()) {
    Buffer buffer;
    if (buffer.acquire(values.get()) && buffer.view().ndim == 2) {
      const Cells kind = cell_kind(buffer.view());
      if (kind != Cells::Other) return encode_buffer_rows(labels.get(), buffer.view(), kind);
    }
  }
  Ref rows = own(PyList_New(0));
  check(PyList_Append(rows.get(), labels.get()));
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
