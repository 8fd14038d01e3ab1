#include "core/args.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace orv {

void require_exact(PyObject* value, PyTypeObject* type, const char* arg_name) {
  if (Py_TYPE(value) != type) {
    raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 arg_name, type->tp_name, Py_TYPE(value)->tp_name);
  }
}

void require_exact_or_none(PyObject* value, PyTypeObject* type, const char* arg_name) {
  if (value != Py_None) require_exact(value, type, arg_name);
}

namespace {

std::string quoted_list(const std::vector<const char*>& names) {
  std::string text;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += names.size() > 2 ? ", " : " ";
    if (i > 0 && i + 1 == names.size()) text += "and ";
    text += "'";
    text += names[i];
    text += "'";
  }
  return text;
}

[[noreturn]] void too_many_positional(const Signature& sig, Py_ssize_t given) {
  size_t extra = sig.self_counted ? 1 : 0;
  size_t lo = sig.required + extra, hi = sig.names.size() + extra;
  size_t shown_given = static_cast<size_t>(given) + extra;
  std::string takes = lo == hi ? std::to_string(hi) : "from " + std::to_string(lo) + " to " + std::to_string(hi);
  raise_format(PyExc_TypeError, "%s() takes %s positional argument%s but %zu %s given", sig.function,
               takes.c_str(), hi == 1 ? "" : "s", shown_given, shown_given == 1 ? "was" : "were");
}

}  // namespace

void parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::span<PyObject*> out) {
  const size_t count = sig.names.size();
  const ParamNames& names = sig.names;
  if (static_cast<size_t>(nargs) > count) too_many_positional(sig, nargs);
  for (size_t i = 0; i < count; ++i) out[i] = i < static_cast<size_t>(nargs) ? args[i] : nullptr;

  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    const char* key_text = PyUnicode_AsUTF8(key);
    if (!key_text) throw_current();
    size_t i = 0;
    while (i < count && std::strcmp(names[i], key_text) != 0) ++i;
    if (i == count) {
      raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", sig.function, key_text);
    }
    if (out[i]) {
      raise_format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.function, key_text);
    }
    out[i] = args[nargs + k];
  }

  std::vector<const char*> missing;
  for (size_t i = 0; i < sig.required; ++i) {
    if (!out[i]) missing.push_back(names[i]);
  }
  if (!missing.empty()) {
    raise_format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", sig.function,
                 missing.size(), missing.size() == 1 ? "" : "s", quoted_list(missing).c_str());
  }
}

}  // namespace orv
