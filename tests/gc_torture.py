"""Collector torture: the collector runs at (nearly) every allocation of a tracked
object, and every collection finds cyclic garbage whose finaliser uses the channel's
callable registry, its waiter map and proxies, on whatever thread the collection runs.

Code that holds a channel lock while it allocates, runs Python code or checks for
signals then deadlocks or fails here at once instead of once in a blue moon; code
that lets the collector see a half-built container crashes here.

`enable()` and `disable()` turn it on and off (the test suite does so around each
test chosen by --gc-torture or ORV_GC_TORTURE). The finalisers send nothing: they look up and remove callables
that do not exist, deliver a response that nobody waits for, and use proxies that
are stale, so that the tests see the same traffic as without torture.
"""
import gc
import os
import threading
import traceback

errors = []  # what the finalisers raised, as text
_state = {}


class _Litter:
    """Cyclic garbage: only the collector frees it. Each one, when finalised,
    leaves the next behind, so that every collection has one to finalise."""

    def __init__(self):
        self.cycle = self

    def __del__(self):
        if not _state.get("on"):
            return
        try:
            _use_the_channel()
        except RecursionError:
            pass  # a collection deep inside a recursion has no room to run this
        except BaseException as e:
            errors.append(f"on {threading.current_thread().name}: {e!r}\n{traceback.format_exc(limit=-8)}")
        _Litter()


def _use_the_channel():
    from orvane_master.python_server.orvane import proxylink

    m = proxylink.messaging
    m.get_callable("pyfunc_torture_0")
    m.unregister_callable("pyfunc_torture_0")
    m.on_message({"requestId": "torture", "ok": True, "result": None})
    for proxy in _state["stale"]:
        repr(proxy)
        try:
            proxy.anything
        except RuntimeError:
            pass


def _stale_proxies():
    from orvane_master.python_server.orvane import proxylink

    made = [proxylink.OfficeJsObject(900001, "Range"), proxylink.OfficeJsArray(900002),
            proxylink.OfficeJsDict(900003)]
    for proxy in made:
        object.__setattr__(proxy, "_msg_guid", "stale")
    return made  # kept for the life of the process: their release would send a request


def enable(threshold=1):
    if "stale" not in _state:
        _state["stale"] = _stale_proxies()
        _Litter()
    _state["threshold"] = gc.get_threshold()
    _state["on"] = True
    gc.set_threshold(threshold, 1, 1)


def disable():
    _state["on"] = False
    gc.set_threshold(*_state["threshold"])


def take_errors():
    taken = errors[:]
    errors.clear()
    return taken


def examples(count):
    """How many examples a property test draws: far fewer under torture."""
    return max(10, count // 25) if os.environ.get("ORV_GC_TORTURE") else count
