"""The workbook package list handlers under a real event loop, against a
connection manager that records what is sent (see conftest.RecordingManager)."""
import asyncio
import collections
import gc
import json
import weakref

import pytest

from conftest import RecordingManager


def entry(name, version="1", extras=(), status="pending"):
    return {"name": name, "version": version, "extras": list(extras), "status": status}


def run(handlers, name, message, client_id="client"):
    return asyncio.run(getattr(handlers, name)(client_id, message))


def test_add_creates_the_list_and_sends_the_live_list(handlers, manager, handler_log):
    run(handlers, "handle_add_workbook_package", {"workbook_id": "wb", "package_name": "numpy", "version": "2.0"})
    run(handlers, "handle_add_workbook_package",
        {"workbook_id": "wb", "package_name": "numpy", "version": "1.0", "extras": ["x"], "other": 1})
    packages = manager.workbook_packages["wb"]
    assert packages == [entry("numpy", "2.0"), entry("numpy", "1.0", ["x"])]  # no duplicate check
    assert list(packages[0]) == ["name", "version", "extras", "status"]
    first, second = manager.messages()
    assert list(first) == ["type", "workbook_id", "packages"] and first["type"] == "workbook_packages_update"
    assert first["packages"] is second["packages"] is packages
    assert [m["packages"] for _, m in manager.snapshots] == [[entry("numpy", "2.0")], packages]
    assert handler_log() == [("INFO", "Added package numpy==2.0 to workbook wb"),
                             ("INFO", "Added package numpy==1.0 to workbook wb")]


def test_remove_drops_every_entry_of_the_name(handlers, manager, handler_log):
    run(handlers, "handle_remove_workbook_package", {"workbook_id": "none", "package_name": "a"})
    assert manager.sent == [] and handler_log() == [] and manager.workbook_packages == {}
    old = manager.workbook_packages["wb"] = [entry("a"), entry("b"), entry("a", "2")]
    run(handlers, "handle_remove_workbook_package", {"workbook_id": "wb", "package_name": "a"})
    run(handlers, "handle_remove_workbook_package", {"workbook_id": "wb", "package_name": "zzz"})
    assert manager.workbook_packages["wb"] == [entry("b")] and manager.workbook_packages["wb"] is not old
    assert [m["packages"] for m in manager.messages()] == [[entry("b")], [entry("b")]]
    assert handler_log() == [("INFO", "Removed package a from workbook wb"),
                             ("INFO", "Removed package zzz from workbook wb")]


def test_update_changes_the_first_entry_only(handlers, manager, handler_log):
    run(handlers, "handle_update_workbook_package", {"workbook_id": "none", "package_name": "a", "version": "2"})
    assert manager.sent == [] and handler_log() == []
    manager.workbook_packages["wb"] = [entry("b"), entry("a"), entry("a")]
    run(handlers, "handle_update_workbook_package", {"workbook_id": "wb", "package_name": "a", "version": "2"})
    run(handlers, "handle_update_workbook_package",
        {"workbook_id": "wb", "package_name": "b", "version": "3", "extras": ["e"]})
    run(handlers, "handle_update_workbook_package", {"workbook_id": "wb", "package_name": "c", "version": "4"})
    assert manager.workbook_packages["wb"] == [entry("b", "3", ["e"], "pending_update"),
                                               entry("a", "2", [], "pending_update"), entry("a")]
    assert len(manager.messages()) == 3
    assert handler_log() == [("INFO", "Updated package a==2 in workbook wb"), ("INFO", "Updated package b==3 in workbook wb"),
                             ("INFO", "Updated package c==4 in workbook wb")]


def test_reorder_keeps_only_the_named_entries(handlers, manager, handler_log):
    a, b, c, b2 = entry("a"), entry("b"), entry("c"), entry("b", "2")
    manager.workbook_packages["wb"] = [a, b, c, b2]
    run(handlers, "handle_reorder_workbook_packages", {"workbook_id": "wb", "package_names": ["b", "a", "x", "a"]})
    packages = manager.workbook_packages["wb"]
    assert packages == [b2, a, a] and packages[1] is packages[2] is a  # the later "b" wins; "c" is gone
    assert manager.messages()[0]["packages"] is packages
    run(handlers, "handle_reorder_workbook_packages", {"workbook_id": "wb", "package_names": []})
    run(handlers, "handle_reorder_workbook_packages", {"workbook_id": "other", "package_names": ["a"]})
    assert len(manager.sent) == 1 and manager.workbook_packages["wb"] is packages
    run(handlers, "handle_reorder_workbook_packages", {"workbook_id": "wb", "package_names": ("a",)})
    assert manager.workbook_packages["wb"] == [a] and len(manager.sent) == 2
    assert handler_log() == [("INFO", "Reordered packages for workbook wb"),
                             ("WARNING", "Received reorder_workbook_packages without required parameters"),
                             ("INFO", "Reordered packages for workbook wb")]


