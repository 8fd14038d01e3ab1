// The encoder behind `Serializer.to_wire`: any Python value to a wire value.
//
// The stages run in a fixed order and the first match wins: booleans,
// numbers, text, dates, bytes, containers, missing values, tables, legacy
// objects, proxies, callables, and the fallback to str(). Values of the exact
// built-in types take a direct path when the library globals that the stages
// before theirs consult are the module's own; everything else walks the
// stages in order, reading each global at its stage.
#include <cmath>

#include "proxylink/codec.hpp"
#include "proxylink/timestamp_text.hpp"

namespace proxylink {
namespace {

using namespace codec;
using orv::own;

// Standard Base64 with padding, as an ASCII str.
Ref base64_text(PyObject* bytes) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const auto* in = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytes));
  const Py_ssize_t n = PyBytes_GET_SIZE(bytes);
  Ref text = own(PyUnicode_New((n + 2) / 3 * 4, 127));
  Py_UCS1* out = PyUnicode_1BYTE_DATA(text.get());
  Py_ssize_t i = 0;
  for (; i + 2 < n; i += 3) {
    const unsigned v = unsigned(in[i]) << 16 | unsigned(in[i + 1]) << 8 | in[i + 2];
    *out++ = Py_UCS1(alphabet[v >> 18 & 63]);
    *out++ = Py_UCS1(alphabet[v >> 12 & 63]);
    *out++ = Py_UCS1(alphabet[v >> 6 & 63]);
    *out++ = Py_UCS1(alphabet[v & 63]);
  }
  if (i < n) {
    const bool two = i + 1 < n;
    const unsigned v = unsigned(in[i]) << 16 | (two ? unsigned(in[i + 1]) << 8 : 0u);
    *out++ = Py_UCS1(alphabet[v >> 18 & 63]);
    *out++ = Py_UCS1(alphabet[v >> 12 & 63]);
    *out++ = two ? Py_UCS1(alphabet[v >> 6 & 63]) : Py_UCS1('=');
    *out++ = Py_UCS1('=');
  }
  return text;
}

// Bytes: bytes(value), Base64-encoded.
Ref encode_bytes(PyObject* value) {
  Ref data = PyBytes_CheckExact(value) ? Ref::borrow(value) : own(PyObject_Bytes(value));
  Ref text = if_own(
      owned.base64, [&] { return base64_text(data.get()); },
      [&](PyObject* base64) {
        Ref encoded = call_method(base64, names.b64encode, data.get());
        return call_method(encoded.get(), names.decode, names.ascii);
      });
  return make_wire(Tag::Bytes, text.get());
}

// Dates, for a numpy datetime64: the text of its value at microsecond
// precision, which datetime.fromisoformat reads back. NaT and years outside
// what datetime holds give numpy's own text.
Ref datetime64_text(PyObject* value) {
  Ref micro = call_method(value, names.astype, names.datetime64_us);
  Ref item = call_method(micro.get(), names.item);
  if (PyObject_TypeCheck(item.get(), as_type(owned.dt_datetime))) {
    return call_method(item.get(), names.isoformat);
  }
  return own(PyObject_Str(value));
}

// Dates, for datetimes and dates: aware datetimes (`is_datetime`: an
// instance of dt.datetime, pandas Timestamp included) are moved to UTC, then
// written with isoformat(); a naive Timestamp's text is written here when it
// can be.
Ref encode_date(PyObject* value, bool is_datetime) {
  Ref moment = Ref::borrow(value);
  if (is_datetime) {
    Ref tzinfo = getattr(value, names.tzinfo);
    if (truth(tzinfo.get())) {
      Ref utc = if_own(
          owned.dt, [] { return Ref::borrow(owned.utc); },
          [](PyObject* dt) { return getattr(getattr(dt, names.timezone).get(), names.utc); });
      moment = call_method(value, names.astimezone, utc.get());
    } else if (Ref text = naive_timestamp_text(value)) {
      return make_wire(Tag::Date, text.get());
    }
  }
  return make_wire(Tag::Date, call_method(moment.get(), names.isoformat).get());
}

// Missing values, between the containers and the tables: pandas'
// NA, and NaN of numpy floating types that are not float subclasses. It only
// tests identity and C-level types, so it reads no attribute of the value;
// any exception inside it counts as "not missing".
bool is_missing(PyObject* value) {
  try {
    Ref na = library_attr(owned.pd, names.NA, owned.pd_NA);
    if (na.is(value)) return true;
    if (PyFloat_Check(value)) return false;
    Ref floating = library_attr(owned.np, names.floating, owned.np_floating);
    if (!PyType_Check(floating.get()) || !PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(floating.get())))
      return false;
    const double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred()) orv::throw_current();
    return std::isnan(number);
  } catch (const orv::PythonError&) {
    return false;  // the exception is dropped with the error object
  }
}

