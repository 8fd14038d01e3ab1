"""Python paths and resolved dependencies, and the tessil stand-in's rules."""
import asyncio
import os
import sys

import pytest

from orvane_master.business_layer import tessil


def run(handlers, name, message):
    return asyncio.run(getattr(handlers, name)("client", message))


def test_normalize_python_paths_rules():
    home = os.path.expanduser("~")
    assert tessil.normalize_python_paths([" /a/b/ ", "", "  ", "~/lib", "/a/./b", "rel/../x", "/c"]) == [
        "/a/b", os.path.join(home, "lib"), "x", "/c"]
    assert tessil.normalize_python_paths([]) == []
    for bad in (None, "/a", ("/a",), ["/a", 1], ["/a", None]):
        with pytest.raises(TypeError):
            tessil.normalize_python_paths(bad)
    assert tessil.__doc__.startswith("Stand-in for the business layer's module")


def test_paths_reach_kernel_addin_and_ide(handlers, manager, handler_log):
    manager.connect_addin("wb")
    manager.workbook_packages["wb"] = packages = [{"name": "a"}]
    manager.package_errors["wb"] = errors = {"a": "e"}
    old = manager.workbook_python_paths["wb"] = ["/old"]
    run(handlers, "handle_update_python_paths", {"workbook_id": "wb", "python_paths": [" /new/ ", "/x", "/new"]})
    stored = manager.workbook_python_paths["wb"]
    assert stored == ["/new", "/x"]
    (kernel_peer, kernel), (addin_peer, addin), (ide_peer, ide) = manager.sent
    assert (kernel_peer, addin_peer, ide_peer) == (("kernel", "wb"), ("addin", "wb"), "ide")
    assert kernel == {"type": "set_python_paths", "old_paths": ["/old"], "new_paths": ["/new", "/x"]}
    assert kernel["old_paths"] is old and kernel["new_paths"] is stored
    assert list(addin) == ["type", "packages", "python_paths"] and addin["type"] == "save_workbook_packages"
    assert addin["packages"] is packages and addin["python_paths"] is stored
    assert list(ide) == ["type", "workbook_id", "packages", "python_paths", "package_errors"]
    assert ide["packages"] is packages and ide["python_paths"] is stored and ide["package_errors"] is errors
    assert handler_log() == [("INFO", "Sent 2 python paths to kernel for workbook wb"),
                             ("INFO", "Sent python paths to addin for storage: 2 paths"),
                             ("INFO", "Updated python paths for workbook wb: 2 paths")]


def test_empty_paths_without_addin(handlers, manager, handler_log):
    run(handlers, "handle_update_python_paths", {"workbook_id": "wb"})
    assert manager.workbook_python_paths == {"wb": []}
    assert manager.sent == [("ide", {"type": "workbook_packages_update", "workbook_id": "wb", "packages": [],
                                     "python_paths": [], "package_errors": {}})]
    assert handler_log() == [("WARNING", "Cannot save python paths: addin not connected for wb"),
                             ("INFO", "Updated python paths for workbook wb: 0 paths")]


def test_clearing_the_paths_tells_the_kernel(handlers, manager):
    manager.connect_addin("wb")
    manager.workbook_python_paths["wb"] = ["/old"]
    run(handlers, "handle_update_python_paths", {"workbook_id": "wb", "python_paths": ["  "]})
    assert manager.sent[0] == (("kernel", "wb"), {"type": "set_python_paths", "old_paths": ["/old"], "new_paths": []})
    assert [peer for peer, _ in manager.sent] == [("kernel", "wb"), ("addin", "wb"), "ide"]


@pytest.mark.parametrize("message, error", [
    ({"python_paths": ["/a"]}, None),
    ({"workbook_id": "", "python_paths": ["/a"]}, None),
    ({"workbook_id": "wb", "python_paths": "/a"}, TypeError),
    ({"workbook_id": "wb", "python_paths": None}, TypeError),
    ({"workbook_id": "wb", "python_paths": ["/a", 3]}, TypeError),
    ({"workbook_id": ["unhashable"], "python_paths": ["/a"]}, TypeError),
])
def test_refused_messages_change_nothing(handlers, manager, handler_log, message, error):
    manager.workbook_python_paths["wb"] = paths = ["/kept"]
    if error:
        with pytest.raises(error):
            run(handlers, "handle_update_python_paths", message)
        assert handler_log() == []
    else:
        run(handlers, "handle_update_python_paths", message)
        assert handler_log() == [("WARNING", "Received update_python_paths without workbook_id")]
    assert manager.workbook_python_paths == {"wb": ["/kept"]} and manager.workbook_python_paths["wb"] is paths
    assert manager.sent == []


def test_a_failing_kernel_send_leaves_the_new_paths_stored(handlers, manager, handler_log):
    manager.fail = ConnectionError("kernel gone")
    with pytest.raises(ConnectionError):
        run(handlers, "handle_update_python_paths", {"workbook_id": "wb", "python_paths": ["/a"]})
    assert manager.workbook_python_paths["wb"] == ["/a"] and len(manager.sent) == 1 and handler_log() == []


def test_normalize_is_imported_at_every_run(handlers, manager, monkeypatch):
    monkeypatch.setattr(tessil, "normalize_python_paths", lambda paths: ["replaced"])
    run(handlers, "handle_update_python_paths", {"workbook_id": "wb", "python_paths": ["/a"]})
    assert manager.workbook_python_paths["wb"] == ["replaced"]
    monkeypatch.setitem(sys.modules, "orvane_master.business_layer.tessil", None)
    with pytest.raises(ImportError):
        run(handlers, "handle_update_python_paths", {})  # even without workbook_id
    monkeypatch.setitem(sys.modules, "orvane_master.business_layer.tessil", type(sys)("stub"))
    with pytest.raises(ImportError, match="cannot import name 'normalize_python_paths'"):
        run(handlers, "handle_update_python_paths", {"workbook_id": "wb"})


def test_resolved_deps(handlers, manager, handler_log):
    manager.workbook_resolved_deps["wb"] = deps = [{"name": "a", "version": "1"}]
    run(handlers, "handle_get_resolved_deps", {"workbook_id": "wb"})
    run(handlers, "handle_get_resolved_deps", {"workbook_id": "other"})
    run(handlers, "handle_get_resolved_deps", {"workbook_id": None})
    first, second = manager.messages()
    assert list(first) == ["type", "workbook_id", "deps"] and first["type"] == "resolved_deps_response"
    assert first["deps"] is deps and second == {"type": "resolved_deps_response", "workbook_id": "other", "deps": []}
    assert handler_log() == [("WARNING", "Received get_resolved_deps without workbook_id")]
