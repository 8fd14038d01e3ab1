"""The dispatcher: one IDE message in, one request handler awaited.

A message's `type` names its handler: "add_workbook_package" goes to
`handle_add_workbook_package`, and so on for the fourteen handlers. The
handler is looked up on the handlers module at each message, so a replaced
handler takes effect at once.

Nothing that goes wrong is swallowed silently. An exception that leaves a
handler is logged with its traceback and kept in `errors`; the dispatcher
then goes on with the next message. The tasks that the handlers start are
named with TASK_NAME_PREFIX ("handlers:handle_package_install:Book1:ide-1",
say); after each handler the dispatcher looks for new ones on the loop and
keeps each in `tasks` until it ends, and one that ends with an exception is
logged and kept in `errors` as well. `settle()` waits for all of them. Tasks
of anyone else (the host's connections, the tasks a worker makes for its own
use, the connection manager's pushes) are left to whoever made them; an
exception nobody retrieved reaches the loop's exception handler, which
`attach()` installs, and is kept in `errors` too.
"""
from __future__ import annotations

import asyncio
import json
import logging
from typing import Any, Dict, List, Optional, Set

logger = logging.getLogger(__name__)

#: The start of the name of every task that a handler starts.
TASK_NAME_PREFIX = "handlers:"

MESSAGE_TYPES = (
    "package_install_request",
    "get_package_versions_request",
    "get_package_extras_request",
    "get_package_info_request",
    "add_workbook_package",
    "remove_workbook_package",
    "update_workbook_package",
    "restore_workbook_packages",
    "update_package_status",
    "update_python_paths",
    "reorder_workbook_packages",
    "install_workbook_packages",
    "get_workbook_packages",
    "get_resolved_deps",
)
ROUTES: Dict[str, str] = {t: "handle_" + t for t in MESSAGE_TYPES}


class Dispatcher:
    def __init__(self, handlers: Any) -> None:
        self.handlers = handlers
        self.errors: List[BaseException] = []
        self.tasks: Set["asyncio.Task[Any]"] = set()

    def attach(self, loop: Optional[asyncio.AbstractEventLoop] = None) -> None:
        """Installs the exception handler on the loop (the running one by default)."""
        loop = loop or asyncio.get_running_loop()
        loop.set_exception_handler(self._loop_exception)

    def _adopt(self) -> None:
        """Starts looking after the handlers' tasks on the running loop that it does not know yet."""
        for task in asyncio.all_tasks():
            if task not in self.tasks and task.get_name().startswith(TASK_NAME_PREFIX):
                self.tasks.add(task)
                task.add_done_callback(self._task_done)

    def _task_done(self, task: "asyncio.Task[Any]") -> None:
        self.tasks.discard(task)
        if task.cancelled():
            return
        exc = task.exception()
        if exc is not None:
            self.errors.append(exc)
            logger.error("Background task %s failed: %r", task.get_name(), exc, exc_info=exc)

    def _loop_exception(self, loop: asyncio.AbstractEventLoop, context: Dict[str, Any]) -> None:
        exc = context.get("exception")
        if exc is not None:
            self.errors.append(exc)
        loop.default_exception_handler(context)

    async def dispatch(self, client_id: str, message: Dict[str, Any]) -> None:
        """Awaits the handler that the message's type names."""
        name = ROUTES.get(message.get("type"))  # type: ignore[arg-type]
        if name is None:
            logger.warning("No handler for IDE message type %r", message.get("type"))
            return
        handler = getattr(self.handlers, name)
        try:
            await handler(client_id, message)
        except Exception as exc:
            self.errors.append(exc)
            logger.error("Handler %s failed: %r", name, exc, exc_info=exc)
        finally:
            self._adopt()

    async def dispatch_json(self, client_id: str, text: str) -> None:
        """The same for a message as it arrives on the IDE's socket."""
        await self.dispatch(client_id, json.loads(text))

    def pending(self) -> List["asyncio.Task[Any]"]:
        """The tasks started by handlers that have not ended (the caller's own excepted)."""
        self._adopt()
        current = asyncio.current_task()
        return [t for t in self.tasks if t is not current and not t.done()]

    async def settle(self) -> None:
        """Waits until every task started by a handler has ended and been reported."""
        while True:
            # A task that has just ended reports from a callback the loop runs next.
            await asyncio.sleep(0)
            pending = self.pending()
            if not pending:
                return
            await asyncio.wait(pending)
