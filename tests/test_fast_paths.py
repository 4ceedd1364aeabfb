"""The native passes against the model on the inputs where exactness is easy
to lose: each case either stays native (the pandas route it replaces is made
to fail) or must fall back, and gives the model's result to the last bit."""
import inspect
import warnings
from decimal import Decimal

import numpy as np
import pandas as pd
import pytest
from pandas.core.groupby import groupby

from twins import M, T, assert_same_outcome, outcome

PANDAS_2 = int(pd.__version__.split(".")[0]) >= 2
TS, TD, BIG = pd.Timestamp("2021-03-01 08:00"), pd.Timedelta(1, unit="h"), 2 ** 62
SMALL = pd.DataFrame({"id": [1, 1, 2, 2], "t": [1, 2, 1, 2], "x": [1.0, 2.0, 3.0, 4.0]})


def same_as_model(monkeypatch, prepare, native, route):
    """prepare(K)() on both classes; when `native`, the pandas `route` (owner, name) fails on the extension's side."""
    run = {K: prepare(K) for K in (T, M)}
    with warnings.catch_warnings(record=True) as expected_warnings:
        warnings.simplefilter("always")
        expected = outcome(run[M])
    taken = []
    if route:  # counted where the pandas route is allowed
        through = getattr(*route)
        monkeypatch.setattr(*route, (lambda *a, **k: pytest.fail("pandas route taken")) if native else
                            (lambda *a, **k: taken.append(1) or through(*a, **k)))
    with warnings.catch_warnings(record=True) as got_warnings:
        warnings.simplefilter("always")
        got = outcome(run[T])
    monkeypatch.undo()
    assert_same_outcome(got, expected)
    assert [str(w.message) for w in got_warnings] == [str(w.message) for w in expected_warnings]
    if not got[0]:
        assert str(got[1]) == str(expected[1])
    return got[1], bool(taken)


DIFFERENCES = {  # name: (ids, values, index, native where pandas diffs entity by entity)
    # int64 steps beyond 2**53 must be taken in int64, not as floats.
    "int64_large": ([1, 1, 1, 2, 2], [1, 2 ** 53 + 1, -BIG, 5, 3], None, True),
    "int64_overflow": ([1, 1], [-BIG * 2 + 5, BIG], None, False),
    "float_special": ([1, 1, 1, 1, 2, 2], [np.inf, np.inf, -0.0, np.nan, 1e300, -1e300], [9, 7, 5, 3, 1, 0], True),
    "datetime_missing": ([1, 1, 1, 4, 4], [TS, pd.NaT, TS, TS, TS + pd.Timedelta(1)], None, True),
    "datetime_overflow": ([3, 3], [pd.Timestamp.min, pd.Timestamp.max], None, False),
    "ids_unsorted": ([2, 2, 1, 1], [1.0, 3.0, 10.0, 30.0], None, False),
    "index_repeated": ([1, 1, 2], [1.0, 3.0, 10.0], [0, 0, 1], False),
    "timezone": ([1, 1], pd.DatetimeIndex([TS, TS]).tz_localize("UTC"), None, False),
}


@pytest.mark.parametrize("name", DIFFERENCES)
def test_differences(name, monkeypatch):
    ids, values, index, native = DIFFERENCES[name]
    df = pd.DataFrame({"id": np.asarray(ids, dtype=np.int64), "v": values}, index=index)
    same_as_model(monkeypatch, lambda K: lambda tr=K(SMALL, "id", "t", ["x"]): tr._get_diff(df.copy())[0],
                  native and not PANDAS_2, (groupby.GroupBy, "_python_apply_general"))


SUMS = {  # name: (ids, values, index, summed natively)
    "nan_inf_signed_zero": ([1, 1, 1, 1, 2, 2, 2, 3], [-0.0, np.nan, -0.0, 1.0, np.inf, 2.0, np.inf, np.nan], None,
                            True),
    # numpy warns (or raises under np.seterr) at these additions: left to pandas.
    "overflow": ([1, 1, 2, 2], [1e308, 1e308, np.inf, -np.inf], None, False),
    "object_overflow": ([1, 1], np.array([1e308, 1e308], dtype=object), None, False),
    "int64_wraps": ([4, 4, 4, 9, 9], [2 ** 62, 2 ** 62, 2 ** 62, -5, 7], None, True),
    "timestamps": ([1, 1, 1, 2, 2], np.array([np.datetime64(TS), TD, TD, TS, -TD], dtype=object), list("edcba"), True),
    "object_missing": ([1, 1, 1, 2, 2], np.array([1, 2.5, None, None, Decimal("0.1")], dtype=object), [3, 3, 0, 0, 1],
                       True),
    "nat_in_object": ([1, 1, 1], np.array([TS, pd.NaT, TD], dtype=object), None, True),
    "object_gaps": ([1, 1, 1, 2, 2, 2], np.array([1, 2.5, None, None, 3, 2 ** 70], dtype=object), None, True),
    "ids_unsorted": ([2, 2, 1, 1, 2], [0.1, 0.2, 0.3, 0.4, 0.5], None, False),
    "entity_split_later": ([1, 2, 2, 3, 2], [0.1, 0.2, 0.3, 0.4, 0.5], None, False),
    "nullable_int": ([1, 1, 2], pd.array([1, None, 3], dtype="Int64"), None, False),
}
rng = np.random.RandomState(5)
# Magnitudes far apart: any reordering or pairwise summation changes the bits.
CANCELLING = np.where(rng.rand(3000) < 0.5, rng.normal(scale=1e16, size=3000), rng.normal(size=3000))
CANCELLING[rng.rand(3000) < 0.05] = np.nan
SUMS["cancelling"] = (np.sort(rng.randint(0, 150, 3000)), CANCELLING, None, True)


