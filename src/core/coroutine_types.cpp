// The three Python types that carry coroutines with C++ bodies: the
// coroutine, its __await__ iterator and the coroutine function. Their slots
// hand every step to the driver (coroutine_driver.hpp).
#include "core/coroutine_driver.hpp"

#include <string>

namespace orv {

using namespace driver;

namespace {

extern PyTypeObject WrapperType;
extern PyTypeObject FunctionType;

// ------------------------------------------------------------ coroutine type

PyObject* coroutine_send(PyObject* self, PyObject* value) { return step_as_method(self, Ref::borrow(value), {}); }

PyObject* coroutine_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return coroutine_throw_impl(self, args, nargs);
}

PyObject* coroutine_close(PyObject* self, PyObject*) { return coroutine_close_impl(self); }

SendResult coroutine_am_send(PyObject* self, PyObject* arg, PyObject** result) {
  return step_as_send(self, arg, result);
}

PyObject* coroutine_await(PyObject* self);

int coroutine_traverse(PyObject* self, visitproc visit, void* arg) {
  return FrameAccess::traverse(as_coroutine(self)->st().frame, visit, arg);
}

int coroutine_clear(PyObject* self) {
  State& s = as_coroutine(self)->st();
  if (!s.running) finish(s);
  return 0;
}

// What a coroutine holds may be the next coroutine of a long chain: the
// trashcan defers the deeper ones instead of recursing through them all.
void coroutine_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  Py_TRASHCAN_BEGIN(self, coroutine_dealloc)
  CoroutineObject* co = as_coroutine(self);
  if (co->weakrefs) PyObject_ClearWeakRefs(self);
  finish(co->st());
  co->st().~State();
  Py_TYPE(self)->tp_free(self);
  Py_TRASHCAN_END
}

PyObject* coroutine_repr(PyObject* self) {
  return PyUnicode_FromFormat("<coroutine object %s at %p>", as_coroutine(self)->st().def->sig.function, self);
}

PyObject* coroutine_get_name(PyObject* self, void*) {
  return PyUnicode_FromString(as_coroutine(self)->st().def->sig.function);
}

PyObject* coroutine_get_running(PyObject* self, void*) {
  return PyBool_FromLong(as_coroutine(self)->st().running);
}

PyObject* coroutine_get_await(PyObject* self, void*) {
  Ref delegate = FrameAccess::delegate(as_coroutine(self)->st().frame).read();
  return delegate ? delegate.release() : compat::new_ref(Py_None);
}

PyMethodDef coroutine_methods[] = {
    {"send", coroutine_send, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(coroutine_throw), METH_FASTCALL,
     "throw(typ[,val[,tb]]) -> raise exception in coroutine,\nreturn next iterated value or raise StopIteration."},
    {"close", coroutine_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coroutine_getset[] = {
    {"__name__", coroutine_get_name, nullptr, "name of the coroutine", nullptr},
    {"__qualname__", coroutine_get_name, nullptr, "qualified name of the coroutine", nullptr},
    {"cr_running", coroutine_get_running, nullptr, "whether the coroutine is running", nullptr},
    {"cr_await", coroutine_get_await, nullptr, "object being awaited on, or None", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyAsyncMethods coroutine_async = {coroutine_await, nullptr, nullptr};

}  // namespace

PyTypeObject driver::CoroutineType = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "orvane_master.coroutine";
  t.tp_basicsize = sizeof(CoroutineObject);
  t.tp_dealloc = coroutine_dealloc;
  t.tp_as_async = &coroutine_async;
  t.tp_repr = coroutine_repr;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  t.tp_doc = "A coroutine whose body is C++.";
  t.tp_traverse = coroutine_traverse;
  t.tp_clear = coroutine_clear;
  t.tp_weaklistoffset = offsetof(CoroutineObject, weakrefs);
  t.tp_methods = coroutine_methods;
  t.tp_getset = coroutine_getset;
  return t;
}();

namespace {

// -------------------------------------------------- __await__ iterator type

struct WrapperObject {
  PyObject_HEAD
  PyObject* coro;
};


PyObject* coroutine_await(PyObject* self) {
  return boundary([&] {
    if (FrameAccess::suspended_in_await(as_coroutine(self)->st().frame)) raise_awaited_already();
    WrapperObject* wrapper = PyObject_GC_New(WrapperObject, &WrapperType);
    if (!wrapper) throw PythonError();
    wrapper->coro = compat::new_ref(self);
    PyObject_GC_Track(wrapper);
    return Ref::steal(reinterpret_cast<PyObject*>(wrapper));
  });
}

PyObject* wrapped(PyObject* self) { return reinterpret_cast<WrapperObject*>(self)->coro; }

// A return value of None ends the iteration without an exception set.
PyObject* wrapper_next(PyObject* self) {
  return boundary([&]() -> Ref {
    Outcome out = step(as_coroutine(wrapped(self))->st(), none(), {});
    if (out.kind == compat::send_next) return std::move(out.value);
    if (out.value.is(Py_None)) return {};
    set_stop_iteration(out.value.get());
    throw PythonError();
  });
}

PyObject* wrapper_send(PyObject* self, PyObject* value) { return coroutine_send(wrapped(self), value); }
PyObject* wrapper_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return coroutine_throw_impl(wrapped(self), args, nargs);
}
PyObject* wrapper_close(PyObject* self, PyObject*) { return coroutine_close_impl(wrapped(self)); }
SendResult wrapper_am_send(PyObject* self, PyObject* arg, PyObject** result) {
  return step_as_send(wrapped(self), arg, result);
}

int wrapper_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(wrapped(self));
  return 0;
}

int wrapper_clear(PyObject* self) {
  Py_CLEAR(reinterpret_cast<WrapperObject*>(self)->coro);
  return 0;
}

void wrapper_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  wrapper_clear(self);
  Py_TYPE(self)->tp_free(self);
}

