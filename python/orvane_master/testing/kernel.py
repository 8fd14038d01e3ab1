"""The simulated kernel: the bridge's transport to the simulated add-in.

It installs the send handler on `messaging`, passes every message through
`json.dumps` and `json.loads` (so only what JSON can carry gets through),
delivers responses from its own listener thread through
`messaging.on_message`, runs the Python callbacks that the add-in invokes on a
callback thread of their own (looked up with `messaging.get_callable`), and
simulates a reconnect with `messaging.reset`. A callback that a reset forgot is
not run: its arguments are decoded and dropped all the same (their proxies
release the add-in's objects), and the add-in is told to drop the handler. The
transcript keeps the most recent messages only, 1000 unless told otherwise.

The listener thread only ever handles JSON and plain dictionaries: it never
holds a proxy, so it never drops the last reference to one (a release sent
from there could not be answered before its timeout). Should the garbage
collector still finalise a proxy on that thread, the release is answered in
place, before the send handler returns.
"""
import json
import queue
import threading
from collections import deque
from typing import Any, Callable, Deque, Dict, List, NamedTuple, Optional, Tuple

from orvane_master.python_server.orvane import proxylink

from .addin import UNKNOWN_CALLABLE, SimulatedAddin

_STOP = object()
# The messages a transcript keeps unless told otherwise: enough for any one step
# of a script, bounded for a session that runs for hours.
TRANSCRIPT_LIMIT = 1000
ROOT_LABELS = {0: "Context", 1: "Excel", 2: "GetSetting", 3: "Union", 4: "Intersect", 5: "Transaction",
               6: "GetSystemInfo"}
# Bounds on what a transcript remembers beyond its messages: the labels of the objects
# handed out and not yet released (an answer that a reset orphaned hands out objects
# that nobody releases), and the requests not yet answered (a reset leaves some
# unanswered for ever). Past them, the oldest go: such a line shows `#id` alone.
LABELS_KEPT = 10_000
OPEN_KEPT = 1_000
# The column at which a line's request number starts, when the line is short enough.
NUMBER_COLUMN = 64


class _Note(NamedTuple):
    """What a line needs that its message alone does not say, noted when it was added."""
    number: Optional[int] = None  # the request's, on the request and on its response
    thread: Optional[str] = None  # the requesting thread, unless the main one
    target: str = ""  # a request's caller, labelled as it was known then
    answers: Optional[str] = None  # a response's request method


