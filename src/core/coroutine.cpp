// The driver behind orv::Task bodies and the three Python types that carry
// them: the coroutine, its __await__ iterator and the coroutine function.
//
// Delegation follows `yield from`: while the body waits in a co_await, every
// send/throw goes to the awaited iterator, and what it yields goes out to the
// caller unchanged. When the iterator returns or raises, the body resumes with
// that outcome, runs to its next co_await (whose iterator is started at once
// with None) or to its end.
#include "core/coroutine.hpp"

#include "core/recursion.hpp"

#include <new>
#include <string>

namespace orv {

using compat::SendResult;

struct FrameAccess {
  static Ref& delegate(Frame& f) noexcept { return f.delegate_; }
  static void set_resume(Frame& f, Ref value, Ref error) noexcept {
    f.resume_value_ = std::move(value);
    f.resume_error_ = std::move(error);
  }
  static int traverse(Frame& f, visitproc visit, void* arg) {
    for (Ref& a : f.args_) Py_VISIT(a.get());
    for (Local* l = f.locals_; l; l = l->next_) Py_VISIT(l->value_.get());
    Py_VISIT(f.delegate_.get());
    Py_VISIT(f.resume_value_.get());
    Py_VISIT(f.resume_error_.get());
    Py_VISIT(f.handled_.get());
    return 0;
  }
  // While the driver runs the body or what it awaits, the thread's stack of
  // handled exceptions holds an entry for the body's own (see Handling).
  static void enter(Frame& f, compat::HandledEntry& entry) noexcept {
    entry.set(f.handled_.get());
    f.entry_ = &entry;
  }
  static void leave(Frame& f) noexcept { f.entry_ = nullptr; }
  // Whether the body waits in a co_await (not while the driver runs it).
  static bool suspended_in_await(Frame& f) noexcept { return f.delegate_ && !f.entry_; }
  static void set_args(Frame& f, std::span<PyObject*> args) noexcept {
    for (size_t i = 0; i < args.size(); ++i) f.args_[i] = Ref::borrow(args[i]);
  }
  // Locals are released by the body's own destructors; this drops the rest.
  static void clear(Frame& f) noexcept {
    f.delegate_.reset();
    f.resume_value_.reset();
    f.resume_error_.reset();
    f.handled_.reset();
    for (Ref& a : f.args_) a.reset();
  }
};

namespace {

// ---------------------------------------------------------------- the driver

struct State {
  const CoroutineDef* def;
  Frame frame;
  Task::Handle handle{};
  bool started = false;
  bool running = false;
  bool finished = false;
};

struct CoroutineObject {
  PyObject_HEAD
  PyObject* weakrefs;
  alignas(State) unsigned char storage[sizeof(State)];

