"""Serializer.from_wire: wire values from the add-in back to Python values."""
import binascii
import datetime as dt
import sys
import types

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from gc_torture import examples


def w(tag, value=None, **extra):
    wire = {"type": tag, "value": value}
    wire.update(extra)
    return wire


@pytest.mark.parametrize(
    "wire, expected",
    [
        ({}, "None"),
        (w("Null", 5), None),
        (w("Bool", 0), False),
        (w("Bool", "false"), True),
        (w("Bool"), False),
        (w("Int", 3.9), 3),
        (w("Int", -3.9), -3),
        (w("Int", " 42 "), 42),
        (w("Float", 2), 2.0),
        (w("Float", "1e3"), 1000.0),
        (w("String", None), "None"),
        (w("String", 12), "12"),
        (w("Date", "2021-03-04"), dt.datetime(2021, 3, 4)),
        (w("Date", "2021-03-04T05:06:07.123456"), dt.datetime(2021, 3, 4, 5, 6, 7, 123456)),
        (w("Date", "2021-03-04T05:06:07+02:00"),
         dt.datetime(2021, 3, 4, 5, 6, 7, tzinfo=dt.timezone(dt.timedelta(hours=2)))),
        (w("Date", "2021-03-04 at noon"), "2021-03-04 at noon"),
        (w("Date", None), None),
        (w("Date", 17), 17),
        (w("Bytes", None), b""),
        (w("Bytes", ""), b""),
        (w("Bytes", "aGVs bG8=\n"), b"hello"),
        (w("COM_Object", 5), "5"),
        (w("Range", 42), "42"),
        (w("Range", 42, isSpec=False), "42"),
        (w(None, [1]), "[1]"),
    ],
)
def test_plain_values(proxylink, wire, expected):
    result = proxylink.Serializer.from_wire(wire)
    assert result == expected and type(result) is type(expected)


@pytest.mark.skipif(sys.version_info >= (3, 11), reason="fromisoformat reads a trailing Z from 3.11 on")
def test_a_date_with_a_trailing_z_is_kept_as_text(proxylink):
    assert proxylink.Serializer.from_wire(w("Date", "2021-03-04T05:06:07Z")) == "2021-03-04T05:06:07Z"


def test_bytes_with_wrong_padding_raise_binascii_error(proxylink):
    with pytest.raises(binascii.Error):
        proxylink.Serializer.from_wire(w("Bytes", "abc"))


def test_only_an_exact_dict_is_accepted_at_every_level(proxylink):
    S = proxylink.Serializer
    message = "Argument 'wire' has incorrect type (expected dict, got {})"
    cases = [None, [], "x", type("Sub", (dict,), {})(type="Null"), proxylink.OfficeJsDict(3)]
    for bad in cases:
        with pytest.raises(TypeError) as info:
            S.from_wire(bad)
        assert str(info.value) == message.format(type(bad).__name__)
    with pytest.raises(TypeError, match=message.format("int").replace("(", r"\(").replace(")", r"\)")):
        S.from_wire(w("Array", [w("Int", 1), 2], id=7))
    with pytest.raises(TypeError, match="got NoneType"):
        S.from_wire(w("Dict", {"a": None}, id=7))
    with pytest.raises(TypeError, match="from_wire"):
        S.from_wire()
    assert S.from_wire(wire={"type": "Int", "value": 1}) == 1


def test_arrays_and_dicts_become_containers_with_their_ids(proxylink):
    S = proxylink.Serializer
    empty = S.from_wire(w("Array", id=7))
    assert isinstance(empty, proxylink.OfficeJsArray) and empty == [] and empty._internal_id == 7
    nested = S.from_wire(w("Array", [w("Int", 1), w("Dict", {"k": w("String", "v"), 3: w("Null")}, id=9)], id=8))
    assert nested == [1, {"k": "v", 3: None}]
    inner = nested[1]
    assert isinstance(inner, proxylink.OfficeJsDict) and inner._internal_id == 9
    assert list(inner) == ["k", 3]  # keys kept as they arrive, in order
    assert S.from_wire(w("Dict", None, id=2)) == {}


@pytest.mark.parametrize("tag", ["Array", "Dict"])
@pytest.mark.parametrize("object_id", [None, True, 1.0, "1"])
def test_arrays_and_dicts_need_an_exact_int_id(proxylink, tag, object_id):
    extra = {} if object_id is None else {"id": object_id}
    with pytest.raises(TypeError, match="Argument 'object_id' has incorrect type"):
        proxylink.Serializer.from_wire(w(tag, None, **extra))


