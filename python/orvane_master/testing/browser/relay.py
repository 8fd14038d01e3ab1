"""The relay between kernels and the add-in page, in the place of the business layer.

    python -m orvane_master.testing.browser [--port 0] [--open] [--max-size BYTES] [--max-waiting N]

One port on 127.0.0.1, the loopback address only, serves both. An HTTP GET that
is not a WebSocket upgrade gets the page's static files ("/" is the page). The
page connects back as a WebSocket client to "/addin"; every other WebSocket path
is a kernel, so a `RemoteKernel` (or `RemoteExcel(port=...)`) connects to
ws://127.0.0.1:PORT as it connects to `addin_server`. The first line printed is
the page's URL.

Who gets in:

- no web page but the relay's own: a handshake whose Origin header is present
  and is not the origin the page is served from (http://127.0.0.1:PORT, or
  http://localhost:PORT when opened that way) is refused with HTTP 403. Kernels
  send no Origin; browsers always do, so a page open elsewhere in the user's
  browser can neither take the add-in page's place nor pose as a kernel;
- one page: a page that connects replaces the one before it (a reload, or the
  page opened twice), which is closed with code 4000 (REPLACED) and does not
  connect again; for the kernels that is an add-in restart, as below;
- one kernel at a time, as `addin_server` (the page holds one workbook and one
  object table): while one is connected, another handshake gets HTTP 409. A
  connection counts as gone once its close has begun, so a kernel that
  reconnects gets in even when the handler of its old connection ends late.

What it relays, text for text and unchanged (the JSON is the page's own):

- a kernel's requests go to the page; while no page is connected they wait, in
  order, and go out when one connects. At most --max-waiting messages
  (DEFAULT_MAX_WAITING), and no more text than four of the largest: a request beyond
  that is answered at once by the relay, {"ok": false} with a message that says
  why, which the kernel raises as for any refused request;
- the page's responses go to the kernel whose request they answer (by
  requestId), and the call-back invocations that the page sends before a
  response go with it, to the same kernel: the page executes one request at a
  time, so they are what that request caused. A response whose request no
  connected kernel sent is dropped, and so is a request whose requestId is
  still waiting for its answer;
- `page_state()` asks the page what it holds (for tests and the examples, which
  cannot look into the page's model as they look into the Python stand-in's);
- when a kernel connects, and when the current one's connection ends, the page
  is told ({"type": "relay", "event": "kernel_connected"} and "kernel_closed")
  and forgets the objects it handed out, as `addin_server` does; a late end of
  an older kernel's connection tells it nothing;
- when the page's connection ends (closed, reloaded), every kernel connection is
  closed: for the kernel that is the add-in restarting. The kernel resets and
  connects again, and its new requests wait for the next page.

A message of more than --max-size bytes (`addin_server.DEFAULT_MAX_SIZE`) closes
its connection with code 1009; one that is not a JSON object (not UTF-8, not
JSON, nested too deeply, an array) is dropped with one line on the standard
error, and the connection stays.
"""
import dataclasses
import json
import mimetypes
import pathlib
import threading
from typing import Any, Dict, List, Optional, Tuple, Union

from websockets.datastructures import Headers
from websockets.exceptions import ConnectionClosed
from websockets.http11 import Request, Response
from websockets.sync.server import ServerConnection

from ..addin_server import DEFAULT_MAX_SIZE, LOOPBACK, OneKernel, Unreadable, read_message, refuse_foreign, say, \
    serve_loopback

STATIC = pathlib.Path(__file__).resolve().parent / "static"
PAGE_PATH = "/addin"
DEFAULT_MAX_WAITING = 1000  # kernel messages waiting for a page
REPLACED = 4000  # the close code of a page that a newer one replaced
_TYPES = {".js": "text/javascript", ".html": "text/html", ".css": "text/css"}
FOREIGN = "Only the add-in page served here ({}) may connect from a browser; a page of {{}} may not.\n"


_running: List["Relay"] = []


def running_relay() -> Optional["Relay"]:
    """The relay started last in this process and still serving, if any."""
    return _running[-1] if _running else None


def _event(name: str) -> str:
    return json.dumps({"type": "relay", "event": name})


def _text(data: Union[str, bytes]) -> str:
    return data if isinstance(data, str) else data.decode("utf-8")


def _read(data: Union[str, bytes], sender: str) -> Optional[Dict[str, Any]]:
    """The JSON object of a message, or None (and a line on the standard error)."""
    try:
        return read_message(data)
    except Unreadable as e:
        say(f"relay: dropped a message from {sender} that is not a JSON object: {e}")
        return None


