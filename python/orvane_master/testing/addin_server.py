"""The simulated add-in in a process of its own, serving the bridge over a WebSocket.

    python -m orvane_master.testing.addin_server [--port 0] [--hold NAME]

It listens on 127.0.0.1, prints the port it listens on as the first line of its
standard output, and serves one `SimulatedAddin` (one workbook) to whichever
kernel connects. Each WebSocket text message is one JSON message: request
messages come in; for each, the change events that it caused
({"type": "invoke_callable", ...}) and then its response
({"type": "excel_response", ...}) go out, so that a kernel reading in order has
queued the call-backs before the response wakes the requester. The kernel's
notice that it does not know a callable id ({"kind": "unknown_callable", ...})
is not answered: the add-in drops the handlers registered with that id. Requests are
executed one at a time, in the order they arrive, like the add-in's single
script thread. When a connection ends, the add-in forgets the objects it handed
out on it, as the kernel resets its side. A message that is not a JSON object
gets no answer (there is no requestId to answer); the server prints a line
about it on its standard error.

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
import sys
import threading
from typing import Any, List, Optional

from websockets.exceptions import ConnectionClosed
from websockets.sync.server import ServerConnection, serve

from .addin import SimulatedAddin


class AddinServer:
    """Serves a `SimulatedAddin` to kernels that connect over a WebSocket."""

    def __init__(self, addin: Optional[SimulatedAddin] = None, port: int = 0, hold: Optional[str] = None) -> None:
        self.addin = addin if addin is not None else SimulatedAddin()
        self.hold = hold
        self._out_lock = threading.Lock()
        self._server = serve(self._serve, "127.0.0.1", port, compression=None, max_size=None)

    @property
    def port(self) -> int:
        return int(self._server.socket.getsockname()[1])

    def serve_forever(self) -> None:
        self._server.serve_forever()

    def shutdown(self) -> None:
        self._server.shutdown()

    def _announce(self, line: str) -> None:
        with self._out_lock:
            print(line, flush=True)

    def _serve(self, connection: ServerConnection) -> None:
        try:
            for text in connection:
                try:
                    if isinstance(text, bytes):
                        text = text.decode("utf-8")
                    if self._held(text):
                        continue
                    answers = self.addin.handle_text(text)  # the response, then the events; none for a notice
                except Exception as e:  # not a request at all: there is nobody to answer
                    print(f"dropped a message that is not a request: {type(e).__name__}: {e}", file=sys.stderr,
                          flush=True)
                    continue
                for message in answers[1:] + answers[:1]:
                    connection.send(message)
        except ConnectionClosed:
            pass
        finally:
            self.addin.reconnect()

    def _held(self, text: str) -> bool:
        if self.hold is None:
            return False
        try:
            request: Any = json.loads(text)
        except ValueError:
            return False
        if isinstance(request, dict) and request.get("method") == "GET" and request.get("name") == self.hold:
            self._announce(f"held {request.get('requestId')}")
            return True
        return False


def main(argv: Optional[List[str]] = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--port", type=int, default=0, help="the port on 127.0.0.1 (0: any free one)")
    parser.add_argument("--hold", metavar="NAME", help="never answer a GET of the attribute NAME")
    args = parser.parse_args(argv)
    server = AddinServer(port=args.port, hold=args.hold)
    print(server.port, flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
