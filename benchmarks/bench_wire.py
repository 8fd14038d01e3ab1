"""Wire codec benchmarks: encoding pandas tables and decoding a large array.

Run from the repository root, against the in-place build or an installed package:

    PYTHONPATH=python .venv-3.9/bin/python benchmarks/bench_wire.py [--quick]

Each timing is the best of several runs. The floors are measured in the same run:
a plain Python comprehension that builds the identical output, and (for the float
table) a few lines of C++ in floor_float_table.cpp, compiled here on the fly, that
build the same dictionaries straight from the frame's float buffer: once as plain
dicts, once as copies of shared-key templates, the layout the encoder produces.
"""
import argparse
import datetime as dt
import gc
import importlib.util
import os
import subprocess
import sys
import sysconfig
import tempfile
import time
import tracemalloc

import numpy as np
import pandas as pd

from orvane_master.python_server.orvane import proxylink

HERE = os.path.dirname(os.path.abspath(__file__))
to_wire, from_wire = proxylink.Serializer.to_wire, proxylink.Serializer.from_wire


def best(contenders, repeat):
    """Best wall time of each contender over `repeat` rounds. The contenders take
    turns within a round, so that a busy machine weighs on all of them alike;
    results are dropped outside the timing."""
    times = [[] for _ in contenders]
    for _ in range(repeat):
        for fn, spent in zip(contenders, times):
            gc.collect()
            start = time.perf_counter()
            result = fn()
            spent.append(time.perf_counter() - start)
            del result
    return [min(spent) for spent in times]


