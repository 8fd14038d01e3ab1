// Argument handling shared by every exported function and method: the exact
// type check of declared parameters and a parser for vectorcall arguments
// whose errors read like those of a Python function.
#pragma once
#include "core/error.hpp"

#include <initializer_list>
#include <span>
#include <vector>

namespace orv {

// Declared `dict`, `int`, `str` parameters accept exactly that type.
void require_exact(PyObject* value, PyTypeObject* type, const char* arg_name);
// The same, with None also accepted.
void require_exact_or_none(PyObject* value, PyTypeObject* type, const char* arg_name);

// Signature of a function for the parser. `required` names come first; the
// others are optional. `self_counted` adds one to the positional counts in
// messages, as Python does for methods.
struct Signature {
  const char* function;
  std::initializer_list<const char*> names;
  size_t required;
  bool self_counted = false;
};

// Binds positional and keyword vectorcall arguments to `out` (borrowed
// pointers, nullptr for an omitted optional parameter). `out` must have one
// slot per name.
void parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, std::span<PyObject*> out);

// Refuses any keyword argument and more or fewer positional arguments than
// given, for fixed-arity functions.
void require_no_kwargs(const char* function, PyObject* kwnames);

}  // namespace orv
