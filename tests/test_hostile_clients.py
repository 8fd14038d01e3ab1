"""Hostile and clumsy clients against the servers that run beside a kernel, `addin_server`
and the add-in page's relay: web pages of other origins, messages too large or unreadable,
a second kernel, and an old connection that ends after a new one got in. Both servers run
in this process; behind the relay, a raw page client executes requests with the Python
stand-in, so no browser is needed. Every wait is bounded and generous."""
import json
import threading
import time

import pytest

pytest.importorskip("websockets")

from websockets.exceptions import ConnectionClosed, InvalidStatus  # noqa: E402
from websockets.sync.client import connect  # noqa: E402

from orvane_master.testing.addin import SimulatedAddin  # noqa: E402
from orvane_master.testing.addin_server import AddinServer  # noqa: E402
from orvane_master.testing.browser.relay import REPLACED, Relay  # noqa: E402

LIMIT = 64 * 1024  # the largest message the servers under test read
WAIT = 30


def get(request_id, caller=1, name="workbook"):
    return json.dumps({"method": "GET", "name": name, "caller": caller, "requestId": request_id, "kind": "request"})


def ask(ws, request_id, caller=1, name="workbook"):
    """The response to one GET (call-back invocations before it are skipped)."""
    ws.send(get(request_id, caller, name))
    while True:
        message = json.loads(ws.recv(WAIT))
        if message["type"] == "excel_response":
            assert message["requestId"] == request_id
            return message


def play_page(relay, addin):
    """A page of the relay's own origin that executes requests with `addin`."""
    count = relay.page_connections + 1
    page = connect(f"ws://127.0.0.1:{relay.port}/addin", origin=relay.origins[0], max_size=None)

    def run():
        try:
            for text in page:
                message = json.loads(text)
                if message.get("type") == "relay":
                    addin.reconnect()  # a kernel came or went; the state question is not asked here
                    continue
                answers = addin.handle_text(text)
                for answer in answers[1:] + answers[:1]:
                    page.send(answer)
        except ConnectionClosed:
            pass

    threading.Thread(target=run, name="page", daemon=True).start()
    relay.wait_page(count, WAIT)
    return page


class Served:
    """One server under test, its URL, and `wait_kernels(n, timeout)`, which waits
    until exactly n kernel connections are being served."""

    def __init__(self, kind, addin=None):
        self.kind = kind
        if kind == "addin_server":
            self.server = AddinServer(addin, max_size=LIMIT)
            threading.Thread(target=self.server.serve_forever, daemon=True).start()
            self.wait_kernels = self.server.wait_handlers
        else:
            self.server = Relay(max_size=LIMIT).start()
            self.wait_kernels = self.server.wait_kernels
            play_page(self.server, addin or SimulatedAddin())
        self.url = f"ws://127.0.0.1:{self.server.port}"


@pytest.fixture(params=["addin_server", "relay"])
def served(request):
    s = Served(request.param)
    yield s
    s.server.shutdown()


def handshake(url, origin):
    try:
        connect(url, origin=origin, open_timeout=WAIT).close()
    except InvalidStatus as e:
        return e.response.status_code, bytes(e.response.body).decode()
    return 101, ""


@pytest.mark.parametrize("kind, path, origin, status", [
    ("addin_server", "/", "http://evil.example", 403),
    ("addin_server", "/", "OWN", 403),  # it serves no page: any origin is foreign
    ("addin_server", "/", None, 101),
    ("relay", "/addin", "http://evil.example", 403),  # would take the page's place
    ("relay", "/", "http://evil.example", 403),  # would pose as a kernel
    ("relay", "/addin", "null", 403),
    ("relay", "/", "OWN", 101),  # http://localhost:PORT, as the page may be opened
    ("relay", "/", None, 101),
])
def test_web_pages_of_other_origins_are_refused(kind, path, origin, status):
    s = Served(kind)
    try:
        origin = f"http://localhost:{s.server.port}" if origin == "OWN" else origin
        code, body = handshake(s.url + path, origin)
        assert code == status and (origin in body if status == 403 else body == "")
        s.wait_kernels(0, WAIT)
    finally:
        s.server.shutdown()


