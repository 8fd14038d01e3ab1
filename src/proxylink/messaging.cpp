// Messaging: the synchronous request/response channel and its callable registry.
//
// Its state lives in ordinary instance attributes that the kernel may read and
// replace, so every method reads them afresh. The two locks are threading.Lock
// objects; each is held for single map operations only, never both together,
// and the send handler, the wait and the completion of a waiter run outside.
#include "core/method.hpp"
#include "core/names.hpp"
#include "proxylink/classes.hpp"
#include "proxylink/lock_guard.hpp"
#include "proxylink/request_id.hpp"
#include "proxylink/request_stamp.hpp"

#include <cmath>
#include <cstring>
#include <vector>

namespace proxylink {
namespace {

using orv::check;
using orv::own;

// The map operations of the channel. An exact dict is worked on under its lock
// with dictionary operations that run no Python code and allocate nothing the
// collector tracks; what leaves the map (keys, values) is let go only after the
// lock, since dropping it may run a finaliser that needs the lock. Any other
// mapping runs methods of its own, which may run Python code: those are called
// without the lock, and the mapping keeps itself consistent. Errors raised under
// the lock are thrown once it is let go.

// Removes `key`, returning its value (an empty Ref when absent).
Ref take_entry(PyObject* map, PyObject* lock, PyObject* key) {
  if (!PyDict_CheckExact(map)) {
    Ref taken = call_method(map, names.pop, key, Py_None);
    return taken.is(Py_None) ? Ref() : taken;
  }
  Ref value = Locked(lock).take(map, key);  // the lock is held for this statement
  if (PyErr_Occurred()) orv::throw_current();
  return value;
}

// Looks `key` up; an empty Ref when absent.
Ref find_entry(PyObject* map, PyObject* lock, PyObject* key) {
  if (!PyDict_CheckExact(map)) {
    Ref found = call_method(map, names.get, key);
    return found.is(Py_None) ? Ref() : found;
  }
  Ref value = Locked(lock).get(map, key);  // the lock is held for this statement
  if (PyErr_Occurred()) orv::throw_current();
  return value;
}

// What emptying a map took out of it, to be acted upon and let go after the lock.
struct Emptied {
  std::vector<Ref> values;
  std::vector<Ref> keys;
};

// Empties any mapping through its own methods; the lock is not held.
void empty_mapping(PyObject* map, Emptied& into) {
  Ref values = own(PySequence_List(call_method(map, names.values).get()));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i)
    into.values.push_back(Ref::borrow(PyList_GET_ITEM(values.get(), i)));
  call_method(map, names.clear);
}

Emptied take_all(PyObject* map, PyObject* lock) {
  Emptied taken;
  if (!PyDict_CheckExact(map)) {
    empty_mapping(map, taken);
    return taken;
  }
  Locked locked(lock);
  locked.take_all(map, taken.keys, taken.values);
  return taken;
}

// The instance dictionary, where the registry's stamp and counter are read and
// written under its lock by plain dictionary operations.
Ref instance_dict(PyObject* self) { return own(PyObject_GenericGetDict(self, nullptr)); }

Ref futures_module() {
  Ref concurrent = global(names.concurrent);
  return getattr(concurrent.get(), names.futures);
}

// ---- methods -------------------------------------------------------------------------

Ref init(PyObject* self, orv::Args) {
  Ref threading = global(names.threading);
  Ref waiters = own(PyDict_New());
  set_local(self, names.waiters, waiters.get());
  set_local(self, names._waiters_lock, own(PyObject_CallMethod(threading.get(), "Lock", nullptr)).get());
  set_local(self, names._guid, request_ids::make().get());
  set_local(self, names._send_handler, Py_None);
  set_local(self, names.loop, Py_None);
  set_local(self, names.loop_thread, Py_None);
  set_local(self, names._callable_registry, own(PyDict_New()).get());
  set_local(self, names._callable_lock, own(PyObject_CallMethod(threading.get(), "Lock", nullptr)).get());
  set_local(self, names._next_callable_id, own(PyLong_FromLong(1)).get());
  return orv::none();
}

Ref set_send_handler(PyObject* self, orv::Args args) {
  PyObject* handler = args[0];
  setattr(self, names._send_handler, handler);
  return orv::none();
}

double timeout_seconds(PyObject* timeout) {
  double seconds = PyFloat_AsDouble(timeout);
  if (seconds == -1.0 && PyErr_Occurred()) orv::throw_current();
  if (std::isnan(seconds)) orv::raise(PyExc_ValueError, "timeout must be a number, not NaN");
  Ref threading = global(names.threading);
  double most = PyFloat_AsDouble(getattr(threading.get(), names.TIMEOUT_MAX).get());
  if (most == -1.0 && PyErr_Occurred()) orv::throw_current();
  // As a lock's wait refuses it: no wait is without a limit, infinity included.
  if (seconds > most) orv::raise(PyExc_OverflowError, "timeout value is too large");
  return seconds;
}

void forget_waiter(PyObject* self, PyObject* request_id) {
  Ref waiters = getattr(self, names.waiters);
  Ref lock = getattr(self, names._waiters_lock);
  take_entry(waiters.get(), lock.get(), request_id);
}

// What a send handler returned that it should have awaited itself: a coroutine
// (an `async def` handler, whose body never ran), anything else awaitable (a
// future, an object with __await__, a generator-based coroutine) or an async
// generator. Such a handler has sent nothing. nullptr for anything else.
const char* unsent_kind(PyObject* returned) {
  if (returned == Py_None) return nullptr;
  if (PyCoro_CheckExact(returned)) return "a coroutine";
  if (PyAsyncGen_CheckExact(returned)) return "an async generator";
  if (PyGen_CheckExact(returned)) {
    Ref code = own(PyObject_GetAttrString(returned, "gi_code"));
    Ref flags = own(PyObject_GetAttrString(code.get(), "co_flags"));
    long bits = PyLong_AsLong(flags.get());
    if (bits == -1 && PyErr_Occurred()) orv::throw_current();
    return bits & CO_ITERABLE_COROUTINE ? "a generator-based coroutine" : nullptr;
  }
  PyAsyncMethods* as_async = Py_TYPE(returned)->tp_as_async;
  return as_async && as_async->am_await ? "an awaitable" : nullptr;
}

// Closes what the handler returned, if it can be closed unstarted: a coroutine
// so closed leaves no "never awaited" warning behind. Futures and other
// awaitables are someone else's to settle.
void close_unstarted(PyObject* returned) {
  if (PyCoro_CheckExact(returned) || PyGen_CheckExact(returned)) call_method(returned, orv::core_names.close);
}

[[noreturn]] void refuse_unsent(PyObject* returned, const char* kind) {
  if (PyCoro_CheckExact(returned)) {
    orv::raise(PyExc_RuntimeError,
               "The send handler returned a coroutine: it must send the message before it returns "
               "(the body of an async def handler never runs)");
  }
  orv::raise_format(PyExc_RuntimeError,
                    "The send handler returned %s (%s): it must send the message before it returns", kind,
                    Py_TYPE(returned)->tp_name);
}

// Registers the waiter. A stamp handed over by a proxy operation is compared
// with the channel's under the same lock hold, and a reset renews the stamp
// under that lock: a request of an earlier context is refused as stale rather
// than registered after the reset and sent to the add-in it no longer speaks to.
void register_waiter(PyObject* self, PyObject* request_id, PyObject* waiter, PyObject* stamp) {
  Ref waiters = getattr(self, names.waiters);
  Ref lock = getattr(self, names._waiters_lock);
  bool checked = !stamp;  // whether the stamp needs no comparison after the fact
  if (PyDict_CheckExact(waiters.get())) {
    Ref attrs = instance_dict(self);
    Ref current, replaced;
    bool stale = false, failed = false;
    {
      Locked locked(lock.get());
      current = stamp ? locked.get(attrs.get(), names._guid) : Ref();
      checked = !stamp || (current && PyUnicode_CheckExact(current.get()) && PyUnicode_CheckExact(stamp));
      stale = stamp && checked && PyUnicode_Compare(current.get(), stamp) != 0;
      if (!stale && !PyErr_Occurred()) failed = !locked.set(waiters.get(), request_id, waiter, replaced);
      failed = failed || PyErr_Occurred();
    }
    if (failed) orv::throw_current();
    if (stale) orv::raise(PyExc_RuntimeError, kStale);
  } else {
    check(PyObject_SetItem(waiters.get(), request_id, waiter));
  }
  if (checked) return;
  // A stamp or map of another kind: compared the ordinary way, after the fact.
  Ref current = getattr(self, names._guid);
  if (check(PyObject_RichCompareBool(stamp, current.get(), Py_NE))) {
    forget_waiter(self, request_id);
    orv::raise(PyExc_RuntimeError, kStale);
  }
}

// Whether the waiter is still registered: a reset that took it out before the
// request reached the send handler leaves nobody to read the answer, and the
// request belongs to the context before the reset.
bool still_registered(PyObject* self, PyObject* request_id, PyObject* waiter) {
  Ref waiters = getattr(self, names.waiters);
  Ref lock = getattr(self, names._waiters_lock);
  return find_entry(waiters.get(), lock.get(), request_id).is(waiter);
}

Ref send_request(PyObject* self, PyObject* req, double timeout, PyObject* stamp) {
  Ref handler = getattr(self, names._send_handler);
  if (!truth(handler.get())) orv::raise(PyExc_RuntimeError, "No send handler registered");

  Ref request_id = request_ids::make();
  Ref message = own(PyDict_Copy(req));
  check(PyDict_SetItem(message.get(), names.requestId, request_id.get()));
  check(PyDict_SetItem(message.get(), names.kind, names.request));
  Ref futures = futures_module();
  Ref waiter = own(PyObject_CallNoArgs(getattr(futures.get(), names.Future).get()));
  register_waiter(self, request_id.get(), waiter.get(), stamp);

  try {
    if (still_registered(self, request_id.get(), waiter.get())) {
      Ref returned = own(PyObject_CallOneArg(handler.get(), message.get()));
      if (const char* kind = unsent_kind(returned.get())) {
        close_unstarted(returned.get());
        // An answer that came while the handler ran still counts.
        if (!truth(call_method(waiter.get(), names.done).get())) refuse_unsent(returned.get(), kind);
      }
    }
    Ref seconds = own(PyFloat_FromDouble(timeout));
    try {
      return call_method(waiter.get(), names.result, seconds.get());
    } catch (orv::PythonError& e) {
      if (!e.matches(getattr(futures.get(), names.TimeoutError).get())) throw;
    }
  } catch (orv::PythonError& e) {
    // KeyboardInterrupt and the like leave the waiter in place.
    if (e.matches(PyExc_Exception)) forget_waiter(self, request_id.get());
    throw;
  }
  // Only a timed-out wait gets here.
  forget_waiter(self, request_id.get());
  orv::raise(PyExc_TimeoutError, "Timed out waiting for Office.js response");
}

Ref send_request_sync(PyObject* self, orv::Args args) {
  orv::require_exact(args[0], &PyDict_Type, "req");
  Ref stamp = RequestStamp::take(self);  // taken before anything can make a request of its own
  double timeout = args[1] ? timeout_seconds(args[1]) : 30.0;
  return send_request(self, args[0], timeout, stamp.get());
}

// The text a failed response reports: error.message for a dictionary error,
// the error itself when it is a non-empty str, else "Remote error".
// The error is owned while its entry is looked up: a key's __eq__ may empty the
// message and so drop the error in the middle of the lookup.
Ref remote_error_text(PyObject* message) {
  Ref error = orv::mapping_get(message, names.error);
  if (!error) return own(PyUnicode_FromString("Remote error"));
  if (PyDict_Check(error.get())) {
    Ref fallback = own(PyUnicode_FromString("Remote error"));
    return orv::mapping_get(error.get(), names.message, fallback.get());
  }
  if (PyUnicode_Check(error.get()) && PyUnicode_GET_LENGTH(error.get()) > 0) return error;
  return own(PyUnicode_FromString("Remote error"));
}

// Completes a waiter unless another party (a reset, an earlier answer) did
// so meanwhile: the outcome then has nobody to go to.
void complete(PyObject* waiter, PyObject* method, PyObject* outcome) {
  try {
    call_method(waiter, method, outcome);
  } catch (orv::PythonError& e) {
    Ref invalid = getattr(futures_module().get(), names.InvalidStateError);
    if (!e.matches(invalid.get())) throw;
  }
}

Ref on_message(PyObject* self, orv::Args args) {
  PyObject* message = args[0];
  orv::require_exact(message, &PyDict_Type, "message");
  // Values read from the message are owned before any of their hooks runs: a
  // __bool__ may empty the message, which held the only reference.
  Ref raw_id = orv::mapping_get(message, names.requestId);
  // Waiters are keyed by str ids; anything else (a list, a number, an array
  // without a truth value) names no request and is not even truth-tested.
  if (!raw_id || !PyUnicode_Check(raw_id.get()) || !truth(raw_id.get())) return orv::none();
  Ref request_id = own(PyUnicode_FromObject(raw_id.get()));

  Ref waiters = getattr(self, names.waiters);
  Ref lock = getattr(self, names._waiters_lock);
  Ref waiter = take_entry(waiters.get(), lock.get(), request_id.get());
  if (!waiter || waiter.is(Py_None)) return orv::none();
  if (truth(call_method(waiter.get(), names.done).get())) return orv::none();

  Ref outcome;  // the response, or the exception the caller is to get
  PyObject* completion = names.set_result;
  try {
    Ref ok = orv::mapping_get(message, names.ok);
    if (ok && truth(ok.get())) {
      outcome = Ref::borrow(message);
    } else {
      outcome = own(PyObject_CallOneArg(PyExc_RuntimeError, remote_error_text(message).get()));
      completion = names.set_exception;
    }
  } catch (orv::PythonError& e) {
    // A response that cannot be read (an `ok` without a truth value, an error
    // whose lookup raises) still ends the wait: the caller gets that error.
    // What does not derive from Exception is raised here as well.
    complete(waiter.get(), names.set_exception, e.value());
    if (!e.matches(PyExc_Exception)) throw;
    return orv::none();
  }
  complete(waiter.get(), completion, outcome.get());
  return orv::none();
}

void restamp_roots(PyObject* guid) {
  for (PyObject* root : {names.Context, names.Excel, names.GetSetting, names.Union, names.Intersect,
                         names.GetSystemInfo}) {
    try {
      setattr(global(root).get(), names._msg_guid, guid);
    } catch (orv::PythonError&) {
      // A root that is missing or refuses the stamp is left as it is.
    }
  }
}

// Takes every waiter out and renews the stamp, in one hold of the waiters'
// lock when the map is an exact dict: a request is then either registered
// before, and cancelled, or checked against the new stamp (register_waiter).
Emptied renew_context(PyObject* self, PyObject* guid) {
  Ref waiters = getattr(self, names.waiters);
  Ref lock = getattr(self, names._waiters_lock);
  if (!PyDict_CheckExact(waiters.get())) {
    Emptied taken = take_all(waiters.get(), lock.get());
    setattr(self, names._guid, guid);
    return taken;
  }
  Ref attrs = instance_dict(self);
  Emptied taken;
  Ref old_guid;
  bool stored;
  {
    Locked locked(lock.get());
    locked.take_all(waiters.get(), taken.keys, taken.values);
    stored = locked.set(attrs.get(), names._guid, guid, old_guid);
  }
  if (!stored) orv::throw_current();
  return taken;
}

Ref reset(PyObject* self, orv::Args) {
  Ref guid = request_ids::make();
  for (Ref& waiter : renew_context(self, guid.get()).values) call_method(waiter.get(), names.cancel);
  {
    Ref registry = getattr(self, names._callable_registry);
    Ref lock = getattr(self, names._callable_lock);
    Ref attrs = instance_dict(self);
    Ref first = own(PyLong_FromLong(1));
    Emptied dropped;
    Ref old_counter;
    if (!PyDict_CheckExact(registry.get())) empty_mapping(registry.get(), dropped);
    bool stored;
    {
      Locked locked(lock.get());
      if (PyDict_CheckExact(registry.get())) locked.take_all(registry.get(), dropped.keys, dropped.values);
      stored = locked.set(attrs.get(), names._next_callable_id, first.get(), old_counter);
    }
    if (!stored) orv::throw_current();
  }
  restamp_roots(guid.get());
  return orv::none();
}

const char* type_short_name(PyObject* obj) {
  const char* name = Py_TYPE(obj)->tp_name;
  const char* dot = std::strrchr(name, '.');
  return dot ? dot + 1 : name;
}

// Makes the id "pyfunc_" + the first 8 digits of the stamp + "_" + the counter,
// and stores the counter's successor. Runs under the registry's lock: exact str
// and int operations only, which run no Python code and make nothing the
// collector tracks. An empty Ref on error; `replaced` takes the counter's old
// value, to be let go after the lock.
Ref next_callable_id(Locked& locked, PyObject* attrs, PyObject* guid, PyObject* counter, Ref& replaced) {
  Ref number = Ref::steal(PyObject_Str(counter));
  if (!number) return Ref();
  Ref id = Ref::steal(PyUnicode_FromFormat("pyfunc_%.8U_%U", guid, number.get()));
  Ref one = Ref::steal(PyLong_FromLong(1));
  Ref next = Ref::steal(id && one ? PyNumber_Add(counter, one.get()) : nullptr);
  if (!next || !locked.set(attrs, names._next_callable_id, next.get(), replaced)) return Ref();
  return id;
}

Ref register_callable(PyObject* self, orv::Args args) {
  PyObject* callable_obj = args[0];
  if (!PyCallable_Check(callable_obj)) {
    orv::raise_format(PyExc_TypeError, "Object must be callable, got %s", type_short_name(callable_obj));
  }
  Ref registry = getattr(self, names._callable_registry);
  Ref lock = getattr(self, names._callable_lock);
  Ref attrs = instance_dict(self);
  Ref guid, counter, old_counter, callable_id, replaced;  // let go after the lock
  bool well_formed = false;
  bool failed = false;
  {
    // The stamp is read and the counter taken under the lock, so that a reset
    // that empties the registry also removes every id made before it.
    Locked locked(lock.get());
    guid = locked.get(attrs.get(), names._guid);
    counter = guid ? locked.get(attrs.get(), names._next_callable_id) : Ref();
    well_formed = guid && PyUnicode_CheckExact(guid.get()) && counter && PyLong_CheckExact(counter.get());
    if (well_formed) {
      callable_id = next_callable_id(locked, attrs.get(), guid.get(), counter.get(), old_counter);
      failed = !callable_id;
    } else {
      failed = PyErr_Occurred() != nullptr;
    }
    if (callable_id && PyDict_CheckExact(registry.get())) {
      failed = !locked.set(registry.get(), callable_id.get(), callable_obj, replaced);
    }
  }
  if (failed) orv::throw_current();
  if (!well_formed) {
    orv::raise(PyExc_TypeError, "Messaging._guid must be a str and Messaging._next_callable_id an int");
  }
  if (!PyDict_CheckExact(registry.get())) check(PyObject_SetItem(registry.get(), callable_id.get(), callable_obj));
  return callable_id;
}

Ref get_callable(PyObject* self, orv::Args args) {
  PyObject* callable_id = args[0];
  orv::require_exact(callable_id, &PyUnicode_Type, "callable_id");
  Ref registry = getattr(self, names._callable_registry);
  Ref lock = getattr(self, names._callable_lock);
  Ref found = find_entry(registry.get(), lock.get(), callable_id);
  return found ? found : orv::none();
}

Ref unregister_callable(PyObject* self, orv::Args args) {
  PyObject* callable_id = args[0];
  orv::require_exact(callable_id, &PyUnicode_Type, "callable_id");
  Ref registry = getattr(self, names._callable_registry);
  Ref lock = getattr(self, names._callable_lock);
  take_entry(registry.get(), lock.get(), callable_id);
  return orv::none();
}

constexpr orv::MethodDecl methods_table[] = {
    {{.function = "__init__", .self_counted = true},
     init, "__init__(self) -> None\n\nCreate the channel with no send handler and an empty registry."},
    {{.function = "set_send_handler", .names = {"handler"}, .required = 1, .self_counted = true}, set_send_handler,
     "set_send_handler(self, handler: Optional[Callable[[dict], None]]) -> None\n\n"
     "Register a callback used to send messages to the add-in.\n\n"
     "The handler is called on the requesting thread with the request message and\n"
     "must send it before returning: a handler that returns a coroutine (an async def),\n"
     "another awaitable or an async generator fails the request at once with\n"
     "RuntimeError, unless the response arrived while it ran."},
    {{.function = "send_request_sync", .names = {"req", "timeout"}, .required = 1, .self_counted = true},
     send_request_sync,
     "send_request_sync(self, req: dict, timeout: float = 30.0) -> dict\n\n"
     "Send a request and wait synchronously for the response.\n\n"
     "The payload is copied and given a fresh 'requestId' and 'kind'. The call blocks\n"
     "(without holding the GIL) until the response arrives, the timeout expires\n"
     "(TimeoutError) or the channel is reset (concurrent.futures.CancelledError).\n"
     "A timeout too large to wait for, inf included, raises OverflowError at once."},
    {{.function = "on_message", .names = {"message"}, .required = 1, .self_counted = true}, on_message,
     "on_message(self, message: dict) -> None\n\n"
     "Handle an incoming response message from the add-in.\n\n"
     "Completes the request named by 'requestId'; unknown ids are ignored."},
    {{.function = "reset", .self_counted = true}, reset,
     "reset(self) -> None\n\n"
     "Reset the messaging state (e.g., when the connection is closed).\n\n"
     "Cancels every waiting request, renews the context stamp and clears the callable registry."},
    {{.function = "register_callable", .names = {"callable_obj"}, .required = 1, .self_counted = true},
     register_callable,
     "register_callable(self, callable_obj: Callable[..., Any]) -> str\n\n"
     "Register a Python callable and return its ID.\n\n"
     "Returns:\n    String ID that can be used to invoke the callable from Excel."},
    {{.function = "get_callable", .names = {"callable_id"}, .required = 1, .self_counted = true}, get_callable,
     "get_callable(self, callable_id: str) -> Optional[Callable[..., Any]]\n\n"
     "Retrieve a registered callable by its ID."},
    {{.function = "unregister_callable", .names = {"callable_id"}, .required = 1, .self_counted = true},
     unregister_callable,
     "unregister_callable(self, callable_id: str) -> None\n\n"
     "Remove a callable from the registry."},
};
auto methods = orv::method_defs<methods_table>();

}  // namespace

Ref make_messaging_class() {
  return make_module_class(
      "Messaging",
      "Messaging()\n\n"
      "Message passing with synchronous send and wait; no WebSocket server.\n\n"
      "Threading model: user code calls send_request_sync on worker threads, several\n"
      "at a time, each blocking on its own future without holding the GIL. The\n"
      "kernel's listener thread delivers responses with on_message and calls reset\n"
      "when its connection closes. _waiters_lock guards waiters and _callable_lock\n"
      "the callable registry; each is held for single map operations only.",
      &PyBaseObject_Type, methods);
}

}  // namespace proxylink
