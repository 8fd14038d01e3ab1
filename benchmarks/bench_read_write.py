"""Where the time of a realistic read and write goes, end to end through the
in-process stand-in add-in, every message passing through JSON both ways.

Run from the repository root, against the in-place build or an installed package:

    PYTHONPATH=python .venv-3.9/bin/python benchmarks/bench_read_write.py [--quick]

The read is `sheet.getRange("A1:CV1000").values`, 1,000 rows of 100 floats; the
write sets a range of 100,000 rows x 10 columns to a pandas frame of floats. Each
is timed whole, then split into:

- JSON: every `json.dumps` and `json.loads` of the stand-in kernel and add-in,
  timed where they are called;
- the stand-in add-in's model (the workbook, and its own plain-Python codec) and
  its transcript, timed where they are called: the outside world's share;
- our codec: `from_wire` of the read's result, `to_wire` of the frame, each
  measured apart on the very value that crossed;
- the rest: the proxies' requests and the handoff between the calling thread and
  the listener thread that answers it (the caller's wait and wake-up).

Releasing the read's 1,001 arrays (one DEL message each) is timed on its own.
The figures are the best of several rounds; nothing is asserted.
"""
import argparse
import gc
import json
import sys
import threading
import time
from collections import defaultdict

import numpy as np
import pandas as pd

from orvane_master.python_server.orvane import proxylink
from orvane_master.testing import addin as addin_module
from orvane_master.testing import kernel as kernel_module
from orvane_master.testing.excel import SimulatedExcel

READ_RANGE, READ_ROWS, READ_COLUMNS = "A1:CV1000", 1000, 100
WRITE_ROWS, WRITE_COLUMNS = 100_000, 10


class Clock:
    """Time spent per part, summed over the calls made while it is on. The
    caller waits while the listener works, so the parts do not overlap."""

    def __init__(self) -> None:
        self.spent = defaultdict(float)
        self.on = False
        self._lock = threading.Lock()

    def wrap(self, part, fn):
        def timed(*args, **kwargs):
            if not self.on:
                return fn(*args, **kwargs)
            start = time.perf_counter()
            try:
                return fn(*args, **kwargs)
            finally:
                with self._lock:
                    self.spent[part] += time.perf_counter() - start
        return timed


class TimedJson:
    """Stands for the `json` module in the stand-in kernel and add-in."""

    def __init__(self, clock: Clock) -> None:
        self.dumps = clock.wrap("JSON", json.dumps)
        self.loads = clock.wrap("JSON", json.loads)


def instrument(env: SimulatedExcel, clock: Clock) -> dict:
    """Times the stand-in's parts; the returned dict keeps the last array that a
    response carried, as the kernel's listener parsed it."""
    arrays = {}
    add = env.kernel.transcript.add

    def note(direction, message):
        result = message.get("result")
        if direction == "response" and isinstance(result, dict) and result.get("type") == "Array":
            arrays["last"] = result
        add(direction, message)

    env.addin.handle = clock.wrap("stand-in add-in's model", env.addin.handle)
    env.kernel.transcript.add = clock.wrap("stand-in transcript", note)
    kernel_module.json = addin_module.json = TimedJson(clock)  # type: ignore[assignment]
    return arrays


def best_of(fn, rounds):
    """The best time of `fn()`; what it returns is dropped outside the timing."""
    spent = []
    for _ in range(rounds):
        gc.collect()
        start = time.perf_counter()
        result = fn()
        spent.append(time.perf_counter() - start)
        del result
    return min(spent)


def answered_at_once(env: SimulatedExcel, fn):
    """Runs `fn` while every request (the releases of what it decodes) is answered
    inside the send, with no add-in and no thread behind it."""
    m = proxylink.messaging
    m.set_send_handler(lambda message: m.on_message({"requestId": message["requestId"], "ok": True,
                                                     "result": {"type": "Null", "isSpec": False}}))
    try:
        return fn()
    finally:
        gc.collect()
        m.set_send_handler(env.kernel.send)


def split(name, rounds, operation, codec_part, codec_seconds, clock, released=None):
    """Runs `operation` `rounds` times and prints the split of the fastest, with
    the codec's share measured apart (`codec_seconds`)."""
    fastest = None
    for _ in range(rounds):
        gc.collect()
        clock.spent.clear()
        clock.on = True
        start = time.perf_counter()
        kept = operation()
        total = time.perf_counter() - start
        clock.on = False
        if fastest is None or total < fastest[0]:
            fastest = total, dict(clock.spent)
        del kept
    total, parts = fastest
    parts[codec_part] = codec_seconds
    parts["the rest: proxies' requests, handoff between threads"] = total - sum(parts.values())
    print(f"\n{name}: {total * 1e3:.1f} ms")
    for part, spent in sorted(parts.items(), key=lambda item: -item[1]):
        print(f"  {part:54} {spent * 1e3:8.1f} ms {spent / total:6.1%}")
    if released is not None:
        print(f"  {'(then releasing the arrays, one DEL each)':54} {released * 1e3:8.1f} ms")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds (a smoke test)")
    rounds = 2 if parser.parse_args().quick else 7
    clock = Clock()
    frame = pd.DataFrame(np.random.default_rng(1).random((WRITE_ROWS, WRITE_COLUMNS)),
                         columns=[f"c{i}" for i in range(WRITE_COLUMNS)])
    print(f"CPython {sys.version.split()[0]}; best of {rounds} rounds")
    with SimulatedExcel(transcript_limit=4) as env:
        arrays = instrument(env, clock)
        sheet = proxylink.Excel.workbook.worksheets.getActiveWorksheet()
        sheet.getRange(READ_RANGE).values = [[r * READ_COLUMNS + c + 0.5 for c in range(READ_COLUMNS)]
                                             for r in range(READ_ROWS)]

        def read():
            rows = sheet.getRange(READ_RANGE).values
            assert len(rows) == READ_ROWS and rows[-1][-1] == READ_ROWS * READ_COLUMNS - 0.5
            return rows

        def release():
            rows = read()
            start = time.perf_counter()
            del rows
            gc.collect()
            return time.perf_counter() - start

        released = min(release() for _ in range(rounds))  # reads, so the last array crossed is there
        wire = arrays["last"]
        decoded = answered_at_once(env, lambda: best_of(lambda: proxylink.Serializer.from_wire(wire), rounds))
        split(f"read {READ_ROWS:,} x {READ_COLUMNS} floats", rounds, read, "our from_wire", decoded, clock, released)

        target = sheet.getRange(f"A1:J{WRITE_ROWS + 1}")  # the header row too

        def write():
            target.values = frame

        encoded = best_of(lambda: proxylink.Serializer.to_wire(frame), rounds)
        split(f"write a {WRITE_ROWS:,} x {WRITE_COLUMNS} float frame", rounds, write, "our to_wire", encoded, clock)


if __name__ == "__main__":
    main()
