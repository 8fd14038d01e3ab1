// Immortal: a strong reference held for the rest of the process.
//
// Module-wide objects made once at set-up (interned names, the objects the
// module bound, the wire templates) are never released: the module lives as
// long as the process (see module_rules.hpp), and at exit the interpreter may
// already be gone. Unlike a Ref, an Immortal therefore has no destructor that
// decrefs; the type says so where a plain PyObject* would not.
#pragma once
#include "core/error.hpp"

namespace orv {

class Immortal {
 public:
  constexpr Immortal() = default;
  // Takes over the reference `value` owns, for good.
  explicit Immortal(Ref value) noexcept : p_(value.release()) {}
  // The interned str `text`.
  static Immortal interned(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) throw_current();
    return Immortal(Ref::steal(s));
  }

  PyObject* get() const noexcept { return p_; }
  operator PyObject*() const noexcept { return p_; }  // borrowed, valid for the process

 private:
  PyObject* p_ = nullptr;
};

}  // namespace orv
