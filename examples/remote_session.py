"""A user script in this process against the simulated add-in in another one.

It starts the add-in as `python -m orvane_master.testing.addin_server` (a
WebSocket server on 127.0.0.1), connects a kernel to it, writes a pandas
DataFrame, reads it back, and registers a change handler that the add-in calls
back across the process boundary. At the end it prints every message that
crossed the socket: the call-back's requests, on the kernel's call-back thread,
come between the main thread's, and each response ends in its request's number.

Run by examples/browser_demo.py, it talks to the add-in page instead, through
the relay that the demo serves: the page in the add-in's place, the relay in
the business layer's.
"""
import os

import pandas as pd

from orvane_master.python_server.orvane.proxylink import Excel
from orvane_master.testing.browser import running_relay
from orvane_master.testing.remote import RemoteExcel

relay = running_relay()
with RemoteExcel(port=relay.port if relay else None) as env:
    if relay:
        print(f"kernel: process {os.getpid()}; add-in: the page at {relay.url}, through ws://127.0.0.1:{relay.port}")
    else:
        assert env.addin is not None and env.addin.process is not None
        print(f"kernel: process {os.getpid()}; add-in: process {env.addin.process.pid}, {env.addin.url}")

    sheet = Excel.workbook.worksheets.add("Remote") if relay else Excel.workbook.worksheets.getActiveWorksheet()
    frame = pd.DataFrame({"item": ["apples", "pears"], "qty": [12, 7]})
    sheet.getRange("A1:B3").values = frame
    labels, *records = [list(row) for row in sheet.getRange("A1:B3").values]
    back = pd.DataFrame(records, columns=labels)
    print("read back the same frame:", back.equals(frame))

    def on_changed(event) -> None:
        print(f"call-back: {event['address']} changed; it now holds {sheet.getRange(event['address']).values[0][0]}")

    sheet.getRange("B2:B3").onChanged.add(on_changed)
    sheet.getRange("B3").values = 9
    env.kernel.wait_callbacks()
    del sheet

    print("\nwhat crossed the socket:")
    for line in env.transcript.lines():
        print("   ", line)
