"""Encoding on several threads: the throughput of 2 threads against 1, each thread
encoding a frame of its own, and (with --against) the single-thread time against
another CPython, measured in the same run.

    PYTHONPATH=python .venv-3.13t/bin/python benchmarks/bench_threads.py [--quick] [--against PYTHON]

With the GIL, 2 threads give about the throughput of 1; on a free-threaded build
with the GIL off they should give close to twice. Times are the best wall times
of several rounds; the machine should have 2 idle cores.
"""
import argparse
import json
import os
import subprocess
import sys
import sysconfig
import threading
import time

import numpy as np
import pandas as pd

from orvane_master.python_server.orvane import proxylink

to_wire = proxylink.Serializer.to_wire


def frame(seed):
    rng = np.random.default_rng(seed)
    n = 2000
    return pd.DataFrame({"f": rng.random(n), "i": rng.integers(0, 1000, n), "s": [f"r{i}" for i in range(n)],
                         "g": rng.random(n) * 10})


def encode_for(frames_each, threads):
    """Wall time for `threads` threads to encode `frames_each` frames each, every
    thread its own frame."""
    frames = [frame(i) for i in range(threads)]
    start = threading.Barrier(threads + 1)

    def work(f):
        start.wait()
        for _ in range(frames_each):
            to_wire(f)

    workers = [threading.Thread(target=work, args=(f,)) for f in frames]
    for w in workers:
        w.start()
    start.wait()
    began = time.perf_counter()
    for w in workers:
        w.join()
    return time.perf_counter() - began


def measure(quick):
    frames_each, rounds = (4, 3) if quick else (12, 9)
    encode_for(1, 1)  # warm-up
    # One thread and two take turns, round by round: a shared host that slows down
    # for some seconds then slows both alike.
    times = [(encode_for(frames_each, 1), encode_for(frames_each, 2)) for _ in range(rounds)]
    one, two = (min(column) for column in zip(*times))
    return {"per_frame_ms": one / frames_each * 1e3, "two_thread_throughput": 2 * one / two,
            "gil": getattr(sys, "_is_gil_enabled", lambda: True)(),
            "free_threaded": bool(sysconfig.get_config_var("Py_GIL_DISABLED"))}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--against", metavar="PYTHON", help="another CPython with the package, measured in turn")
    parser.add_argument("--json", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    mine = measure(args.quick)
    if args.json:
        print(json.dumps(mine))
        return
    build = "free-threaded, GIL " + ("on" if mine["gil"] else "off") if mine["free_threaded"] else "with the GIL"
    print(f"CPython {sys.version.split()[0]} ({build})")
    print(f"  encode one 2000 x 4 frame, 1 thread      {mine['per_frame_ms']:8.2f} ms")
    print(f"  throughput of 2 threads against 1        {mine['two_thread_throughput']:8.2f}x")
    if args.against:
        done = subprocess.run([args.against, __file__, "--json", *(["--quick"] if args.quick else [])],
                              capture_output=True, text=True, env=dict(os.environ), check=True)
        other = json.loads(done.stdout)
        print(f"  single thread against {args.against}: {mine['per_frame_ms'] / other['per_frame_ms']:.2f}x its time "
              f"({other['per_frame_ms']:.2f} ms there)")


if __name__ == "__main__":
    main()
