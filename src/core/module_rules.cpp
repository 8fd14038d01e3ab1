#include "core/module_rules.hpp"

namespace orv {

PyObject* ModuleRules::create(PyObject* spec) noexcept {
  int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1) return nullptr;
  if (interpreter_id_ == -1) {
    interpreter_id_ = current;
  } else if (interpreter_id_ != current) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return nullptr;
  }
  if (module_) return compat::new_ref(module_);
  PyObject* name = PyObject_GetAttrString(spec, "name");
  if (!name) return nullptr;
  PyObject* module = PyModule_NewObject(name);
  Py_DECREF(name);
  return module;
}

int ModuleRules::begin_exec(PyObject* module) noexcept {
  if (module_) {
    if (module_ == module) return 1;
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is not supported.", short_name_);
    return -1;
  }
  module_ = compat::new_ref(module);
  return 0;
}

void ModuleRules::forget(PyObject* module) noexcept {
  if (module_ == module) Py_CLEAR(module_);
}

void ModuleRules::register_full_name(PyObject* module) {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  Ref key = own(PyUnicode_FromString(full_name_));
  if (!check(PyDict_Contains(modules, key.get()))) check(PyDict_SetItem(modules, key.get(), module));
}

}  // namespace orv
