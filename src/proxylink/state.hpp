// The state of proxylink, one per process: the interned names and the objects
// module set-up bound, all made once and held for good (orv::Immortal).
//
// Globals are always read from the module namespace at the moment of use.
// The objects recorded here only let a caller recognise the module's own
// object and take the direct C++ path instead of a call through Python.
#pragma once
#include "core/names.hpp"
#include "core/objects.hpp"
#include "core/pyclass.hpp"

#include <span>

namespace proxylink {

using orv::Ref;
using orv::call;
using orv::call_method;
using orv::getattr;
using orv::setattr;
using orv::truth;

// The module's full dotted name, also the __module__ of its classes and functions.
inline constexpr const char* kModuleName = "orvane_master.python_server.orvane.proxylink";

// Every interned str of the module, made at set-up (the shape of core/names.hpp).
#define PROXYLINK_NAMES(X, T)                                                                        \
  /* module globals */                                                                               \
  X(messaging) X(Serializer) X(OfficeJsObject) X(OfficeJsArray) X(OfficeJsDict)                       \
  X(Context) X(Excel) X(GetSetting) X(Union) X(Intersect) X(GetSystemInfo) X(UNIQUE_TRANSACTION_ID)    \
  X(_internal_officejs_names) X(_cw__getattr__) X(_cw__getitem__) X(_cw__setattr__) X(_cw__call__)     \
  X(_cw__del__) X(np) X(pd) X(dt) X(base64) X(pl) X(uuid) X(concurrent) X(threading) X(_HAS_POLARS)   \
  X(_HAS_COM) X(is_com_object) X(serialize_com_object) X(deserialize_com_object)                      \
  /* proxy and transaction attributes, and their values */                                          \
  X(_internal_id) X(_internal_typeName) X(_msg_guid) X(_typ) X(_internal_cache) X(_rollback_at_error) \
  X(_error_callback) X(_raiseError) X(_isInWith) X(_block_gets) X(_start) X(Transaction) X(JsArray)    \
  X(JsDict) X(Array) X(Dict) X(officejs_object) X(officejs_array) X(officejs_dict)                     \
  X(officejs_transaction) T(orvane, "orvane") T(orvane_Excel, "orvane.Excel")                         \
  /* the channel */                                                                                  \
  X(_guid) X(_send_handler) X(waiters) X(_waiters_lock) X(loop) X(loop_thread) X(_callable_registry)   \
  X(_callable_lock) X(_next_callable_id) X(uuid4) X(UUID) X(os) X(urandom) X(hex) X(futures) X(Future)  \
  X(TimeoutError) X(result) X(set_result) X(set_exception) X(done) X(cancel) X(acquire) X(release)   \
  X(requestId) X(kind) X(ok) X(error) X(message) X(request) X(TIMEOUT_MAX) X(InvalidStateError)       \
  X(pop) X(values) X(clear) X(get) X(register_callable) X(get_callable)                               \
  /* requests of the proxy operations */                                                             \
  X(method) X(name) X(value) X(args) X(caller) X(arg_type) X(send_request_sync) X(start) X(commit)    \
  X(GET) X(GETITEM) X(SET) X(CALL) X(DEL) X(PLACED) X(NAMED) X(Function) T(empty, "")                 \
  X(__call__) X(__del__) X(__new__) X(__init__) X(__sizeof__) X(__module__)                           \
  /* the traceback of a failing operation, trimmed */                                                \
  X(tb_frame) X(f_code) X(co_name) X(tb_next)                                                        \
  /* the codec: wire keys, library attributes and methods */                                         \
  X(type) X(isSpec) X(id) X(to_wire) X(from_wire) X(bool_) X(datetime64) X(floating) X(Timestamp)     \
  X(Series) X(DataFrame) X(NA) X(datetime) X(date) X(timezone) X(utc) X(tzinfo) X(astimezone)         \
  X(isoformat) X(b64encode) X(b64decode) X(decode) X(ascii) X(to_frame) X(columns) X(tolist) X(rows)   \
  X(fromisoformat) X(extend) X(update) X(items) X(dtype) X(astype) X(item) X(M) X(year) X(nanosecond)  \
  T(datetime64_us, "datetime64[us]")

ORV_NAMES(Names, PROXYLINK_NAMES);
extern Names names;

// A module global that user code may rebind: its name, and what set-up bound to it.
struct Replaceable {
  const orv::Immortal& name;
  orv::Immortal own;
};

// The objects module set-up bound (see module.cpp), kept for identity tests.
struct ModuleObjects {
  orv::Immortal globals;  // the module's __dict__
  orv::Immortal Messaging;
  orv::Immortal OfficeJsObject;
  orv::Immortal OfficeJsArray;
  orv::Immortal OfficeJsDict;
  orv::Immortal OfficeJsTransaction;
  orv::Immortal messaging;
  Replaceable Serializer{names.Serializer};
  orv::Immortal to_wire_static;  // the staticmethod objects in Serializer's dictionary
  orv::Immortal from_wire_static;
  Replaceable cw_getattr{names._cw__getattr__};
  Replaceable cw_getitem{names._cw__getitem__};
  Replaceable cw_setattr{names._cw__setattr__};
  Replaceable cw_call{names._cw__call__};
  Replaceable cw_del{names._cw__del__};
  // The libraries, and the attributes of theirs the codec uses.
  Replaceable np{names.np};
  Replaceable pd{names.pd};
  Replaceable dt{names.dt};
  Replaceable base64{names.base64};
  Replaceable uuid{names.uuid};
  orv::Immortal np_bool, np_datetime64, np_floating, np_ndarray;
  orv::Immortal pd_Timestamp, pd_Series, pd_DataFrame, pd_NA;
  orv::Immortal dt_datetime, dt_date, utc, fromisoformat;  // fromisoformat of dt.datetime
  orv::Immortal b64decode;
};
extern ModuleObjects owned;

inline Ref global(PyObject* name) { return orv::lookup_global(owned.globals, name); }

// `<obj>.<name>`, kept for the process.
inline orv::Immortal keep_attr(PyObject* obj, const char* name) {
  return orv::Immortal(orv::own(PyObject_GetAttrString(obj, name)));
}

// The one test of "the global may have been replaced; take the direct path
// only while it is still ours": `direct()` runs while the global `g` holds
// what set-up bound to it, `replaced(current)` with what it holds otherwise
// (NameError when it is unbound). The global's value is held meanwhile.
template <class Direct, class Replaced>
auto if_own(const Replaceable& g, Direct&& direct, Replaced&& replaced) {
  Ref current = global(g.name);
  if (current.is(g.own)) return direct();
  return replaced(current.get());
}
// Whether the global `g` holds what set-up bound to it (NameError when unbound).
inline bool is_own(const Replaceable& g) { return global(g.name).is(g.own); }

// object.__setattr__: bypasses a class's own __setattr__, and refuses, as
// object.__setattr__ does, objects whose type assigns attributes its own way.
inline void set_local(PyObject* obj, PyObject* name, PyObject* value) { orv::object_setattr(obj, name, value); }

// A class of this module, `name(base)`, whose methods are C++ functions.
Ref make_module_class(const char* name, const char* doc, PyTypeObject* base, std::span<PyMethodDef> methods,
                      std::span<PyMethodDef> static_methods = {});

}  // namespace proxylink
