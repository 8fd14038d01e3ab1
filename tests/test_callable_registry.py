import re
import threading

import pytest


def test_ids_lookup_and_removal(proxylink):
    m = proxylink.messaging
    first, second = m.register_callable(len), m.register_callable(len)
    assert re.fullmatch(r"pyfunc_[0-9a-f]{8}_1", first) and first[7:15] == m._guid[:8]
    assert second == first[:-1] + "2"
    assert m.get_callable(first) is len and m.get_callable("pyfunc_x_9") is None
    m.unregister_callable(first)
    m.unregister_callable(first)
    assert m.get_callable(first) is None and m.get_callable(second) is len
    for target in (lambda: 1, print, int, type("C", (), {"__call__": lambda self: 1})(), m.reset):
        assert m.get_callable(m.register_callable(target)) is target


def test_argument_errors(proxylink):
    m = proxylink.messaging
    with pytest.raises(TypeError, match="^Object must be callable, got int$"):
        m.register_callable(3)
    assert m._next_callable_id == 1
    for method in (m.get_callable, m.unregister_callable):
        with pytest.raises(TypeError, match="Argument 'callable_id' has incorrect type"):
            method(None)


def test_reset_clears_and_restarts_numbering(proxylink):
    m = proxylink.messaging
    old = m.register_callable(print)
    m.reset()
    new = m.register_callable(print)
    assert m.get_callable(old) is None and new.endswith("_1") and new[7:15] != old[7:15]


def test_concurrent_registrations_get_distinct_ids(proxylink):
    m = proxylink.messaging
    ids = []

    def register():
        ids.extend(m.register_callable(print) for _ in range(500))

    threads = [threading.Thread(target=register) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(set(ids)) == 4000 and m._next_callable_id == 4001


CHANNEL_UNDER_TORTURE = """
import sys, threading
import gc_torture
from orvane_master.python_server.orvane import proxylink as p
m = p.messaging
if {plain_maps}:
    class Map(dict):
        pass
    m._callable_registry, m.waiters = Map(), Map()
gc_torture.enable()
def answer(message):
    if message["method"] == "late":
        return
    threading.Thread(target=m.on_message, args=({{"requestId": message["requestId"], "ok": True}},)).start()
m.set_send_handler(answer)
for i in range(300):
    cid = m.register_callable(len)
    assert m.get_callable(cid) is len
    m.unregister_callable(cid)
    m.send_request_sync({{"method": "GET"}})
    try:
        m.send_request_sync({{"method": "late"}}, timeout=0)
    except TimeoutError:
        pass
    if i % 50 == 0:
        m.reset()
assert not gc_torture.take_errors() and not m.waiters
print("done")
"""


@pytest.mark.parametrize("plain_maps", [False, True], ids=["dicts", "dict-subclasses"])
def test_finalisers_use_the_channel_while_it_works(plain_maps):
    # The collector runs at every allocation and its finalisers take both locks:
    # no code path may hold a lock across anything that could start a collection.
    import os
    import subprocess
    import sys

    script = CHANNEL_UNDER_TORTURE.format(plain_maps=plain_maps)
    done = subprocess.run([sys.executable, "-c", script], cwd=os.path.dirname(__file__), capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0 and done.stdout == "done\n", done.stderr[-3000:]
