// Bounds C++ recursion that user data drives (nested containers, awaits
// nested through sends): RecursionError instead of a crash.
#pragma once
#include "core/error.hpp"

namespace orv {

// One level of such recursion, for as long as it lives. Counts against the
// interpreter's recursion limit, and also refuses when the thread's stack is
// nearly used up, whatever that limit was raised to. `where` completes the
// message "maximum recursion depth exceeded".
class Nesting {
 public:
  explicit Nesting(const char* where);
  ~Nesting();
  Nesting(const Nesting&) = delete;
  Nesting& operator=(const Nesting&) = delete;
};

}  // namespace orv
