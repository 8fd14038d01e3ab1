// The proxy operations: each turns one operation on a proxy into a request
// through the module's `messaging`, checks the response and decodes the result.
#include "proxylink/operations.hpp"

#include "core/method.hpp"
#include "core/recursion.hpp"
#include "proxylink/classes.hpp"
#include "proxylink/request_stamp.hpp"
#include "proxylink/serializer.hpp"

namespace proxylink {
namespace {

using orv::check;
using orv::own;

// An operation runs user code (the send handler, the hooks of the values it
// encodes) that may start another: each one counts as a level of recursion.
constexpr const char* kNesting = " in a proxy operation";

bool is_local_read_name(PyObject* name) {
  for (PyObject* local : {names._internal_id, names._internal_typeName, names._msg_guid, names._typ,
                          names._internal_cache})
    if (orv::equals(name, local)) return true;
  return false;
}

bool is_local_write_name(PyObject* name) {
  for (PyObject* local : {names._internal_id, names._internal_typeName, names._msg_guid, names._typ})
    if (orv::equals(name, local)) return true;
  return false;
}

// The proxy's stamp, checked against the channel's; the request hands both on.
struct Checked {
  Ref channel;
  Ref stamp;
};

Checked check_not_stale(PyObject* self) {
  Ref stamp = getattr(self, names._msg_guid);
  Ref messaging = global(names.messaging);
  Ref current = getattr(messaging.get(), names._guid);
  if (check(PyObject_RichCompareBool(stamp.get(), current.get(), Py_NE))) {
    orv::raise(PyExc_RuntimeError, kStale);
  }
  return {std::move(messaging), std::move(stamp)};
}

// {"method": ..., "name": ..., [extra_key: extra_value,] "caller": self._internal_id}
Ref payload(PyObject* self, PyObject* method, PyObject* name, PyObject* extra_key = nullptr,
            PyObject* extra_value = nullptr) {
  Ref caller = getattr(self, names._internal_id);
  Ref req = own(PyDict_New());
  check(PyDict_SetItem(req.get(), names.method, method));
  check(PyDict_SetItem(req.get(), names.name, name));
  if (extra_key) check(PyDict_SetItem(req.get(), extra_key, extra_value));
  check(PyDict_SetItem(req.get(), names.caller, caller.get()));
  return req;
}

// Sends through the module's `messaging`; a checked request hands its stamp on
// (request_stamp.hpp), a release has none.
Ref send(PyObject* req, const Checked* checked = nullptr) {
  Ref messaging = global(names.messaging);
  if (!checked) return call_method(messaging.get(), names.send_request_sync, req);
  RequestStamp handover(checked->channel.get(), checked->stamp.get());
  return call_method(messaging.get(), names.send_request_sync, req);
}

bool response_ok(PyObject* response) {
  Ref ok = orv::mapping_get(response, names.ok);
  return ok && truth(ok.get());
}

// error.message of a failed response; an error that is not a dictionary
// counts when it is a non-empty str; otherwise the operation's own text.
[[noreturn]] void raise_failed(PyObject* response, PyObject* exc_type, Ref fallback) {
  Ref error = orv::mapping_get(response, names.error);
  Ref text = std::move(fallback);
  if (error && PyDict_Check(error.get())) {
    text = orv::mapping_get(error.get(), names.message, text.get());
  } else if (error && PyUnicode_Check(error.get()) && PyUnicode_GET_LENGTH(error.get()) > 0) {
    text = error;
  }
  // Built by a call, so that a tuple text stays one argument.
  throw orv::PythonError(own(PyObject_CallOneArg(exc_type, text.get())));
}

Ref decoded_result(PyObject* response) {
  Ref result = orv::mapping_get(response, names.result);
  return from_wire(result ? result.get() : Py_None);
}

Ref index_text(PyObject* index) {
  if (PySlice_Check(index)) {
    auto part = [](PyObject* p) { return p == Py_None ? Ref::borrow(names.empty) : own(PyObject_Format(p, nullptr)); };
    PySliceObject* s = reinterpret_cast<PySliceObject*>(index);
    Ref start = part(s->start), stop = part(s->stop), step = part(s->step);
    return own(PyUnicode_FromFormat("%U:%U:%U", start.get(), stop.get(), step.get()));
  }
  if (PyLong_Check(index)) return own(PyObject_Str(index));
  orv::raise(PyExc_TypeError, "Index must be an integer or a slice");
}

}  // namespace

Ref op_getattr(PyObject* self, PyObject* name) {
  if (is_local_read_name(name)) return own(PyObject_GenericGetAttr(self, name));
  orv::RecursionGuard nesting(kNesting);
  Checked checked = check_not_stale(self);
  Ref response = send(payload(self, names.GET, name).get(), &checked);
  if (response_ok(response.get())) return decoded_result(response.get());
  raise_failed(response.get(), PyExc_AttributeError, own(PyUnicode_FromFormat("GET failed for %U", name)));
}

Ref op_getitem(PyObject* self, PyObject* index) {
  orv::RecursionGuard nesting(kNesting);
  Ref text = index_text(index);
  Checked checked = check_not_stale(self);
  Ref response = send(payload(self, names.GETITEM, text.get()).get(), &checked);
  if (response_ok(response.get())) return decoded_result(response.get());
  Ref shown = own(PyObject_Format(index, nullptr));
  raise_failed(response.get(), PyExc_AttributeError, own(PyUnicode_FromFormat("GET ITEM failed for %U", shown.get())));
}

void op_setattr(PyObject* self, PyObject* name, PyObject* value) {
  if (is_local_write_name(name)) {
    set_local(self, name, value);
    return;
  }
  orv::RecursionGuard nesting(kNesting);
  Checked checked = check_not_stale(self);
  Ref wire = to_wire(value);
  Ref response = send(payload(self, names.SET, name, names.value, wire.get()).get(), &checked);
  if (response_ok(response.get())) return;
  raise_failed(response.get(), PyExc_AttributeError, own(PyUnicode_FromFormat("SET failed for %U", name)));
}

Ref op_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  orv::RecursionGuard nesting(kNesting);
  Checked checked = check_not_stale(self);
  Ref type_name = getattr(self, names._internal_typeName);
  if (!orv::equals(type_name.get(), names.Function)) {
    orv::raise(PyExc_TypeError, "Only Function-typed SpecialObjects are callable");
  }
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  Ref entries = own(PyList_New(0));
  for (Py_ssize_t i = 0; i < nargs + nkw; ++i) {
    Ref entry = own(PyDict_New());
    bool named = i >= nargs;
    check(PyDict_SetItem(entry.get(), names.arg_type, named ? names.NAMED : names.PLACED));
    if (named) check(PyDict_SetItem(entry.get(), names.name, PyTuple_GET_ITEM(kwnames, i - nargs)));
    check(PyDict_SetItem(entry.get(), names.value, to_wire(args[i]).get()));
    check(PyList_Append(entries.get(), entry.get()));
  }
  Ref response = send(payload(self, names.CALL, names.__call__, names.args, entries.get()).get(), &checked);
  if (response_ok(response.get())) return decoded_result(response.get());
  raise_failed(response.get(), PyExc_RuntimeError, own(PyUnicode_FromString("CALL failed")));
}

