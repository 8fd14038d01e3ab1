"""Serializer.to_wire: Python values to wire values."""
import datetime as dt
import enum
import json
import types

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st


def w(tag, value, spec=False):
    return {"type": tag, "value": value, "isSpec": spec}


def arr(*items):
    return w("Array", list(items))


def table(*rows):
    return arr(*(arr(*row) for row in rows))


class Color(enum.IntEnum):
    RED = 1


class Text(str):
    pass


class Number(float):
    pass


UTC = dt.timezone.utc
PLUS2 = dt.timezone(dt.timedelta(hours=2))


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, w("Null", None)),
        (True, w("Bool", True)),
        (np.bool_(False), w("Bool", False)),
        (7, w("Int", 7)),
        (Color.RED, w("Int", 1)),
        (2.5, w("Float", 2.5)),
        (np.float64(1.5), w("Float", 1.5)),
        (Number(0.5), w("Float", 0.5)),
        ("x", w("String", "x")),
        (np.int64(12), w("String", "12")),
        ({1, 2}, w("String", "{1, 2}")),
        (np.array([1, 2]), w("String", "[1 2]")),
        (np.float32(1.5), w("String", "1.5")),
        (dt.datetime(2024, 5, 6, 12, 0, tzinfo=PLUS2), w("Date", "2024-05-06T10:00:00+00:00")),
        (dt.datetime(2024, 5, 6, 12, 0, 1, 5), w("Date", "2024-05-06T12:00:01.000005")),
        (dt.date(2024, 5, 6), w("Date", "2024-05-06")),
        (pd.Timestamp("2024-05-06 12:00", tz="Europe/Paris"), w("Date", "2024-05-06T10:00:00+00:00")),
        (pd.Timestamp("2024-05-06 12:00:00.000000001"), w("Date", "2024-05-06T12:00:00.000000001")),
        (pd.NaT, w("Date", "NaT")),
        (np.datetime64("2024-05-06T12:00:00.123456789"), w("Date", "2024-05-06T12:00:00.123456")),
        (np.datetime64("2024-05-06"), w("Date", "2024-05-06T00:00:00")),
        (np.datetime64("NaT", "ns"), w("Date", "NaT")),
        (b"", w("Bytes", "")),
        (b"\xff\x00a", w("Bytes", "/wBh")),
        (bytearray(b"hello"), w("Bytes", "aGVsbG8=")),
        (memoryview(b"hello")[::2], w("Bytes", "aGxv")),
        ((1, "a"), arr(w("Int", 1), w("String", "a"))),
        ({1: None, "k": [2.0]}, w("Dict", {1: w("Null", None), "k": arr(w("Float", 2.0))})),
        (pd.NA, w("Null", None)),
        (np.float32("nan"), w("Null", None)),
        (np.float16("nan"), w("Null", None)),
    ],
)
def test_tags(proxylink, value, expected):
    result = proxylink.Serializer.to_wire(value)
    assert result == expected
    assert list(result) == ["type", "value", "isSpec"]
    assert type(result["value"]) is type(expected["value"])


def test_nan_float_stays_a_float_and_str_subclasses_are_kept(proxylink):
    result = proxylink.Serializer.to_wire(float("nan"))
    assert result["type"] == "Float" and result["value"] != result["value"]
    text = Text("t")
    assert proxylink.Serializer.to_wire(text)["value"] is text


def test_numpy_datetime64_text_reads_back(proxylink):
    for value in [np.datetime64("2024-05-06T12:00:00.5", "ns"), np.datetime64("2024-05", "M"),
                  np.datetime64(1, "s"), np.datetime64("1900-01-01T00:00:00.000001")]:
        text = proxylink.Serializer.to_wire(value)["value"]
        assert dt.datetime.fromisoformat(text) == value.astype("datetime64[us]").item()


def date_wire(stamp):
    """What to_wire makes of a datetime: aware ones moved to UTC, then isoformat()."""
    return w("Date", (stamp.astimezone(dt.timezone.utc) if stamp.tzinfo else stamp).isoformat())


