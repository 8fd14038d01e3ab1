// Shared codec state: words made once, the libraries bound at set-up and the
// wire-value constructor.
#include "proxylink/codec.hpp"

#include "core/pending_list.hpp"

#include <utility>

namespace proxylink::codec {

Words words;
Libraries libs;
Templates templates;

namespace {

PyObject* intern(const char* text) {
  PyObject* s = PyUnicode_InternFromString(text);
  if (!s) orv::throw_current();
  return s;
}

PyObject* keep_attr(PyObject* obj, const char* name) { return orv::own(PyObject_GetAttrString(obj, name)).release(); }

PyObject* keep_global(PyObject* globals, PyObject* name) { return orv::lookup_global(globals, name).release(); }

Py_ssize_t size_of(PyObject* obj) {
  Ref size = call_method(obj, orv::own(PyUnicode_InternFromString("__sizeof__")).get());
  const Py_ssize_t n = PyLong_AsSsize_t(size.get());
  if (n == -1 && PyErr_Occurred()) orv::throw_current();
  return n;
}

// Instance dictionaries of one class share a key table, and so do their
// copies on runtimes that size such a table for a few keys; where the shared
// table is sized for many attributes, copies of a plain dict are smaller.
// The smaller copy wins.
void make_templates() {
  Ref holder_class = orv::own(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O){}",
                                                    "WireTemplate", &PyBaseObject_Type));
  auto shared = [&](PyObject* tag, bool is_spec) {
    Ref holder = orv::own(PyObject_CallNoArgs(holder_class.get()));
    setattr(holder.get(), names.type, tag);
    setattr(holder.get(), names.value, Py_None);
    setattr(holder.get(), names.isSpec, is_spec ? Py_True : Py_False);
    return orv::own(PyObject_GenericGetDict(holder.get(), nullptr));
  };
  auto plain = [](PyObject* tag, bool is_spec) {
    Ref wire = orv::own(PyDict_New());
    orv::check(PyDict_SetItem(wire.get(), names.type, tag));
    orv::check(PyDict_SetItem(wire.get(), names.value, Py_None));
    orv::check(PyDict_SetItem(wire.get(), names.isSpec, is_spec ? Py_True : Py_False));
    return wire;
  };
  const bool use_shared = size_of(orv::own(PyDict_Copy(shared(words.Float, false).get())).get()) <
                          size_of(orv::own(PyDict_Copy(plain(words.Float, false).get())).get());
  auto make = [&](PyObject* tag, bool is_spec) {
    return (use_shared ? shared(tag, is_spec) : plain(tag, is_spec)).release();
  };
  templates.Null = make(words.Null, false);
  templates.Bool = make(words.Bool, false);
  templates.Int = make(words.Int, false);
  templates.Float = make(words.Float, false);
  templates.String = make(words.String, false);
  templates.Date = make(words.Date, false);
  templates.Bytes = make(words.Bytes, false);
  templates.Array = make(words.Array, false);
  templates.Dict = make(words.Dict, false);
  templates.COM_Object = make(words.COM_Object, false);
  templates.Python_Function = make(words.Python_Function, true);
  templates.reference = make(Py_None, true);
}

}  // namespace

void init(PyObject* globals) {
#define PROXYLINK_CODEC_INTERN(n) words.n = intern(#n);
  PROXYLINK_CODEC_WORDS(PROXYLINK_CODEC_INTERN)
#undef PROXYLINK_CODEC_INTERN
  words.datetime64_us = intern("datetime64[us]");

  libs.np = keep_global(globals, names.np);
  libs.pd = keep_global(globals, names.pd);
  libs.dt = keep_global(globals, names.dt);
  libs.base64 = keep_global(globals, names.base64);
  libs.np_bool = keep_attr(libs.np, "bool_");
  libs.np_datetime64 = keep_attr(libs.np, "datetime64");
  libs.np_floating = keep_attr(libs.np, "floating");
  libs.np_ndarray = keep_attr(libs.np, "ndarray");
  libs.pd_Timestamp = keep_attr(libs.pd, "Timestamp");
  libs.pd_Series = keep_attr(libs.pd, "Series");
  libs.pd_DataFrame = keep_attr(libs.pd, "DataFrame");
  libs.pd_NA = keep_attr(libs.pd, "NA");
  libs.dt_datetime = keep_attr(libs.dt, "datetime");
  libs.dt_date = keep_attr(libs.dt, "date");
  Ref timezone = orv::own(PyObject_GetAttrString(libs.dt, "timezone"));
  libs.utc = keep_attr(timezone.get(), "utc");
  libs.b64decode = keep_attr(libs.base64, "b64decode");
  libs.fromisoformat = keep_attr(libs.dt_datetime, "fromisoformat");
  make_templates();
}

