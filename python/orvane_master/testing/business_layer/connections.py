"""An in-memory connection manager and the peers it talks to.

Every peer (an IDE client, a workbook's kernel, a workbook's add-in) records
what it receives after a round trip through JSON, the way it would arrive over
a socket, in `received` and in an asyncio queue that a test or a session can
wait on. A peer can be told to fail its sends.
"""
from __future__ import annotations

import asyncio
import json
import logging
from typing import Any, Dict, List, Optional, Set

logger = logging.getLogger(__name__)

Message = Dict[str, Any]


class Peer:
    """One connection: IDE client ("ide"), kernel ("kernel") or add-in ("addin")."""

    def __init__(self, kind: str, ident: str) -> None:
        self.kind = kind
        self.id = ident
        self.received: List[Message] = []
        self.fail_with: Optional[BaseException] = None
        self._queue: Optional["asyncio.Queue[Message]"] = None

    @property
    def queue(self) -> "asyncio.Queue[Message]":
        # Made on first use, inside the running loop (3.9 binds a queue to a loop).
        if self._queue is None:
            self._queue = asyncio.Queue()
        return self._queue

    async def send_json(self, message: Message) -> None:
        """Delivers the message as JSON; raises `fail_with` when it is set."""
        if self.fail_with is not None:
            raise type(self.fail_with)(*self.fail_with.args)
        data = json.loads(json.dumps(message))
        self.received.append(data)
        self.queue.put_nowait(data)
        self.on_message(data)

    def on_message(self, message: Message) -> None:
        """What the peer does with a message; recording is all by default."""

    def of_type(self, message_type: str) -> List[Message]:
        return [m for m in self.received if m.get("type") == message_type]

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.kind} {self.id!r}: {len(self.received)} received>"


class KernelPeer(Peer):
    """A workbook's kernel: keeps the module search path entries it was told about."""

    def __init__(self, ident: str) -> None:
        super().__init__("kernel", ident)
        self.sys_path: List[str] = []

    def on_message(self, message: Message) -> None:
        if message.get("type") == "add_path" and message["path"] not in self.sys_path:
            self.sys_path.append(message["path"])
        elif message.get("type") == "set_python_paths":
            kept = [p for p in self.sys_path if p not in message["old_paths"]]
            self.sys_path = kept + [p for p in message["new_paths"] if p not in kept]


class AddinPeer(Peer):
    """A workbook's add-in: stores the packages and paths it is asked to save."""

    def __init__(self, ident: str) -> None:
        super().__init__("addin", ident)
        self.stored: Message = {}

    def on_message(self, message: Message) -> None:
        if message.get("type") == "save_workbook_packages":
            self.stored = {"packages": message["packages"], "python_paths": message["python_paths"]}


class ConnectionManager:
    """Per-workbook state and the connected peers, all in memory."""

    def __init__(self) -> None:
        self.workbook_packages: Dict[str, List[Message]] = {}
        self.workbook_installed_packages: Dict[str, List[Message]] = {}
        self.workbook_python_paths: Dict[str, List[str]] = {}
        self.package_errors: Dict[str, Dict[str, str]] = {}
        self.workbook_resolved_deps: Dict[str, List[Message]] = {}
        self.ide_clients: Dict[str, Peer] = {}
        self.kernels: Dict[str, KernelPeer] = {}
        self.addins: Dict[str, AddinPeer] = {}
        self._pushes: Set["asyncio.Task[None]"] = set()

    # -- peers ---------------------------------------------------------------

    def connect_ide(self, client_id: str) -> Peer:
        return self.ide_clients.setdefault(client_id, Peer("ide", client_id))

    def connect_kernel(self, workbook_id: str) -> KernelPeer:
        return self.kernels.setdefault(workbook_id, KernelPeer(workbook_id))

    def connect_addin(self, workbook_id: str) -> AddinPeer:
        return self.addins.setdefault(workbook_id, AddinPeer(workbook_id))

    def disconnect(self, kind: str, ident: str) -> None:
        self._table(kind).pop(ident, None)

    def _table(self, kind: str) -> Dict[str, Any]:
        tables: Dict[str, Dict[str, Any]] = {"ide": self.ide_clients, "kernel": self.kernels, "addin": self.addins}
        if kind not in tables:
            raise ValueError(f"Unknown connection kind {kind!r}")
        return tables[kind]

    def get_connection(self, kind: str, workbook_id: str) -> Optional[Peer]:
        """The peer of that kind and id, or None when it is not connected."""
        return self._table(kind).get(workbook_id)

    # -- sends ---------------------------------------------------------------

    async def send_to_ide(self, message: Message) -> None:
        """Delivers the message to every connected IDE client."""
        for client in list(self.ide_clients.values()):
            await client.send_json(message)

    async def send_message(self, kind: str, target: str, message: Message) -> None:
        """Delivers the message to one IDE client ("ide", client id) or to the
        kernel of a workbook ("kernel", workbook id)."""
        peer = self.get_connection(kind, target)
        if peer is None:
            logger.warning("Dropped %s message for %s %s: not connected", message.get("type"), kind, target)
            return
        await peer.send_json(message)

    def _push_packages_and_python_paths(self, workbook_id: str) -> None:
        """Schedules sending the workbook's packages and python paths to the IDE
        and, for storage, to the workbook's add-in."""
        task = asyncio.get_running_loop().create_task(self._push(workbook_id))
        self._pushes.add(task)
        task.add_done_callback(self._push_done)

    async def _push(self, workbook_id: str) -> None:
        packages = self.workbook_packages.get(workbook_id, [])
        python_paths = self.workbook_python_paths.get(workbook_id, [])
        addin = self.get_connection("addin", workbook_id)
        if addin:
            await addin.send_json({"type": "save_workbook_packages", "packages": packages,
                                   "python_paths": python_paths})
        await self.send_to_ide({"type": "workbook_packages_update", "workbook_id": workbook_id,
                                "packages": packages, "python_paths": python_paths,
                                "package_errors": self.package_errors.get(workbook_id, {})})

    def _push_done(self, task: "asyncio.Task[None]") -> None:
        self._pushes.discard(task)
        if not task.cancelled() and task.exception() is not None:
            logger.error("Pushing packages and python paths failed", exc_info=task.exception())

    async def settle(self) -> None:
        """Waits until the scheduled pushes have been sent."""
        while self._pushes:
            await asyncio.wait(list(self._pushes))
