"""Wire codec benchmarks: encoding pandas tables and decoding large arrays.

Run from the repository root, against the in-place build or an installed package:

    PYTHONPATH=python .venv-3.9/bin/python benchmarks/bench_wire.py [--quick]

Each timing is the best of several runs, the contenders taking turns. Our codec is
set against others measured in the same run: reference_codec.py, a plain-Python
rendering of the same steps; a plain Python comprehension that builds the
identical output (or, for the JSON tables, reads each cell with two `dict.get`
and a tag test); and a few lines of C++ compiled here on the fly. For the float
table, floor_float_table.cpp builds the same dictionaries straight from the
frame's float buffer, once as plain dicts, once as copies of shared-key templates,
the layout the encoder produces. For the JSON tables, floor_decode.cpp makes per
cell the four lookups the decoder makes, one tag test and one new reference to
the value in a new list.

Each case prints our time with its ratios to the others (below 1.00 ours is
faster), then the others' own times per cell.
"""
import argparse
import datetime as dt
import gc
import importlib.util
import itertools
import json
import os
import shutil
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
sys.path.insert(0, HERE)
import reference_codec  # noqa: E402

to_wire, from_wire = proxylink.Serializer.to_wire, proxylink.Serializer.from_wire
ref_to_wire, ref_from_wire = reference_codec.Serializer.to_wire, reference_codec.Serializer.from_wire


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


