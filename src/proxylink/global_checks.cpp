#include "proxylink/global_checks.hpp"

#include <new>

namespace proxylink::global_checks {
namespace {

PyObject* watched_globals = nullptr;  // both kept alive by `owned`
PyObject* watched_class_dict = nullptr;

#if PY_VERSION_HEX >= 0x030C0000
// Moves on at every change of either dict; a kept answer is good while it
// stays where it was when the answer was drawn. It starts at 1: a Kept
// holding 0 holds nothing.
std::atomic<uint64_t> generation{1};
int watcher = -1;  // -1 when the interpreter had none to spare: nothing is kept then

int on_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
  generation.fetch_add(1, std::memory_order_acq_rel);
  return 0;
}
#endif

// Runs `test` with an error turned into -1 and left set.
template <class F>
int answer_of(F&& test) noexcept {
  try {
    return test() ? 1 : 0;
  } catch (orv::PythonError& e) {
    e.restore();
    return -1;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return -1;
  }
}

int serializer_entry_is_own(PyObject* name, PyObject* own_static) {
  return answer_of([&] {
    return if_own(
        owned.Serializer,
        [&] {
          PyObject* dict = reinterpret_cast<PyTypeObject*>(owned.Serializer.own.get())->tp_dict;
          PyObject* entry = dict ? PyDict_GetItemWithError(dict, name) : nullptr;
          if (!entry && PyErr_Occurred()) orv::throw_current();
          return entry == own_static;
        },
        [](PyObject*) { return false; });
  });
}

}  // namespace

void watch(PyObject* globals, PyObject* serializer_class) {
  PyObject* class_dict = reinterpret_cast<PyTypeObject*>(serializer_class)->tp_dict;
#if PY_VERSION_HEX >= 0x030C0000
  if (watcher < 0) {
    watcher = PyDict_AddWatcher(on_change);
    if (watcher < 0) PyErr_Clear();
  }
  if (watcher >= 0) {
    orv::check(PyDict_Watch(watcher, globals));
    orv::check(PyDict_Watch(watcher, class_dict));
  }
  generation.fetch_add(1, std::memory_order_acq_rel);  // a module set up again starts afresh
#endif
  watched_globals = globals;
  watched_class_dict = class_dict;
}

#if PY_VERSION_HEX >= 0x030C0000
bool Kept::operator()() {
  const uint64_t kept = kept_.load(std::memory_order_acquire);
  if (kept >> 1 == generation.load(std::memory_order_acquire)) return kept & 1;
  if (watcher < 0 || !watched_globals) {
    const int answer = test_();
    if (answer < 0) orv::throw_current();
    return answer;
  }
  // Watchers hear of a change before it is made, and a free-threaded writer
  // holds the dict's lock over both: the generation is read, and the answer
  // drawn, under both locks, so that no change is half made meanwhile.
  uint64_t drawn = 0;
  int answer = -1;
  orv::compat::locked_pair(watched_globals, watched_class_dict, [&] {
    drawn = generation.load(std::memory_order_acquire);
    answer = test_();
  });
  if (answer < 0) orv::throw_current();
  kept_.store(drawn << 1 | static_cast<uint64_t>(answer), std::memory_order_release);
  return answer;
}
#else
bool Kept::operator()() {
  if (!watched_globals) {
    const int answer = test_();
    if (answer < 0) orv::throw_current();
    return answer;
  }
  const uint64_t globals_version = reinterpret_cast<PyDictObject*>(watched_globals)->ma_version_tag;
  const uint64_t class_version = reinterpret_cast<PyDictObject*>(watched_class_dict)->ma_version_tag;
  if (globals_version == globals_version_ && class_version == class_version_) return answer_;
  const int answer = test_();
  if (answer < 0) orv::throw_current();
  // Versions read before the test: a change the test itself caused is seen next time.
  globals_version_ = globals_version;
  class_version_ = class_version;
  answer_ = answer;
  return answer;
}
#endif

Kept to_wire_is_own([] { return serializer_entry_is_own(names.to_wire, owned.to_wire_static); });
Kept from_wire_is_own([] { return serializer_entry_is_own(names.from_wire, owned.from_wire_static); });
Kept np_is_own([] { return answer_of([] { return is_own(owned.np); }); });
Kept type_tests_are_own(
    [] { return answer_of([] { return is_own(owned.np) && is_own(owned.dt) && is_own(owned.pd); }); });

}  // namespace proxylink::global_checks
