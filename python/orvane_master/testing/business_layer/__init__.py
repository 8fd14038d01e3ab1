"""Stand-ins for the business layer that hosts the package handlers.

- `ConnectionManager` keeps the per-workbook state and in-memory peers (IDE
  clients, kernels, add-ins) whose sends can be observed;
- `PackageManager` installs with the real installer into a target folder and
  answers version, extras and info queries from local folders of
  distributions or a package index;
- `make_workbook_installer` makes the function that installs a workbook's list;
- `Dispatcher` routes IDE messages to the handlers and reports what fails;
- `BusinessLayer` puts them together and injects them into the handlers.
"""
from __future__ import annotations

import asyncio
import os
from typing import Any, Dict, Optional

from .connections import AddinPeer, ConnectionManager, KernelPeer, Peer
from .dispatcher import MESSAGE_TYPES, ROUTES, TASK_NAME_PREFIX, Dispatcher
from .package_manager import PackageManager
from .workbook_install import installed_distributions, make_workbook_installer, package_spec

__all__ = [
    "AddinPeer", "BusinessLayer", "ConnectionManager", "Dispatcher", "KernelPeer", "MESSAGE_TYPES",
    "PackageManager", "Peer", "ROUTES", "TASK_NAME_PREFIX", "installed_distributions", "make_workbook_installer",
    "package_spec",
]


class BusinessLayer:
    """A connection manager, a package manager, the workbook installer and a
    dispatcher, injected into a handlers module with `start()`."""

    def __init__(self, handlers: Any, package_manager: PackageManager,
                 manager: Optional[ConnectionManager] = None) -> None:
        self.handlers = handlers
        self.manager = manager or ConnectionManager()
        self.package_manager = package_manager
        self.install_workbook = make_workbook_installer(self.manager, package_manager)
        self.dispatcher = Dispatcher(handlers)

    @classmethod
    def from_folder(cls, handlers: Any, target: "os.PathLike[str] | str",
                    distributions: "os.PathLike[str] | str") -> "BusinessLayer":
        return cls(handlers, PackageManager.from_folder(target, distributions))

    def start(self, loop: Optional[asyncio.AbstractEventLoop] = None) -> None:
        """Injects the services into the handlers and attaches the dispatcher
        to the loop (the running one by default)."""
        self.handlers.init_handlers(self.manager, self.package_manager, self.install_workbook)
        self.dispatcher.attach(loop)

    async def request(self, client_id: str, message: Dict[str, Any]) -> None:
        """One IDE message, through the dispatcher."""
        await self.dispatcher.dispatch(client_id, message)

    async def settle(self) -> None:
        """Waits for the background work: handler tasks and scheduled pushes."""
        while True:
            await self.dispatcher.settle()
            await self.manager.settle()
            if not self.dispatcher.pending():
                return
