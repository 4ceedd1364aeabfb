"""Post-processing: synthetic differenced rows back into timeseries entities."""
import os
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from pandas.testing import assert_frame_equal

import model
from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer as T

DAY = pd.Timedelta(1, unit="D")


def visits():
    # Entity sizes 3, 2, 2 and 1: means of x are 3.0 (size 3) and 25.0 (size 2).
    return pd.DataFrame({
        "id": [1, 1, 1, 2, 2, 3, 3, 4],
        "t": ["2021-01-01", "2021-01-03", "2021-01-05", "2021-01-01", "2021-01-02", "2021-01-03", "2021-01-04",
              "2021-01-09"],
        "x": [1.0, 2.0, 6.0, 10.0, 20.0, 30.0, 40.0, 99.0],
        "c": ["A", "B", "A", "B", "B", "A", "C", "D"]})


def worked_synthetic():
    # Rows are equal within a category, so the order in which pandas sorts a block does not matter.
    two = dict(id=7, NUM_GROUP_ENTRIES=2, t_diff=DAY, x_diff=0.5, c_diff="('B', 'A')")
    three = dict(id=8, NUM_GROUP_ENTRIES=3, t_diff=2 * DAY, x_diff=-1.0, c_diff="('A', 'C')")
    five = dict(id=9, NUM_GROUP_ENTRIES=5, t_diff=DAY, x_diff=0.0, c_diff="('B', 'B')")
    return pd.DataFrame([three, two, five, two, three, two, two, three, two, three, two, three, three, three, three])


# Any subset of the pool's row counts, in any order: ids follow the request.
@pytest.mark.parametrize("request_, sizes", [(None, [2, 2, 3]), ({2: 2}, [2, 2]), ({2: 1, 3: 1}, [2, 3]),
                                             ({3: 2}, [3, 3]), ({3: 1, 2: 2}, [3, 2, 2])])
def test_worked_example(request_, sizes):
    tr = T(visits(), "id", "t", ["t", "x", "c"], ["t"])
    synth = worked_synthetic()
    kept = synth.copy()
    out = tr.postprocess_timeseries_difference_method(synth, request_)
    start = {2: (pd.Timestamp("2021-01-02 12:00"), 25.0), 3: (pd.Timestamp("2021-01-03"), 3.0)}
    rows = []
    for uid, k in enumerate(sizes, 1):
        seed_t, seed_x = start[k]
        step_t, step_x, ident, cat = (DAY, 0.5, 7, "B") if k == 2 else (2 * DAY, -1.0, 8, "A")
        rows += [dict(UNIQUE_ID=uid, id=ident, c=cat, t=seed_t + j * step_t, x=seed_x + j * step_x)
                 for j in range(1, k + 1)]
    # Categories come back as the objects of the mapping frame.
    assert_frame_equal(out, pd.DataFrame(rows).astype({"c": object}), check_exact=True)
    assert_frame_equal(synth, kept)


def test_round_trip_gives_entities_built_from_the_differences_used():
    rng = np.random.RandomState(3)
    sizes = [2, 3, 3, 4, 4, 4, 5, 1]
    df = pd.DataFrame({
        "patient": np.repeat(np.arange(len(sizes)), sizes),
        "when": np.concatenate([np.sort(rng.choice(90, k, replace=False)) for k in sizes]) * DAY
        + pd.Timestamp("2022-01-01"),
        "weight": rng.normal(70, 5, sum(sizes)).round(1),
        "ward": rng.choice(["icu", "er", "gen"], sum(sizes)).astype(object)})
    tr = T(df, "patient", "when", ["when", "weight", "ward"])
    synth = pd.concat([tr.df_multi_entry_per_group_diff] * 6, ignore_index=True)
    synth["row"] = range(len(synth))
    request = {2: 2, 3: 2, 4: 4, 5: 1}
    out = tr.postprocess_timeseries_difference_method(synth, request)
    mapping = tr.categorical_column_mappings["ward"].set_index("ward_diff")["ward_1"]
    grouped = out.groupby("UNIQUE_ID", sort=False)
    assert list(grouped.size()) == [k for k, n in request.items() for _ in range(n)]
    for _, entity in grouped:
        used = synth.loc[entity["row"]]
        k = len(entity)
        assert (used["NUM_GROUP_ENTRIES"] == k).all()
        of_size = df[df["patient"].map(df["patient"].value_counts()) == k]
        np.testing.assert_allclose(entity["weight"], of_size["weight"].mean() + used["weight_diff"].cumsum())
        assert list(entity["when"]) == list(of_size["when"].mean() + used["when_diff"].cumsum())
        assert list(entity["ward"]) == list(used["ward_diff"].map(mapping))
    assert list(out.columns) == ["UNIQUE_ID", "patient", "row", "ward", "when", "weight"]
    assert list(out.index) == list(range(len(out)))