PyMethodDef wrapper_methods[] = {
    {"send", wrapper_send, METH_O, "send(arg) -> send 'arg' into the wrapped coroutine."},
    {"throw", reinterpret_cast<PyCFunction>(wrapper_throw), METH_FASTCALL,
     "throw(typ[,val[,tb]]) -> raise exception in the wrapped coroutine."},
    {"close", wrapper_close, METH_NOARGS, "close() -> raise GeneratorExit inside the wrapped coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods wrapper_async = {nullptr, nullptr, nullptr};

PyTypeObject WrapperType = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "orvane_master.coroutine_wrapper";
  t.tp_basicsize = sizeof(WrapperObject);
  t.tp_dealloc = wrapper_dealloc;
  t.tp_as_async = &wrapper_async;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  t.tp_doc = "The iterator that __await__ of a C++ coroutine returns.";
  t.tp_traverse = wrapper_traverse;
  t.tp_clear = wrapper_clear;
  t.tp_iter = PyObject_SelfIter;
  t.tp_iternext = wrapper_next;
  t.tp_methods = wrapper_methods;
  return t;
}();
// ---------------------------------------------------- coroutine function type

struct FunctionObject {
  PyObject_HEAD
  const CoroutineDef* def;
  PyObject* dict;
  vectorcallfunc vectorcall;
};

const CoroutineDef& def_of(PyObject* self) { return *reinterpret_cast<FunctionObject*>(self)->def; }

void check_accepted(Accept accept, PyObject* value, const char* name) {
  switch (accept) {
    case Accept::unset:
    case Accept::any: break;
    case Accept::str: require_exact(value, &PyUnicode_Type, name); break;
    case Accept::dict: require_exact(value, &PyDict_Type, name); break;
    case Accept::str_or_none: require_exact_or_none(value, &PyUnicode_Type, name); break;
  }
}

Ref new_coroutine(const CoroutineDef& def, std::span<PyObject*> args) {
  CoroutineObject* co = PyObject_GC_New(CoroutineObject, &CoroutineType);
  if (!co) throw PythonError();
  co->weakrefs = nullptr;
  State& s = *new (co->storage) State{};
  s.def = &def;
  Ref obj = Ref::steal(reinterpret_cast<PyObject*>(co));  // dealloc copes with a partial state
  FrameAccess::set_args(s.frame, args);
  s.handle = def.body(s.frame).release();
  PyObject_GC_Track(obj.get());
  return obj;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return boundary([&] {
    const CoroutineDef& def = def_of(self);
    std::array<PyObject*, Frame::max_args> argv{};
    const size_t count = def.sig.names.size();
    std::span<PyObject*> bound(argv.data(), count);
    parse_args(def.sig, args, PyVectorcall_NARGS(nargsf), kwnames, bound);
    for (size_t i = 0; i < count; ++i) check_accepted(def.accept[i], bound[i], def.sig.names[i]);
    return new_coroutine(def, bound);
  });
}

PyObject* function_get_name(PyObject* self, void*) { return PyUnicode_FromString(def_of(self).sig.function); }
PyObject* function_get_doc(PyObject* self, void*) { return PyUnicode_FromString(def_of(self).doc); }

// "(a, b)": read by inspect.signature.
PyObject* function_get_text_signature(PyObject* self, void*) {
  std::string text = "(";
  const char* sep = "";
  for (const char* name : def_of(self).sig.names) {
    text += sep;
    text += name;
    sep = ", ";
  }
  text += ")";
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<coroutine function %s>", def_of(self).sig.function);
}

// Like a built-in function, it is not bound when found on a class.
PyObject* function_descr_get(PyObject* self, PyObject*, PyObject*) { return compat::new_ref(self); }

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(reinterpret_cast<FunctionObject*>(self)->dict);
  return 0;
}

