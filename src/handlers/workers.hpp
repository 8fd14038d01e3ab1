// What the worker coroutines share: replies to the one IDE client that asked,
// and catching like `except Exception as e` around awaits.
//
// A worker is started by its request handler (worker_requests.cpp), which
// looks it up by name in the module namespace when a request comes.
#pragma once
#include "handlers/messages.hpp"

namespace handlers {

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

}  // namespace handlers
