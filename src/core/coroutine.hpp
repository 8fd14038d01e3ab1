// Coroutines for Python written as C++20 coroutines.
//
// A coroutine function is a Python callable built from a CoroutineDef. Calling
// it checks the arguments (TypeError before anything else exists) and returns a
// Python coroutine object (send, throw, close, __await__) that drives a C++
// body. The body suspends only at `co_await orv::awaitable(obj)`, which
// delegates to `obj.__await__()` exactly as `yield from` does: the driver
// forwards send/throw/close to that iterator, and the co_await evaluates to its
// result or throws the exception it ended with as an orv::PythonError.
//
// Writing a body:
//
//   // Ordinary functions build what is awaited; their temporaries die with them.
//   Ref send_update(PyObject* target) { ... return call_method(manager, send_to_ide, update); }
//
//   orv::Task handle_thing(orv::Frame& f) {
//     PyObject* message = f.arg(1);                  // arguments live as long as the coroutine
//     orv::Local target(f, message_get(message, k));  // held across an await: seen by the GC
//     co_await orv::awaitable(send_update(target.get()));
//     orv::Local items(f, orv::aiter(source));        // async for item in source:
//     while (Ref item = co_await orv::anext(items.get())) {
//       orv::Local current(f, std::move(item));       // the loop body awaits too
//       co_await orv::awaitable(handle(current.get()));
//     }
//     co_return orv::none();
//   }
//
//   const orv::CoroutineDef thing_def{{.function = "handle_thing", .names = {"client_id", "message"}, .required = 2},
//                                     {orv::Accept::str, orv::Accept::dict},
//                                     "handle_thing(client_id: str, message: dict) -> None\n\nDoc.",
//                                     handle_thing};
//   Ref fn = orv::make_coroutine_function(thing_def, module_name);
//
// Rules for bodies, so that the garbage collector sees every reference a
// suspended coroutine owns:
//  - an object kept across a co_await sits in an orv::Local (or is an
//    argument), never in a plain Ref that is still alive at the co_await;
//  - the operand of co_await is `orv::awaitable(f(...))` with only borrowed
//    pointers in the call: the temporaries of a full expression live across the
//    suspension, so a Ref temporary there would hold its object unseen.
// Exceptions are orv::PythonError; catch them like `except`, rethrow with
// `throw;`. C++ allows no co_await inside a catch block, so `except Exception
// as e: await report(e)` keeps the exception and handles it after the block,
// where an orv::Handling makes it the exception being handled again:
//
//   orv::Local error(f);
//   try { ... } catch (orv::PythonError& e) {
//     if (!e.matches(PyExc_Exception)) throw;
//     error = e.take();
//   }
//   if (error) {
//     orv::Handling handling(f, error);  // sys.exc_info(), and __context__ of what is raised
//     co_await orv::awaitable(report(error.get()));
//   }
//
// Closing or dropping an unfinished coroutine destroys the C++ frame:
// destructors run, no further body code does.
#pragma once
#include "core/args.hpp"

#include <array>
#include <atomic>
#include <coroutine>
#include <exception>

namespace orv {

class Frame;

// The return type of a coroutine body.
class Task {
 public:
  struct promise_type {
    explicit promise_type(Frame& f) noexcept : frame(&f) {}
    Task get_return_object() noexcept {
      return Task(std::coroutine_handle<promise_type>::from_promise(*this));
    }
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_value(Ref value) noexcept { result = std::move(value); }
    void unhandled_exception() noexcept {
      // The finalising interpreter ending a daemon thread unwinds it through
      // the body; that unwinding must go no further (see error.hpp).
      if (compat::thread_is_ending()) stop_foreign_unwinding();
      error = std::current_exception();
    }

    Frame* frame;
    Ref result;
    std::exception_ptr error;
  };
  using Handle = std::coroutine_handle<promise_type>;

  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() {
    if (handle_) handle_.destroy();
  }
  Handle release() noexcept { return std::exchange(handle_, nullptr); }

 private:
  explicit Task(Handle h) noexcept : handle_(h) {}
  Handle handle_;
};

class Local;

// The iterator a suspended body awaits. Only the thread that runs the
// coroutine changes it, but `cr_await` reads it from any thread: a reader
// takes its reference under a flag that a writer holds while it swaps, and
// the replaced reference is let go after the flag (its __del__ may read it).
class DelegateSlot {
 public:
  // For the thread that runs the coroutine, which alone changes the slot.
  PyObject* get() const noexcept { return ref_.get(); }
  explicit operator bool() const noexcept { return static_cast<bool>(ref_); }
  // For any thread.
  Ref read() const noexcept {
    Hold hold(flag_);
    return ref_;
  }
  void set(Ref value) noexcept {
    Ref replaced;
    {
      Hold hold(flag_);
      replaced = std::exchange(ref_, std::move(value));
    }
  }
  void reset() noexcept { set({}); }

