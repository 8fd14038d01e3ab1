#include "core/nesting.hpp"

#include <algorithm>

namespace orv {

Nesting::Nesting(const char* where) {
  // What a leaf may still need below the deepest level (creating a proxy
  // class, a date parse, a call into Python), less on small stacks.
  const compat::StackRoom room = compat::stack_room();
  if (room.left >= 0 && room.left < std::min<std::ptrdiff_t>(256 * 1024, room.size / 4)) {
    raise_format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
  }
  if (Py_EnterRecursiveCall(where)) throw_current();
}

Nesting::~Nesting() {
  if (!compat::thread_is_ending()) Py_LeaveRecursiveCall();
}

}  // namespace orv
