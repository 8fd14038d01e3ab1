"""Fuzzes Serializer.from_wire with wire values as the add-in could send them,
and worse: every tag, odd payloads, ids and flags, values that are not wire
values, nesting up to far past the recursion limit, and hooks (in tags,
payloads, ids, flags and the legacy decoder) that empty, grow or drop the
very containers being decoded, raise or walk the collector's objects."""
import gc
import sys

import atheris

import common
from common import Hostile, hook, plain, scalar, text

from orvane_master.python_server.orvane import proxylink

EXPECTED = (TypeError, ValueError, AttributeError, OverflowError, RecursionError, RuntimeError, Hostile)
TAGS = ["Null", "Bool", "Int", "Float", "String", "Date", "Bytes", "Array", "Dict", "COM_Object",
        "Python_Function", "Range", "Function"]
messaging = proxylink.messaging
CALLABLE_IDS = [messaging.register_callable(f) for f in (len, print, lambda: None)]


def anything(fdp, parents):
    if fdp.ConsumeIntInRange(0, 5) == 0:
        return hook(fdp, parents)
    return scalar(fdp) if fdp.ConsumeBool() else plain(fdp, 2)


def wire(fdp, depth, parents):
    if fdp.ConsumeIntInRange(0, 20) == 0:
        return anything(fdp, parents)
    w = {} if fdp.ConsumeIntInRange(0, 20) else proxylink.OfficeJsDict(3)
    parents.append(w)
    pick = fdp.ConsumeIntInRange(0, 9)
    tag = fdp.PickValueInList(TAGS) if pick < 7 else anything(fdp, parents) if pick == 7 else text(fdp)
    if fdp.ConsumeIntInRange(0, 9):
        w["type"] = tag
    tag = tag if type(tag) is str else None  # the generator itself must not run the hooks
    if tag == "Array" and depth > 0 and fdp.ConsumeIntInRange(0, 4):
        value = []
        parents.append(value)
        value.extend(wire(fdp, depth - 1, parents) for _ in range(fdp.ConsumeIntInRange(0, 4)))
    elif tag == "Dict" and depth > 0 and fdp.ConsumeIntInRange(0, 4):
        value = {}
        parents.append(value)
        for _ in range(fdp.ConsumeIntInRange(0, 4)):
            value[text(fdp) if fdp.ConsumeBool() else scalar(fdp) if fdp.ConsumeBool() else 0] = \
                wire(fdp, depth - 1, parents)
    elif tag == "Python_Function" and fdp.ConsumeBool():
        value = fdp.PickValueInList(CALLABLE_IDS)
    else:
        value = anything(fdp, parents)
    if fdp.ConsumeIntInRange(0, 5):
        w["value"] = value
    if fdp.ConsumeBool():
        w["isSpec"] = anything(fdp, parents) if fdp.ConsumeIntInRange(0, 3) == 0 else fdp.ConsumeBool()
    if fdp.ConsumeBool():
        w["id"] = anything(fdp, parents) if fdp.ConsumeIntInRange(0, 3) == 0 else fdp.ConsumeIntInRange(-3, 9)
    return w


def deep(fdp):
    """A chain of arrays or dictionaries nested past the recursion limit."""
    levels = fdp.ConsumeIntInRange(500, 30000)
    w = {"type": "Null"}
    for _ in range(levels):
        w = {"type": "Array", "value": [w], "id": 1} if fdp.ConsumeBool() else \
            {"type": "Dict", "value": {"k": w}, "id": 2}
    return w


def legacy_decoder(fdp, parents):
    hooked = hook(fdp, parents)
    reenter = fdp.ConsumeBool()

    def deserialize_com_object(payload):
        hooked.fire()
        if reenter:
            return proxylink.Serializer.from_wire({"type": "Array", "value": [{"type": "Int", "value": 1}], "id": 4})
        return payload

    return deserialize_com_object


def one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    parents = []
    proxylink._HAS_COM = fdp.ConsumeBool()
    proxylink.deserialize_com_object = legacy_decoder(fdp, parents)
    messaging.set_send_handler(common.answering(messaging) if fdp.ConsumeBool() else None)
    value = deep(fdp) if fdp.ConsumeIntInRange(0, 40) == 40 else wire(fdp, 6, parents)
    common.arm()
    try:
        proxylink.Serializer.from_wire(value)
    except Exception as exc:
        common.check(exc, EXPECTED)
    finally:
        common.arm(False)
        proxylink._HAS_COM = False
        proxylink.deserialize_com_object = None
    del value, parents
    if fdp.ConsumeIntInRange(0, 60) == 60:
        gc.collect()


if __name__ == "__main__":
    common.run(one_input)
