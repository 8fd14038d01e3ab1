// Argument handling shared by every exported function and method: the exact
// type check of declared parameters and a parser for vectorcall arguments
// whose errors read like those of a Python function.
#pragma once
#include "core/error.hpp"

#include <array>
#include <span>

namespace orv {

// Declared `dict`, `int`, `str` parameters accept exactly that type.
void require_exact(PyObject* value, PyTypeObject* type, const char* arg_name);
// The same, with None also accepted.
void require_exact_or_none(PyObject* value, PyTypeObject* type, const char* arg_name);

// The parameter names of a function, written as a braced list of literals.
// A list longer than `capacity` does not compile.
struct ParamNames {
  static constexpr size_t capacity = 8;
  std::array<const char*, capacity> items{};  // the names, then nullptr

  constexpr size_t size() const noexcept {
    size_t n = 0;
    while (n < capacity && items[n]) ++n;
    return n;
  }
  constexpr const char* operator[](size_t i) const noexcept { return items[i]; }
  constexpr const char* const* begin() const noexcept { return items.data(); }
  constexpr const char* const* end() const noexcept { return items.data() + size(); }
};

// Signature of a function for the parser, written with designated
// initialisers: {.function = "f", .names = {"a", "b"}, .required = 1}.
// The first `required` names are required; the others are optional.
// `self_counted` adds one to the positional counts in messages, as Python
// does for methods.
struct Signature {
  const char* function;
  ParamNames names{};
  size_t required = 0;
  bool self_counted = false;
};

// Binds positional and keyword vectorcall arguments to `out` (borrowed
// pointers, nullptr for an omitted optional parameter). `out` must have one
// slot per name.
void parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, std::span<PyObject*> out);

}  // namespace orv
