"""The business-layer stand-ins: package sources, the installer stream, the
connection manager, the dispatcher and the workbook installer."""
import asyncio
import functools
import http.server
import io
import logging
import os
import pathlib
import shutil
import sys
import tarfile
import textwrap
import threading
import types

import pytest

from orvane_master.testing.business_layer import (
    ConnectionManager, Dispatcher, PackageManager, make_workbook_installer, package_spec)
from orvane_master.testing.business_layer.distributions import newest_first, latest_version

DISTRIBUTIONS = pathlib.Path(__file__).resolve().parent.parent / "examples" / "distributions"


def run(coro):
    return asyncio.run(coro)


async def collect(aiter):
    return [item async for item in aiter]


def write_sdist(folder, name, version, summary, extras=()):
    """An sdist holding only what the queries read: its PKG-INFO."""
    info = f"Metadata-Version: 2.1\nName: {name}\nVersion: {version}\nSummary: {summary}\n"
    info += "".join(f"Provides-Extra: {e}\n" for e in extras)
    data = info.encode()
    path = folder / f"{name}-{version}.tar.gz"
    with tarfile.open(path, "w:gz") as tf:
        member = tarfile.TarInfo(f"{name}-{version}/PKG-INFO")
        member.size = len(data)
        tf.addfile(member, io.BytesIO(data))
    return path


# -- package queries ------------------------------------------------------------

def test_queries_over_a_folder_of_wheels_and_sdists(tmp_path):
    source = tmp_path / "dists"
    shutil.copytree(DISTRIBUTIONS, source)
    write_sdist(source, "pebble-math", "2.0.dev1", "dev build", ["nightly"])
    write_sdist(source, "multi-part-name", "3.1", "A name with dashes", ["x"])
    (source / "README.txt").write_text("not a distribution")
    pm = PackageManager.from_folder(tmp_path / "target", source)

    async def queries():
        return (await pm.get_available_versions("Pebble.Math"),
                await pm.get_package_extras("pebble_math", None),
                await pm.get_package_extras("pebble_math", "1.1.0b1"),
                await pm.get_package_extras("pebble-math", "2.0.dev1"),
                await pm.get_package_info("PEBBLE_MATH"),
                await pm.get_package_info("multi_part_name"),
                await pm.get_package_info("absent"))

    versions, latest_extras, beta_extras, sdist_extras, info, dashed, absent = run(queries())
    assert versions == ["2.0.dev1", "1.1.0b1", "1.0.0", "0.9.0"]
    # No version: the latest final release, not a pre-release.
    assert latest_extras == ["fast", "plot"]
    assert beta_extras == ["fast", "plot", "stats"]
    assert sdist_extras == ["nightly"]
    assert info == {"name": "pebble-math", "latest_version": "1.0.0", "summary": "Small arithmetic helpers"}
    assert dashed == {"name": "multi-part-name", "latest_version": "3.1", "summary": "A name with dashes"}
    assert absent == {"error": "Package absent not found"}

    with pytest.raises(LookupError, match="No distributions found for absent"):
        run(pm.get_available_versions("absent"))
    with pytest.raises(LookupError, match="pebble_math 7.0"):
        run(pm.get_package_extras("pebble_math", "7.0"))


def test_versions_sort_as_the_installer_orders_them():
    ordered = ["2!0.1", "1.1", "1.0.post2", "1.0.post1", "1.0", "1.0rc1", "1.0b2", "1.0a10", "1.0a2",
               "1.0.dev3", "0.10", "0.9", "not-a-version"]
    assert newest_first(list(reversed(ordered))) == ordered
    assert newest_first(["1.0", "1.0.0"]) in (["1.0", "1.0.0"], ["1.0.0", "1.0"])
    assert latest_version(["1.0rc1", "0.9", "1.0.dev1"]) == "0.9"
    assert latest_version(["1.0rc1", "1.0b1"]) == "1.0rc1"


