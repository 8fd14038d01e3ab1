"""The add-in as a web page, and the relay that connects it to kernels.

The page (static/: plain JavaScript modules, no build step) is the add-in's side
of the protocol written in the add-in's own language: `protocol.js` the object
table, requests, wire values, transactions and errors over any object graph;
`workbook.js` the same small spreadsheet as the Python stand-in; `main.js` the
connection and a live view (sheet tabs, a grid with the cells of the last request
highlighted, the requests and responses). `relay.Relay` serves it and relays
between it and kernels, in the place of the business layer; `headless` drives
Debian's chromium through selenium for the tests and the demo.

    python -m orvane_master.testing.browser        # prints the page's URL, serves
    # then, in the kernel's process:
    with RemoteExcel(port=PORT) as env: ...        # as against addin_server

In-process, `BrowserExcel(relay)` is that kernel plus a view of what the page
holds (`addin.live_ids()`, `addin.table(sheet)`), the surface that
`SimulatedExcel` offers for the Python stand-in.

The relay listens on the loopback address only, lets in one kernel at a time and
no web page but the one it serves, and bounds what it reads (`relay` says how).
"""
import ast
import math
from typing import Any, List

from ..remote import RemoteExcel, RemoteKernel
from .relay import Relay, running_relay

def _value(text: str) -> Any:
    special = {"nan": math.nan, "inf": math.inf, "-inf": -math.inf}
    return special[text] if text in special else ast.literal_eval(text)


class PageAddin:
    """What the page connected to `relay` holds, asked through the relay."""

    def __init__(self, relay: Relay) -> None:
        self.relay = relay

    def live_ids(self) -> List[int]:
        """The ids held besides the fixed ones."""
        return list(self.relay.page_state([])["liveIds"])

    def commits(self) -> List[int]:
        """The number of writes of each committed transaction."""
        return list(self.relay.page_state([])["commits"])

    def table(self, sheet: str = "Sheet1") -> List[List[Any]]:
        """The computed values of the sheet's used cells, as rows."""
        rows = self.relay.page_state([sheet])["tables"][sheet]
        return [[_value(text) for text in row] for row in rows]


class BrowserExcel(RemoteExcel):
    """A kernel connected through `relay` to the add-in page, for the duration of a
    with block (or between start() and stop()); `addin` shows what the page holds."""

    def __init__(self, relay: Relay, messaging: Any = None) -> None:
        super().__init__(port=relay.port, messaging=messaging)
        self.relay = relay
        self.addin: PageAddin = PageAddin(relay)  # type: ignore[assignment]

    def start(self) -> "BrowserExcel":
        self._kernel = RemoteKernel(f"ws://127.0.0.1:{self.relay.port}", self._messaging).start()
        return self

    def stop(self) -> None:
        if self._kernel is not None:
            self._kernel.stop()


__all__ = ["BrowserExcel", "PageAddin", "Relay", "running_relay"]
