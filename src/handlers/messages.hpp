// Every message the handlers send, and the package entry, is built here: one
// builder a kind.
//
// The order of the keys is part of each message. A message is a dict, and a
// peer receives it serialised in insertion order: the IDE, the kernel and the
// add-in read the text that order makes, so the builders insert the keys in
// the order those peers have always received. The orders are each kind's own
// rather than one rule: "type" always comes first, but the whole state of a
// workbook (the answer to get_workbook_packages) carries package_errors before
// python_paths where the updates after a status or paths change carry
// python_paths first, and the info response has request_id right after
// package_name where the other query responses end with it.
#pragma once
#include "handlers/handlers.hpp"

#include <utility>

namespace handlers {

// A new dict with the given keys and values, in this order.
Ref message_of(std::initializer_list<std::pair<PyObject*, PyObject*>> items);

// A package entry: name, version, extras, status.
Ref package_entry(PyObject* name, PyObject* version, PyObject* extras, PyObject* status);

// "workbook_packages_update" to the IDE: type, workbook_id, packages (the live
// list), after an edit of the list...
Ref workbook_packages_update(PyObject* workbook_id, PyObject* packages);
// ...and then python_paths and package_errors in one of two orders.
enum class UpdateOrder {
  paths_first,   // after a status or python paths change
  errors_first,  // the whole state, answering get_workbook_packages
};
Ref workbook_packages_update(PyObject* workbook_id, PyObject* packages, PyObject* python_paths,
                             PyObject* package_errors, UpdateOrder order);

// "set_python_paths" to the kernel: type, old_paths, new_paths.
Ref set_python_paths(PyObject* old_paths, PyObject* new_paths);
// "save_workbook_packages" to the add-in: type, packages, python_paths.
Ref save_workbook_packages(PyObject* packages, PyObject* python_paths);
// "resolved_deps_response" to the IDE: type, workbook_id, deps.
Ref resolved_deps_response(PyObject* workbook_id, PyObject* deps);

// "pip_output" to the IDE client: type, workbook_id, output_type, content.
Ref pip_output(PyObject* workbook_id, PyObject* output_type, PyObject* content);
// "add_path" to the kernel: type, path.
Ref add_path(PyObject* path);

// The query responses to the IDE client; `error` (when not null) is the text
// of a failed query.
// type, package_name, versions, [error], request_id
Ref versions_response(PyObject* package_name, PyObject* versions, PyObject* error, PyObject* request_id);
// type, package_name, version, extras, [error], request_id
Ref extras_response(PyObject* package_name, PyObject* version, PyObject* extras, PyObject* error,
                    PyObject* request_id);
// Answered: type, package_name, request_id, then from the package manager's
// `info` either its error or name (default package_name), latest_version and
// summary (default ""). Failed (`info` null): type, package_name, error, request_id.
Ref info_response(PyObject* package_name, PyObject* info, PyObject* error, PyObject* request_id);

}  // namespace handlers
