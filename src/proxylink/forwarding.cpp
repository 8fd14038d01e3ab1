#include "proxylink/forwarding.hpp"

#include "proxylink/operations.hpp"

#include <vector>

namespace proxylink {
namespace {

// Runs `direct` while the global function `fn` is the module's own, else
// calls what it holds now with `generic`.
template <class Direct, class Generic>
Ref forward(const Replaceable& fn, Direct&& direct, Generic&& generic) {
  try {
    return if_own(fn, direct, generic);
  } catch (orv::PythonError& e) {
    rethrow_for_user(e);
  }
}

// Re-raises `err` as the same exception object with the leading traceback
// entries whose function name is in `names` cut off, its cause set to None
// and its context suppressed (`raise exc.with_traceback(tb) from None`).
[[noreturn]] void rethrow_trimmed(orv::PythonError& err, PyObject* trimmed) {
  Ref exc = err.take();
  Ref tb = Ref::steal(PyException_GetTraceback(exc.get()));
  while (tb && !tb.is(Py_None)) {
    Ref frame = getattr(tb.get(), names.tb_frame);
    Ref code = getattr(frame.get(), names.f_code);
    Ref name = getattr(code.get(), names.co_name);
    if (!orv::check(PySequence_Contains(trimmed, name.get()))) break;
    tb = getattr(tb.get(), names.tb_next);
  }
  orv::check(PyException_SetTraceback(exc.get(), tb ? tb.get() : Py_None));
  PyException_SetCause(exc.get(), nullptr);  // also sets __suppress_context__
  throw orv::PythonError(std::move(exc));
}

}  // namespace

void rethrow_for_user(orv::PythonError& err) {
  if (!err.matches(PyExc_Exception)) throw std::move(err);
  Ref trimmed_names = global(names._internal_officejs_names);
  rethrow_trimmed(err, trimmed_names.get());
}

Ref forward_getattr(PyObject* self, PyObject* name) {
  return forward(
      owned.cw_getattr, [&] { return op_getattr(self, name); },
      [&](PyObject* fn) { return orv::own(PyObject_CallFunctionObjArgs(fn, self, name, nullptr)); });
}

Ref forward_getitem(PyObject* self, PyObject* index) {
  return forward(
      owned.cw_getitem, [&] { return op_getitem(self, index); },
      [&](PyObject* fn) { return orv::own(PyObject_CallFunctionObjArgs(fn, self, index, nullptr)); });
}

void forward_setattr(PyObject* self, PyObject* name, PyObject* value) {
  forward(
      owned.cw_setattr,
      [&] {
        op_setattr(self, name, value);
        return orv::none();
      },
      [&](PyObject* fn) { return orv::own(PyObject_CallFunctionObjArgs(fn, self, name, value, nullptr)); });
}

Ref forward_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return forward(
      owned.cw_call, [&] { return op_call(self, args, nargs, kwnames); },
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
      owned.cw_del,
      [&] {
        op_del(self);
        return orv::none();
      },
      [&](PyObject* fn) { return orv::own(PyObject_CallOneArg(fn, self)); });
}

}  // namespace proxylink
