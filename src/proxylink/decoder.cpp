// The decoder behind `Serializer.from_wire`: a wire value from the add-in back
// to a Python value. Tags are tested before `isSpec`, in a fixed order; arrays
// and dictionaries become OfficeJsArray and OfficeJsDict, references new proxies.
#include <iterator>

#include "core/args.hpp"
#include "proxylink/codec.hpp"

namespace proxylink {
namespace {

using namespace codec;
using orv::check;
using orv::own;

enum class Tag { None, Null, Bool, Int, Float, String, Date, Bytes, Array, Dict, COM_Object, Python_Function };

// The tags in the order the decoder tests them.
struct TagWord {
  Tag tag;
  PyObject* const* word;
};
const TagWord tag_order[] = {
    {Tag::Null, &words.Null},   {Tag::Bool, &words.Bool},     {Tag::Int, &words.Int},
    {Tag::Float, &words.Float}, {Tag::String, &words.String}, {Tag::Date, &words.Date},
    {Tag::Bytes, &words.Bytes}, {Tag::Array, &words.Array},   {Tag::Dict, &words.Dict},
    {Tag::COM_Object, &words.COM_Object}, {Tag::Python_Function, &words.Python_Function},
};

bool equals(PyObject* tag, PyObject* word) { return check(PyObject_RichCompareBool(tag, word, Py_EQ)) != 0; }

// The first tag, in test order, that `tag` equals. A str tag is compared by
// its text; anything else through its own equality, in the same order.
Tag classify(PyObject* tag, size_t from = 0) {
  if (PyUnicode_CheckExact(tag)) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(tag);
    if (length == 0) return Tag::None;
    const Py_UCS4 first = PyUnicode_READ_CHAR(tag, 0);
    for (size_t i = from; i < std::size(tag_order); ++i) {
      PyObject* word = *tag_order[i].word;
      if (tag == word || (PyUnicode_GET_LENGTH(word) == length && PyUnicode_READ_CHAR(word, 0) == first &&
                          PyUnicode_Compare(tag, word) == 0)) {
        return tag_order[i].tag;
      }
    }
    return Tag::None;
  }
  for (size_t i = from; i < std::size(tag_order); ++i) {
    if (equals(tag, *tag_order[i].word)) return tag_order[i].tag;
  }
  return Tag::None;
}

Ref entry(PyObject* wire, PyObject* key) {
  return Ref::borrow(orv::check_ptr(PyDict_GetItemWithError(wire, key)));
}

Ref decode_date(PyObject* payload) {
  try {
    if (global_is(names.dt, libs.dt)) return call(libs.fromisoformat, payload);
    Ref datetime_cls = getattr(global(names.dt).get(), words.datetime);
    return call_method(datetime_cls.get(), words.fromisoformat, payload);
  } catch (orv::PythonError& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return Ref::borrow(payload);
  }
}

Ref decode_bytes(PyObject* payload) {
  Ref b64decode = library_attr(names.base64, libs.base64, words.b64decode, libs.b64decode);
  const bool empty = !truth(payload);
  if (empty && b64decode.is(libs.b64decode)) return own(PyBytes_FromStringAndSize(nullptr, 0));
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
  Ref tag = entry(wire, names.type);
  Ref payload = entry(wire, names.value);
  Ref is_spec = entry(wire, names.isSpec);
  Ref object_id = entry(wire, names.id);
  PyObject* value = payload ? payload.get() : Py_None;

  Tag kind = classify(tag ? tag.get() : Py_None);
  if (kind == Tag::COM_Object && !truth(global(names._HAS_COM).get())) {
    kind = classify(tag.get(), std::size(tag_order) - 1);  // on to the next test
  }
  switch (kind) {
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
                              own(PyTuple_New(0)).get(), words.extend);
    case Tag::Dict:
      return decode_container(names.OfficeJsDict, value, object_id ? object_id.get() : Py_None, map_values,
                              own(PyDict_New()).get(), words.update);
    case Tag::COM_Object:
      return call(global(names.deserialize_com_object).get(), value);
    case Tag::Python_Function:
      return call_method(global(names.messaging).get(), words.get_callable, value);
    case Tag::None:
      break;
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
