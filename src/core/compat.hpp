// Small shims over the differences between the CPython versions we build for.
// Every version check of the project lives here.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstddef>
#if defined(__linux__) || defined(__APPLE__)
#include <pthread.h>
#elif defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace orv::compat {

// Takes the raised exception out of the error indicator as one normalised
// object whose __traceback__ holds the traceback; nullptr when none is set.
inline PyObject* fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (!type) return nullptr;
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb && value) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return value;
#endif
}

// Raises `exc` (a reference is stolen) with the traceback it carries.
inline void restore_exception(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
  Py_INCREF(type);
  PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

// Sets the raised error aside for one scope, without normalising it (which
// would allocate), and raises it again at the end of the scope.
class SavedError {
 public:
#if PY_VERSION_HEX >= 0x030C0000
  SavedError() : exc_(PyErr_GetRaisedException()) {}
  ~SavedError() { PyErr_SetRaisedException(exc_); }
#else
  SavedError() { PyErr_Fetch(&type_, &value_, &tb_); }
  ~SavedError() { PyErr_Restore(type_, value_, tb_); }
#endif
  SavedError(const SavedError&) = delete;
  SavedError& operator=(const SavedError&) = delete;

 private:
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exc_;
#else
  PyObject *type_, *value_, *tb_;
#endif
};

inline bool is_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// Whether this thread holds the GIL, without the checks of PyThreadState_Get.
inline bool holds_gil() {
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked() != nullptr;  // this thread's own, NULL when detached
#elif PY_VERSION_HEX >= 0x030C0000
  return _PyThreadState_UncheckedGet() != nullptr;
#else
  PyThreadState* holder = _PyThreadState_UncheckedGet();  // the GIL holder, any thread's
  return holder && holder == PyGILState_GetThisThreadState();
#endif
}

// Set by the exit hook that each module registers as it is imported
// (exit_watch.hpp). The interpreter runs its exit hooks before it begins to
// finalise, so while this is false no thread can be ending.
inline std::atomic<bool> exit_begun{false};

// True on a daemon thread that the finalising interpreter is ending: it went
// back for the GIL, found the interpreter gone, and is being unwound without
// the GIL. Such a thread must not touch any object on its way out (the
// objects it still refers to are then left to the end of the process).
// Every reference let go asks this: until the exit hooks have run, one load
// answers it instead of two calls into the interpreter.
inline bool thread_is_ending() {
  return exit_begun.load(std::memory_order_acquire) && is_finalizing() && !holds_gil();
}

// Whether object.__setattr__ refuses only type objects whose own assignment it
// would go around (from 3.13 on), rather than any object of such a type.
inline bool setattr_check_applies(PyObject* obj) {
#if PY_VERSION_HEX >= 0x030D0000
  return PyType_Check(obj);
#else
  (void)obj;
  return true;
#endif
}

inline PyObject* new_ref(PyObject* o) {
  Py_INCREF(o);
  return o;
}

// ---- Free-threaded builds ---------------------------------------------------------
// Without the GIL, a borrowed item of a dict or list that another thread
// changes may be freed before it is used, and a container iterated while
// another thread changes it may be read half-changed. The getters below hand
// out owned items on such builds; with the GIL, where the borrowed read made
// owned at once is just as safe, they keep its speed.

// dict[key] as a new reference: nullptr when absent, or on error (then set).
inline PyObject* dict_get_ref(PyObject* dict, PyObject* key) {
#ifdef Py_GIL_DISABLED
  PyObject* value = nullptr;
  return PyDict_GetItemRef(dict, key, &value) < 0 ? nullptr : value;
#else
  PyObject* value = PyDict_GetItemWithError(dict, key);
  Py_XINCREF(value);
  return value;
#endif
}

// list[i] as a new reference, for 0 <= i; nullptr, with no error set, once i
// is past the end (another thread may have shortened the list meanwhile).
inline PyObject* list_get_ref(PyObject* list, Py_ssize_t i) {
#ifdef Py_GIL_DISABLED
  PyObject* item = PyList_GetItemRef(list, i);
  if (!item) PyErr_Clear();
  return item;
#else
  return i < PyList_GET_SIZE(list) ? new_ref(PyList_GET_ITEM(list, i)) : nullptr;
#endif
}

// Runs `step` while holding the per-object lock of `op` on free-threaded
// builds (a critical section), as the interpreter's own operations on `op`
// do; elsewhere the GIL already excludes them. `step` must not raise a C++
// exception or run Python code: a critical section is suspended whenever the
// thread could block, so it orders single steps only.
template <class Step>
inline void locked_step(PyObject* op, Step&& step) noexcept {
#ifdef Py_GIL_DISABLED
  Py_BEGIN_CRITICAL_SECTION(op);
  step();
  Py_END_CRITICAL_SECTION();
#else
  (void)op;
  step();
#endif
}

// Whether a str holds its text in the canonical form, as every str does from
// 3.12 on; before, one made from wchar_t data may not yet.
inline bool unicode_is_ready(PyObject* s) {
#if PY_VERSION_HEX >= 0x030C0000
  (void)s;
  return true;
#else
  return PyUnicode_IS_READY(s);
#endif
}

// locked_step over two objects at once.
template <class Step>
inline void locked_pair(PyObject* a, PyObject* b, Step&& step) noexcept {
#ifdef Py_GIL_DISABLED
  Py_BEGIN_CRITICAL_SECTION2(a, b);
  step();
  Py_END_CRITICAL_SECTION2();
#else
  (void)a;
  (void)b;
  step();
#endif
}

}  // namespace orv::compat

