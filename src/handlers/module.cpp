// Module set-up of handlers: the imports, the module logger, the three slots
// that init_handlers fills, and the handler functions.
#include "core/module_rules.hpp"
#include "core/pyclass.hpp"
#include "handlers/handlers.hpp"

namespace handlers {
namespace {

using orv::bind;
using orv::check;
using orv::own;

orv::ModuleRules rules(module_short_name, module_full_name);

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
  names.intern();
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
  add_worker_requests(module);
  add_package_queries(module);
  add_package_install(module);
  add_workbook_packages(module);
  add_python_paths(module);
}

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    module_short_name,
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
