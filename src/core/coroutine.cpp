// The driver behind orv::Task bodies, and the helpers bodies await with.
//
// Delegation follows `yield from`: while the body waits in a co_await, every
// send/throw goes to the awaited iterator, and what it yields goes out to the
// caller unchanged. When the iterator returns or raises, the body resumes with
// that outcome, runs to its next co_await (whose iterator is started at once
// with None) or to its end.
//
// The Python types that carry the coroutines are in coroutine_types.cpp.
#include "core/coroutine_driver.hpp"
#include "core/names.hpp"

#include "core/recursion.hpp"

namespace orv {
namespace driver {

void finish(State& s) noexcept {
  s.finished = true;
  if (Task::Handle h = std::exchange(s.handle, nullptr)) h.destroy();
  FrameAccess::clear(s.frame);
}

Ref fetch() { return PythonError().take(); }

Outcome from_call(PyObject* result) {
  if (result) return {compat::send_next, Ref::steal(result)};
  if (PyObject* value = compat::take_stop_iteration_value(core_names.value)) return {compat::send_return, Ref::steal(value)};
  return {compat::send_error, fetch()};
}

Outcome send_into(PyObject* it, PyObject* value) {
  PyObject* result = nullptr;
  SendResult kind = compat::iter_send(it, value, &result, core_names.send, core_names.value);
  if (kind == compat::send_error) return {kind, fetch()};
  return {kind, Ref::steal(result)};
}

// Calls it.close() if it has one; an error it raises is returned.
Ref close_iter(PyObject* it) {
  PyObject* close = PyObject_GetAttr(it, core_names.close);
  if (!close) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return fetch();
    PyErr_Clear();
    return {};
  }
  Ref method = Ref::steal(close);
  Ref result = Ref::steal(PyObject_CallNoArgs(method.get()));
  return result ? Ref() : fetch();
}

// Throws `exc` into the awaited iterator as `yield from` does: GeneratorExit
// closes it and goes on to the body; an iterator without `throw` leaves the
// exception to the body.
Outcome throw_into(PyObject* it, Ref exc) {
  if (PyErr_GivenExceptionMatches(exc.get(), PyExc_GeneratorExit)) {
    Ref err = close_iter(it);
    return {compat::send_error, err ? std::move(err) : std::move(exc)};
  }
  PyObject* throw_method = PyObject_GetAttr(it, core_names.throw_);
  if (!throw_method) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {compat::send_error, fetch()};
    PyErr_Clear();
    return {compat::send_error, std::move(exc)};
  }
  Ref method = Ref::steal(throw_method);
  return from_call(PyObject_CallOneArg(method.get(), exc.get()));
}

// `raise replaced from cause`, as the interpreter chains its own errors.
[[noreturn]] void throw_from(Ref replaced, Ref cause) {
  PyException_SetContext(replaced.get(), Ref(cause).release());
  PyException_SetCause(replaced.get(), cause.release());
  throw PythonError(std::move(replaced));
}

// A StopIteration leaving a body would end the awaiting caller's delegation
// silently; like a native coroutine, it becomes a RuntimeError.
[[noreturn]] void rethrow_body_error(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (PythonError& e) {
    if (!e.matches(PyExc_StopIteration)) throw;
    Ref cause = e.take();
    throw_from(own(PyObject_CallFunction(PyExc_RuntimeError, "s", "coroutine raised StopIteration")),
               std::move(cause));
  }
}

// The coroutine is this thread's to step for the scope; a second thread
// (or a re-entrant send) is refused as the interpreter refuses it.
struct Claim {
  explicit Claim(State& s) : s_(s) {
    if (!s_.try_claim()) raise(PyExc_ValueError, "coroutine already executing");
  }
  ~Claim() { s_.release(); }
  Claim(const Claim&) = delete;
  Claim& operator=(const Claim&) = delete;
  State& s_;
};

// For the length of one step: the coroutine runs, counts as one level of
// nesting, and has its handled exception on the thread's stack.
struct Running {
  explicit Running(State& s) : s_(s), nesting_(" while awaiting a coroutine") {
    FrameAccess::enter(s_.frame, entry_);
  }
  ~Running() { FrameAccess::leave(s_.frame); }
  State& s_;
  RecursionGuard nesting_;
  compat::HandledEntry entry_;
};