@pytest.mark.parametrize("package_names", ["b", {"b": 1}, 5, None, b"b", (n for n in ["b"])],
                         ids=["str", "dict", "int", "None", "bytes", "generator"])
@pytest.mark.parametrize("workbook", ["wb", "none"])
def test_reorder_refuses_package_names_that_are_not_a_list(handlers, manager, handler_log, package_names, workbook):
    packages = manager.workbook_packages["wb"] = [entry("a"), entry("b")]
    run(handlers, "handle_reorder_workbook_packages", {"workbook_id": workbook, "package_names": package_names})
    assert manager.workbook_packages == {"wb": [entry("a"), entry("b")]} and manager.workbook_packages["wb"] is packages
    assert manager.sent == []
    assert handler_log() == [("WARNING", "Received reorder_workbook_packages without required parameters")]


def test_status_is_stored_as_sent_with_paths_and_errors(handlers, manager, handler_log):
    manager.workbook_packages["wb"] = [entry("a"), entry("a")]
    run(handlers, "handle_update_package_status", {"workbook_id": "wb", "package_name": "a", "status": "invented"})
    paths, errors = manager.workbook_python_paths["wb"], manager.package_errors["wb"] = ["/p"], {"a": "e"}
    run(handlers, "handle_update_package_status", {"workbook_id": "wb", "package_name": "zzz", "status": "ok"})
    first, second = manager.messages()
    assert manager.workbook_packages["wb"] == [entry("a", status="invented"), entry("a")]
    assert list(first) == ["type", "workbook_id", "packages", "python_paths", "package_errors"]
    assert first["python_paths"] == [] and first["package_errors"] == {}
    assert second["python_paths"] is paths and second["package_errors"] is errors
    assert second["packages"] is manager.workbook_packages["wb"]
    assert handler_log() == [("INFO", "Updated status for package a to invented in workbook wb"),
                             ("INFO", "Updated status for package zzz to ok in workbook wb")]


def test_restore_stores_copies_of_the_installed_list(handlers, manager, handler_log):
    installed = manager.workbook_installed_packages["wb"] = [entry("a", status="installed"), {"no": "name"}]
    run(handlers, "handle_restore_workbook_packages", {"workbook_id": "wb"})
    run(handlers, "handle_restore_workbook_packages", {"workbook_id": "new"})
    restored = manager.workbook_packages["wb"]
    assert restored == installed and restored is not installed
    assert all(r is not i for r, i in zip(restored, installed))
    assert manager.workbook_packages["new"] == [] and manager.pushed == ["wb", "new"]
    assert manager.sent == [] and handler_log() == []
    # Later edits of the workbook's list leave the record of what was installed alone.
    run(handlers, "handle_update_workbook_package", {"workbook_id": "wb", "package_name": "a", "version": "9"})
    run(handlers, "handle_add_workbook_package", {"workbook_id": "wb", "package_name": "b", "version": "1"})
    assert installed == [entry("a", status="installed"), {"no": "name"}]


def test_get_sends_the_whole_state(handlers, manager):
    run(handlers, "handle_get_workbook_packages", {"workbook_id": "empty"})
    manager.workbook_packages = collections.OrderedDict(wb=[entry("a")])  # not exactly a dict: its get() is used
    manager.workbook_python_paths["wb"] = ["/p"]
    manager.package_errors["wb"] = {"a": "failed"}
    run(handlers, "handle_get_workbook_packages", {"workbook_id": "wb"})
    empty, full = manager.messages()
    assert empty == {"type": "workbook_packages_update", "workbook_id": "empty", "packages": [],
                     "package_errors": {}, "python_paths": []}
    assert list(full) == ["type", "workbook_id", "packages", "package_errors", "python_paths"]
    assert full["packages"] is manager.workbook_packages["wb"]
    assert full["python_paths"] is manager.workbook_python_paths["wb"]
    assert full["package_errors"] is manager.package_errors["wb"]


