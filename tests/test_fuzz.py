"""Random frames and synthetic rows, the extension against the model:
the same result or the same exception, never a crash or a SystemError.

The normal run tries a fixed set of examples. With FUZZ_SECONDS set (see
scripts/fuzz.sh) each test draws fresh examples until its share of that
time is spent, and reports how many it ran.
"""
import os
import sys
import time

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from twins import M, T, twin_call

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


LABELS = ["pid", "t", "x", "y", "c", "k", 0, 1, "größe", "NUM_GROUP_ENTRIES", "UNIQUE_ID", "x_diff", "c_1", "c_2",
          "index", None]
CATEGORIES = st.sampled_from(["a", "b", "c", None, np.nan, 1, "é"])


@st.composite
def columns(draw, rows):
    kind = draw(st.sampled_from(["float", "int", "big", "cat", "mixed", "bool", "datetime", "category"]))
    size = dict(min_size=rows, max_size=rows)
    if kind == "float":
        values = draw(st.lists(st.one_of(st.floats(-1e6, 1e6), st.just(np.nan)), **size))
    elif kind == "int":
        values = draw(st.lists(st.integers(-2 ** 63, 2 ** 63 - 1), **size))
    elif kind == "big":
        return pd.Series(draw(st.lists(st.integers(-2 ** 80, 2 ** 80), **size)), dtype=object)
    elif kind in ("cat", "category"):
        values = draw(st.lists(CATEGORIES, **size))
        return pd.Series(values, dtype="category" if kind == "category" else object)
    elif kind == "mixed":
        return pd.Series(draw(st.lists(st.one_of(CATEGORIES, st.integers(-3, 3), st.floats(-2, 2)), **size)),
                         dtype=object)
    elif kind == "bool":
        values = draw(st.lists(st.booleans(), **size))
    else:
        values = pd.to_datetime(draw(st.lists(st.integers(0, 10 ** 6), **size)), unit="h")
    return pd.Series(values)


@st.composite
def inputs(draw):
    """A frame with several rows per id and the constructor's arguments."""
    sizes = draw(st.lists(st.integers(1, 4), max_size=5))
    rows = sum(sizes)
    ids = [i for i, k in enumerate(sizes) for _ in range(k)]
    id_kind = draw(st.sampled_from(["int", "text", "missing", "float"]))
    if id_kind == "text":
        ids = ["id%d" % i for i in ids]
    elif id_kind != "int":
        ids = [np.nan if id_kind == "missing" and draw(st.booleans()) else i + 0.5 for i in ids]
    times = draw(st.lists(st.integers(0, 30), min_size=rows, max_size=rows))
    text_times = draw(st.booleans())
    if text_times:
        times = ["2021-02-%02d" % (d % 28 + 1) if d else None for d in times]
    data = {"pid": ids, "t": times}
    for _ in range(draw(st.integers(0, 4))):
        label = draw(st.sampled_from(LABELS))
        if label not in ("pid", "t"):
            data[label] = draw(columns(rows)).to_numpy()
    df = pd.DataFrame(data)
    if draw(st.booleans()):
        df = df.iloc[draw(st.permutations(range(rows)))]
    index = draw(st.sampled_from(["range", "shuffled", "repeated", "text"]))
    if index != "shuffled":
        df.index = {"range": range(rows), "repeated": [0] * rows, "text": ["r%d" % i for i in range(rows)]}[index]
    labels = list(df.columns[2:]) + ["missing"] * draw(st.sampled_from([0, 0, 0, 1]))
    to_diff = draw(st.lists(st.sampled_from(labels or ["missing"]), max_size=4, unique=draw(st.booleans())))
    convert = draw(st.sampled_from([None, [], ["t"] if text_times else None, ["t"] if text_times else ["missing"]]))
    return df, dict(primary_id_column="pid", primary_timeseries_column="t", columns_to_diff=to_diff,
                    columns_to_cast_to_timeseries_datatypes=convert)


def construct(df, kwargs):
    (ok, native), (_, reference) = twin_call((T, M), dict(kwargs, df=df), failed_may_differ=True)
    return (native, reference) if ok else None


@fuzz(60)
@given(inputs())
def test_forward_transformation(drawn):
    counted("test_forward_transformation")
    construct(*drawn)


@fuzz(60)
@given(inputs(), st.data())
def test_postprocessing(drawn, data):
    counted("test_postprocessing")
    pair = construct(*drawn)
    if pair is None or not len(pair[0].df_multi_entry_per_group_diff):
        return
    diff, group = pair[0].df_multi_entry_per_group_diff, pair[0].category_column
    present = sorted(diff[group].unique())
    if data.draw(st.booleans()):
        # Rows enough for the default request, or for any subset of row counts in any order.
        synth = pd.concat([diff] * 4, ignore_index=True)
        synth = synth.iloc[data.draw(st.permutations(range(len(synth))))].reset_index(drop=True)
        request = data.draw(st.one_of(st.none(), st.lists(st.sampled_from(present), min_size=1, unique=True).map(
            lambda keys: {k: 1 for k in keys})))
    else:
        synth = diff.iloc[data.draw(st.lists(st.integers(0, len(diff) - 1), max_size=40))].reset_index(drop=True)
        if data.draw(st.booleans()):
            synth[group] = data.draw(st.lists(st.integers(0, 5), min_size=len(synth), max_size=len(synth)))
        request = data.draw(st.one_of(st.none(), st.dictionaries(st.sampled_from(present + [0, 1, 9]),
                                                                 st.integers(-1, 3), max_size=3)))
    twin_call([p.postprocess_timeseries_difference_method for p in pair],
              dict(df_synth=synth, desired_category_counts=request))