namespace orv::compat {

// The result of sending into an iterator, with the values of PySendResult.
#if PY_VERSION_HEX >= 0x030A0000
using SendResult = PySendResult;
#else
enum SendResult { PYGEN_RETURN = 0, PYGEN_ERROR = -1, PYGEN_NEXT = 1 };
#endif
inline constexpr SendResult send_return = static_cast<SendResult>(0);
inline constexpr SendResult send_error = static_cast<SendResult>(-1);
inline constexpr SendResult send_next = static_cast<SendResult>(1);
using SendFunc = SendResult (*)(PyObject*, PyObject*, PyObject**);

// The two shims below take the interned names they look up from their caller
// (orv::core_names; this header sits below the core's state).

// With StopIteration raised, takes it and returns its attribute `value_name`
// (a new reference); otherwise returns nullptr and leaves the error as it is.
inline PyObject* take_stop_iteration_value(PyObject* value_name) {
  if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return nullptr;
  PyObject* exc = fetch_exception();
  PyObject* value = PyObject_GetAttr(exc, value_name);
  Py_DECREF(exc);
  return value;
}

// PyIter_Send: sends `arg` into an iterator (next() for None when it has
// __next__, else its method `send_name` called with exactly one argument).
inline SendResult iter_send(PyObject* iter, PyObject* arg, PyObject** result, PyObject* send_name,
                            PyObject* value_name) {
#if PY_VERSION_HEX >= 0x030A0000
  (void)send_name;
  (void)value_name;
  return PyIter_Send(iter, arg, result);
#else
  iternextfunc next = Py_TYPE(iter)->tp_iternext;
  if (arg == Py_None && next && next != &_PyObject_NextNotImplemented) *result = next(iter);
  else *result = PyObject_CallMethodObjArgs(iter, send_name, arg, nullptr);
  if (*result) return send_next;
  if (!PyErr_Occurred()) {
    *result = new_ref(Py_None);
    return send_return;
  }
  *result = take_stop_iteration_value(value_name);
  return *result ? send_return : send_error;
#endif
}

// The interpreter deprecated throw(type, value, traceback) in 3.12; from then
// on, like its own coroutines, ours warn when given more than one argument.
inline int warn_legacy_throw() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_WarnEx(PyExc_DeprecationWarning,
                      "the (type, exc, tb) signature of throw() is deprecated, "
                      "use the single-arg signature instead.",
                      1);
#else
  return 0;
#endif
}

