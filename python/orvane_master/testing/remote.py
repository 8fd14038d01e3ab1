"""A kernel that reaches the simulated add-in in another process, over a WebSocket
on 127.0.0.1 (the add-in's side is `addin_server`, which says why a WebSocket).

    from orvane_master.testing.remote import RemoteExcel
    from orvane_master.python_server.orvane.proxylink import Excel

    with RemoteExcel() as env:               # starts the add-in process, connects
        sheet = Excel.workbook.worksheets.getActiveWorksheet()
        sheet.getRange("A1").values = 42
        print(env.transcript.format())

`RemoteKernel` keeps the threading rules of a kernel:

- the send handler never touches the socket: it queues the JSON text for the
  writer thread, so it never blocks, whichever thread calls it;
- the listener thread reads the connection in order and hands every response to
  `messaging.on_message`, and every call-back request to the call-back thread;
  it never runs a call-back itself (a request made there could never be
  answered: the answer would wait for the very thread that waits for it);
- it holds only JSON and plain dictionaries, never a proxy; should the collector
  still finalise a proxy on the listener or on the connection's own reading
  thread, the release (a "DEL", whose answer nobody reads) is acknowledged in
  place as it is sent, instead of waiting on itself;
- when the connection drops, the listener calls `messaging.reset()` (every
  waiting request ends with `concurrent.futures.CancelledError`), then connects
  again until it succeeds or the kernel is stopped, and resets once more on
  the new connection. Sends fail with ConnectionError while it is down.
"""
import json
import os
import queue
import subprocess
import sys
import threading
import time
from typing import Any, Callable, Dict, Optional

from websockets.exceptions import InvalidStatus
from websockets.sync.client import ClientConnection, connect

from orvane_master.python_server.orvane import proxylink

from .kernel import TRANSCRIPT_LIMIT, CallbackRunner, Transcript, awaited

_STOP = object()
_NULL = {"type": "Null", "value": None, "isSpec": False}


class AddinProcess:
    """`python -m orvane_master.testing.addin_server` as a child process."""

    def __init__(self, port: int = 0, hold: Optional[str] = None, start_timeout: float = 30.0) -> None:
        self.port = port
        self.hold = hold
        self.start_timeout = start_timeout
        self.process: Optional["subprocess.Popen[str]"] = None
        self._lines: "queue.Queue[Optional[str]]" = queue.Queue()

    def start(self) -> "AddinProcess":
        """Starts the process and waits until it listens; on the same port as
        before when restarted."""
        command = [sys.executable, "-m", "orvane_master.testing.addin_server", "--port", str(self.port)]
        if self.hold is not None:
            command += ["--hold", self.hold]
        env = dict(os.environ)
        package_root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_root, env.get("PYTHONPATH")]))
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True, env=env)
        self._lines = queue.Queue()
        threading.Thread(target=self._read, args=(self.process, self._lines), name="addin-stdout",
                         daemon=True).start()
        line = self.next_line(self.start_timeout)
        if not line.strip().isdigit():
            self.kill()
            raise RuntimeError(f"The add-in process did not start: {line!r}")
        self.port = int(line)
        return self

    @staticmethod
    def _read(process: "subprocess.Popen[str]", lines: "queue.Queue[Optional[str]]") -> None:
        assert process.stdout is not None
        for line in process.stdout:
            lines.put(line.rstrip("\n"))
        lines.put(None)

    def next_line(self, timeout: float = 10.0) -> str:
        """The next line the process printed, such as "held <requestId>"."""
        try:
            line = self._lines.get(timeout=timeout)
        except queue.Empty:
            raise TimeoutError(f"The add-in process printed nothing within {timeout} s") from None
        if line is None:
            raise RuntimeError("The add-in process has ended")
        return line

    def kill(self) -> None:
        """Ends the process at once, in the middle of whatever it is doing."""
        if self.process is not None:
            self.process.kill()
            self.process.wait(timeout=30)
            if self.process.stdout is not None:
                self.process.stdout.close()
            self.process = None

    def restart(self) -> "AddinProcess":
        """A fresh add-in (a new workbook, no objects handed out) on the same port."""
        self.kill()
        return self.start()

    @property
    def url(self) -> str:
        return f"ws://127.0.0.1:{self.port}"


