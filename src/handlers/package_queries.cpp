// Package queries: the request handlers that check a question and start its
// worker as a task. The workers (handle_get_package_versions, ..._extras,
// ..._info) are looked up by name in the module namespace when a request comes.
#include "handlers/workers.hpp"

#include <utility>

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


// Names used only by the query workers.
struct QueryNames {
  PyObject* versions;
  PyObject* summary;
  PyObject* latest_version;
  PyObject* get_available_versions;
  PyObject* get_package_extras;
  PyObject* get_package_info;
  PyObject* versions_response;
  PyObject* extras_response;
  PyObject* info_response;
  PyObject* empty;
};
QueryNames q;

void intern_query_names() {
  const std::pair<PyObject**, const char*> table[] = {
      {&q.versions, "versions"},
      {&q.summary, "summary"},
      {&q.latest_version, "latest_version"},
      {&q.get_available_versions, "get_available_versions"},
      {&q.get_package_extras, "get_package_extras"},
      {&q.get_package_info, "get_package_info"},
      {&q.versions_response, "get_package_versions_response"},
      {&q.extras_response, "get_package_extras_response"},
      {&q.info_response, "get_package_info_response"},
      {&q.empty, ""},
  };
  for (const auto& [slot, text] : table)
    if (!(*slot = PyUnicode_InternFromString(text))) orv::throw_current();
}

Ref package_manager() { return global(names._package_manager); }

// The awaitable of _manager.send_message("ide", client, message).
Ref reply(PyObject* client, const Ref& message) { return send_message(names.ide, client, message); }

// The start of a query worker's error line; str(e) follows.
Ref query_error(const char* what, PyObject* package_name) {
  return orv::own(PyUnicode_FromFormat("Error querying package %s for %U: ", what, package_name));
}

orv::Task versions_worker(orv::Frame& f) {
  PyObject* client = f.arg(0);
  PyObject* package_name = f.arg(1);
  PyObject* request_id = f.arg(2);
  orv::Local failure(f);
  try {
    Ref query = call_method(package_manager().get(), q.get_available_versions, package_name);
    orv::Local versions(f, co_await orv::awaitable(std::move(query)));
    Ref send = reply(client, message_of({{names.type, q.versions_response},
                                         {names.package_name, package_name},
                                         {q.versions, versions.get()},
                                         {names.request_id, request_id}}));
    co_await orv::awaitable(std::move(send));
  } catch (orv::PythonError& e) {
    keep_exception(e, failure);
  }
  if (failure) {
    orv::Handling handling(f, failure);
    Ref send = report_failure(failure.get(), query_error("versions", package_name), client, [&](PyObject* text) {
      return message_of({{names.type, q.versions_response},
                         {names.package_name, package_name},
                         {q.versions, new_list().get()},
                         {names.error, text},
                         {names.request_id, request_id}});
    });
    co_await orv::awaitable(std::move(send));
  }
  co_return orv::none();
}

orv::Task extras_worker(orv::Frame& f) {
  PyObject* client = f.arg(0);
  PyObject* package_name = f.arg(1);
  PyObject* request_id = f.arg(3);
  orv::Local version(f, Ref::borrow(f.arg(2)));
  orv::Local failure(f);
  try {
    // The extras are asked for with the version as received...
    Ref query = call_method(package_manager().get(), q.get_package_extras, package_name, version.get());
    orv::Local extras(f, co_await orv::awaitable(std::move(query)));
    // ...and the version reported back is filled in from the latest one.
    if (version.get() == Py_None || PyUnicode_GET_LENGTH(version.get()) == 0) {
      Ref info_query = call_method(package_manager().get(), q.get_package_info, package_name);
      Ref info = co_await orv::awaitable(std::move(info_query));
      Ref latest = mapping_get(info.get(), q.latest_version, q.empty);
      if (latest.get() != Py_None && !PyUnicode_CheckExact(latest.get()))
        orv::raise_format(PyExc_TypeError, "Expected str, got %.200s", Py_TYPE(latest.get())->tp_name);
      version = std::move(latest);
    }
    Ref send = reply(client, message_of({{names.type, q.extras_response},
                                         {names.package_name, package_name},
                                         {names.version, version.get()},
                                         {names.extras, extras.get()},
                                         {names.request_id, request_id}}));
    co_await orv::awaitable(std::move(send));
  } catch (orv::PythonError& e) {
    keep_exception(e, failure);
  }
  if (failure) {
    orv::Handling handling(f, failure);
    Ref send = report_failure(failure.get(), query_error("extras", package_name), client, [&](PyObject* text) {
      return message_of({{names.type, q.extras_response},
                         {names.package_name, package_name},
                         {names.version, truthy(version.get()) ? version.get() : q.empty},
                         {names.extras, new_list().get()},
                         {names.error, text},
                         {names.request_id, request_id}});
    });
    co_await orv::awaitable(std::move(send));
  }
  co_return orv::none();
}

