"""The stand-ins themselves: the add-in's duties (object table, fixed ids, answers
as wire values, refusals, transactions) and its spreadsheet model, checked
against both add-ins (the Python stand-in and the page, see the `addin` and
`any_excel` fixtures), and the simulated kernel's transport, listener thread
and callbacks."""
import gc
import re
import threading
import time

import pytest

from orvane_master.testing.addin import parse_index
from orvane_master.testing.excel import SimulatedExcel
from orvane_master.testing.kernel import Transcript
from orvane_master.testing.workbook import Rect


def ask(addin, method, caller, name=None, **extra):
    request = {"method": method, "name": name, **extra, "caller": caller, "requestId": "r1", "kind": "request"}
    response = addin.handle(request)
    assert response["requestId"] == "r1" and response["type"] == "excel_response"
    return response


def ok(addin, method, caller, name=None, **extra):
    response = ask(addin, method, caller, name, **extra)
    assert response["ok"], response
    return response["result"]


def refused(addin, method, caller, name=None, **extra):
    response = ask(addin, method, caller, name, **extra)
    assert response["ok"] is False
    return response["error"]["message"]


def wire(value, tag=None):
    tags = {type(None): "Null", bool: "Bool", int: "Int", float: "Float", str: "String"}
    return {"type": tag or tags[type(value)], "value": value, "isSpec": False}


def placed(*values):
    return [{"arg_type": "PLACED", "value": v} for v in values]


def test_fixed_ids_and_release_rules(addin):
    assert ok(addin, "GET", 0, "workbook")["type"] == "Workbook"
    book = ok(addin, "GET", 1, "workbook")
    assert book["isSpec"] and book["value"] not in range(7)
    assert ok(addin, "CALL", 2, "__call__", args=placed(wire("theme"))) == wire("light")
    info = ok(addin, "CALL", 6, "__call__", args=[])
    assert info["type"] == "Dict" and isinstance(info["id"], int) and info["value"]["host"] == wire("Excel")
    for fixed in range(7):
        assert ok(addin, "DEL", fixed, "__del__") == wire(None)
    assert ok(addin, "DEL", 5, "__del__") == wire(None)  # every transaction releases id 5 again
    assert ok(addin, "GET", 1, "workbook")["type"] == "Workbook"
    assert ok(addin, "GET", 5, "start")["type"] == "Function"
    assert ok(addin, "DEL", book["value"], "__del__") == wire(None)
    assert refused(addin, "DEL", book["value"], "__del__") == f"Unknown object id {book['value']}"
    assert refused(addin, "GET", info["id"] + 1000, "x") == f"Unknown object id {info['id'] + 1000}"
    assert refused(addin, "GET", "1", "workbook") == "Unknown object id '1'"
    assert refused(addin, "GET", True, "workbook") == "Unknown object id True"


def test_answers_are_wire_values_with_fresh_ids(addin):
    first, second = ok(addin, "GET", 1, "workbook"), ok(addin, "GET", 1, "workbook")
    assert first["value"] != second["value"]
    sheets = ok(addin, "GET", first["value"], "worksheets")["value"]
    items = ok(addin, "GET", sheets, "items")
    assert items["type"] == "Array" and [v["type"] for v in items["value"]] == ["Worksheet"]
    assert ok(addin, "GET", items["id"], "length") == wire(1)
    assert ok(addin, "GETITEM", items["id"], "-1")["type"] == "Worksheet"
    assert ok(addin, "GETITEM", sheets, "0:1:")["type"] == "Array"
    before = set(addin.live_ids())
    ok(addin, "DEL", items["id"], "__del__")
    assert set(addin.live_ids()) == before - {items["id"]}
    # Ids are never handed out again: not after a reconnect, not by another add-in.
    handed = before | {first["value"], second["value"]}
    addin.reconnect()
    again = {ok(addin, "GET", 1, "workbook")["value"]}
    again.add(ok(addin.another(), "GET", 1, "workbook")["value"])
    assert not handed & again and all(7 <= i < 2**53 for i in handed | again)


