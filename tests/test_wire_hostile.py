"""The codec under hostile values: hooks that walk the collector's objects,
hooks that change what is being encoded, and nesting far beyond the
recursion limit. A crash must fail one test, so every case runs in a
subprocess of its own interpreter."""
import os
import subprocess
import sys
import textwrap

import pytest

PKG = "orvane_master.python_server.orvane"

# Loaded before each script: the bridge module with a legacy COM module whose
# functions are hooks, a channel answered at once, and `walk()`, which touches
# every list, tuple and dict the collector lists, as a leak finder would.
PRELUDE = f"""
import datetime as dt, gc, sys, threading, types
import numpy as np, pandas as pd
import {PKG} as package

armed = set()

def walk():
    for o in gc.get_objects():
        if isinstance(o, (list, tuple, dict)):
            len(o)
            for _ in (o.items() if isinstance(o, dict) else o):
                pass

def hook(name, result=None):
    def run(*args):
        if name in armed:
            walk()
        return result
    return run

vornel = types.ModuleType("{PKG}.vornel")
vornel.is_com_object = hook("is_com_object", False)
vornel.serialize_com_object = hook("serialize_com_object")
vornel.deserialize_com_object = hook("deserialize_com_object", "com")
sys.modules[vornel.__name__] = vornel
from {PKG} import proxylink as P
S, m = P.Serializer, P.messaging
m.set_send_handler(lambda q: m.on_message({{"requestId": q["requestId"], "ok": True, "result": None}}))
gc.freeze()  # the walks skip what the imports made, and so take milliseconds
"""


def run_script(body, timeout=240):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body)], capture_output=True, text=True,
                          env=env, timeout=timeout)


# ---- hooks that walk the collector's objects ------------------------------------------

