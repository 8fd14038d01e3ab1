"""Sends that fail in the middle of the package handlers, under a real event
loop with the business-layer stand-ins: the failure reaches the dispatcher (list
handlers) or is answered with the error form (workers), and the per-workbook
dictionaries hold exactly what was changed before the failing send."""
import asyncio
import copy
import sys

import pytest

from package_fakes import handlers, run_session  # noqa: F401  (fixture)


def entry(name, version="1", status="installed"):
    return {"name": name, "version": version, "extras": [], "status": status}


def state(manager):
    return copy.deepcopy({name: getattr(manager, name) for name in (
        "workbook_packages", "workbook_installed_packages", "workbook_python_paths", "package_errors",
        "workbook_resolved_deps")})


def fill(manager):
    manager.workbook_packages["wb"] = [entry("a"), entry("b"), entry("c")]
    manager.workbook_installed_packages["wb"] = [entry("a"), entry("z")]
    manager.workbook_python_paths["wb"] = ["/old"]
    manager.package_errors["wb"] = {"c": "failed"}
    manager.workbook_resolved_deps["wb"] = [{"name": "dep"}]


def packages(*entries):
    return lambda before: before["workbook_packages"].update(wb=list(entries))


# Each message and what it changes in the manager's dictionaries before its first send.
EDITS = [
    ({"type": "add_workbook_package", "package_name": "d", "version": "2"},
     packages(entry("a"), entry("b"), entry("c"), entry("d", "2", "pending"))),
    ({"type": "remove_workbook_package", "package_name": "b"}, packages(entry("a"), entry("c"))),
    ({"type": "update_workbook_package", "package_name": "a", "version": "3"},
     packages(entry("a", "3", "pending_update"), entry("b"), entry("c"))),
    ({"type": "reorder_workbook_packages", "package_names": ["c", "a"]}, packages(entry("c"), entry("a"))),
    ({"type": "update_package_status", "package_name": "b", "status": "broken"},
     packages(entry("a"), entry("b", status="broken"), entry("c"))),
    ({"type": "get_workbook_packages"}, lambda before: None),
    ({"type": "get_resolved_deps"}, lambda before: None),
    ({"type": "update_python_paths", "python_paths": ["/new/"]},
     lambda before: before["workbook_python_paths"].update(wb=["/new"])),
]


@pytest.mark.parametrize("message, change", EDITS, ids=[m["type"] for m, _ in EDITS])
def test_a_failing_ide_send_reaches_the_dispatcher_after_the_change(handlers, message, change):
    async def scenario(layer, ide):
        fill(layer.manager)
        kernel, addin = layer.manager.connect_kernel("wb"), layer.manager.connect_addin("wb")
        expected = state(layer.manager)
        change(expected)
        ide.fail_with = ConnectionError("ide gone")
        await layer.request("ide-1", dict(message, workbook_id="wb"))
        return expected, state(layer.manager), layer.dispatcher.errors, kernel.received, addin.received

    expected, after, errors, kernel, addin = run_session(handlers, None, scenario)
    assert after == expected
    assert [(type(e), str(e)) for e in errors] == [(ConnectionError, "ide gone")]
    if message["type"] == "update_python_paths":  # the kernel and the add-in were told before the IDE
        assert [m["type"] for m in kernel + addin] == ["set_python_paths", "save_workbook_packages"]
        assert [text for _, text in handlers.logger.lines] == [
            "Sent 1 python paths to kernel for workbook wb", "Sent python paths to addin for storage: 1 paths"]
    else:
        assert kernel == addin == [] and handlers.logger.lines == []


@pytest.mark.parametrize("failing", ["kernel", "addin", "get_connection"])
def test_python_paths_stay_stored_when_a_later_step_fails(handlers, failing):
    async def scenario(layer, ide):
        fill(layer.manager)
        kernel, addin = layer.manager.connect_kernel("wb"), layer.manager.connect_addin("wb")
        if failing == "get_connection":
            real = layer.manager.get_connection

            def refuse(kind, workbook_id):  # for the add-in only: the kernel's send uses it too
                if kind == "addin":
                    raise LookupError("no table")
                return real(kind, workbook_id)
            layer.manager.get_connection = refuse
        else:
            (kernel if failing == "kernel" else addin).fail_with = OSError(failing + " gone")
        await layer.request("ide-1", {"type": "update_python_paths", "workbook_id": "wb", "python_paths": ["/p"]})
        return layer.manager, layer.dispatcher.errors, kernel.received, ide.received

    manager, errors, kernel, ide = run_session(handlers, None, scenario)
    assert manager.workbook_python_paths == {"wb": ["/p"]}
    assert manager.workbook_packages["wb"] == [entry("a"), entry("b"), entry("c")]
    assert len(errors) == 1 and ide == []
    assert len(kernel) == (0 if failing == "kernel" else 1)