Ref library_attr(PyObject* global_name, PyObject* own_module, PyObject* attr, PyObject* own_attr) {
  Ref module = global(global_name);
  if (module.is(own_module)) return Ref::borrow(own_attr);
  return getattr(module.get(), attr);
}

Ref make_reference(PyObject* type_name, PyObject* object_id) {
  Ref wire = orv::own(PyDict_Copy(templates.reference));
  orv::check(PyDict_SetItem(wire.get(), names.type, type_name));
  orv::check(PyDict_SetItem(wire.get(), names.value, object_id));
  return wire;
}

namespace {

// `k, v = pair`, with the ValueError of Python's unpacking.
std::pair<Ref, Ref> unpack_pair(PyObject* pair) {
  Ref items = PyTuple_CheckExact(pair) ? Ref::borrow(pair) : orv::own(PySequence_Tuple(pair));
  const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  if (n > 2) orv::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
  if (n < 2) orv::raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
  return {Ref::borrow(PyTuple_GET_ITEM(items.get(), 0)), Ref::borrow(PyTuple_GET_ITEM(items.get(), 1))};
}

}  // namespace

Ref map_elements(PyObject* items, Convert convert) {
  if (PyTuple_CheckExact(items)) {
    orv::PendingList out(PyTuple_GET_SIZE(items));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items); ++i) out.set(i, convert(PyTuple_GET_ITEM(items, i)));
    return out.finish();
  }
  if (PyList_CheckExact(items)) {
    // Sized for the list as it is now; it may grow or shrink meanwhile.
    const Py_ssize_t planned = PyList_GET_SIZE(items);
    orv::PendingList out(planned);
    Py_ssize_t i = 0;
    for (; i < PyList_GET_SIZE(items); ++i) {
      Ref element = Ref::borrow(PyList_GET_ITEM(items, i));
      Ref converted = convert(element.get());
      if (i < planned) {
        out.set(i, std::move(converted));
      } else {
        orv::check(PyList_Append(out.get(), converted.get()));
      }
    }
    if (i < planned) orv::check(PyList_SetSlice(out.get(), i, planned, nullptr));
    return out.finish();
  }
  Ref out = orv::own(PyList_New(0));
  Ref iterator = orv::own(PyObject_GetIter(items));
  while (Ref element = Ref::steal(PyIter_Next(iterator.get()))) {
    orv::check(PyList_Append(out.get(), convert(element.get()).get()));
  }
  if (PyErr_Occurred()) orv::throw_current();
  return out;
}

Ref map_values(PyObject* mapping, Convert convert) {
  Ref out = orv::own(PyDict_New());
  if (PyDict_CheckExact(mapping)) {
    const Py_ssize_t size = PyDict_GET_SIZE(mapping);
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(mapping, &pos, &k, &v)) {
      Ref key = Ref::borrow(k), value = Ref::borrow(v);
      orv::check(PyDict_SetItem(out.get(), key.get(), convert(value.get()).get()));
      if (PyDict_GET_SIZE(mapping) != size) orv::raise(PyExc_RuntimeError, "dictionary changed size during iteration");
    }
    return out;
  }
  Ref pairs = call_method(mapping, words.items);
  Ref iterator = orv::own(PyObject_GetIter(pairs.get()));
  while (Ref pair = Ref::steal(PyIter_Next(iterator.get()))) {
    auto [key, value] = unpack_pair(pair.get());
    orv::check(PyDict_SetItem(out.get(), key.get(), convert(value.get()).get()));
  }
  if (PyErr_Occurred()) orv::throw_current();
  return out;
}

}  // namespace proxylink::codec
