"""The forward transformation on small frames with exactly known results."""
import inspect

import numpy as np
import pandas as pd
import pytest
from pandas.testing import assert_frame_equal, assert_index_equal

import model
from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer as T


DAY = pd.Timedelta(1, unit="D")


def three_entities(**extra):
    # Out of order, with labels that are neither ordered nor 0-based.
    data = {
        "id": [30, 10, 20, 10, 30, 10],
        "t": ["2021-01-02", "2021-01-03", "2021-01-05", "2021-01-01", "2021-01-01", "2021-01-02"],
        "x": [7.0, 6.0, 5.0, 1.0, 2.0, 4.0],
        "c": [None, "B", "B", "A", "B", "A"],
        "note": list("uvwxyz"),
    }
    data.update(extra)
    return frame(data, [50, 40, 30, 20, 10, 0])


def frame(columns, index):
    # Category columns hold Python objects on every pandas (pandas 3 would
    # read a list of texts as str, None as nan).
    objects = [k for k in columns if k in ("c", "c_1", "c_2")]
    return pd.DataFrame({k: pd.Series(v, index=index, dtype=object) if k in objects else v
                         for k, v in columns.items()}, index=index)


def assert_same(actual, expected):
    assert_frame_equal(actual, expected, check_exact=True)


def test_three_entities_full_state():
    df = three_entities()
    tr = T(df, "id", "t", ["x", "t", "c"], ["t"])
    times = pd.to_datetime(["2021-01-01", "2021-01-02", "2021-01-03", "2021-01-05", "2021-01-01", "2021-01-02"])
    assert_same(tr.df_augmented, frame({
        "id": [10, 10, 10, 20, 30, 30], "t": times, "x": [1.0, 4.0, 6.0, 5.0, 2.0, 7.0],
        "c": ["A", "A", "B", "B", "B", None], "note": list("xzvwyu"), "NUM_GROUP_ENTRIES": [3, 3, 3, 1, 2, 2],
    }, range(6)))
    assert_same(tr.df_1_entry_per_group, frame(
        {"id": [20], "t": times[3:4], "x": [5.0], "c": ["B"], "note": ["w"]}, [3]))
    assert_same(tr.df_multi_entry_per_group_diff, frame({
        "id": [10, 10, 30], "note": list("zvu"), "NUM_GROUP_ENTRIES": [3, 3, 2], "x_diff": [3.0, 2.0, 5.0],
        "t_diff": [DAY, DAY, DAY], "c_diff": ["('A', 'A')", "('A', 'B')", "('B', None)"],
    }, [1, 2, 5]))
    assert list(tr.categorical_column_mappings) == ["c"]
    assert_same(tr.categorical_column_mappings["c"], frame(
        {"c_1": ["A", "A"], "c_2": ["A", "B"], "c_diff": ["('A', 'A')", "('A', 'B')"]}, [1, 2]))
    assert list(tr.category_counts.items()) == [(2, 1), (3, 1)]
    assert df["t"].dtype.kind == "M" and tr.df is df


def test_without_continuous_columns_first_rows_stay():
    tr = T(three_entities(), "id", "t", ["c"], ["t"])
    diff = tr.df_multi_entry_per_group_diff
    assert list(diff.index) == [0, 1, 2, 4, 5]
    assert list(diff.columns) == ["id", "t", "x", "note", "NUM_GROUP_ENTRIES", "c_diff"]
    assert list(diff["c_diff"]) == ["(None, 'A')", "('A', 'A')", "('A', 'B')", "(None, 'B')", "('B', None)"]
    assert list(tr.categorical_column_mappings["c"].index) == [1, 2]


