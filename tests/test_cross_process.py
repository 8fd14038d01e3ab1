"""User code in this process against the simulated add-in in another process,
over a WebSocket on 127.0.0.1: call-backs, reconnects, and an add-in that dies
while a request waits. Every wait is bounded."""
import concurrent.futures
import gc
import threading
import time

import pytest

pytest.importorskip("websockets")

from orvane_master.testing.remote import RemoteExcel  # noqa: E402

STALE = "Excel Object used after messaging context was stopped"


@pytest.fixture
def remote(proxylink):
    """Starts an add-in process and a kernel connected to it; stops both after the test."""
    made = []

    def start(**options):
        env = RemoteExcel(**options).start()
        made.append(env)
        return env

    gc.collect()  # proxies left over by earlier tests are released before it connects
    yield start
    for env in made:
        env.stop()


def run_bounded(fn, timeout=30.0):
    """Runs fn on a thread of its own; returns its result or the exception it raised."""
    outcome = []

    def run():
        try:
            outcome.append(fn())
        except BaseException as e:
            outcome.append(e)

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread, outcome


def test_call_backs_run_on_their_own_thread_and_may_call_the_add_in(proxylink, remote):
    env = remote()
    sheet = proxylink.Excel.workbook.worksheets.getActiveWorksheet()
    sheet.getRange("A1:B3").values = [["item", "qty"], ["apples", 12], ["pears", 7]]
    sheet.getRange("B4").formulas = "=SUM(B2:B3)"
    seen = []

    def on_changed(event):
        # A request from inside the call-back: answered because the listener is free.
        seen.append((event["address"], sheet.getRange("B4").values[0][0], threading.current_thread().name))

    sheet.getRange("B2:B3").onChanged.add(on_changed)
    sheet.getRange("B3").values = 30
    sheet.getRange("A1").values = "name"  # outside the watched range: no call-back
    env.kernel.wait_callbacks(timeout=30)
    assert seen == [("B3", 42, "kernel-callbacks")]
    assert [row[1] for row in sheet.getRange("A1:B4").values] == ["qty", 12, 30, 42]
    events = [m for d, m in env.transcript.entries if d == "event"]
    assert len(events) == 1 and events[0]["callableId"].startswith("pyfunc_")


def test_a_restarted_add_in_resets_the_channel_and_refuses_stale_proxies(proxylink, remote):
    env = remote()
    book = proxylink.Excel.workbook
    sheet = book.worksheets.getActiveWorksheet()
    sheet.getRange("A1").values = "before"
    before = proxylink.messaging._guid

    env.addin.restart()  # same port, a new process with a new workbook
    env.kernel.wait_disconnects(1)
    env.kernel.wait_connections(2)

    assert proxylink.messaging._guid != before
    for stale in (lambda: sheet.name, lambda: book.worksheets, lambda: sheet.getRange("A1")):
        with pytest.raises(RuntimeError, match=STALE):
            stale()
    fresh = proxylink.Excel.workbook.worksheets.getActiveWorksheet()
    assert fresh.getRange("A1").values[0][0] == ""  # the restarted add-in's own workbook
    # The stale proxies' releases still go out, to a process that numbers its ids
    # from another base: they must not hit the objects it handed out since.
    old_ids = {sheet._internal_id, book._internal_id}
    del sheet, book, stale
    gc.collect()
    assert old_ids <= {r["caller"] for r in env.transcript.requests("DEL")}
    assert fresh.name == "Sheet1" and fresh._internal_id < 2**53
    assert proxylink.Context.workbook.worksheets.getActiveWorksheet().name == "Sheet1"
    assert proxylink.GetSetting("theme") == "light" and proxylink.GetSystemInfo()["platform"] == "Simulated"
    assert proxylink.messaging.waiters == {}


def test_an_add_in_killed_during_requests_cancels_every_waiting_call(proxylink, remote):
    env = remote(hold="pending")
    book = proxylink.Excel.workbook
    waiting = [run_bounded(lambda: book.pending) for _ in range(2)]
    for _ in waiting:
        assert env.addin.next_line(timeout=30).startswith("held ")
    env.addin.kill()
    for thread, outcome in waiting:
        thread.join(30)
        assert not thread.is_alive()
        assert len(outcome) == 1 and isinstance(outcome[0], concurrent.futures.CancelledError)
    assert proxylink.messaging.waiters == {}
    env.kernel.wait_disconnects(1)
    with pytest.raises(ConnectionError):
        proxylink.Excel.workbook  # nobody to send to while the add-in is down
    del book
    env.stop()  # ends the reconnect attempts and every thread, or raises TimeoutError


def test_a_proxy_released_on_the_listener_is_not_waited_for(proxylink, remote):
    """The collector may finalise a proxy on the listener thread; its release must
    not wait for an answer that only the listener could deliver."""
    held = []
    released_on = []

    class Channel:
        """The channel as the kernel sees it; drops the last reference to a proxy
        on the listener thread after delivering a response."""

        def __getattr__(self, name):
            return getattr(proxylink.messaging, name)

        def on_message(self, message):
            proxylink.messaging.on_message(message)
            if held:
                released_on.append(threading.current_thread().name)
                held.pop()

    remote(messaging=Channel())
    held.append(proxylink.Excel.workbook)
    start = time.monotonic()
    assert proxylink.GetSetting("theme") == "light"  # its response drops the workbook proxy
    assert proxylink.GetSetting("locale") == "en-US"
    assert time.monotonic() - start < 10
    assert released_on == ["kernel-listener"]
    assert proxylink.messaging.waiters == {}