class Transcript:
    """What crossed the connection, in order: ("request" | "response" | "event" |
    "notice", message), a notice being a message of the kernel's own to the add-in.

    It keeps the most recent `limit` messages, so that a long session does not grow
    with its traffic; `limit=None` keeps every message.

    `lines()` shows each message on a line. Requests are numbered from 1 for the life
    of the transcript; a request's line and its response's line end in the same
    `#n`, and name the requesting thread in brackets unless it is the main thread.
    An object is labelled by its type (`Worksheet#…`) on every line, also after
    `clear()`, once a message has handed it out.
    """

    def __init__(self, limit: Optional[int] = TRANSCRIPT_LIMIT) -> None:
        if limit is not None and limit < 0:
            raise ValueError(f"The transcript limit must be None or at least 0, got {limit}")
        self._lock = threading.RLock()  # taken inside a send, which a finaliser may start again
        self.limit = limit
        self.entries: Deque[Tuple[str, Dict[str, Any]]] = deque(maxlen=limit)
        self._notes: Deque[_Note] = deque(maxlen=limit)
        self._labels: Dict[int, str] = {}
        self._open: Dict[str, Tuple[int, Optional[str], Any]] = {}
        self._count = 0

    def add(self, direction: str, message: Dict[str, Any]) -> None:
        thread = threading.current_thread()
        name = None if thread is threading.main_thread() else thread.name
        with self._lock:
            self.entries.append((direction, message))
            self._notes.append(self._note(direction, message, name))

    def requests(self, method: Optional[str] = None) -> List[Dict[str, Any]]:
        with self._lock:
            return [m for d, m in self.entries if d == "request" and method in (None, m.get("method"))]

    def clear(self) -> None:
        """Forgets the messages; the numbering and the labels go on."""
        with self._lock:
            self.entries.clear()
            self._notes.clear()

    def lines(self) -> List[str]:
        """One readable line per message (see the class)."""
        with self._lock:
            kept = list(zip(self.entries, self._notes))
        return [_line(direction, message, note) for (direction, message), note in kept]

    def format(self) -> str:
        return "\n".join(self.lines())

    # ---- noted as messages are added, under the lock --------------------------------

    def _note(self, direction: str, m: Dict[str, Any], thread: Optional[str]) -> _Note:
        if direction == "request":
            self._count += 1
            caller, method = m.get("caller"), m.get("method")
            note = _Note(self._count, thread, self._label(caller))
            if method == "DEL" and isinstance(caller, int):
                self._labels.pop(caller, None)  # released: the add-in never hands out this id again
            request_id = m.get("requestId")
            if isinstance(request_id, str):
                _bounded(self._open, OPEN_KEPT)[request_id] = (self._count, thread, method)
            return note
        if direction == "response":
            request_id = m.get("requestId")
            number, asker, method = self._open.pop(request_id, (None, None, None)) \
                if isinstance(request_id, str) else (None, None, None)
            self._learn(m.get("result"))
            return _Note(number, asker, answers=method)
        if direction == "event":
            for wire in m.get("args") or []:
                self._learn(wire)
        return _Note(thread=thread if direction == "notice" else None)

    def _label(self, caller: Any) -> str:
        if not isinstance(caller, int) or isinstance(caller, bool):
            return repr(caller)
        return ROOT_LABELS.get(caller) or self._labels.get(caller) or f"#{caller}"

    def _learn(self, wire: Any) -> None:
        """Labels the references, arrays and dictionaries in `wire` with their type
        (without recursion: a response may nest deeper than the recursion limit)."""
        pending = [wire]
        while pending:
            wire = pending.pop()
            if not isinstance(wire, dict):
                continue
            tag, value, object_id = wire.get("type"), wire.get("value"), wire.get("id")
            if tag in ("Array", "Dict"):
                if isinstance(object_id, int):
                    _bounded(self._labels, LABELS_KEPT)[object_id] = f"{tag}#{object_id}"
                pending.extend(value.values() if isinstance(value, dict) else value if isinstance(value, list) else ())
            elif wire.get("isSpec") and isinstance(value, int):
                _bounded(self._labels, LABELS_KEPT)[value] = f"{tag}#{value}"


def _bounded(table: Dict[Any, Any], most: int) -> Dict[Any, Any]:
    """`table`, its oldest entry dropped when it is full, ready for one more."""
    if len(table) >= most:
        del table[next(iter(table))]
    return table


def _line(direction: str, m: Dict[str, Any], note: _Note) -> str:
    if direction == "request":
        method, name = m.get("method"), m.get("name")
        detail = {
            "GET": lambda: f".{name}",
            "GETITEM": lambda: f"[{name}]",
            "SET": lambda: f".{name} = {show(m.get('value'))}",
            "CALL": lambda: "(" + ", ".join(_show_arg(a) for a in m.get("args") or []) + ")",
        }.get(str(method), lambda: "")()
        text = f"-> {str(method):<7} {note.target}{detail}"
    elif direction == "event":
        text = "<= invoke  {}({})".format(m.get("callableId"), ", ".join(show(a) for a in m.get("args") or []))
    elif direction == "notice":
        text = f"=> {m.get('kind')} {m.get('callableId')}"
    elif m.get("ok"):
        # A write and a release answer nothing; a read shows what it got, None too.
        text = "<- ok" if note.answers in ("SET", "DEL") else f"<- ok      {show(m.get('result'))}"
    else:
        error = m.get("error")
        message = error.get("message") if isinstance(error, dict) else error
        text = f"<- error   {message if message is not None else '(no message)'}"
    tags = ([] if note.number is None else [f"#{note.number}"]) + ([] if note.thread is None else [f"[{note.thread}]"])
    return f"{text:<{NUMBER_COLUMN}}  {' '.join(tags)}".rstrip() if tags else text


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
        return ROOT_LABELS.get(value, f"{tag}#{value}") if isinstance(value, int) else f"{tag}#{value}"
    return repr(value)