  State& st() noexcept { return *std::launder(reinterpret_cast<State*>(storage)); }
};

extern PyTypeObject CoroutineType;
extern PyTypeObject WrapperType;
extern PyTypeObject FunctionType;

CoroutineObject* as_coroutine(PyObject* o) { return reinterpret_cast<CoroutineObject*>(o); }

// The body is over: destroy its frame (its destructors release what it
// holds) and everything the driver kept for it. No body code runs again.
void finish(State& s) noexcept {
  s.finished = true;
  if (Task::Handle h = std::exchange(s.handle, nullptr)) h.destroy();
  FrameAccess::clear(s.frame);
}

Ref fetch() { return PythonError().take(); }

// The outcome of one call into an iterator: next (value yielded), return
// (value returned) or error (value is the exception).
struct Outcome {
  SendResult kind;
  Ref value;
};

Outcome from_call(PyObject* result) {
  if (result) return {compat::send_next, Ref::steal(result)};
  if (PyObject* value = compat::take_stop_iteration_value()) return {compat::send_return, Ref::steal(value)};
  return {compat::send_error, fetch()};
}

Outcome send_into(PyObject* it, PyObject* value) {
  PyObject* result = nullptr;
  SendResult kind = compat::iter_send(it, value, &result);
  if (kind == compat::send_error) return {kind, fetch()};
  return {kind, Ref::steal(result)};
}

// Calls it.close() if it has one; an error it raises is returned.
Ref close_iter(PyObject* it) {
  PyObject* close = PyObject_GetAttrString(it, "close");
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
  PyObject* throw_method = PyObject_GetAttrString(it, "throw");
  if (!throw_method) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {compat::send_error, fetch()};
    PyErr_Clear();
    return {compat::send_error, std::move(exc)};
  }
  Ref method = Ref::steal(throw_method);
  return from_call(PyObject_CallOneArg(method.get(), exc.get()));
}

// A StopIteration leaving a body would end the awaiting caller's delegation
// silently; like a native coroutine, it becomes a RuntimeError.
[[noreturn]] void rethrow_body_error(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (PythonError& e) {
    if (!e.matches(PyExc_StopIteration)) throw;
    Ref cause = e.take();
    Ref replaced = own(PyObject_CallFunction(PyExc_RuntimeError, "s", "coroutine raised StopIteration"));
    PyException_SetContext(replaced.get(), Ref(cause).release());
    PyException_SetCause(replaced.get(), cause.release());
    throw PythonError(std::move(replaced));
  }
}

// For the length of one step: the coroutine runs, counts as one level of
// nesting, and has its handled exception on the thread's stack.
struct Running {
  explicit Running(State& s) : s_(s), nesting_(" while awaiting a coroutine") {
    s_.running = true;
    FrameAccess::enter(s_.frame, entry_);
  }
  ~Running() {
    FrameAccess::leave(s_.frame);
    s_.running = false;
  }
  State& s_;
  RecursionGuard nesting_;
  compat::HandledEntry entry_;
};

// Feeds `value`, or the exception `exc` when given, to the coroutine where it
// is suspended. Returns next with the value to yield or return with the body's
// result; errors are thrown.
Outcome step(State& s, Ref value, Ref exc) {
  if (s.running) raise(PyExc_ValueError, "coroutine already executing");
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
    Ref& delegate = FrameAccess::delegate(s.frame);
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

// StopIteration(value), built with a one-argument call so that a tuple stays whole.
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
      if (!s.running) finish(s);
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

// ------------------------------------------------------------ coroutine type

PyObject* coroutine_send(PyObject* self, PyObject* value) { return step_as_method(self, Ref::borrow(value), {}); }

PyObject* coroutine_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return coroutine_throw_impl(self, args, nargs);
}

PyObject* coroutine_close(PyObject* self, PyObject*) { return coroutine_close_impl(self); }

SendResult coroutine_am_send(PyObject* self, PyObject* arg, PyObject** result) {
  return step_as_send(self, arg, result);
}

PyObject* coroutine_await(PyObject* self);

int coroutine_traverse(PyObject* self, visitproc visit, void* arg) {
  return FrameAccess::traverse(as_coroutine(self)->st().frame, visit, arg);
}

int coroutine_clear(PyObject* self) {
  State& s = as_coroutine(self)->st();
  if (!s.running) finish(s);
  return 0;
}

// What a coroutine holds may be the next coroutine of a long chain: the
// trashcan defers the deeper ones instead of recursing through them all.
void coroutine_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  Py_TRASHCAN_BEGIN(self, coroutine_dealloc)
  CoroutineObject* co = as_coroutine(self);
  if (co->weakrefs) PyObject_ClearWeakRefs(self);
  finish(co->st());
  co->st().~State();
  Py_TYPE(self)->tp_free(self);
  Py_TRASHCAN_END
}

PyObject* coroutine_repr(PyObject* self) {
  return PyUnicode_FromFormat("<coroutine object %s at %p>", as_coroutine(self)->st().def->sig.function, self);
}

PyObject* coroutine_get_name(PyObject* self, void*) {
  return PyUnicode_FromString(as_coroutine(self)->st().def->sig.function);
}

