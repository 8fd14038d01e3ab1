// Module-wide state of proxylink: interned names and the module's own objects.
//
// Globals are always read from the module namespace at the moment of use.
// The objects recorded here only let a caller recognise the module's own
// object and take the direct C++ path instead of a call through Python.
#pragma once
#include "core/globals.hpp"
#include "core/pyclass.hpp"

namespace proxylink {

using orv::Ref;

// Interned strings, made once at module set-up.
#define PROXYLINK_NAMES(X)                                                                          \
  X(messaging) X(Serializer) X(OfficeJsObject) X(OfficeJsArray) X(OfficeJsDict) X(OfficeJsTransaction) \
  X(Context) X(Excel) X(GetSetting) X(Union) X(Intersect) X(GetSystemInfo) X(UNIQUE_TRANSACTION_ID)    \
  X(_internal_officejs_names) X(_cw__getattr__) X(_cw__getitem__) X(_cw__setattr__) X(_cw__call__)     \
  X(_cw__del__) X(_internal_id) X(_internal_typeName) X(_msg_guid) X(_typ) X(_internal_cache)          \
  X(_guid) X(_send_handler) X(waiters) X(_waiters_lock) X(loop) X(loop_thread) X(_callable_registry)   \
  X(_callable_lock) X(_next_callable_id) X(_rollback_at_error) X(_error_callback) X(_raiseError)       \
  X(_isInWith) X(_block_gets) X(np) X(pd) X(dt) X(base64) X(pl) X(uuid) X(concurrent) X(threading)     \
  X(_HAS_POLARS) X(_HAS_COM) X(is_com_object) X(serialize_com_object) X(deserialize_com_object)        \
  X(to_wire) X(from_wire) X(uuid4) X(hex) X(futures) X(Future) X(TimeoutError) X(result) X(timeout)     \
  X(set_result) X(set_exception) X(done) X(cancel) X(acquire) X(release) X(requestId) X(kind) X(ok)    \
  X(error) X(message) X(request) X(method) X(name) X(value) X(args) X(caller) X(__call__) X(__del__)   \
  X(arg_type) X(send_request_sync) X(start) X(commit) X(type) X(isSpec) X(id) X(get) X(TIMEOUT_MAX) X(InvalidStateError) X(pop) X(values) X(clear) X(__new__) X(__init__)

struct Names {
#define PROXYLINK_DECLARE(n) PyObject* n = nullptr;
  PROXYLINK_NAMES(PROXYLINK_DECLARE)
#undef PROXYLINK_DECLARE
};
extern Names names;

// The objects that module set-up bound, kept for identity tests (strong references).
struct ModuleObjects {
  PyObject* module = nullptr;
  PyObject* globals = nullptr;  // the module's __dict__
  PyObject* Serializer = nullptr;
  PyObject* to_wire = nullptr;    // the functions behind the static methods
  PyObject* from_wire = nullptr;
  PyObject* Messaging = nullptr;
  PyObject* OfficeJsObject = nullptr;
  PyObject* OfficeJsArray = nullptr;
  PyObject* OfficeJsDict = nullptr;
  PyObject* OfficeJsTransaction = nullptr;
  PyObject* cw_getattr = nullptr;
  PyObject* cw_getitem = nullptr;
  PyObject* cw_setattr = nullptr;
  PyObject* cw_call = nullptr;
  PyObject* cw_del = nullptr;
  PyObject* messaging = nullptr;
};
extern ModuleObjects owned;

inline Ref global(PyObject* name) { return orv::lookup_global(owned.globals, name); }

// Object attribute access with interned names.
inline Ref getattr(PyObject* obj, PyObject* name) { return orv::own(PyObject_GetAttr(obj, name)); }
inline void setattr(PyObject* obj, PyObject* name, PyObject* value) {
  orv::check(PyObject_SetAttr(obj, name, value));
}
// object.__setattr__: bypasses a class's own __setattr__, and refuses, as
// object.__setattr__ does, objects whose type assigns attributes its own way.
inline void set_local(PyObject* obj, PyObject* name, PyObject* value) { orv::object_setattr(obj, name, value); }

// Calls `name` on obj with the given arguments (vectorcall; no bound method is made).
template <class... A>
Ref call_method(PyObject* obj, PyObject* name, A... args) {
  PyObject* argv[] = {obj, args...};
  return orv::own(PyObject_VectorcallMethod(name, argv, 1 + sizeof...(A), nullptr));
}

}  // namespace proxylink
