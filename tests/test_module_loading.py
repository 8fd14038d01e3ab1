"""Loading rules of the extension modules; each case runs in a fresh interpreter."""
import subprocess
import sys
import textwrap

import pytest

MODULES = ["orvane_master.python_server.orvane.proxylink", "orvane_master.business_layer.packages.handlers"]


def run(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("name", MODULES)
def test_second_import_and_loader_give_the_same_module(name):
    result = run(f"""
        import importlib, importlib.util, sys
        import {name} as first
        assert first.__name__ == "{name}"
        del sys.modules["{name}"]
        again = importlib.import_module("{name}")
        assert again is first
        spec = importlib.util.find_spec("{name}")
        assert importlib.util.module_from_spec(spec) is first
        print("same")
    """)
    assert result.stdout.strip() == "same", result.stderr


# Every name each module binds (dunders aside), in binding order.
INTERFACES = {
    "orvane_master.python_server.orvane.proxylink": [
        "base64", "concurrent", "dt", "threading", "uuid", "pd", "np", "Any", "Dict", "pl", "_HAS_POLARS",
        "serialize_com_object", "deserialize_com_object", "is_com_object", "_HAS_COM", "Serializer", "Messaging",
        "_cw__getattr__", "_cw__getitem__", "_cw__setattr__", "_cw__call__", "_cw__del__", "_internal_officejs_names",
        "OfficeJsObject", "OfficeJsArray", "OfficeJsDict", "UNIQUE_TRANSACTION_ID", "OfficeJsTransaction",
        "messaging", "Context", "Excel", "GetSetting", "Union", "Intersect", "GetSystemInfo"],
    "orvane_master.business_layer.packages.handlers": [
        "asyncio", "Optional", "get_logger", "logger", "_manager", "_package_manager",
        "_handle_workbook_packages_install", "init_handlers",
        "handle_package_install_request", "handle_get_package_versions_request", "handle_get_package_extras_request",
        "handle_get_package_info_request", "handle_add_workbook_package", "handle_remove_workbook_package",
        "handle_update_workbook_package", "handle_restore_workbook_packages", "handle_update_package_status",
        "handle_update_python_paths", "handle_reorder_workbook_packages", "handle_install_workbook_packages",
        "handle_get_workbook_packages", "handle_get_resolved_deps",
        "handle_package_install", "handle_get_package_versions", "handle_get_package_extras",
        "handle_get_package_info"],
}


@pytest.mark.parametrize("name", MODULES)
def test_modules_bind_exactly_their_interface(name):
    result = run(f"""
        import {name} as m
        print(" ".join(n for n in vars(m) if not (n.startswith("__") and n.endswith("__"))))
        print(getattr(m, "_HAS_COM", True))
    """)
    bound, has_com = result.stdout.split("\n")[:2]
    expected = [n for n in INTERFACES[name] if has_com == "True" or n != "is_com_object"]
    assert sorted(bound.split()) == sorted(expected), result.stderr


@pytest.mark.parametrize("name", MODULES)
def test_sub_interpreter_is_refused(name):
    result = run(f"""
        import sys
        import {name}
        code = "import {name}"
        try:
            import _testcapi  # shares the GIL, as the kernel's interpreters would
            _testcapi.run_in_subinterp(code)
        except ImportError:
            import _interpreters
            interp = _interpreters.create(_interpreters.new_config("legacy"))
            err = _interpreters.exec(interp, code)
            print(err.msg if err else "imported")
    """)
    if "No module named '_interpreters'" in result.stderr:
        pytest.skip("this CPython offers no sub-interpreters")
    text = "Interpreter change detected - this module can only be loaded into one interpreter per process."
    assert text in result.stdout + result.stderr


def test_import_without_pandas_fails():
    result = run("""
        import sys
        sys.modules["pandas"] = None
        try:
            import orvane_master.python_server.orvane.proxylink
        except ImportError as e:
            print("ImportError")
    """)
    assert result.stdout.strip() == "ImportError", result.stderr


def test_import_without_polars_and_with_legacy_module(tmp_path):
    pkg = "orvane_master.python_server.orvane"
    result = run(f"""
        import sys, types
        sys.modules["polars"] = None
        import {pkg} as package
        vornel = types.ModuleType("{pkg}.vornel")
        vornel.serialize_com_object = lambda o: "s"
        vornel.deserialize_com_object = lambda o: "d"
        vornel.is_com_object = lambda o: False
        sys.modules["{pkg}.vornel"] = vornel
        from {pkg} import proxylink as p
        assert p._HAS_POLARS is False and p.pl is None
        assert p._HAS_COM is True and p.is_com_object is vornel.is_com_object
        assert p.serialize_com_object is vornel.serialize_com_object
        print("ok")
    """)
    assert result.stdout.strip() == "ok", result.stderr


def test_exit_is_not_held_up_by_surviving_proxies():
    result = run("""
        import time
        from orvane_master.python_server.orvane import proxylink as p
        sent = []
        p.messaging.set_send_handler(sent.append)   # nobody ever answers
        keep = [p.OfficeJsObject(i, "Range") for i in range(10, 20)]
        print("exiting")
    """)
    assert result.returncode == 0 and result.stdout.strip() == "exiting", result.stderr
    assert result.stderr == ""