# Each entry makes a value whose encoding (or a wire value whose decoding)
# calls the named hook, which then walks the collector's objects. The value
# is encoded inside lists, tuples, dicts and frame cells, so that the
# containers the codec is building are around whenever the hook runs.
HALF_BUILT = """
try:
    import polars as pl
except ImportError:
    pl = None
def walking(base, *methods):
    def make(name):
        def method(self, *args, **kwargs):
            walk()
            return getattr(super(cls, self), name)(*args, **kwargs)
        return method
    cls = type("Walking" + base.__name__, (base,), {name: make(name) for name in methods})
    return cls

class Opaque:
    def __str__(self):
        walk()
        return "opaque"

class Key:
    def __hash__(self):
        walk()
        return 1

class Bytes(bytes):
    def __bytes__(self):
        walk()
        return b"ab"

class Callable:
    def __call__(self):
        pass

class Tag(str):
    __hash__ = str.__hash__
    def __eq__(self, other):
        walk()
        return str.__eq__(self, other)

class Number:
    def __index__(self):
        walk()
        return 3
    __int__ = __index__
    def __float__(self):
        walk()
        return 1.5

def wire(tag, value, **extra):
    return {"type": tag, "value": value, "isSpec": False, **extra}

def patched(target, name, value):
    def apply():
        setattr(target, name, value)
    return apply

own_to_wire, own_from_wire = S.__dict__["to_wire"], S.__dict__["from_wire"]
def through(fn):
    return staticmethod(lambda v: (walk(), fn(v))[1])
to_wire, from_wire = S.to_wire, S.from_wire
channel = types.SimpleNamespace(register_callable=hook("register_callable", "cb-1"),
                                get_callable=hook("get_callable"), _guid=m._guid)

encode = {
    "__str__": lambda: Opaque(),
    "__hash__ of a key": lambda: {Key(): 1},
    "__float__": lambda: walking(float, "__float__")(2.5),
    "__int__": lambda: walking(int, "__int__")(7),
    "__bytes__": lambda: Bytes(),
    "isoformat": lambda: walking(dt.date, "isoformat")(2024, 1, 2),
    "astimezone": lambda: walking(dt.datetime, "astimezone")(2024, 1, 2, tzinfo=dt.timezone.utc),
    "is_com_object": lambda: Opaque(),
    "register_callable": lambda: Callable(),
    "Series.to_frame": lambda: walking(pd.Series, "to_frame")([1.5, Opaque()]),
    "DataFrame.astype": lambda: walking(pd.DataFrame, "astype")({"t": pd.to_datetime(["2024-01-02"])}),
    "Serializer.to_wire": lambda: [1.5, "x"],
}
setup = {
    "is_com_object": [patched(P, "_HAS_COM", True)],
    "register_callable": [patched(P, "messaging", channel)],
    "Serializer.to_wire": [patched(S, "to_wire", through(to_wire))],
}
if pl is not None:
    encode["polars DataFrame.rows"] = lambda: walking(pl.DataFrame, "rows")({"a": [1, 2]})
    encode["polars Series.to_frame"] = lambda: walking(pl.Series, "to_frame")("s", [1, 2])

null = wire("Null", None)
decode = {
    "tag __eq__": lambda: wire(Tag("Int"), 4),
    "Int __int__": lambda: wire("Int", Number()),
    "Float __float__": lambda: wire("Float", Number()),
    "String __str__": lambda: wire("String", Opaque()),
    "reference id __index__": lambda: {"type": "Range", "value": Number(), "isSpec": True},
    "OfficeJsArray()": lambda: wire("Array", [null], id=5),
    "OfficeJsDict.update": lambda: wire("Dict", {"k": null}, id=6),
    "deserialize_com_object": lambda: wire("COM_Object", "c"),
    "get_callable": lambda: wire("Python_Function", "cb-1"),
    "Serializer.from_wire": lambda: null,
}
setup.update({
    "OfficeJsArray()": [patched(P, "OfficeJsArray", walking(P.OfficeJsArray, "__init__", "extend"))],
    "OfficeJsDict.update": [patched(P, "OfficeJsDict", walking(P.OfficeJsDict, "__init__", "update"))],
    "deserialize_com_object": [patched(P, "_HAS_COM", True)],
    "get_callable": [patched(P, "messaging", channel)],
    "Serializer.from_wire": [patched(S, "from_wire", through(from_wire))],
})

def in_containers(v):
    cells = np.empty((2, 2), dtype=object)
    cells[:] = [[v, 1], ["x", v]]
    return [[0, v, 0], (0, v, 0), {"a": 0, "b": v}, [[v]], pd.DataFrame(cells)]

def in_wire_containers(w):
    return [wire("Array", [null, w, null], id=1), wire("Array", [wire("Dict", {"a": w}, id=2)], id=3),
            wire("Array", [wire("Array", [w], id=4)], id=5)]

saved_module = {name: getattr(P, name) for name in ("_HAS_COM", "messaging", "OfficeJsArray", "OfficeJsDict")}
for table, convert, embed in [(encode, S.to_wire, in_containers), (decode, S.from_wire, in_wire_containers)]:
    for name, make in table.items():
        print("start", name, flush=True)
        for apply in setup.get(name, []):
            apply()
        armed.add(name)
        for value in embed(make()):
            convert(value)
        armed.clear()
        vars(P).update(saved_module)
        S.to_wire, S.from_wire = own_to_wire, own_from_wire
        print("ok", name, flush=True)
print("done")
"""


def test_hooks_walking_the_collector_never_see_a_half_built_container():
    done = run_script(HALF_BUILT)
    started = [line.split(" ", 1)[1] for line in done.stdout.splitlines() if line.startswith("start ")]
    assert done.returncode == 0 and done.stdout.endswith("done\n"), (
        f"crashed in hook {started[-1:]}, exit {done.returncode}\n{done.stderr[-3000:]}")
    assert len(started) >= 20


# ---- hooks that change what is being encoded -----------------------------------------

