#include "core/pyclass.hpp"

namespace orv {

namespace {

// The setattro slot of a class that defines __setattr__ or __delattr__ in
// Python (it calls the method found on the class).
setattrofunc python_class_setattro = nullptr;

// The interpreter's own test for object.__setattr__: find the class in the
// MRO whose C setattro the type uses, then walk its base chain; the generic
// assignment applies only if no C-level override lies between that class and
// the base that uses it.
bool generic_setattr_applies(PyTypeObject* type) {
  PyObject* mro = type->tp_mro;
  if (!mro) return true;
  PyTypeObject* defining = type;
  for (Py_ssize_t i = PyTuple_GET_SIZE(mro) - 1; i >= 0; --i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
    if (base->tp_setattro == python_class_setattro) continue;
    if (base->tp_setattro == type->tp_setattro) {
      defining = base;
      break;
    }
  }
  for (PyTypeObject* base = defining; base; base = base->tp_base) {
    if (base->tp_setattro == PyObject_GenericSetAttr) return true;
    if (base->tp_setattro != python_class_setattro) return false;
  }
  return true;
}

}  // namespace

void init_object_setattr() {
  if (python_class_setattro) return;
  Ref ns = own(Py_BuildValue("{sO}", "__setattr__", Py_None));
  Ref cls = own(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O", "_", ns.get()));
  setattrofunc found = reinterpret_cast<PyTypeObject*>(cls.get())->tp_setattro;
  if (!found || found == PyObject_GenericSetAttr) raise(PyExc_SystemError, "cannot find the setattro of Python classes");
  python_class_setattro = found;
}

void object_setattr(PyObject* obj, PyObject* name, PyObject* value) {
  if (!python_class_setattro) raise(PyExc_SystemError, "object_setattr used before init_object_setattr");
  if (compat::setattr_check_applies(obj) && !generic_setattr_applies(Py_TYPE(obj))) {
    raise_format(PyExc_TypeError, "can't apply this __setattr__ to %s object", Py_TYPE(obj)->tp_name);
  }
  check(PyObject_GenericSetAttr(obj, name, value));
}

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
