import asyncio
import gc
import logging
import os
import pathlib
import sys
import threading

import pytest

import orvane_master

# The test-only extensions (tests/ext) are built next to their sources by the
# in-place build and installed into the environment by the package build: take
# them from where the product under test comes from.
_HERE = pathlib.Path(__file__).resolve().parent
if pathlib.Path(orvane_master.__file__).resolve().parents[1] == _HERE.parent / "python":
    sys.path.insert(0, str(_HERE / "ext"))

# A run against an installed wheel (tools/wheels/test-wheel names it in ORV_INSTALLED_WHEEL)
# tests the package in the environment's site-packages, never the checkout's sources; the
# test-only extensions are in no wheel, and the tests that need them skip.
INSTALLED_WHEEL = os.environ.get("ORV_INSTALLED_WHEEL")
if INSTALLED_WHEEL and pathlib.Path(orvane_master.__file__).resolve().parent.parent.name != "site-packages":
    raise pytest.UsageError(f"testing {INSTALLED_WHEEL}, but orvane_master comes from {orvane_master.__file__}")


def pytest_report_header(config):
    origin = f"installed from {INSTALLED_WHEEL}" if INSTALLED_WHEEL else "built from this checkout"
    return f"orvane_master {orvane_master.__version__} in {pathlib.Path(orvane_master.__file__).parent} ({origin})"


# Collector torture (see gc_torture.py) for the tests of the channel, the registry,
# the proxies, the codec and the coroutines; "all" puts every test under it.
TORTURED = ("test_messaging", "test_callable_registry", "test_faults", "test_proxy_classes",
            "test_operations", "test_transaction", "test_wire_encode", "test_wire_decode",
            "test_wire_roundtrip", "test_coroutine_adapter", "test_simulated_addin")


def pytest_addoption(parser):
    parser.addoption("--gc-torture", choices=("core", "all"), default=os.environ.get("ORV_GC_TORTURE") or None,
                     help="run the collector at every allocation, with finalisers that use the channel, "
                          "for the core tests or for all (also ORV_GC_TORTURE=core|all)")


def pytest_configure(config):
    if config.getoption("--gc-torture"):
        os.environ["ORV_GC_TORTURE"] = config.getoption("--gc-torture")  # read by gc_torture.examples


@pytest.fixture(autouse=True)
def _gc_torture(request):
    """Runs the test under collector torture when chosen; what a finaliser raised fails it."""
    chosen = request.config.getoption("--gc-torture")
    if not chosen or (chosen == "core" and request.module.__name__.rpartition(".")[2] not in TORTURED):
        yield
        return
    import gc_torture

    gc_torture.enable()
    try:
        yield
    finally:
        gc_torture.disable()
    found = gc_torture.take_errors()
    assert not found, "finalisers failed under collector torture:\n" + "\n".join(found[:3])


@pytest.fixture
def proxylink():
    """The bridge module with its channel restored after the test."""
    from orvane_master.python_server.orvane import proxylink as module

    saved = dict(vars(module))
    yield module
    module.messaging.set_send_handler(None)
    module.messaging.reset()
    for name, value in saved.items():
        if vars(module).get(name) is not value:
            setattr(module, name, value)
    gc.collect()  # proxies held by this test's tracebacks are released now, silently, not in a later test


class Responder:
    """Plays the add-in on its own thread: every request handed to the send
    handler is answered through messaging.on_message by `answer(request)`."""

    def __init__(self, messaging, answer):
        self.messaging = messaging
        self.answer = answer
        self.requests = []
        self._queue = []
        self._cv = threading.Condition()
        self._stop = False
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()
        messaging.set_send_handler(self.send)

    def send(self, message):
        with self._cv:
            self.requests.append(message)
            self._queue.append(message)
            self._cv.notify()

    def _run(self):
        while True:
            with self._cv:
                while not self._queue and not self._stop:
                    self._cv.wait()
                if self._stop:
                    return
                message = self._queue.pop(0)
            response = self.answer(message)
            if response is not None:
                self.messaging.on_message(response)

    def close(self):
        with self._cv:
            self._stop = True
            self._cv.notify()
        self._thread.join()