class RemoteKernel:
    """Connects `messaging` to an add-in server at `url` (ws://127.0.0.1:PORT)."""

    def __init__(self, url: str, messaging: Any = None, retry_delay: float = 0.05, max_retry_delay: float = 1.0,
                 open_timeout: float = 10.0, transcript_limit: Optional[int] = TRANSCRIPT_LIMIT) -> None:
        self.url = url
        self.messaging = messaging if messaging is not None else proxylink.messaging
        self.retry_delay, self.max_retry_delay, self.open_timeout = retry_delay, max_retry_delay, open_timeout
        self.transcript = Transcript(transcript_limit)
        self.connections = 0  # connections made so far
        self.disconnects = 0  # connections lost (or closed) so far
        self._connection: Optional[ClientConnection] = None
        self._state = threading.Condition()
        self._stopping = threading.Event()
        # A SimpleQueue's put is re-entrant: a collection inside a send may finalise a
        # proxy, whose release is sent from that very thread.
        self._outbox: "queue.SimpleQueue[Any]" = queue.SimpleQueue()
        self._callbacks = CallbackRunner(self.messaging, self.notify)
        self._listener = threading.Thread(target=self._listen, name="kernel-listener", daemon=True)
        self._writer = threading.Thread(target=self._write, name="kernel-writer", daemon=True)

    # ---- life cycle ----------------------------------------------------------------------

    @property
    def connected(self) -> bool:
        return self._connection is not None

    def start(self) -> "RemoteKernel":
        """Connects (the add-in must be listening), then installs the send handler.
        While the add-in still serves another kernel (it lets in one at a time), it
        tries again for up to `open_timeout` seconds."""
        ends = time.monotonic() + self.open_timeout
        delay = self.retry_delay
        while True:
            try:
                self._open()
                break
            except InvalidStatus as e:
                if e.response.status_code != 409 or time.monotonic() + delay > ends:
                    raise
            time.sleep(delay)
            delay = min(delay * 2, self.max_retry_delay)
        self._listener.start()
        self._writer.start()
        self._callbacks.start()
        self.messaging.set_send_handler(self.send)
        return self

    def stop(self, timeout: float = 60.0) -> None:
        """Finishes the queued call-backs, removes the send handler, closes the
        connection (which resets the channel) and ends the threads."""
        if not self._listener.is_alive() or self._stopping.is_set():
            return
        self._callbacks.stop(timeout)
        if self.messaging._send_handler == self.send:
            self.messaging.set_send_handler(None)
        self._stopping.set()
        with self._state:
            connection = self._connection
        if connection is not None:
            connection.close()
        self._outbox.put(_STOP)
        for thread in (self._listener, self._writer):
            thread.join(timeout)
        alive = [t.name for t in (self._listener, self._writer, self._callbacks.thread) if t.is_alive()]
        if alive:
            raise TimeoutError(f"The kernel's threads did not end within {timeout} s: {alive}")

    def wait_connections(self, count: int, timeout: float = 30.0) -> None:
        """Waits until `count` connections were made in all."""
        self._wait(lambda: self.connections >= count, timeout, f"connection {count}")

    def wait_disconnects(self, count: int, timeout: float = 30.0) -> None:
        """Waits until `count` connections were lost (and the channel reset after each)."""
        self._wait(lambda: self.disconnects >= count, timeout, f"disconnect {count}")

    def wait_callbacks(self, timeout: float = 30.0) -> None:
        """Waits until every call-back received so far has run; re-raises the
        first exception one of them raised."""
        self._callbacks.wait(timeout)

    def _wait(self, done: Callable[[], bool], timeout: float, what: str) -> None:
        with self._state:
            if not self._state.wait_for(done, timeout):
                raise TimeoutError(f"Waited {timeout} s for {what} in vain")

    # ---- the connection ------------------------------------------------------------------

    def _open(self) -> None:
        connection = connect(self.url, open_timeout=self.open_timeout, compression=None, max_size=None)
        connection.__enter__()  # used as a context, as newer releases of websockets ask; left by close()
        with self._state:
            self.messaging.reset()  # a new connection: nothing of an earlier one is valid
            if not self._stopping.is_set():
                self._connection = connection
                self.connections += 1
                self._state.notify_all()
                return
        connection.close()  # stopped meanwhile

    def _lost(self, connection: ClientConnection) -> None:
        with self._state:
            if self._connection is connection:
                self._connection = None
        self.messaging.reset()  # before the close, which may wait for the peer's part of the handshake
        connection.close()
        with self._state:
            self.disconnects += 1
            self._state.notify_all()

    def _reconnect(self) -> bool:
        delay = self.retry_delay
        while not self._stopping.is_set():
            try:
                self._open()
                return True
            except Exception:  # not listening (yet), or refused during the handshake
                pass
            self._stopping.wait(delay)
            delay = min(delay * 2, self.max_retry_delay)
        return False

    # ---- the send handler, the writer and the listener -------------------------------

    def send(self, message: Dict[str, Any]) -> None:
        text = json.dumps(message)
        with self._state:  # a new connection is set up under it, its reset included
            connection = self._connection
            if connection is None:
                raise ConnectionError("The add-in is not connected")
            if not awaited(self.messaging, message):
                return  # meant for the connection before: the reset's CancelledError ends the wait
            self.transcript.add("request", json.loads(text))
            self._outbox.put((connection, text))
        if message.get("method") == "DEL" and self._carries_answers(threading.current_thread(), connection):
            # A finaliser run by the collector on a thread that carries the answer:
            # waiting for it here would wait on itself.
            self.messaging.on_message({"requestId": message.get("requestId"), "ok": True, "result": _NULL})

    def notify(self, message: Dict[str, Any]) -> None:
        """Sends the add-in a message of the kernel's own, which it does not answer."""
        text = json.dumps(message)
        with self._state:
            connection = self._connection
        if connection is None:
            return  # the add-in forgets its handlers with the connection
        self.transcript.add("notice", json.loads(text))
        self._outbox.put((connection, text))

    def _carries_answers(self, thread: threading.Thread, connection: ClientConnection) -> bool:
        return thread in (self._listener, self._writer, getattr(connection, "recv_events_thread", None))

    def _write(self) -> None:
        while True:
            item = self._outbox.get()
            if item is _STOP:
                return
            connection, text = item
            try:
                connection.send(text)
            except Exception:  # closed: the listener sees the connection end and resets the channel
                pass

    def _listen(self) -> None:
        while True:
            connection = self._connection
            if connection is not None:  # None only when stopped while reconnecting
                try:
                    for text in connection:
                        self._receive(text)
                except Exception:  # ConnectionClosed, or any other failure: either ends the connection
                    pass
                self._lost(connection)
            if self._stopping.is_set() or not self._reconnect():
                return

    def _receive(self, text: Any) -> None:
        try:
            message = json.loads(text)
        except ValueError:
            return  # not JSON: nothing to deliver
        kind = message.get("type") if isinstance(message, dict) else None
        if kind == "invoke_callable":
            self.transcript.add("event", message)
            self._callbacks.put(message)
        elif kind == "excel_response":
            self.transcript.add("response", message)
            self.messaging.on_message(message)