MUTATING = """
class Hook:
    def __init__(self, act):
        self.act = act
    def __str__(self):
        self.act()
        return "h"
    def __hash__(self):
        self.act()
        return 1

class Tag(str):
    __hash__ = str.__hash__
    def __init__(self, act):
        self.act = act
    def __new__(cls, act):
        return str.__new__(cls, "Int")
    def __eq__(self, other):
        self.act()
        return str.__eq__(self, other)

def outcome(value, convert=S.to_wire):
    try:
        convert(value)
        return "ok"
    except RuntimeError as e:
        return "RuntimeError" if "changed size during iteration" in str(e) else repr(e)
    except Exception as e:
        return type(e).__name__

seq = []
def in_list(act):
    seq[:] = [0, Hook(act), 0, Hook(act), 0]
    return seq

d = {}
def in_dict(act, as_key=False):
    d.clear()
    d.update({"a": 0, Hook(act): 1} if as_key else {"a": 0, "b": Hook(act), "c": 0})
    return d

frame = None
def in_frame(act):
    global frame
    cells = np.empty((3, 2), dtype=object)
    cells[:] = [[Hook(act), 1], ["x", Hook(act)], [Hook(act), Hook(act)]]
    frame = pd.DataFrame(cells)
    return frame

payload = []
def in_wire(act, as_dict=False):
    global payload
    items = [{"type": "Int", "value": 1}, {"type": Tag(act), "value": 2}, {"type": "Int", "value": 3}]
    payload = dict(enumerate(items)) if as_dict else items
    return {"type": "Dict" if as_dict else "Array", "value": payload, "id": 9}, S.from_wire

def grow():
    seq.extend(range(50))

cases = {
    "list cleared": lambda: in_list(seq.clear),
    "list grown": lambda: in_list(grow),
    "list shrunk then grown": lambda: in_list(lambda: seq.__setitem__(slice(None), [1] * (len(seq) % 7))),
    "dict value adds a key": lambda: in_dict(lambda: d.__setitem__(len(d), 0)),
    "dict value clears it": lambda: in_dict(d.clear),
    "dict key adds a key": lambda: in_dict(lambda: d.__setitem__(len(d), 0), as_key=True),
    "wire array cleared": lambda: in_wire(lambda: payload.clear()),
    "wire dict gains a key": lambda: in_wire(lambda: payload.setdefault(len(payload), 0), as_dict=True),
    "frame cells overwritten": lambda: in_frame(lambda: frame.iloc.__setitem__((slice(None), slice(None)), None)),
    "frame column dropped": lambda: in_frame(lambda: frame.drop(columns=frame.columns[:1], inplace=True)),
    "frame column added": lambda: in_frame(lambda: frame.insert(len(frame.columns), f"c{len(frame.columns)}", 0)),
    "frame rows dropped": lambda: in_frame(lambda: frame.drop(index=frame.index[:1], inplace=True)),
}
for name, make in cases.items():
    print("start", name, flush=True)
    value = make()
    print(name, "=", outcome(*value) if isinstance(value, tuple) else outcome(value), flush=True)
print("done")
"""


def test_hooks_changing_the_value_being_encoded_give_a_result_or_a_clear_error():
    done = run_script(MUTATING)
    assert done.returncode == 0 and done.stdout.endswith("done\n"), (done.stdout[-300:], done.stderr[-3000:])
    outcomes = dict(line.split(" = ") for line in done.stdout.splitlines() if " = " in line)
    for name, result in outcomes.items():
        expected = {"RuntimeError"} if "dict" in name else {"ok"}
        assert result in expected, (name, result)


# ---- nesting far beyond the recursion limit -------------------------------------------

