// The operations shared by the handler bodies (declared in handlers.hpp).
#include "handlers/handlers.hpp"

namespace handlers {

Names names;
PyObject* module_globals = nullptr;
PyObject* module_name = nullptr;

Ref manager_dict(PyObject* attr) { return getattr(global(names._manager).get(), attr); }

Ref workbook_value(PyObject* attr, PyObject* target_workbook, Ref (*make_fallback)()) {
  Ref values = manager_dict(attr);
  Ref fallback = make_fallback();
  return orv::mapping_get(values.get(), target_workbook, fallback.get());
}

bool dict_contains(PyObject* d, PyObject* key) { return orv::check(PySequence_Contains(d, key)) != 0; }

void dict_set(PyObject* d, PyObject* key, PyObject* value) { orv::check(PyObject_SetItem(d, key, value)); }

Ref new_list() { return orv::own(PyList_New(0)); }
Ref new_dict() { return orv::own(PyDict_New()); }

Ref send_to_ide(const Ref& message) {
  return call_method(global(names._manager).get(), names.send_to_ide, message.get());
}

Ref send_message(PyObject* kind, PyObject* target, const Ref& message) {
  return call_method(global(names._manager).get(), names.send_message, kind, target, message.get());
}

void log(PyObject* level, PyObject* text) { call_method(global(names.logger).get(), level, text); }

void log(PyObject* level, const char* text) { log(level, orv::own(PyUnicode_FromString(text)).get()); }

bool all_given(std::initializer_list<const orv::Local*> values, const char* warning) {
  for (const orv::Local* value : values) {
    if (!orv::truth(value->get())) {
      log(names.warning, warning);
      return false;
    }
  }
  return true;
}

Ref import_from(const char* module, const char* name, int level) {
  Ref fromlist = orv::own(PyTuple_Pack(1, orv::own(PyUnicode_FromString(name)).get()));  // made whole at once
  Ref imported = orv::own(PyImport_ImportModuleLevel(module, module_globals, nullptr, fromlist.get(), level));
  PyObject* value = PyObject_GetAttrString(imported.get(), name);
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) orv::throw_current();
    PyErr_Clear();
    Ref full_name = orv::own(PyObject_GetAttrString(imported.get(), "__name__"));
    orv::raise_format(PyExc_ImportError, "cannot import name '%s' from '%U'", name, full_name.get());
  }
  return Ref::steal(value);
}

void start_task(Ref coroutine, const Ref& name) {
  Ref asyncio = global(names.asyncio);
  Ref kwnames = orv::own(PyTuple_Pack(1, names.name.get()));
  PyObject* argv[] = {asyncio.get(), coroutine.get(), name.get()};
  orv::own(PyObject_VectorcallMethod(names.create_task, argv, 2, kwnames.get()));
}

void add_function(PyObject* module, const orv::CoroutineDef& def) {
  Ref fn = orv::make_coroutine_function(def, module_name);
  orv::check(PyObject_SetAttrString(module, def.sig.function, fn.get()));
}

}  // namespace handlers
