// Holds a Python lock (a threading.Lock) for one scope.
//
// Only map operations may run while it is held: nothing that can run Python
// code or allocate objects tracked by the garbage collector, since a
// collection may finalise a proxy, whose release request would need the lock.
#pragma once
#include "proxylink/state.hpp"

namespace proxylink {

class LockGuard {
 public:
  explicit LockGuard(PyObject* lock) : lock_(lock) { call_method(lock_, names.acquire); }
  ~LockGuard() {
    if (orv::compat::thread_is_ending()) return;
    PyObject* argv[] = {lock_};
    PyObject* r = PyObject_VectorcallMethod(names.release, argv, 1, nullptr);
    if (r) {
      Py_DECREF(r);
    } else {
      PyErr_WriteUnraisable(lock_);
    }
  }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  PyObject* lock_;  // borrowed: the caller keeps it alive
};

}  // namespace proxylink
