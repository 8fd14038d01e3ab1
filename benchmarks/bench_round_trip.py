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

The last two rows set `Messaging.send_request_sync` alone against the plain-Python
rendering of the same channel in reference_codec.py, each on a channel of its own
with no proxies and no JSON: once answered by a responder thread (the wait and the
wake-up across threads, as the kernel's listener gives them), once answered from
inside the send handler (the channel's own bookkeeping: id, copy, future, lock).
"""
import argparse
import gc
import os
import queue
import sys
import threading
import time

from orvane_master.python_server.orvane import proxylink
from orvane_master.testing.excel import SimulatedExcel
from orvane_master.testing.remote import RemoteExcel

try:
    from orvane_master.testing.browser import BrowserExcel, Relay
    from orvane_master.testing.browser.headless import HeadlessPage, chromium_paths
except ImportError:  # no websockets
    chromium_paths = None  # type: ignore[assignment]

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import reference_codec  # noqa: E402

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


REQUEST = {"method": "GET", "name": "theme", "caller": 2}
RESULT = {"type": "String", "value": "dark", "isSpec": False}


def answer(message: dict) -> dict:
    return {"requestId": message["requestId"], "ok": True, "result": RESULT}


def channel_requests(channel, count: int, threaded: bool) -> float:
    """Time per send_request_sync on `channel`, answered by a responder thread or
    from inside the send handler."""
    if not threaded:
        channel.set_send_handler(lambda message: channel.on_message(answer(message)))
        return timed(lambda: channel.send_request_sync(REQUEST), count)
    inbox: "queue.SimpleQueue[object]" = queue.SimpleQueue()

    def respond() -> None:
        for message in iter(inbox.get, None):
            channel.on_message(answer(message))

    responder = threading.Thread(target=respond, name="responder")
    responder.start()
    channel.set_send_handler(inbox.put)
    try:
        return timed(lambda: channel.send_request_sync(REQUEST), count)
    finally:
        inbox.put(None)
        responder.join()


def same_requests(ours, reference) -> None:
    """Both channels send the same message and return the response they are given."""
    sent = []
    for channel in (ours, reference):
        channel.set_send_handler(lambda message, channel=channel: (sent.append(message),
                                                                   channel.on_message(answer(message))))
        response = channel.send_request_sync(REQUEST)
        assert response == answer(sent[-1]) and not channel.waiters
    assert [list(m) for m in sent] == [list(REQUEST) + ["requestId", "kind"]] * 2
    assert all(len(m["requestId"]) == 32 and {**m, "requestId": None} == {**REQUEST, "requestId": None,
                                                                          "kind": "request"} for m in sent)


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
    channel_count = 200 if args.quick else 5000
    channels = (proxylink.Messaging(), reference_codec.Messaging())
    same_requests(*channels)
    channel_best = {(threaded, i): float("inf") for threaded in (True, False) for i in range(2)}
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
            for threaded in (True, False):
                for i, channel in enumerate(channels):
                    spent = channel_requests(channel, channel_count, threaded)
                    channel_best[threaded, i] = min(channel_best[threaded, i], spent)
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
    for threaded, name in ((True, "send_request_sync, answered by a thread"),
                           (False, "send_request_sync, answered in the send")):
        ours, reference = channel_best[threaded, 0], channel_best[threaded, 1]
        print(f"{name:44} {1:8} {ours * 1e6:10.1f} us   plain-Python reference {reference * 1e6:.1f} us,"
              f" ours {ours / reference:.2f}x")
    if page is None:
        print(f"(no page: chromium, chromedriver or selenium is missing; {inside} and across only)")


if __name__ == "__main__":
    main()
