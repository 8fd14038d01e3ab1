// The request handlers that start a worker as a task: the package queries and
// the install of one package. One table says, for each, which worker it starts
// and which values of the message it hands on.
#include "handlers/handlers.hpp"

#include <iterator>

namespace handlers {
namespace {

struct MessageKey {
  orv::Immortal Names::*name;
  bool required;  // a false value ignores the request
};

// One request handler: it reads `keys` from the message in this order (a
// missing key reads as None); when every required one is true, it calls the
// worker, looked up by name in the module namespace at that moment, with the
// client id and the values read, and hands the coroutine to
// asyncio.create_task, naming the task "handlers:" + the worker's name + ":" +
// the first value read (the workbook id of an install, the package name of a
// query) + ":" + the client id. The handler neither keeps nor awaits the task.
struct WorkerRequest {
  orv::CoroutineDef def;  // its body is start_worker<the worker's name>
  std::initializer_list<MessageKey> keys;
  const char* warning;  // logged when a required value is false; null: ignored silently
};

template <orv::Immortal Names::*worker>
orv::Task start_worker(orv::Frame& f);

constexpr bool required = true;

const WorkerRequest worker_requests[] = {
    {HANDLERS_REQUEST("handle_package_install_request", "Handle package install request from IDE.\n\n"
                      "Starts handle_package_install as the task\n"
                      "\"handlers:handle_package_install:<workbook_id>:<client_id>\".",
                      start_worker<&Names::handle_package_install>),
     {{&Names::workbook_id, required}, {&Names::package, required}},
     nullptr},
    {HANDLERS_REQUEST("handle_get_package_versions_request", "Handle package versions query from IDE.\n\n"
                      "Starts handle_get_package_versions as the task\n"
                      "\"handlers:handle_get_package_versions:<package_name>:<client_id>\".",
                      start_worker<&Names::handle_get_package_versions>),
     {{&Names::package_name, required}, {&Names::request_id, required}},
     "Received get_package_versions_request without package_name or request_id"},
    {HANDLERS_REQUEST("handle_get_package_extras_request", "Handle package extras query from IDE.\n\n"
                      "Starts handle_get_package_extras as the task\n"
                      "\"handlers:handle_get_package_extras:<package_name>:<client_id>\".",
                      start_worker<&Names::handle_get_package_extras>),
     {{&Names::package_name, required}, {&Names::version, !required}, {&Names::request_id, required}},
     "Received get_package_extras_request without package_name or request_id"},
    {HANDLERS_REQUEST("handle_get_package_info_request", "Handle package info query from IDE.\n\n"
                      "Starts handle_get_package_info as the task\n"
                      "\"handlers:handle_get_package_info:<package_name>:<client_id>\".",
                      start_worker<&Names::handle_get_package_info>),
     {{&Names::package_name, required}, {&Names::request_id, required}},
     "Received get_package_info_request without package_name or request_id"},
};

// The worker's arguments: the client id and at most this many message values.
constexpr size_t max_keys = 3;

void start(const WorkerRequest& request, PyObject* worker_name, PyObject* client, PyObject* message) {
  const size_t count = request.keys.size();
  const MessageKey* keys = request.keys.begin();
  Ref values[max_keys];
  for (size_t i = 0; i < count; ++i) values[i] = message_get(message, names.*keys[i].name);
  for (size_t i = 0; i < count; ++i) {
    if (keys[i].required && !orv::truth(values[i].get())) {
      if (request.warning) log(names.warning, request.warning);
      return;
    }
  }
  PyObject* args[1 + max_keys] = {client};
  for (size_t i = 0; i < count; ++i) args[1 + i] = values[i].get();
  Ref task_name = orv::own(PyUnicode_FromFormat("handlers:%U:%S:%U", worker_name, values[0].get(), client));
  Ref worker = global(worker_name);
  start_task(orv::own(PyObject_Vectorcall(worker.get(), args, 1 + count, nullptr)), task_name);
}

template <orv::Immortal Names::*worker>
orv::Task start_worker(orv::Frame& f) {
  for (const WorkerRequest& request : worker_requests) {
    if (request.def.body == &start_worker<worker>) start(request, names.*worker, f.arg(0), f.arg(1));
  }
  co_return orv::none();
}

}  // namespace

void add_worker_requests(PyObject* module) {
  for (const WorkerRequest& request : worker_requests) {
    if (request.keys.size() > max_keys) orv::raise(PyExc_SystemError, "a worker request reads too many keys");
    add_function(module, request.def);
  }
}

}  // namespace handlers
