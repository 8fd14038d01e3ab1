// Package queries: the workers handle_get_package_versions, ..._extras and
// ..._info, which ask the package manager and answer the IDE client.
#include "handlers/workers.hpp"

#include <utility>

namespace handlers {
namespace {

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
    Ref query = call_method(package_manager().get(), names.get_available_versions, package_name);
    orv::Local versions(f, co_await orv::awaitable(std::move(query)));
    Ref send = reply(client, versions_response(package_name, versions.get(), nullptr, request_id));
    co_await orv::awaitable(std::move(send));
  } catch (orv::PythonError& e) {
    keep_exception(e, failure);
  }
  if (failure) {
    orv::Handling handling(f, failure);
    Ref send = report_failure(failure.get(), query_error("versions", package_name), client, [&](PyObject* text) {
      return versions_response(package_name, new_list().get(), text, request_id);
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
    Ref query = call_method(package_manager().get(), names.get_package_extras, package_name, version.get());
    orv::Local extras(f, co_await orv::awaitable(std::move(query)));
    // ...and the version reported back is filled in from the latest one.
    if (version.get() == Py_None || PyUnicode_GET_LENGTH(version.get()) == 0) {
      Ref info_query = call_method(package_manager().get(), names.get_package_info, package_name);
      Ref info = co_await orv::awaitable(std::move(info_query));
      Ref latest = orv::mapping_get(info.get(), names.latest_version, names.empty);
      if (latest.get() != Py_None && !PyUnicode_CheckExact(latest.get()))
        orv::raise_format(PyExc_TypeError, "Expected str, got %.200s", Py_TYPE(latest.get())->tp_name);
      version = std::move(latest);
    }
    Ref send = reply(client, extras_response(package_name, version.get(), extras.get(), nullptr, request_id));
    co_await orv::awaitable(std::move(send));
  } catch (orv::PythonError& e) {
    keep_exception(e, failure);
  }
  if (failure) {
    orv::Handling handling(f, failure);
    Ref send = report_failure(failure.get(), query_error("extras", package_name), client, [&](PyObject* text) {
      PyObject* reported = orv::truth(version.get()) ? version.get() : names.empty;
      return extras_response(package_name, reported, new_list().get(), text, request_id);
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
    Ref query = call_method(package_manager().get(), names.get_package_info, package_name);
    Ref send;
    {
      Ref info = co_await orv::awaitable(std::move(query));
      send = reply(client, info_response(package_name, info.get(), nullptr, request_id));
    }
    co_await orv::awaitable(std::move(send));
  } catch (orv::PythonError& e) {
    keep_exception(e, failure);
  }
  if (failure) {
    orv::Handling handling(f, failure);
    Ref send = report_failure(failure.get(), query_error("info", package_name), client, [&](PyObject* text) {
      return info_response(package_name, nullptr, text, request_id);
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
  add_function(module, versions_worker_def);
  add_function(module, extras_worker_def);
  add_function(module, info_worker_def);
}

}  // namespace handlers
