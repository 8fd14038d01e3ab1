"""The C++ coroutine adapter, driven through `probe` of the test-only
extension `coroutine_probe` (tests/ext), whose body is that of `native_probe`
below: it awaits each awaitable of a list (errors go to `on_error`, or on up
when that is None), or iterates an async iterator, and returns the results."""
import asyncio
import collections.abc
import gc
import inspect
import os
import subprocess
import sys
import textwrap
import types
import warnings
import weakref

import pytest

try:
    from coroutine_probe import probe
except ImportError:
    if not os.environ.get("ORV_INSTALLED_WHEEL"):
        raise
    pytest.skip("needs the test-only extension coroutine_probe, which no wheel carries", allow_module_level=True)


class Steps:
    """Yields `n` values, records what is sent back, returns `result`."""

    def __init__(self, n, result="done"):
        self.n, self.result, self.got, self.closed = n, result, [], False

    def __await__(self):
        try:
            for i in range(self.n):
                self.got.append((yield ("step", i)))
        finally:
            self.closed = True
        return self.result


class Fails:
    def __init__(self, exc, after=0):
        self.exc, self.after = exc, after

    def __await__(self):
        for i in range(self.after):
            yield i
        raise self.exc


def finish(coro, value=None):
    with pytest.raises(StopIteration) as info:
        coro.send(value)
    return info.value.value


def test_is_a_coroutine_for_asyncio_and_inspect():
    c = probe([], None)
    assert asyncio.iscoroutine(c) and inspect.isawaitable(c)
    assert isinstance(c, collections.abc.Coroutine)
    assert c.__name__ == c.__qualname__ == "probe" and "coroutine object probe" in repr(c)
    assert asyncio.iscoroutinefunction(probe)
    assert finish(c) == []


def test_delegates_yields_and_sends_like_yield_from():
    first, second = Steps(2, ("a", "tuple")), Steps(1)
    c = probe([first, second], None)
    assert c.send(None) == ("step", 0)
    assert c.cr_running is False and c.cr_await is not None
    assert c.send("x") == ("step", 1)
    assert c.send("y") == ("step", 0)  # the second awaitable, started at once
    assert finish(c, "z") == [("a", "tuple"), "done"]
    assert first.got == ["x", "y"] and second.got == ["z"]
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        c.send(None)


def test_awaited_through_a_python_coroutine():
    async def outer():
        return await probe([Steps(2)], None)

    o = outer()
    assert o.send(None) == ("step", 0)
    assert o.send(1) == ("step", 1)
    assert finish(o, 2) == ["done"]
    o = outer()
    o.send(None)
    with pytest.raises(KeyError):
        o.throw(KeyError("k"))


def test_first_send_must_be_none_and_no_reentry():
    c = probe([Steps(1)], None)
    with pytest.raises(TypeError, match="just-started"):
        c.send(1)
    c.close()

    class Reenter:
        def __await__(self):
            yield from ()
            return self.coro.send(None)

    r = Reenter()
    r.coro = c = probe([r], lambda e: repr(e))
    assert finish(c) == ["ValueError('coroutine already executing')"]


def test_exceptions_from_awaited_objects_caught_or_not():
    assert asyncio.run(probe([Fails(KeyError("a")), Fails(ValueError("b"), after=0)], lambda e: type(e).__name__)) == [
        "KeyError", "ValueError"]
    c = probe([Fails(LookupError("raised"), after=2)], None)
    assert c.send(None) == 0 and c.send(None) == 1
    with pytest.raises(LookupError, match="raised") as info:
        c.send(None)
    assert info.traceback[-1].name == "__await__"  # the traceback of where it was raised
    with pytest.raises(TypeError, match="can't be used in 'await' expression"):
        probe([42], None).send(None)
    # A StopIteration leaving the body must not pass for its return.
    c = probe([Fails(ValueError())], lambda e: next(iter(())))
    with pytest.raises(RuntimeError, match="coroutine raised StopIteration"):
        c.send(None)