DEEP = """
N = 100_000

def nest(wrap, leaf, depth=N):
    for _ in range(depth):
        leaf = wrap(leaf)
    return leaf

def wire(tag, value):
    return {"type": tag, "value": value, "isSpec": False, "id": 1}

class Encodes:
    def __init__(self, inner):
        self.inner = inner
    def __str__(self):
        return str(S.to_wire(self.inner))

class Decodes(str):
    __hash__ = str.__hash__
    def __new__(cls, inner):
        self = str.__new__(cls, "Int")
        self.inner = inner
        return self
    def __eq__(self, other):
        return S.from_wire(self.inner) is None

def proxies(link):
    head = None
    for i in range(10_000):  # each with a class of its own: slow to make
        head = link(head, i)
    return [head]

def object_link(inner, i):
    proxy = P.OfficeJsObject(100 + i, "Range")
    vars(proxy)["inner"] = inner
    return proxy

def array_link(inner, i):
    proxy = P.OfficeJsArray(100 + i)
    proxy.append(inner)
    return proxy

def released_by_the_handler():
    held = {i: P.OfficeJsObject(i, "Range") for i in range(100, 10_100)}
    def drop_next(q):
        if q["method"] == "DEL":
            held.pop(q["caller"] + 1, None)
        m.on_message({"requestId": q["requestId"], "ok": True, "result": None})
    m.set_send_handler(drop_next)
    return lambda: held.__delitem__(100)

# Each makes the nest and returns what walks it.
cases = {
    "decode nested Array": lambda: lambda w=nest(lambda w: wire("Array", [w]), wire("Null", None)): S.from_wire(w),
    "decode nested Dict": lambda: lambda w=nest(lambda w: wire("Dict", {"k": w}), wire("Null", None)): S.from_wire(w),
    "encode nested list": lambda: lambda v=nest(lambda v: [v], None): S.to_wire(v),
    "encode nested dict": lambda: lambda v=nest(lambda v: {"k": v}, None): S.to_wire(v),
    "encode nested tuple": lambda: lambda v=nest(lambda v: (v,), None): S.to_wire(v),
    "encode through __str__": lambda: lambda v=nest(Encodes, None): S.to_wire(v),
    "decode through tag __eq__": lambda: lambda w=nest(lambda w: {"type": Decodes(w)}, wire("Null", None)): S.from_wire(w),
    "encode through a proxy write": lambda: lambda v=nest(Encodes, None): setattr(P.Excel, "x", v),
    "release a chain of proxies": lambda: lambda held=proxies(object_link): held.clear(),
    "release a chain of arrays": lambda: lambda held=proxies(array_link): held.clear(),
    "releases that release the next": released_by_the_handler,
}

def run(walk_it):
    try:
        walk_it()
        print("ok", flush=True)
    except RecursionError:
        print("RecursionError", flush=True)

run(cases[CASE]())
# Again on a small stack with the interpreter's limit raised far beyond it.
# The nest is made and freed on the main thread: freeing a deep chain of
# objects on a small stack crashes 3.13 by itself.
sys.setrecursionlimit(10**6)
threading.stack_size(1 << 20)
walk_it = cases[CASE]()
thread = threading.Thread(target=run, args=(walk_it,))
thread.start()
thread.join()
"""

DEEP_CASES = ["decode nested Array", "decode nested Dict", "encode nested list", "encode nested dict",
              "encode nested tuple", "encode through __str__", "decode through tag __eq__",
              "encode through a proxy write", "release a chain of proxies", "release a chain of arrays",
              "releases that release the next"]


@pytest.mark.parametrize("case", DEEP_CASES)
def test_deep_structures_end_in_a_result_or_recursion_error(case):
    done = run_script(f"CASE = {case!r}\n" + textwrap.dedent(DEEP))
    assert done.returncode == 0, done.stderr[-3000:]
    assert len(done.stdout.split()) == 2 and set(done.stdout.split()) <= {"ok", "RecursionError"}, done.stdout


# ---- hooks that drop the container their value was read from ------------------------------

