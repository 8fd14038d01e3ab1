// Tests of the module's globals that the codec makes for every value it
// meets: "is Serializer.from_wire still the module's own", "are np, dt and pd".
// Their answers change only when the module's namespace or the Serializer
// class's own dictionary changes, so each answer is kept until one of the two
// does: the interpreter's dict watchers say so from 3.12 on, the dicts'
// version tags before. A replaced global still takes effect at the next test.
#pragma once
#include "proxylink/state.hpp"

#include <atomic>
#include <cstdint>

namespace proxylink::global_checks {

// Watches the module's namespace and the Serializer class (module set-up,
// once both are bound).
void watch(PyObject* globals, PyObject* serializer_class);

// A test of the two dicts: 1 or 0, or -1 with an error set (a global that is
// unbound). It must not change either dict.
using Test = int (*)();

class Kept {
 public:
  constexpr explicit Kept(Test test) : test_(test) {}
  Kept(const Kept&) = delete;
  Kept& operator=(const Kept&) = delete;

  bool operator()();

 private:
  Test test_;
#if PY_VERSION_HEX >= 0x030C0000
  // The watchers' generation when it was drawn, and the answer in the low bit; 0 when none is kept.
  std::atomic<uint64_t> kept_{0};
#else
  uint64_t globals_version_ = 0, class_version_ = 0;
  bool answer_ = false;
#endif
};

// Serializer.to_wire and Serializer.from_wire: the global Serializer is the
// module's class and its entry for the method is still the module's own.
extern Kept to_wire_is_own;
extern Kept from_wire_is_own;
// The global np is the module's own.
extern Kept np_is_own;
// np, dt and pd, whose types the encoder tests before lists and dicts, are
// the module's own: the exact built-in types then need no tests.
extern Kept type_tests_are_own;

}  // namespace proxylink::global_checks
