"""The hot paths of both extension modules, each run many times after a warm-up
to show that it leaves nothing behind: no Python memory (tracemalloc), no memory
of its own (the resident size and malloc's bytes in use: C++ allocations are
invisible to tracemalloc) and no references to the objects passed through it.

`PATHS` maps a name to a `Path`; `measure(path)` runs it and returns a `Growth`.
benchmarks/leak_growth.py prints the figures of every path as a table.

Under an AddressSanitizer build (ORV_SANITIZER set) the resident size is neither
measured nor judged (the sanitizer's quarantine holds freed memory), which cuts
the iterations fivefold.
"""
import asyncio
import contextlib
import ctypes
import dataclasses
import datetime as dt
import gc
import importlib.util
import os
import statistics
import sys
import sysconfig
import tracemalloc
from typing import Callable, ContextManager, Dict, List, Optional, Sequence, Tuple

from conftest import RecordingManager, Responder
from package_fakes import RecordingLogger

SANITIZER = bool(os.environ.get("ORV_SANITIZER"))
# Each path is run a few times with the collector left to itself, then under
# tracemalloc (which slows everything down about twice, and counts exactly) for
# WARM_UP and TRACED_ITERATIONS iterations, then without it for ROUNDS rounds of
# ROUND_ITERATIONS, with the resident size and the bytes malloc has handed out
# (where glibc tells) read between rounds. The resident size alone misses a leak
# that fills free memory malloc already holds, megabytes in a process that has
# run for a while. Warming up under tracemalloc has the objects that caches
# rotate (pandas keeps hundreds) traced at both ends of the count.
#
# Untraced memory is judged by its slope: the median growth of a round, per
# iteration. A leak grows the same in every round; what a process does once (an
# arena or a cache that grows, a page another thread touches) shows in one round
# and not in the median. A leak of 100 bytes an iteration comes to 100 kB in the
# traced runs and 100 bytes an iteration in the slope: four times and more either
# bound. A path that leaks nothing stays at a few kB and a fraction of a byte.
WARM_UP = 1_000
TRACED_ITERATIONS = 1_000
# On a free-threaded build every collection is a full one (it has no generations):
# one after each iteration would make a run many times longer, so there the garbage
# of a couple of hundred iterations is collected at once. Every run still ends in a full
# collection, which is where the measurements are read.
COLLECT_EVERY = 200 if sysconfig.get_config_var("Py_GIL_DISABLED") else 1
# Traced memory is judged by the smaller growth of TRACED_WINDOWS runs of
# TRACED_ITERATIONS: a cache that fills and is emptied again (pandas prunes its
# lists of weak references) may end one window higher than it began, depending on
# where its cycle stood, but not every window, while a leak grows in each.
TRACED_WINDOWS = 2
ROUNDS = 5
ROUND_ITERATIONS = 1_600
TRACED_BOUND = 24 * 1024
SLOPE_BOUND = 24  # bytes an iteration, of the resident size and of malloc's bytes in use

# On a free-threaded 3.13, every class made once a second thread has run is immortal
# (3.14 lifts that), and each proxy is an instance of a class of its own: there the
# paths that make proxies keep one class a proxy whatever the modules do. Their growth
# is measured on the other builds; the memory of everything else is measured there too.
CLASSES_IMMORTAL = bool(sysconfig.get_config_var("Py_GIL_DISABLED")) and sys.version_info < (3, 14)
CLASSES_IMMORTAL_REASON = ("a free-threaded 3.13 keeps every class made after a second thread ran (each "
                           "proxy has a class of its own): the memory of proxies is measured on other builds")
# mimalloc, which allocates the objects of a free-threaded build, reuses pages it holds:
# an object allocated once may not show in the resident size at all.
MIMALLOC = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

Step = Callable[[], object]


@dataclasses.dataclass
class Path:
    name: str
    setup: Callable[[], ContextManager[Tuple[Step, Sequence[object]]]]
    makes_proxies: bool = False


