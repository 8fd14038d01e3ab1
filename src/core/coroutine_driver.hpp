// The driver of the coroutines with C++ bodies (coroutine.cpp), as the
// Python types that carry them (coroutine_types.cpp) use it. Internal to core.
#pragma once
#include "core/coroutine.hpp"

#include <new>

namespace orv {

struct FrameAccess {
  static DelegateSlot& delegate(Frame& f) noexcept { return f.delegate_; }
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

namespace driver {

using compat::SendResult;

struct State {
  const CoroutineDef* def;
  Frame frame;
  Task::Handle handle{};
  bool started = false;
  // Claimed by the one thread that steps the coroutine (Claim): two threads
  // that send to it at once must not both resume its frame.
  std::atomic<bool> running = false;
  bool finished = false;

  bool try_claim() noexcept {
    bool idle = false;
    return running.compare_exchange_strong(idle, true, std::memory_order_acq_rel);
  }
  void release() noexcept { running.store(false, std::memory_order_release); }
};

struct CoroutineObject {
  PyObject_HEAD
  PyObject* weakrefs;
  alignas(State) unsigned char storage[sizeof(State)];

  State& st() noexcept { return *std::launder(reinterpret_cast<State*>(storage)); }
};

inline CoroutineObject* as_coroutine(PyObject* o) { return reinterpret_cast<CoroutineObject*>(o); }

// The coroutine type (coroutine_types.cpp).
extern PyTypeObject CoroutineType;

// The outcome of one call into an iterator: next (value yielded), return
// (value returned) or error (value is the exception).
struct Outcome {
  SendResult kind;
  Ref value;
};

// The body is over: destroy its frame (its destructors release what it
// holds) and everything the driver kept for it. No body code runs again.
void finish(State& s) noexcept;
// Feeds `value`, or the exception `exc` when given, to the coroutine where it
// is suspended. Returns next with the value to yield or return with the body's
// result; errors are thrown.
Outcome step(State& s, Ref value, Ref exc);
// StopIteration(value), built with a one-argument call so that a tuple stays whole.
void set_stop_iteration(PyObject* value);

// The Python-facing forms of a step: send (a method result: the yielded value,
// or StopIteration for the return), am_send, throw and close.
PyObject* step_as_method(PyObject* coro, Ref value, Ref exc);
SendResult step_as_send(PyObject* coro, PyObject* arg, PyObject** result);
PyObject* coroutine_throw_impl(PyObject* coro, PyObject* const* args, Py_ssize_t nargs);
PyObject* coroutine_close_impl(PyObject* coro);

// A second awaiter of a coroutine that waits in an await is refused, as the
// interpreter refuses it for native coroutines.
[[noreturn]] void raise_awaited_already();

}  // namespace driver
}  // namespace orv
