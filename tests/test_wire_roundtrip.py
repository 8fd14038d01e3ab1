"""Values sent to the add-in and read back: from_wire(json(to_wire(x)))."""
import datetime as dt
import itertools
import json
import os
import subprocess
import sys
import textwrap

import pytest

import hot_paths
from hypothesis import HealthCheck, given, settings, strategies as st

from gc_torture import examples

ids = itertools.count(100)


def as_from_addin(wire):
    """The add-in stores every array and dictionary under an object id."""
    if isinstance(wire, list):
        return [as_from_addin(e) for e in wire]
    if isinstance(wire, dict):
        out = {k: as_from_addin(v) for k, v in wire.items()}
        if wire.get("type") in ("Array", "Dict") and "isSpec" in wire:
            out["id"] = next(ids)
        return out
    return wire


def promised(value):
    """What the round trip promises to give back for `value`."""
    if isinstance(value, (list, tuple)):
        return [promised(e) for e in value]
    if isinstance(value, dict):
        return {k: promised(v) for k, v in value.items()}
    if isinstance(value, dt.datetime):
        return value.astimezone(dt.timezone.utc) if value.tzinfo else value
    if isinstance(value, dt.date):
        return dt.datetime(value.year, value.month, value.day)
    return value


def assert_same(got, want, proxylink):
    if isinstance(want, list):
        assert isinstance(got, proxylink.OfficeJsArray) and len(got) == len(want)
        for g, x in zip(got, want):
            assert_same(g, x, proxylink)
    elif isinstance(want, dict):
        assert isinstance(got, proxylink.OfficeJsDict) and list(got) == list(want)
        for k in want:
            assert_same(got[k], want[k], proxylink)
    else:
        assert type(got) is type(want) and got == want
        if isinstance(want, dt.datetime):
            assert got.utcoffset() == want.utcoffset()


offsets = st.integers(-23 * 60, 23 * 60).map(lambda m: dt.timezone(dt.timedelta(minutes=m)))
naive = st.datetimes(min_value=dt.datetime(2, 1, 1), max_value=dt.datetime(9998, 12, 31))
scalars = (
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text() | st.binary()
    | naive | naive.flatmap(lambda d: offsets.map(lambda tz: d.replace(tzinfo=tz))) | st.dates()
)
plain = st.recursive(
    scalars,
    lambda children: st.lists(children, max_size=5) | st.tuples(children, children)
    | st.dictionaries(st.text(max_size=8), children, max_size=5),
    max_leaves=30,
)


@settings(max_examples=examples(400), deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(value=plain)
def test_round_trip_through_json(proxylink, value):
    S = proxylink.Serializer
    text = json.dumps(S.to_wire(value))  # every wire value of plain data is JSON
    result = S.from_wire(as_from_addin(json.loads(text)))
    assert_same(result, promised(value), proxylink)


def test_legacy_objects_travel_through_the_legacy_module(tmp_path):
    """With `vornel` importable, its objects go out as "COM_Object" and come back through it."""
    script = tmp_path / "legacy.py"
    script.write_text(textwrap.dedent("""
        import json, sys, types
        vornel = types.ModuleType("orvane_master.python_server.orvane.vornel")

        class Handle:
            def __init__(self, name):
                self.name = name

        vornel.is_com_object = lambda obj: isinstance(obj, Handle)
        vornel.serialize_com_object = lambda obj: {"handle": obj.name}
        vornel.deserialize_com_object = lambda payload: Handle(payload["handle"] + "!")
        sys.modules[vornel.__name__] = vornel
        from orvane_master.python_server.orvane import proxylink
        S = proxylink.Serializer
        wire = json.loads(json.dumps(S.to_wire({"h": Handle("a"), "n": 1})))
        assert wire["value"]["h"] == {"type": "COM_Object", "value": {"handle": "a"}, "isSpec": False}, wire
        wire["id"] = 1
        back = S.from_wire(wire)
        assert type(back["h"]) is Handle and back["h"].name == "a!" and back["n"] == 1
        print("ok")
    """))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, env=env, timeout=120)
    assert done.stdout.strip() == "ok", done.stderr


