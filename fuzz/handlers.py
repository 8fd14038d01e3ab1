"""Fuzzes every request handler and worker of the package handlers module on a
real asyncio loop, with messages of any shape and stand-ins for the business
layer (no installer runs) whose sends succeed, pause, raise, return no
awaitable or return another handler's coroutine, whose package manager yields
odd output or fails, and whose per-workbook lists hold odd entries."""
import asyncio

import atheris

import common
from common import Hook, Hostile, plain, scalar, text

from orvane_master.business_layer.packages import handlers as H

EXPECTED = (TypeError, ValueError, AttributeError, KeyError, IndexError, RecursionError, RuntimeError, Hostile)
REQUESTS = [
    "handle_package_install_request", "handle_get_package_versions_request", "handle_get_package_extras_request",
    "handle_get_package_info_request", "handle_add_workbook_package", "handle_remove_workbook_package",
    "handle_update_workbook_package", "handle_restore_workbook_packages", "handle_update_package_status",
    "handle_update_python_paths", "handle_reorder_workbook_packages", "handle_install_workbook_packages",
    "handle_get_workbook_packages", "handle_get_resolved_deps",
]
WORKERS = {"handle_package_install": 3, "handle_get_package_versions": 3, "handle_get_package_extras": 4,
           "handle_get_package_info": 3}
KEYS = ["workbook_id", "package", "package_name", "version", "extras", "status", "python_paths", "package_names",
        "request_id"]


class Logger:
    def info(self, text):
        pass

    warning = error = info


def value(fdp, targets):
    kind = fdp.ConsumeIntInRange(0, 6)
    if kind == 0:
        return "wb1"
    if kind == 1:
        return [text(fdp) for _ in range(fdp.ConsumeIntInRange(0, 3))]
    if kind == 2:
        return Hook(fdp, targets)
    return plain(fdp, 2) if kind == 3 else text(fdp)


def entry(fdp, targets):
    if fdp.ConsumeIntInRange(0, 6) == 6:
        return value(fdp, targets)
    e = {k: value(fdp, targets) if fdp.ConsumeIntInRange(0, 3) == 3 else text(fdp)
         for k in ("name", "version", "extras", "status") if fdp.ConsumeIntInRange(0, 5)}
    targets.append(e)
    return e


class Manager:
    def __init__(self, fdp, targets):
        self.fdp, self.targets = fdp, targets
        self.modes = [fdp.ConsumeIntInRange(0, 4) for _ in range(4)]
        lists = [[entry(fdp, targets) for _ in range(fdp.ConsumeIntInRange(0, 3))] for _ in range(2)]
        targets.extend(lists)
        self.workbook_packages = {"wb1": lists[0]}
        self.workbook_installed_packages = {"wb1": lists[1]}
        self.workbook_python_paths = {"wb1": value(fdp, targets)}
        self.package_errors = {"wb1": plain(fdp, 2)}
        self.workbook_resolved_deps = {"wb1": plain(fdp, 2)}
        self.addin = fdp.ConsumeBool()
        self.sends = 0

    def _send(self, message):
        mode = self.modes[self.sends % 4]
        self.sends += 1
        if mode == 1:
            raise Hostile
        if mode == 2:
            return None
        if mode == 3:
            return H.handle_get_workbook_packages("ide-1", {"workbook_id": "wb1"})
        return self._deliver(message)

    async def _deliver(self, message):
        await asyncio.sleep(0)
        common.walk_young()

    def send_to_ide(self, message):
        return self._send(message)

    def send_message(self, kind, target, message):
        return self._send(message)

    def get_connection(self, kind, workbook_id):
        return self if self.addin and kind == "addin" else None

    def send_json(self, message):
        return self._send(message)

    def _push_packages_and_python_paths(self, workbook_id):
        return None


class Packages:
    def __init__(self, fdp, targets):
        self.fails = fdp.ConsumeIntInRange(0, 3) == 3
        self.output = [(fdp.PickValueInList(["stdout", "stderr", "path", "success", "error", "?"]), value(fdp, targets))
                       if fdp.ConsumeIntInRange(0, 5) else value(fdp, targets)
                       for _ in range(fdp.ConsumeIntInRange(0, 4))]
        self.answer = plain(fdp, 2)
        self.info = {k: value(fdp, targets) for k in ("error", "name", "latest_version", "summary")
                     if fdp.ConsumeBool()}

    def install_package(self, spec):
        if self.fails:
            raise Hostile

        async def output():
            for item in self.output:
                await asyncio.sleep(0)
                yield item
        return output()

    async def _query(self, answer):
        if self.fails:
            raise Hostile
        return answer

    def get_available_versions(self, name):
        return self._query(self.answer)

    def get_package_extras(self, name, version):
        return self._query(self.answer)

    def get_package_info(self, name):
        return self._query(self.info)


def install_workbook(workbook_id):
    async def install():
        await asyncio.sleep(0)
    return install()


async def session(fdp):
    targets = []
    H.logger = Logger()
    H.init_handlers(Manager(fdp, targets), Packages(fdp, targets),
                    install_workbook if fdp.ConsumeIntInRange(0, 5) else lambda wb: None)
    for _ in range(fdp.ConsumeIntInRange(1, 4)):
        name = fdp.PickValueInList(REQUESTS + list(WORKERS))
        if name in WORKERS:
            args = [text(fdp) if fdp.ConsumeIntInRange(0, 5) else scalar(fdp) for _ in range(WORKERS[name])]
        else:
            message = {k: value(fdp, targets) for k in KEYS if fdp.ConsumeBool()}
            targets.append(message)
            args = ["ide-1", message]
        try:
            await getattr(H, name)(*args)
        except Exception as exc:
            common.check(exc, EXPECTED)
    me = asyncio.current_task()
    for _ in range(50):
        tasks = [t for t in asyncio.all_tasks() if t is not me]
        if not tasks:
            break
        for outcome in await asyncio.gather(*tasks, return_exceptions=True):
            if isinstance(outcome, BaseException):
                common.check(outcome, EXPECTED)
    else:
        raise common.Fault("tasks still running after the session")


loop = asyncio.new_event_loop()


def one_input(data):
    loop.run_until_complete(session(atheris.FuzzedDataProvider(data)))


if __name__ == "__main__":
    common.run(one_input)
