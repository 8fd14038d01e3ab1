"""The relay between kernels and the add-in page, in the place of the business layer.

    python -m orvane_master.testing.browser [--port 0] [--open]

One port on 127.0.0.1 serves both. An HTTP GET that is not a WebSocket upgrade
gets the page's static files ("/" is the page). The page connects back as a
WebSocket client to "/addin"; every other WebSocket path is a kernel, so a
`RemoteKernel` (or `RemoteExcel(port=...)`) connects to ws://127.0.0.1:PORT as it
connects to `addin_server`. The first line printed is the page's URL.

What it relays, text for text and unchanged (the JSON is the page's own):

- a kernel's requests go to the page; while no page is connected they wait, in
  order, and go out when one connects;
- the page's responses go to the kernel whose request they answer (by
  requestId), its call-back invocations to the kernel that connected last;
- `page_state()` asks the page what it holds (for tests and the examples, which
  cannot look into the page's model as they look into the Python stand-in's);
- when a kernel's connection ends, the page is told ({"type": "relay", "event":
  "kernel_closed"}) and forgets the objects it handed out, as `addin_server` does;
- when the page's connection ends (closed, reloaded), every kernel connection is
  closed: for the kernel that is the add-in restarting. The kernel resets and
  connects again, and its new requests wait for the next page.
"""
import dataclasses
import json
import mimetypes
import pathlib
import threading
from typing import Any, Dict, List, Optional

from websockets.datastructures import Headers
from websockets.exceptions import ConnectionClosed
from websockets.http11 import Request, Response
from websockets.sync.server import ServerConnection, serve

STATIC = pathlib.Path(__file__).resolve().parent / "static"
PAGE_PATH = "/addin"
_TYPES = {".js": "text/javascript", ".html": "text/html", ".css": "text/css"}


_running: List["Relay"] = []


def running_relay() -> Optional["Relay"]:
    """The relay started last in this process and still serving, if any."""
    return _running[-1] if _running else None


def _event(name: str) -> str:
    return json.dumps({"type": "relay", "event": name})


