"""A plain-Python rendering of the wire codec and of the request round trip, kept
for comparison: the benchmarks time our extension module against it.

It follows the same steps as the module, one for one, in ordinary Python: the
encoder's ordered type tests (as far as tables of scalars need them), the
decoder's ordered tag tests, containers that remember their remote id, and the
channel that pairs each request with its response through a Future. It never
talks to the add-in: its containers have no finaliser, and nothing here sends a
release.
"""
import base64
import concurrent.futures
import datetime as dt
import math
import threading
import uuid

import numpy as np
import pandas as pd


class Messaging:
    """Request/response channel: one Future per request id, answered by whichever
    thread calls on_message."""

    def __init__(self):
        self.waiters = {}
        self._waiters_lock = threading.Lock()
        self._guid = uuid.uuid4().hex
        self._send_handler = None
        self._callable_registry = {}
        self._callable_lock = threading.Lock()

    def set_send_handler(self, handler):
        self._send_handler = handler

    def send_request_sync(self, req, timeout=30.0):
        if type(req) is not dict:
            raise TypeError(f"Argument 'req' has incorrect type (expected dict, got {type(req).__name__})")
        timeout = float(timeout)
        if not self._send_handler:
            raise RuntimeError("No send handler registered")
        request_id = uuid.uuid4().hex
        message = dict(req)
        message["requestId"] = request_id
        message["kind"] = "request"
        waiter = concurrent.futures.Future()
        with self._waiters_lock:
            self.waiters[request_id] = waiter  # before the send: an early answer finds it
        try:
            self._send_handler(message)
            return waiter.result(timeout=timeout)
        except concurrent.futures.TimeoutError:
            with self._waiters_lock:
                self.waiters.pop(request_id, None)
            raise TimeoutError("Timed out waiting for Office.js response") from None
        except Exception:
            with self._waiters_lock:
                self.waiters.pop(request_id, None)
            raise

    def on_message(self, message):
        request_id = message.get("requestId")
        if not request_id:
            return
        with self._waiters_lock:
            waiter = self.waiters.pop(request_id, None)
        if waiter is None or waiter.done():
            return
        if message.get("ok"):
            waiter.set_result(message)
        else:
            waiter.set_exception(RuntimeError(message.get("error", {}).get("message", "Remote error")))

    def get_callable(self, callable_id):
        with self._callable_lock:
            return self._callable_registry.get(callable_id)


messaging = Messaging()


def _check_id(object_id):
    if type(object_id) is not int:
        raise TypeError(f"Argument 'object_id' has incorrect type (expected int, got {type(object_id).__name__})")


def _stamp(obj, object_id, type_name, typ):
    for name, value in (("_internal_id", object_id), ("_internal_typeName", type_name),
                        ("_msg_guid", messaging._guid), ("_typ", typ), ("_internal_cache", {})):
        object.__setattr__(obj, name, value)


class OfficeJsObject:
    def __init__(self, object_id, type_name):
        _check_id(object_id)
        _stamp(self, object_id, type_name, "officejs_object")


class OfficeJsArray(list):
    """A list that remembers its remote id; each one gets a class of its own."""

    def __new__(cls, object_id):
        return list.__new__(type("JsArray", (cls,), {"__module__": "orvane"}))

    def __init__(self, object_id):
        _check_id(object_id)
        list.__init__(self)
        _stamp(self, object_id, "Array", "officejs_array")


class OfficeJsDict(dict):
    """A dict that remembers its remote id; each one gets a class of its own."""

    def __new__(cls, object_id):
        return dict.__new__(type("JsDict", (cls,), {"__module__": "orvane"}))

    def __init__(self, object_id):
        _check_id(object_id)
        dict.__init__(self)
        _stamp(self, object_id, "Dict", "officejs_dict")


def _is_missing(value):
    try:
        return value is pd.NA or (isinstance(value, np.floating) and not isinstance(value, float)
                                  and math.isnan(value))
    except Exception:
        return False


class Serializer:
    @staticmethod
    def to_wire(value):
        if value is None:
            return {"type": "Null", "value": None, "isSpec": False}
        if isinstance(value, (bool, np.bool_)):
            return {"type": "Bool", "value": bool(value), "isSpec": False}
        if isinstance(value, int):
            return {"type": "Int", "value": int(value), "isSpec": False}
        if isinstance(value, float):
            return {"type": "Float", "value": float(value), "isSpec": False}
        if isinstance(value, str):
            return {"type": "String", "value": value, "isSpec": False}
        if isinstance(value, (dt.datetime, dt.date, pd.Timestamp, np.datetime64)):
            if isinstance(value, np.datetime64):
                return {"type": "Date", "value": str(value), "isSpec": False}
            if isinstance(value, dt.datetime) and value.tzinfo:
                value = value.astimezone(dt.timezone.utc)
            return {"type": "Date", "value": value.isoformat(), "isSpec": False}
        if isinstance(value, (bytes, bytearray, memoryview)):
            return {"type": "Bytes", "value": base64.b64encode(bytes(value)).decode("ascii"), "isSpec": False}
        if isinstance(value, (list, tuple)):
            return {"type": "Array", "value": [Serializer.to_wire(e) for e in value], "isSpec": False}
        if isinstance(value, dict):
            return {"type": "Dict", "value": {k: Serializer.to_wire(v) for k, v in value.items()}, "isSpec": False}
        if _is_missing(value):
            return {"type": "Null", "value": None, "isSpec": False}
        if isinstance(value, (pd.Series, pd.DataFrame)):
            if isinstance(value, pd.Series):
                value = value.to_frame()
            rows = [value.columns.tolist()]
            for row in value.values:
                rows.append(row.tolist())
            return Serializer.to_wire(rows)
        # Polars tables, legacy objects, proxies and callables are left out: the
        # benchmarks send none of them.
        return {"type": "String", "value": str(value), "isSpec": False}

    @staticmethod
    def from_wire(wire):
        if type(wire) is not dict:
            raise TypeError(f"Argument 'wire' has incorrect type (expected dict, got {type(wire).__name__})")
        tag, value, is_spec, object_id = wire.get("type"), wire.get("value"), wire.get("isSpec"), wire.get("id")
        if tag == "Null":
            return None
        if tag == "Bool":
            return bool(value)
        if tag == "Int" or tag == "Float":
            return float(value) if tag == "Float" else int(value)
        if tag == "String":
            return value if type(value) is str else str(value)
        if tag == "Date":
            try:
                return dt.datetime.fromisoformat(value)
            except Exception:
                return value
        if tag == "Bytes":
            return base64.b64decode(value or b"")
        if tag == "Array":
            array = OfficeJsArray(object_id)
            array.extend([Serializer.from_wire(e) for e in value or []])
            return array
        if tag == "Dict":
            mapping = OfficeJsDict(object_id)
            mapping.update({k: Serializer.from_wire(v) for k, v in (value or {}).items()})
            return mapping
        # No legacy serialisation module here: "COM_Object" goes on like any other tag.
        if tag == "Python_Function":
            return messaging.get_callable(value)
        if is_spec:
            return OfficeJsObject(int(value), tag)
        return str(value)
