// The builders of the messages the handlers send (see messages.hpp for why
// each keeps its key order).
#include "handlers/messages.hpp"

namespace handlers {

Ref message_of(std::initializer_list<std::pair<PyObject*, PyObject*>> items) {
  Ref message = new_dict();
  for (const auto& [key, value] : items) orv::check(PyDict_SetItem(message.get(), key, value));
  return message;
}

Ref package_entry(PyObject* name, PyObject* version, PyObject* extras, PyObject* status) {
  return message_of({{names.name, name}, {names.version, version}, {names.extras, extras}, {names.status, status}});
}

Ref workbook_packages_update(PyObject* workbook_id, PyObject* packages) {
  return message_of(
      {{names.type, names.workbook_packages_update}, {names.workbook_id, workbook_id}, {names.packages, packages}});
}

Ref workbook_packages_update(PyObject* workbook_id, PyObject* packages, PyObject* python_paths,
                             PyObject* package_errors, UpdateOrder order) {
  Ref update = workbook_packages_update(workbook_id, packages);
  std::pair<PyObject*, PyObject*> rest[] = {{names.python_paths, python_paths},
                                            {names.package_errors, package_errors}};
  if (order == UpdateOrder::errors_first) std::swap(rest[0], rest[1]);
  for (const auto& [key, value] : rest) dict_set(update.get(), key, value);
  return update;
}

Ref set_python_paths(PyObject* old_paths, PyObject* new_paths) {
  return message_of(
      {{names.type, names.set_python_paths}, {names.old_paths, old_paths}, {names.new_paths, new_paths}});
}

Ref save_workbook_packages(PyObject* packages, PyObject* python_paths) {
  return message_of(
      {{names.type, names.save_workbook_packages}, {names.packages, packages}, {names.python_paths, python_paths}});
}

Ref resolved_deps_response(PyObject* workbook_id, PyObject* deps) {
  return message_of(
      {{names.type, names.resolved_deps_response}, {names.workbook_id, workbook_id}, {names.deps, deps}});
}

Ref pip_output(PyObject* workbook_id, PyObject* output_type, PyObject* content) {
  return message_of({{names.type, names.pip_output},
                     {names.workbook_id, workbook_id},
                     {names.output_type, output_type},
                     {names.content, content}});
}

Ref add_path(PyObject* path) { return message_of({{names.type, names.add_path}, {names.path, path}}); }

namespace {

// type, package_name, <fields>, [error], request_id
Ref query_response(PyObject* kind, PyObject* package_name, std::initializer_list<std::pair<PyObject*, PyObject*>> fields,
                   PyObject* error, PyObject* request_id) {
  Ref response = message_of({{names.type, kind}, {names.package_name, package_name}});
  for (const auto& [key, value] : fields) dict_set(response.get(), key, value);
  if (error) dict_set(response.get(), names.error, error);
  dict_set(response.get(), names.request_id, request_id);
  return response;
}

}  // namespace

Ref versions_response(PyObject* package_name, PyObject* versions, PyObject* error, PyObject* request_id) {
  return query_response(names.versions_response, package_name, {{names.versions, versions}}, error, request_id);
}

Ref extras_response(PyObject* package_name, PyObject* version, PyObject* extras, PyObject* error,
                    PyObject* request_id) {
  return query_response(names.extras_response, package_name, {{names.version, version}, {names.extras, extras}},
                        error, request_id);
}

Ref info_response(PyObject* package_name, PyObject* info, PyObject* error, PyObject* request_id) {
  if (!info) return query_response(names.info_response, package_name, {}, error, request_id);
  Ref response = query_response(names.info_response, package_name, {}, nullptr, request_id);
  if (dict_contains(info, names.error)) {
    dict_set(response.get(), names.error, orv::own(PyObject_GetItem(info, names.error)).get());
  } else {
    dict_set(response.get(), names.name, orv::mapping_get(info, names.name, package_name).get());
    dict_set(response.get(), names.latest_version, orv::mapping_get(info, names.latest_version, names.empty).get());
    dict_set(response.get(), names.summary, orv::mapping_get(info, names.summary, names.empty).get());
  }
  return response;
}

}  // namespace handlers