def running_sums(K, df):
    # No first rows to seed, so the sums see the column as given.
    tr = K(SMALL, "id", "t", ["x"])
    tr.unique_id_column, tr.continuous_columns_to_diff_map = "entity", {"value": "value_diff"}
    tr.df_augmented = pd.DataFrame({"value": [0.0], tr.category_column: [2]})
    return lambda: tr._undiff_continuous_columns(df.copy(), {}, [])


@pytest.mark.parametrize("name", SUMS)
def test_running_sums(name, monkeypatch):
    ids, values, index, native = SUMS[name]
    df = pd.DataFrame({"entity": np.asarray(ids, dtype=np.int64), "num_repetitions": 2, "value_diff": values},
                      index=index)
    got = same_as_model(monkeypatch, lambda K: running_sums(K, df), native, (pd.DataFrame, "groupby"))[0]
    if not isinstance(got, Exception) and got["value"].dtype == float:  # signed zeros too
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # numpy's overflow warnings, compared above
            assert got["value"].to_numpy().tobytes() == running_sums(M, df)()["value"].to_numpy().tobytes()


def stamped(stamps=None):
    sizes = [2, 3, 3, 4, 2]
    step = np.concatenate([np.arange(k) for k in sizes])
    if stamps is None:
        stamps = (pd.Timestamp("2021-03-01") + pd.to_timedelta(step * 30 + np.arange(14) % 7, unit="h")).astype(
            "datetime64[ns]")  # pandas 3 would pick another unit
    return pd.DataFrame({"id": np.repeat(np.arange(5), sizes), "t": step, "stamp": stamps, "x": np.linspace(0, 1, 14)})


def shared_difference(tr, synth):  # two restored columns read one difference column
    tr.continuous_columns_to_diff_map["stamp_again"] = "stamp_diff"
    tr.df_augmented["stamp_again"] = tr.df_augmented["stamp"]


def labels_swapped(tr, synth):
    # Two entities' first rows swap labels: each still names a first row, but labels are no longer positions.
    build = tr._construct_vectors_of_identical_shape_to_allow_vectorized_operations_for_performance_enhancements

    def swapped(*args):
        out = build(*args)
        ids = out[tr.unique_id_column].to_numpy()
        first, last = np.flatnonzero(np.r_[True, ids[1:] != ids[:-1]])[[0, -1]]
        labels = np.arange(len(out))
        labels[[first, last]] = [last, first]
        return out.set_axis(labels)
    tr._construct_vectors_of_identical_shape_to_allow_vectorized_operations_for_performance_enhancements = swapped


DATETIMES = {  # name: (input stamps, change to the transformer and synthetic frame, or a request; native)
    "plain": (None, None, True),
    "single_entity": (None, {4: 1}, True),
    "tz_aware": (pd.date_range("2021-03-01", periods=14, freq="5h", tz="Europe/Paris"), None, True),
    "overflow": (None, lambda tr, s: s.__setitem__("stamp_diff", pd.Timedelta(40000, unit="D")), False),
    "nat_difference": (None, lambda tr, s: s.__setitem__("stamp_diff", s["stamp_diff"].where(s.index % 4 > 0)), False),
    "difference_kept": (None, lambda tr, s: setattr(tr, "diff_col_names", tr.diff_col_names[1:]), False),
    "shared_difference": (None, shared_difference, False),
    # Seeding the second column writes into the id column the sums are grouped by.
    "id_overwritten": (None, lambda tr, s: setattr(tr, "continuous_columns_to_diff_map",
                                                   {"stamp": "stamp_diff", "x": tr.unique_id_column}), False),
    "labels_swapped": (None, labels_swapped, False),
}
if PANDAS_2:  # every unit, also where the differences come in another one than the input
    for unit, diff_unit in [("s", None), ("ms", None), ("s", "ns"), ("ns", "s"), ("us", "ms")]:
        DATETIMES[unit + "_" + str(diff_unit)] = (
            pd.date_range("2021-03-01", periods=14, freq="5h").astype("datetime64[%s]" % unit),
            diff_unit and (lambda tr, s, u=diff_unit: s.__setitem__("stamp_diff", s["stamp_diff"].astype(
                "timedelta64[%s]" % u))), True)


