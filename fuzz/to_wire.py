"""Fuzzes Serializer.to_wire with structured hostile values: containers of
every kind (and subclasses whose __iter__, __len__, items and keys are hooks)
holding ints, floats, dates, time zones, frames, series, callables, proxies,
legacy objects and plain objects whose hooks (__int__, __index__, __float__,
__str__, isoformat, astimezone, utcoffset, __bool__, to_frame, values, rows,
is_com_object), and of keys (__hash__, __eq__), empty, grow or drop the
containers being encoded, raise, walk the collector's objects or collect."""
import datetime as dt
import gc

import atheris
import numpy as np
import pandas as pd

import common
from common import Hook, Hostile, hook, scalar

from orvane_master.python_server.orvane import proxylink

try:
    import polars as pl
except ImportError:
    pl = None

EXPECTED = (TypeError, ValueError, AttributeError, OverflowError, RecursionError, RuntimeError, Hostile)
messaging = proxylink.messaging


def fire(obj):
    object.__getattribute__(obj, "hook_").fire()


def hooked(cls, hook, *args, **kwargs):
    obj = cls(*args, **kwargs)
    object.__setattr__(obj, "hook_", hook)
    return obj


class HInt(int):
    def __int__(self):
        fire(self)
        return 5

    __index__ = __int__


class HFloat(float):
    def __float__(self):
        fire(self)
        return 0.5


class HZone(dt.tzinfo):
    def __bool__(self):
        fire(self)
        return True

    def utcoffset(self, when):
        fire(self)
        return dt.timedelta(hours=2)


class HDateTime(dt.datetime):
    def isoformat(self, *args):
        fire(self)
        return dt.datetime.isoformat(self, *args)

    def astimezone(self, tz=None):
        fire(self)
        return dt.datetime.astimezone(self, tz)


class HDate(dt.date):
    def isoformat(self):
        fire(self)
        return "2024-01-02"


class HList(list):
    def __iter__(self):
        fire(self)
        return list.__iter__(self)

    def __len__(self):
        fire(self)
        return list.__len__(self)


class HDict(dict):
    def items(self):
        fire(self)
        return dict.items(self)

    def keys(self):
        fire(self)
        return dict.keys(self)

    def __iter__(self):
        fire(self)
        return dict.__iter__(self)


class HCallable:
    def __call__(self):
        return None

    def __str__(self):
        fire(self)
        return "callable"


class HFrame(pd.DataFrame):
    @property
    def values(self):
        fire(self)
        return pd.DataFrame.values.fget(self)


class HSeries(pd.Series):
    def to_frame(self, *args, **kwargs):
        fire(self)
        return pd.Series.to_frame(self, *args, **kwargs)


if pl is not None:
    class HPolars(pl.DataFrame):
        def rows(self, *args, **kwargs):
            fire(self)
            return pl.DataFrame.rows(self, *args, **kwargs)


def container(fdp, depth, parents):
    kind = fdp.ConsumeIntInRange(0, 6)
    n = fdp.ConsumeIntInRange(0, 4)
    if kind <= 3:
        made = [list, HList, lambda: proxylink.OfficeJsArray(8), list][kind]()
        parents.append(made)
        made.extend(value(fdp, depth - 1, parents) for _ in range(n))
        if kind == 1:
            object.__setattr__(made, "hook_", Hook(fdp, parents))
        if kind == 3:
            made = tuple(made)
            parents.append(list(made))
        if fdp.ConsumeIntInRange(0, 30) == 30 and isinstance(made, list):
            made.append(made)  # contains itself
        return made
    made = [dict, HDict, lambda: proxylink.OfficeJsDict(9)][kind - 4]()
    parents.append(made)
    for _ in range(n):
        key = fdp.ConsumeIntInRange(0, 6)
        key = common.text(fdp) if key < 3 else hook(fdp, parents) if key == 6 else fdp.ConsumeIntInRange(0, 9)
        made[key] = value(fdp, depth - 1, parents)
    if kind == 5:
        object.__setattr__(made, "hook_", Hook(fdp, parents))
    return made


