// _adapter_probe: a private coroutine function that lets the tests drive the
// coroutine adapter with any awaitables. Not part of the module's interface.
//
//   async def _adapter_probe(source, on_error):
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
#include "handlers/handlers.hpp"

namespace handlers {
namespace {

orv::Task probe(orv::Frame& f) {
  PyObject* source = f.arg(0);
  PyObject* on_error = f.arg(1);
  orv::Local results(f, new_list());
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

const orv::CoroutineDef probe_def{{"_adapter_probe", {"source", "on_error"}, 2},
                                  {orv::Accept::any, orv::Accept::any},
                                  "_adapter_probe(source: Any, on_error: Any) -> list\n\n"
                                  "Await each awaitable of a list, or iterate an async iterator; for tests.",
                                  probe};

}  // namespace

void add_adapter_probe(PyObject* module) { add_function(module, probe_def); }

}  // namespace handlers