// The stages in order, each reading the globals it names when it is reached.
Ref encode_in_order(PyObject* value) {
  // booleans
  if (PyBool_Check(value) || isinstance(value, library_attr(owned.np, names.bool_, owned.np_bool).get())) {
    return make_wire(Tag::Bool, orv::boolean(truth(value)).get());
  }
  // numbers and text
  if (PyLong_Check(value)) return make_wire(Tag::Int, own(PyNumber_Long(value)).get());
  if (PyFloat_Check(value)) return make_wire(Tag::Float, own(PyNumber_Float(value)).get());
  if (PyUnicode_Check(value)) return make_wire(Tag::String, value);
  // dates
  {
    Ref datetime_cls = library_attr(owned.dt, names.datetime, owned.dt_datetime);
    Ref date_cls = library_attr(owned.dt, names.date, owned.dt_date);
    Ref timestamp_cls = library_attr(owned.pd, names.Timestamp, owned.pd_Timestamp);
    Ref datetime64_cls = library_attr(owned.np, names.datetime64, owned.np_datetime64);
    for (PyObject* cls : {datetime_cls.get(), date_cls.get(), timestamp_cls.get(), datetime64_cls.get()}) {
      if (!isinstance(value, cls)) continue;
      if (isinstance(value, datetime_cls.get())) return encode_date(value, true);
      if (isinstance(value, datetime64_cls.get())) return make_wire(Tag::Date, datetime64_text(value).get());
      return encode_date(value, false);
    }
  }
  // bytes and containers
  if (PyBytes_Check(value) || PyByteArray_Check(value) || PyMemoryView_Check(value)) return encode_bytes(value);
  if (PyList_Check(value) || PyTuple_Check(value)) return encode_array(value);
  if (PyDict_Check(value)) return encode_dict(value);
  // missing values
  if (is_missing(value)) return make_wire(Tag::Null, Py_None);
  // tables: pandas
  {
    Ref series_cls = library_attr(owned.pd, names.Series, owned.pd_Series);
    Ref frame_cls = library_attr(owned.pd, names.DataFrame, owned.pd_DataFrame);
    if (isinstance(value, series_cls.get())) return encode_pandas(value, true);
    if (isinstance(value, frame_cls.get())) return encode_pandas(value, false);
  }
  // tables: polars
  if (truth(global(names._HAS_POLARS).get())) {
    Ref pl = global(names.pl);
    Ref series_cls = getattr(pl.get(), names.Series);
    Ref frame_cls = getattr(pl.get(), names.DataFrame);
    if (isinstance(value, series_cls.get())) return encode_polars(value, true);
    if (isinstance(value, frame_cls.get())) return encode_polars(value, false);
  }
  // legacy objects
  if (truth(global(names._HAS_COM).get())) {
    Ref is_com = call(global(names.is_com_object).get(), value);
    if (truth(is_com.get())) {
      Ref payload = call(global(names.serialize_com_object).get(), value);
      return make_wire(Tag::COM_Object, payload.get());
    }
  }
  // proxies
  if (isinstance(value, global(names.OfficeJsObject).get())) {
    Ref type_name = getattr(value, names._internal_typeName);
    Ref object_id = getattr(value, names._internal_id);
    return make_reference(type_name.get(), object_id.get());
  }
  // callables
  if (PyCallable_Check(value)) {
    Ref callable_id = call_method(global(names.messaging).get(), names.register_callable, value);
    return make_wire(Tag::Python_Function, callable_id.get());
  }
  // fallback
  return make_wire(Tag::String, own(PyObject_Str(value)).get());
}

}  // namespace

namespace codec {

const char* const kEncodeNesting = " while encoding a wire value";

// Containers: elements and values go through Serializer.to_wire.
Ref encode_array(PyObject* value) {
  orv::RecursionGuard nesting(kEncodeNesting);
  return make_wire(Tag::Array, map_elements(value, to_wire).get());
}

Ref encode_dict(PyObject* value) {
  orv::RecursionGuard nesting(kEncodeNesting);
  return make_wire(Tag::Dict, map_values(value, to_wire).get());
}

}  // namespace codec

Ref encode(PyObject* value) {
  PyTypeObject* type = Py_TYPE(value);
  if (value == Py_None) return make_wire(Tag::Null, Py_None);
  if (type == &PyBool_Type) return make_wire(Tag::Bool, value);
  // Exact built-in types are decided by the first stage that takes them, once
  // the library types that the stages before it test are known to be the
  // module's own.
  if (type == &PyFloat_Type || type == &PyLong_Type || type == &PyUnicode_Type) {
    if (global_checks::np_is_own()) {
      return make_wire(type == &PyFloat_Type ? Tag::Float : type == &PyLong_Type ? Tag::Int : Tag::String, value);
    }
  } else if (type == &PyList_Type || type == &PyTuple_Type || type == &PyDict_Type) {
    if (type_tests_are_own()) return type == &PyDict_Type ? encode_dict(value) : encode_array(value);
  } else if (type == as_type(owned.dt_datetime) || type == as_type(owned.pd_Timestamp) || type == as_type(owned.dt_date)) {
    if (type_tests_are_own()) return encode_date(value, type != as_type(owned.dt_date));
  }
  return encode_in_order(value);
}

}  // namespace proxylink
