// Package installation: the worker handle_package_install, which installs one
// package and streams the installer's output to the IDE client, and the
// request handler that starts the install of every package of a workbook.
#include "handlers/workers.hpp"

#include <utility>

namespace handlers {
namespace {

// `first, second = item` for one item of the installer's output, with the
// interpreter's own errors: an exact tuple or list is read in place, anything
// else is iterated (at most three items are taken).
void unpack_two(PyObject* item, orv::Local& first, orv::Local& second) {
  if (PyTuple_CheckExact(item) || PyList_CheckExact(item)) {
    // Both are owned before either target is replaced: the value a target lets
    // go of may have a __del__ that empties the item. The size and the items
    // are read in one step, as another thread may change a list meanwhile.
    Py_ssize_t size = 0;
    Ref values[2];
    orv::compat::locked_step(item, [&] {
      size = PySequence_Fast_GET_SIZE(item);
      if (size == 2) {
        values[0] = Ref::borrow(PySequence_Fast_GET_ITEM(item, 0));
        values[1] = Ref::borrow(PySequence_Fast_GET_ITEM(item, 1));
      }
    });
    if (size == 2) {
      first = std::move(values[0]);
      second = std::move(values[1]);
      return;
    }
    if (size > 2) orv::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    orv::raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", size);
  }
  PyObject* raw = PyObject_GetIter(item);
  if (!raw) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(item)->tp_iter && !PySequence_Check(item)) {
      PyErr_Clear();
      orv::raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
    }
    orv::throw_current();
  }
  Ref it = Ref::steal(raw);
  Ref values[2];
  for (Py_ssize_t i = 0; i < 2; ++i) {
    values[i] = Ref::steal(PyIter_Next(it.get()));
    if (!values[i]) {
      orv::check_ptr(nullptr);
      orv::raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", i);
    }
  }
  if (Ref extra = Ref::steal(PyIter_Next(it.get()))) orv::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
  orv::check_ptr(nullptr);
  first = std::move(values[0]);
  second = std::move(values[1]);
}

// A requirement whose first character other than white space is "-" would
// reach the installer as one of its options (another index, a requirements
// file): it is refused before the package manager sees it.
void refuse_option_like(PyObject* package_spec) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(package_spec);
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 c = PyUnicode_READ_CHAR(package_spec, i);
    if (Py_UNICODE_ISSPACE(c)) continue;
    if (c == '-') {
      orv::raise_format(PyExc_ValueError, "Refused package specification %R: it must not begin with '-'",
                        package_spec);
    }
    return;
  }
}

orv::Task install_worker(orv::Frame& f) {
  PyObject* client = f.arg(0);
  PyObject* workbook_id = f.arg(1);
  PyObject* package_spec = f.arg(2);
  orv::Local install_path(f, orv::none());
  orv::Local failure(f);
  orv::Local output_type(f), content(f);
  try {
    refuse_option_like(package_spec);
    // Held inside the try block, as `async for` holds its iterator: an error
    // that leaves the loop lets go of it before the report below is sent.
    orv::Local items(f, orv::aiter(call_method(global(names._package_manager).get(), names.install_package,
                                               package_spec).get()));
    for (;;) {
      {
        Ref item = co_await orv::anext(items.get());
        if (!item) break;
        unpack_two(item.get(), output_type, content);
      }
      Ref send;
      if (orv::equals(output_type.get(), names.stdout_) || orv::equals(output_type.get(), names.stderr_)) {
        send = send_message(names.ide, client, pip_output(workbook_id, output_type.get(), content.get()));
      } else if (orv::equals(output_type.get(), names.path)) {
        install_path = Ref(content.ref());
      } else if (orv::equals(output_type.get(), names.success)) {
        Ref done = send_message(names.ide, client, pip_output(workbook_id, names.success, content.get()));
        co_await orv::awaitable(std::move(done));
        if (orv::truth(install_path.get()))
          send = send_message(names.kernel, workbook_id, add_path(install_path.get()));
      } else if (orv::equals(output_type.get(), names.error)) {
        send = send_message(names.ide, client, pip_output(workbook_id, names.error, content.get()));
      }
      if (send) co_await orv::awaitable(std::move(send));
    }
  } catch (orv::PythonError& e) {
    keep_exception(e, failure);
  }
  if (failure) {
    orv::Handling handling(f, failure);
    Ref prefix = orv::own(PyUnicode_FromString("Error during package installation: "));
    Ref send = report_failure(failure.get(), prefix, client, [&](PyObject* text) {
      return pip_output(workbook_id, names.error,
                        orv::own(PyUnicode_FromFormat("Installation error: %U", text)).get());
    });
    co_await orv::awaitable(std::move(send));
  }
  co_return orv::none();
}

const orv::CoroutineDef install_worker_def{
    {.function = "handle_package_install", .names = {"ide_client_id", "workbook_id", "package_spec"}, .required = 3},
    {orv::Accept::str, orv::Accept::str, orv::Accept::str},
    "handle_package_install(ide_client_id: str, workbook_id: str, package_spec: str) -> None\n\n"
    "Handle package installation and stream output to IDE.\n\n"
    "Args:\n"
    "    ide_client_id: IDE client ID to send output to\n"
    "    workbook_id: Workbook ID for kernel to update sys.path\n"
    "    package_spec: Package specification to install",
    install_worker};

// Installs every package of a workbook: the install function given to
// init_handlers, started as a task with the workbook id only, named
// "handlers:handle_install_workbook_packages:" + the workbook id.
orv::Task install_workbook_packages(orv::Frame& f) {
  orv::Local target_workbook(f, message_get(f.arg(1), names.workbook_id));
  if (!all_given({&target_workbook}, "Received install_workbook_packages without workbook_id")) co_return orv::none();
  Ref task_name =
      orv::own(PyUnicode_FromFormat("handlers:handle_install_workbook_packages:%S", target_workbook.get()));
  Ref install = global(names._handle_workbook_packages_install);
  start_task(orv::call(install.get(), target_workbook.get()), task_name);
  info("Starting package installation for workbook %S", target_workbook.get());
  co_return orv::none();
}

const orv::CoroutineDef install_workbook_packages_def =
    HANDLERS_REQUEST("handle_install_workbook_packages",
                     "Handle install all workbook packages request from IDE.\n\n"
                     "Starts the install function given to init_handlers as the task\n"
                     "\"handlers:handle_install_workbook_packages:<workbook_id>\".",
                     install_workbook_packages);

}  // namespace

void add_package_install(PyObject* module) {
  add_function(module, install_workbook_packages_def);
  add_function(module, install_worker_def);
}

}  // namespace handlers