Outcome step(State& s, Ref value, Ref exc) {
  Claim claim(s);
  if (s.finished) raise(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
  if (!s.started) {
    if (exc) {
      finish(s);
      throw PythonError(std::move(exc));
    }
    if (!value.is(Py_None)) raise(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
    s.started = true;
  }
  Running running(s);
  for (;;) {
    DelegateSlot& delegate = FrameAccess::delegate(s.frame);
    if (delegate) {
      Outcome out = exc ? throw_into(delegate.get(), std::move(exc)) : send_into(delegate.get(), value.get());
      if (out.kind == compat::send_next) return out;
      delegate.reset();
      if (out.kind == compat::send_return) {
        value = std::move(out.value);
        exc.reset();
      } else {
        exc = std::move(out.value);
        value.reset();
      }
    }
    FrameAccess::set_resume(s.frame, std::move(value), std::move(exc));
    s.handle.resume();
    FrameAccess::set_resume(s.frame, {}, {});  // not taken when the body just started
    if (s.handle.done()) {
      Task::promise_type& promise = s.handle.promise();
      Ref result = std::move(promise.result);
      std::exception_ptr error = std::move(promise.error);
      finish(s);
      if (error) rethrow_body_error(std::move(error));
      return {compat::send_return, result ? std::move(result) : none()};
    }
    value = none();  // the body waits on a new iterator: start it
  }
}

void set_stop_iteration(PyObject* value) {
  Ref exc = own(PyObject_CallOneArg(PyExc_StopIteration, value));
  PyErr_SetObject(PyExc_StopIteration, exc.get());
}

// The Python-facing forms of one step: a method result (yielded value, or
// StopIteration for the return) and an am_send result.
Ref method_result(Outcome out) {
  if (out.kind == compat::send_next) return std::move(out.value);
  set_stop_iteration(out.value.get());
  throw PythonError();
}

PyObject* step_as_method(PyObject* coro, Ref value, Ref exc) {
  return boundary([&] { return method_result(step(as_coroutine(coro)->st(), std::move(value), std::move(exc))); });
}

SendResult step_as_send(PyObject* coro, PyObject* arg, PyObject** result) {
  *result = nullptr;
  SendResult kind = compat::send_error;
  *result = boundary([&]() -> Ref {
    Outcome out = step(as_coroutine(coro)->st(), Ref::borrow(arg), {});
    kind = out.kind;
    return std::move(out.value);
  });
  return *result ? kind : compat::send_error;
}

// throw(typ[, val[, tb]]) arguments as one exception object.
Ref exception_from(PyObject* typ, PyObject* val, PyObject* tb) {
  if (tb == Py_None) tb = nullptr;
  if (tb && !PyTraceBack_Check(tb)) raise(PyExc_TypeError, "throw() third argument must be a traceback object");
  Ref exc;
  if (PyExceptionClass_Check(typ)) {
    PyErr_SetObject(typ, val ? val : Py_None);
    exc = Ref::steal(compat::fetch_exception());
    if (!exc) throw PythonError();
  } else if (PyExceptionInstance_Check(typ)) {
    if (val && val != Py_None) raise(PyExc_TypeError, "instance exception may not have a separate value");
    exc = Ref::borrow(typ);
  } else {
    raise_format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(typ)->tp_name);
  }
  if (tb) check(PyException_SetTraceback(exc.get(), tb));
  return exc;
}

PyObject* coroutine_throw_impl(PyObject* coro, PyObject* const* args, Py_ssize_t nargs) {
  return boundary([&] {
    if (nargs < 1) raise_format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
    if (nargs > 3) raise_format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
    if (nargs > 1) check(compat::warn_legacy_throw());
    State& s = as_coroutine(coro)->st();
    Ref exc;
    try {
      exc = exception_from(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr);
    } catch (PythonError& e) {
      // `yield from` hands the arguments to the awaited iterator, whose refusal
      // leaves it and comes out of the await in the body.
      if (!FrameAccess::suspended_in_await(s.frame)) throw;
      FrameAccess::delegate(s.frame).reset();
      exc = e.take();
    }
    return method_result(step(s, {}, std::move(exc)));
  });
}

PyObject* coroutine_close_impl(PyObject* coro) {
  return boundary([&]() -> Ref {
    State& s = as_coroutine(coro)->st();
    if (s.finished || !s.started) {
      if (s.try_claim()) {  // not while another thread steps it
        finish(s);
        s.release();
      }
      return none();
    }
    Ref exit = own(PyObject_CallNoArgs(PyExc_GeneratorExit));
    try {
      Outcome out = step(s, {}, std::move(exit));
      if (out.kind == compat::send_next) raise(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
    } catch (PythonError& e) {
      if (!e.matches(PyExc_GeneratorExit) && !e.matches(PyExc_StopIteration)) throw;
    }
    return none();
  });
}

void raise_awaited_already() { raise(PyExc_RuntimeError, "coroutine is being awaited already"); }

}  // namespace driver

using namespace driver;

// ------------------------------------------------------------ body helpers

void Await::await_suspend(Task::Handle h) noexcept {
  frame = h.promise().frame;
  FrameAccess::delegate(*frame).set(std::move(iterator));
}

Ref Await::await_resume() {
  Ref error = std::move(frame->resume_error_);
  Ref value = std::move(frame->resume_value_);
  if (error) {
    if (stop_async_iteration_ends && PyErr_GivenExceptionMatches(error.get(), PyExc_StopAsyncIteration)) return {};
    throw PythonError(std::move(error));
  }
  return value;
}

namespace {

// A generator made awaitable by types.coroutine.
bool is_iterable_coroutine(PyObject* o) {
  if (!PyGen_CheckExact(o)) return false;
  Ref code = own(PyObject_GetAttr(o, core_names.gi_code));
  return (reinterpret_cast<PyCodeObject*>(code.get())->co_flags & CO_ITERABLE_COROUTINE) != 0;
}

bool is_coroutine_object(PyObject* o) { return PyCoro_CheckExact(o) || Py_TYPE(o) == &CoroutineType; }

bool awaited_already(PyObject* coro) {
  if (Py_TYPE(coro) == &CoroutineType) return FrameAccess::suspended_in_await(as_coroutine(coro)->st().frame);
  Ref awaiting = own(PyObject_GetAttr(coro, core_names.cr_await));
  return !awaiting.is(Py_None);
}

}  // namespace

// The parameter is emptied at once: a call's arguments live to the end of the
// full expression, which here spans the suspension, where the garbage
// collector could not see them.
Await awaitable(Ref param) {
  Ref obj = std::move(param);
  PyObject* o = obj.get();
  if (is_coroutine_object(o)) {
    if (awaited_already(o)) raise_awaited_already();
    return Await{std::move(obj)};
  }
  if (is_iterable_coroutine(o)) return Await{std::move(obj)};
  PyTypeObject* type = Py_TYPE(o);
  unaryfunc get = type->tp_as_async ? type->tp_as_async->am_await : nullptr;
  if (!get) raise_format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", type->tp_name);
  Ref it = own(get(o));
  if (is_coroutine_object(it.get())) raise(PyExc_TypeError, "__await__() returned a coroutine");
  if (!PyIter_Check(it.get())) {
    raise_format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it.get())->tp_name);
  }
  return Await{std::move(it)};
}