@given(st.integers(-2**62, 2**62), st.sampled_from(["s", "ms", "us", "ns"]), st.sampled_from([None, "UTC", "Asia/Kolkata"]))
@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
def test_timestamps_read_as_their_isoformat_alone_and_in_frames(proxylink, ticks, unit, tz):
    try:
        stamp = pd.Timestamp(np.datetime64(ticks, unit))
        stamp = stamp.tz_localize(tz) if tz else stamp
        frame = pd.DataFrame({"t": [stamp], "n": [1]})
        cell = frame.values[0, 0]
        expected = date_wire(stamp), date_wire(cell)
    except Exception:  # a moment pandas or datetime cannot hold, or a time the zone skips
        return
    assert proxylink.Serializer.to_wire(stamp) == expected[0]
    assert proxylink.Serializer.to_wire(frame) == table([w("String", "t"), w("String", "n")], [expected[1], w("Int", 1)])


def test_proxies_callables_and_containers(proxylink):
    S = proxylink.Serializer
    assert S.to_wire(proxylink.Excel) == w("Excel", 1, True)
    array = proxylink.OfficeJsArray(12)
    array.extend([1, 2])
    assert S.to_wire(array) == arr(w("Int", 1), w("Int", 2))
    mapping = proxylink.OfficeJsDict(13)
    mapping.update(a=1)
    assert S.to_wire(mapping) == w("Dict", {"a": w("Int", 1)})

    def callback():
        pass

    first, second, cls = S.to_wire(callback), S.to_wire(callback), S.to_wire(int)
    assert first["type"] == second["type"] == cls["type"] == "Python_Function"
    assert first["isSpec"] is True and first["value"] != second["value"]
    assert proxylink.messaging.get_callable(first["value"]) is callback
    assert proxylink.messaging.get_callable(cls["value"]) is int


def test_encoding_sends_nothing_for_proxies(proxylink, responder):
    r = responder(lambda request: {"requestId": request["requestId"], "ok": True, "result": {}})
    proxy = proxylink.Serializer.from_wire({"type": "Range", "value": 5, "isSpec": True})
    assert proxylink.Serializer.to_wire([proxy, pd.NA, proxylink.Excel]) == arr(
        w("Range", 5, True), w("Null", None), w("Excel", 1, True))
    assert r.requests == []


def test_errors_propagate_and_earlier_registrations_stay(proxylink):
    class Broken:
        def __str__(self):
            raise ZeroDivisionError("no text")

    def callback():
        pass

    registry = proxylink.messaging._callable_registry
    with pytest.raises(ZeroDivisionError, match="no text"):
        proxylink.Serializer.to_wire([callback, Broken()])
    assert list(registry.values()) == [callback]


def test_containers_changed_while_encoded_are_read_as_an_iterator_would(proxylink):
    class Changer:
        def __init__(self, change):
            self.change = change

        def __str__(self):
            self.change()
            return "c"

    def drop_last_two(items):
        del items[-2:]

    shrinking = [1, 2, 3]
    shrinking.insert(0, Changer(lambda: drop_last_two(shrinking)))
    growing = [1]
    growing.insert(0, Changer(lambda: growing.append(2)))

    S = proxylink.Serializer
    assert S.to_wire(shrinking) == arr(w("String", "c"), w("Int", 1))
    assert S.to_wire(growing) == arr(w("String", "c"), w("Int", 1), w("Int", 2))
    changing = {"a": None}
    changing["a"] = Changer(lambda: changing.update(b=1))
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        S.to_wire(changing)


def test_signature_and_docstrings(proxylink):
    S = proxylink.Serializer
    assert S.__doc__ == "Handles marshaling of data types between Python and JavaScript."
    assert S.to_wire.__doc__.startswith("to_wire(value: Any) -> Dict[str, Any]\n")
    assert "Serialize a Python value to wire format for transmission." in S.to_wire.__doc__
    assert S.from_wire.__doc__.startswith("from_wire(wire: Dict[str, Any]) -> Any\n")
    assert S.to_wire(value=1) == w("Int", 1)
    for args in [(), (1, 2)]:
        with pytest.raises(TypeError, match="to_wire"):
            S.to_wire(*args)


# Tables: an "Array" of rows, labels first; the index is not sent.

