"""A business layer, as small as it gets, that hosts handlers: its types must check."""
import asyncio
from typing import Any, AsyncIterator, Dict, List, Optional, Tuple

from orvane_master.business_layer.packages import handlers

Message = Dict[str, Any]


class AddinSocket:
    async def send_json(self, message: Message) -> None: ...


class WorkbookState:
    def __init__(self) -> None:
        self.workbook_packages: Dict[str, List[Message]] = {}
        self.workbook_installed_packages: Dict[str, List[Message]] = {}
        self.workbook_python_paths: Dict[str, List[str]] = {}
        self.package_errors: Dict[str, Dict[str, str]] = {}
        self.workbook_resolved_deps: Dict[str, List[Message]] = {}


class Manager(WorkbookState):
    def __init__(self) -> None:
        super().__init__()
        self.addins: Dict[str, AddinSocket] = {}

    async def send_to_ide(self, message: Message) -> None: ...

    async def send_message(self, kind: str, target: str, message: Message) -> None: ...

    def get_connection(self, kind: str, workbook_id: str) -> Optional[AddinSocket]:
        return self.addins.get(workbook_id)

    def _push_packages_and_python_paths(self, workbook_id: str) -> None:
        asyncio.get_running_loop().create_task(self.send_to_ide({"type": "workbook_packages_update"}))


class Packages:
    async def install_package(self, package_spec: str) -> AsyncIterator[Tuple[str, str]]:
        yield "stdout", "Collecting " + package_spec
        yield "success", "done"

    async def get_available_versions(self, package_name: str) -> List[str]:
        return ["1.0"]

    async def get_package_extras(self, package_name: str, version: Optional[str]) -> List[str]:
        return []

    async def get_package_info(self, package_name: str) -> Dict[str, str]:
        return {"name": package_name}


async def install_workbook(workbook_id: str) -> None: ...


handlers.init_handlers(Manager(), Packages(), install_workbook)