def build_floor(name="floor_float_table"):
    """Compiles the C++ floor `name`.cpp into a temporary directory and imports it;
    the directory goes once the module is loaded."""
    out_dir = tempfile.mkdtemp(prefix="orv-bench-")
    target = os.path.join(out_dir, name + sysconfig.get_config_var("EXT_SUFFIX"))
    compiler = os.environ.get("CXX", "c++")
    subprocess.run([compiler, "-O2", "-shared", "-fPIC", "-std=c++17", "-I", sysconfig.get_paths()["include"],
                    os.path.join(HERE, name + ".cpp"), "-o", target], check=True)
    spec = importlib.util.spec_from_file_location(name, target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    shutil.rmtree(out_dir)
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


def table_comprehension(wire, tag):
    """Per cell two dict.get and one tag test, the value taken as it is."""
    return [[c.get("value") if c.get("type") == tag else None for c in row["value"]] for row in wire["value"]]


def float_frame(rows, cols):
    rng = np.random.default_rng(1)
    return pd.DataFrame(rng.standard_normal((rows, cols)), columns=[f"c{i}" for i in range(cols)])


def mixed_frame(rows):
    rng = np.random.default_rng(2)
    floats = rng.standard_normal((rows, 3))
    floats[rng.random((rows, 3)) < 0.1] = np.nan
    stamps = pd.Timestamp("2024-01-01") + pd.to_timedelta(rng.integers(0, 10**9, rows), unit="s")
    words = rng.choice(["a", "bb", "ccc"], rows).astype(object)
    words[rng.random(rows) < 0.1] = None
    return pd.DataFrame({
        "f0": floats[:, 0], "f1": floats[:, 1], "f2": floats[:, 2],
        "i0": rng.integers(0, 1000, rows), "i1": rng.integers(-5, 5, rows), "i2": np.arange(rows),
        "s0": [f"name{i}" for i in range(rows)], "s1": pd.Series(words, dtype=object),  # keeps its None
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


_ids = itertools.count(100)


def as_from_addin(wire):
    """The add-in stores every array and dictionary under an object id."""
    if isinstance(wire, list):
        return [as_from_addin(e) for e in wire]
    if isinstance(wire, dict):
        out = {k: as_from_addin(v) for k, v in wire.items()}
        if wire.get("type") in ("Array", "Dict") and "isSpec" in wire:
            out["id"] = next(_ids)
        return out
    return wire


def json_table(tag, rows, cols):
    """A table of one kind of cell as the add-in sends it: ids added, through JSON."""
    rng = np.random.default_rng(3)
    if tag == "Int":
        cells = rng.integers(-10**6, 10**6, (rows, cols)).tolist()
    elif tag == "Float":
        cells = rng.standard_normal((rows, cols)).tolist()
    else:
        cells = [[f"w{v}" for v in row] for row in rng.integers(0, 10**5, (rows, cols)).tolist()]
    return json.loads(json.dumps(as_from_addin(to_wire(cells))))


def line(label, seconds, cells, others):
    """Our time with its ratios to the others, then the others' own times per cell."""
    text = f"  {label:<34} {seconds * 1e3:9.1f} ms  {seconds / cells * 1e9:7.1f} ns/cell"
    print(text + "".join(f"  {seconds / t:5.2f}x {name}" for name, t in others))
    print(f"    {'theirs, ns/cell:':<32}" + "".join(f"  {name} {t / cells * 1e9:.1f}" for name, t in others))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller inputs and fewer runs (a smoke test)")
    args = parser.parse_args()
    scale, repeat = (10, 2) if args.quick else (1, 5)
    print(f"CPython {sys.version.split()[0]}, numpy {np.__version__}, pandas {pd.__version__};"
          f" best of {repeat} runs")

    floor, floor_decode = build_floor("floor_float_table"), build_floor("floor_decode")
    templates = shared_key_templates()
    rows = 100_000 // scale
    df = float_frame(rows, 10)
    others = {
        "reference": lambda: ref_to_wire(df),
        "comprehension": lambda: float_table_comprehension(df),
        "C++ plain dicts": lambda: floor.build(df.values, df.columns.tolist()),
        "C++ shared keys": lambda: floor.build(df.values, df.columns.tolist(), *templates),
    }
    assert all(to_wire(df) == build() for build in others.values())
    t_ours, *t_others = best([lambda: to_wire(df), *others.values()], repeat)
    print(f"encode float64 DataFrame {rows} x 10")
    line("Serializer.to_wire", t_ours, df.size, list(zip(others, t_others)))

    rows = 20_000 // scale
    mixed = mixed_frame(rows)
    # repr, since NaN != NaN: the texts show the same tags, values and NaN positions
    assert repr(to_wire(mixed)) == repr(mixed_table_comprehension(mixed)) == repr(ref_to_wire(mixed))
    others = {"reference": lambda: ref_to_wire(mixed), "comprehension": lambda: mixed_table_comprehension(mixed)}
    t_ours, *t_others = best([lambda: to_wire(mixed), *others.values()], repeat)
    print(f"encode mixed DataFrame {rows} x 10 (floats with NaN, ints, strings with None, timestamps)")
    line("Serializer.to_wire", t_ours, mixed.size, list(zip(others, t_others)))

    rows = 1_000 // scale
    wire = decode_wire(rows, 100)
    decoded = from_wire(wire)
    assert decoded == decode_comprehension(wire) == ref_from_wire(wire)
    del decoded
    flat = {"type": "Array", "id": 1, "isSpec": False, "value": [c for row in wire["value"] for c in row["value"]]}
    others = {"reference": lambda: ref_from_wire(wire), "comprehension": lambda: decode_comprehension(wire)}
    t_ours, *t_others, t_flat, t_arrays = best([
        lambda: from_wire(wire), *others.values(), lambda: from_wire(flat),
        lambda: [proxylink.OfficeJsArray(i) for i in range(rows + 1)]], repeat)
    print(f"decode Array of {rows} rows x 100 mixed cells (Int, Float, String, Bool, Null, Date)")
    line("Serializer.from_wire", t_ours, rows * 100, list(zip(others, t_others)))
    print(f"    {'ours, ns/cell:':<32}  the same cells in one Array {t_flat / (rows * 100) * 1e9:.1f}"
          f"  {rows + 1} OfficeJsArray() alone {t_arrays / (rows * 100) * 1e9:.1f}")

    for tag in ("Int", "Float", "String"):
        table = json_table(tag, rows, 100)
        others = {"reference": lambda: ref_from_wire(table), "comprehension": lambda: table_comprehension(table, tag),
                  "C++ floor": lambda: floor_decode.decode(table, tag)}
        assert from_wire(table) == ref_from_wire(table) == table_comprehension(table, tag) \
            == floor_decode.decode(table, tag)
        t_ours, *t_others, t_arrays = best([lambda: from_wire(table), *others.values(),
                                            lambda: [proxylink.OfficeJsArray(i) for i in range(rows + 1)]], repeat)
        print(f"decode JSON table of {rows} rows x 100 {tag} cells")
        line("Serializer.from_wire", t_ours, rows * 100, list(zip(others, t_others)))
        # Every row is an OfficeJsArray, whose class is made with type(): no decoder goes
        # below making those arrays, whatever its cells cost.
        print(f"    {'the rows alone:':<32}  {rows + 1} OfficeJsArray() {t_arrays / (rows * 100) * 1e9:.1f} ns/cell,"
              f" {t_arrays / t_others[0]:.2f}x reference")
        # The same cells in a single row: the cells' cost without a class made per row.
        row = {"type": "Array", "id": 1, "isSpec": False,
               "value": [{"type": "Array", "id": 2, "isSpec": False,
                          "value": [c for r in table["value"] for c in r["value"]]}]}
        others = {"reference": lambda: ref_from_wire(row), "comprehension": lambda: table_comprehension(row, tag),
                  "C++ floor": lambda: floor_decode.decode(row, tag)}
        t_ours, *t_others = best([lambda: from_wire(row), *others.values()], repeat)
        print(f"decode the same {tag} cells as one row of {rows * 100}")
        line("Serializer.from_wire", t_ours, rows * 100, list(zip(others, t_others)))

    print(f"memory while encoding the float64 DataFrame {len(df)} x 10 (tracemalloc), output / peak MiB")
    text = " "
    for label, fn in [("Serializer.to_wire", lambda: to_wire(df)),
                      ("comprehension", lambda: float_table_comprehension(df)),
                      ("C++ plain dicts", lambda: floor.build(df.values, df.columns.tolist())),
                      ("C++ shared keys", lambda: floor.build(df.values, df.columns.tolist(), *templates))]:
        gc.collect()
        tracemalloc.start()
        result = fn()
        output, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        del result
        text += f" {label} {output / 2**20:.1f} / {peak / 2**20:.1f};"
    print(text.rstrip(";"))


if __name__ == "__main__":
    main()
