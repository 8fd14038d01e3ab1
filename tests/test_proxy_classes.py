"""The proxy classes on their own: construction, per-instance classes, local
attributes, representations, and the forwarding of special methods to the
module-level _cw__ functions (replaced here in the module namespace)."""
import gc
import sys
import traceback

import pytest

EXTRA = {"__module__", "__qualname__", "__doc__", "__dict__", "__weakref__"}


def test_class_dictionaries_hold_exactly_the_listed_methods(proxylink):
    assert set(vars(proxylink.OfficeJsObject)) - EXTRA == {
        "__new__", "__init__", "__getattr__", "__getitem__", "__setattr__", "__call__", "__del__", "__repr__"}
    for cls in (proxylink.OfficeJsArray, proxylink.OfficeJsDict):
        assert set(vars(cls)) - EXTRA == {
            "__new__", "__init__", "__getattr__", "__setattr__", "__call__", "__del__", "__str__", "__repr__"}
    assert isinstance(vars(proxylink.OfficeJsObject)["__new__"], staticmethod)
    assert proxylink.OfficeJsObject.__bases__ == (object,)
    assert proxylink.OfficeJsArray.__bases__ == (list,)
    assert proxylink.OfficeJsDict.__bases__ == (dict,)
    assert set(vars(proxylink.Messaging)) - EXTRA == {
        "__init__", "set_send_handler", "send_request_sync", "on_message", "reset",
        "register_callable", "get_callable", "unregister_callable"}


def test_docstrings_open_with_signatures(proxylink):
    assert proxylink.Messaging.send_request_sync.__doc__.startswith(
        "send_request_sync(self, req: dict, timeout: float = 30.0) -> dict\n\n"
        "Send a request and wait synchronously for the response.")
    assert proxylink.Serializer.__doc__ == "Handles marshaling of data types between Python and JavaScript."
    assert proxylink.OfficeJsObject.__doc__.startswith("Dynamic proxy class for Office.js objects.")
    for fn in ("_cw__getattr__", "_cw__getitem__", "_cw__setattr__", "_cw__call__", "_cw__del__"):
        assert getattr(proxylink, fn).__doc__.startswith(fn + "(self")


def test_roots_and_module_globals(proxylink):
    roots = [("Context", 0, "RequestContext"), ("Excel", 1, "Excel"), ("GetSetting", 2, "Function"),
             ("Union", 3, "Function"), ("Intersect", 4, "Function"), ("GetSystemInfo", 6, "Function")]
    for name, object_id, type_name in roots:
        root = getattr(proxylink, name)
        assert (root._internal_id, root._internal_typeName, root._typ) == (object_id, type_name, "officejs_object")
        assert type(root).__name__ == type_name and type(root).__module__ == "orvane.Excel"
    assert repr(proxylink.Excel) == str(proxylink.Excel) == "<OfficeJsObject Excel id=1>"
    assert repr(proxylink.Context) == "<OfficeJsObject RequestContext id=0>"
    assert type(proxylink.GetSetting) is not type(proxylink.Union)
    assert proxylink.UNIQUE_TRANSACTION_ID == 5
    assert proxylink._internal_officejs_names == [
        "_cw__getattr__", "_cw__getitem__", "_cw__setattr__", "_cw__call__", "_cw__del__",
        "__getattr__", "__getitem__", "__setattr__", "__call__", "__del__"]
    import base64, concurrent.futures, datetime, threading, uuid
    import numpy, pandas
    assert (proxylink.base64, proxylink.dt, proxylink.threading, proxylink.uuid) == (base64, datetime, threading, uuid)
    assert proxylink.concurrent.futures is concurrent.futures
    assert (proxylink.np, proxylink.pd) == (numpy, pandas)
    assert proxylink._HAS_COM is False and proxylink.serialize_com_object is None
    assert not hasattr(proxylink, "is_com_object")
    assert isinstance(proxylink.messaging, proxylink.Messaging)


