"""Threads that share what the modules read: containers that another thread
changes while they are encoded, the callable registry against resets, requests
against answers and resets, proxies finalised on many threads, two threads
stepping one coroutine. On a free-threaded build these are races with no GIL
to hide them; elsewhere they still check that each outcome is one Python would
give. What must never happen: a crash, a hang, a leak or a broken structure.

Each case runs for ORV_STRESS_SECONDS seconds (2 unless set):
`ORV_STRESS_SECONDS=600 pytest -q test_free_threading.py`.
"""
import concurrent.futures
import gc
import os
import subprocess
import sys
import sysconfig
import threading
import time

import pytest

SECONDS = float(os.environ.get("ORV_STRESS_SECONDS") or 2)
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def race(*loops, seconds=SECONDS):
    """Runs each loop body over and over on a thread of its own for `seconds`;
    re-raises the first exception one of them let out. Returns the rounds each made."""
    ends = time.monotonic() + seconds
    rounds = [0] * len(loops)
    errors = []

    def run(i):
        try:
            while time.monotonic() < ends and not errors:
                loops[i]()
                rounds[i] += 1
        except BaseException as e:  # noqa: B902 - reported below, with its traceback
            errors.append(e)

    threads = [threading.Thread(target=run, args=(i,), daemon=True) for i in range(len(loops))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(seconds + 120)
    assert not [t for t in threads if t.is_alive()], "a racing thread hangs"
    if errors:
        raise errors[0]
    return rounds


@pytest.mark.skipif(not FREE_THREADED, reason="the GIL is there to stay: this CPython is not a free-threaded build")
def test_importing_both_modules_leaves_the_gil_off():
    code = ("import sys\n"
            "import orvane_master.python_server.orvane.proxylink, orvane_master.business_layer.packages.handlers\n"
            "assert not sys._is_gil_enabled()\n")
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    # Generous: under ThreadSanitizer on a loaded machine, importing numpy and pandas
    # alone has taken over two minutes.
    done = subprocess.run([sys.executable, "-W", "error::RuntimeWarning", "-c", code], env=env,
                          capture_output=True, text=True, timeout=900)
    assert done.returncode == 0, done.stderr


def test_codec_on_containers_that_another_thread_changes(proxylink):
    S = proxylink.Serializer
    items = [object(), "y", 3.5, [4]] * 25
    shared_list, shared_dict = list(items), {}
    wire = dict(S.to_wire([1, "a", 2.5, None, b"x", True] * 10), id=5)  # as the add-in sends it

    def mutate():
        shared_list[:] = items
        shared_list[:] = [1, 2]
        shared_dict.clear()
        shared_dict.update((str(i), [i, "v"]) for i in range(40))
        wire["value"][:] = wire["value"][::-1]

    def encode(value):
        try:
            encoded = S.to_wire(value)
        except RuntimeError as e:  # as Python's own iteration reports it
            assert "changed size during iteration" in str(e)
            return
        assert encoded["type"] in ("Array", "Dict") and isinstance(encoded["value"], (list, dict))

    def decode():
        decoded = S.from_wire(wire)
        assert len(decoded) == 60

    race(mutate, lambda: encode(shared_list), lambda: encode(shared_dict), decode)


def test_register_callable_against_reset(proxylink):
    m = proxylink.messaging
    made = []

    def register():
        callable_id = m.register_callable(len)
        found = m.get_callable(callable_id)
        assert found is len or found is None  # a reset may have come in between
        made.append(callable_id)

    race(register, register, lambda: (m.reset(), time.sleep(0.001)))
    m.reset()
    assert m._callable_registry == {} and m._next_callable_id == 1
    assert all(m.get_callable(i) is None for i in made[-100:])


def test_requests_against_answers_and_resets(proxylink):
    m = proxylink.messaging
    sent, answered = [], []
    ready = threading.Condition()

    def send(message):
        with ready:
            sent.append(message)
            ready.notify()

    m.set_send_handler(send)
    outcomes = {"ok": 0, "cancelled": 0}

    def request():
        try:
            assert m.send_request_sync({"method": "GET"}, timeout=60)["ok"]
            outcomes["ok"] += 1
        except concurrent.futures.CancelledError:
            outcomes["cancelled"] += 1

    def answer():
        with ready:
            ready.wait_for(lambda: sent, 0.01)
        while sent:
            message = sent.pop()
            m.on_message({"requestId": message["requestId"], "ok": True})
            answered.append(message["requestId"])

    def reset():
        time.sleep(0.005)
        m.reset()

    race(request, request, request, answer, reset)
    m.reset()
    assert m.waiters == {} and outcomes["ok"] > 0


def test_proxies_finalised_on_many_threads(proxylink, responder):
    released = []
    responder(lambda r: (released.append(r["caller"]) if r["method"] == "DEL" else None,
                         {"requestId": r["requestId"], "ok": True})[1])
    made = [0] * 4

    def drop(i):
        proxies = [proxylink.OfficeJsObject(7 + j, "Range") for j in range(10)]
        del proxies
        made[i] += 10

    race(*(lambda i=i: drop(i) for i in range(4)))
    gc.collect()
    assert len(released) == sum(made)


def test_two_threads_stepping_one_coroutine(handlers):
    """One thread is inside send() while another calls it: the second gets the
    interpreter's "already executing" error, and the first carries on."""
    inside, leave = threading.Event(), threading.Event()

    class Blocking:
        def __await__(self):
            inside.set()
            leave.wait(60)
            return (yield from ())

    class Manager:
        workbook_packages = {"wb": []}
        workbook_installed_packages = workbook_python_paths = package_errors = workbook_resolved_deps = {}

        def send_to_ide(self, message):
            return Blocking()

    handlers.init_handlers(Manager(), None, None)
    for _ in range(max(1, int(SECONDS * 20))):
        inside.clear()
        leave.clear()
        coro = handlers.handle_get_workbook_packages("ide", {"workbook_id": "wb"})
        first = []
        stepping = threading.Thread(target=lambda: first.append(pytest.raises(StopIteration, coro.send, None)))
        stepping.start()
        assert inside.wait(60)
        with pytest.raises(ValueError, match="^coroutine already executing$"):
            coro.send(None)
        leave.set()
        stepping.join(60)
        assert first and not stepping.is_alive()
        assert coro.cr_await is None