@pytest.mark.parametrize("request_, available, positions", [
    ({2: 1, 3: 1}, {2: 5, 3: 4}, [0, 1, 2, 5, 6, 7, 8]),
    ({2: 2}, {2: 6, 5: 9}, [0, 1, 2, 3, 4, 5]),
    ({3: 1, 2: 1}, {2: 5, 3: 4}, [5, 6, 7, 8, 0, 1, 2]),
    ({5: 1}, {2: 6, 3: 1, 5: 9}, [7, 8, 9, 10, 11, 12]),
    ({2: 2}, {2: 5}, "More rows required for num_rows = 2 category. Have 5 rows but require 6 rows."),
])
def test_positions_taken_from_each_category_block(request_, available, positions):
    needed = pd.Series({k: n * (k + 1) for k, n in request_.items()})
    if isinstance(positions, str):
        with pytest.raises(AssertionError, match=positions):
            T._get_indexes_to_keep(request_, pd.Series(available), needed)
    else:
        assert T._get_indexes_to_keep(request_, pd.Series(available), needed) == positions


@pytest.mark.parametrize("values, restored", [([1, 2, 4, 8], [4.75, 5.75] * 2), ([2, 2, 4, 4], [4, 5] * 2)])
def test_integer_differences_seeded_with_means_as_on_pandas_2(values, restored):
    # A generator may give whole-number differences as int64: a fractional mean
    # makes the column float64 (pandas 2 upcasts, pandas 3 would raise), a whole
    # one keeps it (pandas 1.x upcasts that too).
    tr = T(pd.DataFrame({"id": [1, 1, 2, 2], "t": [1, 2, 1, 2], "x": values}), "id", "t", ["x"])
    synth = pd.DataFrame({"id": 0, "NUM_GROUP_ENTRIES": [2] * 6, "x_diff": 1})
    out = tr.postprocess_timeseries_difference_method(synth, {2: 2})
    assert out["x"].tolist() == restored
    assert out["x"].dtype == np.asarray(restored).dtype or pd.__version__.startswith("1.")


# A descending request, a short pool, rows of one row count paired with another's ids, a short block.
CALLS = """import sys, pandas as pd, test_postprocess as t
from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer as T
OffByOne = type("OffByOne", (T,), {"_get_indexes_to_keep": classmethod(
    lambda cls, *args: [p + 1 for p in T._get_indexes_to_keep(*args)])})
post = lambda cls, counts: cls(t.visits(), "id", "t", ["t", "x", "c"], ["t"]).postprocess_timeseries_difference_method(
    t.worked_synthetic(), counts).to_csv()
print(sys.flags.optimize)
for call in [lambda: post(T, {3: 1, 2: 2}), lambda: post(T, {2: 3}), lambda: post(OffByOne, {2: 2, 3: 1}),
             lambda: T._get_indexes_to_keep({2: 2}, pd.Series({2: 5, 3: 4}), pd.Series({2: 6}))]:
    try:
        print(call())
    except AssertionError as error:
        print(error)
"""


def test_same_results_and_failures_under_optimize():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    plain, optimized = (subprocess.run([sys.executable] + flags + ["-c", CALLS], env=env, stdout=subprocess.PIPE,
                                       universal_newlines=True).stdout for flags in ([], ["-O"]))
    assert plain[:2] == "0\n" and optimized == "1" + plain[1:] and plain.count("UNIQUE_ID") == 1
    assert "Require 9 synthetic rows" in plain and "should match in all cases" in plain and "Have 5 rows" in plain


@pytest.mark.parametrize("dtype", ["int64", "float64"])
def test_time_differences_given_as_numbers(dtype):
    synth = worked_synthetic()
    hours = (synth["t_diff"] / pd.Timedelta(1, unit="h")).astype(dtype)
    messages = []
    for cls in (T, model.TimeseriesDifferenceTransformer):
        tr = cls(visits(), "id", "t", ["t", "x", "c"], ["t"])
        with pytest.raises(TypeError, match=r"^Column 't_diff' holds numbers \(%s\), .*pd\.to_timedelta" % dtype) as e:
            tr.postprocess_timeseries_difference_method(synth.assign(t_diff=hours))
        messages.append(str(e.value))
        assert_frame_equal(tr.postprocess_timeseries_difference_method(synth.assign(t_diff=pd.to_timedelta(
            hours, unit="h"))), tr.postprocess_timeseries_difference_method(synth), check_exact=True)
    assert messages[0] == messages[1]
