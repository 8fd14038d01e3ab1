"""Every class of the bridge combined with the builtin bases it can meet, every
`__new__` handed foreign classes, every method called unbound on foreign
objects, and object.__setattr__-style writes on every kind of target.

Each case runs once on the module's classes and once on the same classes
written in Python (below), and both must end the same way: the same result
or the same exception with the same text. The cases run in a child
interpreter; a case that kills it is reported as its own failure, and the
remaining cases go on in a new child.
"""
import collections
import faulthandler
import gc
import json
import re
import subprocess
import sys
import threading
import types

import pytest

from orvane_master.python_server.orvane import proxylink as p

MODULE = p.__name__


def _exact(value, typ, name):
    if type(value) is not typ:
        raise TypeError(f"Argument '{name}' has incorrect type (expected {typ.__name__}, got {type(value).__name__})")


def _identity(self, object_id, type_name, typ):
    for name, value in (("_internal_id", object_id), ("_internal_typeName", type_name),
                        ("_msg_guid", p.messaging._guid), ("_typ", typ), ("_internal_cache", {})):
        object.__setattr__(self, name, value)


class PythonClasses:
    """The bridge's classes as a Python programmer writes them, forwarding to
    the module's own operations."""

    class Serializer:
        to_wire = staticmethod(lambda value: p.Serializer.to_wire(value))
        from_wire = staticmethod(lambda wire: p.Serializer.from_wire(wire))

    class Messaging:
        def __init__(self):
            for name, value in (("waiters", {}), ("_waiters_lock", threading.Lock()), ("_guid", "0" * 32),
                                ("_send_handler", None), ("loop", None), ("loop_thread", None),
                                ("_callable_registry", {}), ("_callable_lock", threading.Lock()),
                                ("_next_callable_id", 1)):
                object.__setattr__(self, name, value)

    class OfficeJsObject:
        def __new__(cls, object_id, type_name):
            _exact(object_id, int, "object_id")
            _exact(type_name, str, "type_name")
            return super().__new__(type(type_name, (cls,), {"__module__": "orvane.Excel"}))

        def __init__(self, object_id, type_name):
            _exact(object_id, int, "object_id")
            _exact(type_name, str, "type_name")
            _identity(self, int(object_id), type_name, "officejs_object")

        def __getattr__(self, name):
            return p._cw__getattr__(self, name)

        def __setattr__(self, name, value):
            p._cw__setattr__(self, name, value)

        def __del__(self):
            p._cw__del__(self)

        def __repr__(self):
            return f"<OfficeJsObject {self._internal_typeName} id={self._internal_id}>"

    class OfficeJsArray(list):
        def __new__(cls, object_id):
            _exact(object_id, int, "object_id")
            return super().__new__(type("JsArray", (cls,), {"__module__": "orvane"}))

        def __init__(self, object_id):
            _exact(object_id, int, "object_id")
            super().__init__()
            _identity(self, object_id, "Array", "officejs_array")

        def __getattr__(self, name):
            return p._cw__getattr__(self, name)

        def __setattr__(self, name, value):
            raise AttributeError("Cannot set attributes on OfficeJsArray")

        def __del__(self):
            p._cw__del__(self)

        def __str__(self):
            return list.__repr__(self)

        def __repr__(self):
            return f"<OfficeJsArray id={self._internal_id} len={len(self)}>"

    class OfficeJsDict(dict):
        def __new__(cls, object_id):
            _exact(object_id, int, "object_id")
            return super().__new__(type("JsDict", (cls,), {"__module__": "orvane"}))

        def __init__(self, object_id):
            _exact(object_id, int, "object_id")
            super().__init__()
            _identity(self, object_id, "Dict", "officejs_dict")

        def __getattr__(self, name):
            if dict.__contains__(self, name):
                return dict.__getitem__(self, name)
            return p._cw__getattr__(self, name)

        def __setattr__(self, name, value):
            if name not in self:
                raise AttributeError("Cannot set attributes on OfficeJsDict")
            self[name] = value

        def __del__(self):
            p._cw__del__(self)

        def __str__(self):
            return dict.__repr__(self)

        def __repr__(self):
            keys = list(self.keys())
            if len(keys) > 10:
                keys = keys[:10] + ["..."]
            return f"<OfficeJsDict id={self._internal_id} keys={keys}>"

    class OfficeJsTransaction:
        def __init__(self, roolback_at_error=False, raiseError=True, error_callback=None, block_gets=False):
            for name, value in (("_internal_id", p.UNIQUE_TRANSACTION_ID), ("_internal_typeName", "Transaction"),
                                ("_msg_guid", p.messaging._guid), ("_typ", "officejs_transaction"),
                                ("_rollback_at_error", roolback_at_error), ("_error_callback", error_callback),
                                ("_raiseError", raiseError), ("_isInWith", False), ("_block_gets", block_gets)):
                setattr(self, name, value)

        def __del__(self):
            p._cw__del__(self)

        def __repr__(self):
            return f"<OfficeJsTransaction id={self._internal_id}>"


