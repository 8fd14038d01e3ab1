// The exit hook behind compat::exit_begun.
//
// A daemon thread that comes back for the GIL while the interpreter finalises
// is unwound without it, and the references its frames hold must then be left
// alone. Asking the interpreter at every reference let go costs two calls a
// reference; the interpreter runs its exit hooks (the atexit module) before it
// begins to finalise, so a hook that raises a flag tells the fast case apart.
// A hook removed again (atexit._clear()) takes the check back to what it was
// without the flag: nothing then tells a thread it is ending.
#pragma once

namespace orv {

// Registers the hook with atexit; once per module, at its import.
void watch_for_exit();

}  // namespace orv