Handling::Handling(Frame& f, const Local& exc) : frame_(f), outer_(f, std::move(f.handled_)) {
  f.handled_ = exc.ref();
  if (f.entry_) f.entry_->set(f.handled_.get());
}

Handling::~Handling() {
  if (compat::thread_is_ending()) return;
  frame_.handled_ = outer_.ref();
  if (frame_.entry_) frame_.entry_->set(frame_.handled_.get());
}

Ref aiter(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  unaryfunc get = type->tp_as_async ? type->tp_as_async->am_aiter : nullptr;
  if (!get) {
    raise_format(PyExc_TypeError, "'async for' requires an object with __aiter__ method, got %.100s", type->tp_name);
  }
  Ref it = own(get(obj));
  PyTypeObject* it_type = Py_TYPE(it.get());
  if (!it_type->tp_as_async || !it_type->tp_as_async->am_anext) {
    raise_format(PyExc_TypeError,
                 "'async for' received an object from __aiter__ that does not implement __anext__: %.100s",
                 it_type->tp_name);
  }
  return it;
}

// The slot is read at each step, as `async for` reads it: the iterator may have
// lost __anext__ since aiter (its class changed, or the method was deleted).
Await anext(PyObject* it) {
  PyTypeObject* type = Py_TYPE(it);
  unaryfunc get = type->tp_as_async ? type->tp_as_async->am_anext : nullptr;
  if (!get) {
    raise_format(PyExc_TypeError, "'async for' requires an iterator with __anext__ method, got %.100s",
                 type->tp_name);
  }
  Ref next = own(get(it));
  try {
    Await await = awaitable(Ref(next));
    await.stop_async_iteration_ends = true;
    return await;
  } catch (PythonError& e) {
    Ref cause = e.take();
    PyErr_Format(PyExc_TypeError, "'async for' received an invalid object from __anext__: %.100s",
                 Py_TYPE(next.get())->tp_name);
    throw_from(PythonError().take(), std::move(cause));
  }
}

}  // namespace orv
