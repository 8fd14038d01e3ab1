"""A user script run against the simulated add-in and kernel.

It writes a pandas DataFrame to a range, reads it back into a DataFrame,
formats the range inside a transaction, asks for the system information and
registers a change handler that the add-in then calls back. After each step it
prints the messages of that step, one a line: each request numbered, its
response ending in the same number, the call-back's lines naming its thread.
At the end, the resulting sheet.

Run by examples/browser_demo.py, it talks to the add-in page instead (through
the relay that the demo serves in this process).
"""
import pandas as pd

from orvane_master.python_server.orvane.proxylink import Excel, GetSystemInfo, OfficeJsTransaction
from orvane_master.testing.browser import BrowserExcel, running_relay
from orvane_master.testing.excel import SimulatedExcel


def step(title: str) -> None:
    print(f"\n--- {title}")


relay = running_relay()
with BrowserExcel(relay) if relay else SimulatedExcel() as excel_env:
    transcript = excel_env.transcript

    def traffic() -> None:
        for line in transcript.lines():
            print("   ", line)
        transcript.clear()

    step("open the active worksheet")
    sheet = Excel.workbook.worksheets.getActiveWorksheet()
    print("worksheet:", sheet.name)
    traffic()

    step("write a DataFrame to A1:C4 (labels first, then one row per record)")
    frame = pd.DataFrame({"item": ["apples", "pears", "plums"], "qty": [12, 7, 30], "price": [0.5, 0.75, 0.2]})
    table = sheet.getRange("A1:C4")
    table.values = frame
    traffic()

    step("read it back into a DataFrame")
    rows = table.values
    # Plain lists for pandas: it probes attributes such as `ndim`, and an array
    # proxy would ask the add-in for any attribute that a list lacks.
    labels, *records = [list(row) for row in rows]
    del rows  # the arrays are released on the add-in
    back = pd.DataFrame(records, columns=labels)
    print(back.to_string(index=False))
    print("same as written:", back.equals(frame))
    traffic()

    step("format the table inside a transaction (the add-in applies the writes at the commit)")
    with OfficeJsTransaction():
        header = table[0]  # the first row of the range
        header.format.font.bold = True
        header.format.fill.color = "#DDEBF7"
        sheet.getRange("C2:C4").numberFormat = "0.00"
        print("before the commit the header is bold:", header.format.font.bold)
    print("after the commit the header is bold:", header.format.font.bold)
    del header
    traffic()

    step("system information")
    info = GetSystemInfo()
    print(", ".join(f"{key}={value}" for key, value in info.items()))
    del info
    traffic()

    step("register a change handler, then change a watched cell")

    def on_quantities_changed(event) -> None:
        total = sheet.getRange("B5").values[0][0]
        print(f"    callback: {event['address']} changed on {event['worksheet']}; total quantity now {total}")

    sheet.getRange("A5:B5").formulas = [["total", "=SUM(B2:B4)"]]
    sheet.getRange("B2:B4").onChanged.add(on_quantities_changed)
    sheet.getRange("B3").values = 9
    excel_env.kernel.wait_callbacks()  # the add-in's call back runs on the kernel's callback thread
    traffic()

    step("the resulting sheet")
    if isinstance(excel_env, SimulatedExcel):
        print(excel_env.workbook.worksheets.getItem("Sheet1").render())
    else:
        for row in excel_env.addin.table("Sheet1"):
            print("   ", row)
    del sheet, table
    print("objects still held by the add-in:", excel_env.addin.live_ids())
