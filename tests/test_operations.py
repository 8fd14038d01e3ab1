"""The five proxy operations, end to end through the JSON transport of the
simulated kernel and add-in: payloads, index texts, argument entries, the
response check, stale proxies after a reset, and releases."""
import gc
import subprocess
import sys
import textwrap
import traceback

import pytest

STALE = "^Excel Object used after messaging context was stopped$"


def ops(env, with_del=False):
    return [(m["method"], m["name"], m["caller"]) for m in env.transcript.requests()
            if with_del or m["method"] != "DEL"]


def sheet(proxylink):
    return proxylink.Excel.workbook.worksheets.getActiveWorksheet()


def test_attribute_chains_writes_and_payload_key_order(proxylink, excel):
    ws = sheet(proxylink)
    assert ws.name == "Sheet1"
    rng = ws.getRange("A1:B2")
    rng.values = [[1, 2.5], ["x", True]]
    assert rng.values == [[1, 2.5], ["x", True]]
    assert (rng.address, rng.rowCount, rng.columnCount) == ("Sheet1!A1:B2", 2, 2)
    ws.name = "Data"
    assert proxylink.Excel.workbook.worksheets.getItem("Data").getRange("B1").values == [[2.5]]
    _, (_, _, book), (_, _, sheets) = ops(excel)[:3]
    assert ops(excel)[:3] == [("GET", "workbook", 1), ("GET", "worksheets", book), ("GET", "getActiveWorksheet", sheets)]
    assert book not in range(7) and sheets not in range(7) and book != sheets
    layouts = {m["method"]: list(m) for m in excel.transcript.requests()}
    assert layouts == {
        "GET": ["method", "name", "caller", "requestId", "kind"],
        "SET": ["method", "name", "value", "caller", "requestId", "kind"],
        "CALL": ["method", "name", "args", "caller", "requestId", "kind"],
        "DEL": ["method", "name", "caller", "requestId", "kind"],
    }
    writes = excel.transcript.requests("SET")
    assert writes[0]["value"] == {"type": "Array", "value": [
        {"type": "Array", "value": [{"type": "Int", "value": 1, "isSpec": False},
                                    {"type": "Float", "value": 2.5, "isSpec": False}], "isSpec": False},
        {"type": "Array", "value": [{"type": "String", "value": "x", "isSpec": False},
                                    {"type": "Bool", "value": True, "isSpec": False}], "isSpec": False}],
        "isSpec": False}
    assert all(m["kind"] == "request" and len(m["requestId"]) == 32 for m in excel.transcript.requests())
    assert {m["name"] for m in excel.transcript.requests("DEL")} == {"__del__"}
    assert {m["name"] for m in excel.transcript.requests("CALL")} == {"__call__"}


def test_local_names_stay_local(proxylink, excel):
    ws = sheet(proxylink)
    excel.transcript.clear()
    assert (ws._internal_typeName, ws._typ, ws._internal_cache) == ("Worksheet", "officejs_object", {})
    ws._msg_guid = ws._msg_guid
    ws._internal_typeName = "Worksheet"
    t = proxylink.OfficeJsTransaction()
    with pytest.raises(AttributeError):
        proxylink._cw__getattr__(t, "_internal_cache")  # not set on a transaction, and not sent
    assert excel.transcript.requests() == []
    # _internal_cache is local for reading only: assigning it is a remote write
    with pytest.raises(RuntimeError, match="^Property '_internal_cache' does not exist on Worksheet$"):
        ws._internal_cache = {}
    assert ops(excel) == [("SET", "_internal_cache", ws._internal_id)]