def test_unreadable_messages_are_dropped_and_one_too_large_closes(served, capsys, caplog):
    with connect(served.url, max_size=None) as kernel:
        for data in [b"\xff\xfe", "not json", "[1, 2]", "[" * 5000, '{"requestId": ' * 3000]:
            kernel.send(data)
        assert ask(kernel, "still there")["ok"]
        kernel.send("x" * (LIMIT + 1))
        with pytest.raises(ConnectionClosed) as closed:
            kernel.recv(WAIT)
    assert closed.value.rcvd.code == 1009
    err = capsys.readouterr().err.splitlines()
    assert len(err) == 5 and all("dropped a message" in line for line in err), err
    assert [r for r in caplog.records if r.exc_info] == []


def test_one_kernel_at_a_time_and_a_kernel_that_reconnects_gets_in(served):
    first = connect(served.url)
    book = ask(first, "a")["result"]["value"]
    code, body = handshake(served.url, None)
    assert code == 409 and "one kernel at a time" in body
    assert ask(first, "b", book, "worksheets")["ok"]  # the refused kernel took nothing away
    first.close()
    with connect(served.url, open_timeout=WAIT) as second:  # at once: the old handler may still run
        fresh = ask(second, "c")["result"]["value"]
        served.wait_kernels(1, WAIT)
        assert ask(second, "d", fresh, "worksheets")["ok"]
        assert "Unknown object id" in ask(second, "e", book, "worksheets")["error"]["message"]


def test_an_old_connection_that_ends_late_leaves_the_new_one_alone():
    entered, release = threading.Event(), threading.Event()

    class Slow(SimulatedAddin):
        def handle_text(self, text):
            if json.loads(text).get("name") == "slow":
                entered.set()
                release.wait(WAIT)
            return super().handle_text(text)

    s = Served("addin_server", Slow())
    try:
        old = connect(s.url)
        old.send(get("s", name="slow"))
        assert entered.wait(WAIT)
        old.close()  # its handler still executes "slow"
        with connect(s.url, open_timeout=WAIT) as new:
            s.wait_kernels(2, WAIT)
            new.send(get("n1"))
            release.set()
            book = json.loads(new.recv(WAIT))["result"]["value"]
            s.wait_kernels(1, WAIT)  # the old handler has ended
            assert ask(new, "n2", book, "worksheets")["ok"]
    finally:
        release.set()
        s.server.shutdown()


def test_the_relay_answers_only_the_kernel_that_asked_and_bounds_what_waits(capsys):
    relay = Relay(max_size=LIMIT, max_waiting=2).start()
    try:
        with connect(f"ws://127.0.0.1:{relay.port}") as kernel:
            for request_id in ("r1", "r2", "r3"):
                kernel.send(get(request_id))
            full = json.loads(kernel.recv(WAIT))  # no page: the third does not fit
            assert full["requestId"] == "r3" and "not connected" in full["error"]["message"]
            page = connect(f"ws://127.0.0.1:{relay.port}/addin", origin=relay.origins[0])
            assert [json.loads(page.recv(WAIT))["requestId"] for _ in range(2)] == ["r1", "r2"]
            kernel.send(get("r1"))  # still waiting for its answer: dropped
            invocation = json.dumps({"type": "invoke_callable", "callableId": "pyfunc_1", "args": []})
            for answer in ['{"type": "excel_response", "requestId": "nobody asked"}', invocation,
                           '{"type": "excel_response", "requestId": "r2", "ok": true}']:
                page.send(answer)
            assert [json.loads(kernel.recv(WAIT)).get("requestId") for _ in range(2)] == [None, "r2"]
            # The drop is the kernel connection's doing, the answers the page's: its log line
            # may come after them.
            logged, deadline = "", time.monotonic() + WAIT
            while "r1" not in logged and time.monotonic() < deadline:
                logged += capsys.readouterr().err
                time.sleep(0.01)
            assert "r1" in logged
            # The page opened again: the first one is closed for good, and the kernel as for a restart.
            again = connect(f"ws://127.0.0.1:{relay.port}/addin", origin=relay.origins[1])
            with pytest.raises(ConnectionClosed) as replaced:
                page.recv(WAIT)
            assert replaced.value.rcvd.code == REPLACED
            with pytest.raises(ConnectionClosed):
                kernel.recv(WAIT)
            again.close()
    finally:
        relay.shutdown()
