// Timestamp.isoformat() is Python code that formats through datetime.isoformat
// and f-strings, some 2 µs a cell; the fields it reads are in the datetime
// base's C struct, and the type is immutable, so the text is written here.
#include "proxylink/timestamp_text.hpp"

#include <datetime.h>

#include <cstdio>

#include "proxylink/codec.hpp"

namespace proxylink::codec {
namespace {

// The int attribute `name` of `value`, or -1 when it is missing or not an int
// (any error cleared: the caller then calls isoformat(), which reports it).
long long int_attribute(PyObject* value, PyObject* name) {
  Ref attribute = Ref::steal(PyObject_GetAttr(value, name));
  const long long result = attribute && PyLong_CheckExact(attribute.get()) ? PyLong_AsLongLong(attribute.get()) : -1;
  if (result == -1) PyErr_Clear();
  return result;
}

}  // namespace

Ref naive_timestamp_text(PyObject* value) {
  if (Py_TYPE(value) != as_type(owned.pd_Timestamp)) return Ref();
  const int year = PyDateTime_GET_YEAR(value);
  if (int_attribute(value, names.nanosecond) != 0 || int_attribute(value, names.year) != year) return Ref();
  if (year < 1 || year > 9999) return Ref();
  char text[32];
  int n = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", year, PyDateTime_GET_MONTH(value),
                        PyDateTime_GET_DAY(value), PyDateTime_DATE_GET_HOUR(value),
                        PyDateTime_DATE_GET_MINUTE(value), PyDateTime_DATE_GET_SECOND(value));
  if (const int micro = PyDateTime_DATE_GET_MICROSECOND(value)) {
    n += std::snprintf(text + n, sizeof text - size_t(n), ".%06d", micro);
  }
  return orv::own(PyUnicode_FromStringAndSize(text, n));
}

}  // namespace proxylink::codec
