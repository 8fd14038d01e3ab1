"""OfficeJsTransaction against the simulated add-in: the request sequence of a
with block, rollback, error callback and raiseError, explicit commits, and
stale transactions."""
import gc

import pytest

CONTEXT_WIRE = {"type": "RequestContext", "value": 0, "isSpec": True}


def sequence(env):
    """(method, name or argument tags, caller) of every request since the last clear."""
    out = []
    for m in env.transcript.requests():
        if m["method"] == "CALL":
            out.append(("CALL", [a["value"]["type"] for a in m["args"]], "fn"))
        elif m["method"] == "DEL":
            out.append(("DEL", "fn" if m["caller"] != 5 else 5))
        else:
            out.append((m["method"], m["name"], m["caller"] if m["caller"] == 5 else "obj"))
    return out


START = [("GET", "start", 5), ("CALL", ["RequestContext", "Bool"], "fn"), ("DEL", "fn")]
COMMIT = [("GET", "commit", 5), ("CALL", [], "fn"), ("DEL", "fn")]
WRITE = [("SET", "values", "obj")]


@pytest.fixture
def cell(proxylink, excel):
    rng = proxylink.Excel.workbook.worksheets.getActiveWorksheet().getRange("A1")
    excel.transcript.clear()
    return rng


def stored(excel):
    return excel.workbook.worksheets.getItem("Sheet1").values.get((0, 0))


def test_class_surface(proxylink):
    cls = proxylink.OfficeJsTransaction
    assert cls.__bases__ == (object,)
    assert set(vars(cls)) - {"__module__", "__qualname__", "__doc__", "__dict__", "__weakref__"} == {
        "__init__", "_start", "commit", "__enter__", "__exit__", "__del__", "__repr__"}
    assert cls.__doc__ == "Transaction object to batch multiple set operations into a single request."
    assert cls.__init__.__doc__.startswith("__init__(self, roolback_at_error: bool = False, raiseError: bool = True")
    t = cls(1, 0, print, "yes")
    assert list(vars(t).items()) == [
        ("_internal_id", 5), ("_internal_typeName", "Transaction"), ("_msg_guid", proxylink.messaging._guid),
        ("_typ", "officejs_transaction"), ("_rollback_at_error", 1), ("_error_callback", print),
        ("_raiseError", 0), ("_isInWith", False), ("_block_gets", "yes")]
    t = cls(block_gets=True, roolback_at_error=True)
    assert (t._rollback_at_error, t._raiseError, t._error_callback, t._block_gets) == (True, True, None, True)
    assert repr(t) == str(t) == "<OfficeJsTransaction id=5>"
    with pytest.raises(TypeError, match="takes from 1 to 5 positional arguments but 6 were given"):
        cls(1, 2, 3, 4, 5)
    with pytest.raises(TypeError, match="unexpected keyword argument 'rollback_at_error'"):
        cls(rollback_at_error=True)


def test_with_block_sends_start_writes_commit_and_releases(proxylink, excel, cell):
    with proxylink.OfficeJsTransaction() as t:
        assert t._isInWith is True
        cell.values = 7
        assert stored(excel) is None  # held back by the add-in until the commit
    assert stored(excel) == 7 and t._isInWith is False
    start_call = excel.transcript.requests("CALL")[0]
    assert start_call["args"] == [{"arg_type": "PLACED", "value": CONTEXT_WIRE},
                                  {"arg_type": "PLACED", "value": {"type": "Bool", "value": False, "isSpec": False}}]
    assert sequence(excel) == START + WRITE + COMMIT
    del t
    assert sequence(excel)[-1] == ("DEL", 5)
    assert excel.addin.transaction.commits == [1]


def test_error_in_block_commits_then_propagates_by_default(proxylink, excel, cell):
    with pytest.raises(ZeroDivisionError):
        with proxylink.OfficeJsTransaction():
            cell.values = 1
            1 / 0
    assert sequence(excel)[:7] == START + WRITE + COMMIT
    assert stored(excel) == 1


def test_rollback_sends_no_commit_and_the_next_start_drops_the_batch(proxylink, excel, cell):
    t = proxylink.OfficeJsTransaction(roolback_at_error=True)
    with pytest.raises(KeyError):
        with t:
            cell.values = 2
            raise KeyError("x")
    assert sequence(excel) == START + WRITE
    assert stored(excel) is None
    del t
    gc.collect()
    # the release of id 5 leaves the add-in's open batch alone; the next start drops it
    assert sequence(excel)[-1] == ("DEL", 5) and excel.addin.transaction.discarded == []
    with proxylink.OfficeJsTransaction():
        cell.values = 3
    assert stored(excel) == 3 and excel.addin.transaction.discarded == [1]


def test_a_loop_of_transactions_keeps_every_write(proxylink, excel, cell):
    # Rebinding `t` releases the earlier transaction while the next one is open.
    for v in (1, 2, 3):
        with proxylink.OfficeJsTransaction() as t:
            cell.values = v
            gc.collect()
        assert stored(excel) == v
    del t