int function_clear(PyObject* self) {
  Py_CLEAR(reinterpret_cast<FunctionObject*>(self)->dict);
  return 0;
}

void function_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  function_clear(self);
  Py_TYPE(self)->tp_free(self);
}

PyGetSetDef function_getset[] = {
    {"__name__", function_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", function_get_name, nullptr, nullptr, nullptr},
    {"__doc__", function_get_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", function_get_text_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject FunctionType = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "orvane_master.coroutine_function";
  t.tp_basicsize = sizeof(FunctionObject);
  t.tp_dealloc = function_dealloc;
  t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
  t.tp_repr = function_repr;
  t.tp_call = PyVectorcall_Call;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
  t.tp_doc = "A function whose call returns a coroutine with a C++ body.";
  t.tp_traverse = function_traverse;
  t.tp_clear = function_clear;
  t.tp_getset = function_getset;
  t.tp_descr_get = function_descr_get;
  t.tp_dictoffset = offsetof(FunctionObject, dict);
  return t;
}();

void ready_types() {
  if (FunctionType.tp_flags & Py_TPFLAGS_READY) return;
  compat::set_am_send(coroutine_async, coroutine_am_send);
  compat::set_am_send(wrapper_async, wrapper_am_send);
  check(PyType_Ready(&CoroutineType));
  check(PyType_Ready(&WrapperType));
  check(PyType_Ready(&FunctionType));
}

// asyncio.iscoroutinefunction looks for `_is_coroutine` (up to 3.13);
// inspect.iscoroutinefunction honours inspect.markcoroutinefunction (3.12+).
void mark_as_coroutine_function(PyObject* fn) {
  Ref coroutines = own(PyImport_ImportModule("asyncio.coroutines"));
  if (PyObject* marker = PyObject_GetAttrString(coroutines.get(), "_is_coroutine")) {
    Ref held = Ref::steal(marker);
    check(PyObject_SetAttrString(fn, "_is_coroutine", marker));
  } else {
    PyErr_Clear();
  }
  Ref inspect = own(PyImport_ImportModule("inspect"));
  if (PyObject* mark = PyObject_GetAttrString(inspect.get(), "markcoroutinefunction")) {
    Ref held = Ref::steal(mark);
    own(PyObject_CallOneArg(mark, fn));
  } else {
    PyErr_Clear();
  }
}

}  // namespace

Ref make_coroutine_function(const CoroutineDef& def, PyObject* module_name) {
  ready_types();
  FunctionObject* fn = PyObject_GC_New(FunctionObject, &FunctionType);
  if (!fn) throw PythonError();
  fn->def = &def;
  fn->dict = nullptr;
  fn->vectorcall = function_vectorcall;
  Ref obj = Ref::steal(reinterpret_cast<PyObject*>(fn));
  fn->dict = own(PyDict_New()).release();
  PyObject_GC_Track(obj.get());
  check(PyObject_SetAttrString(obj.get(), "__module__", module_name));
  mark_as_coroutine_function(obj.get());
  return obj;
}

}  // namespace orv