def test_references_become_new_proxies(proxylink):
    S = proxylink.Serializer
    wire = w("Range", "42", isSpec=True)
    first, second = S.from_wire(wire), S.from_wire(wire)
    assert isinstance(first, proxylink.OfficeJsObject)
    assert (first._internal_id, first._internal_typeName) == (42, "Range")
    assert first is not second and type(first) is not type(second)
    # Tags are tested before isSpec.
    assert S.from_wire(w("Int", 5, isSpec=True)) == 5
    with pytest.raises(ValueError):
        S.from_wire(w("Range", "A1", isSpec=True))
    with pytest.raises(TypeError):
        S.from_wire(w("Range", None, isSpec=True))
    with pytest.raises(TypeError, match="type_name"):
        S.from_wire({"value": 1, "isSpec": True})


def test_python_functions_come_back_while_registered(proxylink):
    S, messaging = proxylink.Serializer, proxylink.messaging

    def callback():
        pass

    callable_id = messaging.register_callable(callback)
    assert S.from_wire(w("Python_Function", callable_id, isSpec=True)) is callback
    assert S.from_wire(w("Python_Function", "pyfunc_00000000_99")) is None
    messaging.reset()
    assert S.from_wire(w("Python_Function", callable_id)) is None


def test_com_objects_go_through_the_legacy_hook_only_when_enabled(proxylink, monkeypatch):
    S = proxylink.Serializer
    monkeypatch.setattr(proxylink, "deserialize_com_object", lambda payload: ("com", payload))
    assert S.from_wire(w("COM_Object", {"x": 1})) == "{'x': 1}"
    monkeypatch.setattr(proxylink, "_HAS_COM", True)
    assert S.from_wire(w("COM_Object", {"x": 1})) == ("com", {"x": 1})


def test_globals_are_read_at_each_call(proxylink, monkeypatch):
    S = proxylink.Serializer
    seen = []

    class FakeDatetime:
        @staticmethod
        def fromisoformat(text):
            seen.append(text)
            return "parsed"

    monkeypatch.setattr(proxylink, "dt", types.SimpleNamespace(datetime=FakeDatetime))
    monkeypatch.setattr(proxylink, "base64", types.SimpleNamespace(b64decode=lambda data: ("b64", data)))
    assert S.from_wire(w("Date", "x")) == "parsed" and seen == ["x"]
    assert S.from_wire(w("Bytes", "")) == ("b64", b"")
    monkeypatch.setattr(proxylink, "OfficeJsArray", lambda object_id: [object_id])
    assert S.from_wire(w("Array", [w("Int", 2)], id=1)) == [1, 2]

    # Nested values go through whatever Serializer.from_wire is now.
    original = S.from_wire
    calls = []

    def recording(wire):
        calls.append(wire.get("type"))
        return original(wire)

    monkeypatch.setattr(S, "from_wire", staticmethod(recording))
    S.from_wire(w("Dict", {"a": w("Array", [w("Null")], id=2)}, id=1))
    assert calls == ["Dict", "Array", "Null"]


# Arbitrary structures from a misbehaving add-in: a value or a documented
# exception, never a crash or a hang.
TAGS = ["Null", "Bool", "Int", "Float", "String", "Date", "Bytes", "Array", "Dict", "COM_Object",
        "Python_Function", "Range", ""]
leaves = (st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=12)
          | st.sampled_from(TAGS) | st.binary(max_size=8))


def wire_like(children):
    return st.fixed_dictionaries(
        {},
        optional={
            "type": st.sampled_from(TAGS) | leaves,
            "value": children,
            "isSpec": st.booleans() | leaves,
            "id": st.integers(-3, 3) | leaves,
        },
    )


junk = st.recursive(
    leaves,
    lambda children: st.lists(children, max_size=4)
    | st.dictionaries(st.text(max_size=4) | st.integers(), children, max_size=4)
    | wire_like(children),
    max_leaves=25,
)


@settings(max_examples=examples(2500), deadline=None, suppress_health_check=list(HealthCheck))
@given(wire=wire_like(junk))
def test_arbitrary_input_gives_a_value_or_a_documented_error(proxylink, wire):
    try:
        proxylink.Serializer.from_wire(wire)
    except (TypeError, ValueError, OverflowError, AttributeError):
        pass
