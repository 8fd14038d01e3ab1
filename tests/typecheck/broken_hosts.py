"""Hosts with one mistake each. Every line that ends in an expect comment
(texts separated by "|") must draw a mypy error whose messages contain each
text; no other line may draw one."""
from typing import Any, AsyncIterator, Dict, Iterator, List, Optional, Tuple

from orvane_master.business_layer.packages import handlers
from orvane_master.python_server.orvane.proxylink import messaging

from business_host import AddinSocket, Manager, Packages, WorkbookState, install_workbook

Message = Dict[str, Any]


class SyncSendToIde(Manager):
    def send_to_ide(self, message: Message) -> None: ...  # type: ignore[override]


class AsyncPush(Manager):
    async def _push_packages_and_python_paths(self, workbook_id: str) -> None: ...  # type: ignore[override]


class AsyncGetConnection(Manager):
    async def get_connection(self, kind: str, workbook_id: str) -> Optional[AddinSocket]:  # type: ignore[override]
        return None


class NotAConnection(Manager):
    def get_connection(self, kind: str, workbook_id: str) -> Optional[str]:  # type: ignore[override]
        return None


class NoGetConnection(WorkbookState):
    async def send_to_ide(self, message: Message) -> None: ...

    async def send_message(self, kind: str, target: str, message: Message) -> None: ...

    def _push_packages_and_python_paths(self, workbook_id: str) -> None: ...


class PathsAsText(Manager):
    def __init__(self) -> None:
        super().__init__()
        self.workbook_python_paths: Dict[str, str] = {}  # type: ignore[assignment]


class InstallReturnsIterator(Packages):
    async def install_package(self, package_spec: str) -> Iterator[Tuple[str, str]]:  # type: ignore[override]
        return iter([])


class ExtrasNeedVersion(Packages):
    async def get_package_extras(self, package_name: str, version: str) -> List[str]:  # type: ignore[override]
        return []


class SyncVersions(Packages):
    def get_available_versions(self, package_name: str) -> List[str]:  # type: ignore[override]
        return []


def install_sync(workbook_id: str) -> None: ...


async def install_for_client(client_id: str, workbook_id: str) -> None: ...


async def install_stream(workbook_id: str) -> AsyncIterator[str]:
    yield workbook_id


def send_text(message: str) -> None: ...


async def send_later(message: Message) -> None: ...


init, manager, packages, install = handlers.init_handlers, Manager(), Packages(), install_workbook
init(SyncSendToIde(), packages, install)  # expect: Argument 1 | "ConnectionManager" | send_to_ide
init(AsyncPush(), packages, install)  # expect: Argument 1 | _push_packages_and_python_paths
init(AsyncGetConnection(), packages, install)  # expect: Argument 1 | get_connection
init(NotAConnection(), packages, install)  # expect: Argument 1 | get_connection
init(NoGetConnection(), packages, install)  # expect: Argument 1 | "ConnectionManager" protocol member | get_connection
init(PathsAsText(), packages, install)  # expect: Argument 1 | workbook_python_paths
init(manager, InstallReturnsIterator(), install)  # expect: Argument 2 | "PackageManager" | install_package
init(manager, ExtrasNeedVersion(), install)  # expect: Argument 2 | get_package_extras
init(manager, SyncVersions(), install)  # expect: Argument 2 | get_available_versions
init(manager, packages, install_sync)  # expect: Argument 3 | "WorkbookInstallFunction"
init(manager, packages, install_for_client)  # expect: Argument 3 | "WorkbookInstallFunction"
init(manager, packages, install_stream)  # expect: Argument 3 | "WorkbookInstallFunction"
messaging.set_send_handler(send_text)  # expect: "set_send_handler" | SendHandler
messaging.set_send_handler(lambda: None)  # expect: "set_send_handler" | SendHandler
messaging.set_send_handler(send_later)  # expect: "set_send_handler" | Coroutine | SendHandler
