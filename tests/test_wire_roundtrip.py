"""Values sent to the add-in and read back: from_wire(json(to_wire(x)))."""
import datetime as dt
import itertools
import json

from hypothesis import HealthCheck, given, settings, strategies as st

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


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(value=plain)
def test_round_trip_through_json(proxylink, value):
    S = proxylink.Serializer
    text = json.dumps(S.to_wire(value))  # every wire value of plain data is JSON
    result = S.from_wire(as_from_addin(json.loads(text)))
    assert_same(result, promised(value), proxylink)