PyObject* coroutine_get_running(PyObject* self, void*) {
  return PyBool_FromLong(as_coroutine(self)->st().running);
}

PyObject* coroutine_get_await(PyObject* self, void*) {
  const Ref& delegate = FrameAccess::delegate(as_coroutine(self)->st().frame);
  return compat::new_ref(delegate ? delegate.get() : Py_None);
}

PyMethodDef coroutine_methods[] = {
    {"send", coroutine_send, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(coroutine_throw), METH_FASTCALL,
     "throw(typ[,val[,tb]]) -> raise exception in coroutine,\nreturn next iterated value or raise StopIteration."},
    {"close", coroutine_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coroutine_getset[] = {
    {"__name__", coroutine_get_name, nullptr, "name of the coroutine", nullptr},
    {"__qualname__", coroutine_get_name, nullptr, "qualified name of the coroutine", nullptr},
    {"cr_running", coroutine_get_running, nullptr, "whether the coroutine is running", nullptr},
    {"cr_await", coroutine_get_await, nullptr, "object being awaited on, or None", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyAsyncMethods coroutine_async = {coroutine_await, nullptr, nullptr};

PyTypeObject CoroutineType = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "orvane_master.coroutine";
  t.tp_basicsize = sizeof(CoroutineObject);
  t.tp_dealloc = coroutine_dealloc;
  t.tp_as_async = &coroutine_async;
  t.tp_repr = coroutine_repr;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  t.tp_doc = "A coroutine whose body is C++.";
  t.tp_traverse = coroutine_traverse;
  t.tp_clear = coroutine_clear;
  t.tp_weaklistoffset = offsetof(CoroutineObject, weakrefs);
  t.tp_methods = coroutine_methods;
  t.tp_getset = coroutine_getset;
  return t;
}();

// -------------------------------------------------- __await__ iterator type

struct WrapperObject {
  PyObject_HEAD
  PyObject* coro;
};

// A second awaiter of a coroutine that waits in an await is refused, as the
// interpreter refuses it for native coroutines.
[[noreturn]] void raise_awaited_already() { raise(PyExc_RuntimeError, "coroutine is being awaited already"); }

PyObject* coroutine_await(PyObject* self) {
  return boundary([&] {
    if (FrameAccess::suspended_in_await(as_coroutine(self)->st().frame)) raise_awaited_already();
    WrapperObject* wrapper = PyObject_GC_New(WrapperObject, &WrapperType);
    if (!wrapper) throw PythonError();
    wrapper->coro = compat::new_ref(self);
    PyObject_GC_Track(wrapper);
    return Ref::steal(reinterpret_cast<PyObject*>(wrapper));
  });
}

PyObject* wrapped(PyObject* self) { return reinterpret_cast<WrapperObject*>(self)->coro; }

// A return value of None ends the iteration without an exception set.
PyObject* wrapper_next(PyObject* self) {
  return boundary([&]() -> Ref {
    Outcome out = step(as_coroutine(wrapped(self))->st(), none(), {});
    if (out.kind == compat::send_next) return std::move(out.value);
    if (out.value.is(Py_None)) return {};
    set_stop_iteration(out.value.get());
    throw PythonError();
  });
}

PyObject* wrapper_send(PyObject* self, PyObject* value) { return coroutine_send(wrapped(self), value); }
PyObject* wrapper_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return coroutine_throw_impl(wrapped(self), args, nargs);
}
PyObject* wrapper_close(PyObject* self, PyObject*) { return coroutine_close_impl(wrapped(self)); }
SendResult wrapper_am_send(PyObject* self, PyObject* arg, PyObject** result) {
  return step_as_send(wrapped(self), arg, result);
}

int wrapper_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(wrapped(self));
  return 0;
}

int wrapper_clear(PyObject* self) {
  Py_CLEAR(reinterpret_cast<WrapperObject*>(self)->coro);
  return 0;
}

void wrapper_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  wrapper_clear(self);
  Py_TYPE(self)->tp_free(self);
}