def test_queries_read_a_simple_index(tmp_path):
    root = tmp_path / "index"
    (root / "pebble-math").mkdir(parents=True)
    (root / "files").mkdir()
    for wheel in DISTRIBUTIONS.glob("pebble_math-*.whl"):
        shutil.copy(wheel, root / "files")
    links = "".join(f'<a href="../files/{w.name}#sha256=x">{w.name}</a>\n'
                    for w in sorted((root / "files").iterdir()))
    links += '<a href="../files/pebble_math-9.0-py3-none-any.whl" data-yanked="">pebble_math-9.0-py3-none-any.whl</a>'
    (root / "pebble-math" / "index.html").write_text(f"<html><body>{links}</body></html>")
    handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=str(root))
    handler.log_message = lambda *a: None
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        url = f"http://127.0.0.1:{server.server_address[1]}/"
        pm = PackageManager(tmp_path / "target", index_url=url)
        assert run(pm.get_available_versions("pebble_math")) == ["1.1.0b1", "1.0.0", "0.9.0"]
        assert run(pm.get_package_info("pebble_math"))["latest_version"] == "1.0.0"
        assert run(pm.get_package_extras("pebble_math", "1.0.0")) == ["fast", "plot"]
        assert run(pm.get_package_info("other")) == {"error": "Package other not found"}
        assert pm.installer_command("x")[-3:] == ["--index-url", url, "x"]
    finally:
        server.shutdown()


# -- the installer stream ---------------------------------------------------------

FAKE_INSTALLER = textwrap.dedent("""\
    #!{python}
    # Plays the installer: prints, then waits for the test's go-ahead file.
    import os, sys, time
    here = os.path.dirname(os.path.abspath(__file__))
    open(os.path.join(here, "pid"), "w").write(str(os.getpid()))
    print("collecting", sys.argv[-1], flush=True)
    print("a warning", file=sys.stderr, flush=True)
    go = os.path.join(here, "go")
    deadline = time.time() + 20
    while not os.path.exists(go) and time.time() < deadline:
        time.sleep(0.01)
    print("done", flush=True)
    sys.exit(int(open(go).read() or 0))
""")


@pytest.fixture
def fake_installer(tmp_path):
    folder = tmp_path / "fake"
    folder.mkdir()
    script = folder / "python"
    script.write_text(FAKE_INSTALLER.format(python=sys.executable))
    script.chmod(0o755)
    return folder


def test_output_streams_while_the_installer_runs(tmp_path, fake_installer):
    pm = PackageManager(tmp_path / "target", no_index=True, python=str(fake_installer / "python"))

    async def scenario(exit_code):
        (fake_installer / "go").unlink(missing_ok=True)
        stream = pm.install_package("pebble_math==1.0.0")
        first = [await stream.__anext__(), await stream.__anext__()]
        # The installer is still waiting for its go-ahead: the lines came while it ran.
        assert not (fake_installer / "go").exists()
        # Whole or not at all: the installer may read the file as soon as it exists.
        (fake_installer / "go.part").write_text(str(exit_code))
        (fake_installer / "go.part").replace(fake_installer / "go")
        return first + await collect(stream)

    items = run(scenario(0))
    assert sorted(items[:2]) == [("stderr", "a warning"), ("stdout", "collecting pebble_math==1.0.0")]
    assert items[2:] == [("stdout", "done"), ("path", str(tmp_path / "target")),
                         ("success", f"Successfully installed pebble_math==1.0.0 into {tmp_path / 'target'}")]
    failed = run(scenario(3))
    assert failed[-1] == ("error", "Installation of pebble_math==1.0.0 failed with exit code 3")
    assert "path" not in [kind for kind, _ in failed]


def test_closing_the_stream_early_ends_the_installer(tmp_path, fake_installer):
    pm = PackageManager(tmp_path / "target", no_index=True, python=str(fake_installer / "python"))

    async def scenario():
        stream = pm.install_package("x")
        await stream.__anext__()
        await stream.aclose()
        return int((fake_installer / "pid").read_text())

    pid = run(scenario())
    with pytest.raises(ProcessLookupError):
        os.kill(pid, 0)


