"""The simulated add-in's object model: objects that requests reach by name.

A `JsObject` lists its members the way the add-in exposes them: readable
properties, writable properties and methods. Reading a method gives a
`JsFunction`, which a later CALL request invokes. Everything the add-in refuses
raises `AddinError`, whose text becomes the response's `error.message`.
"""
import inspect
from typing import Any, Callable, Dict, List, Tuple


class AddinError(Exception):
    """A request the add-in refuses; the text is sent back as error.message."""


class JsObject:
    """Base of every object the add-in holds in its object table."""

    js_type = "Object"
    js_properties: Tuple[str, ...] = ()  # readable
    js_writable: Tuple[str, ...] = ()  # readable and writable
    js_methods: Tuple[str, ...] = ()

    def js_get(self, name: str) -> Any:
        if name in self.js_methods:
            return JsFunction(getattr(self, name), f"{self.js_type}.{name}")
        if name in self.js_properties or name in self.js_writable:
            return getattr(self, name)
        raise AddinError(f"Property '{name}' does not exist on {self.js_type}")

    def js_check_writable(self, name: str) -> None:
        if name in self.js_writable:
            return
        if name in self.js_properties or name in self.js_methods:
            raise AddinError(f"Property '{name}' of {self.js_type} is read-only")
        raise AddinError(f"Property '{name}' does not exist on {self.js_type}")

    def js_set(self, name: str, value: Any) -> None:
        self.js_check_writable(name)
        setattr(self, name, value)

    def js_getitem(self, index: Any) -> Any:
        raise AddinError(f"{self.js_type} cannot be indexed")


class JsFunction(JsObject):
    """A function of the add-in; only these can be called."""

    js_type = "Function"

    def __init__(self, fn: Callable[..., Any], name: str) -> None:
        self.fn = fn
        self.name = name

    def js_call(self, args: List[Any], kwargs: Dict[str, Any]) -> Any:
        try:
            inspect.signature(self.fn).bind(*args, **kwargs)
        except TypeError as e:
            raise AddinError(f"Bad arguments for {self.name}: {e}") from None
        return self.fn(*args, **kwargs)

    def __repr__(self) -> str:
        return f"<function {self.name}>"


class PythonCallback:
    """A Python callable of the kernel, known to the add-in by its callable id."""

    def __init__(self, callable_id: str) -> None:
        self.callable_id = callable_id

    def __repr__(self) -> str:
        return f"<python function {self.callable_id}>"


def sequence_item(items: List[Any], index: Any, what: str) -> Any:
    """Python indexing (negative ints, slices) with the add-in's error texts."""
    if isinstance(index, slice):
        return items[index]
    try:
        return items[index]
    except IndexError:
        raise AddinError(f"Index {index} is out of range for {what} of {len(items)} items") from None
