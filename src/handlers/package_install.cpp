// Package installation: the request handlers that start an install as a task,
// either of one package (the worker handle_package_install, looked up by name)
// or of every package of a workbook (the function given to init_handlers).
#include "handlers/handlers.hpp"

namespace handlers {
namespace {

orv::Task install_request(orv::Frame& f) {
  PyObject* message = f.arg(1);
  Ref workbook_id = message_get(message, names.workbook_id);
  Ref package_spec = message_get(message, names.package);
  if (!truthy(workbook_id.get()) || !truthy(package_spec.get())) co_return orv::none();
  Ref worker = global(names.handle_package_install);
  start_task(orv::own(PyObject_CallFunctionObjArgs(worker.get(), f.arg(0), workbook_id.get(), package_spec.get(),
                                                   nullptr)));
  co_return orv::none();
}

orv::Task install_workbook_packages(orv::Frame& f) {
  Ref target_workbook = message_get(f.arg(1), names.workbook_id);
  if (!truthy(target_workbook.get())) {
    log(names.warning, "Received install_workbook_packages without workbook_id");
    co_return orv::none();
  }
  Ref install = global(names._handle_workbook_packages_install);
  start_task(orv::own(PyObject_CallOneArg(install.get(), target_workbook.get())));
  log(names.info, orv::own(PyUnicode_FromFormat("Starting package installation for workbook %S",
                                                target_workbook.get())).get());
  co_return orv::none();
}

const orv::CoroutineDef install_request_def{
    {"handle_package_install_request", {"client_id", "message"}, 2},
    {orv::Accept::str, orv::Accept::dict},
    "handle_package_install_request(client_id: str, message: dict) -> None\n\n"
    "Handle package install request from IDE.",
    install_request};

const orv::CoroutineDef install_workbook_packages_def{
    {"handle_install_workbook_packages", {"client_id", "message"}, 2},
    {orv::Accept::str, orv::Accept::dict},
    "handle_install_workbook_packages(client_id: str, message: dict) -> None\n\n"
    "Handle install all workbook packages request from IDE.",
    install_workbook_packages};

}  // namespace

void add_package_install(PyObject* module) {
  add_function(module, install_request_def);
  add_function(module, install_workbook_packages_def);
}

}  // namespace handlers
