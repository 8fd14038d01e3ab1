// Loading rules shared by our extension modules (multi-phase initialisation):
//  - the module can live in one interpreter per process only;
//  - one module object per process: a repeated create returns it, a repeated
//    exec on it does nothing, an exec on a different object is refused;
//  - the module is registered in sys.modules under its full dotted name.
#pragma once
#include "core/exit_watch.hpp"
#include "core/names.hpp"

#include <cstdint>

namespace orv {

class ModuleRules {
 public:
  constexpr ModuleRules(const char* short_name, const char* full_name)
      : short_name_(short_name), full_name_(full_name) {}

  // Py_mod_create: a new module named as the import asks, or the existing one.
  PyObject* create(PyObject* spec) noexcept;
  // Py_mod_exec: runs `body(module)` once for the first module object, after
  // init_core_names and watch_for_exit.
  template <class Body>
  int exec(PyObject* module, Body&& body) noexcept {
    int state = begin_exec(module);
    if (state != 0) return state < 0 ? -1 : 0;
    int result = boundary([&] {
      init_core_names();
      watch_for_exit();
      body(module);
      register_full_name(module);
      return 0;
    });
    if (result < 0) forget(module);
    return result;
  }
  // The module object, once exec has succeeded (borrowed).
  PyObject* module() const noexcept { return module_; }

 private:
  int begin_exec(PyObject* module) noexcept;  // 0 run, 1 already done, -1 error
  void register_full_name(PyObject* module);
  void forget(PyObject* module) noexcept;

  const char* short_name_;
  const char* full_name_;
  int64_t interpreter_id_ = -1;
  PyObject* module_ = nullptr;  // strong; lives as long as the process
};

// The slots of a module whose loading follows `rules` and whose set-up is `body`.
template <ModuleRules& rules, void (*body)(PyObject*)>
struct MultiPhaseSlots {
  static PyObject* create(PyObject* spec, PyModuleDef*) noexcept { return rules.create(spec); }
  static int exec(PyObject* module) noexcept { return rules.exec(module, body); }
  static inline PyModuleDef_Slot slots[] = {
      {Py_mod_create, reinterpret_cast<void*>(create)},
      {Py_mod_exec, reinterpret_cast<void*>(exec)},
#ifdef Py_GIL_DISABLED
      // Safe with the GIL off: items are owned as they are read, containers
      // locked per step, and the channel's maps guarded by its own locks.
      {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
      {0, nullptr},
  };
};

// The definition of a module named `name` whose loading follows `rules` and whose set-up is `body`.
template <ModuleRules& rules, void (*body)(PyObject*)>
PyModuleDef module_definition(const char* name, const char* doc) {
  return {PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, MultiPhaseSlots<rules, body>::slots, nullptr, nullptr, nullptr};
}

}  // namespace orv
