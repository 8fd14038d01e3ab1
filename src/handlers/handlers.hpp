// Shared pieces of the handlers module: interned names, the module namespace,
// and the few operations every handler body is made of (reading a message,
// the connection manager's per-workbook dictionaries, sends, log lines).
//
// Module globals (_manager, _package_manager, logger, asyncio, the workers)
// are looked up by name at the moment of use, so replacing one in the module
// namespace takes effect at the next use.
#pragma once
#include "core/coroutine.hpp"
#include "core/globals.hpp"

namespace handlers {

using orv::Ref;

#define HANDLERS_NAMES(X)                                                                                \
  X(_manager) X(_package_manager) X(_handle_workbook_packages_install) X(logger) X(asyncio)              \
  X(create_task) X(info) X(warning) X(error) X(get) X(type) X(workbook_id) X(package_name) X(version)    \
  X(extras) X(status) X(name) X(package) X(request_id) X(package_names) X(python_paths) X(packages)      \
  X(package_errors) X(workbook_packages) X(workbook_installed_packages) X(workbook_python_paths)          \
  X(workbook_resolved_deps) X(send_to_ide) X(send_message) X(get_connection) X(send_json)                \
  X(_push_packages_and_python_paths) X(workbook_packages_update) X(pending) X(pending_update)            \
  X(old_paths) X(new_paths) X(set_python_paths) X(save_workbook_packages) X(resolved_deps_response)      \
  X(deps) X(ide) X(kernel) X(addin) X(append) X(handle_get_package_versions) X(handle_get_package_extras)     \
  X(handle_get_package_info) X(handle_package_install)

struct Names {
#define HANDLERS_DECLARE(n) PyObject* n = nullptr;
  HANDLERS_NAMES(HANDLERS_DECLARE)
#undef HANDLERS_DECLARE
};
extern Names names;

// The module's __dict__ (borrowed; the module lives as long as the process).
extern PyObject* module_globals;
// The module's name, the __module__ of its functions.
extern PyObject* module_name;

inline Ref global(PyObject* name) { return orv::lookup_global(module_globals, name); }

inline Ref getattr(PyObject* obj, PyObject* name) { return orv::own(PyObject_GetAttr(obj, name)); }

// obj.name(args...) (vectorcall; no bound method is made).
template <class... A>
Ref call_method(PyObject* obj, PyObject* name, A... args) {
  PyObject* argv[] = {obj, args...};
  return orv::own(PyObject_VectorcallMethod(name, argv, 1 + sizeof...(A), nullptr));
}

// for item in iterable: if not fn(item): break
template <class F>
void for_each(PyObject* iterable, F&& fn) {
  Ref iter = orv::own(PyObject_GetIter(iterable));
  while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
    if (!fn(item.get())) return;
  }
  if (PyErr_Occurred()) orv::throw_current();
}

// message.get(key[, default]) on an exact dict: a missing key reads as `fallback`.
Ref message_get(PyObject* message, PyObject* key, Ref fallback = orv::none());
bool truthy(PyObject* value);

// The connection manager's per-workbook dictionaries: `attr` is the name of
// the dictionary on _manager.
Ref manager_dict(PyObject* attr);
// d.get(key, fallback), with `fallback` made only when needed.
Ref dict_get(PyObject* d, PyObject* key, Ref (*fallback)());
bool dict_contains(PyObject* d, PyObject* key);
void dict_set(PyObject* d, PyObject* key, PyObject* value);

Ref new_list();
Ref new_dict();
// The same, as fallbacks for dict_get.
inline Ref empty_list() { return new_list(); }
inline Ref empty_dict() { return new_dict(); }

// A new dict with the given keys and values, in this order.
Ref message_of(std::initializer_list<std::pair<PyObject*, PyObject*>> items);

// The awaitable of _manager.send_to_ide(message).
Ref send_to_ide(PyObject* message);

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

// asyncio.create_task(coroutine); the task is neither kept nor awaited.
void start_task(Ref coroutine);

// Request handlers and workers are built from these.
void add_function(PyObject* module, const orv::CoroutineDef& def);

// Registration of each group of functions, called in this order by module set-up.
void add_package_queries(PyObject* module);
void add_package_install(PyObject* module);
void add_workbook_packages(PyObject* module);
void add_python_paths(PyObject* module);

}  // namespace handlers