def test_refusals_have_clear_messages(addin):
    book = ok(addin, "GET", 1, "workbook")["value"]
    sheets = ok(addin, "GET", book, "worksheets")["value"]
    get_item = ok(addin, "GET", sheets, "getItem")["value"]
    assert refused(addin, "GET", book, "nothing") == "Property 'nothing' does not exist on Workbook"
    assert refused(addin, "SET", book, "worksheets", value=wire(1)) == "Property 'worksheets' of Workbook is read-only"
    assert refused(addin, "CALL", book, "__call__", args=[]) == f"Object {book} (Workbook) is not a function"
    assert refused(addin, "CALL", get_item, "__call__", args=[]) == (
        "Bad arguments for WorksheetCollection.getItem: missing a required argument: 'key'")
    assert refused(addin, "CALL", get_item, "__call__", args=placed(wire("Nope"))) == (
        "The worksheet 'Nope' does not exist")
    assert refused(addin, "CALL", get_item, "__call__", args=[{"arg_type": "OTHER"}]).startswith("Bad argument entry")
    assert refused(addin, "GETITEM", sheets, "A1") == "Bad index 'A1'"
    assert refused(addin, "GETITEM", sheets, "7") == "Index 7 is out of range for a collection of 1 items"
    assert refused(addin, "GETITEM", book, "0") == "Workbook cannot be indexed"
    assert refused(addin, "PATCH", book, "x") == "Unknown request method 'PATCH'"
    assert refused(addin, "SET", book, "name", value=5) == "Expected a wire value, got 5"
    assert refused(addin, "SET", book, "name", value={"type": "COM_Object", "value": 1, "isSpec": False}) == (
        "Unsupported wire value type 'COM_Object'")
    assert refused(addin, "CALL", 3, "__call__", args=placed(wire(1))) == "Union takes at least 2 ranges"
    assert refused(addin, "SET", book, None, value=wire(1)) == "A property name must be a string, got NoneType"
    assert refused(addin, "CALL", 2, "__call__", args=placed({"type": "Python_Function", "value": 3,
                                                               "isSpec": True})) == (
        "A Python function is named by a string id, not 3")


def test_transaction_object_holds_writes_until_commit(addin):
    book = ok(addin, "GET", 1, "workbook")["value"]
    sheets = ok(addin, "GET", book, "worksheets")["value"]
    active = ok(addin, "CALL", ok(addin, "GET", sheets, "getActiveWorksheet")["value"], "__call__", args=[])
    get_range = ok(addin, "GET", active["value"], "getRange")["value"]
    cell = ok(addin, "CALL", get_range, "__call__", args=placed(wire("A1")))["value"]
    start = ok(addin, "GET", 5, "start")["value"]
    commit = ok(addin, "GET", 5, "commit")["value"]
    context = {"type": "RequestContext", "value": 0, "isSpec": True}
    assert refused(addin, "CALL", commit, "__call__", args=[]) == "commit: no transaction is open"
    assert refused(addin, "CALL", start, "__call__", args=placed(wire(1))) == (
        "start: the first argument must be the request context")
    ok(addin, "CALL", start, "__call__", args=placed(context, wire(True)))
    ok(addin, "SET", cell, "values", value=wire(3))
    assert refused(addin, "SET", cell, "address", value=wire("B1")) == "Property 'address' of Range is read-only"
    assert addin.table() == []
    assert refused(addin, "GET", cell, "values") == "Reading 'values' is blocked while the transaction is open"
    assert ok(addin, "GET", cell, "format")["type"] == "RangeFormat"  # navigation is not a read of values
    ok(addin, "CALL", commit, "__call__", args=[])
    assert addin.table() == [[3]] and addin.commits() == [1]
    assert ok(addin, "GET", cell, "values")["value"][0]["value"] == [wire(3)]


