"""Checks that keep a wrong frame from being returned, with and without -O,
and time differences that arrive as plain numbers."""
import os
import subprocess
import sys

import pandas as pd
import pytest
from pandas.testing import assert_frame_equal

import model
from test_postprocess import visits, worked_synthetic
from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer as T

CALLS = """
import sys
import pandas as pd
from test_postprocess import visits, worked_synthetic
from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer as T


class OffByOne(T):
    @classmethod
    def _get_indexes_to_keep(cls, *args):
        return [p + 1 for p in T._get_indexes_to_keep(*args)]


def post(cls, request):
    return cls(visits(), "id", "t", ["t", "x", "c"], ["t"]).postprocess_timeseries_difference_method(
        worked_synthetic(), request)


print(sys.flags.optimize)
for call in [lambda: post(T, {3: 1, 2: 2}), lambda: post(T, {2: 3}), lambda: post(OffByOne, {2: 2, 3: 1}),
             lambda: T._get_indexes_to_keep({2: 2}, pd.Series({2: 5, 3: 4}), pd.Series({2: 6}))]:
    try:
        print(call().to_csv())
    except Exception as error:
        print(type(error).__name__, error)
"""


def test_same_results_and_failures_under_optimize():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    runs = [subprocess.run([sys.executable] + flags + ["-c", CALLS], env=env, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, universal_newlines=True) for flags in ([], ["-O"])]
    assert [run.stdout.split("\n", 1)[0] for run in runs] == ["0", "1"], runs[1].stderr
    plain, optimized = (run.stdout.split("\n", 1)[1] for run in runs)
    assert plain == optimized
    assert plain.count("UNIQUE_ID") == 1 and plain.count("AssertionError") == 3
    for message in ["Require 9 synthetic rows to be generated but only 6 synthetic records are available.",
                    "NUM_GROUP_ENTRIES and num_repetitions should match in all cases",
                    "More rows required for num_rows = 2 category. Have 5 rows but require 6 rows."]:
        assert message in plain


@pytest.mark.parametrize("dtype", ["int64", "float64"])
def test_time_differences_given_as_numbers(dtype):
    synth = worked_synthetic()
    hours = (synth["t_diff"] / pd.Timedelta(hours=1)).astype(dtype)
    messages = []
    for cls in (T, model.TimeseriesDifferenceTransformer):
        tr = cls(visits(), "id", "t", ["t", "x", "c"], ["t"])
        expected = r"^Column 't_diff' holds numbers \(%s\), .*pd\.to_timedelta" % dtype
        with pytest.raises(TypeError, match=expected) as info:
            tr.postprocess_timeseries_difference_method(synth.assign(t_diff=hours))
        messages.append(str(info.value))
        converted = synth.assign(t_diff=pd.to_timedelta(hours, unit="h"))
        assert_frame_equal(tr.postprocess_timeseries_difference_method(converted),
                           tr.postprocess_timeseries_difference_method(synth), check_exact=True)
    assert messages[0] == messages[1]
