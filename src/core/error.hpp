// Python errors inside our C++: a PythonError owns the raised exception and
// leaves the interpreter's error indicator clear while it travels, so that
// destructors run during unwinding (and coroutine suspensions) may run Python
// code safely. `boundary` turns it back into a raised exception at the edge.
#pragma once
#include "core/ref.hpp"

#include <exception>
#include <type_traits>

namespace orv {

class PythonError : public std::exception {
 public:
  // Takes the currently raised exception; there must be one.
  PythonError();
  explicit PythonError(Ref exc) noexcept : exc_(std::move(exc)) {}

  // Raise it again in the interpreter (the error is moved out).
  void restore() noexcept;
  bool matches(PyObject* exc_type) const noexcept;
  PyObject* value() const noexcept { return exc_.get(); }
  Ref take() noexcept { return std::move(exc_); }
  // Reports the error to sys.unraisablehook with `context` as the object
  // involved (PyErr_WriteUnraisable), and drops it: for places that cannot
  // raise, such as finalisers and destructors.
  void discard(PyObject* context) noexcept;
  const char* what() const noexcept override { return "Python exception"; }

 private:
  Ref exc_;
};

// Set a Python exception of `type` with `message` and throw it.
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);
// Throw the exception that is currently set.
[[noreturn]] inline void throw_current() { throw PythonError(); }

// Checked conversions of C-API results: throw when the call failed.
inline Ref own(PyObject* p) {
  if (!p) throw PythonError();
  return Ref::steal(p);
}
inline int check(int r) {
  if (r < 0) throw PythonError();
  return r;
}
inline PyObject* check_ptr(PyObject* p) {
  if (!p && PyErr_Occurred()) throw PythonError();
  return p;
}

// What reaches an entry point that is not a C++ exception of ours: the forced
// unwinding by which the finalising interpreter ends a daemon thread. Going on
// would unwind the frames outside, destructors among them, which must not
// throw; the thread is left blocked instead, as the interpreter itself does
// from 3.14 on, until the process ends.
void stop_foreign_unwinding();

// Sets the interpreter's error indicator from the C++ exception being handled;
// called only inside a catch block (see boundary).
void raise_in_flight() noexcept;

// The one place where C++ exceptions become Python exceptions. Every slot,
// method and function entry goes through it. The body's return type picks the
// convention: a Ref body gives a new reference or nullptr, an int body its
// value or -1.
template <class F>
auto boundary(F&& body) noexcept {
  using Result = decltype(body());
  static_assert(std::is_same_v<Result, Ref> || std::is_same_v<Result, int>,
                "a boundary body returns a Ref (object slots) or an int (status slots)");
  try {
    if constexpr (std::is_same_v<Result, int>) {
      return body();
    } else {
      return body().release();
    }
  } catch (...) {
    raise_in_flight();
  }
  if constexpr (std::is_same_v<Result, int>) {
    return -1;
  } else {
    return static_cast<PyObject*>(nullptr);
  }
}

}  // namespace orv