@pytest.mark.skipif(hot_paths.CLASSES_IMMORTAL, reason=hot_paths.CLASSES_IMMORTAL_REASON)
def test_no_references_or_memory_are_left_behind(proxylink):
    import gc
    import tracemalloc

    import numpy as np
    import pandas as pd

    S = proxylink.Serializer
    key, text = "k" * 50, "t" * 50  # not interned: their reference counts are ours
    looped = [text]
    looped.append(looped)

    class Broken:
        def __str__(self):
            raise KeyError(key)

    frame = pd.DataFrame({"f": [1.5, np.nan], "s": [text, None], "t": pd.to_datetime(["2024-01-01", None])})
    values = [{key: [text, 1, 2.5, None, b"x", (dt.date(2024, 1, 1),)]}, frame, frame[["f"]]]
    bad_wires = [{"type": "Array", "id": 1, "value": [{"type": "String", "value": text}, {"type": "Int", "value": "x"}]},
                 {"type": "Dict", "id": 1, "value": {key: {"type": "Bytes", "value": "abc"}}},
                 {"type": "Array", "value": [text]}]

    def once():
        for value in values:
            S.from_wire(as_from_addin(S.to_wire(value)))
        for wire in bad_wires:
            with pytest.raises((TypeError, ValueError)):
                S.from_wire(wire)
        for value in [[text, Broken()], {key: looped}]:
            with pytest.raises((KeyError, RecursionError)):
                S.to_wire(value)

    once()
    gc.collect()
    counts = sys.getrefcount(key), sys.getrefcount(text)
    # Only what is allocated under this test's frames counts: threads that
    # earlier tests left behind allocate meanwhile.
    tracemalloc.start(64)
    mine = [tracemalloc.Filter(True, __file__, all_frames=True)]
    before = tracemalloc.take_snapshot().filter_traces(mine)
    for _ in range(30):
        once()
    gc.collect()
    after = tracemalloc.take_snapshot().filter_traces(mine)
    tracemalloc.stop()
    growth = sum(stat.size_diff for stat in after.compare_to(before, "filename"))
    assert (sys.getrefcount(key), sys.getrefcount(text)) == counts
    assert growth < 64 * 1024, growth


def test_each_replacement_and_its_undoing_show_at_the_next_value(proxylink):
    # The codec keeps what it learnt of the module's globals and of the Serializer
    # class until either changes: every change, and every undoing, must show at once.
    import types

    S = proxylink.Serializer
    to_wire, from_wire = S.to_wire, S.from_wire  # the module's own functions
    value = [1, dt.date(2024, 1, 2)]
    wire = as_from_addin(to_wire(value))
    mark = staticmethod(lambda v: "replaced")
    fake_dt = types.SimpleNamespace(datetime=dt.datetime, date=str, timezone=dt.timezone)
    replacements = {  # where, name, replacement, what encoding and decoding give then
        "Serializer.to_wire": (S, "to_wire", mark, (["replaced"] * 2, None)),
        "Serializer.from_wire": (S, "from_wire", mark, (None, ["replaced"] * 2)),
        "Serializer": (proxylink, "Serializer", type("S", (), {"to_wire": mark, "from_wire": mark}),
                       (["replaced"] * 2, ["replaced"] * 2)),
        "np": (proxylink, "np", types.SimpleNamespace(bool_=int, datetime64=str, floating=float),
               ([{"type": "Bool", "value": True, "isSpec": False}, None], None)),
        "dt": (proxylink, "dt", fake_dt, ([None, {"type": "String", "value": "2024-01-02", "isSpec": False}], None)),
    }
    expected = (to_wire(value)["value"], list(from_wire(wire)))
    for _ in range(2):
        for label, (where, name, replacement, changed) in replacements.items():
            saved = getattr(where, name) if where is proxylink else where.__dict__[name]
            setattr(where, name, replacement)
            try:
                got = (to_wire(value)["value"], list(from_wire(wire)))
            finally:
                setattr(where, name, saved)
            for now, before, then in zip(got, expected, changed):
                assert now == (before if then is None else [b if t is None else t for b, t in zip(before, then)]), label
            assert (to_wire(value)["value"], list(from_wire(wire))) == expected, label
