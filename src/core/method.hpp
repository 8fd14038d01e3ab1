// Methods and module functions declared once: each row of a table gives the
// name and parameters (a Signature), the body and the doc, and the table
// yields both the PyMethodDef entries and the argument binding.
//
//   Ref get_callable(PyObject* self, orv::Args args) {  // args[0]: callable_id
//     ...
//   }
//   constexpr orv::MethodDecl messaging_methods[] = {
//       {{.function = "get_callable", .names = {"callable_id"}, .required = 1, .self_counted = true}, get_callable,
//        "get_callable(self, callable_id: str) -> Optional[Callable[..., Any]]\n\nDoc."},
//   };
//   auto methods = orv::method_defs<messaging_methods>();  // std::array<PyMethodDef, N>
//
// A body gets one borrowed pointer per declared parameter (nullptr for an
// omitted optional one) and runs inside orv::boundary. A row whose body is an
// orv::PassThrough takes the vectorcall arguments unbound (*args, **kwargs).
#pragma once
#include "core/args.hpp"
#include "core/pyclass.hpp"

#include <array>
#include <span>
#include <utility>

namespace orv {

using Args = std::span<PyObject* const>;
using BoundBody = Ref (*)(PyObject* self, Args args);
using PassThrough = Ref (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

struct MethodDecl {
  constexpr MethodDecl(Signature signature, BoundBody fn, const char* doc_text)
      : sig(signature), body(fn), doc(doc_text) {}
  constexpr MethodDecl(const char* name, PassThrough fn, const char* doc_text)
      : sig{.function = name}, pass_through(fn), binds_arguments(false), doc(doc_text) {}

  Signature sig;
  BoundBody body = nullptr;
  PassThrough pass_through = nullptr;
  bool binds_arguments = true;  // false for a PassThrough body
  const char* doc;
};

namespace detail {

template <const auto& Decls, size_t I>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  constexpr const MethodDecl& decl = Decls[I];
  return boundary([&] {
    if constexpr (!decl.binds_arguments) {
      return decl.pass_through(self, args, nargs, kwnames);
    } else {
      constexpr size_t count = decl.sig.names.size();
      std::array<PyObject*, count> bound{};
      parse_args(decl.sig, args, nargs, kwnames, bound);
      return decl.body(self, Args(bound));
    }
  });
}

template <const auto& Decls, size_t... I>
std::array<PyMethodDef, sizeof...(I)> method_defs(std::index_sequence<I...>) {
  // A vectorcall entry with keywords goes into PyMethodDef as a PyCFunction.
  return {PyMethodDef{Decls[I].sig.function,
                      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_entry<Decls, I>)),
                      METH_FASTCALL | METH_KEYWORDS, Decls[I].doc}...};
}

}  // namespace detail

// The PyMethodDef entries of a table of MethodDecl rows (a constexpr array), in its order.
template <const auto& Decls>
std::array<PyMethodDef, std::size(Decls)> method_defs() {
  return detail::method_defs<Decls>(std::make_index_sequence<std::size(Decls)>());
}

}  // namespace orv