def test_index_texts_for_ints_and_slices(proxylink, excel):
    sheets = proxylink.Excel.workbook.worksheets
    for name in ("Two", "Three"):
        sheets.add(name)
    excel.transcript.clear()
    assert sheets[0].name == "Sheet1"
    assert sheets[-1].name == "Three"
    middle = sheets[1:2]
    assert isinstance(middle, proxylink.OfficeJsArray) and [s.name for s in middle] == ["Two"]
    assert [s.name for s in sheets[::-1]] == ["Three", "Two", "Sheet1"]
    assert [s.name for s in sheets[:2]] == ["Sheet1", "Two"]
    with pytest.raises(RuntimeError, match="^Bad index 'True'$"):
        sheets[True]
    assert [name for method, name, _ in ops(excel) if method == "GETITEM"] == [
        "0", "-1", "1:2:", "::-1", ":2:", "True"]
    rows = sheets[0].getRange("A1:C3")
    assert rows[-1].address == "Sheet1!A3:C3" and rows[1:].address == "Sheet1!A2:C3"
    before = len(excel.transcript.requests())
    for bad in ("A1", 1.0, None, (1, 2)):
        with pytest.raises(TypeError, match="^Index must be an integer or a slice$"):
            rows[bad]
    assert len(excel.transcript.requests()) == before


def test_calls_with_positional_and_keyword_arguments(proxylink, excel):
    ws = sheet(proxylink)
    rng = ws.getRange(address="B2:D4")
    cell = rng.getCell(1, column=2)
    assert cell.address == "Sheet1!D3"
    call = excel.transcript.requests("CALL")[-1]
    assert call["args"] == [
        {"arg_type": "PLACED", "value": {"type": "Int", "value": 1, "isSpec": False}},
        {"arg_type": "NAMED", "name": "column", "value": {"type": "Int", "value": 2, "isSpec": False}},
    ]
    assert excel.transcript.requests("CALL")[-2]["args"][0]["arg_type"] == "NAMED"
    assert proxylink.GetSetting("theme") == "light"
    assert proxylink.GetSetting("missing", default=3) == 3
    assert proxylink.GetSystemInfo()["platform"] == "Simulated"
    assert excel.transcript.requests("CALL")[-1]["args"] == []
    # wire forms of proxies as arguments
    both = proxylink.Union(ws.getRange("A1:B2"), ws.getRange("C1:C2"))
    assert both.address == "Sheet1!A1:B2,Sheet1!C1:C2"
    assert proxylink.Intersect(ws.getRange("A1:C3"), ws.getRange("B2:D4")).address == "Sheet1!B2:C3"
    assert proxylink.Intersect(ws.getRange("A1"), ws.getRange("C3")) is None
    with pytest.raises(RuntimeError, match=r"^Bad arguments for Range.getCell: missing a required argument"):
        rng.getCell(1)


def test_calls_refused_for_objects_that_are_not_functions(proxylink, excel):
    ws = sheet(proxylink)
    values = ws.getRange("A1:B1").values
    excel.transcript.clear()
    for target in (ws, proxylink.Excel, proxylink.Context, values, proxylink.GetSystemInfo()):
        with pytest.raises(TypeError, match="^Only Function-typed SpecialObjects are callable$"):
            target(1, key=2)
    assert ops(excel) == [("CALL", "__call__", 6)]  # only GetSystemInfo() itself


def test_remote_errors_through_the_channel(proxylink, excel):
    ws = sheet(proxylink)
    with pytest.raises(RuntimeError, match="^Property 'nope' does not exist on Worksheet$"):
        ws.nope
    with pytest.raises(RuntimeError, match="^Worksheet cannot be indexed$"):
        ws[0]
    with pytest.raises(RuntimeError, match="^Property 'onChanged' of Worksheet is read-only$"):
        ws.onChanged = 1
    with pytest.raises(RuntimeError, match=r"^The worksheet 'Nope' does not exist$"):
        proxylink.Excel.workbook.worksheets.getItem("Nope")
    # failed answers without a message, or with an error that is not a dictionary
    for error, text in [({}, "Remote error"), (None, "Remote error"), ("plain text", "plain text"), ("", "Remote error")]:
        excel.addin.answer_next("GET", ok=False, error=error)
        with pytest.raises(RuntimeError, match=f"^{text}$"):
            ws.name
    sheets = proxylink.Excel.workbook.worksheets
    get_range = ws.getRange
    actions = {"GET": lambda: ws.name, "GETITEM": lambda: sheets[0], "SET": lambda: setattr(ws, "name", "x"),
               "CALL": lambda: get_range("A1")}
    for method, action in actions.items():
        for fields, text in [({"error": {"message": f"{method} refused"}}, f"{method} refused"), ({}, "Remote error")]:
            excel.addin.answer_next(method, ok=False, **fields)
            with pytest.raises(RuntimeError, match=f"^{text}$"):
                action()
    assert ws.name == "Sheet1"


