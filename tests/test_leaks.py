"""The hot paths of both modules, repeated many times: no memory and no
references left behind. hot_paths.py holds the paths and the measurement, and
prints the figures as a table when run as a script."""
import contextlib
import ctypes
import os
import subprocess
import sys
import textwrap

import pytest

import hot_paths
from hot_paths import HEAP_BOUND, PATHS, RSS_BOUND, SANITIZER, TRACED_BOUND, measure


@pytest.mark.parametrize("name", list(PATHS))
def test_nothing_is_left_behind(name):
    growth = measure(PATHS[name])
    assert growth.refcounts == []
    assert growth.traced < TRACED_BOUND
    if not SANITIZER:
        assert growth.rss < RSS_BOUND
        assert growth.heap is None or growth.heap < HEAP_BOUND


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
    assert after - before >= hot_paths.TRACED_ITERATIONS

    if not SANITIZER:  # memory tracemalloc never sees
        malloc = ctypes.CDLL(None).malloc
        growth = measure(leaking(lambda kept, watched: lambda: malloc(100)))
        assert growth.traced < TRACED_BOUND
        assert growth.heap is None or growth.heap > 2 * HEAP_BOUND


@pytest.mark.skipif(SANITIZER, reason="the resident size is not judged under a sanitizer")
def test_the_resident_size_shows_a_leak_in_a_fresh_process():
    """Here malloc holds little free memory that a leak could fill unseen."""
    script = textwrap.dedent("""
        import ctypes
        from test_leaks import leaking
        from hot_paths import measure, RSS_BOUND
        malloc = ctypes.CDLL(None).malloc
        growth = measure(leaking(lambda kept, watched: lambda: malloc(100)))
        assert growth.rss > 2 * RSS_BOUND, growth
        print("ok")
    """)
    here = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([here, *sys.path]))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, cwd=here,
                          timeout=120)
    assert done.stdout.strip() == "ok", done.stderr
