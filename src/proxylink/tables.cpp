// pandas and polars frames and series as tables: an "Array" whose first row
// holds the column labels and each further row the cells of one data row.
// The row index is not sent.
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "core/pending_list.hpp"
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
  if (Py_TYPE(values.get()) != as_type(owned.np_ndarray)) return values;
  Ref kind = getattr(getattr(values.get(), names.dtype).get(), names.kind);
  if (!orv::equals(kind.get(), names.M)) return values;
  Ref as_objects = call_method(frame, names.astype, reinterpret_cast<PyObject*>(&PyBaseObject_Type));
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
    if (held_ && !orv::compat::thread_is_ending()) PyBuffer_Release(&view_);
  }
  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

template <class T>
T load(const char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// numpy's one-byte bool.
struct Flag {
  unsigned char byte;
};

// The Python object `tolist()` gives for a number, and the wire template of
// what the encoder makes of that object.
template <class T>
Ref number(T v) {
  if constexpr (std::is_same_v<T, Flag>) {
    return orv::boolean(v.byte != 0);
  } else if constexpr (std::is_floating_point_v<T>) {
    return orv::own(PyFloat_FromDouble(double(v)));
  } else if constexpr (std::is_signed_v<T>) {
    return orv::own(PyLong_FromLongLong(v));
  } else {
    return orv::own(PyLong_FromUnsignedLongLong(v));
  }
}

template <class T>
constexpr Tag number_tag() {
  if constexpr (std::is_same_v<T, Flag>) return Tag::Bool;
  if constexpr (std::is_floating_point_v<T>) return Tag::Float;
  return Tag::Int;
}

// One row of the buffer: n cells `stride` bytes apart from `p`, as the list
// of the objects `tolist()` gives, or (`wires`) of their wire values.
using RowReader = Ref (*)(const char* p, Py_ssize_t n, Py_ssize_t stride, bool wires);

template <class T>
Ref number_row(const char* p, Py_ssize_t n, Py_ssize_t stride, bool wires) {
  orv::PendingList cells(n);
  constexpr Tag tag = number_tag<T>();
  for (Py_ssize_t c = 0; c < n; ++c, p += stride) {
    Ref value = number(load<T>(p));
    cells.set(c, wires ? make_wire(tag, value.get()) : std::move(value));
  }
  return cells.finish();
}

// Objects are encoded through Serializer.to_wire one by one. Each cell is
// read when it is reached: encoding one may store into the array. An empty
// cell (numpy reads it as None) gives None.
Ref object_row(const char* p, Py_ssize_t n, Py_ssize_t stride, bool wires) {
  orv::PendingList cells(n);
  for (Py_ssize_t c = 0; c < n; ++c, p += stride) {
    PyObject* cell = load<PyObject*>(p);
    Ref value = Ref::borrow(cell ? cell : Py_None);
    cells.set(c, wires ? to_wire(value.get()) : std::move(value));
  }
  return cells.finish();
}

// The reader for a buffer's native single-item format; nullptr for others.
RowReader row_reader(const Py_buffer& view) {
  const char* format = view.format;
  if (!format || !format[0] || format[1]) return nullptr;
  const Py_ssize_t size = view.itemsize;
  switch (format[0]) {
    case 'd':
      return size == 8 ? number_row<double> : nullptr;
    case 'f':
      return size == 4 ? number_row<float> : nullptr;
    case 'b': case 'h': case 'i': case 'l': case 'q':
      return size == 8 ? number_row<int64_t> : size == 4 ? number_row<int32_t>
           : size == 2 ? number_row<int16_t> : size == 1 ? number_row<int8_t> : nullptr;
    case 'B': case 'H': case 'I': case 'L': case 'Q':
      return size == 8 ? number_row<uint64_t> : size == 4 ? number_row<uint32_t>
           : size == 2 ? number_row<uint16_t> : size == 1 ? number_row<uint8_t> : nullptr;
    case '?':
      return size == 1 ? number_row<Flag> : nullptr;
    case 'O':
      return size == sizeof(PyObject*) ? object_row : nullptr;
    default:
      return nullptr;
  }
}

// True when `Serializer.to_wire(rows)` would encode a list of rows here, element by
// element: the serializer and the libraries its earlier stages test are the module's own.
bool rows_encode_here() { return global_checks::to_wire_is_own() && type_tests_are_own(); }

// `Serializer.to_wire([labels] + [row.tolist() for row in values])` with the
// cells read straight from the buffer, without the intermediate lists. Each
// row is checked as `to_wire` of that row list would be: when the serializer
// or the library globals were replaced meanwhile, the row list is built and
// handed to the serializer of the moment. Numbers, unlike objects, run no
// Python code while they are encoded, so one check serves all their rows.
Ref encode_buffer_rows(PyObject* labels, const Py_buffer& view, RowReader read_row) {
  orv::RecursionGuard outer(kEncodeNesting);
  const Py_ssize_t n_rows = view.shape[0], n_cols = view.shape[1];
  const Py_ssize_t row_stride = view.strides[0], col_stride = view.strides[1];
  const char* base = static_cast<const char*>(view.buf);
  orv::PendingList rows(n_rows + 1);
  rows.set(0, to_wire(labels));
  const bool objects = read_row == object_row;
  bool direct = rows_encode_here();
  for (Py_ssize_t r = 0; r < n_rows; ++r) {
    if (objects) direct = rows_encode_here();
    Ref cells = read_row(base + r * row_stride, n_cols, col_stride, direct);
    Ref row;
    if (direct) {
      orv::RecursionGuard inner(kEncodeNesting);
      row = make_wire(Tag::Array, cells.get());
    } else {
      row = to_wire(cells.get());
    }
    rows.set(r + 1, std::move(row));
  }
  return make_wire(Tag::Array, rows.finish().get());
}

}  // namespace

Ref encode_pandas(PyObject* value, bool is_series) {
  Ref frame = is_series ? call_method(value, names.to_frame) : Ref::borrow(value);
  Ref labels = call_method(getattr(frame.get(), names.columns).get(), names.tolist);
  Ref values = frame_values(frame.get());
  if (Py_TYPE(values.get()) == as_type(owned.np_ndarray) && rows_encode_here()) {
    Buffer buffer;
    if (buffer.acquire(values.get()) && buffer.view().ndim == 2) {
      if (RowReader read_row = row_reader(buffer.view())) return encode_buffer_rows(labels.get(), buffer.view(), read_row);
    }
  }
  Ref rows = own(PyList_New(0));
  check(PyList_Append(rows.get(), labels.get()));
  Ref iterator = own(PyObject_GetIter(values.get()));
  while (Ref row = Ref::steal(PyIter_Next(iterator.get()))) {
    check(PyList_Append(rows.get(), call_method(row.get(), names.tolist).get()));
  }
  if (PyErr_Occurred()) orv::throw_current();
  return to_wire(rows.get());
}

Ref encode_polars(PyObject* value, bool is_series) {
  Ref frame = is_series ? call_method(value, names.to_frame) : Ref::borrow(value);
  Ref rows = own(PyList_New(0));
  check(PyList_Append(rows.get(), getattr(frame.get(), names.columns).get()));
  Ref data = call_method(frame.get(), names.rows);
  Ref iterator = own(PyObject_GetIter(data.get()));
  while (Ref row = Ref::steal(PyIter_Next(iterator.get()))) {
    check(PyList_Append(rows.get(), own(PySequence_List(row.get())).get()));
  }
  if (PyErr_Occurred()) orv::throw_current();
  return to_wire(rows.get());
}

}  // namespace proxylink::codec
