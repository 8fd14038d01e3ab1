// Ref: the one owning handle for Python references.
//
// Rules:
//  1. A Ref owns exactly one strong reference or nothing.
//  2. It is made explicitly: Ref::steal for a new reference, Ref::borrow for a
//     borrowed one. There is no implicit conversion from PyObject*.
//  3. Parameters are borrowed PyObject*; anything that hands out a new
//     reference returns a Ref. release() is used only at the C-API boundary.
//     The caller keeps a parameter alive for the whole call.
//  4. Any other borrowed reference (from PyDict_GetItem*, PyDict_Next,
//     PyList_GET_ITEM, PyTuple_GET_ITEM, PySequence_Fast_ITEMS, or an item
//     reached through a borrowed container) is made a Ref before anything
//     that can run Python code: a truth test, a comparison, hashing,
//     attribute access, formatting, a call, letting go of a reference (a
//     __del__), or an allocation that can start a collection. That code may
//     empty the container, which may have held the only reference. Two items
//     read together are both owned before either is used or stored.
//  5. A type slot is read at the moment it is called, and checked then:
//     between two calls a class can lose the method behind it, and an object
//     can change its class.
#pragma once
#include "core/compat.hpp"

#include <utility>

namespace orv {

class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }

  Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~Ref() {
    if (p_ && !compat::thread_is_ending()) Py_DECREF(p_);
  }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  void reset() noexcept { Py_CLEAR(p_); }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  bool is(PyObject* other) const noexcept { return p_ == other; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool v) { return Ref::borrow(v ? Py_True : Py_False); }

}  // namespace orv
