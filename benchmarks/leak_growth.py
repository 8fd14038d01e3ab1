"""The growth of memory and references along each hot path of both modules, as
the leak checks (tests/test_leaks.py) measure and judge it, one line a path.

Run from the repository root, against the in-place build or an installed package:

    PYTHONPATH=python .venv-3.9/bin/python benchmarks/leak_growth.py [part of a name ...]

The untraced columns give the median growth of a round in bytes an iteration,
the figure the checks judge; below a path that grew at all, each round's.
"""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))

from hot_paths import PATHS, measure  # noqa: E402 - the paths live beside the tests


def per_iteration(rounds, iterations):
    return "[" + " ".join(f"{r / iterations:.1f}" for r in rounds) + "]"


def main(selected):
    print(f"{'':55} {'traced run':>15}  {'untraced run, bytes an iteration'}")
    print(f"{'path':55} {'iterations':>10} {'B':>5}  {'rounds':>10} {'RSS':>5} {'heap':>5} {'s':>5}")
    for path in PATHS.values():
        if selected and not any(s in path.name for s in selected):
            continue
        started = time.perf_counter()
        g = measure(path)
        seconds = time.perf_counter() - started
        rounds = f"{len(g.rss)} x {g.round_iterations}" if g.round_iterations else "-"
        heap = "-" if g.heap_slope is None else f"{g.heap_slope:.1f}"
        print(f"{path.name:55} {g.traced_iterations:>10} {g.traced:>5}  {rounds:>10} {g.rss_slope:>5.1f} {heap:>5} "
              f"{seconds:>5.1f}")
        for label, rounds in (("RSS", g.rss), ("heap", g.heap or [])):
            if any(rounds):
                print(f"    {label} by round: {per_iteration(rounds, g.round_iterations)}")
        for obj, before, after in g.refcounts:
            print(f"    references to {obj}: {before} -> {after}")


if __name__ == "__main__":
    main(sys.argv[1:])
