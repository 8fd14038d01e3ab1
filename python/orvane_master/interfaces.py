"""The services that the host processes hand to the two extension modules, as protocols.

Neither module owns a socket, a thread or an event loop; the host supplies them:

- the kernel gives `proxylink`'s channel a `SendHandler` (with
  `messaging.set_send_handler`) and feeds the add-in's responses back through
  `messaging.on_message`;
- the business layer gives `handlers` a `ConnectionManager`, a `PackageManager`
  and a `WorkbookInstallFunction` (with `init_handlers`); the connection manager
  hands out each workbook's `AddinConnection`.

The type stubs of both modules name these protocols, so a type checker tells a
host what it got wrong before a handler meets the missing method at run time.
The classes are plain `typing.Protocol`s: a host never derives from them, it
only has to match them. Where a method is marked *awaited*, the module calls
it and awaits what it returns, so it is written `async def` (any function
returning an awaitable will do); where it is marked *plain call*, the module
calls it and does not await the result, so it must not be `async def`.
"""
from typing import (Any, AsyncIterable, Awaitable, Coroutine, Dict, List, Mapping, MutableMapping, Optional,
                    Protocol, Tuple)

__all__ = [
    "AddinConnection", "ConnectionManager", "Message", "PackageEntry", "PackageManager", "SendHandler",
    "WorkbookInstallFunction",
]

#: A message: a plain dictionary whose `type` names its kind (the bridge's
#: requests and responses carry `requestId` and `kind` instead).
Message = Dict[str, Any]

#: One entry of a workbook's package list: `name`, `version`, `extras`, `status`.
PackageEntry = Dict[str, Any]


class SendHandler(Protocol):
    """The kernel's send callback: `messaging.set_send_handler(handler)`.

    `handler(message)` is called with one argument, the request message
    dictionary (the operation's `method`, `name`, `caller` and, where it has
    them, `value` or `args`, then `requestId` and `kind` "request"), and hands
    it on towards the add-in before it returns. Its result is not used, so it
    is typed as returning None; it must not be `async def`, since such a
    handler returns a coroutine without running its body: the request then
    fails at once with RuntimeError. An exception it raises reaches the user
    code that made the request, unchanged.

    Threading rules:

    - It is called on the thread that made the request, which then blocks
      until the response arrives, the request times out (30 seconds) or the
      channel is reset. So the handler must not wait for the response itself.
    - The response must come back through `messaging.on_message(response)`
      called from another thread (the kernel's listener thread). A request
      made on the listener thread cannot be answered before its timeout; the
      listener must therefore never run user callbacks, and never drop the
      last reference to a proxy, whose release is such a request.
    - Several threads may call it at once.
    """

    def __call__(self, message: Message, /) -> None: ...


class AddinConnection(Protocol):
    """A workbook's add-in connection, as `ConnectionManager.get_connection` returns it."""

    def send_json(self, message: Message) -> Awaitable[object]:
        """Awaited: sends the dictionary to the add-in as JSON. The result is ignored."""
        ...


class ConnectionManager(Protocol):
    """The business layer's connection manager, first argument of `init_handlers`.

    The handlers run on the business layer's event loop, one at a time between
    their awaits; they route every message through these methods and keep
    every workbook's state in the five dictionaries below, keyed by workbook
    id. They index those dictionaries, call `get(workbook_id, default)`, test
    membership with `in` and assign items; a handler never replaces a
    dictionary itself, but it changes the lists in it in place and puts the
    live lists into the messages it sends.
    """

    @property
    def workbook_packages(self) -> MutableMapping[str, List[PackageEntry]]:
        """Each workbook's ordered package list: read, changed in place and replaced."""
        ...

    @property
    def workbook_installed_packages(self) -> Mapping[str, List[PackageEntry]]:
        """Each workbook's package list as last installed: read when the list is restored."""
        ...

    @property
    def workbook_python_paths(self) -> MutableMapping[str, List[str]]:
        """Each workbook's python paths: read and replaced."""
        ...

    @property
    def package_errors(self) -> Mapping[str, Dict[str, Any]]:
        """Each workbook's package errors: read and sent to the IDE unchanged."""
        ...

    @property
    def workbook_resolved_deps(self) -> Mapping[str, List[Any]]:
        """Each workbook's resolved dependencies: read and sent to the IDE unchanged."""
        ...

    def send_to_ide(self, message: Message) -> Awaitable[object]:
        """Awaited: delivers the message to the IDE (no client id is given). The result is ignored."""
        ...

    def send_message(self, kind: str, target: str, message: Message) -> Awaitable[object]:
        """Awaited: delivers the message to one peer. The result is ignored.

        `kind` is "ide" with an IDE client id as `target` (the answers to that
        client's queries and the installer's output), or "kernel" with a
        workbook id (that workbook's kernel: "add_path", "set_python_paths").
        """
        ...

    def get_connection(self, kind: str, workbook_id: str) -> Optional[AddinConnection]:
        """Plain call: the add-in connection of the workbook (`kind` is "addin"),
        or None (any false value) when the add-in is not connected."""
        ...

    def _push_packages_and_python_paths(self, workbook_id: str) -> None:
        """Plain call, not awaited, result ignored: pushes the workbook's current
        package list and python paths to their consumers. Anything asynchronous
        it has to schedule itself (for example with `asyncio.create_task`)."""
        ...


class PackageManager(Protocol):
    """The business layer's package manager, second argument of `init_handlers`.

    The handlers call it from tasks of their own on the event loop; each query
    answers one IDE client, which gets an error answer carrying `str(e)` when
    the query raises.
    """

    def install_package(self, package_spec: str) -> AsyncIterable[Tuple[str, str]]:
        """Plain call returning an asynchronous iterator (an `async def` with `yield`).

        The handler iterates it with `async for`; each item is a pair
        (`output_type`, `content`): "stdout" and "stderr" with a piece of the
        installer's output, "path" with the directory the package went into,
        then "success" or "error" with a text. Other types are skipped. The
        output goes to the requesting IDE client item by item; after
        "success", the workbook's kernel is sent the remembered path.
        """
        ...

    def get_available_versions(self, package_name: str) -> Awaitable[object]:
        """Awaited: the versions of the package, sent to the IDE unchanged (so JSON-serialisable)."""
        ...

    def get_package_extras(self, package_name: str, version: Optional[str]) -> Awaitable[object]:
        """Awaited: the extras of that version, sent to the IDE unchanged.

        `version` is passed as the IDE sent it: a version string, the empty
        string or None (no version given).
        """
        ...

    def get_package_info(self, package_name: str) -> Awaitable[Mapping[str, Any]]:
        """Awaited: a mapping describing the package.

        A key `error` marks a failed lookup; its value is sent to the IDE
        unchanged. Otherwise `name`, `latest_version` and `summary` are read
        with `get` (defaults: the queried name, "", ""); `latest_version`
        must be a str or None.
        """
        ...


class WorkbookInstallFunction(Protocol):
    """Installs every package of one workbook: third argument of `init_handlers`.

    Called with the workbook id only; it must return a coroutine (write it as
    an `async def` function), which the handler hands to `asyncio.create_task`
    as the task "handlers:handle_install_workbook_packages:<workbook id>" and
    never awaits. What it installs, sends and records (for example in
    `workbook_installed_packages`, `package_errors` and
    `workbook_resolved_deps`) is the business layer's own choice.
    """

    def __call__(self, workbook_id: str, /) -> Coroutine[Any, Any, object]: ...