PyMethodDef wrapper_methods[] = {
    {"send", wrapper_send, METH_O, "send(arg) -> send 'arg' into the wrapped coroutine."},
    {"throw", reinterpret_cast<PyCFunction>(wrapper_throw), METH_FASTCALL,
     "throw(typ[,val[,tb]]) -> raise exception in the wrapped coroutine."},
    {"close", wrapper_close, METH_NOARGS, "close() -> raise GeneratorExit inside the wrapped coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods wrapper_async = {nullptr, nullptr, nullptr};

PyTypeObject WrapperType = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "orvane_master.coroutine_wrapper";
  t.tp_basicsize = sizeof(WrapperObject);
  t.tp_dealloc = wrapper_dealloc;
  t.tp_as_async = &wrapper_async;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  t.tp_doc = "The iterator that __await__ of a C++ coroutine returns.";
  t.tp_traverse = wrapper_traverse;
  t.tp_clear = wrapper_clear;
  t.tp_iter = PyObject_SelfIter;
  t.tp_iternext = wrapper_next;
  t.tp_methods = wrapper_methods;
  return t;
}();

// ---------------------------------------------------- coroutine function type

struct FunctionObject {
  PyObject_HEAD
  const CoroutineDef* def;
  PyObject* dict;
  vectorcallfunc vectorcall;
};

const CoroutineDef& def_of(PyObject* self) { return *reinterpret_cast<FunctionObject*>(self)->def; }

void check_accepted(Accept accept, PyObject* value, const char* name) {
  switch (accept) {
    case Accept::unset:
    case Accept::any: break;
    case Accept::str: require_exact(value, &PyUnicode_Type, name); break;
    case Accept::dict: require_exact(value, &PyDict_Type, name); break;
    case Accept::str_or_none: require_exact_or_none(value, &PyUnicode_Type, name); break;
  }
}

Ref new_coroutine(const CoroutineDef& def, std::span<PyObject*> args) {
  CoroutineObject* co = PyObject_GC_New(CoroutineObject, &CoroutineType);
  if (!co) throw PythonError();
  co->weakrefs = nullptr;
  State& s = *new (co->storage) State{};
  s.def = &def;
  Ref obj = Ref::steal(reinterpret_cast<PyObject*>(co));  // dealloc copes with a partial state
  FrameAccess::set_args(s.frame, args);
  s.handle = def.body(s.frame).release();
  PyObject_GC_Track(obj.get());
  return obj;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return boundary([&] {
    const CoroutineDef& def = def_of(self);
    std::array<PyObject*, Frame::max_args> argv{};
    const size_t count = def.sig.names.size();
    std::span<PyObject*> bound(argv.data(), count);
    parse_args(def.sig, args, PyVectorcall_NARGS(nargsf), kwnames, bound);
    for (size_t i = 0; i < count; ++i) check_accepted(def.accept[i], bound[i], def.sig.names[i]);
    return new_coroutine(def, bound);
  });
}

PyObject* function_get_name(PyObject* self, void*) { return PyUnicode_FromString(def_of(self).sig.function); }
PyObject* function_get_doc(PyObject* self, void*) { return PyUnicode_FromString(def_of(self).doc); }

// "(a, b)": read by inspect.signature.
PyObject* function_get_text_signature(PyObject* self, void*) {
  std::string text = "(";
  const char* sep = "";
  for (const char* name : def_of(self).sig.names) {
    text += sep;
    text += name;
    sep = ", ";
  }
  text += ")";
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<coroutine function %s>", def_of(self).sig.function);
}

// Like a built-in function, it is not bound when found on a class.
PyObject* function_descr_get(PyObject* self, PyObject*, PyObject*) { return compat::new_ref(self); }

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(reinterpret_cast<FunctionObject*>(self)->dict);
  return 0;
}

int function_clear(PyObject* self) {
  Py_CLEAR(reinterpret_cast<FunctionObject*>(self)->dict);
  return 0;
}