@pytest.mark.parametrize("name, message", [
    ("handle_remove_workbook_package", {"package_name": "b"}),
    ("handle_update_workbook_package", {"package_name": "b", "version": "2"}),
    ("handle_reorder_workbook_packages", {"package_names": ["a"]}),
    ("handle_update_package_status", {"package_name": "b", "status": "x"}),
])
def test_an_entry_without_name_stops_the_search(handlers, manager, handler_log, name, message):
    packages = manager.workbook_packages["wb"] = [entry("a"), {"version": "1"}, entry("b")]
    before = json.dumps(packages)
    with pytest.raises(KeyError):
        run(handlers, name, dict(message, workbook_id="wb"))
    assert manager.workbook_packages["wb"] is packages and json.dumps(packages) == before
    assert manager.sent == [] and handler_log() == []


@pytest.mark.parametrize("name, message, error", [
    ("handle_add_workbook_package", {"workbook_id": ["unhashable"], "package_name": "a", "version": "1"}, TypeError),
    ("handle_remove_workbook_package", {"workbook_id": {}, "package_name": "a"}, None),  # false: a warning
    ("handle_reorder_workbook_packages", {"workbook_id": "wb", "package_names": [["unhashable"]]}, TypeError),
    ("handle_get_workbook_packages", {"workbook_id": ["unhashable"]}, TypeError),
    ("handle_restore_workbook_packages", {"workbook_id": ["unhashable"]}, TypeError),
])
def test_refused_messages_change_nothing(handlers, manager, name, message, error):
    manager.workbook_packages["wb"] = packages = [entry("a")]
    manager.workbook_installed_packages["wb"] = [entry("a", status="installed")]
    if error:
        with pytest.raises(error):
            run(handlers, name, message)
    else:
        run(handlers, name, message)
    assert manager.workbook_packages == {"wb": [entry("a")]} and manager.workbook_packages["wb"] is packages
    assert manager.sent == [] and manager.pushed == []


def test_values_of_other_types_are_stored_as_received(handlers, manager, handler_log):
    run(handlers, "handle_add_workbook_package", {"workbook_id": "wb", "package_name": "a", "version": 3, "extras": "e"})
    run(handlers, "handle_update_package_status", {"workbook_id": "wb", "package_name": "a", "status": 7})
    assert manager.workbook_packages["wb"] == [{"name": "a", "version": 3, "extras": "e", "status": 7}]
    assert handler_log() == [("INFO", "Added package a==3 to workbook wb"),
                             ("INFO", "Updated status for package a to 7 in workbook wb")]


def test_a_failing_send_leaves_the_change_and_skips_the_log_line(handlers, manager, handler_log):
    manager.fail = ConnectionError("gone")
    with pytest.raises(ConnectionError):
        run(handlers, "handle_add_workbook_package", {"workbook_id": "wb", "package_name": "a", "version": "1"})
    assert manager.workbook_packages["wb"] == [entry("a")] and handler_log() == []


def test_interleaved_edits_never_show_a_half_made_list(handlers):
    manager = RecordingManager(pauses=3)
    handlers.init_handlers(manager, None, None)
    manager.workbook_packages["wb"] = [entry(n) for n in "abc"]
    h = handlers

    async def scenario():
        edits = []
        for i in range(20):
            edits += [h.handle_add_workbook_package("c", {"workbook_id": "wb", "package_name": f"p{i}", "version": "1"}),
                      h.handle_update_workbook_package("c", {"workbook_id": "wb", "package_name": "a", "version": str(i)}),
                      h.handle_reorder_workbook_packages("c", {"workbook_id": "wb", "package_names": ["c", "b", "a"]}),
                      h.handle_remove_workbook_package("c", {"workbook_id": "wb", "package_name": f"p{i}"}),
                      h.handle_update_package_status("c", {"workbook_id": "wb", "package_name": "b", "status": "s"})]
        await asyncio.gather(*edits)

    asyncio.run(scenario())
    assert len(manager.sent) == 100
    for _, message in manager.snapshots:
        names = [p["name"] for p in message["packages"]]
        assert all(list(p) == ["name", "version", "extras", "status"] for p in message["packages"])
        assert names[:3] in (["a", "b", "c"], ["c", "b", "a"]) and len(set(names)) == len(names)
    final = manager.workbook_packages["wb"]
    assert [p["name"] for p in final] == ["c", "b", "a"] and final[1]["status"] == "s"


