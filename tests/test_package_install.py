"""Package installation: the install worker's handling of every item, the
request handlers, and real installs from the shipped folder of wheels."""
import asyncio
import os
import pathlib
import subprocess
import sys

import pytest

from orvane_master.testing.business_layer import PackageManager
from package_fakes import handlers, run_session  # noqa: F401  (fixture)

DISTRIBUTIONS = pathlib.Path(__file__).resolve().parent.parent / "examples" / "distributions"


class ScriptedInstaller:
    """install_package yields the scripted items; an exception item is raised."""

    def __init__(self, items):
        self.items = items
        self.specs = []

    def install_package(self, spec):
        self.specs.append(spec)
        if isinstance(self.items, Exception):
            raise self.items

        async def stream():
            for item in self.items:
                await asyncio.sleep(0)
                if isinstance(item, Exception):
                    raise item
                yield item
        return stream()


def install(handlers, items, spec="pkg==1.0", pm=None):
    """Runs one install request; returns what the IDE and the kernel received."""
    pm = pm or ScriptedInstaller(items)

    async def scenario(layer, ide):
        kernel = layer.manager.connect_kernel("wb")
        await layer.request("ide-1", {"type": "package_install_request", "workbook_id": "wb", "package": spec})
        await layer.settle()
        return ide.received, kernel.received

    return run_session(handlers, pm, scenario)


def outputs(messages):
    return [(m["output_type"], m["content"]) for m in messages]


def test_items_stream_to_the_ide_and_success_tells_the_kernel(handlers):
    ide, kernel = install(handlers, [("stdout", "A"), ("stderr", "W"), ("path", "/site/D"), ("progress", 1),
                                     ("success", "B")])
    assert [list(m.items()) for m in ide] == [
        [("type", "pip_output"), ("workbook_id", "wb"), ("output_type", "stdout"), ("content", "A")],
        [("type", "pip_output"), ("workbook_id", "wb"), ("output_type", "stderr"), ("content", "W")],
        [("type", "pip_output"), ("workbook_id", "wb"), ("output_type", "success"), ("content", "B")]]
    assert [list(m.items()) for m in kernel] == [[("type", "add_path"), ("path", "/site/D")]]
    assert handlers.logger.lines == []


@pytest.mark.parametrize("items, add_paths", [
    ([("success", "done")], []),
    ([("success", "done"), ("path", "/late")], []),
    ([("path", "/p"), ("success", "one"), ("success", "two")], ["/p", "/p"]),
    ([("path", ""), ("success", "done")], []),
    ([("path", "/p"), ("error", "exit code 1")], []),
    ([["path", "/p"], ("success", "lists unpack too")], ["/p"]),
])
def test_add_path_follows_success_only_after_a_path(handlers, items, add_paths):
    ide, kernel = install(handlers, items)
    assert [m["path"] for m in kernel] == add_paths
    assert outputs(ide) == [tuple(i) for i in items if i[0] in ("success", "error")]


@pytest.mark.parametrize("items, text", [
    ([("stdout", "x"), ("path", "/p", "extra"), ("success", "never")], "too many values to unpack (expected 2)"),
    ([("path",)], "not enough values to unpack (expected 2, got 1)"),
    ([7], "cannot unpack non-iterable int object"),
    ([("path", "/p"), RuntimeError("pipe closed")], "pipe closed"),
    (KeyError("no such spec"), "'no such spec'"),
])
def test_failures_end_with_one_installation_error(handlers, items, text):
    ide, kernel = install(handlers, items)
    assert kernel == []
    assert ide[-1] == {"type": "pip_output", "workbook_id": "wb", "output_type": "error",
                       "content": "Installation error: " + text}
    assert handlers.logger.lines == [("error", "Error during package installation: " + text)]