def frame(fdp, parents):
    cells = [fdp.ConsumeIntInRange(0, 9), fdp.ConsumeFloat(), common.text(fdp), None, pd.NaT,
             pd.Timestamp("2024-01-02 03:04:05.000000001", tz="UTC" if fdp.ConsumeBool() else None)]
    columns = {"a": [fdp.PickValueInList(cells) for _ in range(2)], 1: [fdp.PickValueInList(cells) for _ in range(2)]}
    kind = fdp.ConsumeIntInRange(0, 4)
    if kind == 0:
        return hooked(HFrame, Hook(fdp, parents), columns)
    if kind == 1:
        return hooked(HSeries, Hook(fdp, parents), columns["a"], name="s")
    if kind == 2 and pl is not None:
        return hooked(HPolars, Hook(fdp, parents), {"a": [1, 2], "b": ["x", None]})
    if kind == 3 and pl is not None:
        return pl.Series("p", [1.5, None])
    return pd.DataFrame(columns)


def value(fdp, depth, parents):
    kind = fdp.ConsumeIntInRange(0, 13)
    if kind == 0 or (kind == 1 and depth <= 0):
        return scalar(fdp)
    if kind == 1:
        return container(fdp, depth, parents)
    hook = Hook(fdp, parents)
    if kind == 2:
        return hook  # encoded with str()
    if kind == 3:
        return hooked(HInt, hook, fdp.ConsumeIntInRange(-5, 5))
    if kind == 4:
        return hooked(HFloat, hook, fdp.ConsumeFloat())
    if kind == 5:
        zone = hooked(HZone, hook) if fdp.ConsumeBool() else dt.timezone.utc if fdp.ConsumeBool() else None
        return hooked(HDateTime, Hook(fdp, parents), 2024, 1, 2, 3, 4, 5, fdp.ConsumeIntInRange(0, 999999), zone)
    if kind == 6:
        return hooked(HDate, hook, 2024, 1, 2)
    if kind == 7:
        return hooked(HCallable, hook)
    if kind == 8:
        return frame(fdp, parents)
    if kind == 9:
        raw = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 6))
        return fdp.PickValueInList([bytearray(raw), memoryview(raw), raw])
    if kind == 10:
        return proxylink.OfficeJsObject(fdp.ConsumeIntInRange(0, 9), "Range")
    if kind == 11:
        return fdp.PickValueInList([np.int64(3), np.bool_(True), np.datetime64("2024-01-02T03:04"),
                                    np.float64("nan"), pd.NA, pd.NaT, np.array([1, 2]), {1, 2}])
    if kind == 12:
        return lambda: None
    return hook


def legacy(fdp, parents):
    hook = Hook(fdp, parents)
    claim = fdp.ConsumeIntInRange(0, 2)

    def is_com_object(obj):
        hook.fire()
        return Hook(fdp, parents) if claim == 2 else bool(claim)

    def serialize_com_object(obj):
        hook.fire()
        return {"legacy": len(parents)}

    return is_com_object, serialize_com_object


def one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    parents = []
    proxylink._HAS_COM = fdp.ConsumeIntInRange(0, 3) == 3
    proxylink.is_com_object, proxylink.serialize_com_object = legacy(fdp, parents)
    messaging.set_send_handler(common.answering(messaging))
    if fdp.ConsumeIntInRange(0, 40) == 40:
        subject = []
        for _ in range(fdp.ConsumeIntInRange(500, 30000)):
            subject = [subject] if fdp.ConsumeBool() else {"k": subject}
    else:
        subject = value(fdp, 5, parents)
    common.arm()
    try:
        proxylink.Serializer.to_wire(subject)
    except Exception as exc:
        common.check(exc, EXPECTED)
    finally:
        common.arm(False)
        proxylink._HAS_COM = False
        proxylink.serialize_com_object = None
        del proxylink.is_com_object
    del subject, parents
    messaging.reset()
    if fdp.ConsumeIntInRange(0, 60) == 60:
        gc.collect()


if __name__ == "__main__":
    common.run(one_input)