def test_through_the_dispatcher_and_json(handlers):
    from orvane_master.testing.business_layer import ConnectionManager, Dispatcher

    cm = ConnectionManager()
    ide = cm.connect_ide("ide-1")
    handlers.init_handlers(cm, None, None)
    dispatcher = Dispatcher(handlers)

    async def scenario():
        dispatcher.attach()
        for message in [{"type": "add_workbook_package", "workbook_id": "wb", "package_name": "a", "version": "1"},
                        {"type": "add_workbook_package", "workbook_id": "wb", "package_name": "b", "version": "2",
                         "extras": ["x"]},
                        {"type": "reorder_workbook_packages", "workbook_id": "wb", "package_names": ["b", "a"]},
                        {"type": "update_package_status", "workbook_id": "wb", "package_name": "a", "status": "ok"},
                        {"type": "get_workbook_packages", "workbook_id": "wb"}]:
            await dispatcher.dispatch_json("ide-1", json.dumps(message))
        await dispatcher.settle()

    asyncio.run(scenario())
    assert dispatcher.errors == []
    assert ide.received[-1] == {"type": "workbook_packages_update", "workbook_id": "wb",
                                "packages": [entry("b", "2", ["x"]), entry("a", status="ok")],
                                "package_errors": {}, "python_paths": []}


def test_a_suspended_handler_in_a_cycle_is_collected(handlers):
    class Pending:
        def __await__(self):
            yield "waiting"

    class Manager(RecordingManager):
        def send_to_ide(self, message):
            self.sent.append(message)
            return Pending()

    manager = Manager()
    handlers.init_handlers(manager, None, None)
    manager.workbook_packages["wb"] = [entry("a")]
    coro = handlers.handle_update_workbook_package("c", {"workbook_id": "wb", "package_name": "a", "version": "2"})
    assert coro.send(None) == "waiting"
    manager.workbook_packages["wb"][0]["held"] = coro  # manager -> list -> entry -> coro -> message -> ...
    refs = weakref.ref(coro), weakref.ref(manager)
    handlers.init_handlers(None, None, None)
    del coro, manager
    gc.collect()
    assert [r() for r in refs] == [None, None]


def test_no_reference_leaks_on_any_path(handlers, manager):
    import sys

    wb, name = "".join(["w", "b"]), "".join(["p", "k"])  # objects of their own, to count references to
    h = handlers

    async def once():
        await h.handle_add_workbook_package("c", {"workbook_id": wb, "package_name": name, "version": "1"})
        await h.handle_update_workbook_package("c", {"workbook_id": wb, "package_name": name, "version": "2"})
        await h.handle_update_package_status("c", {"workbook_id": wb, "package_name": name, "status": "s"})
        await h.handle_reorder_workbook_packages("c", {"workbook_id": wb, "package_names": [name, name]})
        await h.handle_get_workbook_packages("c", {"workbook_id": wb})
        await h.handle_remove_workbook_package("c", {"workbook_id": wb, "package_name": name})
        await h.handle_update_python_paths("c", {"workbook_id": wb, "python_paths": [name]})
        await h.handle_add_workbook_package("c", {"workbook_id": wb, "package_name": name})  # a warning
        await h.handle_reorder_workbook_packages("c", {"workbook_id": wb, "package_names": name})  # a warning
        manager.workbook_packages[wb] = [{"version": name}]
        for refused in (h.handle_remove_workbook_package("c", {"workbook_id": wb, "package_name": name}),
                        h.handle_reorder_workbook_packages("c", {"workbook_id": wb, "package_names": [name]})):
            with pytest.raises(KeyError):
                await refused
        coro = h.handle_add_workbook_package("c", {"workbook_id": wb, "package_name": name, "version": "1"})
        coro.close()  # never started
        del manager.workbook_packages[wb]
        manager.workbook_python_paths.clear()
        manager.sent.clear()
        manager.snapshots.clear()

    async def scenario():
        for _ in range(3):
            await once()
        before = sys.getrefcount(wb), sys.getrefcount(name)
        for _ in range(100):
            await once()
        return before, (sys.getrefcount(wb), sys.getrefcount(name))

    before, after = asyncio.run(scenario())
    assert before == after