def test_a_spec_beginning_with_a_dash_never_reaches_the_installer(tmp_path, monkeypatch):
    started = []

    async def no_process(*args, **kwargs):
        started.append(args)
        raise AssertionError("the installer was started")

    monkeypatch.setattr(asyncio, "create_subprocess_exec", no_process)
    pm = PackageManager.from_folder(tmp_path / "target", DISTRIBUTIONS)
    for spec in ("-r", "--index-url=http://elsewhere/ pebble_math", "-e."):
        items = run(collect(pm.install_package(spec)))
        assert [kind for kind, _ in items] == ["error"] and spec in items[0][1]
    assert started == [] and not (tmp_path / "target").exists()


# -- the connection manager ----------------------------------------------------------

def test_sends_reach_the_addressed_peer_as_json():
    manager = ConnectionManager()
    ide_a, ide_b = manager.connect_ide("a"), manager.connect_ide("b")
    kernel = manager.connect_kernel("wb")
    live = ["x"]

    async def scenario():
        await manager.send_message("ide", "a", {"type": "t", "items": live, "pair": (1, 2)})
        live.append("later")
        await manager.send_message("kernel", "wb", {"type": "add_path", "path": "/p"})
        await manager.send_message("kernel", "wb", {"type": "add_path", "path": "/p"})
        await manager.send_message("kernel", "gone", {"type": "add_path", "path": "/q"})
        await manager.send_to_ide({"type": "everyone"})
        return await ide_a.queue.get()

    first = run(scenario())
    assert first == {"type": "t", "items": ["x"], "pair": [1, 2]}
    assert [m["type"] for m in ide_a.received] == ["t", "everyone"]
    assert ide_b.received == [{"type": "everyone"}]
    assert kernel.sys_path == ["/p"]
    assert manager.get_connection("addin", "wb") is None
    assert manager.get_connection("kernel", "wb") is kernel

    ide_b.fail_with = ConnectionError("socket closed")
    with pytest.raises(ConnectionError, match="socket closed"):
        run(manager.send_message("ide", "b", {"type": "t"}))


def test_push_is_scheduled_not_awaited():
    manager = ConnectionManager()
    ide, addin = manager.connect_ide("ide"), manager.connect_addin("wb")
    manager.workbook_packages["wb"] = [{"name": "a", "version": "1", "extras": [], "status": "pending"}]
    manager.workbook_python_paths["wb"] = ["/lib"]

    async def scenario():
        assert manager._push_packages_and_python_paths("wb") is None
        assert ide.received == [] and addin.received == []
        await manager.settle()

    run(scenario())
    assert addin.stored == {"packages": manager.workbook_packages["wb"], "python_paths": ["/lib"]}
    assert ide.received == [{"type": "workbook_packages_update", "workbook_id": "wb",
                             "packages": manager.workbook_packages["wb"], "python_paths": ["/lib"],
                             "package_errors": {}}]


# -- the dispatcher ------------------------------------------------------------------

