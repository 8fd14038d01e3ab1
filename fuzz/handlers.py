"""Fuzzes every request handler and worker of the package handlers module on a
real asyncio loop, with messages of any shape and stand-ins for the business
layer (no installer runs) whose sends succeed, pause, raise, return no
awaitable or return another handler's coroutine, whose package manager yields
odd output or fails, and whose per-workbook lists hold odd entries. The
installer's iterators lose __anext__ half-way (the method deleted, or their
class changed), raise from __aiter__ or __anext__, or give what cannot be
awaited; hooks in messages, entries and items empty or drop the message,
list, entry or item they were read from."""
import asyncio

import atheris

import common
from common import Hostile, hook, plain, scalar, text

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
        return hook(fdp, targets)
    return plain(fdp, 2) if kind == 3 else text(fdp)


def entry(fdp, targets):
    if fdp.ConsumeIntInRange(0, 6) == 6:
        return value(fdp, targets)
    e = {}
    targets.append(e)
    for k in ("name", "version", "extras", "status"):
        if fdp.ConsumeIntInRange(0, 5):
            e[k] = value(fdp, targets) if fdp.ConsumeIntInRange(0, 3) == 3 else text(fdp)
    return e


class Manager:
    def __init__(self, fdp, targets):
        self.fdp, self.targets = fdp, targets
        self.modes = [fdp.ConsumeIntInRange(0, 4) for _ in range(4)]
        lists = [[], []]
        targets.extend(lists)
        for made in lists:
            made.extend(entry(fdp, targets) for _ in range(fdp.ConsumeIntInRange(0, 3)))
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


class Plain:
    """What an installer's iterator may turn into: no __anext__."""


def output_class(fdp, targets):
    """A class of its own for each iterator, which it may lose __anext__ from."""
    change = fdp.ConsumeIntInRange(0, 6)
    at = fdp.ConsumeIntInRange(0, 3)

    class Output:
        def __init__(self, items):
            self.items, self.taken = items, 0

        def __aiter__(self):
            if change == 4:
                raise Hostile
            return Plain() if change == 5 else self

        def __anext__(self):
            self.taken += 1
            if self.taken > at:
                if change == 1:
                    del Output.__anext__
                elif change == 2:
                    self.__class__ = Plain
                elif change == 3:
                    return 42  # cannot be awaited
                elif change == 6:
                    raise Hostile
            return self.step()

        async def step(self):
            await asyncio.sleep(0)
            if not self.items:
                raise StopAsyncIteration
            return self.items.pop(0)

    return Output


class Packages:
    def __init__(self, fdp, targets):
        self.fails = fdp.ConsumeIntInRange(0, 3) == 3
        self.output = []
        targets.append(self.output)
        for _ in range(fdp.ConsumeIntInRange(0, 4)):
            if fdp.ConsumeIntInRange(0, 5):
                item = []  # listed before its values are made, so that their hooks may name it
                targets.append(item)
                item.append(fdp.PickValueInList(["stdout", "stderr", "path", "success", "error", "?"])
                            if fdp.ConsumeIntInRange(0, 3) else hook(fdp, targets))
                item.append(value(fdp, targets))
                self.output.append(tuple(item) if fdp.ConsumeBool() else item)
            else:
                self.output.append(value(fdp, targets))
        self.output_class = output_class(fdp, targets) if fdp.ConsumeBool() else None
        self.answer = plain(fdp, 2)
        self.info = {k: value(fdp, targets) for k in ("error", "name", "latest_version", "summary")
                     if fdp.ConsumeBool()}

    def install_package(self, spec):
        if self.fails:
            raise Hostile
        if self.output_class is not None:
            return self.output_class(self.output)

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
            message = {}
            targets.append(message)
            for k in KEYS:
                if fdp.ConsumeBool():
                    message[k] = value(fdp, targets)
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
    common.arm()
    try:
        loop.run_until_complete(session(atheris.FuzzedDataProvider(data)))
    finally:
        common.arm(False)


if __name__ == "__main__":
    common.run(one_input)
