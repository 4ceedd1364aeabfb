"""Random frames and synthetic rows (the seeded cases of test_differential), the extension against the model:
the same result or the same exception, never a crash or a SystemError.

The normal run tries a fixed set of examples. With FUZZ_SECONDS set (see
scripts/fuzz.sh) each test draws fresh examples until its share of that
time is spent, and reports how many it ran.
"""
import os
import sys
import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import frames
from test_differential import KINDS, check_forward, check_postprocess

pytestmark = pytest.mark.filterwarnings("ignore")

FUZZ_SECONDS = float(os.environ.get("FUZZ_SECONDS", 0))
TESTS = 2  # the tests below share the time budget
COUNTS = {}


def fuzz(examples):
    """Runs the hypothesis test `examples` times in a normal run (the same
    examples every time), or over and over with fresh random examples for its
    share of FUZZ_SECONDS."""
    def decorate(test):
        def run():
            config = dict(deadline=None, database=None, suppress_health_check=list(HealthCheck))
            if not FUZZ_SECONDS:
                settings(max_examples=examples, derandomize=True, **config)(test)()
                sys.stderr.write("\n%s: %d examples\n" % (test.__name__, COUNTS.get(test.__name__, 0)))
                return
            end, COUNTS[test.__name__] = time.monotonic() + FUZZ_SECONDS / TESTS, 0
            fresh = settings(max_examples=examples, **config)(test)
            while time.monotonic() < end:
                fresh()  # each run draws new random examples
            sys.stderr.write("\n%s: %d examples\n" % (test.__name__, COUNTS[test.__name__]))
        run.__name__ = test.__name__
        return run
    return decorate


def counted(name):
    COUNTS[name] = COUNTS.get(name, 0) + 1


@fuzz(80)
@given(st.integers(0, 2 ** 32 - 1), st.fixed_dictionaries({}, optional={
    key: st.sampled_from(values) for key, values in frames.CHOICES.items()}))
def test_forward_transformation(seed, options):
    counted("test_forward_transformation")
    check_forward(*frames.random_case(seed, **options)[:2])


@fuzz(40)
@given(st.integers(0, 10 ** 8), st.sampled_from(KINDS))
def test_postprocessing(seed, kind):
    counted("test_postprocessing")
    check_postprocess(seed, kind)