@pytest.fixture
def responder(proxylink):
    made = []

    def start(answer):
        r = Responder(proxylink.messaging, answer)
        made.append(r)
        return r

    yield start
    for r in made:
        r.close()


@pytest.fixture
def handlers():
    """The package handlers module with its globals restored after the test."""
    from orvane_master.business_layer.packages import handlers as module

    saved = dict(vars(module))
    yield module
    for name in [n for n in vars(module) if n not in saved]:
        delattr(module, name)
    for name, value in saved.items():
        if vars(module).get(name) is not value:
            setattr(module, name, value)


class RecordingManager:
    """A connection manager that records each send as it is made: `sent` holds
    (peer, message) with the message object itself, `snapshots` deep copies taken
    at the moment of sending. Each send takes `pauses` turns of the event loop
    and raises `fail` when it is set."""

    def __init__(self, pauses=0):
        self.workbook_packages = {}
        self.workbook_installed_packages = {}
        self.workbook_python_paths = {}
        self.package_errors = {}
        self.workbook_resolved_deps = {}
        self.addins = {}
        self.sent = []
        self.snapshots = []
        self.pushed = []
        self.pauses = pauses
        self.fail = None

    async def _deliver(self, peer, message):
        import copy

        self.sent.append((peer, message))
        self.snapshots.append((peer, copy.deepcopy(message)))
        for _ in range(self.pauses):
            await asyncio.sleep(0)
        if self.fail is not None:
            raise self.fail

    def send_to_ide(self, message):
        return self._deliver("ide", message)

    def send_message(self, kind, target, message):
        return self._deliver((kind, target), message)

    def get_connection(self, kind, workbook_id):
        return self.addins.get(workbook_id) if kind == "addin" else None

    def connect_addin(self, workbook_id):
        manager = self

        class Addin:
            async def send_json(self, message):
                await manager._deliver(("addin", workbook_id), message)

        self.addins[workbook_id] = Addin()

    def _push_packages_and_python_paths(self, workbook_id):
        self.pushed.append(workbook_id)
        return "not awaited"

    def messages(self, peer="ide"):
        return [m for p, m in self.sent if p == peer]


@pytest.fixture
def manager(handlers):
    """A RecordingManager injected into the handlers."""
    m = RecordingManager()
    handlers.init_handlers(m, None, None)
    return m


@pytest.fixture
def handler_log(caplog):
    """The handlers' log lines as (level name, text)."""
    caplog.set_level(logging.INFO, logger="orvane_master.business_layer.packages.handlers")

    def lines():
        return [(r.levelname, r.getMessage()) for r in caplog.records
                if r.name == "orvane_master.business_layer.packages.handlers"]

    return lines


@pytest.fixture
def excel(proxylink):
    """The bridge connected through JSON to the simulated add-in and kernel."""
    from orvane_master.testing.excel import SimulatedExcel

    gc.collect()  # proxies left over by earlier tests are released before it connects
    with SimulatedExcel() as env:
        yield env


# ---- both add-ins: the Python stand-in and the page in headless chromium ----------------


@pytest.fixture(scope="session")
def browser():
    """The relay and one headless chromium on its page, shared by every test that
    uses the page. Skipped with the one thing missing named (`make test` installs
    selenium and chromium), and under the sanitizers; ORV_REQUIRE_BROWSER=1 makes a
    skip a failure."""
    pytest.importorskip("websockets", reason="websockets is not installed (the test extra brings it)")
    from orvane_master.testing.browser import Relay
    from orvane_master.testing.browser.headless import HeadlessPage, missing

    reason = missing()
    if os.environ.get("ORV_SANITIZER"):  # tools/sanitized-pytest preloads the runtimes into every child
        reason = "chromium and chromedriver do not start with the sanitizer runtimes preloaded"
    if reason is not None:
        if os.environ.get("ORV_REQUIRE_BROWSER") == "1":
            pytest.fail(reason + ", and ORV_REQUIRE_BROWSER=1")
        pytest.skip(reason)
    relay = Relay().start()
    page = HeadlessPage(relay.url)
    try:
        relay.wait_page(1, timeout=60)
        page.wait_connected(60)
        yield BrowserSession(relay, page)
    finally:
        page.quit()
        relay.shutdown()