@pytest.mark.parametrize("spec", ["-r/etc/passwd", "--index-url=http://mirror.invalid/simple", " \t\n-e .", "\u3000-x"])
def test_option_like_specifications_never_reach_the_package_manager(handlers, spec, tmp_path):
    pm = ScriptedInstaller([("success", "done")])
    ide, kernel = install(handlers, None, spec, pm)
    assert pm.specs == [] and kernel == []
    [refused] = ide
    assert refused["output_type"] == "error" and refused["content"].startswith("Installation error: ")
    assert repr(spec) in refused["content"] and "must not begin with '-'" in refused["content"]
    assert handlers.logger.lines == [("error", "Error during package installation: " + refused["content"][20:])]
    # The simulated package manager refuses such a requirement on its own as well.
    async def stand_in():
        return [item async for item in PackageManager.from_folder(tmp_path, DISTRIBUTIONS).install_package(spec.strip())]
    assert [kind for kind, _ in asyncio.run(stand_in())] == ["error"]


def test_a_failing_send_is_reported_and_a_failing_report_ends_the_task(handlers):
    pm = ScriptedInstaller([("path", "/p"), ("success", "done")])

    async def scenario(layer, ide):
        kernel = layer.manager.connect_kernel("wb")
        kernel.fail_with = ConnectionError("kernel gone")
        await layer.request("ide-1", {"type": "package_install_request", "workbook_id": "wb", "package": "x"})
        await layer.settle()
        ide.fail_with = ConnectionError("ide gone")
        await layer.request("ide-1", {"type": "package_install_request", "workbook_id": "wb", "package": "x"})
        await layer.settle()
        return ide.received, layer.dispatcher.errors

    received, errors = run_session(handlers, pm, scenario)
    assert outputs(received) == [("success", "done"), ("error", "Installation error: kernel gone")]
    assert [str(e) for e in errors] == ["ide gone"]


def test_install_requests_validate_and_start_a_task(handlers):
    pm = ScriptedInstaller([("success", "ok")])

    async def scenario(layer, ide):
        for message in ({"workbook_id": "wb", "package": ""}, {"package": "x"}, {"workbook_id": "wb"}):
            assert await handlers.handle_package_install_request("ide-1", message) is None
        assert not layer.dispatcher.tasks and pm.specs == []
        with pytest.raises(TypeError, match=r"Argument 'workbook_id' has incorrect type \(expected str, got int\)"):
            await handlers.handle_package_install_request("ide-1", {"workbook_id": 3, "package": "x"})
        with pytest.raises(TypeError, match="message"):
            handlers.handle_package_install_request("ide-1", None)
        await layer.request("ide-1", {"type": "package_install_request", "workbook_id": "wb", "package": "x"})
        assert len(layer.dispatcher.tasks) == 1 and pm.specs == []
        await layer.settle()
        return ide.received

    assert outputs(run_session(handlers, pm, scenario)) == [("success", "ok")]
    assert handlers.logger.lines == [] and pm.specs == ["x"]


def test_install_workbook_packages_starts_the_injected_function(handlers):
    seen = []

    async def install_all(workbook_id):
        seen.append(("ran", workbook_id))

    class Logger:
        def info(self, text):
            seen.append(("info", text))

        def warning(self, text):
            seen.append(("warning", text))

    async def scenario(layer, ide):
        handlers.init_handlers(layer.manager, layer.package_manager, install_all)
        handlers.logger = Logger()
        await layer.request("ide-1", {"type": "install_workbook_packages", "workbook_id": ""})
        await layer.request("ide-1", {"type": "install_workbook_packages", "workbook_id": "Book1"})
        # The line is written once the task exists, before it has run.
        assert seen == [("warning", "Received install_workbook_packages without workbook_id"),
                        ("info", "Starting package installation for workbook Book1")]

    run_session(handlers, ScriptedInstaller([]), scenario)
    assert seen[-1] == ("ran", "Book1")

    def broken(workbook_id):
        raise RuntimeError("not a coroutine function")

    async def failing(layer, ide):
        handlers.init_handlers(layer.manager, layer.package_manager, broken)
        with pytest.raises(RuntimeError):
            await handlers.handle_install_workbook_packages("ide-1", {"workbook_id": "Book1"})

    seen.clear()
    run_session(handlers, ScriptedInstaller([]), failing)
    assert seen == []


# -- real installs -----------------------------------------------------------------------

