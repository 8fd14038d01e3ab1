#include "core/error.hpp"

#include <chrono>
#include <cstdarg>
#include <new>
#include <thread>

namespace orv {

PythonError::PythonError() : exc_(Ref::steal(compat::fetch_exception())) {
  if (!exc_) {
    exc_ = Ref::steal(PyObject_CallFunction(PyExc_SystemError, "s",
                                            "error raised without a Python exception set"));
  }
}

void PythonError::restore() noexcept {
  if (exc_) compat::restore_exception(exc_.release());
}

void PythonError::discard(PyObject* context) noexcept {
  restore();
  PyErr_WriteUnraisable(context);
}

bool PythonError::matches(PyObject* exc_type) const noexcept {
  return exc_ && PyErr_GivenExceptionMatches(exc_.get(), exc_type);
}

void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw PythonError();
}

void raise_format(PyObject* type, const char* format, ...) {
  va_list args;
  va_start(args, format);
  PyErr_FormatV(type, format, args);
  va_end(args);
  throw PythonError();
}

void raise_in_flight() noexcept {
  try {
    throw;
  } catch (PythonError& e) {
    e.restore();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
  } catch (...) {
    stop_foreign_unwinding();
  }
}

void stop_foreign_unwinding() {
  if (!compat::thread_is_ending()) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    return;
  }
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace orv
