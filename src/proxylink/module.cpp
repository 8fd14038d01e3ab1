// Module set-up of proxylink: imports, optional probes, classes, the proxy
// operations, the one Messaging instance and the root proxies, in that order.
#include "core/module_rules.hpp"
#include "proxylink/classes.hpp"
#include "proxylink/global_checks.hpp"
#include "proxylink/request_id.hpp"

namespace proxylink {

Names names;
ModuleObjects owned;

namespace {

orv::ModuleRules rules("proxylink", kModuleName);

using orv::bind;

Ref import(const char* name) { return orv::own(PyImport_ImportModule(name)); }

void import_libraries(PyObject* module) {
  bind(module, "base64", import("base64").get());
  import("concurrent.futures");
  bind(module, "concurrent", import("concurrent").get());
  bind(module, "dt", import("datetime").get());
  bind(module, "threading", import("threading").get());
  bind(module, "uuid", import("uuid").get());
  request_ids::init();
  bind(module, "pd", import("pandas").get());
  bind(module, "np", import("numpy").get());
  Ref typing = import("typing");
  for (const char* name : {"Any", "Dict"}) bind(module, name, orv::own(PyObject_GetAttrString(typing.get(), name)).get());
}

void probe_polars(PyObject* module) {
  PyObject* polars = PyImport_ImportModule("polars");
  if (!polars) {
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) orv::throw_current();
    PyErr_Clear();
    bind(module, "pl", Py_None);
    bind(module, "_HAS_POLARS", Py_False);
    return;
  }
  Ref held = Ref::steal(polars);
  bind(module, "pl", polars);
  bind(module, "_HAS_POLARS", Py_True);
}

// from .vornel import serialize_com_object, deserialize_com_object, is_com_object
void probe_legacy_serialisation(PyObject* module) {
  static const char* const imported[] = {"serialize_com_object", "deserialize_com_object", "is_com_object"};
  try {
    Ref fromlist = orv::own(Py_BuildValue("(sss)", imported[0], imported[1], imported[2]));
    Ref vornel = orv::own(PyImport_ImportModuleLevel("vornel", PyModule_GetDict(module), nullptr, fromlist.get(), 1));
    Ref values[3];
    for (int i = 0; i < 3; ++i) {
      values[i] = Ref::steal(PyObject_GetAttrString(vornel.get(), imported[i]));
      if (!values[i]) {
        PyErr_Clear();
        orv::raise_format(PyExc_ImportError, "cannot import name '%s' from 'vornel'", imported[i]);
      }
    }
    for (int i = 0; i < 3; ++i) bind(module, imported[i], values[i].get());
    bind(module, "_HAS_COM", Py_True);
  } catch (orv::PythonError& e) {
    if (!e.matches(PyExc_ImportError)) throw;
    bind(module, "serialize_com_object", Py_None);
    bind(module, "deserialize_com_object", Py_None);
    bind(module, "_HAS_COM", Py_False);
  }
}

// Binds `value` to the global `name` and keeps it as the module's own object.
orv::Immortal keep(PyObject* module, const char* name, Ref value) {
  bind(module, name, value.get());
  return orv::Immortal(std::move(value));
}

void make_roots(PyObject* module) {
  struct Root { const char* global; long id; const char* type_name; };
  static const Root roots[] = {{"Context", 0, "RequestContext"}, {"Excel", 1, "Excel"},
                               {"GetSetting", 2, "Function"},    {"Union", 3, "Function"},
                               {"Intersect", 4, "Function"},     {"GetSystemInfo", 6, "Function"}};
  for (const Root& root : roots) {
    Ref kwargs = orv::own(Py_BuildValue("{s:l,s:s}", "object_id", root.id, "type_name", root.type_name));
    Ref empty = orv::own(PyTuple_New(0));
    Ref proxy = orv::own(PyObject_Call(owned.OfficeJsObject, empty.get(), kwargs.get()));
    bind(module, root.global, proxy.get());
  }
}

void exec_body(PyObject* module) {
  names.intern();
  orv::init_object_setattr();
  owned.globals = orv::Immortal(Ref::borrow(PyModule_GetDict(module)));
  import_libraries(module);
  probe_polars(module);
  probe_legacy_serialisation(module);
  owned.Serializer.own = keep(module, "Serializer", make_serializer_class());
  global_checks::watch(owned.globals, owned.Serializer.own);
  owned.Messaging = keep(module, "Messaging", make_messaging_class());
  add_operations(module);
  Ref internal_names = orv::own(Py_BuildValue("[ssssssssss]", "_cw__getattr__", "_cw__getitem__", "_cw__setattr__",
                                              "_cw__call__", "_cw__del__", "__getattr__", "__getitem__",
                                              "__setattr__", "__call__", "__del__"));
  bind(module, "_internal_officejs_names", internal_names.get());
  owned.OfficeJsObject = keep(module, "OfficeJsObject", make_object_class());
  owned.OfficeJsArray = keep(module, "OfficeJsArray", make_array_class());
  owned.OfficeJsDict = keep(module, "OfficeJsDict", make_dict_class());
  bind(module, "UNIQUE_TRANSACTION_ID", orv::own(PyLong_FromLong(5)).get());
  owned.OfficeJsTransaction = keep(module, "OfficeJsTransaction", make_transaction_class());
  owned.messaging = keep(module, "messaging", orv::own(PyObject_CallNoArgs(owned.Messaging)));
  make_roots(module);
}

PyModuleDef definition = orv::module_definition<rules, exec_body>(
    "proxylink",
    "Orvane synchronous bridge between Python and Excel Office.js.\n\n"
    "Offers a synchronous proxy to Office.js objects: attribute reads, writes, calls\n"
    "and indexing on Excel objects become requests to the Office.js add-in.\n\n"
    "Classes:\n"
    "    Serializer: Handles marshaling of data types between Python and JavaScript\n"
    "    Messaging: Message passing with synchronous send and wait (no WebSocket server)\n"
    "    OfficeJsObject: Dynamic proxy for Office.js objects\n"
    "    OfficeJsArray: Specialized proxy for arrays\n"
    "    OfficeJsDict: Specialized proxy for dictionaries\n\n"
    "Globals:\n"
    "    Excel: Root proxy object (ID 1)\n"
    "    Context: Context proxy object (ID 0)\n");

}  // namespace

