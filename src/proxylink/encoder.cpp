// The encoder behind `Serializer.to_wire`: any Python value to a wire value.
//
// The tests run in a fixed order and the first match wins. Values of the
// exact built-in types take a direct path when the library globals their
// earlier tests consult are the module's own; everything else walks the steps
// in order, reading each global at its step.
#include <cmath>

#include "proxylink/codec.hpp"

namespace proxylink {
namespace {

using namespace codec;
using orv::check;
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

// Step 7: bytes(value), Base64-encoded.
Ref encode_bytes(PyObject* value) {
  Ref data = PyBytes_CheckExact(value) ? Ref::borrow(value) : own(PyObject_Bytes(value));
  Ref base64 = global(names.base64);
  if (base64.is(libs.base64)) return make_wire(templates.Bytes, base64_text(data.get()).get());
  Ref encoded = call_method(base64.get(), words.b64encode, data.get());
  Ref text = call_method(encoded.get(), words.decode, words.ascii);
  return make_wire(templates.Bytes, text.get());
}

// Step 6 for a numpy datetime64: the text of its value at microsecond
// precision, which datetime.fromisoformat reads back. NaT and years outside
// what datetime holds give numpy's own text.
Ref datetime64_text(PyObject* value) {
  Ref micro = call_method(value, words.astype, words.datetime64_us);
  Ref item = call_method(micro.get(), words.item);
  if (PyObject_TypeCheck(item.get(), as_type(libs.dt_datetime))) {
    return call_method(item.get(), words.isoformat);
  }
  return own(PyObject_Str(value));
}

// Step 6 for datetimes and dates: aware datetimes (`is_datetime`: an
// instance of dt.datetime, pandas Timestamp included) are moved to UTC, then
// written with isoformat().
Ref encode_date(PyObject* value, bool is_datetime) {
  Ref moment = Ref::borrow(value);
  if (is_datetime) {
    Ref tzinfo = getattr(value, words.tzinfo);
    if (truth(tzinfo.get())) {
      Ref utc = global_is(names.dt, libs.dt)
                    ? Ref::borrow(libs.utc)
                    : getattr(getattr(global(names.dt).get(), words.timezone).get(), words.utc);
      moment = call_method(value, words.astimezone, utc.get());
    }
  }
  return make_wire(templates.Date, call_method(moment.get(), words.isoformat).get());
}

// The missing-value test between the container steps and the tables: pandas'
// NA, and NaN of numpy floating types that are not float subclasses. It only
// tests identity and C-level types, so it reads no attribute of the value;
// any exception inside it counts as "not missing".
bool is_missing(PyObject* value) {
  try {
    Ref na = library_attr(names.pd, libs.pd, words.NA, libs.pd_NA);
    if (na.is(value)) return true;
    if (PyFloat_Check(value)) return false;
    Ref floating = library_attr(names.np, libs.np, words.floating, libs.np_floating);
    if (!PyType_Check(floating.get()) || !PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(floating.get())))
      return false;
    const double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred()) orv::throw_current();
    return std::isnan(number);
  } catch (const orv::PythonError&) {
    return false;  // the exception is dropped with the error object
  }
}

