// The workbook package list handlers: add, remove, update, reorder, set a
// status, restore the installed list, and read the list.
//
// Each edit of a workbook's list is made with no await inside it, so the event
// loop never shows another handler a half-made list. The updates sent to the
// IDE carry the live list objects of the connection manager.
#include "handlers/messages.hpp"

namespace handlers {
namespace {

using orv::check;
using orv::Local;
using orv::own;

Ref workbook_packages() { return manager_dict(names.workbook_packages); }

Ref list_of(PyObject* target_workbook) {
  return own(PyObject_GetItem(workbook_packages().get(), target_workbook));
}

bool name_equals(PyObject* entry, PyObject* package_name) {
  Ref name = own(PyObject_GetItem(entry, names.name));
  return orv::equals(name.get(), package_name);
}

// The first entry of the workbook's list whose name is `package_name`, or none.
Ref first_named(PyObject* target_workbook, PyObject* package_name) {
  Ref found;
  orv::for_each(list_of(target_workbook).get(), [&](PyObject* entry) {
    if (name_equals(entry, package_name)) found = Ref::borrow(entry);
    return !found;
  });
  return found;
}

// list.append(item) on whatever list object the manager holds.
void append(PyObject* list, PyObject* item) {
  if (PyList_CheckExact(list)) check(PyList_Append(list, item));
  else call_method(list, names.append, item);
}

bool has_list(PyObject* target_workbook) { return dict_contains(workbook_packages().get(), target_workbook); }

// ------------------------------------------------ the edits, each without an await

void add_entry(PyObject* target_workbook, PyObject* package_name, PyObject* version, PyObject* extras) {
  Ref lists = workbook_packages();
  if (!dict_contains(lists.get(), target_workbook)) dict_set(lists.get(), target_workbook, new_list().get());
  Ref entry = package_entry(package_name, version, extras, names.pending);
  append(list_of(target_workbook).get(), entry.get());
}

void remove_named(PyObject* target_workbook, PyObject* package_name) {
  Ref kept = new_list();
  orv::for_each(list_of(target_workbook).get(), [&](PyObject* entry) {
    Ref name = own(PyObject_GetItem(entry, names.name));
    if (check(PyObject_RichCompareBool(name.get(), package_name, Py_NE))) check(PyList_Append(kept.get(), entry));
    return true;
  });
  dict_set(workbook_packages().get(), target_workbook, kept.get());
}

void update_first(PyObject* target_workbook, PyObject* package_name, PyObject* version, PyObject* extras) {
  if (Ref entry = first_named(target_workbook, package_name)) {
    check(PyObject_SetItem(entry.get(), names.version, version));
    check(PyObject_SetItem(entry.get(), names.extras, extras));
    check(PyObject_SetItem(entry.get(), names.status, names.pending_update));
  }
}

void reorder(PyObject* target_workbook, PyObject* package_names) {
  Ref current_packages = new_dict();  // the later of two entries with the same name wins
  orv::for_each(list_of(target_workbook).get(), [&](PyObject* entry) {
    Ref name = own(PyObject_GetItem(entry, names.name));
    check(PyDict_SetItem(current_packages.get(), name.get(), entry));
    return true;
  });
  Ref new_order = new_list();
  orv::for_each(package_names, [&](PyObject* name) {
    if (Ref entry = orv::dict_get(current_packages.get(), name)) {
      check(PyList_Append(new_order.get(), entry.get()));
    }
    return true;
  });
  dict_set(workbook_packages().get(), target_workbook, new_order.get());
}

void set_status(PyObject* target_workbook, PyObject* package_name, PyObject* status) {
  if (Ref entry = first_named(target_workbook, package_name)) check(PyObject_SetItem(entry.get(), names.status, status));
}

// The stored list is made of copies of the installed entries, so that later
// edits of the workbook's list leave the record of what was installed alone.
void restore(PyObject* target_workbook) {
  Ref installed = workbook_value(names.workbook_installed_packages, target_workbook, new_list);
  Ref copies = new_list();
  orv::for_each(installed.get(), [&](PyObject* entry) {
    Ref copy = orv::call(reinterpret_cast<PyObject*>(&PyDict_Type), entry);
    check(PyList_Append(copies.get(), copy.get()));
    return true;
  });
  dict_set(workbook_packages().get(), target_workbook, copies.get());
}

// ------------------------------------------ the updates: the awaitables of sends

// After an edit of the list.
Ref send_update(PyObject* target_workbook) {
  Ref packages = list_of(target_workbook);
  return send_to_ide(workbook_packages_update(target_workbook, packages.get()));
}

// After a change of status.
Ref send_status_update(PyObject* target_workbook) {
  Ref packages = list_of(target_workbook);
  Ref python_paths = workbook_value(names.workbook_python_paths, target_workbook, new_list);
  Ref package_errors = workbook_value(names.package_errors, target_workbook, new_dict);
  return send_to_ide(workbook_packages_update(target_workbook, packages.get(), python_paths.get(),
                                              package_errors.get(), UpdateOrder::paths_first));
}

// The whole state of a workbook, empty where it has none.
Ref send_workbook_state(PyObject* target_workbook) {
  Ref packages = workbook_value(names.workbook_packages, target_workbook, new_list);
  Ref python_paths = workbook_value(names.workbook_python_paths, target_workbook, new_list);
  Ref package_errors = workbook_value(names.package_errors, target_workbook, new_dict);
  return send_to_ide(workbook_packages_update(target_workbook, packages.get(), python_paths.get(),
                                              package_errors.get(), UpdateOrder::errors_first));
}

// ------------------------------------------------------------- the handlers

// What add and update read: workbook_id, package_name, version, extras (a new
// empty list when missing), of which the first three are required.
struct PackageRequest {
  PackageRequest(orv::Frame& f, PyObject* message, const char* warning)
      : target_workbook(f, message_get(message, names.workbook_id)),
        package_name(f, message_get(message, names.package_name)),
        version(f, message_get(message, names.version)),
        extras(f, message_get(message, names.extras, new_list().get())),
        given(all_given({&target_workbook, &package_name, &version}, warning)) {}
  Local target_workbook, package_name, version, extras;
  bool given;
};

orv::Task add_package(orv::Frame& f) {
  PackageRequest r(f, f.arg(1), "Received add_workbook_package without required parameters");
  if (!r.given) co_return orv::none();
  add_entry(r.target_workbook.get(), r.package_name.get(), r.version.get(), r.extras.get());
  co_await orv::awaitable(send_update(r.target_workbook.get()));
  info("Added package %S==%S to workbook %S", r.package_name.get(), r.version.get(), r.target_workbook.get());
  co_return orv::none();
}

orv::Task remove_package(orv::Frame& f) {
  PyObject* message = f.arg(1);
  Local target_workbook(f, message_get(message, names.workbook_id));
  Local package_name(f, message_get(message, names.package_name));
  if (!all_given({&target_workbook, &package_name}, "Received remove_workbook_package without required parameters") ||
      !has_list(target_workbook.get())) {
    co_return orv::none();
  }
  remove_named(target_workbook.get(), package_name.get());
  co_await orv::awaitable(send_update(target_workbook.get()));
  info("Removed package %S from workbook %S", package_name.get(), target_workbook.get());
  co_return orv::none();
}

orv::Task update_package(orv::Frame& f) {
  PackageRequest r(f, f.arg(1), "Received update_workbook_package without required parameters");
  if (!r.given || !has_list(r.target_workbook.get())) co_return orv::none();
  update_first(r.target_workbook.get(), r.package_name.get(), r.version.get(), r.extras.get());
  co_await orv::awaitable(send_update(r.target_workbook.get()));
  info("Updated package %S==%S in workbook %S", r.package_name.get(), r.version.get(), r.target_workbook.get());
  co_return orv::none();
}

// `package_names` must be a list or a tuple: any other iterable (a str read
// character by character, a dict's keys) would name none of the entries and
// empty the list, so it is refused like a missing one.
orv::Task reorder_packages(orv::Frame& f) {
  const char* const warning = "Received reorder_workbook_packages without required parameters";
  PyObject* message = f.arg(1);
  Local target_workbook(f, message_get(message, names.workbook_id));
  Local package_names(f, message_get(message, names.package_names, new_list().get()));
  if (!all_given({&target_workbook, &package_names}, warning)) co_return orv::none();
  if (!PyList_Check(package_names.get()) && !PyTuple_Check(package_names.get())) {
    log(names.warning, warning);
    co_return orv::none();
  }
  if (!has_list(target_workbook.get())) co_return orv::none();
  reorder(target_workbook.get(), package_names.get());
  co_await orv::awaitable(send_update(target_workbook.get()));
  info("Reordered packages for workbook %S", target_workbook.get());
  co_return orv::none();
}

orv::Task update_status(orv::Frame& f) {
  PyObject* message = f.arg(1);
  Local target_workbook(f, message_get(message, names.workbook_id));
  Local package_name(f, message_get(message, names.package_name));
  Local status(f, message_get(message, names.status));
  if (!all_given({&target_workbook, &package_name, &status},
                 "Received update_package_status without required parameters") ||
      !has_list(target_workbook.get())) {
    co_return orv::none();
  }
  set_status(target_workbook.get(), package_name.get(), status.get());
  co_await orv::awaitable(send_status_update(target_workbook.get()));
  info("Updated status for package %S to %S in workbook %S", package_name.get(), status.get(),
       target_workbook.get());
  co_return orv::none();
}

orv::Task restore_packages(orv::Frame& f) {
  Ref target_workbook = message_get(f.arg(1), names.workbook_id);
  if (!orv::truth(target_workbook.get())) co_return orv::none();
  restore(target_workbook.get());
  call_method(global(names._manager).get(), names._push_packages_and_python_paths, target_workbook.get());
  co_return orv::none();
}

orv::Task get_packages(orv::Frame& f) {
  Local target_workbook(f, message_get(f.arg(1), names.workbook_id));
  if (!all_given({&target_workbook}, "Received get_workbook_packages without workbook_id")) co_return orv::none();
  co_await orv::awaitable(send_workbook_state(target_workbook.get()));
  co_return orv::none();
}

const orv::CoroutineDef defs[] = {
    HANDLERS_REQUEST("handle_add_workbook_package", "Handle add package to workbook request from IDE.", add_package),
    HANDLERS_REQUEST("handle_remove_workbook_package", "Handle remove package from workbook request from IDE.",
                    remove_package),
    HANDLERS_REQUEST("handle_update_workbook_package", "Handle update package in workbook request from IDE.",
                    update_package),
    HANDLERS_REQUEST("handle_restore_workbook_packages",
                    "Handle restore workbook packages to the installed list request from IDE.", restore_packages),
    HANDLERS_REQUEST("handle_update_package_status", "Handle update package status request from IDE.", update_status),
    HANDLERS_REQUEST("handle_reorder_workbook_packages", "Handle reorder workbook packages request from IDE.",
                    reorder_packages),
    HANDLERS_REQUEST("handle_get_workbook_packages", "Handle get workbook packages request from IDE.", get_packages),
};

}  // namespace

void add_workbook_packages(PyObject* module) {
  for (const orv::CoroutineDef& def : defs) add_function(module, def);
}

}  // namespace handlers
