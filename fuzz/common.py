"""Shared pieces of the fuzz harnesses.

Each harness turns the fuzzer's bytes into structured input with a
FuzzedDataProvider, drives the public surface of a module and sorts what comes
out: the exception types that the interface documents (and the `Hostile`
exception that the harness's own hooks raise) are outcomes; anything else
escapes to the fuzzer as a fault. A SystemError is always a fault: it is also
what the interpreter raises when a C function returns a result with an
exception left set, or fails without setting one.
"""
import gc
import os
import sys

import atheris


class Hostile(Exception):
    """Raised by the harnesses' hooks; must reach the caller unchanged."""


class Fault(AssertionError):
    """A broken promise that raised nothing by itself."""


def check(exc, expected):
    """Re-raises `exc` unless its type is one of `expected`."""
    if isinstance(exc, SystemError) or not isinstance(exc, expected):
        raise exc


WORDS = [
    "Null", "Bool", "Int", "Float", "String", "Date", "Bytes", "Array", "Dict", "COM_Object",
    "Python_Function", "Range", "Excel", "RequestContext", "Function", "",
    "type", "value", "isSpec", "id", "requestId", "ok", "result", "error", "message", "kind",
    "2024-01-02T03:04:05+02:00", "2024-01-02", "2024-01-02T03:04:05.123456", "24:00", "Z",
    "QUJD", "QUJ", "=", "0", "-1", "1e309", "nan", "--index-url=x", " -r/etc/passwd", "pkg==1.0",
    "pkg[extra]", "wb1", "ide-1", "\x00", "\u20ac",
]


def text(fdp):
    if fdp.ConsumeBool():
        return fdp.PickValueInList(WORDS)
    return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 12))


def scalar(fdp):
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind == 0:
        return None
    if kind == 1:
        return fdp.ConsumeBool()
    if kind == 2:
        return fdp.ConsumeIntInRange(-8, 8)
    if kind == 3:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 20))
    if kind == 4:
        return fdp.ConsumeFloat()
    if kind == 5:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 8))
    return text(fdp)


def plain(fdp, depth):
    """A JSON-like value: scalars, lists and dictionaries."""
    if depth <= 0 or fdp.ConsumeIntInRange(0, 3):
        return scalar(fdp)
    n = fdp.ConsumeIntInRange(0, 4)
    if fdp.ConsumeBool():
        return [plain(fdp, depth - 1) for _ in range(n)]
    return {text(fdp): plain(fdp, depth - 1) for _ in range(n)}


# Leaves out the hooks that reach fault classes already known and being mended
# (collector walks from hooks, re-entry into the channel from inside its map
# operations), to look past them.
SKIP_KNOWN = os.environ.get("FUZZ_SKIP_KNOWN") == "1"


def walk_young(full=False):
    """What a profiler or leak finder does from inside a hook: reads every item
    of every list, tuple and dictionary that the collector tracks."""
    if SKIP_KNOWN:
        return
    for o in gc.get_objects() if full else gc.get_objects(generation=0):
        t = type(o)
        if t is list or t is tuple:
            for x in o:
                type(x)
        elif t is dict:
            for k, v in o.items():
                type(k), type(v)


# Hooks do nothing while the harness builds its input (a hooked key would
# fire when the harness puts it into a dict) or takes it apart.
ARMED = False


def arm(on=True):
    global ARMED
    ARMED = on


class Hooks:
    """A value whose every hook first does one hostile thing: nothing, raise,
    walk the collector's young objects, empty (or grow) a container the harness
    names, collect, or drop a container: the harness's list of them is let
    go of and the one named emptied, so that what only they held is freed
    whole. The container named is often the last one listed, which is
    typically the one the value was put in and is read from."""

    def setup(self, fdp, targets):
        self.action = fdp.ConsumeIntInRange(0, 6)
        self.targets = targets
        if not targets:
            self.target = None
        elif fdp.ConsumeBool():
            self.target = targets[-1]
        else:
            self.target = fdp.PickValueInList(targets)
        self.equal = fdp.ConsumeBool()
        # As a key, it may hash like a word the code looks up.
        self.hash = hash(fdp.PickValueInList(WORDS)) if fdp.ConsumeBool() else 1
        self.fired = 0

    # A hook fires its action this often at most, so that an input's time stays
    # bounded (a collection per element of a long container adds up under the sanitizers).
    MOST = 16

    def fire(self, finalising=False):
        if not ARMED:
            return
        self.fired += 1
        if self.fired > self.MOST:
            return
        action, target = self.action, self.target
        if action == 1 and not finalising:
            raise Hostile
        if action == 2:
            walk_young()
        elif action == 3 and target is not None:
            target.clear()
        elif action == 4 and target is not None:
            if isinstance(target, dict):
                target[len(target)] = None
            else:
                target.append(None)
        elif action == 5:
            gc.collect(0)
        elif action == 6 and target is not None:
            self.target = None
            self.targets.clear()
            target.clear()

    def __eq__(self, other):
        self.fire()
        return self.equal

    def __hash__(self):
        self.fire()
        return self.hash

    def __index__(self):
        self.fire()
        return 7

    __int__ = __index__

    def __float__(self):
        self.fire()
        return 1.5

    def __str__(self):
        self.fire()
        return "hook"

    def __bool__(self):
        self.fire()
        return self.equal

    def __len__(self):
        self.fire()
        return 2

    def __iter__(self):
        self.fire()
        return iter(("stdout", "hook"))

    def __del__(self):
        if sys.is_finalizing():
            return
        try:
            self.fire(finalising=True)
        except Exception:  # noqa: BLE001 - nothing may leave a finaliser
            pass


class Hook(Hooks):
    def __init__(self, fdp, targets):
        self.setup(fdp, targets)


class HookStr(Hooks, str):
    """A str (a request id, an output type, a tag) with the same hooks."""

    def __new__(cls, fdp, targets):
        return str.__new__(cls, text(fdp))

    def __init__(self, fdp, targets):
        self.setup(fdp, targets)


def hook(fdp, targets):
    return HookStr(fdp, targets) if fdp.ConsumeBool() else Hook(fdp, targets)


def answering(messaging):
    """A send handler that answers every request (the proxies' releases) at once."""
    def send(message):
        messaging.on_message({"requestId": message.get("requestId"), "ok": True, "result": {"type": "Null"}})
    return send


def run(one_input):
    """Starts the fuzzer with the arguments of the command line."""
    sys.setrecursionlimit(int(os.environ.get("FUZZ_RECURSION_LIMIT", "1000")))
    if os.environ.get("FUZZ_PYTHON_COVERAGE") == "1":
        atheris.instrument_all()
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()
