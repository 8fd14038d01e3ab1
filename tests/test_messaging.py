"""The request/response channel, driven as the kernel drives it."""
import concurrent.futures
import gc
import os
import random
import sys
import threading
import time
import tracemalloc
import types
import uuid

import pytest

import hot_paths


def ok(request, result=None, **extra):
    return {"requestId": request["requestId"], "ok": True, "result": result, **extra}


def test_request_envelope_and_response(proxylink, responder):
    r = responder(lambda req: ok(req, {"type": "Int", "value": 3, "isSpec": False}, extra=1))
    payload = {"method": "GET", "name": "x", "requestId": "mine", "kind": "mine", "caller": 1}
    response = proxylink.messaging.send_request_sync(payload)
    sent = r.requests[0]
    assert list(sent) == ["method", "name", "requestId", "kind", "caller"]
    assert sent["kind"] == "request" and sent["requestId"] != "mine"
    assert len(sent["requestId"]) == 32 and int(sent["requestId"], 16) >= 0
    assert payload["requestId"] == "mine" and payload["kind"] == "mine"
    assert response == {"requestId": sent["requestId"], "ok": True,
                        "result": {"type": "Int", "value": 3, "isSpec": False}, "extra": 1}
    assert proxylink.messaging.waiters == {}


def _fake_uuid4():
    return types.SimpleNamespace(hex="f" * 32)


# Each way of changing what uuid.uuid4().hex gives, and the id it then gives.
ID_SOURCES = {
    "module global": lambda mp, proxylink: mp.setattr(proxylink, "uuid", types.SimpleNamespace(uuid4=_fake_uuid4)),
    "uuid.uuid4": lambda mp, proxylink: mp.setattr(uuid, "uuid4", _fake_uuid4),
    "uuid.UUID": lambda mp, proxylink: mp.setattr(uuid, "UUID", lambda **kw: types.SimpleNamespace(hex="f" * 32)),
    "UUID.__init__": lambda mp, proxylink: mp.setattr(uuid.UUID, "__init__", _uuid_init_all_ones),
    "UUID.hex": lambda mp, proxylink: mp.setattr(uuid.UUID, "hex", property(lambda self: "f" * 32)),
    "uuid.os": lambda mp, proxylink: mp.setattr(uuid, "os", types.SimpleNamespace(urandom=lambda n: b"\xff" * n)),
    "os.urandom": lambda mp, proxylink: mp.setattr(os, "urandom", lambda n: b"\xff" * n),
}


def _uuid_init_all_ones(self, bytes=None, version=None):
    object.__setattr__(self, "int", (1 << 128) - 1)
    object.__setattr__(self, "is_safe", uuid.SafeUUID.unknown)


@pytest.mark.parametrize("source", [None, *ID_SOURCES])
def test_ids_are_what_uuid4_gives_as_it_stands(proxylink, responder, monkeypatch, source):
    r = responder(ok)
    if source:
        ID_SOURCES[source](monkeypatch, proxylink)
    proxylink.messaging.send_request_sync({})
    proxylink.messaging.reset()
    ids = [r.requests[0]["requestId"], proxylink.messaging._guid]
    if source is None:
        assert ids[0] != ids[1]
        for made in ids:
            assert type(made) is str and uuid.UUID(made).hex == made and uuid.UUID(made).version == 4
            assert uuid.UUID(made).variant == uuid.RFC_4122
    else:  # every byte random, or an id of the replacement's own
        assert ids in (["f" * 32] * 2, ["ffffffffffff4fffbfffffffffffffff"] * 2)


@pytest.mark.parametrize("okay", [1, "yes", [0]])
def test_any_true_ok_is_success(proxylink, responder, okay):
    responder(lambda req: {"requestId": req["requestId"], "ok": okay})
    assert proxylink.messaging.send_request_sync({})["ok"] == okay


@pytest.mark.parametrize("response, text", [
    ({}, "Remote error"),
    ({"ok": False, "error": {"message": "boom"}}, "boom"),
    ({"ok": 0, "error": {}}, "Remote error"),
    ({"error": None}, "Remote error"),
    ({"error": "plain text"}, "plain text"),
    ({"error": ""}, "Remote error"),
    ({"error": ["not", "a", "dict"]}, "Remote error"),
])
def test_failed_responses_raise_runtime_error(proxylink, responder, response, text):
    responder(lambda req: {"requestId": req["requestId"], **response})
    with pytest.raises(RuntimeError) as info:
        proxylink.messaging.send_request_sync({}, timeout=30)
    assert str(info.value) == text
    assert proxylink.messaging.waiters == {}


