"""What only a JavaScript peer shows: the add-in page in headless chromium, reached
through the relay as the product's kernel reaches the add-in. Each interop case
checks what the page holds after the kernel's message (`orv.cell`: the JavaScript
type and value) and what comes back to Python; docs/scripts.md, "An add-in in
JavaScript", says what follows for scripts. Then the topology (a kernel that
connects before the page, a reload as a restart) and the view."""
import datetime
import gc
import math
import pathlib
import threading
import time

import pytest

pytest.importorskip("websockets")

from orvane_master.testing.browser import BrowserExcel  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[1]
STALE = "Excel Object used after messaging context was stopped"


@pytest.fixture
def page_excel(proxylink, browser):
    gc.collect()
    browser.fresh_page()
    with BrowserExcel(browser.relay) as env:
        yield env
    browser.relay.wait_kernels(0)


def held(browser, *addresses):
    """What the page holds at each cell: [JavaScript type, Python repr, UTF-16 units]."""
    return [browser.page.script("return orv.cell(arguments[0])", a) for a in addresses]


def test_numbers_cross_exactly(proxylink, page_excel, browser):
    sheet = proxylink.Excel.workbook.worksheets.getActiveWorksheet()
    # Integers beyond 2^53, which JSON.parse would round to the nearest double.
    ints = [2**53 - 1, 2**53 + 1, -(2**63) - 1, 2**64 + 1, 10**30]
    sheet.getRange("A1:E1").values = [ints]
    back = list(sheet.getRange("A1:E1").values[0])
    assert back == ints and all(type(v) is int for v in back)
    assert [h[:2] for h in held(browser, "A1", "B1", "C1", "D1", "E1")] == (
        [["number", str(ints[0])]] + [["bigint", str(v)] for v in ints[1:]])
    assert browser.page.script("return JSON.parse('[9007199254740993]')[0] === 2 ** 53") is True

    # -0.0, NaN and the infinities (JSON has none of them), and doubles.
    floats = [-0.0, math.nan, math.inf, -math.inf, 0.1, 1e300, 2.0**60, 2.0]
    sheet.getRange("A2:H2").values = [floats]
    back = list(sheet.getRange("A2:H2").values[0])
    assert back[0] == 0 and math.copysign(1, back[0]) == -1 and math.isnan(back[1])
    assert back[2:7] == floats[2:7] and all(type(v) is float for v in back[:7])
    # Every JavaScript number is a double: a float with an integral value below 2^53
    # comes back as an int.
    assert back[7] == 2 and type(back[7]) is int
    assert [h[:2] for h in held(browser, "A2", "B2", "C2", "D2")] == [
        ["number", "-0.0"], ["number", "nan"], ["number", "inf"], ["number", "-inf"]]
    # The kernel's JSON carries them as Python writes them; JSON.parse refuses that.
    assert browser.page.script("try { JSON.parse('[NaN]'); } catch (e) { return e.name; }") == "SyntaxError"

    # A formula computes in doubles, BigInts included.
    sheet.getRange("F1").formulas = "=B1+1"
    assert sheet.getRange("F1").values[0][0] == 2**53


def test_texts_dates_and_bytes(proxylink, page_excel, browser):
    sheet = proxylink.Excel.workbook.worksheets.getActiveWorksheet()
    texts = ["\ud800", "a\udfffb", "\U0001F600", "tab\tquote\"\\", "\u2028\x00"]
    sheet.getRange("A1:E1").values = [texts]
    assert list(sheet.getRange("A1:E1").values[0]) == texts
    assert [h[2] for h in held(browser, "A1", "B1", "C1")] == [[0xD800], [0x61, 0xDFFF, 0x62], [0xD83D, 0xDE00]]

    tokyo = datetime.timezone(datetime.timedelta(hours=9))
    moments = [datetime.datetime(2024, 3, 1, 12, 30), datetime.datetime(2024, 3, 1, 12, 30, tzinfo=tokyo),
               datetime.date(2024, 3, 1), datetime.datetime(2024, 3, 1, 12, 30, 0, 250000)]
    sheet.getRange("A2:D2").values = [moments]
    # "Date" values are kept as their text and come back as text, as in the Python stand-in.
    texts = ["2024-03-01T12:30:00", "2024-03-01T03:30:00+00:00", "2024-03-01", "2024-03-01T12:30:00.250000"]
    assert list(sheet.getRange("A2:D2").values[0]) == texts
    # JavaScript's Date reads a time without an offset as the browser's local time,
    # and a date alone as UTC.
    browser.page.driver.execute_cdp_cmd("Emulation.setTimezoneOverride", {"timezoneId": "America/New_York"})
    try:
        as_read = browser.page.script("return arguments[0].map(t => new Date(t).toISOString())", texts)
    finally:
        browser.page.driver.execute_cdp_cmd("Emulation.setTimezoneOverride", {"timezoneId": ""})
    assert as_read == ["2024-03-01T17:30:00.000Z", "2024-03-01T03:30:00.000Z", "2024-03-01T00:00:00.000Z",
                       "2024-03-01T17:30:00.250Z"]

    blobs = [bytes(range(256)), b"", bytearray(b"\x00abc"), memoryview(b"xyz")]
    sheet.getRange("A3:D3").values = [blobs]
    assert list(sheet.getRange("A3:D3").values[0]) == [bytes(range(256)), b"", b"\x00abc", b"xyz"]
    assert [h[0] for h in held(browser, "A3", "B3")] == ["Uint8Array", "Uint8Array"]


