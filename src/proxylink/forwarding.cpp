#include "proxylink/forwarding.hpp"

#include "proxylink/operations.hpp"

#include <vector>

namespace proxylink {
namespace {

// Runs `direct` when the global `fn_name` is the module's own function, else
// calls the global with `generic`.
template <class Direct, class Generic>
Ref forward(PyObject* fn_name, PyObject* own_fn, Direct&& direct, Generic&& generic) {
  try {
    Ref fn = global(fn_name);
    if (fn.is(own_fn)) return direct();
    return generic(fn.get());
  } catch (orv::PythonError& e) {
    rethrow_for_user(e);
  }
}

}  // namespace

void rethrow_for_user(orv::PythonError& err) {
  if (!err.matches(PyExc_Exception)) throw std::move(err);
  Ref trimmed_names = global(names._internal_officejs_names);
  orv::rethrow_trimmed(err, trimmed_names.get());
}

Ref forward_getattr(PyObject* self, PyObject* name) {
  return forward(
      names._cw__getattr__, owned.cw_getattr, [&] { return op_getattr(self, name); },
      [&](PyObject* fn) { return orv::own(PyObject_CallFunctionObjArgs(fn, self, name, nullptr)); });
}

Ref forward_getitem(PyObject* self, PyObject* index) {
  return forward(
      names._cw__getitem__, owned.cw_getitem, [&] { return op_getitem(self, index); },
      [&](PyObject* fn) { return orv::own(PyObject_CallFunctionObjArgs(fn, self, index, nullptr)); });
}

void forward_setattr(PyObject* self, PyObject* name, PyObject* value) {
  forward(
      names._cw__setattr__, owned.cw_setattr,
      [&] {
        op_setattr(self, name, value);
        return orv::none();
      },
      [&](PyObject* fn) { return orv::own(PyObject_CallFunctionObjArgs(fn, self, name, value, nullptr)); });
}

Ref forward_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return forward(
      names._cw__call__, owned.cw_call, [&] { return op_call(self, args, nargs, kwnames); },
      [&](PyObject* fn) {
        Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        std::vector<PyObject*> argv;
        argv.reserve(static_cast<size_t>(1 + nargs + nkw));
        argv.push_back(self);
        argv.insert(argv.end(), args, args + nargs + nkw);
        return orv::own(PyObject_Vectorcall(fn, argv.data(), static_cast<size_t>(1 + nargs), kwnames));
      });
}

void forward_del(PyObject* self) {
  // Module globals are being torn down at exit, and no release could be answered.
  if (orv::compat::is_finalizing()) return;
  forward(
      names._cw__del__, owned.cw_del,
      [&] {
        op_del(self);
        return orv::none();
      },
      [&](PyObject* fn) { return orv::own(PyObject_CallOneArg(fn, self)); });
}

}  // namespace proxylink
