"""The hot paths of both modules, repeated many times: no memory and no
references left behind. hot_paths.py holds the paths and the measurement, and
prints the figures as a table when run as a script."""
import contextlib
import ctypes

import pytest

import hot_paths
from hot_paths import PATHS, RSS_BOUND, SANITIZER, TRACED_BOUND, measure


@pytest.mark.parametrize("name", list(PATHS))
def test_nothing_is_left_behind(name):
    growth = measure(PATHS[name])
    assert growth.refcounts == []
    assert growth.traced < TRACED_BOUND
    if not SANITIZER:
        assert growth.rss < RSS_BOUND


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
    assert after - before > hot_paths.TRACED_ITERATIONS

    if not SANITIZER:  # memory tracemalloc never sees: only the resident size shows it
        malloc = ctypes.CDLL(None).malloc
        growth = measure(leaking(lambda kept, watched: lambda: malloc(100)))
        assert growth.traced < TRACED_BOUND and growth.rss > 2 * RSS_BOUND
