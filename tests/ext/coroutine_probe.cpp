// coroutine_probe: a test-only extension module (built with ORV_TEST_EXTENSIONS)
// whose one coroutine function lets the tests drive the C++ coroutine adapter
// with any awaitables. Never part of the product.
//
//   async def probe(source, on_error):
//       results = []
//       if type(source) is list:
//           for awaitable in source:
//               try:
//                   results.append(await awaitable)
//               except Exception as e:
//                   if on_error is None:
//                       raise
//                   results.append(on_error(e))
//       else:
//           async for item in source:
//               results.append(item)
//       return results
#include "core/coroutine.hpp"
#include "core/names.hpp"

namespace {

using orv::Ref;

orv::Task probe(orv::Frame& f) {
  PyObject* source = f.arg(0);
  PyObject* on_error = f.arg(1);
  orv::Local results(f, orv::own(PyList_New(0)));
  if (PyList_CheckExact(source)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(source); ++i) {
      Ref result;
      try {
        result = co_await orv::awaitable(Ref::borrow(PyList_GET_ITEM(source, i)));
      } catch (orv::PythonError& e) {
        if (on_error == Py_None || !e.matches(PyExc_Exception)) throw;
        result = orv::own(PyObject_CallOneArg(on_error, e.value()));
      }
      orv::check(PyList_Append(results.get(), result.get()));
    }
  } else {
    orv::Local items(f, orv::aiter(source));
    while (Ref item = co_await orv::anext(items.get())) orv::check(PyList_Append(results.get(), item.get()));
  }
  co_return results.ref();
}

const orv::CoroutineDef probe_def{{.function = "probe", .names = {"source", "on_error"}, .required = 2},
                                  {orv::Accept::any, orv::Accept::any},
                                  "probe(source: Any, on_error: Any) -> list\n\n"
                                  "Await each awaitable of a list, or iterate an async iterator.",
                                  probe};

PyModuleDef definition = {PyModuleDef_HEAD_INIT, "coroutine_probe", "Drives the C++ coroutine adapter; for tests.",
                          -1, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_coroutine_probe() {
  PyObject* module = PyModule_Create(&definition);
  if (!module) return nullptr;
#ifdef Py_GIL_DISABLED
  if (PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
#endif
  PyObject* fn = orv::boundary([&] {
    orv::init_core_names();
    Ref name = orv::own(PyUnicode_FromString("coroutine_probe"));
    return orv::make_coroutine_function(probe_def, name.get());
  });
  if (!fn || PyModule_AddObject(module, "probe", fn) < 0) {
    Py_XDECREF(fn);
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
