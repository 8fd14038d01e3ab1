"""The handlers module: its globals and loading, init_handlers, the calling
convention of the request handlers and their validation warnings."""
import asyncio
import inspect
import subprocess
import sys
import textwrap

import pytest

NAME = "orvane_master.business_layer.packages.handlers"

REQUEST_HANDLERS = [
    "handle_package_install_request", "handle_get_package_versions_request", "handle_get_package_extras_request",
    "handle_get_package_info_request", "handle_add_workbook_package", "handle_remove_workbook_package",
    "handle_update_workbook_package", "handle_restore_workbook_packages", "handle_update_package_status",
    "handle_update_python_paths", "handle_reorder_workbook_packages", "handle_install_workbook_packages",
    "handle_get_workbook_packages", "handle_get_resolved_deps",
]

# handler, a message with every required value, the warning when one is missing (None: silent)
REQUIRED = {
    "handle_package_install_request": ({"workbook_id": "wb", "package": "p"}, None),
    "handle_get_package_versions_request": ({"package_name": "p", "request_id": "r"},
                                            "Received get_package_versions_request without package_name or request_id"),
    "handle_get_package_extras_request": ({"package_name": "p", "request_id": "r"},
                                          "Received get_package_extras_request without package_name or request_id"),
    "handle_get_package_info_request": ({"package_name": "p", "request_id": "r"},
                                        "Received get_package_info_request without package_name or request_id"),
    "handle_add_workbook_package": ({"workbook_id": "wb", "package_name": "p", "version": "1"},
                                    "Received add_workbook_package without required parameters"),
    "handle_remove_workbook_package": ({"workbook_id": "wb", "package_name": "p"},
                                       "Received remove_workbook_package without required parameters"),
    "handle_update_workbook_package": ({"workbook_id": "wb", "package_name": "p", "version": "1"},
                                       "Received update_workbook_package without required parameters"),
    "handle_restore_workbook_packages": ({"workbook_id": "wb"}, None),
    "handle_update_package_status": ({"workbook_id": "wb", "package_name": "p", "status": "s"},
                                     "Received update_package_status without required parameters"),
    "handle_update_python_paths": ({"workbook_id": "wb"}, "Received update_python_paths without workbook_id"),
    "handle_reorder_workbook_packages": ({"workbook_id": "wb", "package_names": ["p"]},
                                         "Received reorder_workbook_packages without required parameters"),
    "handle_install_workbook_packages": ({"workbook_id": "wb"}, "Received install_workbook_packages without workbook_id"),
    "handle_get_workbook_packages": ({"workbook_id": "wb"}, "Received get_workbook_packages without workbook_id"),
    "handle_get_resolved_deps": ({"workbook_id": "wb"}, "Received get_resolved_deps without workbook_id"),
}


def run(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)


def test_module_globals_in_order(handlers):
    names = list(vars(handlers))
    first = ["asyncio", "Optional", "get_logger", "logger", "_manager", "_package_manager",
             "_handle_workbook_packages_install", "init_handlers"]
    assert [n for n in names if n in first] == first
    assert names.index("init_handlers") < min(names.index(h) for h in REQUEST_HANDLERS)
    assert handlers.asyncio is asyncio
    import typing
    from orvane_master import quaylog
    assert handlers.Optional is typing.Optional and handlers.get_logger is quaylog.get_logger
    assert handlers.logger.name == NAME
    assert handlers._manager is handlers._package_manager is handlers._handle_workbook_packages_install is None
    assert handlers.__doc__.startswith("Package Handlers - Message handlers for package management operations.")
    for duty in ("IDE package management requests", "PackageManager", "ConnectionManager"):
        assert duty in handlers.__doc__


def test_handlers_are_coroutine_functions_with_signatures_and_docstrings(handlers):
    for name in REQUEST_HANDLERS:
        fn = getattr(handlers, name)
        assert fn.__name__ == name and fn.__module__ == NAME
        assert asyncio.iscoroutinefunction(fn)
        assert list(inspect.signature(fn).parameters) == ["client_id", "message"]
        assert fn.__doc__.startswith(name + "(client_id: str, message: dict) -> None\n\nHandle ")
    assert handlers.handle_update_python_paths.__doc__.endswith("Handle update python paths request from IDE.")
    assert handlers.handle_get_resolved_deps.__doc__.endswith("Handle get resolved dependencies request from IDE.")
    assert handlers.init_handlers.__doc__.startswith(
        "init_handlers(manager, package_manager, handle_workbook_packages_install_func) -> None")
    assert not asyncio.iscoroutinefunction(handlers.init_handlers)


def test_init_handlers_stores_and_replaces_the_services(handlers):
    assert handlers.init_handlers(1, 2, 3) is None
    assert (handlers._manager, handlers._package_manager, handlers._handle_workbook_packages_install) == (1, 2, 3)
    handlers.init_handlers(package_manager="p", manager="m", handle_workbook_packages_install_func="f")
    assert (handlers._manager, handlers._package_manager, handlers._handle_workbook_packages_install) == ("m", "p", "f")
    for args, kwargs in [((1, 2), {}), ((1, 2, 3, 4), {}), ((1, 2), {"other": 3}), ((1, 2, 3), {"manager": 1})]:
        with pytest.raises(TypeError):
            handlers.init_handlers(*args, **kwargs)


