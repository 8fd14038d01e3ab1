"""The simulated spreadsheet add-in: executes the bridge's requests.

It keeps the object table (the fixed ids 0 to 6 and a fresh id for every
object, array or dictionary it hands out, counted from a random base, see
`_fresh_ids`), answers each request with exactly
one response, holds property writes back between a transaction's start and
commit, and reports change events for Python callbacks that arrived as
"Python_Function" values. Messages come and go as JSON text, as they would
over the real connection.
"""
import base64
import datetime
import itertools
import json
import random
import threading
from collections import deque
from typing import Any, Deque, Dict, List, Optional, Tuple

from .jsobject import AddinError, JsFunction, JsObject, PythonCallback, sequence_item
from .workbook import Workbook, intersect, union

CONTEXT_ID, EXCEL_ID, TRANSACTION_ID = 0, 1, 5
FIXED_IDS = range(7)

# An id is never handed out twice to the same kernel, also not by an earlier
# incarnation of the add-in (a server process that was restarted): the kernel
# sends a "DEL" for every proxy it drops, stale ones included, and such a late
# release must not hit a newer object that got the same id. So each process
# counts from a base drawn at random from [2**32, 2**53 - 2**32), and keeps
# counting across reconnects and across the add-ins it makes. Two processes that
# hand out n and m ids overlap with a chance of about (n + m) / 2**53, and each
# has 2**32 ids to count up through while staying below 2**53, the integers that
# a JavaScript number holds exactly.
ID_LIMIT = 2**53
ID_ROOM = 2**32
_fresh_ids = itertools.count(random.SystemRandom().randrange(ID_ROOM, ID_LIMIT - ID_ROOM))

DEFAULT_SETTINGS = {"theme": "light", "locale": "en-US", "calculationMode": "automatic"}
DEFAULT_SYSTEM_INFO = {"host": "Excel", "platform": "Simulated", "version": "16.0", "addinVersion": "1.0.0"}


class RequestContext(JsObject):
    js_type = "RequestContext"
    js_properties = ("workbook",)

    def __init__(self, workbook: Workbook) -> None:
        self.workbook = workbook


class ExcelRoot(JsObject):
    js_type = "Excel"
    js_properties = ("workbook",)

    def __init__(self, workbook: Workbook) -> None:
        self.workbook = workbook


class TransactionObject(JsObject):
    """The add-in's transaction (id 5): start(context, block_gets) opens a batch
    of property writes, commit() applies it. A batch that was never committed (a
    rollback) is dropped by the next start or a reconnect, never by a release: every
    transaction of the bridge shares id 5, so the release of an earlier one can
    arrive while a later one is open."""

    js_type = "Transaction"
    js_methods = ("start", "commit")

    def __init__(self) -> None:
        self.batch: Optional[List[Tuple[JsObject, str, Any]]] = None
        self.block_gets = False
        self.commits: List[int] = []  # the number of writes of each commit
        self.discarded: List[int] = []  # the number of writes of each dropped batch

    def start(self, context: Any, block_gets: Any = False) -> None:
        if not isinstance(context, RequestContext):
            raise AddinError("start: the first argument must be the request context")
        self.drop_batch()
        self.batch = []
        self.block_gets = bool(block_gets)

    def commit(self) -> None:
        if self.batch is None:
            raise AddinError("commit: no transaction is open")
        batch, self.batch, self.block_gets = self.batch, None, False
        self.commits.append(len(batch))
        for target, name, value in batch:
            target.js_set(name, value)

    def drop_batch(self) -> None:
        if self.batch is not None:
            self.discarded.append(len(self.batch))
        self.batch, self.block_gets = None, False


# The kernel's word that it does not know a callable id the add-in invoked:
# {"kind": "unknown_callable", "callableId": id}. It is not answered.
UNKNOWN_CALLABLE = "unknown_callable"


