// OfficeJsTransaction: groups attribute writes into one batch on the add-in.
//
// The transaction is a small proxy-like object for the add-in's transaction
// object (the fixed id UNIQUE_TRANSACTION_ID). Starting and committing read
// that object's `start` and `commit` functions and call them; the writes in
// between are ordinary SET requests, batched by the add-in.
#include "core/method.hpp"
#include "proxylink/classes.hpp"
#include "proxylink/operations.hpp"
#include "proxylink/proxy_common.hpp"

namespace proxylink {
namespace {

using orv::own;

bool attribute_truth(PyObject* self, PyObject* name) { return truth(getattr(self, name).get()); }

// _cw__getattr__(self, name) through the module global; failures pass on as
// they are (the transaction's methods do not trim tracebacks).
Ref remote_function(PyObject* self, PyObject* name) {
  return if_own(
      owned.cw_getattr, [&] { return op_getattr(self, name); },
      [&](PyObject* fn) { return own(PyObject_CallFunctionObjArgs(fn, self, name, nullptr)); });
}

Ref init_method(PyObject* self, orv::Args args) {
  PyObject* rollback = args[0] ? args[0] : Py_False;
  PyObject* raise_error = args[1] ? args[1] : Py_True;
  PyObject* error_callback = args[2] ? args[2] : Py_None;
  PyObject* block_gets = args[3] ? args[3] : Py_False;
  setattr(self, names._internal_id, global(names.UNIQUE_TRANSACTION_ID).get());
  setattr(self, names._internal_typeName, names.Transaction);
  setattr(self, names._msg_guid, getattr(global(names.messaging).get(), names._guid).get());
  setattr(self, names._typ, names.officejs_transaction);
  setattr(self, names._rollback_at_error, rollback);
  setattr(self, names._error_callback, error_callback);
  setattr(self, names._raiseError, raise_error);
  setattr(self, names._isInWith, Py_False);
  setattr(self, names._block_gets, block_gets);
  return orv::none();
}

void start(PyObject* self) {
  Ref fn = remote_function(self, names.start);
  Ref context = global(names.Context);
  Ref block_gets = getattr(self, names._block_gets);
  PyObject* argv[] = {context.get(), block_gets.get()};
  own(PyObject_Vectorcall(fn.get(), argv, 2, nullptr));  // the result is not used
}

void commit(PyObject* self) {
  {
    Ref fn = remote_function(self, names.commit);
    own(PyObject_CallNoArgs(fn.get()));
  }  // the function proxy is released before a new transaction starts
  if (attribute_truth(self, names._isInWith)) call_method(self, names._start);
}

Ref start_method(PyObject* self, orv::Args) {
  start(self);
  return orv::none();
}

Ref commit_method(PyObject* self, orv::Args) {
  commit(self);
  return orv::none();
}

Ref enter(PyObject* self, orv::Args) {
  setattr(self, names._isInWith, Py_True);
  call_method(self, names._start);
  return Ref::borrow(self);
}

Ref exit_method(PyObject* self, orv::Args args) {
  // Cleared first, so that the commit below does not open a new transaction.
  setattr(self, names._isInWith, Py_False);
  if (args[0] == Py_None) {
    call_method(self, names.commit);
    return orv::none();
  }
  if (!attribute_truth(self, names._rollback_at_error)) call_method(self, names.commit);
  Ref callback = getattr(self, names._error_callback);
  if (truth(callback.get())) {
    own(PyObject_CallFunctionObjArgs(callback.get(), args[0], args[1], args[2], nullptr));
  }
  // A true result makes the with statement swallow the exception.
  return orv::boolean(!attribute_truth(self, names._raiseError));
}

Ref repr_method(PyObject* self, orv::Args) {
  Ref object_id = format_field(getattr(self, names._internal_id).get());
  return own(PyUnicode_FromFormat("<OfficeJsTransaction id=%U>", object_id.get()));
}

constexpr orv::MethodDecl methods_table[] = {
    {{.function = "__init__",
      .names = {"roolback_at_error", "raiseError", "error_callback", "block_gets"},
      .self_counted = true},
     init_method,
     "__init__(self, roolback_at_error: bool = False, raiseError: bool = True, "
     "error_callback: Optional[Callable[..., Any]] = None, block_gets: bool = False) -> None\n\n"
     "Prepare a transaction on the add-in's transaction object; nothing is sent."},
    {{.function = "_start", .self_counted = true}, start_method,
     "_start(self) -> None\n\nStart a transaction on the add-in: call its start(Context, block_gets)."},
    {{.function = "commit", .self_counted = true}, commit_method,
     "commit(self) -> None\n\n"
     "Commit the open transaction on the add-in; inside a with block a new one starts at once."},
    {{.function = "__enter__", .self_counted = true}, enter,
     "__enter__(self) -> OfficeJsTransaction\n\nStart a transaction and return it."},
    {{.function = "__exit__", .names = {"exc_type", "exc_val", "exc_tb"}, .required = 3, .self_counted = true},
     exit_method,
     "__exit__(self, exc_type: Any, exc_val: Any, exc_tb: Any) -> Optional[bool]\n\n"
     "Commit (unless rolling back after an error), report the error to the callback,\n"
     "and swallow the error when raiseError is false."},
    forwarded_del("__del__(self) -> None\n\nRelease the add-in's transaction object (forwarded to _cw__del__)."),
    {{.function = "__repr__", .self_counted = true}, repr_method,
     "__repr__(self) -> str\n\nReturn '<OfficeJsTransaction id=ID>'."},
};
auto methods = orv::method_defs<methods_table>();

}  // namespace

Ref make_transaction_class() {
  return make_module_class("OfficeJsTransaction",
                           "Transaction object to batch multiple set operations into a single request.",
                           &PyBaseObject_Type, methods);
}

}  // namespace proxylink