@dataclasses.dataclass
class Growth:
    name: str
    round_iterations: int  # 0 when the untraced memory is not measured
    rss: List[int]  # growth of the resident size in each round, bytes
    heap: Optional[List[int]]  # growth of malloc's bytes in use in each round; None when unknown
    traced_iterations: int
    traced: int  # bytes
    refcounts: List[Tuple[str, int, int]]  # (object, before, after) of each that changed

    @property
    def rss_slope(self) -> float:
        """Bytes an iteration the resident size grows by, in the median round."""
        return _slope(self.rss, self.round_iterations)

    @property
    def heap_slope(self) -> Optional[float]:
        return None if self.heap is None else _slope(self.heap, self.round_iterations)

    @property
    def per_iteration(self) -> float:
        return max(self.traced / self.traced_iterations, self.rss_slope, self.heap_slope or 0.0)


def _slope(rounds: List[int], iterations: int) -> float:
    return statistics.median(rounds) / iterations if rounds else 0.0


PATHS: Dict[str, Path] = {}


def hot_path(name, makes_proxies=False):
    """Registers a generator function that sets a path up and yields
    (one iteration, the objects whose reference counts must not change)."""
    def register(setup):
        PATHS[name] = Path(name, contextlib.contextmanager(setup), makes_proxies)
        return setup
    return register