def test_restore_with_a_failing_push_changes_only_the_package_list(handlers, caplog):
    async def scenario(layer, ide):
        fill(layer.manager)
        expected = state(layer.manager)
        expected["workbook_packages"]["wb"] = [entry("a"), entry("z")]
        ide.fail_with = ConnectionError("ide gone")  # the scheduled push fails later, on its own
        await layer.request("ide-1", {"type": "restore_workbook_packages", "workbook_id": "wb"})
        await layer.settle()
        return expected, state(layer.manager), layer.dispatcher.errors

    expected, after, errors = run_session(handlers, None, scenario)
    assert after == expected
    # The push is the connection manager's own task, after the handler returned: it reports it, once.
    assert errors == []
    assert [(r.getMessage(), str(r.exc_info[1])) for r in caplog.records if r.levelname == "ERROR"] == [
        ("Pushing packages and python paths failed", "ide gone")]


class Answers:
    """A package manager that answers every query at once."""

    async def get_available_versions(self, name):
        return ["1.0"]

    async def get_package_extras(self, name, version):
        return ["fast"]

    async def get_package_info(self, name):
        return {"name": name, "latest_version": "1.0", "summary": "s"}

    def install_package(self, spec):
        async def stream():
            for item in [("stdout", "A"), ("stdout", "B"), ("path", "/site"), ("success", "done")]:
                yield item
        return stream()


QUESTIONS = {
    "versions": ({"type": "get_package_versions_request"}, "versions"),
    "extras": ({"type": "get_package_extras_request", "version": ""}, "extras"),
    "info": ({"type": "get_package_info_request"}, "info"),
    "install": ({"type": "package_install_request", "workbook_id": "wb", "package": "pkg"}, "installation"),
}


def flaky(layer, failures, handled=None):
    """Makes the manager's send_message raise the given exceptions, one per
    send; None lets a send through, and so do the sends after the last. Each
    send appends the exception being handled when it is made to `handled`."""
    real = layer.manager.send_message
    sends = iter(failures)

    async def send_message(kind, target, message):
        if handled is not None:
            handled.append(sys.exc_info()[1])
        failure = next(sends, None)
        if failure is not None:
            raise failure
        await real(kind, target, message)

    layer.manager.send_message = send_message


@pytest.mark.parametrize("question", QUESTIONS)
def test_workers_answer_a_failing_send_with_the_error_form(handlers, question):
    message, what = QUESTIONS[question]

    async def scenario(layer, ide):
        kernel = layer.manager.connect_kernel("wb")
        # the install fails at its second item's send; the queries at their answer
        flaky(layer, [None, OSError("lost")] if question == "install" else [OSError("lost")])
        await layer.request("ide-1", dict(message, package_name="pkg", request_id="r1"))
        await layer.settle()
        # and now the error form is lost as well: sent, and failing, while the first failure is handled
        flaky(layer, [lost, OSError("closed")], handled)
        await layer.request("ide-1", dict(message, package_name="pkg", request_id="r2"))
        await layer.settle()
        return ide.received, kernel.received, layer.dispatcher.errors

    lost, handled = OSError("lost"), []
    received, kernel, errors = run_session(handlers, Answers(), scenario)
    assert handled == [None, lost] and errors[-1].__context__ is lost
    assert kernel == []  # no add_path after a failed install
    last = received[-1]
    assert last["error" if question != "install" else "content"].endswith("lost")
    if question == "install":
        assert [m["content"] for m in received] == ["A", "Installation error: lost"]
        assert handlers.logger.lines[0] == ("error", "Error during package installation: lost")
    else:
        assert len(received) == 1 and last["request_id"] == "r1"
        assert handlers.logger.lines[0] == ("error", f"Error querying package {what} for pkg: lost")
    assert [str(e) for e in errors] == ["closed"]  # the lost error form ends the task


@pytest.mark.parametrize("question", QUESTIONS)
def test_a_cancelled_send_ends_the_worker_unanswered(handlers, question):
    message, _ = QUESTIONS[question]

    async def scenario(layer, ide):
        flaky(layer, [asyncio.CancelledError()])
        await layer.request("ide-1", dict(message, package_name="pkg", request_id="r1"))
        tasks = list(layer.dispatcher.tasks)
        await layer.settle()
        return ide.received, layer.dispatcher.errors, tasks

    received, errors, tasks = run_session(handlers, Answers(), scenario)
    assert received == [] and errors == [] and handlers.logger.lines == []
    assert len(tasks) == 1 and tasks[0].cancelled()


# ---- installers whose output changes under the worker -------------------------------------