def test_throw_at_a_suspension():
    steps = Steps(3)
    c = probe([steps, Steps(1)], lambda e: "caught " + str(e))
    c.send(None)
    assert c.throw(KeyError("k")) == ("step", 0)  # into Steps -> the body's except -> the next awaitable
    assert steps.closed
    assert finish(c, None) == ["caught 'k'", "done"]

    c = probe([Steps(2)], None)
    c.send(None)
    with pytest.raises(ValueError, match="three"), warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # from 3.12 on
        c.throw(ValueError, "three", None)  # the old three-argument form
    with pytest.raises(RuntimeError, match="cannot reuse"):
        c.send(None)  # finished by the exception
    c = probe([Steps(1)], None)
    with pytest.raises(KeyError):
        c.throw(KeyError)  # before the start: raised, the body never runs
    with pytest.raises(TypeError):
        probe([], None).throw(42)

    class NoThrow:  # an iterator without throw(): the exception goes to the body
        def __await__(self):
            return self

        def __iter__(self):
            return self

        def __next__(self):
            return "pending"

    c = probe([NoThrow()], lambda e: "body got " + repr(e))
    c.send(None)
    assert finish_throw(c, OSError("x")) == ["body got OSError('x')"]


def finish_throw(coro, exc):
    with pytest.raises(StopIteration) as info:
        coro.throw(exc)
    return info.value.value


def test_close_at_a_suspension():
    steps, untouched = Steps(3), Steps(1)
    c = probe([steps, untouched], lambda e: "swallowed")
    c.send(None)
    assert c.close() is None
    assert steps.closed and untouched.got == [] and not untouched.closed
    assert c.close() is None
    with pytest.raises(RuntimeError, match="cannot reuse"):
        c.send(None)
    probe([Steps(1)], None).close()  # never started: nothing runs

    class BadClose:  # close() fails, the body swallows that and awaits again
        def __await__(self):
            return self

        def __iter__(self):
            return self

        def __next__(self):
            return "pending"

        def close(self):
            raise ValueError("cannot close")

    c = probe([BadClose(), Steps(1)], lambda e: "swallowed")
    c.send(None)
    with pytest.raises(RuntimeError, match="coroutine ignored GeneratorExit"):
        c.close()


def test_async_for_over_an_async_generator():
    async def numbers(n):
        for i in range(n):
            await asyncio.sleep(0)
            yield i

    assert asyncio.run(probe(numbers(4), None)) == [0, 1, 2, 3]

    async def failing():
        yield "first"
        raise KeyError("in generator")

    with pytest.raises(KeyError):
        asyncio.run(probe(failing(), None))
    with pytest.raises(TypeError, match="__aiter__"):
        asyncio.run(probe(42, None))


def test_generator_based_coroutines_and_native_ones():
    @types.coroutine
    def legacy():
        yield
        return "legacy"

    async def native():
        await asyncio.sleep(0)
        return "native"

    assert asyncio.run(probe([legacy(), native(), probe([native()], None)], None)) == [
        "legacy", "native", ["native"]]


def test_create_task_gather_and_wait_for_with_cancellation():
    async def scenario():
        event = asyncio.Event()
        task = asyncio.create_task(probe([event.wait(), asyncio.sleep(0, "slept")], None))
        await asyncio.sleep(0)
        assert not task.done()
        event.set()
        assert await task == [True, "slept"]
        both = await asyncio.gather(probe([asyncio.sleep(0, 1)], None), probe([asyncio.sleep(0, 2)], None))
        assert both == [[1], [2]]
        # Cancellation is a BaseException: the body's `except Exception` lets it through.
        reached = []
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(probe([asyncio.sleep(5), asyncio.get_running_loop().create_future()], reached.append), 0.01)
        assert reached == []
        task = asyncio.create_task(probe([asyncio.sleep(5)], None))
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return "ok"

    assert asyncio.run(scenario()) == "ok"


class Sentinel:
    pass


def test_dropped_unfinished_releases_everything_and_runs_nothing():
    sentinel = Sentinel()
    calls = []
    steps = Steps(5)
    base = sys.getrefcount(sentinel)
    for _ in range(200):
        steps = Steps(5)
        c = probe([steps, sentinel], calls.append)
        c.send(None)
        c.send(None)
        del c
    assert steps.closed  # the awaited generator was finalised...
    assert calls == [] and steps.got == [None]  # ...but no further step ran
    assert sys.getrefcount(sentinel) == base


