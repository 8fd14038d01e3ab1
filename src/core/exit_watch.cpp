#include "core/exit_watch.hpp"

#include "core/error.hpp"

namespace orv {
namespace {

PyObject* exit_begins(PyObject*, PyObject*) {
  compat::exit_begun.store(true, std::memory_order_release);
  Py_RETURN_NONE;
}

PyMethodDef exit_hook = {"_exit_begins", exit_begins, METH_NOARGS,
                         "_exit_begins() -> None\n\nMarks that the interpreter has begun to exit."};

}  // namespace

void watch_for_exit() {
  Ref hook = own(PyCFunction_New(&exit_hook, nullptr));
  Ref atexit = own(PyImport_ImportModule("atexit"));
  own(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
}

}  // namespace orv
