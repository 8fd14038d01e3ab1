// The codec's set-up (tag words, templates, the libraries' attributes) and
// the helpers that map containers.
#include "proxylink/codec.hpp"

#include "core/pending_list.hpp"

#include <utility>

namespace proxylink::codec {

Wire wire_tags;

namespace {

Py_ssize_t size_of(PyObject* obj) {
  Ref size = call_method(obj, names.__sizeof__);
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
    setattr(holder.get(), names.isSpec, orv::boolean(is_spec).get());
    return orv::own(PyObject_GenericGetDict(holder.get(), nullptr));
  };
  auto plain = [](PyObject* tag, bool is_spec) {
    Ref made = orv::own(PyDict_New());
    orv::check(PyDict_SetItem(made.get(), names.type, tag));
    orv::check(PyDict_SetItem(made.get(), names.value, Py_None));
    orv::check(PyDict_SetItem(made.get(), names.isSpec, orv::boolean(is_spec).get()));
    return made;
  };
  PyObject* sample = word(Tag::Float);
  const bool use_shared = size_of(orv::own(PyDict_Copy(shared(sample, false).get())).get()) <
                          size_of(orv::own(PyDict_Copy(plain(sample, false).get())).get());
  auto make = [&](PyObject* tag, bool is_spec) {
    return orv::Immortal(use_shared ? shared(tag, is_spec) : plain(tag, is_spec));
  };
  for (const TagRow& row : tag_rows) wire_tags.templates[index_of(row.tag)] = make(word(row.tag), row.special);
  wire_tags.reference = make(Py_None, true);
}

}  // namespace

void init() {
  for (const TagRow& row : tag_rows) wire_tags.words[index_of(row.tag)] = orv::Immortal::interned(row.word);

  for (Replaceable* library : {&owned.np, &owned.pd, &owned.dt, &owned.base64}) {
    library->own = orv::Immortal(global(library->name));
  }
  owned.np_bool = keep_attr(owned.np.own, "bool_");
  owned.np_datetime64 = keep_attr(owned.np.own, "datetime64");
  owned.np_floating = keep_attr(owned.np.own, "floating");
  owned.np_ndarray = keep_attr(owned.np.own, "ndarray");
  owned.pd_Timestamp = keep_attr(owned.pd.own, "Timestamp");
  owned.pd_Series = keep_attr(owned.pd.own, "Series");
  owned.pd_DataFrame = keep_attr(owned.pd.own, "DataFrame");
  owned.pd_NA = keep_attr(owned.pd.own, "NA");
  owned.dt_datetime = keep_attr(owned.dt.own, "datetime");
  owned.dt_date = keep_attr(owned.dt.own, "date");
  Ref timezone = orv::own(PyObject_GetAttrString(owned.dt.own, "timezone"));
  owned.utc = keep_attr(timezone.get(), "utc");
  owned.b64decode = keep_attr(owned.base64.own, "b64decode");
  owned.fromisoformat = keep_attr(owned.dt_datetime, "fromisoformat");
  make_templates();
}

Ref library_attr(const Replaceable& library, PyObject* attr, PyObject* own_attr) {
  return if_own(
      library, [&] { return Ref::borrow(own_attr); }, [&](PyObject* current) { return getattr(current, attr); });
}

Ref make_reference(PyObject* type_name, PyObject* object_id) {
#ifdef Py_GIL_DISABLED
  return fresh_wire(type_name, object_id, true);  // as make_wire, no shared template
#else
  Ref made = orv::own(PyDict_Copy(wire_tags.reference));
  orv::check(PyDict_SetItem(made.get(), names.type, type_name));
  orv::check(PyDict_SetItem(made.get(), names.value, object_id));
  return made;
#endif
}

namespace {

// `k, v = tuple(pair)`: the pair is read whole, as tuple() reads it, so an
// iterable of any length is consumed to its end (unpacking itself stops after
// a third item), and what is not iterable gets tuple()'s TypeError. The
// ValueError for a wrong length is the one of Python's unpacking.
std::pair<Ref, Ref> unpack_as_tuple(PyObject* pair) {
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
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items); ++i) {
      Ref element = Ref::borrow(PyTuple_GET_ITEM(items, i));
      out.set(i, convert(element.get()));
    }
    return out.finish();
  }
  if (PyList_CheckExact(items)) {
    // Sized for the list as it is now; it may grow or shrink meanwhile.
    const Py_ssize_t planned = PyList_GET_SIZE(items);
    orv::PendingList out(planned);
    Py_ssize_t i = 0;
    // Each element owned as it is read: another thread may change the list.
    for (; Ref element = Ref::steal(orv::compat::list_get_ref(items, i)); ++i) {
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
    while (true) {
      // One entry at a time under the dict's lock, owned before the lock is let
      // go: converting runs Python code, which may change the dict.
      Ref key, value;
      orv::compat::locked_step(mapping, [&] {
        PyObject *k, *v;
        if (PyDict_Next(mapping, &pos, &k, &v)) {
          key = Ref::borrow(k);
          value = Ref::borrow(v);
        }
      });
      if (!key) break;
      orv::check(PyDict_SetItem(out.get(), key.get(), convert(value.get()).get()));
      if (PyDict_GET_SIZE(mapping) != size) orv::raise(PyExc_RuntimeError, "dictionary changed size during iteration");
    }
    return out;
  }
  Ref pairs = call_method(mapping, names.items);
  Ref iterator = orv::own(PyObject_GetIter(pairs.get()));
  while (Ref pair = Ref::steal(PyIter_Next(iterator.get()))) {
    auto [key, value] = unpack_as_tuple(pair.get());
    orv::check(PyDict_SetItem(out.get(), key.get(), convert(value.get()).get()));
  }
  if (PyErr_Occurred()) orv::throw_current();
  return out;
}

}  // namespace proxylink::codec