def test_without_categorical_columns_no_mappings():
    tr = T(three_entities(), "id", "t", ["t", "x"], ["t"])
    assert tr.categorical_column_mappings == {}
    assert_same(tr.df_multi_entry_per_group_diff, frame({
        "id": [10, 10, 30], "c": ["A", "B", None], "note": list("zvu"), "NUM_GROUP_ENTRIES": [3, 3, 2],
        "t_diff": [DAY, DAY, DAY], "x_diff": [3.0, 2.0, 5.0]}, [1, 2, 5]))


TEXT_DTYPES = [(None, object, "None"), (np.nan, object, "nan"), (None, "string", "nan"), (None, "category", "nan"),
               # pandas' own choice: object before 3 (None stays None), str from 3 on (None becomes nan)
               (None, None, "None" if pd.Series(["A", None]).dtype == object else "nan")]
try:
    import pyarrow  # noqa: F401  (backs the pyarrow storage)
    STORAGES = ["python", "pyarrow"]
except ImportError:
    STORAGES = ["python"]
TEXT_DTYPES += [(None, "string[%s]" % storage, "nan") for storage in STORAGES[1:]]
if "na_value" in inspect.signature(pd.StringDtype).parameters:  # pandas 3's str
    TEXT_DTYPES += [(None, pd.StringDtype(storage, na_value=np.nan), "nan") for storage in STORAGES]


@pytest.mark.parametrize("missing, dtype, shown", TEXT_DTYPES)
def test_repeated_and_missing_transitions_in_mapping(missing, dtype, shown, monkeypatch):
    # Every text dtype gets its transition texts natively, never by a row-wise apply.
    monkeypatch.setattr(pd.DataFrame, "apply", lambda *a, **k: pytest.fail("row apply called"))
    df = pd.DataFrame({
        "id": [1, 1, 2, 2, 2, 3, 3, 3, 4, 4],
        "t": [1, 2, 1, 2, 3, 1, 2, 3, 1, 2],
        "c": pd.Series(["A", "B", "B", "A", "B", "A", missing, "B", "A", "B"], dtype=dtype),
    })
    tr = T(df, "id", "t", ["c"])
    # A -> B recurs in entities 2 and 4 but is listed once, under its first label;
    # entity 3 only has transitions into or out of a missing category.
    assert_same(tr.categorical_column_mappings["c"], frame(
        {"c_1": ["A", "B"], "c_2": ["B", "A"], "c_diff": ["('A', 'B')", "('B', 'A')"]}, [1, 3]))
    assert list(tr.df_multi_entry_per_group_diff["c_diff"])[5:8] == [
        "(None, 'A')", "('A', %s)" % shown, "(%s, 'B')" % shown]
    assert list(tr.category_counts.items()) == [(2, 2), (3, 2)]


def test_category_of_numbers_keeps_its_values():
    df = pd.DataFrame({"id": [1, 1, 1], "t": [1, 2, 3], "c": pd.Series([1, 2, None], dtype="category")})
    assert list(T(df, "id", "t", ["c"]).df_multi_entry_per_group_diff["c_diff"]) == ["(None, 1)", "(1, 2)", "(2, nan)"]


@pytest.mark.parametrize("extra, transition, kept", [
    # An input column under the transition name: the transition column moves aside.
    ({"c_diff": list(range(6))}, "c_diff_1", ["c_diff"]),
    # Input columns under the temporary from/to names survive untouched.
    ({"c_1": list("abcdef"), "c_2": list(range(6))}, "c_diff", ["c_1", "c_2"]),
    ({"c_1": list("abcdef"), "c_diff": list(range(6))}, "c_diff_1", ["c_1", "c_diff"]),
])
def test_name_clashes(extra, transition, kept):
    tr = T(three_entities(**extra), "id", "t", ["x", "c"], ["t"])
    diff = tr.df_multi_entry_per_group_diff
    assert list(diff.columns) == ["id", "t", "note"] + kept + ["NUM_GROUP_ENTRIES", "x_diff", transition]
    assert list(diff[transition]) == ["('A', 'A')", "('A', 'B')", "('B', None)"]
    augmented = tr.df_augmented
    for name in kept:
        assert list(diff[name]) == list(augmented.loc[[1, 2, 5], name])
    assert_same(tr.categorical_column_mappings["c"], frame(
        {"c_1": ["A", "A"], "c_2": ["A", "B"], transition: ["('A', 'A')", "('A', 'B')"]}, [1, 2]))


