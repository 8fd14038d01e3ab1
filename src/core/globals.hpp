// Module globals are looked up by name at every use, so that replacing one in
// the module's namespace takes effect at once.
#pragma once
#include "core/error.hpp"

namespace orv {

// The value bound to `name` in `globals` (a module's __dict__), or NameError.
Ref lookup_global(PyObject* globals, PyObject* name);

}  // namespace orv