 private:
  struct Hold {
    explicit Hold(std::atomic_flag& f) noexcept : flag(f) {
      while (flag.test_and_set(std::memory_order_acquire)) {
      }
    }
    ~Hold() { flag.clear(std::memory_order_release); }
    std::atomic_flag& flag;
  };
  Ref ref_;
  mutable std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
};

// The part of a Python coroutine object that a body sees: its arguments and the
// objects it holds across suspensions. It lives inside the Python object, so its
// address is stable for the whole life of the body.
class Frame {
 public:
  static constexpr size_t max_args = 4;

  PyObject* arg(size_t i) const noexcept { return args_[i].get(); }

 private:
  friend class Local;
  friend struct Await;
  friend struct FrameAccess;
  friend class Handling;
  std::array<Ref, max_args> args_;
  Local* locals_ = nullptr;  // intrusive list of the body's live Locals
  DelegateSlot delegate_;    // the iterator being awaited, while suspended
  Ref resume_value_;         // what the pending co_await evaluates to...
  Ref resume_error_;         // ...or the exception it raises
  Ref handled_;              // the exception being handled (see Handling), if any
  compat::HandledEntry* entry_ = nullptr;  // the thread's entry for it, while the driver runs
};

// A reference held by a coroutine body across suspensions. While it exists the
// owning coroutine object reports it to the garbage collector.
class Local {
 public:
  explicit Local(Frame& f, Ref value = {}) noexcept : value_(std::move(value)), frame_(&f) {
    next_ = f.locals_;
    if (next_) next_->prev_ = this;
    f.locals_ = this;
  }
  ~Local() {
    if (prev_) prev_->next_ = next_;
    else frame_->locals_ = next_;
    if (next_) next_->prev_ = prev_;
  }
  Local(const Local&) = delete;
  Local& operator=(const Local&) = delete;
  Local& operator=(Ref value) noexcept {
    value_ = std::move(value);
    return *this;
  }

  PyObject* get() const noexcept { return value_.get(); }
  const Ref& ref() const noexcept { return value_; }
  explicit operator bool() const noexcept { return static_cast<bool>(value_); }

 private:
  friend struct FrameAccess;
  Ref value_;
  Frame* frame_;
  Local* prev_ = nullptr;
  Local* next_ = nullptr;
};

// The body of an `except` block that awaits: while it lives, `exc` is the
// exception being handled, for the body and for everything it awaits, as a
// native coroutine's own is: sys.exc_info() returns it, and an exception
// raised meanwhile gets it as its __context__. Nests like except blocks do.
class Handling {
 public:
  Handling(Frame& f, const Local& exc);
  ~Handling();
  Handling(const Handling&) = delete;
  Handling& operator=(const Handling&) = delete;

 private:
  Frame& frame_;
  Local outer_;  // the one handled before, back in place at the end
};

// `co_await orv::awaitable(obj)`: obj's await iterator is taken at once (a
// TypeError for an object that cannot be awaited is thrown here, in the body).
struct Await {
  Ref iterator;
  bool stop_async_iteration_ends = false;  // for anext: StopAsyncIteration -> empty Ref
  Frame* frame = nullptr;

  bool await_ready() const noexcept { return false; }
  void await_suspend(Task::Handle h) noexcept;
  Ref await_resume();
};

Await awaitable(Ref obj);
// `aiter(obj)`: obj.__aiter__().
Ref aiter(PyObject* obj);
// `co_await anext(it)`: the next item of an asynchronous iterator, or an empty
// Ref once it raises StopAsyncIteration (the end of an `async for`).
Await anext(PyObject* it);

// What calling a coroutine function accepts for each parameter.
enum class Accept : unsigned char { unset, any, str, dict, str_or_none };

// One Accept per parameter, written as a braced list; a list longer than a
// frame holds does not compile.
struct AcceptList {
  std::array<Accept, Frame::max_args> items{};  // the entries, then unset

  constexpr size_t size() const noexcept {
    size_t n = 0;
    while (n < items.size() && items[n] != Accept::unset) ++n;
    return n;
  }
  constexpr Accept operator[](size_t i) const noexcept { return items[i]; }
};

namespace detail {
// Not constant expressions: reaching one in the constructor below makes the
// faulty definition a compile error that names the fault.
void coroutine_has_more_parameters_than_a_frame_holds();
void coroutine_needs_one_accept_entry_per_parameter();
}  // namespace detail

struct CoroutineDef {
  // Checked while compiling: at most Frame::max_args parameters, and one
  // Accept entry for each.
  consteval CoroutineDef(Signature signature, AcceptList accepted, const char* doc_text, Task (*fn)(Frame&))
      : sig(signature), accept(accepted), doc(doc_text), body(fn) {
    if (sig.names.size() > Frame::max_args) detail::coroutine_has_more_parameters_than_a_frame_holds();
    if (accept.size() != sig.names.size()) detail::coroutine_needs_one_accept_entry_per_parameter();
  }

  Signature sig;      // name and parameters, all by position or keyword
  AcceptList accept;  // one per parameter
  const char* doc;    // first line: the signature with declared types
  Task (*body)(Frame&);
};

// The Python callable for `def` (kept alive by the caller for the process).
// Its __module__ is `module_name`; asyncio.iscoroutinefunction recognises it.
Ref make_coroutine_function(const CoroutineDef& def, PyObject* module_name);

}  // namespace orv