class Relay:
    """Serves the page and relays between it and one kernel at a time."""

    def __init__(self, port: int = 0, static: pathlib.Path = STATIC, max_size: int = DEFAULT_MAX_SIZE,
                 max_waiting: int = DEFAULT_MAX_WAITING) -> None:
        self.static = static
        self.max_size, self.max_waiting = max_size, max_waiting
        self.page_connections = 0  # pages connected so far (a reload counts again)
        self.kernel_connections = 0
        self._state = threading.Condition()
        self._page: Optional[ServerConnection] = None
        self._kernel = OneKernel()
        self._kernels: List[ServerConnection] = []  # kernel connections whose handler has not ended
        self._waiting: List[Tuple[Optional[ServerConnection], str]] = []  # what came while no page was there
        self._owners: Dict[str, ServerConnection] = {}  # the JSON of a requestId -> the kernel that sent it
        self._invocations: List[str] = []  # the page's, until the response of the request that caused them
        self._states: Dict[Any, Dict[str, Any]] = {}  # the page's answers to `page_state`
        self._queries = 0
        self._to_page = threading.Lock()  # one writer at a time keeps the order of requests
        self._server = serve_loopback(self._serve, port, max_size, self._admit)
        self._thread: Optional[threading.Thread] = None

    @property
    def port(self) -> int:
        return int(self._server.socket.getsockname()[1])

    @property
    def url(self) -> str:
        """The page's address."""
        return f"http://{LOOPBACK}:{self.port}/"

    @property
    def origins(self) -> Tuple[str, str]:
        """The origins the page may be opened from: the only ones let in."""
        return f"http://{LOOPBACK}:{self.port}", f"http://localhost:{self.port}"

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
        """Waits until exactly `count` kernel connections are being served (and the
        page told of the others' end)."""
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
        with self._to_page:
            self._deliver(json.dumps({"type": "relay", "event": "state", "queryId": query, "sheets": sheets}))
        self._wait(lambda: query in self._states, timeout, "the page's state")
        with self._state:
            return self._states.pop(query)

    # ---- HTTP: the static files, and who may open a WebSocket ------------------------------

    def _admit(self, connection: ServerConnection, request: Request) -> Optional[Response]:
        if request.headers.get("Upgrade", "").lower() != "websocket":
            return self._static(connection, request)
        refusal = refuse_foreign(connection, request, self.origins, FOREIGN.format(" or ".join(self.origins)))
        if refusal is not None or request.path == PAGE_PATH:
            return refusal
        return self._kernel.claim(connection)

    def _static(self, connection: ServerConnection, request: Request) -> Response:
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

    def _deliver(self, text: str, kernel: Optional[ServerConnection] = None) -> bool:
        """Sends `text` to the page, or keeps it until one connects; False when it
        is a kernel's and too much already waits. The caller holds `_to_page`."""
        with self._state:
            page = self._page
            if page is None:
                if kernel is not None and (len(self._waiting) >= self.max_waiting or
                                           sum(len(t) for _, t in self._waiting) + len(text) > 4 * self.max_size):
                    return False
                self._waiting.append((kernel, text))
                return True
        try:
            page.send(text)
        except ConnectionClosed:
            pass  # the page went away; its end closes the kernels, whose requests are cancelled
        return True

    def _tell_page(self, event: str) -> None:
        """A relay event for a page that is there now; the caller holds `_to_page`."""
        if self._page is not None:
            self._deliver(_event(event))

    def _serve_page(self, connection: ServerConnection) -> None:
        try:
            with self._to_page:
                with self._state:
                    previous, self._page = self._page, connection
                    waiting, self._waiting, self._invocations = self._waiting, [], []
                    self.page_connections += 1
                    self._state.notify_all()
                for _, queued in waiting:
                    connection.send(queued)
            if previous is not None:  # a reload whose old connection is still there: the add-in restarts
                previous.close(REPLACED, "another add-in page connected")
                self._close_kernels()
            for data in connection:
                self._from_page(data)
        except ConnectionClosed:
            pass
        finally:
            with self._state:
                gone = self._page is connection
                if gone:
                    self._page = None
                self._state.notify_all()
            if gone:
                self._close_kernels()

    def _close_kernels(self) -> None:
        """The add-in is gone: for each kernel, it restarts."""
        with self._state:
            kernels = list(self._kernels)
        for kernel in kernels:
            kernel.close()

    def _from_page(self, data: Union[str, bytes]) -> None:
        message = _read(data, "the page")
        if message is None:
            return
        kind = message.get("type")
        with self._state:
            if kind == "relay_state":
                self._states[message.get("queryId")] = message
                self._state.notify_all()
                return
            if kind == "invoke_callable":
                self._invocations.append(_text(data))
                return
            if kind != "excel_response":
                return
            out, self._invocations = self._invocations + [_text(data)], []
            kernel = self._owners.pop(json.dumps(message.get("requestId")), None)
        if kernel is None:
            return  # the kernel that asked is gone, or no kernel asked
        try:
            for text in out:
                kernel.send(text)
        except ConnectionClosed:
            pass

    def _serve_kernel(self, connection: ServerConnection) -> None:
        with self._state:
            self._kernels.append(connection)
            self.kernel_connections += 1
            self._state.notify_all()
        try:
            with self._to_page:
                if self._kernel.current is connection:
                    self._tell_page("kernel_connected")  # the page starts a fresh object table
            for data in connection:
                self._from_kernel(connection, data)
        except ConnectionClosed:
            pass
        finally:
            with self._to_page:
                with self._state:
                    self._owners = {k: c for k, c in self._owners.items() if c is not connection}
                    self._waiting = [(k, t) for k, t in self._waiting if k is not connection]
                if self._kernel.release(connection):
                    self._tell_page("kernel_closed")
            with self._state:
                self._kernels.remove(connection)
                self._state.notify_all()

    def _from_kernel(self, connection: ServerConnection, data: Union[str, bytes]) -> None:
        request = _read(data, "the kernel")
        if request is None:
            return
        request_id = request.get("requestId")
        key = json.dumps(request_id) if request_id is not None else None
        with self._to_page:
            if self._kernel.current is not connection:
                return  # a newer kernel got in: what this one still sends goes nowhere
            with self._state:
                if key in self._owners:
                    say(f"relay: dropped a request whose requestId {key} still waits for its answer")
                    return
                if key is not None:
                    self._owners[key] = connection
            if self._deliver(_text(data), connection):
                return
            if key is not None:
                with self._state:
                    del self._owners[key]
        if key is None:
            say("relay: dropped a message from the kernel: too much already waits for the page")
            return
        message = (f"The add-in page is not connected, and the relay keeps no more than {self.max_waiting} "
                   f"messages or {4 * self.max_size} characters for it: open {self.url}")
        connection.send(json.dumps({"type": "excel_response", "requestId": request_id, "ok": False,
                                    "error": {"message": message}}))