orv::Task info_worker(orv::Frame& f) {
  PyObject* client = f.arg(0);
  PyObject* package_name = f.arg(1);
  PyObject* request_id = f.arg(2);
  orv::Local failure(f);
  try {
    Ref query = call_method(package_manager().get(), q.get_package_info, package_name);
    Ref send;
    {
      Ref info = co_await orv::awaitable(std::move(query));
      Ref response = message_of({{names.type, q.info_response},
                                 {names.package_name, package_name},
                                 {names.request_id, request_id}});
      if (dict_contains(info.get(), names.error)) {
        dict_set(response.get(), names.error, orv::own(PyObject_GetItem(info.get(), names.error)).get());
      } else {
        dict_set(response.get(), names.name, mapping_get(info.get(), names.name, package_name).get());
        dict_set(response.get(), q.latest_version, mapping_get(info.get(), q.latest_version, q.empty).get());
        dict_set(response.get(), q.summary, mapping_get(info.get(), q.summary, q.empty).get());
      }
      send = reply(client, response);
    }
    co_await orv::awaitable(std::move(send));
  } catch (orv::PythonError& e) {
    keep_exception(e, failure);
  }
  if (failure) {
    orv::Handling handling(f, failure);
    Ref send = report_failure(failure.get(), query_error("info", package_name), client, [&](PyObject* text) {
      return message_of({{names.type, q.info_response},
                         {names.package_name, package_name},
                         {names.error, text},
                         {names.request_id, request_id}});
    });
    co_await orv::awaitable(std::move(send));
  }
  co_return orv::none();
}

const orv::CoroutineDef versions_worker_def{
    {"handle_get_package_versions", {"ide_client_id", "package_name", "request_id"}, 3},
    {orv::Accept::str, orv::Accept::str, orv::Accept::str},
    "handle_get_package_versions(ide_client_id: str, package_name: str, request_id: str) -> None\n\n"
    "Handle package versions query and send response to IDE.\n\n"
    "Args:\n"
    "    ide_client_id: IDE client ID to send the response to\n"
    "    package_name: Name of the package to query\n"
    "    request_id: Request ID to echo for matching the response",
    versions_worker};

const orv::CoroutineDef extras_worker_def{
    {"handle_get_package_extras", {"ide_client_id", "package_name", "version", "request_id"}, 4},
    {orv::Accept::str, orv::Accept::str, orv::Accept::str_or_none, orv::Accept::str},
    "handle_get_package_extras(ide_client_id: str, package_name: str, version: Optional[str], request_id: str) "
    "-> None\n\n"
    "Handle package extras query and send response to IDE.\n\n"
    "Args:\n"
    "    ide_client_id: IDE client ID to send the response to\n"
    "    package_name: Name of the package to query\n"
    "    version: Version whose extras are wanted (None or empty for the latest)\n"
    "    request_id: Request ID to echo for matching the response",
    extras_worker};

const orv::CoroutineDef info_worker_def{
    {"handle_get_package_info", {"ide_client_id", "package_name", "request_id"}, 3},
    {orv::Accept::str, orv::Accept::str, orv::Accept::str},
    "handle_get_package_info(ide_client_id: str, package_name: str, request_id: str) -> None\n\n"
    "Handle package info query and send response to IDE.\n\n"
    "Args:\n"
    "    ide_client_id: IDE client ID to send the response to\n"
    "    package_name: Name of the package to query\n"
    "    request_id: Request ID to echo for matching the response",
    info_worker};
}  // namespace

void add_package_queries(PyObject* module) {
  intern_query_names();
  add_function(module, versions_request_def);
  add_function(module, extras_request_def);
  add_function(module, info_request_def);
  add_function(module, versions_worker_def);
  add_function(module, extras_worker_def);
  add_function(module, info_worker_def);
}

}  // namespace handlers
