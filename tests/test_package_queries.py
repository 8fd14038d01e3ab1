"""Package queries: versions, extras and info, from the IDE's request through
the worker task to the answer the asking client receives."""
import asyncio

import pytest

from package_fakes import handlers, run_session  # noqa: F401  (fixture)


class QueryPackageManager:
    """Answers from tables; a value that is an exception is raised instead."""

    def __init__(self, versions=None, extras=None, info=None, gates=None):
        self.versions, self.extras, self.info = versions or {}, extras or {}, info or {}
        self.gates = gates or {}
        self.calls = []

    async def _answer(self, table, key, call):
        self.calls.append(call)
        gate = self.gates.get(call[1])
        if gate is not None:
            await gate.wait()
        value = table[key]
        if isinstance(value, Exception):
            raise value
        return value

    async def get_available_versions(self, name):
        return await self._answer(self.versions, name, ("versions", name))

    async def get_package_extras(self, name, version):
        return await self._answer(self.extras, (name, version), ("extras", name, version))

    async def get_package_info(self, name):
        return await self._answer(self.info, name, ("info", name))


def ask(layer, message, client="ide-1"):
    return layer.request(client, message)


def test_versions_answers_and_failures(handlers):
    pm = QueryPackageManager(versions={"numpy": ["2.0", "1.26"], "broken": ValueError("index down")})

    async def scenario(layer, ide):
        await ask(layer, {"type": "get_package_versions_request", "package_name": "numpy", "request_id": "r1"})
        # The handler returned before the package manager was asked: the work is a task.
        assert pm.calls == [] and len(layer.dispatcher.tasks) == 1
        await ask(layer, {"type": "get_package_versions_request", "package_name": "broken", "request_id": "r2"})
        await layer.settle()
        return ide.received

    ok, failed = run_session(handlers, pm, scenario)
    assert list(ok.items()) == [("type", "get_package_versions_response"), ("package_name", "numpy"),
                                ("versions", ["2.0", "1.26"]), ("request_id", "r1")]
    assert list(failed.items()) == [("type", "get_package_versions_response"), ("package_name", "broken"),
                                    ("versions", []), ("error", "index down"), ("request_id", "r2")]
    assert handlers.logger.lines == [("error", "Error querying package versions for broken: index down")]


@pytest.mark.parametrize("message, warning", [
    ({"type": "get_package_versions_request", "package_name": "numpy"},
     "Received get_package_versions_request without package_name or request_id"),
    ({"type": "get_package_versions_request", "package_name": "", "request_id": "r"},
     "Received get_package_versions_request without package_name or request_id"),
    ({"type": "get_package_extras_request", "package_name": "numpy", "request_id": 0},
     "Received get_package_extras_request without package_name or request_id"),
    ({"type": "get_package_info_request", "request_id": "r"},
     "Received get_package_info_request without package_name or request_id"),
])
def test_incomplete_requests_only_warn(handlers, message, warning):
    pm = QueryPackageManager()

    async def scenario(layer, ide):
        await ask(layer, message)
        assert not layer.dispatcher.tasks
        return ide.received

    assert run_session(handlers, pm, scenario) == []
    assert handlers.logger.lines == [("warning", warning)] and pm.calls == []


def test_non_string_values_fail_at_the_request(handlers):
    pm = QueryPackageManager(versions={"numpy": []})

    async def scenario(layer, ide):
        for message in ({"package_name": "numpy", "request_id": 7},
                        {"package_name": ["numpy"], "request_id": "r"}):
            with pytest.raises(TypeError, match="incorrect type"):
                await handlers.handle_get_package_versions_request("ide-1", message)
        with pytest.raises(TypeError, match=r"Argument 'version' has incorrect type \(expected str, got float\)"):
            await handlers.handle_get_package_extras_request(
                "ide-1", {"package_name": "numpy", "version": 1.5, "request_id": "r"})
        assert not layer.dispatcher.tasks
        return ide.received

    assert run_session(handlers, pm, scenario) == [] and pm.calls == []


def test_workers_refuse_non_strings_at_the_call(handlers):
    class Name(str):
        pass

    with pytest.raises(TypeError, match=r"Argument 'package_name' has incorrect type \(expected str, got Name\)"):
        handlers.handle_get_package_info("ide", Name("x"), "r")
    with pytest.raises(TypeError, match=r"Argument 'ide_client_id' has incorrect type \(expected str, got NoneType\)"):
        handlers.handle_get_package_versions(None, "x", "r")
    with pytest.raises(TypeError, match="request_id"):
        handlers.handle_get_package_extras("ide", "x", "1.0", None)
    coro = handlers.handle_get_package_extras(ide_client_id="ide", package_name="x", version=None, request_id="r")
    assert asyncio.iscoroutine(coro)
    coro.close()