INSTALLERS = """
import asyncio
from orvane_master.business_layer.packages import handlers as H

events = []

class Manager:
    def __init__(self, failing):
        self.failing = failing

    async def send_message(self, kind, target, message):
        events.append((kind, str(message.get("output_type")), str(message.get("content", message.get("path")))))
        if self.failing:
            self.failing = False
            raise ConnectionError("gone")
        await asyncio.sleep(0)

class Logger:
    def error(self, text):
        events.append(("log", text))
    info = warning = error

def output_class():
    '''The installer's iterator; `lose(self)` runs after the first item is taken.'''
    class Output:
        def __init__(self, items, lose):
            self.items, self.lose = items, lose
        def __aiter__(self):
            return self
        async def __anext__(self):
            if not self.items:
                raise StopAsyncIteration
            item = self.items.pop(0)
            self.lose(self)
            self.lose = lambda self: None
            return item
        def __del__(self):
            events.append("released")
    return Output

class Plain:
    def __del__(self):
        events.append("released")

def returns(value):
    def lose(it):
        type(it).__anext__ = lambda self: value
    return lose

def raises(it):
    raise ValueError("from __anext__")

def unpacked_by(hook, base=str):
    '''Items as lists, the first one's output type with `hook` emptying the item being unpacked.'''
    current = []
    def fire():
        if current:
            current[0].clear()
    def make():
        items = [[hostile(base, [hook], fire, "stdout"), "line %d" % 1], ["stdout", "line %d" % 2]]
        current[:] = items[1:]
        return items
    return make

LOSSES = {
    "del __anext__": lambda it: delattr(type(it), "__anext__"),
    "class changed": lambda it: setattr(it, "__class__", Plain),
    "__anext__ returns no awaitable": returns(42),
    "__anext__ returns a used coroutine": returns(None),
    "__anext__ raises": raises,
    "nothing": lambda it: None,
}

def items():
    return [("stdout", "a"), ("path", "/p"), ("success", "done"), ("stderr", "z")]

async def native(ide_client_id, workbook_id, package_spec):
    '''The worker as the same code in Python.'''
    install_path = None
    try:
        async for output_type, content in H._package_manager.install_package(package_spec):
            if output_type == "stdout" or output_type == "stderr":
                await H._manager.send_message("ide", ide_client_id, {"type": "pip_output", "workbook_id": workbook_id, "output_type": output_type, "content": content})
            elif output_type == "path":
                install_path = content
            elif output_type == "success":
                await H._manager.send_message("ide", ide_client_id, {"type": "pip_output", "workbook_id": workbook_id, "output_type": "success", "content": content})
                if install_path:
                    await H._manager.send_message("kernel", workbook_id, {"type": "add_path", "path": install_path})
            elif output_type == "error":
                await H._manager.send_message("ide", ide_client_id, {"type": "pip_output", "workbook_id": workbook_id, "output_type": "error", "content": content})
    except Exception as e:
        H.logger.error("Error during package installation: %s" % e)
        await H._manager.send_message("ide", ide_client_id, {"type": "pip_output", "workbook_id": workbook_id, "output_type": "error", "content": "Installation error: %s" % e})

class Installer:
    def __init__(self, make_output):
        self.make_output = make_output
    def install_package(self, spec):
        return self.make_output()

def run(worker, make_output, failing=False):
    events.clear()
    H.init_handlers(Manager(failing), Installer(make_output), None)
    H.logger = Logger()
    try:
        asyncio.run(worker("ide-1", "wb", "pkg"))
    except Exception as e:  # the error report's own send failed
        events.append(repr(e))
    return list(events)

def compare(make_output, failing=False):
    ours, theirs = run(H.handle_package_install, make_output, failing), run(native, make_output, failing)
    return "same" if ours == theirs else "%r != %r" % (ours, theirs)

for name, lose in LOSSES.items():
    if name == "__anext__ returns a used coroutine":
        used = asyncio.sleep(0)
        used.close()
        lose = returns(used)
    for failing in [False, True]:
        case("%s%s" % (name, ", first send fails" if failing else ""),
             lambda: compare(lambda: output_class()(items(), lose), failing), hooked=False)
for hook in ["__del__", "__eq__"]:
    case("output type %s empties the item" % hook, lambda: compare(lambda: output_class()(unpacked_by(hook)(), lambda it: None)))
case("item __iter__ empties it", lambda: compare(lambda: output_class()([hostile(list, ["__iter__"], lambda: None, ["stdout", "x"])], lambda it: None)))
case("__aiter__ gives no __anext__", lambda: compare(lambda: type("Output", (), {"__aiter__": lambda self: Plain()})()),
     hooked=False)
"""


def test_installer_iterators_that_change_under_the_worker_act_as_in_python():
    # Iterators that lose __anext__ half-way (the method deleted, the class
    # changed), give what cannot be awaited or raise, items whose hooks empty
    # the item being unpacked, each also with the first send failing: the IDE
    # gets what the same worker written in Python sends, in the same order,
    # and the iterator is let go of where Python lets go of it.
    from dropping import run

    outcomes = run(INSTALLERS)
    assert len(outcomes) == 16
    assert {name: outcome for name, outcome in outcomes.items() if outcome != "same"} == {}