void op_del(PyObject* self) {
  // At exit nobody answers a release: waiting for each would hold the exit up.
  if (orv::compat::is_finalizing()) return;
  // A release that fails, too deep in releases started by the send handler
  // among them, is dropped as silently as the finaliser it runs in.
  try {
    orv::RecursionGuard nesting(kNesting);
    send(payload(self, names.DEL, names.__del__).get());
  } catch (orv::PythonError& e) {
    if (!e.matches(PyExc_Exception)) throw;
  }
}

// ---- the module functions ---------------------------------------------------------------

namespace {

Ref cw_getattr(PyObject*, orv::Args args) {
  orv::require_exact(args[1], &PyUnicode_Type, "name");
  return op_getattr(args[0], args[1]);
}

Ref cw_getitem(PyObject*, orv::Args args) {
  return op_getitem(args[0], args[1]);
}

Ref cw_setattr(PyObject*, orv::Args args) {
  orv::require_exact(args[1], &PyUnicode_Type, "name");
  op_setattr(args[0], args[1], args[2]);
  return orv::none();
}

Ref cw_call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs < 1) orv::raise(PyExc_TypeError, "_cw__call__() missing 1 required positional argument: 'self'");
  return op_call(args[0], args + 1, nargs - 1, kwnames);
}

Ref cw_del(PyObject*, orv::Args args) {
  op_del(args[0]);
  return orv::none();
}

constexpr orv::MethodDecl functions_table[] = {
    {{.function = "_cw__getattr__", .names = {"self", "name"}, .required = 2}, cw_getattr,
     "_cw__getattr__(self: Any, name: str) -> Any\n\nGet attribute proxy method for OfficeJsObject."},
    {{.function = "_cw__getitem__", .names = {"self", "index"}, .required = 2}, cw_getitem,
     "_cw__getitem__(self: Any, index: Union[int, slice]) -> Any\n\nGet item proxy method for OfficeJsObject."},
    {{.function = "_cw__setattr__", .names = {"self", "name", "value"}, .required = 3}, cw_setattr,
     "_cw__setattr__(self: Any, name: str, value: Any) -> None\n\nSet attribute proxy method for OfficeJsObject."},
    {"_cw__call__", cw_call,
     "_cw__call__(self: Any, *args: Any, **kwargs: Any) -> Any\n\nCall proxy method for OfficeJsObject (Function type)."},
    {{.function = "_cw__del__", .names = {"self"}, .required = 1}, cw_del,
     "_cw__del__(self: Any) -> None\n\nDelete proxy method for OfficeJsObject."},
};
auto functions = orv::method_defs<functions_table>();

}  // namespace

void add_operations(PyObject* module) {
  Ref module_name = own(PyObject_GetAttrString(module, "__name__"));
  Replaceable* slots[] = {&owned.cw_getattr, &owned.cw_getitem, &owned.cw_setattr, &owned.cw_call, &owned.cw_del};
  for (size_t i = 0; i < std::size(functions); ++i) {
    Ref fn = orv::make_function(&functions[i], module_name.get());
    check(PyObject_SetAttrString(module, functions[i].ml_name, fn.get()));
    slots[i]->own = orv::Immortal(std::move(fn));
  }
}

}  // namespace proxylink
