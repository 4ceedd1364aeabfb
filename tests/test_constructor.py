"""Column utilities and the constructor's own steps."""
import subprocess
import sys

import pandas as pd
import pytest

from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer as T


class Recording(T):
    """Stands in for the grouping, differencing and counting steps and records
    the calls the constructor makes through self."""

    def __init__(self, *args, **kwargs):
        self.calls = []
        super().__init__(*args, **kwargs)

    def _add_groupings_defined_by_number_of_entries(self):
        self.calls.append("group")
        return "augmented", "counts"

    def _split_df_into_single_and_multi_entry_dfs(self, group_counts):
        self.calls.append(("split", group_counts, self.df_augmented))
        return ["single", "multi"]

    def _get_diff(self, df_multi_entry_per_group):
        self.calls.append(("diff", df_multi_entry_per_group))
        return iter(("diffed", {"m": 1}))

    def _get_counts_of_categories(self):
        self.calls.append("count")
        return {2: 1}


def frame():
    return pd.DataFrame({"id": [1, 1, 2], "t": ["2020-01-01", "2020-01-02", "2020-01-03"],
                         "a": [1, 2, 3], "b": ["x", "y", "z"], "c": [0.5, 1.5, 2.5],
                         "NUM_GROUP_ENTRIES": 0, "UNIQUE_ID": 0, "UNIQUE_ID_1": 0, "c_diff": 0})


def test_constructor_state_and_in_place_conversion():
    df = frame()
    tr = Recording(df, "id", "t", ["a", "b", "c"], ["t"])
    assert tr.df is df and df["t"].dtype.kind == "M"
    assert (tr.category_column, tr.unique_id_column) == ("NUM_GROUP_ENTRIES_1", "UNIQUE_ID_2")
    assert (tr.continuous_columns_to_diff, tr.categorical_columns_to_diff) == (["a", "c"], ["b"])
    assert list(tr.continuous_columns_to_diff_map.items()) == [("a", "a_diff"), ("c", "c_diff_1")]
    assert tr.categorical_columns_to_diff_map == {"b": "b_diff"}
    assert tr.diff_col_names == ["a_diff", "c_diff_1", "b_diff"]
    assert tr.calls == ["group", ("split", "counts", "augmented"), ("diff", "multi"), "count"]
    assert (tr.df_augmented, tr.df_1_entry_per_group, tr.df_multi_entry_per_group_diff) == \
        ("augmented", "single", "diffed")
    assert tr.categorical_column_mappings == {"m": 1} and tr.category_counts == {2: 1}
    assert list(vars(tr))[1:] == [
        "df", "primary_id_column", "primary_timeseries_column", "columns_to_diff", "timeseries_columns",
        "category_column", "unique_id_column", "continuous_columns_to_diff", "categorical_columns_to_diff",
        "continuous_columns_to_diff_map", "categorical_columns_to_diff_map", "diff_col_names", "df_augmented",
        "df_1_entry_per_group", "df_multi_entry_per_group_diff", "categorical_column_mappings", "category_counts"]


@pytest.mark.parametrize("casts", [None, []])
def test_no_time_columns_means_no_conversion(casts):
    df = frame()
    tr = Recording(df, "id", "t", ("a",), casts)
    assert tr.timeseries_columns is casts and df["t"].dtype.kind != "M"


@pytest.mark.parametrize("args, shown", [
    (("id", "t", ["a", "zz"], None), "{'id', 't', 'a', 'zz'}"),
    (("id", "t", ["a"], ["t", "when"]), "{'t', 'when'}"),
])
def test_missing_columns_fail_with_the_set_tested(args, shown):
    df = frame()
    with pytest.raises(AssertionError) as info:
        Recording(df, *args)
    msg = str(info.value)
    assert msg.startswith("One of the columns '{") and msg.endswith("'.")
    assert eval(msg[len("One of the columns '"):msg.index("' does not exist")]) == eval(shown)
    assert "' does not exist in the dataframe '" + str(df.columns) + "'." in msg


class BadPair(Recording):
    def __init__(self, result, *args):
        self.result = result
        super().__init__(*args)

    def _split_columns_to_diff_into_continuous_and_categorical(self):
        return self.result


@pytest.mark.parametrize("result, message", [
    ((["a"], [], []), "too many values to unpack (expected 2)"),
    ((["a"],), "need more than 1 value to unpack"),
    ([], "need more than 0 values to unpack"),
    (iter([1, 2, 3]), "too many values to unpack (expected 2)"),
])
def test_pairs_unpack_to_exactly_two(result, message):
    with pytest.raises(ValueError, match=r"^" + pytest.importorskip("re").escape(message) + "$"):
        BadPair(result, frame(), "id", "t", ["a"])


@pytest.mark.parametrize("columns, desired, expected", [
    (["a"], "x", "x"), (["x"], "x", "x_1"), (["x", "x_1"], "x", "x_2"), (["x_1"], "x", "x"),
    (["a"], None, None), ([None], None, "None_1"),
])
def test_get_safe_column_name(columns, desired, expected):
    assert T.get_safe_column_name(pd.DataFrame(columns=columns), desired) == expected


def test_difference_names_and_dtype_split():
    df = pd.DataFrame({"date": [1], "date_diff": [2], 5: [3], "s": ["x"], "k": pd.Categorical(["x"]),
                       "u": pd.array(["x"], dtype="string"), "o": pd.Series(["x"], dtype=object),
                       "w": pd.to_datetime(["2021-03-01"])})
    tr = T.__new__(T)
    tr.df, tr.columns_to_diff = df, ["date", "date_diff", 5, "s", "k", "u", "o", "w"]
    assert list(tr._get_safe_col_diff_names(tr.columns_to_diff).items())[:5] == [
        ("date", "date_diff_1"), ("date_diff", "date_diff_diff"), (5, "5_diff"), ("s", "s_diff"), ("k", "k_diff")]
    # Text in any of pandas' dtypes is categorical.
    assert tr._split_columns_to_diff_into_continuous_and_categorical() == (
        ["date", "date_diff", 5, "w"], ["s", "k", "u", "o"])


def test_verify_and_convert_edge_cases():
    df = pd.DataFrame({"a": ["2021-03-01"], "b": [1]})
    assert T.verify_columns_exist_in_df(df, []) is None and T.verify_columns_exist_in_df(df, ["a", "a"]) is None
    assert T.convert_columns_to_time_dtype(df, []) is df and df["a"].dtype.kind != "M"
    with pytest.raises(KeyError):
        T.convert_columns_to_time_dtype(df, ["a", "zz"])
    assert df["a"].dtype.kind == "M"  # converted before the failure, and kept


def test_optimize_flag_skips_assertions():
    code = ("import pandas as pd\n"
            "from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer as T\n"
            "print(T.verify_columns_exist_in_df(pd.DataFrame({'a': [1]}), ['zz']))\n"
            "try:\n"
            "    T(pd.DataFrame({'a': [1]}), 'id', 't', ['a'], ['t'])\n"
            "except KeyError as e:\n"
            "    print('KeyError', e)\n")
    out = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.split("\n")[:2] == ["None", "KeyError 't'"]
