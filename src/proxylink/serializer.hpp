// Entry points of the wire-value codec for the rest of the module.
//
// to_wire/from_wire behave as `Serializer.to_wire(x)` and
// `Serializer.from_wire(x)` with the module globals of the moment: when the
// global Serializer and its static methods are the module's own, the C++
// codec runs directly; otherwise the replacement is called.
#pragma once
#include "proxylink/state.hpp"

namespace proxylink {

Ref to_wire(PyObject* value);
Ref from_wire(PyObject* wire);

// The codec itself.
Ref encode(PyObject* value);
Ref decode(PyObject* wire);

}  // namespace proxylink
