// The workbook's python paths (set by the IDE, passed on to the kernel, the
// add-in and the IDE) and the resolved dependencies the business layer keeps.
#include "handlers/messages.hpp"

namespace handlers {
namespace {

using orv::Local;
using orv::own;

// Stores the new paths and returns the old ones (a new empty list when none).
Ref store_python_paths(PyObject* target_workbook, PyObject* python_paths) {
  Ref stored = manager_dict(names.workbook_python_paths);
  Ref fallback = new_list();
  Ref old_python_paths = orv::mapping_get(stored.get(), target_workbook, fallback.get());
  dict_set(stored.get(), target_workbook, python_paths);
  return old_python_paths;
}

Ref send_to_kernel(PyObject* target_workbook, PyObject* old_python_paths, PyObject* python_paths) {
  return send_message(names.kernel, target_workbook, set_python_paths(old_python_paths, python_paths));
}

Ref send_to_addin(PyObject* addin_ws, PyObject* target_workbook, PyObject* python_paths) {
  Ref packages = workbook_value(names.workbook_packages, target_workbook, new_list);
  return call_method(addin_ws, names.send_json, save_workbook_packages(packages.get(), python_paths).get());
}

Ref send_paths_update(PyObject* target_workbook, PyObject* python_paths) {
  Ref packages = workbook_value(names.workbook_packages, target_workbook, new_list);
  Ref package_errors = workbook_value(names.package_errors, target_workbook, new_dict);
  return send_to_ide(workbook_packages_update(target_workbook, packages.get(), python_paths, package_errors.get(),
                                              UpdateOrder::paths_first));
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
  Local python_paths(f, message_get(message, names.python_paths, new_list().get()));
  if (!all_given({&target_workbook}, "Received update_python_paths without workbook_id")) co_return orv::none();
  PyObject* target = target_workbook.get();
  python_paths = own(PyObject_CallOneArg(normalize_python_paths.get(), python_paths.get()));
  Local old_python_paths(f, store_python_paths(target, python_paths.get()));

  if (orv::truth(python_paths.get()) || orv::truth(old_python_paths.get())) {
    co_await orv::awaitable(send_to_kernel(target, old_python_paths.get(), python_paths.get()));
    info("Sent %zd python paths to kernel for workbook %S", length(python_paths.get()), target);
  }

  Local addin_ws(f, call_method(global(names._manager).get(), names.get_connection, names.addin, target));
  if (orv::truth(addin_ws.get())) {
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
  Ref deps = workbook_value(names.workbook_resolved_deps, target_workbook, new_list);
  return send_to_ide(resolved_deps_response(target_workbook, deps.get()));
}

orv::Task get_resolved_deps(orv::Frame& f) {
  Local target_workbook(f, message_get(f.arg(1), names.workbook_id));
  if (!all_given({&target_workbook}, "Received get_resolved_deps without workbook_id")) co_return orv::none();
  co_await orv::awaitable(send_resolved_deps(target_workbook.get()));
  co_return orv::none();
}

const orv::CoroutineDef defs[] = {
    HANDLERS_REQUEST("handle_update_python_paths", "Handle update python paths request from IDE.",
                     update_python_paths),
    HANDLERS_REQUEST("handle_get_resolved_deps", "Handle get resolved dependencies request from IDE.",
                     get_resolved_deps),
};

}  // namespace

void add_python_paths(PyObject* module) {
  for (const orv::CoroutineDef& def : defs) add_function(module, def);
}

}  // namespace handlers
