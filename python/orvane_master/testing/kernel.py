"""The simulated kernel: the bridge's transport to the simulated add-in.

It installs the send handler on `messaging`, passes every message through
`json.dumps` and `json.loads` (so only what JSON can carry gets through),
delivers responses from its own listener thread through
`messaging.on_message`, runs the Python callbacks that the add-in invokes on a
callback thread of their own (looked up with `messaging.get_callable`), and
simulates a reconnect with `messaging.reset`.

The listener thread only ever handles JSON and plain dictionaries: it never
holds a proxy, so it never drops the last reference to one (a release sent
from there could not be answered before its timeout). Should the garbage
collector still finalise a proxy on that thread, the release is answered in
place, before the send handler returns.
"""
import json
import queue
import threading
from typing import Any, Callable, Dict, List, Optional, Tuple

from orvane_master.python_server.orvane import proxylink

from .addin import SimulatedAddin

_STOP = object()
ROOT_LABELS = {0: "Context", 1: "Excel", 2: "GetSetting", 3: "Union", 4: "Intersect", 5: "Transaction",
               6: "GetSystemInfo"}


class Transcript:
    """What crossed the connection, in order: ("request" | "response" | "event", message)."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self.entries: List[Tuple[str, Dict[str, Any]]] = []
        self._labels: Dict[int, str] = dict(ROOT_LABELS)

    def add(self, direction: str, message: Dict[str, Any]) -> None:
        with self._lock:
            self.entries.append((direction, message))
            if direction == "response":
                self._learn(message.get("result"))
            elif direction == "event":
                for wire in message.get("args") or []:
                    self._learn(wire)

    def _learn(self, wire: Any) -> None:
        if not isinstance(wire, dict):
            return
        tag, value = wire.get("type"), wire.get("value")
        if tag in ("Array", "Dict") and isinstance(wire.get("id"), int):
            self._labels[wire["id"]] = f"{tag}#{wire['id']}"
            for item in value.values() if isinstance(value, dict) else value or []:
                self._learn(item)
        elif wire.get("isSpec") and isinstance(value, int):
            self._labels[value] = f"{tag}#{value}"

    def requests(self, method: Optional[str] = None) -> List[Dict[str, Any]]:
        with self._lock:
            return [m for d, m in self.entries if d == "request" and method in (None, m.get("method"))]

    def clear(self) -> None:
        with self._lock:
            self.entries.clear()

    def lines(self) -> List[str]:
        """One readable line per message."""
        with self._lock:
            entries = list(self.entries)
        return [self._line(direction, message) for direction, message in entries]

    def _line(self, direction: str, m: Dict[str, Any]) -> str:
        if direction == "request":
            method, name, caller = m.get("method"), m.get("name"), m.get("caller")
            target = self._labels.get(caller, f"#{caller}") if isinstance(caller, int) else repr(caller)
            detail = {
                "GET": lambda: f".{name}",
                "GETITEM": lambda: f"[{name}]",
                "SET": lambda: f".{name} = {show(m.get('value'))}",
                "CALL": lambda: "(" + ", ".join(_show_arg(a) for a in m.get("args") or []) + ")",
            }.get(str(method), lambda: "")()
            return f"-> {method:<7} {target}{detail}"
        if direction == "event":
            args = ", ".join(show(a) for a in m.get("args") or [])
            return f"<= invoke  {m.get('callableId')}({args})"
        if m.get("ok"):
            result = m.get("result")
            return "<- ok" if isinstance(result, dict) and result.get("type") == "Null" else f"<- ok      {show(result)}"
        error = m.get("error")
        text = error.get("message") if isinstance(error, dict) else error
        return f"<- error   {text if text is not None else '(no message)'}"

    def format(self) -> str:
        return "\n".join(self.lines())


def show(wire: Any, width: int = 72) -> str:
    """A wire value in short: plain data as Python literals, references as Type#id."""
    text = _show(wire)
    return text if len(text) <= width else text[: width - 3] + "..."


def _show(wire: Any) -> str:
    if not isinstance(wire, dict):
        return repr(wire)
    tag, value = wire.get("type"), wire.get("value")
    if tag == "Array":
        return "[" + ", ".join(_show(v) for v in value or []) + "]"
    if tag == "Dict":
        return "{" + ", ".join(f"{k!r}: {_show(v)}" for k, v in (value or {}).items()) + "}"
    if tag == "Python_Function":
        return f"<python {value}>"
    if wire.get("isSpec"):
        return f"{tag}#{value}"
    return repr(value)


def _show_arg(entry: Any) -> str:
    if isinstance(entry, dict) and entry.get("arg_type") == "NAMED":
        return f"{entry.get('name')}={show(entry.get('value'))}"
    return show(entry.get("value") if isinstance(entry, dict) else entry)