def test_pandas_mixed_frame(proxylink):
    stamp = pd.Timestamp("2024-01-02 03:04:05")
    aware = pd.Timestamp("2024-01-02 12:00", tz="Asia/Tokyo")
    index = ["r1", "r2"]  # not sent
    text = pd.Series(["x", None], index=index, dtype=object)  # None stays None
    frame = pd.DataFrame(
        {"f": [1.5, np.nan], "i": [1, 2], "b": [True, False], "s": text, "t": [stamp, pd.NaT], "z": [aware, aware]},
        index=index,
    )
    expected = table(
        [w("String", c) for c in "fibstz"],
        [w("Float", 1.5), w("Int", 1), w("Bool", True), w("String", "x"), w("Date", "2024-01-02T03:04:05"),
         w("Date", "2024-01-02T03:00:00+00:00")],
        [w("Float", float("nan")), w("Int", 2), w("Bool", False), w("Null", None), w("Date", "NaT"),
         w("Date", "2024-01-02T03:00:00+00:00")],
    )
    # repr compares NaN cells and key orders too
    assert repr(proxylink.Serializer.to_wire(frame)) == repr(expected)


@pytest.mark.parametrize(
    "frame, expected",
    [
        (pd.DataFrame(), table([])),
        (pd.DataFrame(columns=["a", "b"]), table([w("String", "a"), w("String", "b")])),
        (pd.DataFrame({"a": [1, 2]}, index=[10, 5]), table([w("String", "a")], [w("Int", 1)], [w("Int", 2)])),
        (pd.DataFrame({"a": [1.0], "b": [2.0]}), table([w("String", "a"), w("String", "b")],
                                                      [w("Float", 1.0), w("Float", 2.0)])),
        (pd.DataFrame({0: [True]}), table([w("Int", 0)], [w("Bool", True)])),
        (pd.Series([1, 2], name="s"), table([w("String", "s")], [w("Int", 1)], [w("Int", 2)])),
        (pd.Series(["x"]), table([w("Int", 0)], [w("String", "x")])),
        # datetime64 columns give Timestamps, never integer nanoseconds
        (pd.DataFrame({"t": pd.to_datetime(["2024-01-01", None])}),
         table([w("String", "t")], [w("Date", "2024-01-01T00:00:00")], [w("Date", "NaT")])),
        (pd.Series(pd.to_datetime(["2024-01-01 10:00"]), name="d"),
         table([w("String", "d")], [w("Date", "2024-01-01T10:00:00")])),
    ],
)
def test_pandas_table_shapes(proxylink, frame, expected):
    assert proxylink.Serializer.to_wire(frame) == expected


@pytest.mark.parametrize("dtype", ["float64", "float32", "float16", "int8", "int16", "int32", "int64", "uint8",
                                   "uint64", "bool", "complex128", ">f8", "object", "timedelta64[ns]"])
@pytest.mark.parametrize("order", ["C", "F"])
def test_tables_match_their_rows(proxylink, dtype, order):
    """Whatever the frame's array, the table is the wire value of its rows."""
    data = np.array([[0, 1, 2], [255, 3, 1], [7, 0, 0], [1, 1, 1]]).astype(dtype)
    if dtype.startswith("float"):
        data[1, 1] = np.nan
    if dtype == "uint64":
        data[0, 0] = np.iinfo(np.uint64).max
    if dtype == "int8":
        data[0, 0] = -128
    if dtype == "object":
        data[1] = [None, "s", 2.5]
    frame = pd.DataFrame(np.asarray(data, order=order), columns=["a", 2, None])
    rows = [frame.columns.tolist()] + [row.tolist() for row in frame.values]
    S = proxylink.Serializer
    assert repr(S.to_wire(frame)) == repr(S.to_wire(rows))
    assert repr(S.to_wire(frame.iloc[::-2, ::-1])) == repr(S.to_wire(
        [frame.columns[::-1].tolist()] + [row.tolist() for row in frame.values[::-2, ::-1]]))


def recording_to_wire(serializer):
    """A stand-in for Serializer.to_wire that records its arguments and encodes as the original."""
    original, seen = serializer.to_wire, []

    def recording(value):
        seen.append(value)
        return original(value)

    return staticmethod(recording), seen


def test_a_cell_that_replaces_the_serializer_hands_the_next_rows_to_it(proxylink, monkeypatch):
    S = proxylink.Serializer
    recording, seen = recording_to_wire(S)

    class Switch:
        def __str__(self):
            monkeypatch.setattr(S, "to_wire", recording)
            return "switch"

    frame = pd.DataFrame({"a": [Switch(), 1.5, "x"]})
    assert S.to_wire(frame) == table([w("String", "a")], [w("String", "switch")], [w("Float", 1.5)],
                                     [w("String", "x")])
    assert seen == [[1.5], 1.5, ["x"], "x"]