def test_real_install_streams_output_and_the_package_imports(handlers, tmp_path, monkeypatch):
    folder = tmp_path / "Book1"
    processes = []
    create = asyncio.create_subprocess_exec

    async def recording_create(*args, **kwargs):
        processes.append(await create(*args, **kwargs))
        return processes[-1]

    monkeypatch.setattr(asyncio, "create_subprocess_exec", recording_create)
    pm = PackageManager.from_folder(folder, DISTRIBUTIONS)

    async def scenario(layer, ide):
        kernel = layer.manager.connect_kernel("Book1")
        # Whether the installer was still running when each message reached the IDE.
        ide.on_message = lambda m: m.__setitem__("running", processes[-1].returncode is None)
        for spec in ("pebble_text==0.2.0", "pebble_missing==9.9", "--index-url=http://example.invalid/"):
            await layer.request("ide-1", {"type": "package_install_request", "workbook_id": "Book1",
                                          "package": spec})
            await layer.settle()
        return ide.received, kernel.received

    received, kernel = run_session(handlers, pm, scenario)
    assert len(processes) == 2  # the option-like spec never reached the installer
    assert kernel == [{"type": "add_path", "path": str(folder)}]

    first = received[: next(i for i, m in enumerate(received) if m["output_type"] == "success") + 1]
    assert first[0]["output_type"] == "stdout" and first[0]["running"]
    assert any("pebble_math-1.0.0" in m["content"] for m in first)
    assert first[-1]["content"] == f"Successfully installed pebble_text==0.2.0 into {folder}"

    second, refused = received[len(first):-1], received[-1]
    assert any(m["output_type"] == "stderr" and "pebble_missing" in m["content"] for m in second)
    assert second[-1]["output_type"] == "error" and second[-1]["content"].endswith("exit code 1")
    assert refused["output_type"] == "error" and "must not begin with '-'" in refused["content"]

    probe = subprocess.run([sys.executable, "-c", "import pebble_text; print(pebble_text.__file__); "
                            "print(pebble_text.average_length(['ab', 'abcd']))"],
                           capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=str(folder)), cwd=tmp_path)
    assert probe.returncode == 0, probe.stderr
    assert probe.stdout.split() == [str(folder / "pebble_text" / "__init__.py"), "3.0"]


def test_workers_release_what_they_pass_on(handlers):
    import gc
    import weakref

    class Held:
        pass

    class Manager:
        async def send_message(self, kind, target, message):
            pass

    class Everything:
        """Answers every query and install with fresh objects, or fails with one."""

        def __init__(self, fail):
            self.fail = fail
            self.made = []

        def _new(self, cls=Held):
            obj = cls("failed") if cls is not Held else cls()
            self.made.append(weakref.ref(obj))
            return obj

        async def _answer(self):
            if self.fail:
                raise self._new(RuntimeError)
            return self._new()

        async def get_available_versions(self, name):
            return await self._answer()

        async def get_package_extras(self, name, version):
            return await self._answer()

        async def get_package_info(self, name):
            if self.fail:
                raise self._new(RuntimeError)
            return {"latest_version": "1.0", "summary": self._new()}

        def install_package(self, spec):
            async def stream():
                await asyncio.sleep(0)
                yield "stdout", self._new()
                yield "path", self._new()
                yield "success", self._new()
                if self.fail:
                    yield "too", "many", "values"
            return stream()

    async def all_workers():
        await handlers.handle_get_package_versions("c", "p", "r")
        await handlers.handle_get_package_extras("c", "p", None, "r")
        await handlers.handle_get_package_info("c", "p", "r")
        await handlers.handle_package_install("c", "wb", "p")
        unfinished = handlers.handle_package_install("c", "wb", "p")
        unfinished.send(None)  # suspended inside the stream
        unfinished.close()
        await asyncio.sleep(0)  # the finaliser of an unfinished stream runs

    for fail in (False, True):
        pm = Everything(fail)
        handlers.init_handlers(Manager(), pm, None)
        asyncio.run(all_workers())
        gc.collect()
        assert pm.made and [ref() for ref in pm.made] == [None] * len(pm.made)