class RemoteExcel:
    """The add-in in a process of its own and a `RemoteKernel` connected to it,
    for the duration of a with block (or between start() and stop()). Given a
    port, it connects to an add-in server already listening there instead."""

    def __init__(self, port: Optional[int] = None, hold: Optional[str] = None, messaging: Any = None,
                 transcript_limit: Optional[int] = TRANSCRIPT_LIMIT) -> None:
        self.addin: Optional[AddinProcess] = AddinProcess(hold=hold) if port is None else None
        self._port = port
        self._messaging = messaging
        self._transcript_limit = transcript_limit
        self._kernel: Optional[RemoteKernel] = None

    @property
    def kernel(self) -> RemoteKernel:
        if self._kernel is None:
            raise RuntimeError("RemoteExcel has not been started")
        return self._kernel

    @property
    def transcript(self) -> Transcript:
        return self.kernel.transcript

    def start(self) -> "RemoteExcel":
        port = self.addin.start().port if self.addin is not None else self._port
        try:
            self._kernel = RemoteKernel(f"ws://127.0.0.1:{port}", self._messaging,
                                        transcript_limit=self._transcript_limit).start()
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self) -> None:
        try:
            if self._kernel is not None:
                self._kernel.stop()
        finally:
            if self.addin is not None:
                self.addin.kill()

    def __enter__(self) -> "RemoteExcel":
        return self.start()

    def __exit__(self, *exc_info: Any) -> None:
        self.stop()