def test_a_hundred_thousand_cells(proxylink, page_excel):
    # 500 rows of 200: every row read back is an array of its own, released by a DEL
    rows = [[f"r{r}" if c == 0 else r * 10 + c if c % 2 else (r + c) / 8 for c in range(200)] for r in range(500)]
    sheet = proxylink.Excel.workbook.worksheets.getActiveWorksheet()
    started = time.perf_counter()
    sheet.getRange("A1:GR500").values = rows
    back = [list(row) for row in sheet.getRange("A1:GR500").values]
    assert back == rows and len(rows) * len(rows[0]) == 100_000
    assert time.perf_counter() - started < 60
    assert page_excel.addin.table("Sheet1")[499] == rows[499]


def test_a_kernel_waits_for_the_page_and_a_reload_restarts_the_add_in(proxylink, browser):
    gc.collect()
    browser.page.driver.get("about:blank")
    browser.relay._wait(lambda: not browser.relay.page_connected, 30, "the page to go")
    with BrowserExcel(browser.relay) as env:
        names = []
        waiting = threading.Thread(target=lambda: names.append(
            proxylink.Excel.workbook.worksheets.getActiveWorksheet().name), daemon=True)
        waiting.start()
        waiting.join(0.5)
        assert waiting.is_alive() and names == []  # its request waits at the relay
        browser.page.driver.get(browser.relay.url)
        waiting.join(30)
        assert names == ["Sheet1"]

        book = proxylink.Excel.workbook
        sheet = book.worksheets.getActiveWorksheet()
        sheet.getRange("A1").values = "before"
        base = browser.relay.page_state([])["base"]
        browser.fresh_page()  # a reload: the add-in restarts
        env.kernel.wait_disconnects(1)
        env.kernel.wait_connections(2)
        with pytest.raises(RuntimeError, match=STALE):
            sheet.name
        fresh = proxylink.Excel.workbook.worksheets.getActiveWorksheet()
        assert fresh.getRange("A1").values[0][0] == ""
        old_ids = {sheet._internal_id, book._internal_id}
        del sheet, book
        gc.collect()
        assert old_ids <= {r["caller"] for r in env.transcript.requests("DEL")}
        assert fresh.name == "Sheet1" and browser.relay.page_state([])["base"] != base
        assert all(7 <= i < 2**53 and i not in old_ids for i in env.addin.live_ids())
        del fresh
    browser.relay.wait_kernels(0)


def test_the_grid_shows_what_the_script_wrote(proxylink, page_excel, browser):
    sheet = proxylink.Excel.workbook.worksheets.getActiveWorksheet()
    rows = [["item", "qty", "price"], ["apples", 12, 0.5], ["pears", 7, 0.75]]
    sheet.getRange("A1:C3").values = rows
    sheet.getRange("C2:C3").numberFormat = "0.00"
    sheet.getRange("B4").formulas = "=SUM(B2:B3)"
    sheet.getRange("A1:C1").format.font.bold = True
    shown = browser.page.grid("Sheet1")
    assert shown == {"A1": "item", "B1": "qty", "C1": "price", "A2": "apples", "B2": "12", "C2": "0.50",
                     "A3": "pears", "B3": "7", "C3": "0.75", "B4": "19"}
    assert browser.page.highlighted() == {"A1": "write", "B1": "write", "C1": "write"}
    path = ROOT / "build" / "browser-view.png"
    browser.page.screenshot(str(path))
    assert path.stat().st_size > 10_000