def test_successful_answer_needs_a_result_except_for_writes(proxylink, excel):
    ws = sheet(proxylink)
    excel.addin.answer_next("GET", ok=True)
    with pytest.raises(TypeError, match="wire"):
        ws.name
    excel.addin.answer_next("SET", ok=True)
    ws.name = "Renamed"  # nothing executed, nothing raised
    assert ws.name == "Sheet1"


class CannedMessaging:
    """Stands in for the module's `messaging` to hand failed responses straight to the operations."""

    def __init__(self, guid, response):
        self._guid = guid
        self.response = response
        self.sent = []

    def send_request_sync(self, req):
        self.sent.append(req)
        return self.response


@pytest.mark.parametrize("error, expected", [
    ({"message": "boom"}, "boom"),
    ({}, None), (None, None), ("", None), (7, None),
    ("text of its own", "text of its own"),
    ({"message": ("a", "b")}, ("a", "b")),
])
def test_response_check_of_each_operation(proxylink, monkeypatch, error, expected):
    canned = CannedMessaging(proxylink.messaging._guid, {"ok": 0, "error": error})
    p = proxylink.OfficeJsObject(9, "Function")
    monkeypatch.setattr(proxylink, "messaging", canned)
    cases = [
        (lambda: p.values, AttributeError, "GET failed for values"),
        (lambda: p[-1], AttributeError, "GET ITEM failed for -1"),
        (lambda: p[1::2], AttributeError, "GET ITEM failed for slice(1, None, 2)"),
        (lambda: setattr(p, "values", 1), AttributeError, "SET failed for values"),
        (lambda: p(1), RuntimeError, "CALL failed"),
    ]
    for operation, exc_type, fallback in cases:
        with pytest.raises(exc_type) as info:
            operation()
        assert type(info.value) is exc_type
        assert info.value.args == ((expected if expected is not None else fallback),)
    sent = [r for r in canned.sent if r["method"] != "DEL"]  # releases of earlier tests' proxies may pass by
    assert [r["method"] for r in sent] == ["GET", "GETITEM", "GETITEM", "SET", "CALL"]
    assert sent[2]["name"] == "1::2"
    canned.response = {"ok": False}  # no error entry at all
    with pytest.raises(AttributeError, match="^GET failed for name$"):
        p.name


def test_stale_proxies_after_reset_while_roots_keep_working(proxylink, excel):
    ws = sheet(proxylink)
    rng = ws.getRange("A1:B2")
    values = rng.values
    info = proxylink.GetSystemInfo()
    fn = ws.getRange
    t = proxylink.OfficeJsTransaction()
    excel.kernel.reconnect()
    excel.transcript.clear()
    for operation in (lambda: ws.name, lambda: rng[0], lambda: setattr(rng, "values", 1), lambda: fn("A1"),
                      lambda: values.length, lambda: info.not_a_key, lambda: values(), t._start, t.commit,
                      lambda: proxylink._cw__getattr__(t, "start")):
        with pytest.raises(RuntimeError, match=STALE):
            operation()
    with pytest.raises(TypeError, match="^Index must be an integer or a slice$"):
        rng["A1"]  # the index is checked before staleness
    assert excel.transcript.requests() == []
    # all six roots were re-stamped
    fresh = sheet(proxylink)
    assert proxylink.Context.workbook.name == "Book1"
    assert proxylink.GetSetting("locale") == "en-US"
    assert proxylink.GetSystemInfo()["host"] == "Excel"
    assert proxylink.Union(fresh.getRange("A1"), fresh.getRange("A2")).address == "Sheet1!A1,Sheet1!A2"
    assert proxylink.Intersect(fresh.getRange("A1:B2"), fresh.getRange("B2")).address == "Sheet1!B2"
    # stale proxies are still released, and the add-in's refusal stays silent
    old_id = ws._internal_id
    excel.transcript.clear()
    del ws
    assert ops(excel, with_del=True) == [("DEL", "__del__", old_id)]
    assert not excel.transcript.entries[-1][1]["ok"]


