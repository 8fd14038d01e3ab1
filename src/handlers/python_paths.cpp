// The workbook's python paths (set by the IDE, passed on to the kernel, the
// add-in and the IDE) and the resolved dependencies the business layer keeps.
#include "handlers/handlers.hpp"

namespace handlers {
namespace {

using orv::Local;
using orv::own;

// Stores the new paths and returns the old ones (a new empty list when none).
Ref store_python_paths(PyObject* target_workbook, PyObject* python_paths) {
  Ref stored = manager_dict(names.workbook_python_paths);
  Ref old_python_paths = dict_get(stored.get(), target_workbook, empty_list);
  dict_set(stored.get(), target_workbook, python_paths);
  return old_python_paths;
}

Ref send_to_kernel(PyObject* target_workbook, PyObject* old_python_paths, PyObject* python_paths) {
  Ref message = message_of(
      {{names.type, names.set_python_paths}, {names.old_paths, old_python_paths}, {names.new_paths, python_paths}});
  return call_method(global(names._manager).get(), names.send_message, names.kernel, target_workbook, message.get());
}

Ref send_to_addin(PyObject* addin_ws, PyObject* target_workbook, PyObject* python_paths) {
  Ref packages = dict_get(manager_dict(names.workbook_packages).get(), target_workbook, empty_list);
  Ref message = message_of({{names.type, names.save_workbook_packages},
                            {names.packages, packages.get()},
                            {names.python_paths, python_paths}});
  return call_method(addin_ws, names.send_json, message.get());
}

Ref send_paths_update(PyObject* target_workbook, PyObject* python_paths) {
  Ref packages = dict_get(manager_dict(names.workbook_packages).get(), target_workbook, empty_list);
  Ref package_errors = dict_get(manager_dict(names.package_errors).get(), target_workbook, empty_dict);
  Ref update = message_of({{names.type, names.workbook_packages_update},
                           {names.workbook_id, target_workbook},
                           {names.packages, packages.get()},
                           {names.python_paths, python_paths},
                           {names.package_errors, package_errors.get()}});
  return send_to_ide(update.get());
}

Py_ssize_t length(PyObject* o) {
  Py_ssize_t n = PyObject_Length(o);
  if (n < 0) orv::throw_current();
  return n;
}

orv::Task update_python_paths(orv::Frame& f) {
  // from ..tessil import normalize_python_paths, on every run
  Local normalize_python_paths(f, import_from("tessil", "normalize_python_paths", 2));
  PyObject* message = f.arg(1);
  Local target_workbook(f, message_get(message, names.workbook_id));
  Local python_paths(f, message_get(message, names.python_paths, new_list()));
  if (!all_given({&target_workbook}, "Received update_python_paths without workbook_id")) co_return orv::none();
  PyObject* target = target_workbook.get();
  python_paths = own(PyObject_CallOneArg(normalize_python_paths.get(), python_paths.get()));
  Local old_python_paths(f, store_python_paths(target, python_paths.get()));

  if (truthy(python_paths.get()) || truthy(old_python_paths.get())) {
    co_await orv::awaitable(send_to_kernel(target, old_python_paths.get(), python_paths.get()));
    info("Sent %zd python paths to kernel for workbook %S", length(python_paths.get()), target);
  }

  Local addin_ws(f, call_method(global(names._manager).get(), names.get_connection, names.addin, target));
  if (truthy(addin_ws.get())) {
    co_await orv::awaitable(send_to_addin(addin_ws.get(), target, python_paths.get()));
    info("Sent python paths to addin for storage: %zd paths", length(python_paths.get()));
  } else {
    log(names.warning, own(PyUnicode_FromFormat("Cannot save python paths: addin not connected for %S", target)).get());
  }

  co_await orv::awaitable(send_paths_update(target, python_paths.get()));
  info("Updated python paths for workbook %S: %zd paths", target, length(python_paths.get()));
  co_return orv::none();
}

Ref send_resolved_deps(PyObject* target_workbook) {
  Ref deps = dict_get(manager_dict(names.workbook_resolved_deps).get(), target_workbook, empty_list);
  Ref response = message_of(
      {{names.type, names.resolved_deps_response}, {names.workbook_id, target_workbook}, {names.deps, deps.get()}});
  return send_to_ide(response.get());
}

orv::Task get_resolved_deps(orv::Frame& f) {
  Local target_workbook(f, message_get(f.arg(1), names.workbook_id));
  if (!all_given({&target_workbook}, "Received get_resolved_deps without workbook_id")) co_return orv::none();
  co_await orv::awaitable(send_resolved_deps(target_workbook.get()));
  co_return orv::none();
}

const orv::CoroutineDef defs[] = {
    {{"handle_update_python_paths", {"client_id", "message"}, 2},
     {orv::Accept::str, orv::Accept::dict},
     "handle_update_python_paths(client_id: str, message: dict) -> None\n\n"
     "Handle update python paths request from IDE.",
     update_python_paths},
    {{"handle_get_resolved_deps", {"client_id", "message"}, 2},
     {orv::Accept::str, orv::Accept::dict},
     "handle_get_resolved_deps(client_id: str, message: dict) -> None\n\n"
     "Handle get resolved dependencies request from IDE.",
     get_resolved_deps},
};

}  // namespace

void add_python_paths(PyObject* module) {
  for (const orv::CoroutineDef& def : defs) add_function(module, def);
}

}  // namespace handlers