def test_suspended_coroutine_cycles_are_collected():
    class Holder:
        def __await__(self):
            yield "suspended"

    for advance in (False, True):
        holder = Holder()
        c = probe([holder], None)
        holder.coro = c  # c -> argument list -> holder -> c
        if advance:
            c.send(None)
            assert any(type(r).__name__ == "generator" for r in gc.get_referents(c))
        ref = weakref.ref(c)
        del c, holder
        gc.collect()
        assert ref() is None


def test_locals_are_visible_to_the_garbage_collector():
    async def items():
        yield Sentinel()
        await asyncio.sleep(3600)
        yield None

    async def scenario():
        gen = items()
        c = probe(gen, None)
        task = asyncio.create_task(c)
        await asyncio.sleep(0)
        referents = gc.get_referents(c)
        assert gen in referents  # the async iterator held across the await
        assert any(isinstance(r, list) and r and isinstance(r[0], Sentinel) for r in referents)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(scenario())


# -- the protocol, misused: each case against a native coroutine of the same body -----------

async def native_probe(source, on_error):
    results = []
    if type(source) is list:
        for awaitable in source:
            try:
                results.append(await awaitable)
            except Exception as e:
                if on_error is None:
                    raise
                results.append(on_error(e))
    else:
        async for item in source:
            results.append(item)
    return results


class Pending:
    def __await__(self):
        yield "pending"


class Reenter:
    """Calls `action(coro)` on the coroutine that awaits it, from inside."""

    def __init__(self, action):
        self.action = action

    def __await__(self):
        yield "pending"
        return self.action(self.coro)


def reentered(make, action):
    r = Reenter(action)
    r.coro = c = make([r], None)
    return [c, lambda: c.send(None), lambda: c.send(None)]


async def await_it(awaitable):
    return await awaitable


def started(make, source):
    c = make(source, None)
    c.send(None)
    return c


# Each case: a list of steps; a step is a callable, or a coroutine that the
# following steps use.
MISUSE = {
    "after the end": lambda make: [c := make([], None), lambda: c.send(None), lambda: c.send(None),
                                   lambda: c.throw(KeyError("k")), lambda: c.close(), lambda: c.send(None)],
    "after an exception": lambda make: [c := make([Fails(KeyError("k"))], None), lambda: c.send(None),
                                        lambda: c.throw(ValueError("v")), lambda: c.close(), lambda: c.send(None)],
    "before the start": lambda make: [c := make([Pending()], None), lambda: c.send(1), lambda: c.throw(KeyError("k")),
                                      lambda: c.send(None), lambda: c.close()],
    "closed before the start": lambda make: [c := make([Pending()], None), lambda: c.close(),
                                             lambda: c.throw(KeyError("k")), lambda: c.send(None)],
    "throw arguments": lambda make: [c := started(make, [Pending(), Pending()]), lambda: c.throw(),
                                     lambda: c.throw(KeyError, None, None, None), lambda: c.throw(42),
                                     lambda: c.throw(KeyError("x"), "v"), lambda: c.throw(KeyError, "v", 5),
                                     lambda: c.throw(KeyError, "v", None), lambda: c.send(None)],
    "a second awaiter": lambda make: [c := started(make, [Pending()]), lambda: await_it(c).send(None),
                                      lambda: make([c], None).send(None), lambda: c.send(None)],
    "awaiting a suspended native coroutine": lambda make: [
        n := started(native_probe, [Pending()]), lambda: make([n], None).send(None), lambda: n.send(None)],
    "send from inside": lambda make: reentered(make, lambda c: c.send(None)),
    "throw from inside": lambda make: reentered(make, lambda c: c.throw(KeyError("k"))),
    "close from inside": lambda make: reentered(make, lambda c: c.close()),
    "raised while an exception is handled": lambda make: [lambda: handling(make)],
}


def handling(make):
    try:
        raise LookupError("handled")
    except LookupError:
        c = make([], None)
        c.close()
        return c.send(None)


def outcome(step):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = ("value", step())
        except StopIteration as e:
            result = ("return", e.value)
        except BaseException as e:
            result = (type(e).__name__, str(e), repr(e.__context__))
    return result + tuple((w.category.__name__, str(w.message)) for w in caught)


def trace(make, case):
    return [outcome(step) for step in MISUSE[case](make) if callable(step)]