def test_raise_error_false_swallows_after_commit_and_callback(proxylink, excel, cell):
    seen = []

    def on_error(exc_type, exc_val, exc_tb):
        seen.append((exc_type, exc_val, exc_tb, list(sequence(excel))))
        return "ignored"

    with proxylink.OfficeJsTransaction(raiseError=False, error_callback=on_error):
        cell.values = 4
        raise ValueError("bad")
    [(exc_type, exc_val, exc_tb, sent_before)] = seen
    assert exc_type is ValueError and str(exc_val) == "bad" and exc_tb is exc_val.__traceback__
    assert sent_before == START + WRITE + COMMIT  # the callback comes after the commit
    assert stored(excel) == 4

    excel.transcript.clear()
    with proxylink.OfficeJsTransaction(True, False, on_error):
        cell.values = 5
        raise ValueError("again")
    assert sequence(excel)[:4] == START + WRITE and len(seen) == 2
    with proxylink.OfficeJsTransaction(error_callback=on_error):
        pass
    assert len(seen) == 2  # no error, no callback


def test_exit_result_and_callback_failure(proxylink, excel, cell):
    t = proxylink.OfficeJsTransaction(raiseError=0)
    t.__enter__()
    assert t.__exit__(None, None, None) is None
    t.__enter__()
    assert t.__exit__(ValueError, ValueError(), None) is True
    t._raiseError = "yes"
    t.__enter__()
    assert t.__exit__(ValueError, ValueError(), None) is False

    def failing_callback(*args):
        raise LookupError("callback failed")

    with pytest.raises(LookupError, match="callback failed"):
        with proxylink.OfficeJsTransaction(error_callback=failing_callback, raiseError=False):
            raise ValueError("block")


def test_failed_commit_replaces_the_blocks_exception(proxylink, excel, cell):
    seen = []
    with pytest.raises(RuntimeError, match="^commit refused$"):
        with proxylink.OfficeJsTransaction(error_callback=lambda *a: seen.append(a)):
            cell.values = 6
            excel.addin.answer_next("GET", ok=False, error={"message": "commit refused"})
            raise ValueError("block")
    assert seen == []


def test_explicit_commit_inside_with_starts_a_new_transaction(proxylink, excel, cell):
    with proxylink.OfficeJsTransaction() as t:
        cell.values = 1
        t.commit()
        assert stored(excel) == 1 and t._isInWith
        cell.values = 2
        assert stored(excel) == 1
    assert stored(excel) == 2
    assert sequence(excel) == START + WRITE + COMMIT + START + WRITE + COMMIT


def test_start_and_commit_without_with(proxylink, excel, cell):
    t = proxylink.OfficeJsTransaction(block_gets=True)
    assert t._start() is None
    cell.values = 8
    with pytest.raises(RuntimeError, match="^Reading 'values' is blocked while the transaction is open$"):
        cell.values
    assert t.commit() is None and t._isInWith is False
    assert cell.values == [[8]]
    block_gets = excel.transcript.requests("CALL")[0]["args"][1]["value"]
    assert block_gets == {"type": "Bool", "value": True, "isSpec": False}
    read = [("GET", "values", "obj")]
    # commit() outside a with block starts nothing; the two arrays read last are released
    assert sequence(excel) == START + WRITE + read + COMMIT + read + [("DEL", "fn"), ("DEL", "fn")]


def test_stale_transaction_after_reset(proxylink, excel, cell):
    t = proxylink.OfficeJsTransaction()
    excel.kernel.reconnect()
    excel.transcript.clear()
    with pytest.raises(RuntimeError, match="^Excel Object used after messaging context was stopped$"):
        with t:
            pass
    assert excel.transcript.requests() == []
    del t
    assert sequence(excel) == [("DEL", 5)]
    with proxylink.OfficeJsTransaction():  # a new one works
        pass


def test_replaced_getattr_global_is_used(proxylink, excel, monkeypatch):
    asked = []
    original = proxylink._cw__getattr__

    def spy(self, name):
        asked.append(name)
        return original(self, name)

    monkeypatch.setattr(proxylink, "_cw__getattr__", spy)
    with proxylink.OfficeJsTransaction():
        pass
    assert asked == ["start", "commit"]


def test_transactions_leak_nothing(proxylink, excel):
    import sys

    callback, flag = (lambda *args: None), object()

    def run(times):
        for _ in range(times):
            t = proxylink.OfficeJsTransaction(False, False, callback, flag)
            with t:
                raise ValueError("swallowed")

    run(20)
    gc.collect()
    before = sys.getrefcount(callback), sys.getrefcount(flag)
    run(200)
    gc.collect()
    assert (sys.getrefcount(callback), sys.getrefcount(flag)) == before
    assert excel.addin.live_ids() == []
