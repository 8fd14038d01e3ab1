// What the worker coroutines share: replies to the one IDE client that asked,
// and catching like `except Exception as e` around awaits.
#pragma once
#include "handlers/handlers.hpp"

namespace handlers {

// The awaitable of _manager.send_message(kind, target, message).
inline Ref send_message(PyObject* kind, PyObject* target, const Ref& message) {
  return call_method(global(names._manager).get(), names.send_message, kind, target, message.get());
}

// Called in a `catch (orv::PythonError& e)`: an Exception is kept in `failure`
// for the error report that follows the try block (a co_await cannot sit in a
// handler; the report runs under an orv::Handling of it instead); anything
// else (cancellation, exit) goes on up.
inline void keep_exception(orv::PythonError& e, orv::Local& failure) {
  if (!e.matches(PyExc_Exception)) throw;
  failure = e.take();
}

// The error report of a worker: logs `log_prefix` + str(exc) at error level and
// returns the awaitable of sending `make_message(str(exc))` to the IDE client.
template <class MakeMessage>
Ref report_failure(PyObject* exc, const Ref& log_prefix, PyObject* client, MakeMessage make_message) {
  Ref text = orv::own(PyObject_Str(exc));
  log(names.error, orv::own(PyUnicode_Concat(log_prefix.get(), text.get())).get());
  return send_message(names.ide, client, make_message(text.get()));
}

// mapping.get(key, fallback): the plain lookup for an exact dict, the `get`
// method for any other mapping.
inline Ref mapping_get(PyObject* mapping, PyObject* key, PyObject* fallback) {
  if (PyDict_CheckExact(mapping)) {
    PyObject* value = orv::check_ptr(PyDict_GetItemWithError(mapping, key));
    return Ref::borrow(value ? value : fallback);
  }
  return call_method(mapping, names.get, key, fallback);
}

}  // namespace handlers
