#include "core/pyclass.hpp"

namespace orv {

Ref make_function(PyMethodDef* def, PyObject* module_name) {
  return own(PyCFunction_NewEx(def, nullptr, module_name));
}

Ref make_class(const ClassSpec& spec) {
  Ref module_name = own(PyUnicode_FromString(spec.module));
  Ref ns = own(PyDict_New());
  check(PyDict_SetItemString(ns.get(), "__module__", module_name.get()));
  Ref qualname = own(PyUnicode_FromString(spec.name));
  check(PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()));
  Ref doc = own(PyUnicode_FromString(spec.doc));
  check(PyDict_SetItemString(ns.get(), "__doc__", doc.get()));
  for (PyMethodDef& def : spec.static_methods) {
    Ref fn = make_function(&def, module_name.get());
    Ref wrapped = own(PyStaticMethod_New(fn.get()));
    check(PyDict_SetItemString(ns.get(), def.ml_name, wrapped.get()));
  }
  Ref cls = own(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "sOO", spec.name,
                                      spec.bases, ns.get()));
  // Method descriptors need the class they belong to, so they go in once it exists;
  // setting them through the type keeps its slots in step, as for any class attribute.
  for (PyMethodDef& def : spec.methods) {
    Ref descr = own(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.get()), &def));
    check(PyObject_SetAttrString(cls.get(), def.ml_name, descr.get()));
  }
  return cls;
}

}  // namespace orv
