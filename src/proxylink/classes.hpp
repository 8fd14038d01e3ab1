// Builders of the module's classes and functions, called once by module set-up.
#pragma once
#include "proxylink/state.hpp"

namespace proxylink {

Ref make_serializer_class();
Ref make_messaging_class();
Ref make_object_class();
Ref make_array_class();
Ref make_dict_class();
Ref make_transaction_class();
// Binds the five _cw__ proxy operations in the module namespace.
void add_operations(PyObject* module);

}  // namespace proxylink
