// Module set-up of handlers: the imports, the module logger, the three slots
// that init_handlers fills, and the handler functions.
#include "core/module_rules.hpp"
#include "core/method.hpp"
#include "handlers/handlers.hpp"

namespace handlers {
namespace {

using orv::bind;
using orv::check;
using orv::own;

orv::ModuleRules rules(module_short_name, module_full_name);

Ref init_handlers(PyObject*, orv::Args args) {
  check(PyDict_SetItem(module_globals, names._manager, args[0]));
  check(PyDict_SetItem(module_globals, names._package_manager, args[1]));
  check(PyDict_SetItem(module_globals, names._handle_workbook_packages_install, args[2]));
  return orv::none();
}

constexpr orv::MethodDecl functions_table[] = {
    {{.function = "init_handlers",
      .names = {"manager", "package_manager", "handle_workbook_packages_install_func"},
      .required = 3},
     init_handlers,
     "init_handlers(manager, package_manager, handle_workbook_packages_install_func) -> None\n\n"
     "Initialize handlers with manager instances.\n\n"
     "Stores the business layer's ConnectionManager, PackageManager and its function that\n"
     "installs every package of one workbook; every handler reads them when it runs."},
};
auto functions = orv::method_defs<functions_table>();

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
  for (PyMethodDef& def : functions) bind(module, def.ml_name, orv::make_function(&def, module_name).get());
  add_worker_requests(module);
  add_package_queries(module);
  add_package_install(module);
  add_workbook_packages(module);
  add_python_paths(module);
}

PyModuleDef definition = orv::module_definition<rules, exec_body>(
    module_short_name,
    "Package Handlers - Message handlers for package management operations.\n\n"
    "This module provides:\n"
    "- Message handlers for IDE package management requests\n"
    "- Integration with PackageManager for pip operations\n"
    "- Integration with ConnectionManager for message routing\n");

}  // namespace
}  // namespace handlers

PyMODINIT_FUNC PyInit_handlers() { return PyModuleDef_Init(&handlers::definition); }
