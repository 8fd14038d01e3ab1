// The workbook's python paths (set by the IDE, passed on to the kernel, the
// add-in and the IDE) and the resolved dependencies the business layer keeps.
#include "handlers/handlers.hpp"

namespace handlers {
namespace {

using orv::Local;
using orv::own;

Ref empty_list() { return new_list(); }
Ref empty_dict() { return new_dict(); }

void info(const char* format, auto... values) { log(names.info, own(PyUnicode_FromFormat(format, values...)).get()); }

orv::Task update_python_paths(orv::Frame& f) {
  // from ..tessil import normalize_python_paths, on every run
  Ref normalize_python_paths = import_from("tessil", "normalize_python_paths", 2);
  PyObject* message = f.arg(1);
  Local target_workbook(f, message_get(message, names.workbook_id));
  Ref received = message_get(message, names.python_paths, new_list());
  if (!truthy(target_workbook.get())) {
    log(names.warning, "Received update_python_paths without workbook_id");
    co_return orv::none();
  }
  PyObject* target = target_workbook.get();
  Local python_paths(f, own(PyObject_CallOneArg(normalize_python_paths.get(), received.get())));
  Ref stored = manager_dict(names.workbook_python_paths);
  Ref old_python_paths = dict_get(stored.get(), target, empty_list);
  dict_set(stored.get(), target, python_paths.get());
  stored = Ref();
  auto count = [&] {
    Py_ssize_t n = PyObject_Length(python_paths.get());
    if (n < 0) orv::throw_current();
    return n;
  };

  if (truthy(python_paths.get()) || truthy(old_python_paths.get())) {
    Ref kernel_message = message_of({{names.type, names.set_python_paths},
                                     {names.old_paths, old_python_paths.get()},
                                     {names.new_paths, python_paths.get()}});
    old_python_paths = Ref();
    co_await orv::awaitable(call_method(global(names._manager).get(), names.send_message, names.kernel, target,
                                        kernel_message.get()));
    info("Sent %zd python paths to kernel for workbook %S", count(), target);
  }

  Ref addin_ws = call_method(global(names._manager).get(), names.get_connection, names.addin, target);
  if (truthy(addin_ws.get())) {
    Ref packages = dict_get(manager_dict(names.workbook_packages).get(), target, empty_list);
    Ref save = message_of({{names.type, names.save_workbook_packages},
                           {names.packages, packages.get()},
                           {names.python_paths, python_paths.get()}});
    Ref sending = call_method(addin_ws.get(), names.send_json, save.get());
    addin_ws = Ref();
    co_await orv::awaitable(std::move(sending));
    info("Sent python paths to addin for storage: %zd paths", count());
  } else {
    log(names.warning, own(PyUnicode_FromFormat("Cannot save python paths: addin not connected for %S", target)).get());
  }

  Ref packages = dict_get(manager_dict(names.workbook_packages).get(), target, empty_list);
  Ref package_errors = dict_get(manager_dict(names.package_errors).get(), target, empty_dict);
  Ref update = message_of({{names.type, names.workbook_packages_update},
                           {names.workbook_id, target},
                           {names.packages, packages.get()},
                           {names.python_paths, python_paths.get()},
                           {names.package_errors, package_errors.get()}});
  packages = Ref();
  package_errors = Ref();
  co_await orv::awaitable(send_to_ide(update.get()));
  info("Updated python paths for workbook %S: %zd paths", target, count());
  co_return orv::none();
}

orv::Task get_resolved_deps(orv::Frame& f) {
  Ref target_workbook = message_get(f.arg(1), names.workbook_id);
  if (!truthy(target_workbook.get())) {
    log(names.warning, "Received get_resolved_deps without workbook_id");
    co_return orv::none();
  }
  Ref deps = dict_get(manager_dict(names.workbook_resolved_deps).get(), target_workbook.get(), empty_list);
  Ref response = message_of({{names.type, names.resolved_deps_response},
                             {names.workbook_id, target_workbook.get()},
                             {names.deps, deps.get()}});
  co_await orv::awaitable(send_to_ide(response.get()));
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
