"""Checks that keep a wrong frame from being returned, with and without -O."""
import os
import subprocess
import sys

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
