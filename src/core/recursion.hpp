// RecursionGuard: bounds C++ recursion that the data or a user's hooks
// control, with RecursionError instead of a crash.
//
// It counts against the interpreter's own recursion limit, as CPython's
// containers do, and also stops when the thread's stack runs low: a limit
// raised with sys.setrecursionlimit, or a thread started with a small stack,
// must still end in RecursionError.
#pragma once
#include "core/error.hpp"

#include <algorithm>

namespace orv {

class RecursionGuard {
 public:
  // `where` completes "maximum recursion depth exceeded", e.g. " while encoding".
  explicit RecursionGuard(const char* where) {
    // Room for what a leaf may still need below the deepest level (making a
    // class, parsing a date, a call into Python); less on small stacks.
    const compat::StackRoom room = compat::stack_room();
    if (room.left >= 0 && room.left < std::min<std::ptrdiff_t>(256 * 1024, room.size / 4)) {
      raise_format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
    }
    if (Py_EnterRecursiveCall(where)) throw_current();
  }
  ~RecursionGuard() {
    if (!compat::thread_is_ending()) Py_LeaveRecursiveCall();
  }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
};

}  // namespace orv
