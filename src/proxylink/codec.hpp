// Pieces shared by the encoder, the table encoder and the decoder: the tags,
// the words they use, the libraries the module bound at set-up, and the
// helpers that map containers.
//
// Library globals (`np`, `pd`, `dt`, `base64`, `pl`) are read from the module
// namespace at each use. When the object found is the one module set-up bound,
// the attributes cached here stand in for reading them again; otherwise the
// attribute is read from whatever the global now holds.
#pragma once
#include "core/recursion.hpp"
#include "proxylink/serializer.hpp"

namespace proxylink::codec {

#define PROXYLINK_CODEC_WORDS(X)                                                                        \
  X(Null) X(Bool) X(Int) X(Float) X(String) X(Date) X(Bytes) X(Array) X(Dict) X(COM_Object)              \
  X(Python_Function) X(bool_) X(datetime64) X(floating) X(ndarray) X(Timestamp) X(Series) X(DataFrame)   \
  X(NA) X(datetime) X(date) X(timezone) X(utc) X(tzinfo) X(astimezone) X(isoformat) X(b64encode)         \
  X(b64decode) X(decode) X(ascii) X(to_frame) X(columns) X(tolist) X(rows) X(fromisoformat) X(extend)    \
  X(update) X(items) X(register_callable) X(get_callable) X(dtype) X(kind) X(astype) X(item) X(M)       \
  X(object)

struct Words {
#define PROXYLINK_CODEC_DECLARE(n) PyObject* n = nullptr;
  PROXYLINK_CODEC_WORDS(PROXYLINK_CODEC_DECLARE)
#undef PROXYLINK_CODEC_DECLARE
  PyObject* datetime64_us = nullptr;  // "datetime64[us]"
};
extern Words words;

// What module set-up bound, and the attributes of it the codec uses.
struct Libraries {
  PyObject* np = nullptr;
  PyObject* pd = nullptr;
  PyObject* dt = nullptr;
  PyObject* base64 = nullptr;
  PyObject* np_bool = nullptr;
  PyObject* np_datetime64 = nullptr;
  PyObject* np_floating = nullptr;
  PyObject* np_ndarray = nullptr;
  PyObject* pd_Timestamp = nullptr;
  PyObject* pd_Series = nullptr;
  PyObject* pd_DataFrame = nullptr;
  PyObject* pd_NA = nullptr;
  PyObject* dt_datetime = nullptr;
  PyObject* dt_date = nullptr;
  PyObject* utc = nullptr;
  PyObject* b64decode = nullptr;
  PyObject* fromisoformat = nullptr;  // dt.datetime.fromisoformat
};
extern Libraries libs;

// Reads the libraries from the module namespace; called once by module set-up,
// after the imports and before the classes.
void init(PyObject* globals);

// True when the module global `name` is `own` right now (NameError if unbound).
inline bool global_is(PyObject* name, PyObject* own) { return global(name).is(own); }

// True when `np`, `dt` and `pd`, whose types the encoder tests before lists
// and dicts, are the module's own: the exact built-in types then need no tests.
inline bool type_tests_are_own() {
  return global_is(names.np, libs.np) && global_is(names.dt, libs.dt) && global_is(names.pd, libs.pd);
}

// Steps 8 and 9 of the encoder.
Ref encode_array(PyObject* value);
Ref encode_dict(PyObject* value);

// `<global>.<attr>`, read now; the cached `own_attr` when the global is `own_module`.
Ref library_attr(PyObject* global_name, PyObject* own_module, PyObject* attr, PyObject* own_attr);

// Wire values are copies of template dicts with their `value` replaced,
// which is cheaper than three inserts. Where the runtime allows it, the
// templates are instance dictionaries of one class: they share one key table,
// their copies share it too and only carry their own values, which halves the
// memory of a large table and the time to fill it.
struct Templates {
  PyObject* Null = nullptr;
  PyObject* Bool = nullptr;
  PyObject* Int = nullptr;
  PyObject* Float = nullptr;
  PyObject* String = nullptr;
  PyObject* Date = nullptr;
  PyObject* Bytes = nullptr;
  PyObject* Array = nullptr;
  PyObject* Dict = nullptr;
  PyObject* COM_Object = nullptr;
  PyObject* Python_Function = nullptr;  // isSpec true
  PyObject* reference = nullptr;        // isSpec true, type set per value
};
extern Templates templates;

// A new wire value from a template: `type`, `value`, `isSpec`, in that order.
inline Ref make_wire(PyObject* templ, PyObject* value) {
  Ref wire = orv::own(PyDict_Copy(templ));
  orv::check(PyDict_SetItem(wire.get(), names.value, value));
  return wire;
}
// A reference to a remote object: its type name, its id and isSpec true.
Ref make_reference(PyObject* type_name, PyObject* object_id);

inline PyTypeObject* as_type(PyObject* cls) { return reinterpret_cast<PyTypeObject*>(cls); }
inline bool truth(PyObject* o) { return orv::check(PyObject_IsTrue(o)) != 0; }
inline bool isinstance(PyObject* o, PyObject* cls) { return orv::check(PyObject_IsInstance(o, cls)) != 0; }
// [convert(e) for e in items]: each element is read afresh, as an iterator
// would, since converting one may run Python code that changes the container.
using Convert = Ref (*)(PyObject*);
Ref map_elements(PyObject* items, Convert convert);
// {k: convert(v) for k, v in mapping.items()}, keys unchanged.
Ref map_values(PyObject* mapping, Convert convert);

inline Ref call(PyObject* fn, PyObject* arg) { return orv::own(PyObject_CallOneArg(fn, arg)); }

// What the RecursionGuards of the encoder and the decoder report.
extern const char* const kEncodeNesting;
extern const char* const kDecodeNesting;


// pandas and polars frames and series as tables (an "Array" of "Array" rows).
Ref encode_pandas(PyObject* value, bool is_series);
Ref encode_polars(PyObject* value, bool is_series);

}  // namespace proxylink::codec
