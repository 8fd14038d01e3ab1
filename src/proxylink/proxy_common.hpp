// Pieces shared by the proxy classes: per-instance classes, identity
// attributes and the calling conventions of their methods.
#pragma once
#include "core/method.hpp"
#include "proxylink/forwarding.hpp"

namespace proxylink {

// The instance that `defining.__new__` makes: every proxy gets a class of its
// own, type(name, (cls,), {"__module__": module_name}), allocated by the
// __new__ that follows `defining` in the MRO of `cls`, as
// `super().__new__(type(...))` does in a class statement, and in its order:
// super() first, so that a cls that is not a subclass of `defining` is
// refused with super()'s TypeError before any class is made. A subclass that
// mixes in a builtin base thereby gets that base's allocation.
Ref new_instance(PyObject* defining, PyObject* cls, PyObject* name, PyObject* module_name);

// super(defining, self).__init__(): the initialiser that follows `defining`.
void init_next(PyObject* defining, PyObject* self);

// Writes _internal_id, _internal_typeName, _msg_guid, _typ and _internal_cache,
// in that order, into the instance dictionary (bypassing the class's __setattr__).
void set_identity(PyObject* self, PyObject* object_id, PyObject* type_name, PyObject* typ);

// "<...>" texts: a value formatted as a bare f-string field ({value}).
Ref format_field(PyObject* value);

// Methods shared by the proxy classes, each class with its own doc.
Ref method_forward_getattr(PyObject* self, orv::Args args);
Ref method_forward_del(PyObject* self, orv::Args args);
constexpr orv::MethodDecl forwarded_getattr(const char* doc) {
  return {{.function = "__getattr__", .names = {"name"}, .required = 1, .self_counted = true},
   method_forward_getattr, doc};
}
constexpr orv::MethodDecl forwarded_call(const char* doc) { return {"__call__", forward_call, doc}; }
constexpr orv::MethodDecl forwarded_del(const char* doc) { return {{.function = "__del__", .self_counted = true},
 method_forward_del, doc}; }

}  // namespace proxylink