class SimulatedAddin:
    """Executes request messages against a workbook model.

    `handle_text` takes one request as JSON text and returns the JSON texts to
    send back: the response, then any callback invocations that the request
    caused ({"type": "invoke_callable", "callableId": ..., "args": [...]}). For
    the kernel's notice that it does not know a callable id, it returns nothing
    and drops the change handlers registered with that id.
    """

    def __init__(self, workbook: Optional[Workbook] = None, settings: Optional[Dict[str, Any]] = None,
                 system_info: Optional[Dict[str, Any]] = None) -> None:
        self.workbook = workbook if workbook is not None else Workbook()
        self.settings = dict(DEFAULT_SETTINGS if settings is None else settings)
        self.system_info = dict(DEFAULT_SYSTEM_INFO if system_info is None else system_info)
        self.transaction = TransactionObject()
        self.objects: Dict[int, Any] = {
            0: RequestContext(self.workbook),
            1: ExcelRoot(self.workbook),
            2: JsFunction(self.get_setting, "GetSetting"),
            3: JsFunction(union, "Union"),
            4: JsFunction(intersect, "Intersect"),
            5: self.transaction,
            6: JsFunction(self.get_system_info, "GetSystemInfo"),
        }
        self._lock = threading.RLock()
        self._scripted: Deque[Tuple[Optional[str], Dict[str, Any]]] = deque()

    # ---- the fixed functions -------------------------------------------------------------

    def get_setting(self, name: str, default: Any = None) -> Any:
        if not isinstance(name, str):
            raise AddinError(f"GetSetting: the name must be a string, got {type(name).__name__}")
        return self.settings.get(name, default)

    def get_system_info(self) -> Dict[str, Any]:
        return dict(self.system_info)

    # ---- control for tests ---------------------------------------------------------------

    def answer_next(self, method: Optional[str] = None, **fields: Any) -> None:
        """Answer the next request (of `method`, if given) with these response
        fields instead of executing it, e.g. answer_next("GET", ok=False)."""
        with self._lock:
            self._scripted.append((method, fields))

    def live_ids(self) -> List[int]:
        """The ids held besides the fixed ones."""
        with self._lock:
            return sorted(i for i in self.objects if i not in FIXED_IDS)

    def reconnect(self) -> None:
        """A new connection: objects handed out before are gone, and so are the
        open batch and the registered callbacks (the kernel forgot them)."""
        with self._lock:
            for object_id in self.live_ids():
                del self.objects[object_id]
            self.transaction.drop_batch()
            self.workbook.registrations.clear()
            self.workbook.pending_events.clear()

    # ---- requests ------------------------------------------------------------------------

    def handle_text(self, text: str) -> List[str]:
        request = json.loads(text)
        if isinstance(request, dict) and request.get("kind") == UNKNOWN_CALLABLE:
            self.forget_callable(request.get("callableId"))
            return []
        with self._lock:
            response = self.handle(request)
            events = [self._invocation(handler, event) for handler, event in self.workbook.take_events()]
        return [json.dumps(message) for message in [response] + events]

    def forget_callable(self, callable_id: Any) -> None:
        """The kernel does not know `callable_id` (any more): the change handlers
        registered with it, and their events not yet sent, are dropped."""
        with self._lock:
            book = self.workbook
            book.registrations[:] = [r for r in book.registrations if r.handler.callable_id != callable_id]
            book.pending_events[:] = [(h, e) for h, e in book.pending_events if h.callable_id != callable_id]

    def handle(self, request: Dict[str, Any]) -> Dict[str, Any]:
        """One response for one request."""
        head = {"type": "excel_response", "requestId": request.get("requestId")}
        with self._lock:
            for i, (method, fields) in enumerate(self._scripted):
                if method is None or method == request.get("method"):
                    del self._scripted[i]
                    return {**head, **fields}
            try:
                return {**head, "ok": True, "result": self._execute(request)}
            except AddinError as e:
                return {**head, "ok": False, "error": {"message": str(e)}}
            except Exception as e:  # a fault of the model: still one answer, with its text
                return {**head, "ok": False, "error": {"message": f"{type(e).__name__}: {e}"}}

    def _execute(self, request: Dict[str, Any]) -> Dict[str, Any]:
        method, name = request.get("method"), request.get("name")
        target = self._lookup(request.get("caller"))
        if method == "GET":
            value = self._get(target, name)
            if self.transaction.block_gets and target is not self.transaction and not isinstance(value, JsObject):
                raise AddinError(f"Reading '{name}' is blocked while the transaction is open")
            return self.to_wire(value)
        if method == "GETITEM":
            value = self._getitem(target, parse_index(name))
            return self.to_wire(value)
        if method == "SET":
            value = self.from_wire(request.get("value"))
            if not isinstance(name, str):
                raise AddinError(f"A property name must be a string, got {type(name).__name__}")
            if not isinstance(target, JsObject):
                raise AddinError(f"Cannot set '{name}' on {_type_name(target)}")
            if self.transaction.batch is not None and target is not self.transaction:
                target.js_check_writable(name)
                self.transaction.batch.append((target, name, value))
            else:
                target.js_set(name, value)
            return self.to_wire(None)
        if method == "CALL":
            if not isinstance(target, JsFunction):
                raise AddinError(f"Object {request.get('caller')} ({_type_name(target)}) is not a function")
            args, kwargs = self._arguments(request.get("args"))
            return self.to_wire(target.js_call(args, kwargs))
        if method == "DEL":
            self._release(request.get("caller"))
            return self.to_wire(None)
        raise AddinError(f"Unknown request method {method!r}")

    def _lookup(self, object_id: Any) -> Any:
        if type(object_id) is not int or object_id not in self.objects:
            raise AddinError(f"Unknown object id {object_id!r}")
        return self.objects[object_id]

    def _release(self, object_id: Any) -> None:
        self._lookup(object_id)
        # The fixed objects live as long as the add-in: releasing one does nothing.
        if object_id not in FIXED_IDS:
            del self.objects[object_id]

    @staticmethod
    def _get(target: Any, name: Any) -> Any:
        if not isinstance(name, str):
            raise AddinError(f"A property name must be a string, got {type(name).__name__}")
        if isinstance(target, JsObject):
            return target.js_get(name)
        if isinstance(target, list) and name == "length":
            return len(target)
        if isinstance(target, dict) and name in target:
            return target[name]
        raise AddinError(f"Property '{name}' does not exist on {_type_name(target)}")

    @staticmethod
    def _getitem(target: Any, index: Any) -> Any:
        if isinstance(target, JsObject):
            return target.js_getitem(index)
        if isinstance(target, list):
            return sequence_item(target, index, "an array")
        raise AddinError(f"{_type_name(target)} cannot be indexed")

    def _arguments(self, entries: Any) -> Tuple[List[Any], Dict[str, Any]]:
        if not isinstance(entries, list):
            raise AddinError("CALL needs an 'args' list")
        args: List[Any] = []
        kwargs: Dict[str, Any] = {}
        for entry in entries:
            kind = entry.get("arg_type") if isinstance(entry, dict) else None
            if kind == "PLACED":
                args.append(self.from_wire(entry.get("value")))
            elif kind == "NAMED" and isinstance(entry.get("name"), str):
                kwargs[entry["name"]] = self.from_wire(entry.get("value"))
            else:
                raise AddinError(f"Bad argument entry {entry!r}")
        return args, kwargs

    def _invocation(self, handler: PythonCallback, event: Dict[str, Any]) -> Dict[str, Any]:
        return {"type": "invoke_callable", "callableId": handler.callable_id, "args": [self.to_wire(event)]}

    # ---- wire values ---------------------------------------------------------------------

    def _new_id(self, value: Any) -> int:
        object_id = next(_fresh_ids)
        if object_id >= ID_LIMIT:
            raise AddinError("The add-in has handed out every object id it may use")
        self.objects[object_id] = value
        return object_id

    def to_wire(self, value: Any) -> Dict[str, Any]:
        if value is None:
            return {"type": "Null", "value": None, "isSpec": False}
        if isinstance(value, bool):
            return {"type": "Bool", "value": value, "isSpec": False}
        for tag, kind in (("Int", int), ("Float", float), ("String", str)):
            if isinstance(value, kind):
                return {"type": tag, "value": value, "isSpec": False}
        if isinstance(value, (datetime.date, datetime.datetime)):
            return {"type": "Date", "value": value.isoformat(), "isSpec": False}
        if isinstance(value, bytes):
            return {"type": "Bytes", "value": base64.b64encode(value).decode("ascii"), "isSpec": False}
        if isinstance(value, (list, tuple)):
            items = [self.to_wire(v) for v in value]
            return {"type": "Array", "value": items, "isSpec": False, "id": self._new_id(list(value))}
        if isinstance(value, dict):
            entries = {k: self.to_wire(v) for k, v in value.items()}
            return {"type": "Dict", "value": entries, "isSpec": False, "id": self._new_id(dict(value))}
        if isinstance(value, JsObject):
            return {"type": value.js_type, "value": self._new_id(value), "isSpec": True}
        if isinstance(value, PythonCallback):
            return {"type": "Python_Function", "value": value.callable_id, "isSpec": True}
        raise AddinError(f"Cannot send a value of type {type(value).__name__}")

    def from_wire(self, wire: Any) -> Any:
        if not isinstance(wire, dict):
            raise AddinError(f"Expected a wire value, got {wire!r}")
        tag, value = wire.get("type"), wire.get("value")
        if tag in ("Null", "Bool", "Int", "Float", "String", "Date"):
            return value  # dates stay ISO text in the cells
        if tag == "Bytes":
            return base64.b64decode(value or b"")
        if tag == "Array":
            return [self.from_wire(v) for v in value or []]
        if tag == "Dict":
            return {k: self.from_wire(v) for k, v in (value or {}).items()}
        if tag == "Python_Function":
            if not isinstance(value, str):
                raise AddinError(f"A Python function is named by a string id, not {value!r}")
            return PythonCallback(value)
        if wire.get("isSpec"):
            return self._lookup(value)
        raise AddinError(f"Unsupported wire value type {tag!r}")


def parse_index(text: Any) -> Any:
    """The index text of a GETITEM: '-1', or start:stop:step with empty parts."""
    if not isinstance(text, str):
        raise AddinError(f"Bad index {text!r}")
    parts = text.split(":")
    try:
        if len(parts) == 1:
            return int(text)
        if len(parts) == 3:
            start, stop, step = (int(p) if p else None for p in parts)
            return slice(start, stop, step)
    except ValueError:
        pass
    raise AddinError(f"Bad index '{text}'")


def _type_name(value: Any) -> str:
    if isinstance(value, JsObject):
        return value.js_type
    if isinstance(value, (list, dict)):
        return "Array" if isinstance(value, list) else "Dict"
    return type(value).__name__