def test_dispatcher_routes_and_reports_every_failure(caplog):
    calls = []

    async def lookup(name):
        await asyncio.sleep(0)
        if name == "bad":
            raise ValueError("worker broke")
        return name

    async def worker(name):
        calls.append(("looked up", await asyncio.wait_for(lookup(name), 5)))  # may wrap it in a task of its own

    async def handle_get_package_info_request(client_id, message):
        calls.append((client_id, message["package_name"]))
        asyncio.create_task(asyncio.sleep(0.01))  # not the handlers' task: left alone
        asyncio.create_task(worker(message["package_name"]),
                            name=f"handlers:handle_get_package_info:{message['package_name']}:{client_id}")

    async def handle_get_workbook_packages(client_id, message):
        raise KeyError("name")

    handlers = types.SimpleNamespace(handle_get_package_info_request=handle_get_package_info_request,
                                     handle_get_workbook_packages=handle_get_workbook_packages)
    dispatcher = Dispatcher(handlers)

    async def scenario():
        dispatcher.attach()
        outside = asyncio.create_task(asyncio.sleep(0))
        await dispatcher.dispatch_json("c1", '{"type": "get_package_info_request", "package_name": "bad"}')
        await dispatcher.dispatch("c1", {"type": "get_workbook_packages"})
        await dispatcher.dispatch("c2", {"type": "no_such_message"})
        await dispatcher.dispatch("c2", {"type": "get_package_info_request", "package_name": "good"})
        assert sorted(t.get_name() for t in dispatcher.tasks) == [
            "handlers:handle_get_package_info:bad:c1", "handlers:handle_get_package_info:good:c2"]
        assert outside not in dispatcher.tasks
        await dispatcher.settle()

    with caplog.at_level(logging.WARNING):
        run(scenario())
    assert calls == [("c1", "bad"), ("c2", "good"), ("looked up", "good")]
    assert sorted(type(e).__name__ for e in dispatcher.errors) == ["KeyError", "ValueError"]  # each once
    logged = [r.getMessage() for r in caplog.records]
    assert [m for m in logged if "worker broke" in m] == [
        "Background task handlers:handle_get_package_info:bad:c1 failed: ValueError('worker broke')"]
    assert "Handler handle_get_workbook_packages failed: KeyError('name')" in logged
    assert "No handler for IDE message type 'no_such_message'" in logged
    assert dispatcher.tasks == set()


# -- the workbook installer ------------------------------------------------------------

class ScriptedPackageManager:
    """Answers install_package with items chosen per spec."""

    target = "/nowhere"

    def __init__(self, outcomes):
        self.outcomes = outcomes
        self.specs = []

    async def install_package(self, spec):
        self.specs.append(spec)
        for item in self.outcomes[spec]:
            if isinstance(item, Exception):
                raise item
            yield item


def test_workbook_installer_installs_the_list_in_order():
    manager = ConnectionManager()
    ide, kernel = manager.connect_ide("ide"), manager.connect_kernel("wb")
    manager.package_errors["wb"] = {"b": "old failure"}
    manager.workbook_packages["wb"] = [
        {"name": "a", "version": "1.0", "extras": ["fast", "plot"], "status": "pending"},
        {"name": "b", "version": "", "extras": [], "status": "pending"},
        {"name": "c", "version": "2", "extras": [], "status": "pending"},
        {"name": "d", "version": "3", "extras": [], "status": "pending"},
    ]
    pm = ScriptedPackageManager({
        "a[fast,plot]==1.0": [("stdout", "ok a"), ("path", "/site"), ("success", "a done")],
        "b": [("path", "/site"), ("success", "b done")],
        "c==2": [("stderr", "E1"), ("stderr", "E2"), ("error", "failed with exit code 1")],
        "d==3": [("stdout", "start d"), RuntimeError("pipe broke")],
    })
    install = make_workbook_installer(manager, pm)

    async def scenario():
        await install("wb")
        await manager.settle()

    run(scenario())
    assert pm.specs == ["a[fast,plot]==1.0", "b", "c==2", "d==3"]
    assert [p["status"] for p in manager.workbook_packages["wb"]] == ["installed", "installed", "error", "error"]
    assert manager.package_errors["wb"] == {"c": "E1\nE2\nfailed with exit code 1",
                                           "d": "RuntimeError: pipe broke"}
    installed = manager.workbook_installed_packages["wb"]
    assert [p["name"] for p in installed] == ["a", "b"]
    assert installed[0] is not manager.workbook_packages["wb"][0]
    assert installed[0]["extras"] is not manager.workbook_packages["wb"][0]["extras"]
    assert kernel.received == [{"type": "add_path", "path": "/site"}]
    outputs = [(m["output_type"], m["content"]) for m in ide.of_type("pip_output")]
    assert outputs == [("stdout", "ok a"), ("success", "a done"), ("success", "b done"), ("stderr", "E1"),
                       ("stderr", "E2"), ("error", "failed with exit code 1"), ("stdout", "start d")]
    # The last update the IDE saw holds the final statuses and errors.
    assert ide.of_type("workbook_packages_update")[-1]["package_errors"] == manager.package_errors["wb"]
    assert package_spec({"name": "x", "version": None, "extras": None}) == "x"