// Steps 2 to 15, each reading the globals it names when it is reached.
Ref encode_in_order(PyObject* value) {
  // 2
  if (PyBool_Check(value) || isinstance(value, library_attr(names.np, libs.np, words.bool_, libs.np_bool).get())) {
    return make_wire(templates.Bool, orv::boolean(truth(value)).get());
  }
  // 3, 4, 5
  if (PyLong_Check(value)) return make_wire(templates.Int, own(PyNumber_Long(value)).get());
  if (PyFloat_Check(value)) return make_wire(templates.Float, own(PyNumber_Float(value)).get());
  if (PyUnicode_Check(value)) return make_wire(templates.String, value);
  // 6
  {
    Ref datetime_cls = library_attr(names.dt, libs.dt, words.datetime, libs.dt_datetime);
    Ref date_cls = library_attr(names.dt, libs.dt, words.date, libs.dt_date);
    Ref timestamp_cls = library_attr(names.pd, libs.pd, words.Timestamp, libs.pd_Timestamp);
    Ref datetime64_cls = library_attr(names.np, libs.np, words.datetime64, libs.np_datetime64);
    for (PyObject* cls : {datetime_cls.get(), date_cls.get(), timestamp_cls.get(), datetime64_cls.get()}) {
      if (!isinstance(value, cls)) continue;
      if (isinstance(value, datetime_cls.get())) return encode_date(value, true);
      if (isinstance(value, datetime64_cls.get())) return make_wire(templates.Date, datetime64_text(value).get());
      return encode_date(value, false);
    }
  }
  // 7, 8, 9
  if (PyBytes_Check(value) || PyByteArray_Check(value) || PyMemoryView_Check(value)) return encode_bytes(value);
  if (PyList_Check(value) || PyTuple_Check(value)) return encode_array(value);
  if (PyDict_Check(value)) return encode_dict(value);
  // between 9 and 10
  if (is_missing(value)) return make_wire(templates.Null, Py_None);
  // 10
  {
    Ref series_cls = library_attr(names.pd, libs.pd, words.Series, libs.pd_Series);
    Ref frame_cls = library_attr(names.pd, libs.pd, words.DataFrame, libs.pd_DataFrame);
    if (isinstance(value, series_cls.get())) return encode_pandas(value, true);
    if (isinstance(value, frame_cls.get())) return encode_pandas(value, false);
  }
  // 11
  if (truth(global(names._HAS_POLARS).get())) {
    Ref pl = global(names.pl);
    Ref series_cls = getattr(pl.get(), words.Series);
    Ref frame_cls = getattr(pl.get(), words.DataFrame);
    if (isinstance(value, series_cls.get())) return encode_polars(value, true);
    if (isinstance(value, frame_cls.get())) return encode_polars(value, false);
  }
  // 12
  if (truth(global(names._HAS_COM).get())) {
    Ref is_com = call(global(names.is_com_object).get(), value);
    if (truth(is_com.get())) {
      Ref payload = call(global(names.serialize_com_object).get(), value);
      return make_wire(templates.COM_Object, payload.get());
    }
  }
  // 13
  if (isinstance(value, global(names.OfficeJsObject).get())) {
    Ref type_name = getattr(value, names._internal_typeName);
    Ref object_id = getattr(value, names._internal_id);
    return make_reference(type_name.get(), object_id.get());
  }
  // 14
  if (PyCallable_Check(value)) {
    Ref callable_id = call_method(global(names.messaging).get(), words.register_callable, value);
    return make_wire(templates.Python_Function, callable_id.get());
  }
  // 15
  return make_wire(templates.String, own(PyObject_Str(value)).get());
}

}  // namespace

namespace codec {

const char* const kEncodeNesting = " while encoding a wire value";

// Steps 8 and 9: elements and values go through Serializer.to_wire.
Ref encode_array(PyObject* value) {
  orv::RecursionGuard nesting(kEncodeNesting);
  return make_wire(templates.Array, map_elements(value, to_wire).get());
}

Ref encode_dict(PyObject* value) {
  orv::RecursionGuard nesting(kEncodeNesting);
  return make_wire(templates.Dict, map_values(value, to_wire).get());
}

}  // namespace codec

Ref encode(PyObject* value) {
  PyTypeObject* type = Py_TYPE(value);
  if (value == Py_None) return make_wire(templates.Null, Py_None);
  if (type == &PyBool_Type) return make_wire(templates.Bool, value);
  // Exact built-in types are decided by the first test they pass, once the
  // library types tested before it are known to be the module's own.
  if (type == &PyFloat_Type || type == &PyLong_Type || type == &PyUnicode_Type) {
    if (global_is(names.np, libs.np)) {
      PyObject* templ = type == &PyFloat_Type ? templates.Float : type == &PyLong_Type ? templates.Int : templates.String;
      return make_wire(templ, value);
    }
  } else if (type == &PyList_Type || type == &PyTuple_Type || type == &PyDict_Type) {
    if (type_tests_are_own()) return type == &PyDict_Type ? encode_dict(value) : encode_array(value);
  } else if (type == as_type(libs.dt_datetime) || type == as_type(libs.pd_Timestamp) || type == as_type(libs.dt_date)) {
    if (type_tests_are_own()) return encode_date(value, type != as_type(libs.dt_date));
  }
  return encode_in_order(value);
}

}  // namespace proxylink