for _cls in vars(PythonClasses).values():
    if isinstance(_cls, type):
        _cls.__module__, _cls.__qualname__ = MODULE, _cls.__name__


class ModuleClasses:
    Serializer, Messaging, OfficeJsObject = p.Serializer, p.Messaging, p.OfficeJsObject
    OfficeJsArray, OfficeJsDict, OfficeJsTransaction = p.OfficeJsArray, p.OfficeJsDict, p.OfficeJsTransaction


CLASSES = ["Serializer", "Messaging", "OfficeJsObject", "OfficeJsArray", "OfficeJsDict", "OfficeJsTransaction"]
ARGS = {"OfficeJsObject": (7, "Range"), "OfficeJsArray": (7,), "OfficeJsDict": (7,)}
BASES = {"object": object, "dict": dict, "list": list, "OrderedDict": collections.OrderedDict, "type": type}
# The builtin base's own allocation, for making an instance without the class's __new__.
ALLOCATE = {"type": lambda cls: type.__new__(cls, "K", (), {})}


class Plain:
    pass


def outcome(fn, *args):
    try:
        result = fn(*args)
    except Exception as e:  # noqa: B902 - the outcome is what is compared
        return scrub(f"{type(e).__name__}: {e}")
    return scrub("ok " + result if isinstance(result, str) else "ok")


def scrub(text):
    return re.sub(r" at 0x[0-9a-f]+", "", text)


def exercise(x):
    """What user code does with an instance: items, attributes, texts, release."""

    def set_item(x):
        x["a"] = 1

    def write(name):
        return lambda x: setattr(x, name, 1)

    steps = [("set item", set_item), ("append", lambda x: x.append(1)), ("write", write("name")),
             ("write local", write("_typ")), ("read local", lambda x: repr(x._typ)), ("repr", repr),
             ("str", str), ("len", lambda x: str(len(x))), ("collect", lambda x: gc.collect() and None)]
    return [f"{label}: {outcome(step, x)}" for label, step in steps]


def combination(impl, cls_name, base_name, first):
    cls, base = getattr(impl, cls_name), BASES[base_name]
    bases = (cls, base) if first else (base, cls)
    try:
        combined = type("R", bases, {"__module__": MODULE})
    except TypeError as e:
        return [f"class: TypeError: {e}"]
    made = []
    report = [f"call: {outcome(lambda: made.append(combined(*ARGS.get(cls_name, ()))))}"]
    try:
        made.append(ALLOCATE.get(base_name, base.__new__)(combined))
    except TypeError as e:
        report.append(f"allocate: TypeError: {e}")
    else:
        report.append(f"init: {outcome(made[-1].__init__, *ARGS.get(cls_name, ()))}")
    for x in made:
        report += exercise(x)
    made.clear()
    gc.collect()
    return report


def foreign_new(impl, cls_name, foreign_name):
    foreign = FOREIGN_CLASSES[foreign_name](impl)
    cls = getattr(impl, cls_name)
    made = []
    report = [f"new: {outcome(lambda: made.append(cls.__new__(foreign, *ARGS.get(cls_name, ()))))}"]
    for x in made:
        report += exercise(x)
    made.clear()
    gc.collect()
    return report


FOREIGN_CLASSES = {
    "list": lambda impl: list, "dict": lambda impl: dict, "OrderedDict": lambda impl: collections.OrderedDict,
    "int": lambda impl: int, "bool": lambda impl: bool, "type": lambda impl: type, "Plain": lambda impl: Plain,
    "not a class": lambda impl: 5,
    **{f"sub-{name}": (lambda name: lambda impl: type("Sub", (getattr(impl, name),), {}))(name) for name in CLASSES},
}