// An entry on the thread's stack of exceptions being handled (what
// sys.exc_info() and implicit chaining read), pushed for as long as it lives,
// as the interpreter pushes a coroutine's own when resuming it. Empty, it lets
// the caller's handled exception show through. The entry owns its references:
// an `except` block run meanwhile saves and restores them in place.
class HandledEntry {
 public:
  HandledEntry() noexcept : tstate_(PyThreadState_Get()) {
    item_.previous_item = tstate_->exc_info;
    tstate_->exc_info = &item_;
  }
  ~HandledEntry() {
    if (thread_is_ending()) return;
    tstate_->exc_info = item_.previous_item;
    set(nullptr);
  }
  HandledEntry(const HandledEntry&) = delete;
  HandledEntry& operator=(const HandledEntry&) = delete;

  // Makes `exc` (an exception instance, or nullptr for none) the one handled.
  void set(PyObject* exc) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
    Py_XINCREF(exc);
    Py_XSETREF(item_.exc_value, exc);
#else
    PyObject* type = exc ? reinterpret_cast<PyObject*>(Py_TYPE(exc)) : nullptr;
    PyObject* traceback = exc ? PyException_GetTraceback(exc) : nullptr;  // new reference
    Py_XINCREF(type);
    Py_XINCREF(exc);
    PyObject* old[] = {item_.exc_type, item_.exc_value, item_.exc_traceback};
    item_.exc_type = type;
    item_.exc_value = exc;
    item_.exc_traceback = traceback;
    for (PyObject* o : old) Py_XDECREF(o);
#endif
  }

 private:
  PyThreadState* tstate_;
  _PyErr_StackItem item_{};
};

// Gives a type's async slots the am_send entry where the runtime has one.
inline void set_am_send(PyAsyncMethods& methods, SendFunc send) {
#if PY_VERSION_HEX >= 0x030A0000
  methods.am_send = send;
#else
  (void)methods;
  (void)send;
#endif
}

}  // namespace orv::compat

namespace orv::compat {

// The calling thread's stack: its size and the bytes left below the
// caller's frame, both -1 when the platform does not tell (then only the
// interpreter's recursion limit bounds the depth). Lets deep C++ recursion
// stop before the stack runs out even when that limit was raised.
struct StackRoom {
  std::ptrdiff_t size;
  std::ptrdiff_t left;
};

inline StackRoom stack_room() {
  struct Bounds {
    const char* low = nullptr;
    std::ptrdiff_t size = -1;
  };
  thread_local const Bounds bounds = [] {
    Bounds b;
#if defined(__linux__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      void* addr = nullptr;
      size_t size = 0;
      if (pthread_attr_getstack(&attr, &addr, &size) == 0) {
        b.low = static_cast<const char*>(addr);
        b.size = static_cast<std::ptrdiff_t>(size);
      }
      pthread_attr_destroy(&attr);
    }
#elif defined(__APPLE__)
    const size_t size = pthread_get_stacksize_np(pthread_self());
    b.low = static_cast<const char*>(pthread_get_stackaddr_np(pthread_self())) - size;
    b.size = static_cast<std::ptrdiff_t>(size);
#elif defined(_WIN32)
    ULONG_PTR low = 0, high = 0;
    GetCurrentThreadStackLimits(&low, &high);
    b.low = reinterpret_cast<const char*>(low);
    b.size = static_cast<std::ptrdiff_t>(high - low);
#endif
    return b;
  }();
  if (!bounds.low) return {-1, -1};
  const char probe = 0;
  return {bounds.size, &probe - bounds.low};
}

}  // namespace orv::compat
