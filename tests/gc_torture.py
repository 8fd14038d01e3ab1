"""Collector torture: the collector runs at (nearly) every allocation of a tracked
object, and every collection finds cyclic garbage whose finaliser uses the channel's
callable registry, its waiter map and proxies, on whatever thread the collection runs.

Code that holds a channel lock while it allocates, runs Python code or checks for
signals then deadlocks or fails here at once instead of once in a blue moon; code
that lets the collector see a half-built container crashes here.

`start()` turns it on for the process (the test suite does so with --gc-torture or
ORV_GC_TORTURE=1). The finalisers send nothing: they look up and remove callables
that do not exist, deliver a response that nobody waits for, and use proxies that
are stale, so that the tests see the same traffic as without torture.
"""
import gc
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
        except BaseException:
            errors.append(f"on {threading.current_thread().name}:\n{traceback.format_exc()}")
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


def start(threshold=1):
    _state["stale"] = _stale_proxies()
    _state["on"] = True
    _Litter()
    gc.set_threshold(threshold, 1, 1)


def take_errors():
    taken = errors[:]
    errors.clear()
    return taken