def foreign_objects():
    yield from ([], {}, collections.OrderedDict(a=1), 5, "x", Plain(), Plain, type, None)
    yield p.OfficeJsObject(8, "Function"), p.OfficeJsArray(9), p.OfficeJsDict(10), p.OfficeJsTransaction()
    yield p.Messaging(), p.Serializer()


def unbound_methods(impl, cls_name):
    """Only that nothing crashes: a method handed an object of another type."""
    if impl is PythonClasses:
        return None
    cls = getattr(impl, cls_name)
    for name in vars(cls):
        if name in ("__new__", "__doc__", "__module__", "__qualname__", "__dict__", "__weakref__"):
            continue
        fn = getattr(cls, name)
        for obj in foreign_objects():
            for args in ((), ("x",), ("x", 1), (1, "x"), ({},)):
                outcome(fn, obj, *args)
    gc.collect()
    return None


def setattr_targets():
    class Meta(type):
        pass

    class Slotted:
        __slots__ = ("_typ",)

    return {
        "class": lambda: type("C", (), {"_typ": "class value"}),
        "class with metaclass": lambda: Meta("C", (), {"_typ": "class value"}),
        "builtin class": lambda: collections.OrderedDict,
        "int": lambda: 5, "list": list, "dict": dict, "instance": Plain, "slots": Slotted,
        "thread local": threading.local, "module": lambda: types.ModuleType("m"), "function": lambda: (lambda: 0),
        "proxy": lambda: p.OfficeJsObject(8, "Range"),
    }


def local_write(impl, target_name):
    """A local name written through the bridge, as object.__setattr__ writes it."""
    write = (lambda obj, name, value: object.__setattr__(obj, name, value)) if impl is PythonClasses else p._cw__setattr__
    target = setattr_targets()[target_name]()
    if isinstance(target, type):
        getattr(target, "_typ", None)  # the value is now in the type's attribute cache
    report = [f"write: {outcome(write, target, '_typ', 'written value')}"]
    report.append(f"read: {outcome(lambda: repr(getattr(target, '_typ', None)))}")
    return report


def build_cases():
    cases = {}
    for cls_name in CLASSES:
        for base_name in BASES:
            for first in (True, False):
                order = "first" if first else "second"
                cases[f"{cls_name}+{base_name}-{order}"] = (combination, cls_name, base_name, first)
        for foreign_name in FOREIGN_CLASSES:
            cases[f"{cls_name}.__new__({foreign_name})"] = (foreign_new, cls_name, foreign_name)
        cases[f"{cls_name}-unbound"] = (unbound_methods, cls_name)
    for target_name in setattr_targets():
        cases[f"local write on {target_name}"] = (local_write, target_name)
    return cases


CASES = build_cases()


def run_child(ids):
    """Child side: one JSON line per case, preceded by a line naming it, so
    that the parent knows which case a crash belongs to."""
    faulthandler.enable()
    gc.freeze()  # the libraries loaded so far stay out of the many collections below
    unraisable = []
    sys.unraisablehook = lambda u: unraisable.append(f"unraisable: {type(u.exc_value).__name__}: {u.exc_value}")
    for case_id in ids:
        print(json.dumps({"start": case_id}), flush=True)
        fn, *args = CASES[case_id]
        results = {}
        for label, impl in (("module", ModuleClasses), ("python", PythonClasses)):
            results[label] = fn(impl, *args)
            gc.collect()
            if results[label] is not None:
                results[label] += [scrub(u) for u in unraisable]
            unraisable.clear()
        print(json.dumps({"done": case_id, **results}), flush=True)


@pytest.fixture(scope="module")
def results():
    pending, found = list(CASES), {}
    while pending:
        child = subprocess.run([sys.executable, __file__, *pending], capture_output=True, text=True, timeout=120)
        started = None
        for line in child.stdout.splitlines():
            entry = json.loads(line)
            if "start" in entry:
                started = entry["start"]
            else:
                found[entry.pop("done")] = entry
        if child.returncode == 0:
            assert not set(pending) - set(found), child.stderr
            break
        assert started is not None and started not in found, child.stderr
        found[started] = {"crash": f"child ended with {child.returncode}:\n{child.stderr[-3000:]}"}
        pending = pending[pending.index(started) + 1:]
    return found


@pytest.mark.parametrize("case_id", list(CASES))
def test_case(results, case_id):
    result = results[case_id]
    assert "crash" not in result, result.get("crash")
    assert result["module"] == result["python"]


if __name__ == "__main__":
    run_child(sys.argv[1:])