def test_extras_fill_in_the_version(handlers):
    pm = QueryPackageManager(
        extras={("pandas", "2.1"): ["excel"], ("pandas", None): ["plot"], ("pandas", ""): ["sql"],
                ("bare", None): [], ("broken", None): RuntimeError("no index"),
                ("odd", None): ["x"], ("given", "3.0"): KeyError("3.0")},
        info={"pandas": {"latest_version": "2.2"}, "bare": {"name": "bare"}, "odd": {"latest_version": 5}})

    async def scenario(layer, ide):
        for rid, name, version in (("a", "pandas", "2.1"), ("b", "pandas", None), ("c", "pandas", ""),
                                   ("d", "bare", None), ("e", "broken", None), ("f", "odd", None),
                                   ("g", "given", "3.0")):
            message = {"type": "get_package_extras_request", "package_name": name, "request_id": rid}
            if version is not None:
                message["version"] = version
            await ask(layer, message)
            await layer.settle()
        return {m["request_id"]: m for m in ide.received}

    answers = run_session(handlers, pm, scenario)
    assert list(answers["a"].items()) == [("type", "get_package_extras_response"), ("package_name", "pandas"),
                                          ("version", "2.1"), ("extras", ["excel"]), ("request_id", "a")]
    assert (answers["b"]["version"], answers["b"]["extras"]) == ("2.2", ["plot"])
    assert (answers["c"]["version"], answers["c"]["extras"]) == ("2.2", ["sql"])
    assert answers["d"]["version"] == ""
    assert list(answers["e"].items()) == [("type", "get_package_extras_response"), ("package_name", "broken"),
                                          ("version", ""), ("extras", []), ("error", "no index"),
                                          ("request_id", "e")]
    assert answers["f"]["version"] == "" and answers["f"]["extras"] == []
    assert "str" in answers["f"]["error"] and "int" in answers["f"]["error"]
    assert (answers["g"]["version"], answers["g"]["error"]) == ("3.0", "'3.0'")
    # The extras are asked for with the version as received; info only when it was empty.
    assert pm.calls == [("extras", "pandas", "2.1"), ("extras", "pandas", None), ("info", "pandas"),
                        ("extras", "pandas", ""), ("info", "pandas"), ("extras", "bare", None), ("info", "bare"),
                        ("extras", "broken", None), ("extras", "odd", None), ("info", "odd"),
                        ("extras", "given", "3.0")]
    errors = [text for level, text in handlers.logger.lines if level == "error"]
    assert errors[0] == "Error querying package extras for broken: no index"
    assert errors[2] == "Error querying package extras for given: '3.0'"


def test_info_forms(handlers):
    pm = QueryPackageManager(info={
        "numpy": {"name": "NumPy", "latest_version": "2.0", "summary": "arrays", "extra": 1},
        "gone": {"error": {"code": 404}, "name": "ignored"},
        "plain": {},
        "broken": ConnectionError("refused"),
    })

    async def scenario(layer, ide):
        for rid, name in (("1", "numpy"), ("2", "gone"), ("3", "plain"), ("4", "broken")):
            await ask(layer, {"type": "get_package_info_request", "package_name": name, "request_id": rid})
            await layer.settle()
        return ide.received

    full, error_key, plain, failed = run_session(handlers, pm, scenario)
    head = [("type", "get_package_info_response")]
    assert list(full.items()) == head + [("package_name", "numpy"), ("request_id", "1"), ("name", "NumPy"),
                                         ("latest_version", "2.0"), ("summary", "arrays")]
    assert list(error_key.items()) == head + [("package_name", "gone"), ("request_id", "2"),
                                              ("error", {"code": 404})]
    assert list(plain.items()) == head + [("package_name", "plain"), ("request_id", "3"), ("name", "plain"),
                                          ("latest_version", ""), ("summary", "")]
    assert list(failed.items()) == head + [("package_name", "broken"), ("error", "refused"), ("request_id", "4")]
    assert handlers.logger.lines == [("error", "Error querying package info for broken: refused")]


def test_a_failing_send_is_answered_then_a_failing_error_send_ends_the_task(handlers):
    pm = QueryPackageManager(versions={"numpy": ["1.0"]})

    async def scenario(layer, ide):
        real_send = layer.manager.send_message
        failures = iter([OSError("first send lost")])

        async def flaky_send(kind, target, message):
            failure = next(failures, None)
            if failure:
                raise failure
            await real_send(kind, target, message)

        layer.manager.send_message = flaky_send
        await ask(layer, {"type": "get_package_versions_request", "package_name": "numpy", "request_id": "r1"})
        await layer.settle()
        ide.fail_with = OSError("socket closed")
        await ask(layer, {"type": "get_package_versions_request", "package_name": "numpy", "request_id": "r2"})
        await layer.settle()
        return ide.received, layer.dispatcher.errors

    received, task_errors = run_session(handlers, pm, scenario)
    assert received == [{"type": "get_package_versions_response", "package_name": "numpy", "versions": [],
                         "error": "first send lost", "request_id": "r1"}]
    assert [str(e) for e in task_errors] == ["socket closed"]
    assert handlers.logger.lines == [("error", "Error querying package versions for numpy: first send lost"),
                                     ("error", "Error querying package versions for numpy: socket closed")]


def test_queries_in_flight_are_answered_in_completion_order_to_their_client(handlers):
    gates = {}
    names = ["alpha", "beta", "gamma", "delta"]
    pm = QueryPackageManager(versions={n: [n + "-1.0"] for n in names}, info={n: {"name": n} for n in names},
                             gates=gates)
    finish_order = ["gamma", "alpha", "delta", "beta"]

    async def scenario(layer, ide):
        clients = {n: layer.manager.connect_ide("client-" + n) for n in names}
        for n in names:
            gates[n] = asyncio.Event()
        for n in names:
            kind = "get_package_info_request" if n in ("beta", "delta") else "get_package_versions_request"
            await ask(layer, {"type": kind, "package_name": n, "request_id": "req-" + n}, client="client-" + n)
        assert len(layer.dispatcher.tasks) == 4 and all(not c.received for c in clients.values())
        arrivals = []
        for n in finish_order:
            gates[n].set()
            arrivals.append(await asyncio.wait_for(clients[n].queue.get(), 5))
        await layer.settle()
        return arrivals, {n: c.received for n, c in clients.items()}, ide.received

    arrivals, per_client, first_ide = run_session(handlers, pm, scenario)
    assert [m["request_id"] for m in arrivals] == ["req-" + n for n in finish_order]
    for n, received in per_client.items():
        assert [m["request_id"] for m in received] == ["req-" + n]
    assert first_ide == []