def _rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class _MallocInfo(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


_libc = ctypes.CDLL(None)
_malloc_trim = getattr(_libc, "malloc_trim", None)
_mallinfo2 = getattr(_libc, "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = _MallocInfo


def _heap() -> Optional[int]:
    """The bytes malloc has handed out and not had back (glibc 2.33 on)."""
    if _mallinfo2 is None:
        return None
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def _settle() -> None:
    gc.collect()
    if _malloc_trim is not None:  # whole pages freed but kept by malloc are not a leak
        _malloc_trim(0)


def _run(step: Step, times: int, measured: bool = True) -> None:
    """Runs `times` iterations. Measured, each is followed by a collection of
    the youngest generation, so that the garbage it leaves to the collector is
    freed at once rather than at moments that vary from run to run; otherwise
    the collector runs when it will (finalisers then run inside any call)."""
    if measured:
        gc.disable()
    try:
        for i in range(1, times + 1):
            step()
            if measured and i % COLLECT_EVERY == 0:
                gc.collect(0)
    finally:
        gc.enable()
    _settle()


def measure(path: Path) -> Growth:
    """Runs `path` as described at the top; under a sanitizer only the traced
    memory and the reference counts are measured."""
    with path.setup() as (step, watched):
        _run(step, WARM_UP // 5, measured=False)
        tracemalloc.start()
        try:
            _run(step, WARM_UP)
            counts = _refcounts(watched)
            _run(step, WARM_UP // 5)  # what emptying the attribute cache undid is redone untraced
            traced = None
            for _ in range(TRACED_WINDOWS):
                before = tracemalloc.get_traced_memory()[0]
                _run(step, TRACED_ITERATIONS)
                grown = tracemalloc.get_traced_memory()[0] - before
                traced = grown if traced is None else min(traced, grown)
        finally:
            tracemalloc.stop()
        _settle()  # of what tracemalloc let go
        rounds = 0 if SANITIZER else ROUNDS
        readings = [(_rss(), _heap())]
        for _ in range(rounds):
            _run(step, ROUND_ITERATIONS)
            readings.append((_rss(), _heap()))
        rss = [b[0] - a[0] for a, b in zip(readings, readings[1:])]
        heap = None if readings[0][1] is None or SANITIZER else [b[1] - a[1] for a, b in zip(readings, readings[1:])]
        after = _refcounts(watched)
        changed = [(_short(o), b, a) for o, b, a in zip(watched, counts, after) if a != b]
    return Growth(path.name, ROUND_ITERATIONS if rounds else 0, rss, heap, TRACED_ITERATIONS, traced, changed)


def _refcounts(watched) -> List[int]:
    # The interpreter's attribute cache keeps the names it has looked up, one
    # reference per entry, and how many entries a name holds depends on hashing:
    # emptied first, it holds none.
    sys._clear_type_cache()
    return [sys.getrefcount(o) for o in watched]


def _short(obj) -> str:
    text = repr(obj)
    return text if len(text) < 60 else text[:57] + "..."


def text(base: str) -> str:
    """A str of its own (not interned, not shared): its reference count is ours to watch."""
    return "".join([base, "~"])


# ---- proxylink ----------------------------------------------------------------------------

def _proxylink():
    from orvane_master.python_server.orvane import proxylink
    return proxylink


@contextlib.contextmanager
def channel(answer=None):
    """The bridge's channel with a send handler that answers every request at
    once (from inside the handler) with `answer(request)`, or not at all."""
    messaging = _proxylink().messaging

    def send(message):
        if answer is not None:
            messaging.on_message(answer(message))

    messaging.set_send_handler(send)
    try:
        yield messaging
    finally:
        messaging.set_send_handler(None)
        messaging.reset()


def answered(result=None):
    return lambda request: {"requestId": request["requestId"], "ok": True, "result": result}


@hot_path("encode: pandas DataFrame, mixed dtypes")
def _():
    import numpy as np
    import pandas as pd
    label, cell = text("label"), text("cell")
    frame = pd.DataFrame({
        "f": [1.5, np.nan, 2.0], "i": [1, 2, 3], label: [cell, None, cell], "b": [True, False, True],
        "t": pd.to_datetime(["2024-01-02 03:04:05", None, "2024-01-03 00:00:00"]),
        "z": pd.to_datetime(["2024-01-02 12:00"] * 3).tz_localize("Asia/Tokyo"),
        "o": [dt.date(2024, 1, 1), 7, pd.NA],
    })
    yield (lambda: _proxylink().Serializer.to_wire(frame)), [frame, label, cell]


@hot_path("encode: pandas Series")
def _():
    import numpy as np
    import pandas as pd
    name, cell = text("name"), text("cell")
    series = [pd.Series([1.5, np.nan, 3.0], name=name), pd.Series([cell, None, cell], name=name),
              pd.Series(pd.to_datetime(["2024-01-01", None, "2024-01-02"]))]
    to_wire = _proxylink().Serializer.to_wire
    yield (lambda: [to_wire(s) for s in series]), [*series, name, cell]


if importlib.util.find_spec("polars"):
    @hot_path("encode: polars DataFrame")
    def _():
        import polars as pl
        cell = text("cell")
        frame = pl.DataFrame({"a": [1, None, 3], "b": [cell, None, cell], "c": [1.5, None, 2.5],
                              "d": [dt.datetime(2024, 1, 1, 12), None, dt.datetime(2024, 1, 2)],
                              "e": [dt.date(2024, 1, 2), None, dt.date(2024, 1, 3)], "f": [True, False, None]})
        yield (lambda: _proxylink().Serializer.to_wire(frame)), [frame, cell]


def wire(tag, value=None, **extra):
    return {"type": tag, "value": value, **extra}


@hot_path("decode: table with dates, dicts, references, functions", makes_proxies=True)
def _():
    with channel(answered()) as messaging:
        def callback():
            pass

        callable_id = messaging.register_callable(callback)
        cell, key, stamp = text("cell"), text("key"), text("2024-01-02T03:04:05")
        row = [wire("Float", 1.5), wire("Int", 2), wire("String", cell), wire("Bool", True), wire("Null"),
               wire("Date", stamp), wire("Range", "42", isSpec=True),
               wire("Python_Function", callable_id, isSpec=True)]
        table = wire("Array", [wire("Array", row, id=11), wire("Array", row, id=12),
                               wire("Dict", {key: wire("Array", row, id=14), 3: wire("Int", 4)}, id=13)], id=10)
        from_wire = _proxylink().Serializer.from_wire
        yield (lambda: from_wire(table)), [table, row, cell, key, stamp, callable_id, callback]


@hot_path("requests: answered inside the send handler")
def _():
    result, name = text("result"), text("name")
    with channel(answered(wire("String", result))) as messaging:
        payload = {"method": "GET", "name": name, "caller": 1}
        yield (lambda: messaging.send_request_sync(payload)), [payload, name, result]


@hot_path("requests: answered from another thread")
def _():
    messaging = _proxylink().messaging
    result, name = text("result"), text("name")
    responder = Responder(messaging, answered(result))
    try:
        payload = {"method": "GET", "name": name, "caller": 1}

        def step():
            messaging.send_request_sync(payload, 10)
            responder.requests.clear()

        yield step, [payload, name, result]
    finally:
        responder.close()
        messaging.set_send_handler(None)
        messaging.reset()


@hot_path("requests: failed, timed out, send handler raising or returning a coroutine")
def _():
    reason = text("refused")
    with channel() as messaging:
        def failing(response):
            return lambda request: messaging.on_message({"requestId": request["requestId"], **response})

        def raising(request):
            raise ConnectionError(reason)

        async def send_later(request):
            pass

        failures = [{"ok": False, "error": {"message": reason}}, {"error": reason}, {}]
        cases = [(failing(f), 5, RuntimeError) for f in failures]
        cases += [(lambda request: None, 0, TimeoutError), (raising, 5, ConnectionError), (send_later, 5, RuntimeError)]
        payload = {"method": "GET", "name": reason, "caller": 1}

        def step():
            for handler, timeout, error in cases:
                messaging.set_send_handler(handler)
                try:
                    messaging.send_request_sync(payload, timeout)
                except error:
                    pass

        yield step, [payload, reason, raising, send_later, *failures]


@hot_path("proxies: decoded, released, in cycles; arrays and dicts", makes_proxies=True)
def _():
    proxylink = _proxylink()
    with channel(answered()):
        type_name = text("Range")
        reference = wire(type_name, "42", isSpec=True)
        from_wire = proxylink.Serializer.from_wire

        def step():
            from_wire(reference)  # released at once: its DEL is answered
            looped = from_wire(reference)
            looped._internal_cache[type_name] = looped  # released by the collector
            array, mapping = proxylink.OfficeJsArray(5), proxylink.OfficeJsDict(6)
            array.append(mapping)
            mapping[type_name] = array

        yield step, [reference, type_name]


@hot_path("operations: get, set, call, index on proxies", makes_proxies=True)
def _():
    proxylink = _proxylink()
    result, name, cell = text("result"), text("values"), text("cell")

    def answer(request):
        if request["method"] == "CALL":
            return answered(wire("Range", "43", isSpec=True))(request)  # a new proxy, released at once
        return answered(wire("String", result))(request)

    with channel(answer):
        proxy, function = proxylink.OfficeJsObject(7, "Range"), proxylink.OfficeJsObject(8, "Function")
        value = [[1.5, cell], [None, dt.date(2024, 1, 2)]]
        span = slice(1, 3)

        def step():
            getattr(proxy, name)
            setattr(proxy, name, value)
            function(value, cell, key=value)
            proxy[0], proxy[span]

        yield step, [proxy, function, name, value, cell, result, span]


@hot_path("transactions: committed, and failing inside", makes_proxies=True)
def _():
    proxylink = _proxylink()

    def answer(request):  # `start` and `commit` are remote functions; calls return nothing
        return answered(wire("Function", "50", isSpec=True) if request["method"] == "GET" else wire("Null"))(request)

    with channel(answer):
        name, cell, reason = text("values"), text("cell"), text("failed")
        proxy = proxylink.OfficeJsObject(7, "Range")

        def callback(*args):
            pass

        def step():
            with proxylink.OfficeJsTransaction():
                setattr(proxy, name, cell)
            with proxylink.OfficeJsTransaction(False, False, callback, True):
                raise ValueError(reason)

        yield step, [proxy, name, cell, reason, callback]


@hot_path("callables: register, look up, unregister; reset")
def _():
    messaging = _proxylink().messaging

    def callback():
        pass

    def step():
        callable_id = messaging.register_callable(callback)
        messaging.get_callable(callable_id)
        messaging.unregister_callable(callable_id)
        messaging.register_callable(callback)
        messaging.reset()

    try:
        yield step, [callback]
    finally:
        messaging.reset()


# ---- handlers -----------------------------------------------------------------------------

class Interrupted(Exception):
    pass


class Manager(RecordingManager):
    """A RecordingManager without the deep copy of each message (most of the
    time of these paths would go to it)."""

    async def _deliver(self, peer, message):
        self.sent.append((peer, message))
        for _ in range(self.pauses):
            await asyncio.sleep(0)
        if self.fail is not None:
            raise self.fail


# How a handler coroutine is driven by hand: to its end; to its end with every
# send failing; to its first suspension point, thrown into there and run on to
# its end; to its first suspension point and closed there.
MODES = ("end", "fail", Interrupted, asyncio.CancelledError, "close")
TO_THE_END = ("end",)  # for calls that never suspend, or whose interruptions other calls cover


def drive(coro, mode, manager) -> None:
    """Drives `coro` in `mode`; whatever exception leaves it is dropped."""
    if mode == "fail":
        manager.fail = Interrupted("send failed")  # a fresh one: a raised exception keeps its traceback
    try:
        coro.send(None)
        if mode == "close":
            coro.close()
            return
        if isinstance(mode, type):
            coro.throw(mode())
        while True:
            coro.send(None)
    except (StopIteration, Exception, asyncio.CancelledError):
        pass
    finally:
        manager.fail = None


@contextlib.contextmanager
def injected(manager, package_manager=None, install=None):
    """The handlers module with the services injected, its log kept by a
    RecordingLogger; its globals are restored afterwards."""
    from orvane_master.business_layer.packages import handlers

    saved = dict(vars(handlers))
    handlers.init_handlers(manager, package_manager, install)
    handlers.logger = RecordingLogger()
    try:
        yield handlers
    finally:
        for name, value in saved.items():
            setattr(handlers, name, value)


def forget(manager, handlers):
    """Drops what one iteration recorded."""
    manager.sent.clear()
    handlers.logger.lines.clear()


def driven(handlers, manager, calls, reset=lambda: None):
    """An iteration that makes every (function name, arguments[, modes]) call
    in each of its modes (all by default)."""
    def step():
        for name, args, *modes in calls:
            for mode in modes[0] if modes else MODES:
                reset()
                drive(getattr(handlers, name)(*args), mode, manager)
        forget(manager, handlers)
    return step


@hot_path("handlers: workbook package lists")
def _():
    manager = Manager(pauses=1)
    client, wb, name, version, extra, status = (text(t) for t in ("client", "wb", "pkg", "1.0", "extra", "ok"))
    messages = [
        ("handle_add_workbook_package", {"workbook_id": wb, "package_name": name, "version": version,
                                         "extras": [extra]}),
        ("handle_add_workbook_package", {"workbook_id": wb, "package_name": name}, TO_THE_END),  # a warning
        ("handle_update_workbook_package", {"workbook_id": wb, "package_name": name, "version": version}),
        ("handle_update_package_status", {"workbook_id": wb, "package_name": name, "status": status}),
        ("handle_reorder_workbook_packages", {"workbook_id": wb, "package_names": [name, extra]}),
        ("handle_reorder_workbook_packages", {"workbook_id": wb, "package_names": name}, TO_THE_END),  # a warning
        ("handle_remove_workbook_package", {"workbook_id": wb, "package_name": name}),
        ("handle_get_workbook_packages", {"workbook_id": wb}),
        ("handle_restore_workbook_packages", {"workbook_id": wb}, TO_THE_END),
        ("handle_get_resolved_deps", {"workbook_id": wb}),
    ]
    installed = [{"name": name, "version": version, "extras": [], "status": status}]

    def reset():
        manager.workbook_packages[wb] = [{"name": extra}, {"name": name, "version": version}]
        manager.workbook_installed_packages[wb] = installed
        manager.workbook_resolved_deps[wb] = installed
        manager.pushed.clear()

    with injected(manager) as handlers:
        calls = [(handler, (client, message), *modes) for handler, message, *modes in messages]
        yield driven(handlers, manager, calls, reset), [client, wb, name, version, extra, status, installed,
                                                        *(message for _, message, *_ in messages)]


@hot_path("handlers: python paths")
def _():
    manager = Manager(pauses=1)
    client, wb, path = text("client"), text("wb"), text("/lib")
    manager.connect_addin(wb)
    messages = [({"workbook_id": wb, "python_paths": [path, " ", path]}, MODES),
                ({"workbook_id": wb, "python_paths": [path, 3]}, TO_THE_END),  # TypeError
                ({"python_paths": [path]}, TO_THE_END)]  # a warning
    with injected(manager) as handlers:
        calls = [("handle_update_python_paths", (client, message), modes) for message, modes in messages]
        yield driven(handlers, manager, calls), [client, wb, path, *(message for message, _ in messages)]


class ReadyPackageManager:
    """Answers every query after one pause, or fails with a fresh error when
    `fail` is set; installs stream scripted output."""

    def __init__(self, answer):
        self.answer = answer
        self.fail = False

    async def _reply(self, value):
        await asyncio.sleep(0)
        if self.fail:
            raise LookupError(self.answer)
        return value

    async def get_available_versions(self, name):
        return await self._reply([self.answer, self.answer])

    async def get_package_extras(self, name, version):
        return await self._reply([self.answer])

    async def get_package_info(self, name):
        return await self._reply({"latest_version": self.answer, "summary": self.answer})

    def install_package(self, spec):
        async def stream():
            for kind in ("stdout", "stderr", "path", "success", "error"):
                await asyncio.sleep(0)
                yield kind, self.answer
            if self.fail:
                yield "too", "many", "values"
        return stream()


@hot_path("handlers: query and install workers")
def _():
    manager = Manager(pauses=1)
    client, answer, name, rid, wb = text("client"), text("2.0"), text("pkg"), text("r1"), text("wb")
    package_manager = ReadyPackageManager(answer)
    workers = [("handle_get_package_versions", (name, rid)), ("handle_get_package_extras", (name, None, rid)),
               ("handle_get_package_extras", (name, answer, rid)), ("handle_get_package_info", (name, rid)),
               ("handle_package_install", (wb, name))]

    with injected(manager, package_manager) as handlers:
        answering = driven(handlers, manager, [(worker, (client, *args)) for worker, args in workers])
        failing = driven(handlers, manager, [(worker, (client, *args), TO_THE_END) for worker, args in workers])

        def step():
            package_manager.fail = False
            answering()
            package_manager.fail = True  # the first suspension point comes before the failure
            failing()

        yield step, [client, answer, name, rid, wb, package_manager]


@hot_path("handlers: requests that start tasks, on an event loop")
def _():
    manager = Manager()
    client, answer, name, rid, wb = text("client"), text("2.0"), text("pkg"), text("r1"), text("wb")
    started = []

    async def install_workbook(workbook_id):
        started.append(workbook_id)

    requests = [("handle_package_install_request", {"workbook_id": wb, "package": name}),
                ("handle_get_package_versions_request", {"package_name": name, "request_id": rid}),
                ("handle_get_package_extras_request", {"package_name": name, "request_id": rid}),
                ("handle_get_package_info_request", {"package_name": name, "request_id": rid}),
                ("handle_get_package_info_request", {"package_name": name}),  # a warning
                ("handle_install_workbook_packages", {"workbook_id": wb})]
    loop = asyncio.new_event_loop()

    with injected(manager, ReadyPackageManager(answer), install_workbook) as handlers:
        async def once():
            for handler, message in requests:
                await getattr(handlers, handler)(client, message)
            await asyncio.gather(*(asyncio.all_tasks() - {asyncio.current_task()}))

        def step():
            loop.run_until_complete(once())
            started.clear()
            forget(manager, handlers)

        try:
            yield step, [client, answer, name, rid, wb, install_workbook, *(message for _, message in requests)]
        finally:
            loop.close()