def test_polars_tables(proxylink):
    pl = pytest.importorskip("polars")
    frame = pl.DataFrame({"a": [1, None], "b": ["x", "y"], "c": [1.5, None],
                          "d": [dt.datetime(2024, 1, 1, 12, tzinfo=PLUS2), None], "e": [dt.date(2024, 1, 2), None]})
    assert proxylink.Serializer.to_wire(frame) == table(
        [w("String", c) for c in "abcde"],
        [w("Int", 1), w("String", "x"), w("Float", 1.5), w("Date", "2024-01-01T10:00:00+00:00"),
         w("Date", "2024-01-02")],
        [w("Null", None), w("String", "y"), w("Null", None), w("Null", None), w("Null", None)],
    )
    assert proxylink.Serializer.to_wire(pl.Series("s", [True])) == table([w("String", "s")], [w("Bool", True)])
    assert proxylink.Serializer.to_wire(pl.DataFrame()) == table([])


def test_plain_data_survives_json(proxylink):
    value = {"a": [1, 2.5, None, True, "s", b"by", (dt.datetime(2024, 1, 1), dt.date(2024, 1, 1))],
             "frame": pd.DataFrame({"x": [1.0, np.nan], "y": ["a", None]})}
    json.dumps(proxylink.Serializer.to_wire(value))


# The hooks and globals are read at each call.

def test_legacy_hooks(proxylink, monkeypatch):
    S = proxylink.Serializer
    seen = []

    def is_com_object(value):
        seen.append(value)
        return isinstance(value, complex)

    monkeypatch.setattr(proxylink, "is_com_object", is_com_object, raising=False)
    monkeypatch.setattr(proxylink, "serialize_com_object", lambda value: {"re": value.real})
    assert S.to_wire(1j) == w("String", "1j")  # _HAS_COM is false: not consulted
    assert seen == []
    monkeypatch.setattr(proxylink, "_HAS_COM", True)
    assert S.to_wire(2 + 1j) == w("COM_Object", {"re": 2.0})
    assert S.to_wire(proxylink.Excel) == w("Excel", 1, True)
    S.to_wire(len)
    assert seen[1:] == [proxylink.Excel, len]  # consulted for proxies and callables too
    assert S.to_wire(1) == w("Int", 1) and len(seen) == 3  # numbers come before legacy objects


def test_replaced_globals_take_effect(proxylink, monkeypatch):
    S = proxylink.Serializer
    monkeypatch.setattr(proxylink, "np", types.SimpleNamespace(bool_=int, datetime64=np.datetime64, floating=float))
    assert S.to_wire(3) == w("Bool", True)
    monkeypatch.undo()
    monkeypatch.setattr(proxylink, "messaging", types.SimpleNamespace(register_callable=lambda f: "id-1"))
    assert S.to_wire(print) == w("Python_Function", "id-1", True)
    monkeypatch.setattr(proxylink, "base64", types.SimpleNamespace(b64encode=lambda b: b"B64:" + b))
    assert S.to_wire(b"x") == w("Bytes", "B64:x")
    plus1 = dt.timezone(dt.timedelta(hours=1))
    monkeypatch.setattr(proxylink, "dt", types.SimpleNamespace(
        datetime=dt.datetime, date=dt.date, timezone=types.SimpleNamespace(utc=plus1)))
    assert S.to_wire(dt.datetime(2024, 1, 1, tzinfo=UTC)) == w("Date", "2024-01-01T01:00:00+01:00")


def test_replaced_serializer_sees_every_element_and_cell(proxylink, monkeypatch):
    S = proxylink.Serializer
    recording, seen = recording_to_wire(S)
    monkeypatch.setattr(S, "to_wire", recording)
    S.to_wire(pd.DataFrame({"a": [1.5, 2.5]}))
    assert seen[0].__class__ is pd.DataFrame
    assert seen[1:] == [[["a"], [1.5], [2.5]], ["a"], "a", [1.5], 1.5, [2.5], 2.5]


def test_self_containing_and_deep_values_raise_recursion_error(proxylink):
    looped_list, looped_dict = [], {}
    looped_list.append(looped_list)
    looped_dict["x"] = looped_dict
    deep = None
    for _ in range(100_000):
        deep = (deep,)
    for value in [looped_list, looped_dict, deep]:
        with pytest.raises(RecursionError):
            proxylink.Serializer.to_wire(value)
