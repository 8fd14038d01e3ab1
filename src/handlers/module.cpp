// Module set-up of handlers: the imports, the module logger, the three slots
// that init_handlers fills, and the handler functions.
#include "core/module_rules.hpp"
#include "core/pyclass.hpp"
#include "handlers/handlers.hpp"

namespace handlers {

Names names;
PyObject* module_globals = nullptr;
PyObject* module_name = nullptr;

Ref message_get(PyObject* message, PyObject* key, Ref fallback) {
  PyObject* value = orv::check_ptr(PyDict_GetItemWithError(message, key));
  return value ? Ref::borrow(value) : std::move(fallback);
}

bool truthy(PyObject* value) { return orv::check(PyObject_IsTrue(value)) != 0; }

Ref manager_dict(PyObject* attr) { return getattr(global(names._manager).get(), attr); }

Ref dict_get(PyObject* d, PyObject* key, Ref (*fallback)()) {
  if (PyDict_CheckExact(d)) {
    PyObject* value = orv::check_ptr(PyDict_GetItemWithError(d, key));
    return value ? Ref::borrow(value) : fallback();
  }
  return call_method(d, names.get, key, fallback().get());
}

bool dict_contains(PyObject* d, PyObject* key) { return orv::check(PySequence_Contains(d, key)) != 0; }

void dict_set(PyObject* d, PyObject* key, PyObject* value) { orv::check(PyObject_SetItem(d, key, value)); }

Ref new_list() { return orv::own(PyList_New(0)); }
Ref new_dict() { return orv::own(PyDict_New()); }

Ref message_of(std::initializer_list<std::pair<PyObject*, PyObject*>> items) {
  Ref message = new_dict();
  for (const auto& [key, value] : items) orv::check(PyDict_SetItem(message.get(), key, value));
  return message;
}

Ref send_to_ide(PyObject* message) {
  return call_method(global(names._manager).get(), names.send_to_ide, message);
}

void log(PyObject* level, PyObject* text) { call_method(global(names.logger).get(), level, text); }

void log(PyObject* level, const char* text) { log(level, orv::own(PyUnicode_FromString(text)).get()); }

Ref import_from(const char* module, const char* name, int level) {
  Ref fromlist = orv::own(PyTuple_Pack(1, orv::own(PyUnicode_FromString(name)).get()));  // made whole at once
  Ref imported = orv::own(PyImport_ImportModuleLevel(module, module_globals, nullptr, fromlist.get(), level));
  PyObject* value = PyObject_GetAttrString(imported.get(), name);
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) orv::throw_current();
    PyErr_Clear();
    Ref full_name = orv::own(PyObject_GetAttrString(imported.get(), "__name__"));
    orv::raise_format(PyExc_ImportError, "cannot import name '%s' from '%U'", name, full_name.get());
  }
  return Ref::steal(value);
}

void start_task(Ref coroutine) {
  Ref asyncio = global(names.asyncio);
  call_method(asyncio.get(), names.create_task, coroutine.get());
}

bool all_given(std::initializer_list<const orv::Local*> values, const char* warning) {
  for (const orv::Local* value : values) {
    if (!truthy(value->get())) {
      log(names.warning, warning);
      return false;
    }
  }
  return true;
}

void add_function(PyObject* module, const orv::CoroutineDef& def) {
  Ref fn = orv::make_coroutine_function(def, module_name);
  orv::check(PyObject_SetAttrString(module, def.sig.function, fn.get()));
}

namespace {

using orv::check;
using orv::own;

orv::ModuleRules rules("handlers", "orvane_master.business_layer.packages.handlers");

void intern_names() {
#define HANDLERS_INTERN(n) \
  if (!(names.n = PyUnicode_InternFromString(#n))) orv::throw_current();
  HANDLERS_NAMES(HANDLERS_INTERN)
#undef HANDLERS_INTERN
}

using orv::bind;

PyObject* init_handlers(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return orv::boundary([&] {
    PyObject* argv[3];
    orv::parse_args({"init_handlers", {"manager", "package_manager", "handle_workbook_packages_install_func"}, 3},
                    args, nargs, kwnames, argv);
    check(PyDict_SetItem(module_globals, names._manager, argv[0]));
    check(PyDict_SetItem(module_globals, names._package_manager, argv[1]));
    check(PyDict_SetItem(module_globals, names._handle_workbook_packages_install, argv[2]));
    return orv::none();
  });
}

PyMethodDef init_handlers_def = {
    "init_handlers", ORV_FASTCALL(init_handlers),
    "init_handlers(manager, package_manager, handle_workbook_packages_install_func) -> None\n\n"
    "Initialize handlers with manager instances.\n\n"
    "Stores the business layer's ConnectionManager, PackageManager and its function that\n"
    "installs every package of one workbook; every handler reads them when it runs."};

void exec_body(PyObject* module) {
  intern_names();
  module_globals = PyModule_GetDict(module);
  module_name = own(PyObject_GetAttrString(module, "__name__")).release();
  bind(module, "asyncio", own(PyImport_ImportModule("asyncio")).get());
  Ref typing = own(PyImport_ImportModule("typing"));
  bind(module, "Optional", own(PyObject_GetAttrString(typing.get(), "Optional")).get());
  Ref get_logger = import_from("quaylog", "get_logger", 3);
  bind(module, "get_logger", get_logger.get());
  bind(module, "logger", own(PyObject_CallOneArg(get_logger.get(), module_name)).get());
  bind(module, "_manager", Py_None);
  bind(module, "_package_manager", Py_None);
  bind(module, "_handle_workbook_packages_install", Py_None);
  bind(module, "init_handlers", orv::make_function(&init_handlers_def, module_name).get());
  add_package_queries(module);
  add_package_install(module);
  add_workbook_packages(module);
  add_python_paths(module);
}

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "handlers",
    "Package Handlers - Message handlers for package management operations.\n\n"
    "This module provides:\n"
    "- Message handlers for IDE package management requests\n"
    "- Integration with PackageManager for pip operations\n"
    "- Integration with ConnectionManager for message routing\n",
    0,
    nullptr,
    orv::MultiPhaseSlots<rules, exec_body>::slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace handlers

PyMODINIT_FUNC PyInit_handlers() { return PyModuleDef_Init(&handlers::definition); }
