// Module globals are looked up by name at every use, so that replacing one in
// the module's namespace takes effect at once.
#pragma once
#include "core/error.hpp"

namespace orv {

// The value bound to `name` in `globals` (a module's __dict__), or NameError.
Ref lookup_global(PyObject* globals, PyObject* name);

// Re-raises `err` as the same exception object with the leading traceback
// entries whose function name is in `names` cut off, its cause set to None
// and its context suppressed (`raise exc.with_traceback(tb) from None`).
[[noreturn]] void rethrow_trimmed(PythonError& err, PyObject* names);

}  // namespace orv