def _show_arg(entry: Any) -> str:
    if isinstance(entry, dict) and entry.get("arg_type") == "NAMED":
        return f"{entry.get('name')}={show(entry.get('value'))}"
    return show(entry.get("value") if isinstance(entry, dict) else entry)


class CallbackRunner:
    """Runs the Python callables that the add-in invokes, one after another, on a
    thread of its own (never on the listener: a request made by a callable must
    be answered while it runs). Each is looked up with `messaging.get_callable`
    and called with its decoded arguments; the first exception one raises is
    kept for wait().

    An invocation of a callable id that the channel does not know (a reset forgot
    it) is not delivered: its arguments are decoded all the same and dropped, so
    that their proxies release what the add-in made for it, and `notify` sends the
    add-in {"kind": "unknown_callable", "callableId": id}, upon which it drops the
    handlers registered with that id.
    """

    def __init__(self, messaging: Any, notify: Callable[[Dict[str, Any]], None]) -> None:
        self.messaging = messaging
        self.notify = notify
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
        try:
            args = [proxylink.Serializer.from_wire(wire) for wire in message.get("args") or []]
            if fn is not None:
                fn(*args)
            del args  # here, for a callable that is gone: the add-in's objects are released
        except Exception as e:
            self._failed(e)
        if fn is None and isinstance(callable_id, str):
            self.notify({"kind": UNKNOWN_CALLABLE, "callableId": callable_id})
        elif fn is None:
            self._failed(LookupError(f"No Python callable is registered under {callable_id!r}"))

    def _failed(self, error: BaseException) -> None:
        # Only the first is re-raised; the later ones are not kept, nor what their
        # tracebacks hold, however long nobody waits.
        if not self.errors:
            self.errors.append(error)


def awaited(messaging: Any, message: Dict[str, Any]) -> bool:
    """Whether the request's waiter is still registered. A reset takes out every
    waiter: a request whose waiter it took was meant for the connection before the
    reset, and is not carried to the add-in of the next one (nobody would read its
    answer, and it would act on an add-in that never knew its context)."""
    try:
        return message.get("requestId") in messaging.waiters
    except (AttributeError, TypeError):
        return True


class SimulatedKernel:
    """Connects `messaging` to a `SimulatedAddin` through JSON text."""

    def __init__(self, addin: SimulatedAddin, messaging: Any = None,
                 transcript_limit: Optional[int] = TRANSCRIPT_LIMIT) -> None:
        self.addin = addin
        self.messaging = messaging if messaging is not None else proxylink.messaging
        self.transcript = Transcript(transcript_limit)
        self.connected = False
        # Request texts and control steps. A send may run inside another one: a collection
        # started there can finalise a proxy, whose release is sent from that very
        # thread. So every step of a send is re-entrant: a SimpleQueue's put, and the
        # transcript's and the connection's locks are RLocks.
        self._inbox: "queue.SimpleQueue[Any]" = queue.SimpleQueue()
        # A send checks its waiter and queues its text in one hold, a reconnect renews
        # both sides in one hold: a request lands wholly before or wholly after it.
        self._connection_lock = threading.RLock()
        self._listener: Optional[threading.Thread] = None
        self._callbacks: Optional[CallbackRunner] = None

    # ---- life cycle ----------------------------------------------------------------------

    def start(self) -> None:
        self._listener = threading.Thread(target=self._listen, name="kernel-listener", daemon=True)
        self._callbacks = CallbackRunner(self.messaging, self.notify)
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
            with self._connection_lock:
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
        if threading.current_thread() is self._listener:
            self.transcript.add("request", json.loads(text))
            self._deliver(self.addin.handle_text(text))  # answered before the caller starts waiting
            return
        with self._connection_lock:
            if not awaited(self.messaging, message):
                return  # the caller's wait ends with the reset's CancelledError
            self.transcript.add("request", json.loads(text))
            self._inbox.put(text)

    def notify(self, message: Dict[str, Any]) -> None:
        """Sends the add-in a message of the kernel's own, which it does not answer."""
        if not self.connected:
            return  # the add-in forgets its handlers with the connection
        text = json.dumps(message)
        self.transcript.add("notice", json.loads(text))
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
