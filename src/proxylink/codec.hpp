// Pieces shared by the encoder, the table encoder and the decoder: the wire
// tags, the wire-value constructor and the helpers that map containers.
//
// Library globals (`np`, `pd`, `dt`, `base64`, `pl`) are read from the module
// namespace at each use. When the object found is the one module set-up bound,
// the attributes kept in `owned` stand in for reading them again; otherwise the
// attribute is read from whatever the global now holds.
#pragma once
#include "core/recursion.hpp"
#include "proxylink/global_checks.hpp"
#include "proxylink/serializer.hpp"

#include <array>
#include <cstddef>

namespace proxylink::codec {

// The wire tags, one row each: its word (the wire value's `type`) and whether
// its values are special (`isSpec` true). The decoder tests a tag against the
// words in this order and takes the first that matches.
#define PROXYLINK_WIRE_TAGS(X)                                                                   \
  X(Null, false) X(Bool, false) X(Int, false) X(Float, false) X(String, false) X(Date, false)     \
  X(Bytes, false) X(Array, false) X(Dict, false) X(COM_Object, false) X(Python_Function, true)

enum class Tag : unsigned char {
#define PROXYLINK_TAG_ENUM(word, special) word,
  PROXYLINK_WIRE_TAGS(PROXYLINK_TAG_ENUM)
#undef PROXYLINK_TAG_ENUM
};

struct TagRow {
  Tag tag;
  const char* word;
  bool special;
};
inline constexpr TagRow tag_rows[] = {
#define PROXYLINK_TAG_ROW(word, special) {Tag::word, #word, special},
    PROXYLINK_WIRE_TAGS(PROXYLINK_TAG_ROW)
#undef PROXYLINK_TAG_ROW
};
inline constexpr size_t kTagCount = std::size(tag_rows);
constexpr size_t index_of(Tag tag) { return static_cast<size_t>(tag); }

// Made from the rows at set-up: each tag's word, and the template of its wire
// values. A reference to a remote object has a template of its own (isSpec
// true, its type set per value).
//
// Wire values are copies of template dicts with their `value` replaced,
// which is cheaper than three inserts. Where the runtime allows it, the
// templates are instance dictionaries of one class: they share one key table,
// their copies share it too and only carry their own values, which halves the
// memory of a large table and the time to fill it.
struct Wire {
  std::array<orv::Immortal, kTagCount> words;
  std::array<orv::Immortal, kTagCount> templates;
  orv::Immortal reference;
};
extern Wire wire_tags;

inline PyObject* word(Tag tag) { return wire_tags.words[index_of(tag)]; }

// Reads the libraries from the module namespace and makes the tag words and
// templates; called once by module set-up, after the imports and before the classes.
void init();

using global_checks::type_tests_are_own;

// The container stage of the encoder.
Ref encode_array(PyObject* value);
Ref encode_dict(PyObject* value);

// `<library>.<attr>`, read now; `own_attr`, kept at set-up, while the library global is the module's own.
Ref library_attr(const Replaceable& library, PyObject* attr, PyObject* own_attr);

// {"type": type, "value": value, "isSpec": is_spec}, built key by key.
inline Ref fresh_wire(PyObject* type, PyObject* value, bool is_spec) {
  Ref made = orv::own(PyDict_New());
  orv::check(PyDict_SetItem(made.get(), names.type, type));
  orv::check(PyDict_SetItem(made.get(), names.value, value));
  orv::check(PyDict_SetItem(made.get(), names.isSpec, is_spec ? Py_True : Py_False));
  return made;
}

// A new wire value of `tag`: `type`, `value`, `isSpec`, in that order.
inline Ref make_wire(Tag tag, PyObject* value) {
#ifdef Py_GIL_DISABLED
  // A copy takes the lock of the dict it copies: threads encoding at once
  // would all queue on the one template.
  return fresh_wire(word(tag), value, tag_rows[index_of(tag)].special);
#else
  Ref made = orv::own(PyDict_Copy(wire_tags.templates[index_of(tag)]));
  orv::check(PyDict_SetItem(made.get(), names.value, value));
  return made;
#endif
}
// A reference to a remote object: its type name, its id and isSpec true.
Ref make_reference(PyObject* type_name, PyObject* object_id);

using orv::isinstance;

inline PyTypeObject* as_type(PyObject* cls) { return reinterpret_cast<PyTypeObject*>(cls); }
// [convert(e) for e in items]: each element is read afresh, as an iterator
// would, since converting one may run Python code that changes the container.
using Convert = Ref (*)(PyObject*);
Ref map_elements(PyObject* items, Convert convert);
// {k: convert(v) for k, v in mapping.items()}, keys unchanged.
Ref map_values(PyObject* mapping, Convert convert);

// What the RecursionGuards of the encoder and the decoder report.
extern const char* const kEncodeNesting;
extern const char* const kDecodeNesting;

// pandas and polars frames and series as tables (an "Array" of "Array" rows).
Ref encode_pandas(PyObject* value, bool is_series);
Ref encode_polars(PyObject* value, bool is_series);

}  // namespace proxylink::codec
