// Shared pieces of the handlers module: its state (interned names, the module
// namespace) and the few operations every handler body is made of (reading a
// message, the connection manager's per-workbook dictionaries, sends, log lines).
//
// Module globals (_manager, _package_manager, logger, asyncio, the workers)
// are looked up by name at the moment of use, so replacing one in the module
// namespace takes effect at the next use.
#pragma once
#include "core/coroutine.hpp"
#include "core/names.hpp"
#include "core/objects.hpp"

namespace handlers {

using orv::call_method;
using orv::getattr;
using orv::Ref;

// The module's short name and the dotted name it is imported under.
inline constexpr const char* module_short_name = "handlers";
inline constexpr const char* module_full_name = "orvane_master.business_layer.packages.handlers";

// Every name the module uses, interned once at set-up (the shape of core/names.hpp).
#define HANDLERS_NAMES(X, T)                                                                                      \
  X(_manager) X(_package_manager) X(_handle_workbook_packages_install) X(logger) X(asyncio) X(create_task)        \
  X(info) X(warning) X(error) X(type) X(workbook_id) X(package_name) X(version) X(extras) X(status) X(name)        \
  X(package) X(request_id) X(package_names) X(python_paths) X(packages) X(package_errors) X(workbook_packages)    \
  X(workbook_installed_packages) X(workbook_python_paths) X(workbook_resolved_deps) X(send_to_ide)                \
  X(send_message) X(get_connection) X(send_json) X(_push_packages_and_python_paths) X(workbook_packages_update)  \
  X(pending) X(pending_update) X(old_paths) X(new_paths) X(set_python_paths) X(save_workbook_packages)           \
  X(resolved_deps_response) X(deps) X(ide) X(kernel) X(addin) X(append)                                          \
  /* the workers, looked up by name */                                                                            \
  X(handle_get_package_versions) X(handle_get_package_extras) X(handle_get_package_info) X(handle_package_install) \
  /* the package queries */                                                                                       \
  X(versions) X(summary) X(latest_version) X(get_available_versions) X(get_package_extras) X(get_package_info)    \
  T(versions_response, "get_package_versions_response") T(extras_response, "get_package_extras_response")         \
  T(info_response, "get_package_info_response") T(empty, "")                                                     \
  /* the installer's output */                                                                                    \
  X(install_package) X(pip_output) X(add_path) X(output_type) X(content) X(path) X(success)                       \
  T(stdout_, "stdout") T(stderr_, "stderr")

ORV_NAMES(Names, HANDLERS_NAMES);
// Made at module set-up; the module lives as long as the process.
extern Names names;

// The module's __dict__ (borrowed; the module lives as long as the process).
extern PyObject* module_globals;
// The module's name, the __module__ of its functions.
extern PyObject* module_name;

inline Ref global(PyObject* name) { return orv::lookup_global(module_globals, name); }

// message.get(key[, default]): a missing key reads as `fallback`.
inline Ref message_get(PyObject* message, PyObject* key, PyObject* fallback = Py_None) {
  return orv::mapping_get(message, key, fallback);
}

// The connection manager's per-workbook dictionaries: `attr` is the name of
// the dictionary on _manager.
Ref manager_dict(PyObject* attr);
bool dict_contains(PyObject* d, PyObject* key);
void dict_set(PyObject* d, PyObject* key, PyObject* value);

Ref new_list();
Ref new_dict();

// manager_dict(attr).get(workbook, fallback), with a new fallback (new_list,
// new_dict) for a workbook that has no value.
Ref workbook_value(PyObject* attr, PyObject* target_workbook, Ref (*make_fallback)());

// The awaitable of _manager.send_to_ide(message).
Ref send_to_ide(const Ref& message);
// The awaitable of _manager.send_message(kind, target, message).
Ref send_message(PyObject* kind, PyObject* target, const Ref& message);

// logger.info / logger.warning / logger.error with one text.
void log(PyObject* level, PyObject* text);
void log(PyObject* level, const char* text);
// logger.info with a text made by PyUnicode_FromFormat (%S inserts str() of a value).
template <class... V>
void info(const char* format, V... values) {
  log(names.info, orv::own(PyUnicode_FromFormat(format, values...)).get());
}

// Tests the required values of a request for truth, in order; at the first
// that fails, logs `warning` and returns false.
bool all_given(std::initializer_list<const orv::Local*> values, const char* warning);

// `from <module> import <name>` relative to this module's package (`level` dots).
Ref import_from(const char* module, const char* name, int level);

// asyncio.create_task(coroutine, name=name); the task is neither kept nor
// awaited. Every task the handlers start is named "handlers:" + the handler
// that serves it + ":" + its workbook id (a query: its package name) + ":" +
// the client id where a client is answered, so a host can tell them from its own.
void start_task(Ref coroutine, const Ref& name);

// Request handlers and workers are built from these.
void add_function(PyObject* module, const orv::CoroutineDef& def);

// The definition of a request handler: every one is called with the sender's
// client id and the message, both of exactly these types.
// HANDLERS_REQUEST initialises an orv::CoroutineDef (a braced list, so that
// the lists inside it live as long as the definition does).
#define HANDLERS_REQUEST(name, summary, body)                                             \
  {{.function = name, .names = {"client_id", "message"}, .required = 2},                  \
   {orv::Accept::str, orv::Accept::dict},                                                 \
   name "(client_id: str, message: dict) -> None\n\n" summary,                           \
   body}

// Registration of each group of functions, called in this order by module set-up.
void add_package_queries(PyObject* module);
void add_package_install(PyObject* module);
void add_worker_requests(PyObject* module);
void add_workbook_packages(PyObject* module);
void add_python_paths(PyObject* module);

}  // namespace handlers
