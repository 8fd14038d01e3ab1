// The channel's locks (threading.Lock objects) and what may run under them.
//
// A Locked scope is the only way to hold a channel lock, and its members are
// all that may run while it is held: plain operations on dicts (the channel's
// own maps when they are exact dicts, and the instance dictionary), which run
// no Python code, check for no signals and allocate nothing the garbage
// collector tracks. A collection there could run a finaliser that unregisters
// a callable or releases a proxy, and that needs the lock. (Making a str or
// an int allocates nothing tracked either; next_callable_id in messaging.cpp
// is the one place that does so, and takes the Locked scope to say it runs
// inside one.) Errors are left set in the interpreter, to be thrown once the
// lock is let go: making the exception object could run a collection.
//
// Should a finaliser still reach the same lock on the same thread (through a
// hostile key's __eq__ or __del__ inside a dictionary operation), the second
// acquisition raises RuntimeError instead of waiting for ever on itself.
#pragma once
#include "proxylink/state.hpp"

#include <array>
#include <cassert>
#include <vector>

namespace proxylink {

class Locked {
 public:
  explicit Locked(PyObject* lock) : guard_(lock) {}

  // dict[key], or an empty Ref when absent or on error.
  Ref get(PyObject* dict, PyObject* key) {
    assert(PyDict_Check(dict));
    return Ref::steal(orv::compat::dict_get_ref(dict, key));
  }
  // dict[key] = value; false on error. The value replaced, if any, is kept in
  // `replaced`, to be let go after the lock (dropping it may run a finaliser).
  bool set(PyObject* dict, PyObject* key, PyObject* value, Ref& replaced) {
    replaced = get(dict, key);
    return !PyErr_Occurred() && PyDict_SetItem(dict, key, value) == 0;
  }
  // Removes dict[key] and returns its value; an empty Ref when absent or on error.
  Ref take(PyObject* dict, PyObject* key) {
    Ref value = get(dict, key);
    if (value && PyDict_DelItem(dict, key) < 0) value.reset();
    return value;
  }
  // Empties the dict into `keys` and `values`.
  void take_all(PyObject* dict, std::vector<Ref>& keys, std::vector<Ref>& values) {
    assert(PyDict_Check(dict));
    keys.reserve(static_cast<size_t>(PyDict_GET_SIZE(dict)));
    values.reserve(static_cast<size_t>(PyDict_GET_SIZE(dict)));
    orv::compat::locked_step(dict, [&] {
      Py_ssize_t pos = 0;
      PyObject *key, *value;
      while (PyDict_Next(dict, &pos, &key, &value)) {
        keys.push_back(Ref::borrow(key));
        values.push_back(Ref::borrow(value));
      }
    });
    PyDict_Clear(dict);  // drops no last reference: the vectors hold them
  }

 private:
  // Holds the lock for the scope.
  class Guard {
   public:
    explicit Guard(PyObject* lock) : lock_(lock) {
      for (size_t i = 0; i < depth_; ++i) {
        if (held_[i] == lock_) orv::raise(PyExc_RuntimeError, "messaging lock re-entered on the thread that holds it");
      }
      if (depth_ == held_.size()) orv::raise(PyExc_RuntimeError, "messaging locks nested too deeply");
      call_method(lock_, names.acquire);
      held_[depth_++] = lock_;
    }
    // An error raised under the lock stays set across the release.
    ~Guard() {
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
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    PyObject* lock_;  // borrowed: the caller keeps it alive
    // The locks this thread holds, innermost last; the channel takes one at a time.
    static inline thread_local std::array<PyObject*, 4> held_{};
    static inline thread_local size_t depth_ = 0;
  };
  Guard guard_;
};

}  // namespace proxylink