void function_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  function_clear(self);
  Py_TYPE(self)->tp_free(self);
}

PyGetSetDef function_getset[] = {
    {"__name__", function_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", function_get_name, nullptr, nullptr, nullptr},
    {"__doc__", function_get_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", function_get_text_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject FunctionType = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "orvane_master.coroutine_function";
  t.tp_basicsize = sizeof(FunctionObject);
  t.tp_dealloc = function_dealloc;
  t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
  t.tp_repr = function_repr;
  t.tp_call = PyVectorcall_Call;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
  t.tp_doc = "A function whose call returns a coroutine with a C++ body.";
  t.tp_traverse = function_traverse;
  t.tp_clear = function_clear;
  t.tp_getset = function_getset;
  t.tp_descr_get = function_descr_get;
  t.tp_dictoffset = offsetof(FunctionObject, dict);
  return t;
}();

void ready_types() {
  if (FunctionType.tp_flags & Py_TPFLAGS_READY) return;
  compat::set_am_send(coroutine_async, coroutine_am_send);
  compat::set_am_send(wrapper_async, wrapper_am_send);
  check(PyType_Ready(&CoroutineType));
  check(PyType_Ready(&WrapperType));
  check(PyType_Ready(&FunctionType));
}

// asyncio.iscoroutinefunction looks for `_is_coroutine` (up to 3.13);
// inspect.iscoroutinefunction honours inspect.markcoroutinefunction (3.12+).
void mark_as_coroutine_function(PyObject* fn) {
  Ref coroutines = own(PyImport_ImportModule("asyncio.coroutines"));
  if (PyObject* marker = PyObject_GetAttrString(coroutines.get(), "_is_coroutine")) {
    Ref held = Ref::steal(marker);
    check(PyObject_SetAttrString(fn, "_is_coroutine", marker));
  } else {
    PyErr_Clear();
  }
  Ref inspect = own(PyImport_ImportModule("inspect"));
  if (PyObject* mark = PyObject_GetAttrString(inspect.get(), "markcoroutinefunction")) {
    Ref held = Ref::steal(mark);
    own(PyObject_CallOneArg(mark, fn));
  } else {
    PyErr_Clear();
  }
}

}  // namespace

// ------------------------------------------------------------ body helpers

void Await::await_suspend(Task::Handle h) noexcept {
  frame = h.promise().frame;
  FrameAccess::delegate(*frame) = std::move(iterator);
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
  Ref code = own(PyObject_GetAttrString(o, "gi_code"));
  return (reinterpret_cast<PyCodeObject*>(code.get())->co_flags & CO_ITERABLE_COROUTINE) != 0;
}

bool is_coroutine_object(PyObject* o) { return PyCoro_CheckExact(o) || Py_TYPE(o) == &CoroutineType; }

bool awaited_already(PyObject* coro) {
  if (Py_TYPE(coro) == &CoroutineType) return FrameAccess::suspended_in_await(as_coroutine(coro)->st().frame);
  Ref awaiting = own(PyObject_GetAttrString(coro, "cr_await"));
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

Await anext(PyObject* it) {
  Ref next = own(Py_TYPE(it)->tp_as_async->am_anext(it));
  Await await = awaitable(std::move(next));
  await.stop_async_iteration_ends = true;
  return await;
}

Ref make_coroutine_function(const CoroutineDef& def, PyObject* module_name) {
  ready_types();
  FunctionObject* fn = PyObject_GC_New(FunctionObject, &FunctionType);
  if (!fn) throw PythonError();
  fn->def = &def;
  fn->dict = nullptr;
  fn->vectorcall = function_vectorcall;
  Ref obj = Ref::steal(reinterpret_cast<PyObject*>(fn));
  fn->dict = own(PyDict_New()).release();
  PyObject_GC_Track(obj.get());
  check(PyObject_SetAttrString(obj.get(), "__module__", module_name));
  mark_as_coroutine_function(obj.get());
  return obj;
}

}  // namespace orv