DROPPING = """
import datetime as dt
import numpy as np, pandas as pd
from orvane_master.python_server.orvane import proxylink as P

S = P.Serializer

class Zone(dt.tzinfo):
    def utcoffset(self, when):
        return dt.timedelta(hours=1)

# By hook: a value whose encoding runs it.
ENCODED = {
    "__str__": lambda fire: hostile(object, ["__str__"], fire),
    "__int__": lambda fire: hostile(int, ["__int__", "__index__"], fire, 3),
    "__float__": lambda fire: hostile(float, ["__float__"], fire, 2.5),
    "__bool__": lambda fire: dt.datetime(2024, 1, 2, tzinfo=hostile(Zone, ["__bool__"], fire)),
    "__iter__": lambda fire: hostile(list, ["__iter__"], fire, [1, "x"]),
}
# By hook: a wire value whose decoding runs it.
DECODED = {
    "__eq__": lambda fire: {"type": hostile(str, ["__eq__"], fire, "Int"), "value": 4},
    "__int__": lambda fire: {"type": "Int", "value": hostile(object, ["__int__", "__index__"], fire)},
    "__float__": lambda fire: {"type": "Float", "value": hostile(object, ["__float__"], fire)},
    "__str__": lambda fire: {"type": "String", "value": hostile(object, ["__str__"], fire)},
    "__bool__": lambda fire: {"type": "Bool", "value": hostile(object, ["__bool__"], fire)},
    "isSpec __bool__": lambda fire: {"type": "Range", "value": 3, "isSpec": hostile(object, ["__bool__"], fire)},
    "__len__": lambda fire: {"type": "Array", "value": hostile(list, ["__len__"], fire, [{"type": "Null"}]), "id": 1},
    "__iter__": lambda fire: {"type": "Array", "value": hostile(list, ["__iter__"], fire, [{"type": "Null"}]), "id": 1},
    "items": lambda fire: {"type": "Dict", "value": hostile(dict, ["items"], fire, {"k": {"type": "Null"}}), "id": 1},
}

def frame_of(v):
    cells = np.empty((2, 2), dtype=object)
    cells[:] = [[v, 1], ["x", v]]
    frame = pd.DataFrame(cells)
    return frame, lambda: frame.iloc.__setitem__((slice(None), slice(None)), None)

# By container: the leaf holding `v`. Each sits in a list inside the list
# handed over; the frame's cells are emptied by overwriting them.
def leaves(v):
    array = P.OfficeJsArray(8)
    array.extend([0, v, 0])
    yield "list", [0, v, 0], None
    yield "dict value", {"a": 0, "b": v, "c": 0}, None
    yield "OfficeJsArray", array, None
    yield "tuple", (0, v, 0), None
    yield "frame cell", *frame_of(v)

def keyed(fire):
    yield "__hash__", {"a": 0, hostile(object, ["__hash__"], fire): 1}
    yield "__eq__", {"a": 0, hostile(str, ["__eq__"], fire, "x", like="k"): 1, hostile(str, ["__eq__"], fire, "y", like="k"): 2}

def encode(make_leaf, act):
    links = Links(act)
    leaf, empty = make_leaf(links.fire)
    root = [[leaf]]
    links.extend([root] + ([empty] if empty else []))
    del leaf, empty
    S.to_wire(root)
    return "ok"

def decode(make_wire, where, act):
    links = Links(act)
    w = make_wire(links.fire)
    payload = {"alone": None, "in Array": [w], "in Dict": {"k": w}}[where]
    root = w if payload is None else {"type": "Array" if where == "in Array" else "Dict", "value": payload, "id": 2}
    links.append(root)
    del w, payload
    S.from_wire(root)
    return "ok"

for act in ACTS:
    for hook, make in ENCODED.items():
        for where in ["list", "tuple", "dict value", "OfficeJsArray", "frame cell"]:
            def make_leaf(fire, hook=hook, where=where):
                return next((leaf, empty) for name, leaf, empty in leaves(make(fire)) if name == where)
            case("encode %s in %s, %s" % (hook, where, act), lambda: encode(make_leaf, act))
    for hook in ["__hash__", "__eq__"]:
        case("encode %s of a dict key, %s" % (hook, act), lambda: encode(lambda fire: (dict(keyed(fire))[hook], None), act))
    for hook, make in DECODED.items():
        for where in ["alone", "in Array", "in Dict"]:
            case("decode %s %s, %s" % (hook, where, act), lambda: decode(make, where, act))
"""


def test_hooks_dropping_the_container_they_were_read_from():
    # Every hook the codec runs empties the containers above its value (the
    # leaf, the list holding it, the list handed over), so that whatever the
    # codec read from them is freed unless it owns it; or it drops the inner
    # ones whole. The outcome is that of the same walk in Python: an emptied
    # list stops where it now ends, an emptied dictionary raises for its
    # change of size, what was dropped whole is read as it was.
    from dropping import run

    outcomes = run(DROPPING)
    assert len(outcomes) == 2 * (5 * 5 + 2 + 9 * 3)
    for name, outcome in outcomes.items():
        dict_changed = ("dict" in name or "in Dict" in name) and name.endswith("empty")
        expected = "RuntimeError: dictionary changed size during iteration" if dict_changed else "ok"
        assert outcome == expected, (name, outcome)
