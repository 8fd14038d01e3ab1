"""Round trips through the bridge: the add-in in this process against the add-in
in another process over a WebSocket on 127.0.0.1.

Run from the repository root, against the in-place build or an installed package
(the cross-process side needs the `testing` extra, i.e. `websockets`):

    PYTHONPATH=python .venv-3.9/bin/python benchmarks/bench_round_trip.py [--quick]

In process, the simulated kernel hands the JSON text to the simulated add-in on its
listener thread (SimulatedExcel); across processes, the kernel's writer thread sends
it over the socket, the add-in process answers, and the kernel's listener thread
reads the answer (RemoteExcel). Both pass every message through JSON and wake the
waiting caller from another thread, so the difference is the socket, the framing
and the second process. The two take turns, round by round; each figure is the
best round's time per operation.
"""
import argparse
import gc
import sys
import time

from orvane_master.python_server.orvane import proxylink
from orvane_master.testing.excel import SimulatedExcel
from orvane_master.testing.remote import RemoteExcel

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
    print(f"CPython {sys.version.split()[0]}; best of {rounds} rounds, time per operation")
    best = {(name, side): float("inf") for name, _ in CASES for side in ("in", "cross")}
    requests = {}
    for _ in range(rounds):
        for side, make in (("in", SimulatedExcel), ("cross", RemoteExcel)):
            with make() as env:
                prepare_table()
                for (name, fn), count in zip(CASES, counts):
                    env.transcript.clear()
                    fn()  # warm up, and count the requests of one operation
                    requests[name] = len(env.transcript.requests())
                    best[name, side] = min(best[name, side], timed(fn, count))
    print(f"{'':44} {'requests':>8} {'in process':>13} {'across':>13} {'ratio':>6}")
    for name, _ in CASES:
        inside, across = best[name, "in"], best[name, "cross"]
        print(f"{name:44} {requests[name]:8} {inside * 1e6:10.0f} us {across * 1e6:10.0f} us {across / inside:5.1f}x")
        if requests[name] > 1:
            n = requests[name]
            print(f"{'  per request':53} {inside / n * 1e6:10.0f} us {across / n * 1e6:10.0f} us")


if __name__ == "__main__":
    main()