def test_spreadsheet_model(proxylink, any_excel):
    from orvane_master.python_server.orvane.proxylink import Union, Intersect

    book = proxylink.Excel.workbook
    sheet = book.worksheets.getActiveWorksheet()
    other = book.worksheets.add("Other")
    assert book.worksheets.add().name == "Sheet3" and book.worksheets.count == 3
    rng = sheet.getRange("A1:B3")
    assert (rng.address, rng.rowCount, rng.columnCount) == ("Sheet1!A1:B3", 3, 2)
    rng.values = [[1, 2], [3, 4], ["=SUM(A1:B2)", "=A1*B2+1"]]
    assert rng.values == [[1, 2], [3, 4], [10, 5]]
    assert rng.formulas[2] == ["=SUM(A1:B2)", "=A1*B2+1"]
    sheet.getRange("C1:C5").formulas = [["=AVERAGE(A1:A2)"], ["=1/0"], ["=NOPE(A1)"], ["=MAX(A1:B3)+COUNT(A1:B3)"],
                                        ["=-2**2+(A1-B1)*3/4"]]
    assert sheet.getRange("C1:C5").values == [[2.0], ["#DIV/0!"], ["#NAME?"], [16], [-4.75]]
    rng.numberFormat = "0.00"
    assert rng.numberFormat == [["0.00"] * 2] * 3 and sheet.getRange("C1").numberFormat == [["General"]]
    assert rng.getCell(2, 1).address == "Sheet1!B3"
    with pytest.raises(RuntimeError, match=r"^getCell: row 3 is outside the range \(3 rows\)$"):
        rng.getCell(3, 0)
    with pytest.raises(RuntimeError, match=r"do not match the size of the range \(3 rows, 2 columns\)"):
        rng.values = [[1, 2]]
    rng.format.font.bold = True
    assert rng.format.font.bold is True and sheet.getRange("A1:C1").format.font.bold is None
    rng.clear("Formats")
    assert rng.values[0] == [1, 2] and rng.format.font.bold is None and rng.numberFormat[0] == ["General"] * 2
    rng.clear()
    assert rng.values[0] == ["", ""] and any_excel.table("Sheet1")[0] == ["", "", "#DIV/0!"]
    assert sheet.getRange("Other!B2").worksheet.name == "Other" and rng[-1].address == "Sheet1!A3:B3"
    a, b = sheet.getRange("A1:B2"), sheet.getRange("B2:C3")
    assert Union(a, b)._internal_typeName == "RangeAreas" and Union(a, b).areaCount == 2
    assert Union(a, sheet.getRange("A1")).address == a.address
    assert Intersect(a, b).address == "Sheet1!B2" and Intersect(a, sheet.getRange("D4")) is None
    with pytest.raises(RuntimeError, match="^Intersect: the ranges must be on the same worksheet$"):
        Intersect(a, other.getRange("A1"))
    for bad in ("", "A0", "1A", 7):
        with pytest.raises(RuntimeError, match="address|Invalid cell"):
            sheet.getRange(bad)
    assert proxylink.GetSetting("theme") == "light" and proxylink.GetSetting("nope", 3) == 3
    assert dict(proxylink.GetSystemInfo()) == {"host": "Excel", "platform": "Simulated", "version": "16.0",
                                               "addinVersion": "1.0.0"}
    seen = []
    sheet.getRange("B2:C3").onChanged.add(lambda event: seen.append(dict(event)))
    sheet.getRange("A1:B2").values = 7
    any_excel.kernel.wait_callbacks()
    assert seen == [{"type": "WorksheetChanged", "worksheet": "Sheet1", "address": "B2", "changeType": "RangeEdited"}]
    assert any_excel.table("Sheet1")[:2] == [[7, 7, 7.0], [7, 7, "#DIV/0!"]]
    del book, sheet, other, rng, a, b
    gc.collect()
    assert any_excel.addin.live_ids() == []


def test_addresses_and_indexes():
    assert Rect.parse("$C$3:A1") == Rect(0, 0, 2, 2) and Rect(0, 0, 0, 27).address() == "A1:AB1"
    assert parse_index("::-1") == slice(None, None, -1) and parse_index("-2") == -2


def test_only_json_gets_through(proxylink, excel):
    with pytest.raises(TypeError, match="not JSON serializable"):
        proxylink.messaging.send_request_sync({"method": "GET", "name": object(), "caller": 1})
    assert excel.transcript.requests() == [] and proxylink.messaging.waiters == {}
    reply = proxylink.messaging.send_request_sync({"method": "GET", "name": "workbook", "caller": 1,
                                                   "extra": (1, 2)})
    assert excel.transcript.requests()[0]["extra"] == [1, 2]
    assert reply["ok"] is True and reply["result"]["type"] == "Workbook"


