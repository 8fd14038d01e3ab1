// Package queries: the request handlers that check a question and start its
// worker as a task. The workers (handle_get_package_versions, ..._extras,
// ..._info) are looked up by name in the module namespace when a request comes.
#include "handlers/handlers.hpp"

namespace handlers {
namespace {

orv::Task versions_request(orv::Frame& f) {
  PyObject* message = f.arg(1);
  Ref package_name = message_get(message, names.package_name);
  Ref request_id = message_get(message, names.request_id);
  if (!truthy(package_name.get()) || !truthy(request_id.get())) {
    log(names.warning, "Received get_package_versions_request without package_name or request_id");
    co_return orv::none();
  }
  Ref worker = global(names.handle_get_package_versions);
  start_task(orv::own(PyObject_CallFunctionObjArgs(worker.get(), f.arg(0), package_name.get(), request_id.get(),
                                                   nullptr)));
  co_return orv::none();
}

orv::Task extras_request(orv::Frame& f) {
  PyObject* message = f.arg(1);
  Ref package_name = message_get(message, names.package_name);
  Ref version = message_get(message, names.version);
  Ref request_id = message_get(message, names.request_id);
  if (!truthy(package_name.get()) || !truthy(request_id.get())) {
    log(names.warning, "Received get_package_extras_request without package_name or request_id");
    co_return orv::none();
  }
  Ref worker = global(names.handle_get_package_extras);
  start_task(orv::own(PyObject_CallFunctionObjArgs(worker.get(), f.arg(0), package_name.get(), version.get(),
                                                   request_id.get(), nullptr)));
  co_return orv::none();
}

orv::Task info_request(orv::Frame& f) {
  PyObject* message = f.arg(1);
  Ref package_name = message_get(message, names.package_name);
  Ref request_id = message_get(message, names.request_id);
  if (!truthy(package_name.get()) || !truthy(request_id.get())) {
    log(names.warning, "Received get_package_info_request without package_name or request_id");
    co_return orv::none();
  }
  Ref worker = global(names.handle_get_package_info);
  start_task(orv::own(PyObject_CallFunctionObjArgs(worker.get(), f.arg(0), package_name.get(), request_id.get(),
                                                   nullptr)));
  co_return orv::none();
}

const orv::CoroutineDef versions_request_def{
    {"handle_get_package_versions_request", {"client_id", "message"}, 2},
    {orv::Accept::str, orv::Accept::dict},
    "handle_get_package_versions_request(client_id: str, message: dict) -> None\n\n"
    "Handle package versions query from IDE.",
    versions_request};

const orv::CoroutineDef extras_request_def{
    {"handle_get_package_extras_request", {"client_id", "message"}, 2},
    {orv::Accept::str, orv::Accept::dict},
    "handle_get_package_extras_request(client_id: str, message: dict) -> None\n\n"
    "Handle package extras query from IDE.",
    extras_request};

const orv::CoroutineDef info_request_def{
    {"handle_get_package_info_request", {"client_id", "message"}, 2},
    {orv::Accept::str, orv::Accept::dict},
    "handle_get_package_info_request(client_id: str, message: dict) -> None\n\n"
    "Handle package info query from IDE.",
    info_request};

}  // namespace

void add_package_queries(PyObject* module) {
  add_function(module, versions_request_def);
  add_function(module, extras_request_def);
  add_function(module, info_request_def);
}

}  // namespace handlers