def test_construction_rules(proxylink):
    p = proxylink.OfficeJsObject(type_name="Function", object_id=7)
    assert repr(p) == "<OfficeJsObject Function id=7>"
    assert list(vars(p)) == ["_internal_id", "_internal_typeName", "_msg_guid", "_typ", "_internal_cache"]
    assert p._msg_guid == proxylink.messaging._guid and p._internal_cache == {}
    assert isinstance(p, proxylink.OfficeJsObject)
    for args, name in [((True, "x"), "object_id"), ((None, "x"), "object_id"), ((1, None), "type_name"),
                       ((1.0, "x"), "object_id")]:
        with pytest.raises(TypeError, match=f"Argument '{name}' has incorrect type"):
            proxylink.OfficeJsObject(*args)
    for cls in (proxylink.OfficeJsArray, proxylink.OfficeJsDict):
        with pytest.raises(TypeError, match="Argument 'object_id' has incorrect type"):
            cls(None)
    with pytest.raises(TypeError):
        proxylink.OfficeJsObject(1)


def test_proxies_compare_hash_and_test_by_identity_without_requests(proxylink):
    proxylink.messaging.set_send_handler(None)
    a, b = proxylink.OfficeJsObject(3, "Range"), proxylink.OfficeJsObject(3, "Range")
    assert a != b and a == a and hash(a) != hash(b) and bool(a)
    assert type(a) is not type(b)


def test_containers(proxylink):
    a = proxylink.OfficeJsArray(12)
    assert repr(a) == "<OfficeJsArray id=12 len=0>" and str(a) == "[]" and not a
    assert type(a).__name__ == "JsArray" and type(a).__module__ == "orvane"
    a.extend([1, 2, 3])
    a[0] = 9
    assert str(a) == "[9, 2, 3]" and a == [9, 2, 3] and repr(a) == "<OfficeJsArray id=12 len=3>"
    with pytest.raises(AttributeError, match="^Cannot set attributes on OfficeJsArray$"):
        a._internal_id = 4
    with pytest.raises(TypeError):
        hash(a)
    d = proxylink.OfficeJsDict(5)
    d.update({"name": "Sheet1", "keys": 1})
    assert d.name == "Sheet1" and callable(d.keys)
    d.name = "Sheet2"
    assert d["name"] == "Sheet2"
    with pytest.raises(AttributeError, match="^Cannot set attributes on OfficeJsDict$"):
        d.other = 1
    assert "other" not in d
    assert str(d) == "{'name': 'Sheet2', 'keys': 1}"
    ten = proxylink.OfficeJsDict(1)
    ten.update({c: 0 for c in "abcdefghij"})
    assert repr(ten) == "<OfficeJsDict id=1 keys=['a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j']>"
    ten["k"] = 0
    assert repr(ten) == "<OfficeJsDict id=1 keys=['a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', '...']>"
    assert proxylink.OfficeJsArray(1) == proxylink.OfficeJsArray(2) == []
    for container in (a, d):
        with pytest.raises(TypeError, match="^Only Function-typed SpecialObjects are callable$"):
            container()


class Recorder:
    """Stands in for the five _cw__ functions and records how they are called."""

    def __init__(self, proxylink, monkeypatch):
        self.calls = []
        for name in ("getattr", "getitem", "setattr", "call", "del"):
            monkeypatch.setattr(proxylink, f"_cw__{name}__", self._make(name))

    def _make(self, op):
        def fn(proxy, *args, **kwargs):
            self.calls.append((op, id(proxy), args, kwargs))
            return ("result", op)
        return fn