class BrowserSession:
    def __init__(self, relay, page):
        self.relay, self.page = relay, page

    def fresh_page(self):
        """Loads the page again: a new add-in with a new workbook and a new id base."""
        count = self.relay.page_connections
        self.page.reload()
        self.relay.wait_page(count + 1)
        self.page.wait_connected()


class RawKernel:
    """Requests as dicts over the relay's WebSocket, one at a time, answered by the
    page: `handle(request)` gives the response, as `SimulatedAddin.handle` does."""

    def __init__(self, session):
        self.session = session
        self.events = []
        self._connect()

    def _connect(self):
        from websockets.sync.client import connect

        self.ws = connect(f"ws://127.0.0.1:{self.session.relay.port}", compression=None, max_size=None)
        self.ws.__enter__()  # used as a context, as newer releases of websockets ask; left by close()

    def handle(self, request):
        import json

        self.ws.send(json.dumps(request))
        while True:
            message = json.loads(self.ws.recv(timeout=30))
            if message.get("type") == "excel_response":
                return message
            self.events.append(message)

    def reconnect(self):
        self.ws.close()
        self.session.relay.wait_kernels(0)
        self._connect()

    def another(self):
        """A second incarnation of the add-in."""
        self.ws.close()
        self.session.fresh_page()
        self._connect()
        return self

    def live_ids(self):
        return self.session.relay.page_state([])["liveIds"]

    def commits(self):
        return self.session.relay.page_state([])["commits"]

    def table(self, sheet="Sheet1"):
        from orvane_master.testing.browser import PageAddin

        return PageAddin(self.session.relay).table(sheet)


class LocalAddin:
    """The Python stand-in with the surface of RawKernel."""

    def __init__(self):
        from orvane_master.testing.addin import SimulatedAddin

        self.addin = SimulatedAddin()
        self.handle, self.reconnect, self.live_ids = self.addin.handle, self.addin.reconnect, self.addin.live_ids

    def another(self):
        return LocalAddin()

    def commits(self):
        return self.addin.transaction.commits

    def table(self, sheet="Sheet1"):
        return self.addin.workbook.worksheets.getItem(sheet).table()


ADDINS = ["python", "browser"]


@pytest.fixture(params=ADDINS)
def addin_kind(request):
    """Which add-in a scenario runs against: the Python stand-in ("python"), or the page
    in headless chromium ("browser", freshly loaded: a new workbook). Every add-in
    scenario goes through this one fixture, so that the two add-ins cannot drift apart."""
    if request.param == "python":
        return None
    session = request.getfixturevalue("browser")
    session.fresh_page()
    return session


@pytest.fixture
def addin(addin_kind):
    """One add-in, spoken to with request dicts: the Python stand-in, or the page."""
    if addin_kind is None:
        yield LocalAddin()
        return
    raw = RawKernel(addin_kind)
    yield raw
    raw.ws.close()
    addin_kind.relay.wait_kernels(0)


@pytest.fixture
def any_excel(proxylink, addin_kind):
    """The bridge connected to an add-in: the Python stand-in through the simulated
    kernel, or the page through a kernel over the relay. Both offer `transcript`,
    `kernel.wait_callbacks()`, `addin.live_ids()` and `table(sheet)`."""
    gc.collect()  # proxies left over by earlier tests are released before it connects
    if addin_kind is None:
        from orvane_master.testing.excel import SimulatedExcel

        with SimulatedExcel() as env:
            env.table = lambda sheet="Sheet1": env.workbook.worksheets.getItem(sheet).table()
            yield env
        return
    from orvane_master.testing.browser import BrowserExcel

    with BrowserExcel(addin_kind.relay) as env:
        env.table = env.addin.table
        yield env
    addin_kind.relay.wait_kernels(0)