def test_argument_checks(proxylink):
    m = proxylink.messaging
    m.set_send_handler(lambda message: None)
    for bad in (None, [], type("D", (dict,), {})()):
        with pytest.raises(TypeError, match=r"Argument 'req' has incorrect type \(expected dict, got "):
            m.send_request_sync(bad)
        with pytest.raises(TypeError, match="Argument 'message' has incorrect type"):
            m.on_message(bad)
    with pytest.raises(TypeError):
        m.send_request_sync({}, None)
    with pytest.raises(TypeError):
        m.send_request_sync({}, 1, 2)
    with pytest.raises(TypeError, match="unexpected keyword argument 'wait'"):
        m.send_request_sync({}, wait=1)
    assert m.waiters == {}


def test_no_send_handler(proxylink):
    proxylink.messaging.set_send_handler(None)
    with pytest.raises(RuntimeError, match="^No send handler registered$"):
        proxylink.messaging.send_request_sync({})
    assert proxylink.messaging.waiters == {}


def test_send_handler_exception_reaches_caller(proxylink):
    boom = ValueError("transport down")

    def handler(message):
        raise boom

    proxylink.messaging.set_send_handler(handler)
    with pytest.raises(ValueError) as info:
        proxylink.messaging.send_request_sync({})
    assert info.value is boom
    assert proxylink.messaging.waiters == {}


def test_response_inside_send_handler_completes_even_with_zero_timeout(proxylink):
    m = proxylink.messaging
    m.set_send_handler(lambda message: m.on_message(ok(message, "done")))
    assert m.send_request_sync({}, timeout=0)["result"] == "done"


def test_timeout_then_late_and_repeated_responses_are_ignored(proxylink):
    m = proxylink.messaging
    sent = []
    m.set_send_handler(sent.append)
    started = time.monotonic()
    with pytest.raises(TimeoutError, match="^Timed out waiting for Office.js response$"):
        m.send_request_sync({}, timeout=0.05)
    assert time.monotonic() - started < 10
    assert m.waiters == {}
    m.on_message(ok(sent[0]))  # late: nobody waits for it
    assert m.waiters == {}
    with pytest.raises(TimeoutError):
        m.send_request_sync({}, timeout=0)


def test_duplicate_response_and_odd_request_ids(proxylink, responder):
    m = proxylink.messaging
    r = responder(lambda req: ok(req, 1))
    m.send_request_sync({})
    m.on_message(ok(r.requests[0], 2))  # second answer: dropped
    for odd in ({}, {"requestId": None}, {"requestId": ""}, {"requestId": ["a"]},
                {"requestId": {"a": 1}}, {"requestId": 5}, {"requestId": "unknown"}):
        m.on_message(odd)
    assert m.waiters == {}


def test_reset_cancels_waiters_and_renews_context(proxylink):
    m = proxylink.messaging
    sent = []
    m.set_send_handler(sent.append)
    old_guid = m._guid
    outcome = {}

    def wait():
        try:
            m.send_request_sync({}, timeout=10)
        except BaseException as e:  # noqa: B902 - the type is the point
            outcome["error"] = e

    worker = threading.Thread(target=wait)
    worker.start()
    while not m.waiters:
        time.sleep(0.001)
    stale = proxylink.OfficeJsObject(9, "Range")
    cid = m.register_callable(print)
    m.reset()
    worker.join(60)
    assert isinstance(outcome["error"], concurrent.futures.CancelledError)
    assert m.waiters == {} and m._guid != old_guid and len(m._guid) == 32
    assert m.get_callable(cid) is None and m._next_callable_id == 1
    for root in (proxylink.Context, proxylink.Excel, proxylink.GetSetting, proxylink.Union,
                 proxylink.Intersect, proxylink.GetSystemInfo):
        assert root._msg_guid == m._guid
    assert stale._msg_guid == old_guid
    assert m._send_handler == sent.append  # reset keeps the handler
    m.on_message(ok(sent[0]))  # answer from before the reset: ignored
    m.set_send_handler(None)  # the stale proxy's release then fails at once, silently
    del stale


def test_keyboard_interrupt_leaves_the_waiter(proxylink):
    m = proxylink.messaging

    def handler(message):
        raise KeyboardInterrupt

    m.set_send_handler(handler)
    with pytest.raises(KeyboardInterrupt):
        m.send_request_sync({})
    assert len(m.waiters) == 1
    m.reset()
    assert m.waiters == {}


def test_nan_and_huge_timeouts(proxylink):
    """A timeout too large for a wait fails at once, as Future.result does; nothing is sent."""
    m = proxylink.messaging
    sent = []
    m.set_send_handler(lambda message: (sent.append(message), m.on_message(ok(message))))
    with pytest.raises(ValueError):
        m.send_request_sync({}, float("nan"))
    for huge in (float("inf"), 1e300, threading.TIMEOUT_MAX * 2):
        for wait in (m.send_request_sync, lambda req, t: concurrent.futures.Future().result(t)):
            with pytest.raises(OverflowError):
                wait({}, huge)
    assert sent == [] and m.waiters == {}
    assert m.send_request_sync({}, 10**9)["ok"]


