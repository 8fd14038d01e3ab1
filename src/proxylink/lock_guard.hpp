// Holds a Python lock (a threading.Lock) for one scope.
//
// Only dictionary operations that run no Python code may happen while it is
// held: nothing that allocates objects tracked by the garbage collector, calls
// a Python method or checks for signals, since a collection may run a finaliser
// that unregisters a callable or releases a proxy, and that needs the lock.
//
// Should a finaliser still reach the same lock on the same thread (through a
// hostile key's __eq__ or __del__ inside a dictionary operation), the second
// acquisition raises RuntimeError instead of waiting for ever on itself.
#pragma once
#include "proxylink/state.hpp"

#include <array>

namespace proxylink {

class LockGuard {
 public:
  explicit LockGuard(PyObject* lock) : lock_(lock) {
    for (size_t i = 0; i < depth_; ++i) {
      if (held_[i] == lock_) orv::raise(PyExc_RuntimeError, "messaging lock re-entered on the thread that holds it");
    }
    if (depth_ == held_.size()) orv::raise(PyExc_RuntimeError, "messaging locks nested too deeply");
    call_method(lock_, names.acquire);
    held_[depth_++] = lock_;
  }
  // An error raised under the lock stays set across the release, to be thrown
  // once the lock is let go (making the exception object could run a collection).
  ~LockGuard() {
    --depth_;
    if (orv::compat::thread_is_ending()) return;
    orv::compat::SavedError pending;
    PyObject* argv[] = {lock_};
    PyObject* r = PyObject_VectorcallMethod(names.release, argv, 1, nullptr);
    if (r) {
      Py_DECREF(r);
    } else {
      orv::PythonError().discard(lock_);
    }
  }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  PyObject* lock_;  // borrowed: the caller keeps it alive
  // The locks this thread holds, innermost last; the channel takes one at a time.
  static inline thread_local std::array<PyObject*, 4> held_{};
  static inline thread_local size_t depth_ = 0;
};

}  // namespace proxylink