// Built the way a class statement builds a class: a namespace handed to
// `type`, so that the class dictionary looks exactly like a Python class's
// (no extra slot wrappers).
Ref make_module_class(const char* name, const char* doc, PyTypeObject* base, std::span<PyMethodDef> methods,
                      std::span<PyMethodDef> static_methods) {
  using orv::check;
  using orv::own;
  Ref module_name = own(PyUnicode_FromString(kModuleName));
  Ref ns = own(PyDict_New());
  check(PyDict_SetItemString(ns.get(), "__module__", module_name.get()));
  Ref qualname = own(PyUnicode_FromString(name));
  check(PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()));
  Ref doc_text = own(PyUnicode_FromString(doc));
  check(PyDict_SetItemString(ns.get(), "__doc__", doc_text.get()));
  for (PyMethodDef& def : static_methods) {
    Ref fn = orv::make_function(&def, module_name.get());
    Ref wrapped = own(PyStaticMethod_New(fn.get()));
    check(PyDict_SetItemString(ns.get(), def.ml_name, wrapped.get()));
  }
  Ref bases = own(PyTuple_Pack(1, reinterpret_cast<PyObject*>(base)));
  Ref cls = own(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "sOO", name, bases.get(), ns.get()));
  // Method descriptors need the class they belong to, so they go in once it exists;
  // setting them through the type keeps its slots in step, as for any class attribute.
  for (PyMethodDef& def : methods) {
    Ref descr = own(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.get()), &def));
    check(PyObject_SetAttrString(cls.get(), def.ml_name, descr.get()));
  }
  return cls;
}

}  // namespace proxylink

PyMODINIT_FUNC PyInit_proxylink() { return PyModuleDef_Init(&proxylink::definition); }