def test_wait_releases_the_gil(proxylink):
    """The answer comes from Python code on another thread that starts once the
    request is sent: a wait that held the GIL would time out instead."""
    m = proxylink.messaging
    sent = []
    m.set_send_handler(sent.append)

    def answer_once_sent():
        while not sent:
            time.sleep(0.001)
        m.on_message(ok(sent[0], "answered"))

    helper = threading.Thread(target=answer_once_sent)
    helper.start()
    try:
        assert m.send_request_sync({}, timeout=10)["result"] == "answered"
    finally:
        helper.join(10)


# Requests whose number is one of these modulo 20 are never answered, refused or answered,
# and wait as long as it takes for an answer: each worker makes ten of each, and the one
# reset cancels at most one request a worker, so every outcome comes about.
FORCED = {0: "never", 1: "refused", 2: "answered"}


def test_many_threads_out_of_order_with_timeouts_and_a_reset(proxylink):
    """16 workers x 200 requests, answered late, out of order, sometimes never,
    with a reset in the middle: every call ends with its own response or a
    documented exception, and nothing is left behind."""
    m = proxylink.messaging
    inbox = []
    cv = threading.Condition()
    stop = threading.Event()

    def send(message):
        with cv:
            inbox.append(message)
            cv.notify()

    def add_in():
        local = random.Random(threading.get_ident())
        while not stop.is_set():
            with cv:
                while not inbox and not stop.is_set():
                    cv.wait(0.05)
                if not inbox:
                    continue
                message = inbox.pop(local.randrange(len(inbox)))
            fate = FORCED.get(message["n"] % 20) or local.choice(["never"] + ["refused"] + ["answered"] * 18)
            if fate == "never":
                continue
            if local.random() < 0.5:
                time.sleep(local.random() * 0.002)
            m.on_message({"requestId": message["requestId"], "ok": fate == "answered",
                          "result": message["n"], "error": {"message": "no %d" % message["n"]}})

    m.set_send_handler(send)
    add_ins = [threading.Thread(target=add_in) for _ in range(3)]
    for t in add_ins:
        t.start()
    outcomes = {"ok": 0, "remote": 0, "timeout": 0, "cancelled": 0}
    lock = threading.Lock()
    errors = []
    under_way = threading.Semaphore(0)  # a worker's 20th call has ended: the reset comes after all 16

    def worker(base):
        for i in range(200):
            if i == 20:
                under_way.release()
            n = base + i
            timeout = {"never": 0.05, None: 0.2}.get(FORCED.get(n % 20), 30)
            try:
                response = m.send_request_sync({"n": n}, timeout=timeout)
                kind = "ok"
                if response["result"] != n:
                    errors.append((n, response))
            except RuntimeError as e:
                kind = "remote"
                if str(e) != "no %d" % n:
                    errors.append((n, e))
            except TimeoutError:
                kind = "timeout"
            except concurrent.futures.CancelledError:
                kind = "cancelled"
            with lock:
                outcomes[kind] += 1

    workers = [threading.Thread(target=worker, args=(k * 1000,)) for k in range(16)]
    for t in workers:
        t.start()
    every_one_under_way = all(under_way.acquire(timeout=60) for _ in workers)
    m.reset()
    for t in workers:
        t.join(60)
    stop.set()
    for t in add_ins:
        t.join()
    assert every_one_under_way and not any(t.is_alive() for t in workers)
    assert errors == []
    assert sum(outcomes.values()) == 16 * 200
    assert outcomes["ok"] > 0 and outcomes["remote"] > 0 and outcomes["timeout"] > 0 and outcomes["cancelled"] <= 16
    assert m.waiters == {}


@pytest.mark.skipif(hot_paths.CLASSES_IMMORTAL, reason=hot_paths.CLASSES_IMMORTAL_REASON)
def test_requests_do_not_leak(proxylink):
    m = proxylink.messaging
    m.set_send_handler(lambda message: m.on_message(ok(message, payload)))
    payload = object()
    req = {"method": "GET", "name": "values"}
    counts = (sys.getrefcount(payload), sys.getrefcount(req))

    def burst(n):
        for _ in range(n):
            m.send_request_sync(req)
            cid = m.register_callable(burst)
            m.unregister_callable(cid)
            proxylink.OfficeJsDict(4)

    m.set_send_handler(lambda message: m.on_message(ok(message, payload)))
    burst(200)
    gc.collect()
    # Only what is allocated under this test's frames counts: threads that
    # earlier tests left behind allocate meanwhile.
    tracemalloc.start(64)
    mine = [tracemalloc.Filter(True, __file__, all_frames=True)]
    first = tracemalloc.take_snapshot().filter_traces(mine)
    burst(3000)
    gc.collect()
    grown = sum(s.size_diff for s in tracemalloc.take_snapshot().filter_traces(mine).compare_to(first, "filename"))
    tracemalloc.stop()
    assert grown < 64 * 1024
    assert (sys.getrefcount(payload), sys.getrefcount(req)) == counts