def test_differencing_reaches_first_row_lookup_through_self():
    seen = []

    class Sub(T):
        def _get_indexes_of_first_row_of_each_unique_id(self, df, id_column_name):
            seen.append((id_column_name, list(df.index)))
            return super()._get_indexes_of_first_row_of_each_unique_id(df, id_column_name)

    df = three_entities(k=list("pqpqpq"))
    Sub(df, "id", "t", ["c", "x", "k"], ["t"])
    assert seen == [("id", [0, 1, 2, 4, 5])] * 2


@pytest.mark.parametrize("ids, groups, index, expected", [
    ([1, 1, 1, 2, 2, 2, 2], [2] * 3 + [3] * 4, range(7), [0, 3]),
    ([1, 1, 1, 1, 2, 2, 2], [3] * 4 + [2] * 3, range(7), [4, 0]),
    ([5, 5, 7, 7, 7], [2, 2, 3, 3, 3], [2, 3, 9, 11, 12], [2, 9]),
    ([7, 5, 7, 5, 7], [3, 2, 3, 2, 3], [8, 6, 4, 2, 0], [6, 8]),
])
def test_first_row_lookup(ids, groups, index, expected):
    tr = T(three_entities(), "id", "t", ["x"])
    df = pd.DataFrame({"uid": ids, "NUM_GROUP_ENTRIES": groups}, index=index)
    before = df.copy()
    got = tr._get_indexes_of_first_row_of_each_unique_id(df, id_column_name="uid")
    assert_index_equal(got, pd.Index(expected, dtype=got.dtype), exact="equiv")
    assert_same(df, before)


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


@pytest.mark.filterwarnings("ignore::pandas.errors.PerformanceWarning")
@pytest.mark.parametrize("kind", ["index_column", "named_index", "missing_label", "repeated_column",
                                  "two_level_columns"])
def test_first_row_lookup_on_odd_frames_as_model(kind):
    outcomes = []
    for cls in (model.TimeseriesDifferenceTransformer, T):
        tr = cls(three_entities(), "id", "t", ["x"])
        try:
            outcomes.append(tr._get_indexes_of_first_row_of_each_unique_id(odd_frame(kind), "uid"))
        except Exception as error:
            outcomes.append((type(error), str(error)))
    expected, got = outcomes
    if isinstance(expected, tuple):
        assert got == expected
    else:
        assert_index_equal(got, expected, exact=True)


@pytest.mark.parametrize("sizes, expected", [
    ([1, 2, 2, 3], [(2, 2), (3, 1)]),
    ([1, 1], []),
    ([4, 2], [(2, 1), (4, 1)]),
])
def test_category_counts(sizes, expected):
    ids = [i for i, k in enumerate(sizes) for _ in range(k)]
    df = pd.DataFrame({"id": ids, "t": range(len(ids)), "x": 1.0})
    tr = T(df, "id", "t", ["x"])
    assert list(tr.category_counts.items()) == expected
    assert type(tr.category_counts) is dict



@pytest.mark.parametrize("columns", [["c"], ["x", "c"]])
def test_all_single_row_entities_give_empty_results(columns):
    df = pd.DataFrame({"id": [1, 2, 3], "t": [1, 2, 3], "x": [1.0, 2.0, 3.0], "c": ["a", "b", "c"]})
    tr = T(df, "id", "t", columns)
    assert len(tr.df_multi_entry_per_group_diff) == 0 and len(tr.df_1_entry_per_group) == 3
    assert len(tr.categorical_column_mappings["c"]) == 0 and tr.category_counts == {}
