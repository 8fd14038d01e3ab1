"""Round trips through the bridge: the add-in in this process against the add-in
in another process over a WebSocket on 127.0.0.1, and against the add-in page in
headless chromium through the relay, when chromium is installed.

Run from the repository root, against the in-place build or an installed package
(the cross-process side needs the `testing` extra, i.e. `websockets`):

    PYTHONPATH=python .venv-3.9/bin/python benchmarks/bench_round_trip.py [--quick]

In process, the simulated kernel hands the JSON text to the simulated add-in on its
listener thread (SimulatedExcel); across processes, the kernel's writer thread sends
it over the socket, the add-in process answers, and the kernel's listener thread
reads the answer (RemoteExcel). Both pass every message through JSON and wake the
waiting caller from another thread, so the difference is the socket, the framing
and the second process. The page's round trip is kernel -> relay -> page -> relay ->
kernel: two sockets, and the JavaScript add-in in the browser's renderer (which
also draws the grid at most every 300 ms). The sides take turns, round by round;
each figure is the best round's time per operation.
"""
import argparse
import gc
import sys
import time

from orvane_master.python_server.orvane import proxylink
from orvane_master.testing.excel import SimulatedExcel
from orvane_master.testing.remote import RemoteExcel

try:
    from orvane_master.testing.browser import BrowserExcel, Relay
    from orvane_master.testing.browser.headless import HeadlessPage, chromium_paths
except ImportError:  # no websockets
    chromium_paths = None  # type: ignore[assignment]

ROWS = 100


def setting() -> None:
    """One request: a call of a fixed function, answered with a string."""
    proxylink.GetSetting("theme")


def prepare_table() -> None:
    sheet = proxylink.Excel.workbook.worksheets.getActiveWorksheet()
    sheet.getRange(f"A1:J{ROWS}").values = [[r * 10 + c for c in range(10)] for r in range(ROWS)]


def read_table() -> None:
    """A GET of 100 x 10 numbers, then the release of the 101 arrays it returned."""
    sheet = proxylink.Excel.workbook.worksheets.getActiveWorksheet()
    rows = sheet.getRange(f"A1:J{ROWS}").values
    assert len(rows) == ROWS
    del rows, sheet


CASES = [("GetSetting('theme')", setting), (f"read {ROWS} x 10 cells, release the proxies", read_table)]


def timed(fn, count: int) -> float:
    gc.collect()
    start = time.perf_counter()
    for _ in range(count):
        fn()
    return (time.perf_counter() - start) / count


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer operations and rounds (a smoke test)")
    args = parser.parse_args()
    counts, rounds = ((50, 3), 2) if args.quick else ((2000, 40), 5)
    sides = [("in process", SimulatedExcel), ("across", RemoteExcel)]
    relay = page = None
    if chromium_paths is not None and chromium_paths() is not None:
        relay = Relay().start()
        page = HeadlessPage(relay.url)
        page.wait_connected(60)
        sides.append(("page", lambda: BrowserExcel(relay)))
    print(f"CPython {sys.version.split()[0]}; best of {rounds} rounds, time per operation")
    best = {(name, side): float("inf") for name, _ in CASES for side, _ in sides}
    requests = {}
    try:
        for _ in range(rounds):
            for side, make in sides:
                with make() as env:
                    prepare_table()
                    for (name, fn), count in zip(CASES, counts):
                        env.transcript.clear()
                        fn()  # warm up, and count the requests of one operation
                        requests[name] = len(env.transcript.requests())
                        best[name, side] = min(best[name, side], timed(fn, count))
    finally:
        if page is not None:
            page.quit()
            relay.shutdown()
    inside = sides[0][0]
    print(f"{'':44} {'requests':>8}" + "".join(f" {side:>13}" for side, _ in sides))
    for name, _ in CASES:
        times = [best[name, side] for side, _ in sides]
        ratios = "".join(f" {t / times[0]:5.1f}x" for t in times[1:])
        print(f"{name:44} {requests[name]:8}" + "".join(f" {t * 1e6:10.0f} us" for t in times) + ratios)
        if requests[name] > 1:
            n = requests[name]
            print(f"{'  per request':53}" + "".join(f" {t / n * 1e6:10.0f} us" for t in times))
    if page is None:
        print(f"(no page: chromium, chromedriver or selenium is missing; {inside} and across only)")


if __name__ == "__main__":
    main()
