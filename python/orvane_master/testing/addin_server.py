"""The simulated add-in in a process of its own, serving the bridge over a WebSocket.

    python -m orvane_master.testing.addin_server [--port 0] [--hold NAME] [--max-size BYTES]

It listens on 127.0.0.1 only, the loopback address, so no other machine reaches
it; it prints the port as the first line of its standard output (and, on its
standard error, a line saying where it listens). It serves one `SimulatedAddin`
(one workbook) to one kernel at a time. Each WebSocket text message is one JSON
message: request messages come in; for each, the change events that it caused
({"type": "invoke_callable", ...}) and then its response
({"type": "excel_response", ...}) go out, so that a kernel reading in order has
queued the call-backs before the response wakes the requester. The kernel's
notice that it does not know a callable id ({"kind": "unknown_callable", ...})
is not answered: the add-in drops the handlers registered with that id. Requests are
executed one at a time, in the order they arrive, like the add-in's single
script thread.

Who gets in, and what is read:

- No web page. A kernel sends no Origin header and a browser always sends one,
  so a handshake that carries an Origin is refused with HTTP 403: otherwise any
  page open in the user's browser could reach ws://127.0.0.1:PORT and drive the
  workbook. An HTTP request that is no WebSocket handshake gets 426.
- One kernel at a time. While one is connected, a handshake is refused with
  HTTP 409. A connection counts as gone once its close handshake has begun or
  its socket is lost, so a kernel that reconnects gets in at once even when the
  handler of its old connection ends late (`RemoteKernel` also retries a refused
  handshake until it gets in).
- Each connection starts with a fresh object table, and its end forgets what it
  was handed unless a newer connection has taken its place. A request that an
  old connection still delivers after that is dropped.
- A message of more than --max-size bytes (DEFAULT_MAX_SIZE, 16 MiB; the
  suite's largest, 100,000 cells, is about 5 MB) closes the connection with
  code 1009. A message that is not a JSON object (not UTF-8, not JSON, nested
  too deeply, an array) gets no answer, as there is no requestId to answer: the
  server prints one line about it on its standard error and reads on.

Object ids count up from a base that each process draws at random (see
`addin._fresh_ids`), so a restarted server never hands out an id that the
process before it may have given the same kernel: the kernel's late release of
an old proxy cannot hit a new object.

`--hold NAME` makes a GET of the attribute NAME never answered: the server
prints "held <requestId>" instead, so that a test knows the request is in the
add-in's hands before it kills the process.

Why a WebSocket rather than length-prefixed JSON over plain TCP: the product's
kernel reaches the add-in through a WebSocket, so this keeps its framing (one
JSON text per message), its close handshake and the way a dropped peer shows
up (ConnectionClosed on the reading side). The `websockets` package does the
framing and offers a threaded API, which fits a kernel built of plain threads
(a listener, a writer, a call-back runner) without an asyncio loop. Hand-made
length prefixes would save one dependency, but only of the `testing` extra,
which the product modules never import.
"""
import argparse
import json
import logging
import sys
import threading
from typing import Any, Callable, Collection, Dict, List, Optional, Union

from websockets.exceptions import ConnectionClosed
from websockets.http11 import Request, Response
from websockets.protocol import State
from websockets.sync.server import ServerConnection, serve

from .addin import SimulatedAddin

LOOPBACK = "127.0.0.1"
DEFAULT_MAX_SIZE = 16 * 2**20  # bytes of one message
NO_PAGES = "This server serves kernels, not web pages: a handshake that names an origin ({}) is refused.\n"
BUSY = "Another kernel is connected; this add-in serves one kernel at a time.\n"
NOT_A_HANDSHAKE = "This port serves the add-in to kernels over a WebSocket; it has nothing else.\n"


class Unreadable(ValueError):
    """A message that is not a JSON object; its text says why."""


def read_message(data: Union[str, bytes]) -> Dict[str, Any]:
    """The JSON object that a message carries (a binary one read as UTF-8)."""
    if isinstance(data, bytes):
        try:
            data = data.decode("utf-8")
        except UnicodeDecodeError as e:
            raise Unreadable(f"not UTF-8 ({e.reason} at byte {e.start})") from None
    try:
        message = json.loads(data)
    except RecursionError:
        raise Unreadable("JSON nested too deeply") from None
    except ValueError as e:
        raise Unreadable(f"not JSON ({e})") from None
    if not isinstance(message, dict):
        raise Unreadable(f"a JSON {type(message).__name__}, not an object")
    return message


def say(line: str) -> None:
    """One line on the standard error: what a server refused or dropped."""
    print(line, file=sys.stderr, flush=True)


def refuse_foreign(connection: ServerConnection, request: Request, own: Collection[str],
                   refusal: str) -> Optional[Response]:
    """HTTP 403 for a handshake that names an origin not in `own` (a web page elsewhere)."""
    foreign = [o for o in request.headers.get_all("Origin") if o.lower() not in own]
    return connection.respond(403, refusal.format(", ".join(foreign))) if foreign else None