class CallbackRunner:
    """Runs the Python callables that the add-in invokes, one after another, on a
    thread of its own (never on the listener: a request made by a callable must
    be answered while it runs). Each is looked up with `messaging.get_callable`
    and called with its decoded arguments; what it raises is kept for wait()."""

    def __init__(self, messaging: Any) -> None:
        self.messaging = messaging
        self.errors: List[BaseException] = []
        self._queue: "queue.Queue[Any]" = queue.Queue()
        self.thread = threading.Thread(target=self._run, name="kernel-callbacks", daemon=True)

    def start(self) -> None:
        self.thread.start()

    def put(self, message: Dict[str, Any]) -> None:
        """Queues an "invoke_callable" message."""
        self._queue.put(message)

    def stop(self, timeout: Optional[float] = None) -> None:
        """Runs the queued callables, then ends the thread."""
        self._queue.put(_STOP)
        self.thread.join(timeout)

    def wait(self, timeout: Optional[float] = None) -> None:
        """Waits until every callable queued so far has run; re-raises the first
        exception one of them raised."""
        done = self._queue.all_tasks_done
        with done:
            if not done.wait_for(lambda: self._queue.unfinished_tasks == 0, timeout):
                raise TimeoutError(f"The call-backs did not finish within {timeout} s")
        if self.errors:
            error, self.errors = self.errors[0], []
            raise error

    def _run(self) -> None:
        while True:
            message = self._queue.get()
            try:
                if message is _STOP:
                    return
                self._invoke(message)
            finally:
                self._queue.task_done()

    def _invoke(self, message: Dict[str, Any]) -> None:
        callable_id = message.get("callableId")
        fn = self.messaging.get_callable(callable_id) if isinstance(callable_id, str) else None
        if fn is None:
            self.errors.append(LookupError(f"No Python callable is registered under {callable_id!r}"))
            return
        try:
            args = [proxylink.Serializer.from_wire(wire) for wire in message.get("args") or []]
            fn(*args)
        except Exception as e:
            self.errors.append(e)


class SimulatedKernel:
    """Connects `messaging` to a `SimulatedAddin` through JSON text."""

    def __init__(self, addin: SimulatedAddin, messaging: Any = None) -> None:
        self.addin = addin
        self.messaging = messaging if messaging is not None else proxylink.messaging
        self.transcript = Transcript()
        self.connected = False
        self._inbox: "queue.Queue[Any]" = queue.Queue()  # request texts and control steps
        self._listener: Optional[threading.Thread] = None
        self._callbacks: Optional[CallbackRunner] = None

    # ---- life cycle ----------------------------------------------------------------------

    def start(self) -> None:
        self._listener = threading.Thread(target=self._listen, name="kernel-listener", daemon=True)
        self._callbacks = CallbackRunner(self.messaging)
        self._listener.start()
        self._callbacks.start()
        self.connected = True
        self.messaging.set_send_handler(self.send)

    def stop(self) -> None:
        """Close the connection: finish the queued callbacks, remove the send
        handler, reset the channel and end both threads."""
        if self._listener is None or self._callbacks is None:
            return
        self._callbacks.stop()
        if self.messaging._send_handler == self.send:
            self.messaging.set_send_handler(None)
        self.connected = False
        self._run_on_listener(self.messaging.reset)
        self._inbox.put(_STOP)
        self._listener.join()
        self._listener = None

    def reconnect(self) -> None:
        """A dropped and renewed connection: the channel is reset on the listener
        thread, and the add-in forgets the objects it handed out."""

        def renew() -> None:
            self.messaging.reset()
            self.addin.reconnect()

        self._run_on_listener(renew)

    def disconnect(self) -> None:
        """The add-in is gone: every send fails with ConnectionError until connect()."""
        self.connected = False

    def connect(self) -> None:
        self.connected = True

    def wait_callbacks(self, timeout: Optional[float] = None) -> None:
        """Wait until every callback invoked so far has run; re-raise the first
        exception one of them raised."""
        if self._callbacks is not None:
            self._callbacks.wait(timeout)

    # ---- the send handler and the listener -------------------------------------------

    def send(self, message: Dict[str, Any]) -> None:
        if not self.connected:
            raise ConnectionError("The add-in is not connected")
        text = json.dumps(message)
        self.transcript.add("request", json.loads(text))
        if threading.current_thread() is self._listener:
            self._deliver(self.addin.handle_text(text))  # answered before the caller starts waiting
        else:
            self._inbox.put(text)

    def _run_on_listener(self, step: Callable[[], None]) -> None:
        done = threading.Event()

        def run() -> None:
            try:
                step()
            finally:
                done.set()

        self._inbox.put(run)
        done.wait()

    def _listen(self) -> None:
        while True:
            item = self._inbox.get()
            if item is _STOP:
                return
            if callable(item):
                item()
            else:
                self._deliver(self.addin.handle_text(item))

    def _deliver(self, texts: List[str]) -> None:
        messages = [json.loads(text) for text in texts]
        # Invocations are queued before the response wakes the requester, so
        # that wait_callbacks() on the requesting thread sees them.
        for message in messages:
            if message.get("type") == "invoke_callable":
                self.transcript.add("event", message)
                assert self._callbacks is not None
                self._callbacks.put(message)
        for message in messages:
            if message.get("type") == "excel_response":
                self.transcript.add("response", message)
                self.messaging.on_message(message)