def released(env):
    return sorted(m["caller"] for m in env.transcript.requests("DEL"))


def test_one_release_per_destroyed_proxy_including_cycles(proxylink, excel):
    ws = sheet(proxylink)
    ws.getRange("A1:B3").values = [[1, 2], [3, 4], [5, 6]]
    excel.transcript.clear()
    rows = ws.getRange("A1:B3").values  # an array of three arrays: four ids
    rng = ws.getRange("A1")
    info = proxylink.GetSystemInfo()
    held = sorted([rows._internal_id, rng._internal_id, info._internal_id] + [r._internal_id for r in rows])
    gc.collect()
    gc.disable()
    try:
        rows.append(rows)  # reference cycles: the collector has to find them
        info["me"] = info
        box = [rng]
        box.append(box)
        excel.transcript.clear()
        del rows, rng, info, box
        assert released(excel) == []
        gc.collect()
    finally:
        gc.enable()
    assert released(excel) == held
    assert excel.addin.live_ids() == [ws._internal_id]
    excel.transcript.clear()
    ws_id = ws._internal_id
    del ws
    gc.collect()
    assert released(excel) == [ws_id] and excel.addin.live_ids() == []


def test_releases_never_raise(proxylink, excel, monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    ws = sheet(proxylink)
    a, b, c = ws.getRange("A1"), ws.getRange("A2"), ws.getRange("A3")
    t = proxylink.OfficeJsTransaction()
    excel.kernel.disconnect()  # the add-in is gone: the send handler raises
    del a
    proxylink._cw__del__(t)
    excel.kernel.connect()
    proxylink.messaging.set_send_handler(None)
    del b, t
    assert proxylink._cw__del__(c) is None
    assert proxylink._cw__del__(object()) is None  # not even a proxy
    gc.collect()
    assert unraisable == []


def user_reads(rng):
    return rng.noSuchThing


def user_calls(fn):
    return fn(1, 2, 3)


@pytest.mark.parametrize("action, exc_type", [(user_reads, RuntimeError), (user_calls, RuntimeError)])
def test_failure_traceback_starts_at_the_users_frame(proxylink, excel, action, exc_type):
    rng = sheet(proxylink).getRange("A1")
    target = rng if action is user_reads else rng.getCell
    with pytest.raises(exc_type) as info:
        action(target)
    error = info.value
    assert error.__cause__ is None and error.__suppress_context__
    names = [f.name for f in traceback.extract_tb(error.__traceback__)]
    # after the test's own frame comes the user's; what follows is where the
    # channel's future raised it, never the bridge's own functions
    assert names[:2] == ["test_failure_traceback_starts_at_the_users_frame", action.__name__]
    assert not set(names) & set(proxylink._internal_officejs_names)


def test_no_release_is_sent_while_the_interpreter_shuts_down(tmp_path):
    # Nobody answers at exit: a release sent then would wait for its whole timeout.
    script = textwrap.dedent("""
        import sys
        from orvane_master.python_server.orvane import proxylink
        sent = []
        def handler(message):
            sent.append(message["method"])
            sys.stdout.write(message["method"] + "\\n")
            sys.stdout.flush()
        proxylink.messaging.set_send_handler(handler)
        held = [proxylink.OfficeJsObject(i, "Range") for i in range(10, 15)]
        arrays = [proxylink.OfficeJsArray(20), proxylink.OfficeJsDict(21)]
        transaction = proxylink.OfficeJsTransaction()
        cycle = [proxylink.OfficeJsObject(30, "Range")]
        cycle.append(cycle)
        print("ready", flush=True)
    """)
    # A release sent at exit would show in stdout (and wait 30 s for nobody)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["ready"]
    assert "Exception ignored" not in result.stderr