class Relay:
    """Serves the page and relays between it and the kernels."""

    def __init__(self, port: int = 0, static: pathlib.Path = STATIC) -> None:
        self.static = static
        self.page_connections = 0  # pages connected so far (a reload counts again)
        self.kernel_connections = 0
        self._state = threading.Condition()
        self._page: Optional[ServerConnection] = None
        self._kernels: List[ServerConnection] = []
        self._waiting: List[str] = []  # kernel requests that came while no page was there
        self._owners: Dict[Any, ServerConnection] = {}  # requestId -> the kernel that asked
        self._states: Dict[Any, Dict[str, Any]] = {}  # the page's answers to `page_state`
        self._queries = 0
        self._to_page = threading.Lock()  # one writer at a time keeps the order of requests
        self._server = serve(self._serve, "127.0.0.1", port, process_request=self._http, compression=None,
                             max_size=None)
        self._thread: Optional[threading.Thread] = None

    @property
    def port(self) -> int:
        return int(self._server.socket.getsockname()[1])

    @property
    def url(self) -> str:
        """The page's address."""
        return f"http://127.0.0.1:{self.port}/"

    @property
    def page_connected(self) -> bool:
        return self._page is not None

    def start(self) -> "Relay":
        """Serves on a thread of its own."""
        self._thread = threading.Thread(target=self._server.serve_forever, name="relay", daemon=True)
        self._thread.start()
        _running.append(self)
        return self

    def serve_forever(self) -> None:
        self._server.serve_forever()

    def shutdown(self) -> None:
        if self in _running:
            _running.remove(self)
        with self._state:
            connections = self._kernels + ([self._page] if self._page else [])
        for connection in connections:
            connection.close()
        self._server.shutdown()
        if self._thread is not None:
            self._thread.join(30)

    def wait_page(self, count: int = 1, timeout: float = 30.0) -> None:
        """Waits until `count` pages have connected in all and one is connected now."""
        self._wait(lambda: self.page_connections >= count and self._page is not None, timeout, f"page {count}")

    def wait_kernels(self, count: int, timeout: float = 30.0) -> None:
        """Waits until exactly `count` kernels are connected (and the page told of the others' end)."""
        self._wait(lambda: len(self._kernels) == count, timeout, f"{count} kernel connections")

    def _wait(self, done: Any, timeout: float, what: str) -> None:
        with self._state:
            if not self._state.wait_for(done, timeout):
                raise TimeoutError(f"Waited {timeout} s for {what} in vain")

    def page_state(self, sheets: Optional[List[str]] = None, timeout: float = 30.0) -> Dict[str, Any]:
        """What the page holds: {"liveIds": [...], "commits": [...], "base": n, "tables":
        {sheet name: rows of Python reprs of the computed values}} for `sheets` (all when None)."""
        with self._state:
            self._queries += 1
            query = self._queries
        self._send_to_page(json.dumps({"type": "relay", "event": "state", "queryId": query, "sheets": sheets}))
        self._wait(lambda: query in self._states, timeout, "the page's state")
        with self._state:
            return self._states.pop(query)

    # ---- HTTP: the static files ----------------------------------------------------------

    def _http(self, connection: ServerConnection, request: Request) -> Optional[Response]:
        if request.headers.get("Upgrade", "").lower() == "websocket":
            return None
        name = request.path.split("?")[0].lstrip("/") or "index.html"
        files = {p.name: p for p in self.static.iterdir() if p.is_file()}
        if name not in files:
            return connection.respond(404, f"No such file: {name}\n")
        body = files[name].read_bytes()
        kind = _TYPES.get(files[name].suffix) or mimetypes.guess_type(name)[0] or "application/octet-stream"
        response = connection.respond(200, "")
        headers = Headers((k, v) for k, v in response.headers.raw_items() if k.lower() not in
                          ("content-type", "content-length"))
        headers["Content-Type"] = f"{kind}; charset=utf-8" if kind.startswith("text/") else kind
        headers["Content-Length"] = str(len(body))
        headers["Cache-Control"] = "no-store"
        return dataclasses.replace(response, headers=headers, body=body)

    # ---- WebSocket: the page and the kernels ---------------------------------------------------

    def _serve(self, connection: ServerConnection) -> None:
        if connection.request is not None and connection.request.path == PAGE_PATH:
            self._serve_page(connection)
        else:
            self._serve_kernel(connection)

    def _send_to_page(self, text: str) -> None:
        with self._to_page:
            with self._state:
                page = self._page
                if page is None:
                    self._waiting.append(text)
                    return
            try:
                page.send(text)
            except ConnectionClosed:
                pass  # the page went away; its end closes the kernels, whose requests are cancelled

    def _serve_page(self, connection: ServerConnection) -> None:
        with self._to_page:
            with self._state:
                previous, self._page = self._page, connection
                waiting, self._waiting = self._waiting, []
                self.page_connections += 1
                self._state.notify_all()
            for queued in waiting:
                connection.send(queued)
        if previous is not None:
            previous.close()
        try:
            for text in connection:
                self._from_page(text)
        except ConnectionClosed:
            pass
        finally:
            with self._state:
                gone = self._page is connection
                if gone:
                    self._page = None
                kernels = list(self._kernels) if gone else []
                self._state.notify_all()
            for kernel in kernels:  # the add-in is gone: for each kernel, it restarts
                kernel.close()

    def _from_page(self, text: Any) -> None:
        if isinstance(text, bytes):
            text = text.decode("utf-8")
        try:
            message = json.loads(text)
        except ValueError:
            return
        if not isinstance(message, dict):
            return
        with self._state:
            if message.get("type") == "relay_state":
                self._states[message.get("queryId")] = message
                self._state.notify_all()
                return
            if message.get("type") == "excel_response":
                kernel = self._owners.pop(message.get("requestId"), None)
            else:
                kernel = None
            if kernel is None and self._kernels:
                kernel = self._kernels[-1]
        if kernel is not None:
            try:
                kernel.send(text)
            except ConnectionClosed:
                pass

    def _serve_kernel(self, connection: ServerConnection) -> None:
        with self._state:
            self._kernels.append(connection)
            self.kernel_connections += 1
            self._state.notify_all()
        self._send_to_page(_event("kernel_connected"))
        try:
            for text in connection:
                if isinstance(text, bytes):
                    text = text.decode("utf-8")
                try:
                    request = json.loads(text)
                    request_id = request.get("requestId") if isinstance(request, dict) else None
                except ValueError:
                    request_id = None
                if request_id is not None:
                    with self._state:
                        self._owners[request_id] = connection
                self._send_to_page(text)
        except ConnectionClosed:
            pass
        finally:
            with self._state:
                for request_id in [r for r, k in self._owners.items() if k is connection]:
                    del self._owners[request_id]
            self._send_to_page(_event("kernel_closed"))
            with self._state:
                self._kernels.remove(connection)
                self._state.notify_all()
