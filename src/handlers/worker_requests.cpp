// The request handlers that start a worker as a task: the package queries and
// the install of one package. Each body names its worker, the values of the
// message it hands on and the warning for a request that lacks one.
#include "handlers/handlers.hpp"

namespace handlers {
namespace {

struct MessageKey {
  PyObject* name;
  bool required;  // a false value ignores the request
};
constexpr bool required = true;

// Reads `keys` from the message in this order (a missing key reads as None);
// when every required one is true, calls the worker, looked up by name in the
// module namespace at that moment, with the client id and the values read,
// and hands the coroutine to asyncio.create_task, naming the task "handlers:" +
// the worker's name + ":" + the first value read (the workbook id of an
// install, the package name of a query) + ":" + the client id. The task is
// neither kept nor awaited. A request that lacks a required value logs
// `warning` (none: it is ignored silently).
template <size_t N>
void start(orv::Frame& f, PyObject* worker_name, const MessageKey (&keys)[N], const char* warning) {
  static_assert(N >= 1 && N <= 3, "a worker takes the client id and one to three message values");
  PyObject* client = f.arg(0);
  Ref values[N];
  for (size_t i = 0; i < N; ++i) values[i] = message_get(f.arg(1), keys[i].name);
  for (size_t i = 0; i < N; ++i) {
    if (keys[i].required && !orv::truth(values[i].get())) {
      if (warning) log(names.warning, warning);
      return;
    }
  }
  PyObject* args[1 + N] = {client};
  for (size_t i = 0; i < N; ++i) args[1 + i] = values[i].get();
  Ref task_name = orv::own(PyUnicode_FromFormat("handlers:%U:%S:%U", worker_name, values[0].get(), client));
  Ref worker = global(worker_name);
  start_task(orv::own(PyObject_Vectorcall(worker.get(), args, 1 + N, nullptr)), task_name);
}

orv::Task install_request(orv::Frame& f) {
  start(f, names.handle_package_install, {{names.workbook_id, required}, {names.package, required}}, nullptr);
  co_return orv::none();
}

orv::Task versions_request(orv::Frame& f) {
  start(f, names.handle_get_package_versions, {{names.package_name, required}, {names.request_id, required}},
        "Received get_package_versions_request without package_name or request_id");
  co_return orv::none();
}

orv::Task extras_request(orv::Frame& f) {
  start(f, names.handle_get_package_extras,
        {{names.package_name, required}, {names.version, !required}, {names.request_id, required}},
        "Received get_package_extras_request without package_name or request_id");
  co_return orv::none();
}

orv::Task info_request(orv::Frame& f) {
  start(f, names.handle_get_package_info, {{names.package_name, required}, {names.request_id, required}},
        "Received get_package_info_request without package_name or request_id");
  co_return orv::none();
}

const orv::CoroutineDef worker_requests[] = {
    HANDLERS_REQUEST("handle_package_install_request", "Handle package install request from IDE.\n\n"
                     "Starts handle_package_install as the task\n"
                     "\"handlers:handle_package_install:<workbook_id>:<client_id>\".",
                     install_request),
    HANDLERS_REQUEST("handle_get_package_versions_request", "Handle package versions query from IDE.\n\n"
                     "Starts handle_get_package_versions as the task\n"
                     "\"handlers:handle_get_package_versions:<package_name>:<client_id>\".",
                     versions_request),
    HANDLERS_REQUEST("handle_get_package_extras_request", "Handle package extras query from IDE.\n\n"
                     "Starts handle_get_package_extras as the task\n"
                     "\"handlers:handle_get_package_extras:<package_name>:<client_id>\".",
                     extras_request),
    HANDLERS_REQUEST("handle_get_package_info_request", "Handle package info query from IDE.\n\n"
                     "Starts handle_get_package_info as the task\n"
                     "\"handlers:handle_get_package_info:<package_name>:<client_id>\".",
                     info_request),
};

}  // namespace

void add_worker_requests(PyObject* module) {
  for (const orv::CoroutineDef& def : worker_requests) add_function(module, def);
}

}  // namespace handlers