@pytest.mark.parametrize("case", MISUSE)
def test_misuse_is_answered_as_a_native_coroutine_answers_it(case):
    assert trace(probe, case) == trace(native_probe, case)


class Plain:
    pass


def changing(change):
    """An async iterator of 1, 2, 3 that changes as `change` says when its
    second item is asked for."""
    class Items:
        n = 0

        def __aiter__(self):
            return self

        def __anext__(self):
            self.n += 1
            if self.n == 2:
                change(self, Items)
            return self.step()

        async def step(self):
            self.n += self.n >= 2  # steps on by itself once __anext__ may be replaced
            if self.n > 3:
                raise StopAsyncIteration
            return self.n
    return Items()


CHANGES = {
    "__anext__ deleted": lambda it, cls: delattr(cls, "__anext__"),
    "class changed": lambda it, cls: setattr(it, "__class__", Plain),
    "__anext__ gives what cannot be awaited": lambda it, cls: setattr(cls, "step", lambda self: 42),
    "__anext__ replaced": lambda it, cls: setattr(cls, "__anext__", lambda self: self.step()),
}


@pytest.mark.parametrize("change", CHANGES)
def test_async_for_over_an_iterator_that_changes_meanwhile(change):
    # `async for` reads __anext__ at every step, and so does the adapter.
    def run(fn):
        try:
            return asyncio.run(fn(changing(CHANGES[change]), None))
        except Exception as e:
            return type(e).__name__, str(e), repr(e.__cause__)

    assert run(probe) == run(native_probe)


# -- deep structures: RecursionError or success, never a crash --------------------------------

DEEP = {
    # Suspended workers holding each other (each one's answer is the previous worker).
    "release of a long chain": ("""
        held = [None]
        class Answers:
            def get_available_versions(self, name):
                return Ready(held[0])
        handlers.init_handlers(Manager(), Answers(), None)
        for _ in range(30000):
            c = handlers.handle_get_package_versions("ide", "p", "r")
            assert c.send(None) == "pending"
            held[0] = c
        del c
        held.clear()
        print("released")
    """, "released"),
    # A plain send_to_ide returning another handler's coroutine: the sends nest.
    "sends nested without end": ("""
        class Nesting(Manager):
            def send_to_ide(self, message):
                return handlers.handle_get_workbook_packages("ide", {"workbook_id": "wb"})
        handlers.init_handlers(Nesting(), None, None)
        try:
            handlers.handle_get_workbook_packages("ide", {"workbook_id": "wb"}).send(None)
        except RecursionError:
            print("RecursionError")
    """, "RecursionError"),
    # Workers awaiting each other as deep as the sends go, each then suspended
    # in its error report; a throw and a close travel the whole chain.
    "throw and close through a deep chain": ("""
        class Nested:
            def get_available_versions(self, name):
                return handlers.handle_get_package_versions("ide", "p", "r")
        handlers.init_handlers(Manager(), Nested(), None)
        for action in ("throw", "close"):
            c = handlers.handle_get_package_versions("ide", "p", "r")
            assert c.send(None) == "pending"
            try:
                c.throw(KeyError("k")) if action == "throw" else c.close()
            except (KeyError, RecursionError, RuntimeError) as e:  # a level's own error report ignores the close
                print(type(e).__name__)
            else:
                print("closed")
    """, None),
}

DEEP_PRELUDE = """
    from orvane_master.business_layer.packages import handlers

    class Ready:
        def __init__(self, value):
            self.value = value
        def __await__(self):
            return self.value
            yield

    class Pending:
        def __await__(self):
            yield "pending"

    class Manager:
        workbook_packages, workbook_python_paths, package_errors = {}, {}, {}
        def send_message(self, kind, target, message):
            return Pending()

    class Quiet:
        def info(self, text): pass
        error = warning = info
    handlers.logger = Quiet()
"""


@pytest.mark.parametrize("case", DEEP)
def test_deep_structures_end_in_success_or_recursion_error(case):
    code, expected = DEEP[case]
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(DEEP_PRELUDE) + textwrap.dedent(code)],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-3000:]
    lines = result.stdout.split()
    if expected is None:
        assert lines and set(lines) <= {"KeyError", "RecursionError", "RuntimeError", "closed"}, result.stdout
    else:
        assert lines == [expected]