def test_special_methods_forward_to_the_module_functions(proxylink, monkeypatch):
    rec = Recorder(proxylink, monkeypatch)
    p = proxylink.OfficeJsObject(8, "Range")
    assert p.values == ("result", "getattr")
    assert p[-1] == ("result", "getitem")
    p.values = [[1]]
    assert p(1, 2, b=3) == ("result", "call")
    arr = proxylink.OfficeJsArray(9)
    arr.remote_thing
    d = proxylink.OfficeJsDict(10)
    d.missing
    p_id, arr_id, d_id = id(p), id(arr), id(d)
    del p
    gc.collect()
    assert rec.calls == [
        ("getattr", p_id, ("values",), {}),
        ("getitem", p_id, (-1,), {}),
        ("setattr", p_id, ("values", [[1]]), {}),
        ("call", p_id, (1, 2), {"b": 3}),
        ("getattr", arr_id, ("remote_thing",), {}),
        ("getattr", d_id, ("missing",), {}),
        ("del", p_id, (), {}),
    ]
    # local attributes never reach the functions
    before = len(rec.calls)
    q = proxylink.OfficeJsObject(11, "Range")
    q._internal_id, q._typ, q._internal_cache, q._msg_guid
    assert len(rec.calls) == before


def test_replaced_function_is_used_at_every_call(proxylink, monkeypatch):
    p = proxylink.OfficeJsObject(8, "Range")
    monkeypatch.setattr(proxylink, "_cw__getattr__", lambda self, name: 1)
    assert p.anything == 1
    monkeypatch.setattr(proxylink, "_cw__getattr__", lambda self, name: 2)
    assert p.anything == 2
    monkeypatch.delattr(proxylink, "_cw__getattr__")
    with pytest.raises(NameError, match="_cw__getattr__"):
        p.anything


def user_code(proxy):
    return proxy.address  # the user's own frame


def test_failures_are_reraised_trimmed_without_chained_cause(proxylink, monkeypatch):
    raised = []

    def _cw__getattr__(self, name):
        def __getattr__():
            error = LookupError("remote says no")
            raised.append(error)
            try:
                raise KeyError("inner")
            except KeyError:
                raise error
        return __getattr__()

    monkeypatch.setattr(proxylink, "_cw__getattr__", _cw__getattr__)
    p = proxylink.OfficeJsObject(8, "Range")
    with pytest.raises(LookupError) as info:
        user_code(p)
    error = info.value
    assert error is raised[0]
    assert error.__cause__ is None and error.__suppress_context__
    names = [frame.name for frame in traceback.extract_tb(error.__traceback__)]
    assert names[-1] == "user_code"
    assert "_cw__getattr__" not in names and "__getattr__" not in names


def test_traceback_cleared_when_every_entry_is_internal(proxylink, monkeypatch):
    def _cw__call__(self, *args, **kwargs):
        raise ValueError("x")

    monkeypatch.setattr(proxylink, "_cw__call__", _cw__call__)
    try:
        proxylink.GetSetting()
    except ValueError as e:
        tb = e.__traceback__
    # only the test's own frame was added on the way out
    assert [f.name for f in traceback.extract_tb(tb)] == ["test_traceback_cleared_when_every_entry_is_internal"]


def test_base_exceptions_pass_untouched(proxylink, monkeypatch):
    def _cw__getattr__(self, name):
        raise KeyboardInterrupt

    monkeypatch.setattr(proxylink, "_cw__getattr__", _cw__getattr__)
    with pytest.raises(KeyboardInterrupt) as info:
        proxylink.Excel.workbook
    names = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
    assert "_cw__getattr__" in names


def test_exceptions_in_del_are_reported_not_raised(proxylink, monkeypatch):
    def _cw__del__(self):
        raise ValueError("release failed")

    gc.collect()
    monkeypatch.setattr(proxylink, "_cw__del__", _cw__del__)
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    p = proxylink.OfficeJsObject(8, "Range")
    del p
    gc.collect()
    assert len(seen) == 1 and isinstance(seen[0].exc_value, ValueError)


def test_proxy_creation_does_not_leak(proxylink):
    proxylink.messaging.set_send_handler(None)
    name = "Range"
    before = sys.getrefcount(name)
    for _ in range(2000):
        p = proxylink.OfficeJsObject(3, name)
        a = proxylink.OfficeJsArray(4)
        a.append(p)
        del p, a
    gc.collect()
    assert sys.getrefcount(name) == before
