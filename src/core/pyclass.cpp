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
#ifdef Py_GIL_DISABLED
  // Another thread may assign __bases__, which replaces the MRO: it is held
  // through the interpreter's own getter, which takes the types' lock.
  Ref held = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__mro__"));
  if (!held) throw_current();
  PyObject* mro = PyTuple_Check(held.get()) ? held.get() : nullptr;
#else
  PyObject* mro = type->tp_mro;
#endif
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

}  // namespace orv
