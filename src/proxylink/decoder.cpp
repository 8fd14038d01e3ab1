// The decoder behind `Serializer.from_wire`: a wire value from the add-in back
// to a Python value. Tags are tested before `isSpec`, in the order of the tag
// table (codec.hpp); arrays and dictionaries become OfficeJsArray and
// OfficeJsDict, references new proxies.
#include <array>
#include <optional>
#include <string_view>

#include "core/args.hpp"
#include "proxylink/codec.hpp"

namespace proxylink {
namespace {

using namespace codec;
using orv::own;

// The text of `s` when it is a compact str made of ASCII characters only; an
// empty view for any other compact str, which holds a character beyond ASCII
// and so equals none of our words; nullopt otherwise (a str subclass, a str of
// the old form that 3.9 to 3.11 still make, anything else), to be compared
// the ordinary way.
std::optional<std::string_view> ascii_text(PyObject* s) {
  if (!PyUnicode_CheckExact(s) || !orv::compat::unicode_is_ready(s) || !PyUnicode_IS_COMPACT(s)) {
    return std::nullopt;
  }
  if (!PyUnicode_IS_ASCII(s)) return std::string_view{};
  return std::string_view(static_cast<const char*>(PyUnicode_DATA(s)), static_cast<size_t>(PyUnicode_GET_LENGTH(s)));
}

constexpr auto tag_texts = [] {
  std::array<std::string_view, kTagCount> texts{};
  for (size_t i = 0; i < kTagCount; ++i) texts[i] = tag_rows[i].word;
  return texts;
}();

// The first tag, in test order, that `tag` equals. A str tag is compared by
// its text; anything else through its own equality, in the same order.
std::optional<Tag> classify(PyObject* tag, size_t from = 0) {
  if (std::optional<std::string_view> text = ascii_text(tag)) {
    for (size_t i = from; i < kTagCount; ++i) {
      if (tag == wire_tags.words[i] || *text == tag_texts[i]) return tag_rows[i].tag;
    }
    return std::nullopt;
  }
  if (PyUnicode_CheckExact(tag)) {
    for (size_t i = from; i < kTagCount; ++i) {
      if (PyUnicode_Compare(tag, wire_tags.words[i]) == 0) return tag_rows[i].tag;
    }
    return std::nullopt;
  }
  for (size_t i = from; i < kTagCount; ++i) {
    if (orv::equals(tag, wire_tags.words[i])) return tag_rows[i].tag;
  }
  return std::nullopt;
}

// The four entries of a wire value that the decoder reads.
struct Entries {
  Ref tag, payload, is_spec, object_id;
};

// A wire value has four entries at most; a larger dict is looked up.
constexpr Py_ssize_t kScanned = 8;

// Read in one pass over the dict when every key is a str: no lookup can then
// run Python code or fail, and a key equal to one of ours is found by its
// text as a lookup would find it. Otherwise by four lookups, in the order in
// which a hostile key's errors must come.
Entries read_entries(PyObject* wire) {
  Entries found;
  bool plain = PyDict_GET_SIZE(wire) <= kScanned;
  orv::compat::locked_step(wire, [&] {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (plain && PyDict_Next(wire, &pos, &key, &value)) {
      std::optional<std::string_view> text = ascii_text(key);
      if (!text) {
        plain = false;
      } else if (*text == "type") {
        found.tag = Ref::borrow(value);
      } else if (*text == "value") {
        found.payload = Ref::borrow(value);
      } else if (*text == "isSpec") {
        found.is_spec = Ref::borrow(value);
      } else if (*text == "id") {
        found.object_id = Ref::borrow(value);
      }
    }
  });
  if (plain) return found;
  return {orv::dict_get(wire, names.type), orv::dict_get(wire, names.value), orv::dict_get(wire, names.isSpec),
          orv::dict_get(wire, names.id)};
}

Ref decode_date(PyObject* payload) {
  try {
    return if_own(
        owned.dt, [&] { return call(owned.fromisoformat, payload); },
        [&](PyObject* dt) { return call_method(getattr(dt, names.datetime).get(), names.fromisoformat, payload); });
  } catch (orv::PythonError& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return Ref::borrow(payload);
  }
}

Ref decode_bytes(PyObject* payload) {
  Ref b64decode = library_attr(owned.base64, names.b64decode, owned.b64decode);
  const bool empty = !truth(payload);
  if (empty && b64decode.is(owned.b64decode)) return own(PyBytes_FromStringAndSize(nullptr, 0));
  Ref data = empty ? own(PyBytes_FromStringAndSize(nullptr, 0)) : Ref::borrow(payload);
  return call(b64decode.get(), data.get());
}

// Arrays and dictionaries: the container is made first, then the whole
// payload (an empty one when it is falsy) is decoded through
// Serializer.from_wire and added with the container's own extend or update.
Ref decode_container(PyObject* class_name, PyObject* payload, PyObject* object_id,
                     Ref (*map)(PyObject*, Convert), PyObject* empty, PyObject* add) {
  Ref container = call(global(class_name).get(), object_id);
  Ref contents;
  if (truth(payload)) {
    orv::RecursionGuard nesting(kDecodeNesting);
    contents = map(payload, from_wire);
  } else {
    contents = map(empty, from_wire);
  }
  call_method(container.get(), add, contents.get());
  return container;
}

}  // namespace

const char* const codec::kDecodeNesting = " while decoding a wire value";

Ref decode(PyObject* wire) {
  orv::require_exact(wire, &PyDict_Type, "wire");
  auto [tag, payload, is_spec, object_id] = read_entries(wire);
  PyObject* value = payload ? payload.get() : Py_None;

  std::optional<Tag> kind = classify(tag ? tag.get() : Py_None);
  if (kind == Tag::COM_Object && !truth(global(names._HAS_COM).get())) {
    kind = classify(tag.get(), index_of(Tag::COM_Object) + 1);  // legacy objects unavailable: on to the next tag
  }
  if (kind) {
    switch (*kind) {
      case Tag::Null:
        return orv::none();
      case Tag::Bool:
        return orv::boolean(truth(value));
      case Tag::Int:
        return own(PyNumber_Long(value));
      case Tag::Float:
        return own(PyNumber_Float(value));
      case Tag::String:
        return PyUnicode_CheckExact(value) ? Ref::borrow(value) : own(PyObject_Str(value));
      case Tag::Date:
        return decode_date(value);
      case Tag::Bytes:
        return decode_bytes(value);
      case Tag::Array:
        return decode_container(names.OfficeJsArray, value, object_id ? object_id.get() : Py_None, map_elements,
                                own(PyTuple_New(0)).get(), names.extend);
      case Tag::Dict:
        return decode_container(names.OfficeJsDict, value, object_id ? object_id.get() : Py_None, map_values,
                                own(PyDict_New()).get(), names.update);
      case Tag::COM_Object:
        return call(global(names.deserialize_com_object).get(), value);
      case Tag::Python_Function:
        return call_method(global(names.messaging).get(), names.get_callable, value);
    }
  }
  if (is_spec && truth(is_spec.get())) {
    Ref cls = global(names.OfficeJsObject);
    Ref number = own(PyNumber_Long(value));
    PyObject* args[] = {number.get(), tag ? tag.get() : Py_None};
    return own(PyObject_Vectorcall(cls.get(), args, 2, nullptr));
  }
  return own(PyObject_Str(value));
}

}  // namespace proxylink
