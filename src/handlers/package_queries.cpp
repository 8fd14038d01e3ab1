// Package queries: the workers handle_get_package_versions, ..._extras and
// ..._info, which ask the package manager and answer the IDE client.
#include "handlers/workers.hpp"

#include <utility>

namespace handlers {
namespace {

enum class Query { versions, extras, info };

// The start of a query worker's error line; str(e) follows.
Ref error_line(Query query, PyObject* package_name) {
  const char* what = query == Query::versions ? "versions" : query == Query::extras ? "extras" : "info";
  return orv::own(PyUnicode_FromFormat("Error querying package %s for %U: ", what, package_name));
}

// The awaitable of the package manager's answer.
Ref ask(Query query, PyObject* package_name, PyObject* version) {
  Ref package_manager = global(names._package_manager);
  switch (query) {
    case Query::versions: return call_method(package_manager.get(), names.get_available_versions, package_name);
    case Query::extras: return call_method(package_manager.get(), names.get_package_extras, package_name, version);
    case Query::info: break;
  }
  return call_method(package_manager.get(), names.get_package_info, package_name);
}

// The response to the IDE client: with the package manager's `answer`, or
// with the `error` text of a failed query and an empty answer.
Ref response(Query query, PyObject* package_name, PyObject* version, PyObject* answer, PyObject* error,
             PyObject* request_id) {
  switch (query) {
    case Query::versions: return versions_response(package_name, answer, error, request_id);
    case Query::extras: return extras_response(package_name, version, answer, error, request_id);
    case Query::info: break;
  }
  return info_response(package_name, error ? nullptr : answer, error, request_id);
}

// One worker for each query: handle_get_package_<query>(ide_client_id,
// package_name, [version,] request_id) asks the package manager and answers
// the client; an Exception on the way is logged and answered as the query's error.
template <Query query>
orv::Task query_worker(orv::Frame& f) {
  constexpr bool extras = query == Query::extras;
  PyObject* client = f.arg(0);
  PyObject* package_name = f.arg(1);
  PyObject* request_id = f.arg(extras ? 3 : 2);
  orv::Local version(f, extras ? Ref::borrow(f.arg(2)) : orv::none());
  orv::Local failure(f);
  try {
    // The extras are asked for with the version as received...
    orv::Local answer(f, co_await orv::awaitable(ask(query, package_name, version.get())));
    // ...and the version reported back is filled in from the latest one.
    if (extras && (version.get() == Py_None || PyUnicode_GET_LENGTH(version.get()) == 0)) {
      Ref info = co_await orv::awaitable(ask(Query::info, package_name, nullptr));
      Ref latest = orv::mapping_get(info.get(), names.latest_version, names.empty);
      if (latest.get() != Py_None && !PyUnicode_CheckExact(latest.get()))
        orv::raise_format(PyExc_TypeError, "Expected str, got %.200s", Py_TYPE(latest.get())->tp_name);
      version = std::move(latest);
    }
    Ref send = send_message(names.ide, client,
                            response(query, package_name, version.get(), answer.get(), nullptr, request_id));
    if (query == Query::info) answer = Ref();  // the package manager's dict goes before the send is awaited
    co_await orv::awaitable(std::move(send));
  } catch (orv::PythonError& e) {
    keep_exception(e, failure);
  }
  if (failure) {
    orv::Handling handling(f, failure);
    Ref send = report_failure(failure.get(), error_line(query, package_name), client, [&](PyObject* text) {
      PyObject* reported = orv::truth(version.get()) ? version.get() : names.empty;
      return response(query, package_name, reported, new_list().get(), text, request_id);
    });
    co_await orv::awaitable(std::move(send));
  }
  co_return orv::none();
}

// handle_get_package_versions and handle_get_package_info.
#define QUERY_WORKER(what, body)                                                                           \
  {{.function = "handle_get_package_" what,                                                                \
    .names = {"ide_client_id", "package_name", "request_id"},                                              \
    .required = 3},                                                                                        \
   {orv::Accept::str, orv::Accept::str, orv::Accept::str},                                                 \
   "handle_get_package_" what "(ide_client_id: str, package_name: str, request_id: str) -> None\n\n"       \
   "Handle package " what " query and send response to IDE.\n\n"                                           \
   "Args:\n"                                                                                               \
   "    ide_client_id: IDE client ID to send the response to\n"                                            \
   "    package_name: Name of the package to query\n"                                                      \
   "    request_id: Request ID to echo for matching the response",                                         \
   body}

const orv::CoroutineDef workers[] = {
    QUERY_WORKER("versions", query_worker<Query::versions>),
    {{.function = "handle_get_package_extras",
      .names = {"ide_client_id", "package_name", "version", "request_id"},
      .required = 4},
     {orv::Accept::str, orv::Accept::str, orv::Accept::str_or_none, orv::Accept::str},
     "handle_get_package_extras(ide_client_id: str, package_name: str, version: Optional[str], request_id: str) "
     "-> None\n\n"
     "Handle package extras query and send response to IDE.\n\n"
     "Args:\n"
     "    ide_client_id: IDE client ID to send the response to\n"
     "    package_name: Name of the package to query\n"
     "    version: Version whose extras are wanted (None or empty for the latest)\n"
     "    request_id: Request ID to echo for matching the response",
     query_worker<Query::extras>},
    QUERY_WORKER("info", query_worker<Query::info>),
};

}  // namespace

void add_package_queries(PyObject* module) {
  for (const orv::CoroutineDef& def : workers) add_function(module, def);
}

}  // namespace handlers