@pytest.mark.filterwarnings("ignore::FutureWarning")  # misused attributes make pandas warn, for the model too
@pytest.mark.parametrize("name", DATETIMES)
def test_datetime_columns_restored(name, monkeypatch):
    stamps, change, native = DATETIMES[name]

    def prepare(K):
        tr = K(stamped(stamps), "id", "t", ["stamp", "x"])
        synth, request = pd.concat([tr.df_multi_entry_per_group_diff] * 4, ignore_index=True), {2: 2, 3: 2, 4: 1}
        if isinstance(change, dict):
            request = change
        elif change:
            change(tr, synth)
        return lambda: tr.postprocess_timeseries_difference_method(synth, request)
    # The pandas route ends in pd.to_datetime on the object sums: where the
    # native pass cannot vouch for the result, that route must run.
    got, taken = same_as_model(monkeypatch, prepare, native, (pd, "to_datetime"))
    assert isinstance(got, Exception) or got["stamp"].dtype.kind != "M" or taken is not native


def odd_frame(kind):
    df = pd.DataFrame({"uid": [5, 5, 7, 7, 7], "NUM_GROUP_ENTRIES": [2, 2, 3, 3, 3], "x": [1.0, 2, 3, 4, 5]},
                      index=[2, 3, 9, 11, 12])
    if kind == "index_column":  # reset_index then calls the labels "level_0"
        df["index"] = [40, 30, 20, 10, 0]
    elif kind == "named_index":
        df.index.name = "row"
    elif kind == "missing_label":  # first() skips a missing label
        df.index = [np.nan, 3.0, 9.0, np.nan, 12.0]
    elif kind == "repeated_column":
        df.columns = ["uid", "NUM_GROUP_ENTRIES", "uid"]
    elif kind == "two_level_columns":
        df.columns = pd.MultiIndex.from_tuples([("uid", ""), ("NUM_GROUP_ENTRIES", ""), ("x", "a")])
    return df


# The first-row look-up reads the label column alone only on plain frames.
@pytest.mark.filterwarnings("ignore::pandas.errors.PerformanceWarning")
@pytest.mark.parametrize("kind", ["plain", "index_column", "named_index", "missing_label", "repeated_column",
                                  "two_level_columns"])
def test_first_row_lookup_on_odd_frames(kind, monkeypatch):
    same_as_model(monkeypatch, lambda K: lambda: K(SMALL, "id", "t", ["x"])._get_indexes_of_first_row_of_each_unique_id(
        odd_frame(kind), "uid"), False, None)


TEXT_DTYPES = [(None, object, "None"), (np.nan, object, "nan"), (None, "string", "nan"), (None, "category", "nan"),
               # pandas' own choice: object before 3 (None stays None), str from 3 on (None becomes nan)
               (None, None, "None" if pd.Series(["A", None]).dtype == object else "nan")]
try:
    import pyarrow  # noqa: F401  (backs the pyarrow storage)
    TEXT_DTYPES += [(None, "string[pyarrow]", "nan")]
    STORAGES = ["python", "pyarrow"]
except ImportError:
    STORAGES = ["python"]
if "na_value" in inspect.signature(pd.StringDtype).parameters:  # pandas 3's str
    TEXT_DTYPES += [(None, pd.StringDtype(storage, na_value=np.nan), "nan") for storage in STORAGES]


@pytest.mark.parametrize("missing, dtype, shown", TEXT_DTYPES)
def test_transition_texts_of_every_text_dtype(missing, dtype, shown, monkeypatch):
    monkeypatch.setattr(pd.DataFrame, "apply", lambda *a, **k: pytest.fail("row apply called"))
    df = pd.DataFrame({"id": [1, 1, 2, 2, 2, 3, 3, 3, 4, 4], "t": [1, 2, 1, 2, 3, 1, 2, 3, 1, 2],
                       "c": pd.Series(["A", "B", "B", "A", "B", "A", missing, "B", "A", "B"], dtype=dtype)})
    tr = T(df, "id", "t", ["c"])
    # A -> B recurs in entities 2 and 4 but is listed once, under its first label;
    # entity 3 only has transitions into or out of a missing category.
    mapping = tr.categorical_column_mappings["c"]
    assert list(mapping.index) == [1, 3] and list(mapping["c_diff"]) == ["('A', 'B')", "('B', 'A')"]
    assert list(mapping["c_1"]) == ["A", "B"] and mapping["c_1"].dtype == object
    assert list(tr.df_multi_entry_per_group_diff["c_diff"])[5:8] == ["(None, 'A')", "('A', %s)" % shown,
                                                                     "(%s, 'B')" % shown]
