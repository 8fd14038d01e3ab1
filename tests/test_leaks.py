"""The hot paths of both modules, repeated many times: no memory and no
references left behind. hot_paths.py holds the paths and the measurement;
benchmarks/leak_growth.py prints its figures."""
import contextlib
import ctypes
import itertools
import os
import subprocess
import sys
import textwrap

import pytest

import hot_paths
from hot_paths import (PATHS, ROUND_ITERATIONS, SANITIZER, SLOPE_BOUND, TRACED_BOUND, TRACED_ITERATIONS, WARM_UP,
                       measure)


@pytest.mark.parametrize("name", list(PATHS))
def test_nothing_is_left_behind(name):
    if hot_paths.CLASSES_IMMORTAL and PATHS[name].makes_proxies:
        pytest.skip(hot_paths.CLASSES_IMMORTAL_REASON)
    growth = measure(PATHS[name])
    assert growth.refcounts == []
    if growth.traced >= TRACED_BOUND:
        # A leak grows in every measurement; what disturbed one (seen once in CI: a
        # mixed frame's 30 kB, with the slope flat) is gone in a fresh one.
        again = measure(PATHS[name])
        assert again.traced < TRACED_BOUND, (growth, again)
    if not SANITIZER:
        assert growth.rss_slope < SLOPE_BOUND, growth
        assert growth.heap is None or growth.heap_slope < SLOPE_BOUND, growth


def leaking(step_of):
    """A path whose iteration is `step_of(kept, watched)`."""
    @contextlib.contextmanager
    def setup():
        kept, watched = [], object()
        yield step_of(kept, watched), [watched]
    return hot_paths.Path("leaking", setup)


def test_the_measurement_sees_a_leak_of_100_bytes_an_iteration():
    keep_object = leaking(lambda kept, watched: lambda: kept.append(bytes(67)))  # a 100-byte object
    assert measure(keep_object).traced > 2 * TRACED_BOUND

    keep_reference = leaking(lambda kept, watched: lambda: kept.append(watched))
    (_, before, after), = measure(keep_reference).refcounts
    assert after - before >= TRACED_ITERATIONS

    if not SANITIZER:  # memory tracemalloc never sees
        malloc = ctypes.CDLL(None).malloc
        growth = measure(leaking(lambda kept, watched: lambda: malloc(100)))
        assert growth.traced < TRACED_BOUND
        assert growth.heap is None or growth.heap_slope > 2 * SLOPE_BOUND, growth


@pytest.mark.skipif(SANITIZER, reason="untraced memory is not judged under a sanitizer")
@pytest.mark.skipif(hot_paths.MIMALLOC, reason="mimalloc may place a megabyte allocated once in pages it holds")
def test_growth_in_one_round_only_is_no_leak():
    """What a path allocates once, a cache or an arena however large, shows in
    one round of the untraced run and not in its slope."""
    once = WARM_UP // 5 + WARM_UP + TRACED_ITERATIONS + 2 * ROUND_ITERATIONS + 1  # in the third round
    calls = itertools.count(1)
    growth = measure(leaking(lambda kept, watched: lambda: next(calls) == once and kept.append(b"x" * (1 << 20))))
    assert max(growth.rss) >= 1 << 20 and (growth.heap is None or max(growth.heap) >= 1 << 20), growth
    assert growth.rss_slope < SLOPE_BOUND and (growth.heap is None or growth.heap_slope < SLOPE_BOUND), growth


@pytest.mark.skipif(SANITIZER, reason="the resident size is not judged under a sanitizer")
def test_the_resident_size_shows_a_leak_in_a_fresh_process():
    """Here malloc holds little free memory that a leak could fill unseen."""
    script = textwrap.dedent("""
        import ctypes
        from test_leaks import leaking
        from hot_paths import measure, SLOPE_BOUND
        malloc = ctypes.CDLL(None).malloc
        growth = measure(leaking(lambda kept, watched: lambda: malloc(100)))
        assert growth.rss_slope > 2 * SLOPE_BOUND, growth
        print("ok")
    """)
    here = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([here, *sys.path]))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, cwd=here,
                          timeout=120)
    assert done.stdout.strip() == "ok", done.stderr