class OneKernel:
    """The one kernel a server lets in: a handshake while another kernel's connection
    is open gets HTTP 409. A connection whose close has begun no longer counts."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self.current: Optional[ServerConnection] = None

    def claim(self, connection: ServerConnection) -> Optional[Response]:
        with self._lock:
            held = self.current
            if held is not None and held is not connection and held.protocol.state in (State.CONNECTING,
                                                                                       State.OPEN):
                return connection.respond(409, BUSY)
            self.current = connection
            return None

    def release(self, connection: ServerConnection) -> bool:
        """Whether `connection` was still the current one (it is not any more)."""
        with self._lock:
            if self.current is not connection:
                return False
            self.current = None
            return True


class _OneLine(logging.Filter):
    """A handshake that fails (a request that is not HTTP, say) is logged as one line
    instead of a traceback: it is the client's fault, not the server's."""

    def filter(self, record: logging.LogRecord) -> bool:
        if record.msg == "opening handshake failed" and record.exc_info:
            error = record.exc_info[1]
            record.msg, record.args = "refused a connection: %s: %s", (type(error).__name__, error)
            record.exc_info = record.exc_text = None
        return True


LOG = logging.getLogger("orvane_master.testing.servers")
LOG.addFilter(_OneLine())


def serve_loopback(handler: Callable[[ServerConnection], None], port: int, max_size: int,
                   admit: Callable[[ServerConnection, Request], Optional[Response]]) -> Any:
    """A threaded WebSocket server on the loopback address."""
    return serve(handler, LOOPBACK, port, process_request=admit, compression=None, max_size=max_size,
                 logger=LOG)


class AddinServer:
    """Serves a `SimulatedAddin` to one kernel at a time over a WebSocket."""

    def __init__(self, addin: Optional[SimulatedAddin] = None, port: int = 0, hold: Optional[str] = None,
                 max_size: int = DEFAULT_MAX_SIZE) -> None:
        self.addin = addin if addin is not None else SimulatedAddin()
        self.hold = hold
        self.max_size = max_size
        self._out_lock = threading.Lock()
        self._kernel = OneKernel()
        self._serving = threading.Lock()  # one request at a time, and no new connection in the middle of one
        self._handlers = threading.Condition()
        self._running = 0  # connections whose handler has not ended yet
        self._server = serve_loopback(self._serve, port, max_size, self._admit)

    @property
    def port(self) -> int:
        return int(self._server.socket.getsockname()[1])

    def serve_forever(self) -> None:
        self._server.serve_forever()

    def shutdown(self) -> None:
        self._server.shutdown()

    def wait_handlers(self, count: int, timeout: float = 30.0) -> None:
        """Waits until exactly `count` connections are being served (an old one's
        handler may still run after a new one got in)."""
        with self._handlers:
            if not self._handlers.wait_for(lambda: self._running == count, timeout):
                raise TimeoutError(f"Waited {timeout} s for {count} connections in vain")

    def _announce(self, line: str) -> None:
        with self._out_lock:
            print(line, flush=True)

    def _admit(self, connection: ServerConnection, request: Request) -> Optional[Response]:
        if request.headers.get("Upgrade", "").lower() != "websocket":
            return connection.respond(426, NOT_A_HANDSHAKE)
        return refuse_foreign(connection, request, (), NO_PAGES) or self._kernel.claim(connection)

    def _count(self, change: int) -> None:
        with self._handlers:
            self._running += change
            self._handlers.notify_all()

    def _serve(self, connection: ServerConnection) -> None:
        self._count(1)
        try:
            with self._serving:
                if self._kernel.current is connection:
                    self.addin.reconnect()  # what an older connection left is not this kernel's
            for data in connection:
                try:
                    answers = self._answer(connection, data)
                except Exception as e:  # not a request at all: there is nobody to answer
                    reason = str(e) if isinstance(e, Unreadable) else f"{type(e).__name__}: {e}"
                    say(f"dropped a message that is not a request: {reason}")
                    continue
                for message in answers[1:] + answers[:1]:
                    connection.send(message)
        except ConnectionClosed:
            pass
        finally:
            with self._serving:
                if self._kernel.release(connection):
                    self.addin.reconnect()
            self._count(-1)

    def _answer(self, connection: ServerConnection, data: Union[str, bytes]) -> List[str]:
        """The response, then the events; nothing for a notice, a held request, or
        a request that comes after a newer connection got in."""
        request = read_message(data)
        text = data if isinstance(data, str) else data.decode("utf-8")
        with self._serving:
            if self._kernel.current is not connection or self._held(request):
                return []
            return self.addin.handle_text(text)

    def _held(self, request: Dict[str, Any]) -> bool:
        if self.hold is not None and request.get("method") == "GET" and request.get("name") == self.hold:
            self._announce(f"held {request.get('requestId')}")
            return True
        return False


def main(argv: Optional[List[str]] = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--port", type=int, default=0, help="the port on 127.0.0.1, the loopback address only "
                        "(0: any free one)")
    parser.add_argument("--hold", metavar="NAME", help="never answer a GET of the attribute NAME")
    parser.add_argument("--max-size", type=int, default=DEFAULT_MAX_SIZE, metavar="BYTES",
                        help=f"the largest message read; a larger one closes the connection (default "
                             f"{DEFAULT_MAX_SIZE}, 16 MiB)")
    args = parser.parse_args(argv)
    server = AddinServer(port=args.port, hold=args.hold, max_size=args.max_size)
    print(server.port, flush=True)
    say(f"serving kernels on ws://{LOOPBACK}:{server.port}, the loopback address only; no web pages, "
        f"messages up to {server.max_size} bytes")
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