def test_handlers_read_the_services_when_they_run(handlers, manager):
    from conftest import RecordingManager

    second = RecordingManager()
    coro = handlers.handle_get_resolved_deps("c", {"workbook_id": "wb"})  # made before the switch
    handlers.init_handlers(second, None, None)
    asyncio.run(coro)
    assert manager.sent == [] and second.messages() == [
        {"type": "resolved_deps_response", "workbook_id": "wb", "deps": []}]
    handlers.init_handlers(None, None, None)
    with pytest.raises(AttributeError):
        asyncio.run(handlers.handle_get_resolved_deps("c", {"workbook_id": "wb"}))


class Str(str):
    pass


class Dict(dict):
    pass


@pytest.mark.parametrize("name", REQUEST_HANDLERS)
def test_arguments_are_checked_at_the_call(handlers, manager, name):
    fn = getattr(handlers, name)
    good = {"workbook_id": "wb"}
    for args, arg_name, expected, got in [(("c", Dict(good)), "message", "dict", "Dict"),
                                          (("c", None), "message", "dict", "NoneType"),
                                          ((Str("c"), good), "client_id", "str", "Str"),
                                          ((None, good), "client_id", "str", "NoneType")]:
        with pytest.raises(TypeError) as info:
            fn(*args)
        assert str(info.value) == f"Argument '{arg_name}' has incorrect type (expected {expected}, got {got})"
    for args, kwargs in [(("c",), {}), (("c", good, 1), {}), (("c",), {"msg": good}),
                         (("c", good), {"client_id": "c"})]:
        with pytest.raises(TypeError):
            fn(*args, **kwargs)
    coro = fn(message={}, client_id="c")
    assert asyncio.iscoroutine(coro)
    coro.close()
    assert manager.sent == []


@pytest.mark.parametrize("name", REQUEST_HANDLERS)
def test_missing_or_false_required_values_warn_and_send_nothing(handlers, manager, handler_log, name):
    complete, warning = REQUIRED[name]
    started = []
    handlers.asyncio = type("NoTasks", (), {"create_task": staticmethod(lambda coro, name: started.append(coro))})
    for key in complete:
        for missing in (None, "", 0, []):
            message = dict(complete)
            if missing is None:
                del message[key]
            else:
                message[key] = missing
            assert asyncio.run(getattr(handlers, name)("client", message)) is None
    lines = handler_log()
    expected = [("WARNING", warning)] * (4 * len(complete)) if warning else []
    assert lines == expected
    assert manager.sent == [] and manager.pushed == [] and started == []
    assert manager.workbook_packages == manager.workbook_python_paths == {}


def test_request_handlers_start_their_workers_as_tasks(handlers, manager, handler_log):
    calls = []

    async def worker(*args):
        calls.append((*args, asyncio.current_task().get_name()))

    for name in ("handle_get_package_versions", "handle_get_package_extras", "handle_get_package_info",
                 "handle_package_install"):
        setattr(handlers, name, lambda *args, _n=name: worker(_n, *args))
    handlers.init_handlers(manager, None, lambda wb: worker("install all", wb))

    async def scenario():
        await handlers.handle_get_package_versions_request("c", {"package_name": "p", "request_id": "r"})
        await handlers.handle_get_package_extras_request("c", {"package_name": "p", "request_id": "r"})
        await handlers.handle_get_package_info_request("c", {"package_name": "p", "request_id": "r", "x": 1})
        await handlers.handle_package_install_request("c", {"workbook_id": "wb", "package": "p==1"})
        await handlers.handle_install_workbook_packages("c", {"workbook_id": "wb"})
        assert calls == []  # scheduled, not awaited
        await asyncio.sleep(0)

    asyncio.run(scenario())
    assert calls == [
        ("handle_get_package_versions", "c", "p", "r", "handlers:handle_get_package_versions:p:c"),
        ("handle_get_package_extras", "c", "p", None, "r", "handlers:handle_get_package_extras:p:c"),
        ("handle_get_package_info", "c", "p", "r", "handlers:handle_get_package_info:p:c"),
        ("handle_package_install", "c", "wb", "p==1", "handlers:handle_package_install:wb:c"),
        ("install all", "wb", "handlers:handle_install_workbook_packages:wb")]
    assert handler_log() == [("INFO", "Starting package installation for workbook wb")]


def test_import_needs_quaylog_and_its_get_logger():
    result = run(f"""
        import sys, types
        sys.modules["orvane_master.quaylog"] = None
        try:
            import {NAME}
        except ImportError as e:
            print("ImportError")
        sys.modules["orvane_master.quaylog"] = types.ModuleType("orvane_master.quaylog")
        try:
            import {NAME}
        except ImportError as e:
            print(e)
        del sys.modules["orvane_master.quaylog"]
        import {NAME} as h
        print(h.logger.name)
    """)
    assert result.stdout.split("\n")[:3] == [
        "ImportError", "cannot import name 'get_logger' from 'orvane_master.quaylog'", NAME], result.stderr


def test_a_second_module_object_is_refused():
    result = run(f"""
        import importlib.util
        spec = importlib.util.find_spec("{NAME}")
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(first)
        try:
            spec.loader.exec_module(second)
        except RuntimeError as e:
            print(e)
        import {NAME} as imported
        print(imported is first)
    """)
    assert result.stdout.split("\n")[:2] == [
        "Module 'handlers' has already been imported. Re-initialisation is not supported.", "True"], result.stderr
