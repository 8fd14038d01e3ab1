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