def build_floor():
    """Compiles the C++ floor into a temporary directory and imports it."""
    out_dir = tempfile.mkdtemp(prefix="orv-bench-")
    target = os.path.join(out_dir, "floor_float_table" + sysconfig.get_config_var("EXT_SUFFIX"))
    compiler = os.environ.get("CXX", "c++")
    subprocess.run([compiler, "-O2", "-shared", "-fPIC", "-std=c++17", "-I", sysconfig.get_paths()["include"],
                    os.path.join(HERE, "floor_float_table.cpp"), "-o", target], check=True)
    spec = importlib.util.spec_from_file_location("floor_float_table", target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


class _Holder:
    pass


def shared_key_templates():
    """Wire templates that are instance dictionaries of one class, so share one key table."""
    made = []
    for tag in ("Float", "String", "Array"):
        holder = _Holder()
        holder.type, holder.value, holder.isSpec = tag, None, False
        made.append(holder.__dict__)
    return made


# Comprehension floors: the identical nested output, built in Python.

def float_table_comprehension(df):
    header = [{"type": "String", "value": c, "isSpec": False} for c in df.columns.tolist()]
    rows = [{"type": "Array", "value": [{"type": "Float", "value": v, "isSpec": False} for v in row],
             "isSpec": False} for row in df.values.tolist()]
    return {"type": "Array", "value": [{"type": "Array", "value": header, "isSpec": False}] + rows, "isSpec": False}


TAG_OF = {float: "Float", int: "Int", str: "String", bool: "Bool", type(None): "Null", pd.Timestamp: "Date"}


def mixed_table_comprehension(df):
    def row_wire(row):
        return {"type": "Array", "value": [
            {"type": TAG_OF[type(v)], "value": v.isoformat() if type(v) is pd.Timestamp else v, "isSpec": False}
            for v in row], "isSpec": False}
    return {"type": "Array", "value": [row_wire(df.columns.tolist())] + [row_wire(r) for r in df.values.tolist()],
            "isSpec": False}


DECODE = {"Int": int, "Float": float, "String": str, "Bool": bool, "Null": lambda v: None,
          "Date": dt.datetime.fromisoformat}


def decode_comprehension(wire):
    return [[DECODE[c["type"]](c["value"]) for c in row["value"]] for row in wire["value"]]


def float_frame(rows, cols):
    rng = np.random.default_rng(1)
    return pd.DataFrame(rng.standard_normal((rows, cols)), columns=[f"c{i}" for i in range(cols)])


def mixed_frame(rows):
    rng = np.random.default_rng(2)
    floats = rng.standard_normal((rows, 3))
    floats[rng.random((rows, 3)) < 0.1] = np.nan
    stamps = pd.Timestamp("2024-01-01") + pd.to_timedelta(rng.integers(0, 10**9, rows), unit="s")
    return pd.DataFrame({
        "f0": floats[:, 0], "f1": floats[:, 1], "f2": floats[:, 2],
        "i0": rng.integers(0, 1000, rows), "i1": rng.integers(-5, 5, rows), "i2": np.arange(rows),
        "s0": [f"name{i}" for i in range(rows)], "s1": rng.choice(["a", "bb", "ccc"], rows),
        "t0": stamps, "t1": stamps + pd.Timedelta(days=1),
    })


def decode_wire(rows, cols):
    def cell(i):
        kind = i % 6
        if kind == 0:
            return {"type": "Int", "value": i, "isSpec": False}
        if kind == 1:
            return {"type": "Float", "value": i / 7, "isSpec": False}
        if kind == 2:
            return {"type": "String", "value": f"text{i}", "isSpec": False}
        if kind == 3:
            return {"type": "Bool", "value": i % 2 == 0, "isSpec": False}
        if kind == 4:
            return {"type": "Null", "value": None, "isSpec": False}
        return {"type": "Date", "value": "2024-05-06T07:08:09", "isSpec": False}
    return {"type": "Array", "id": 10, "isSpec": False, "value": [
        {"type": "Array", "id": 11 + r, "isSpec": False, "value": [cell(r * cols + c) for c in range(cols)]}
        for r in range(rows)]}


def line(label, seconds, cells, floors=()):
    text = f"  {label:<34} {seconds * 1e3:9.1f} ms  {seconds / cells * 1e9:7.1f} ns/cell"
    for name, floor in floors:
        text += f"  {seconds / floor:5.2f}x {name}"
    print(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller inputs and fewer runs (a smoke test)")
    args = parser.parse_args()
    scale, repeat = (10, 2) if args.quick else (1, 5)
    print(f"CPython {sys.version.split()[0]}, numpy {np.__version__}, pandas {pd.__version__}")

    floor = build_floor()
    templates = shared_key_templates()
    rows = 100_000 // scale
    df = float_frame(rows, 10)
    floors = {
        "comprehension": lambda: float_table_comprehension(df),
        "C++ plain dicts": lambda: floor.build(df.values, df.columns.tolist()),
        "C++ shared keys": lambda: floor.build(df.values, df.columns.tolist(), *templates),
    }
    assert all(to_wire(df) == build() for build in floors.values())
    cells = df.size
    t_ours, *t_floors = best([lambda: to_wire(df), *floors.values()], repeat)
    print(f"encode float64 DataFrame {rows} x 10")
    line("Serializer.to_wire", t_ours, cells, list(zip(floors, t_floors)))
    for name, seconds in zip(floors, t_floors):
        line(f"{name} floor", seconds, cells)

    rows = 20_000 // scale
    mixed = mixed_frame(rows)
    assert repr(to_wire(mixed)) == repr(mixed_table_comprehension(mixed))
    t_ours, t_comp = best([lambda: to_wire(mixed), lambda: mixed_table_comprehension(mixed)], repeat)
    print(f"encode mixed DataFrame {rows} x 10 (floats with NaN, ints, strings, timestamps)")
    line("Serializer.to_wire", t_ours, mixed.size, [("comprehension", t_comp)])
    line("comprehension floor", t_comp, mixed.size)

    rows = 1_000 // scale
    wire = decode_wire(rows, 100)
    decoded = from_wire(wire)
    assert [list(r) for r in decoded] == decode_comprehension(wire)
    del decoded
    flat = {"type": "Array", "id": 1, "isSpec": False, "value": [c for row in wire["value"] for c in row["value"]]}
    t_ours, t_comp, t_flat, t_arrays = best([
        lambda: from_wire(wire), lambda: decode_comprehension(wire), lambda: from_wire(flat),
        lambda: [proxylink.OfficeJsArray(i) for i in range(rows + 1)]], repeat)
    print(f"decode Array of {rows} rows x 100 mixed cells (Int, Float, String, Bool, Null, Date)")
    line("Serializer.from_wire", t_ours, rows * 100, [("comprehension", t_comp)])
    line("comprehension floor", t_comp, rows * 100)
    line("  the same cells in one Array", t_flat, rows * 100, [("comprehension", t_comp)])
    line(f"  {rows + 1} OfficeJsArray() alone", t_arrays, rows * 100)

    print(f"peak memory while encoding the float64 DataFrame {len(df)} x 10 (tracemalloc)")
    for label, fn in [("Serializer.to_wire", lambda: to_wire(df))] + [(f"{n} floor", f) for n, f in floors.items()]:
        gc.collect()
        tracemalloc.start()
        result = fn()
        output, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        del result
        print(f"  {label:<34} output {output / 2**20:7.1f} MiB  peak {peak / 2**20:7.1f} MiB"
              f"  peak/output {peak / output:5.2f}")


if __name__ == "__main__":
    main()