def test_the_transcript_keeps_the_most_recent_messages(proxylink):
    with SimulatedExcel(transcript_limit=None) as env:
        sheet = proxylink.Excel.workbook.worksheets.getActiveWorksheet()
        for value in range(30):
            sheet.getRange("A1").values = value
        del sheet
    everything, full = list(env.transcript.entries), env.transcript.lines()
    assert len(everything) > 200 and SimulatedExcel().transcript.limit == 1000
    assert "-> SET     Range#" in env.transcript.format()

    def unlabelled(lines):
        return [re.sub(r"\w+#(\d+)", r"#\1", line) for line in lines]

    for limit in (0, 1, 7, 200):
        kept = Transcript(limit)
        for entry in everything:
            kept.add(*entry)
        assert list(kept.entries) == everything[len(everything) - limit:]
        # The same lines; a reference is labelled with its type while the answer
        # that handed it out is kept.
        assert unlabelled(kept.lines()) == unlabelled(full[len(full) - limit:])
        assert kept.format() == "\n".join(kept.lines())
    assert "-> SET     Range#" in kept.format()
    with pytest.raises(ValueError):
        Transcript(-1)


def test_release_on_the_listener_thread_is_answered_in_place(proxylink, excel):
    box = [proxylink.Excel.workbook]
    started = time.monotonic()
    excel.kernel._run_on_listener(box.clear)  # as if a collection ran there
    assert time.monotonic() - started < 5
    assert excel.transcript.entries[-2][1]["method"] == "DEL" and excel.transcript.entries[-1][1]["ok"]


def test_callbacks_run_on_their_own_thread_and_may_use_proxies(proxylink, excel):
    ws = proxylink.Excel.workbook.worksheets.getActiveWorksheet()
    seen = []

    def on_change(event):
        seen.append((threading.current_thread().name, type(event).__name__, dict(event)))
        seen.append(ws.getRange(event["address"]).values)

    registration = ws.getRange("A1:B2").onChanged.add(on_change)
    ws.getRange("B2:C3").values = 5
    excel.kernel.wait_callbacks()
    assert seen == [("kernel-callbacks", "JsDict", {"type": "WorksheetChanged", "worksheet": "Sheet1",
                                                    "address": "B2", "changeType": "RangeEdited"}), [[5]]]
    assert [line for line in excel.transcript.lines() if line.startswith("<= invoke")]
    ws.getRange("D4").values = 1  # outside the watched range
    registration.remove()
    ws.getRange("A1").values = 1
    excel.kernel.wait_callbacks()
    assert len(seen) == 2

    def failing(event):
        raise ValueError("handler failed")

    ws.onChanged.add(failing)
    ws.getRange("Z9").values = 1
    with pytest.raises(ValueError, match="handler failed"):
        excel.kernel.wait_callbacks()
    excel.kernel.wait_callbacks()  # reported once

    proxylink.messaging.reset()  # the kernel forgot its callables, the add-in still calls
    proxylink.Excel.workbook.worksheets.getActiveWorksheet().getRange("Z9").values = 2
    excel.kernel.wait_callbacks()  # not delivered, and no fault of the user's code (see test_soak)
    assert [line for line in excel.transcript.lines() if line.startswith("=> unknown_callable pyfunc_")]
    excel.kernel.reconnect()  # a reconnect drops the add-in's registrations too
    proxylink.Excel.workbook.worksheets.getActiveWorksheet().getRange("Z9").values = 3
    excel.kernel.wait_callbacks()


def test_stop_removes_the_handler_and_resets(proxylink):
    env = SimulatedExcel().start()
    guid = proxylink.messaging._guid
    sheet = proxylink.Excel.workbook.worksheets.getActiveWorksheet()
    env.stop()
    assert proxylink.messaging._guid != guid and proxylink.messaging._send_handler is None
    with pytest.raises(RuntimeError, match="^No send handler registered$"):
        proxylink.Excel.workbook
    del sheet  # released silently: nobody is connected
    env.stop()  # twice is harmless
