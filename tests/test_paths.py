"""Path discovery on small transition frames whose results can be checked by hand."""
from collections import Counter

import pandas as pd
import pytest
from pandas.testing import assert_frame_equal

import model
from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer as T


RGBG = [("red", "green"), ("green", "blue"), ("blue", "grey")]
NO_ROWS = ("The previous max path length was 4 and the last iteration resulted in 0 rows produced "
           "and max path length nan")


def mapping(col, pairs):
    return pd.DataFrame({col + "_1": [a for a, _ in pairs], col + "_2": [b for _, b in pairs],
                         col + "_diff": [str(p) for p in pairs]})


def start(pairs, path="index"):
    return pd.DataFrame({path: range(len(pairs)), "left": [a for a, _ in pairs], "right": [b for _, b in pairs]})


def rows(df):
    # Outer-merge row order differs between pandas versions: compare as a multiset.
    return Counter((None if pd.isna(l) else l, None if pd.isna(r) else r, tuple(p))
                   for l, r, p in zip(df["left"], df["right"], df["index"]))


@pytest.mark.parametrize("item", [[], [1, -1], type("Path", (list,), {})([2])])
def test_make_element_a_list_returns_lists_themselves(item):
    assert T.make_element_a_list(item) is item and T.make_element_a_list((1,)) == [(1,)]


@pytest.mark.parametrize("keys", [["colour", "size"], []])
def test_only_one_categorical_column(capsys, keys):
    with pytest.raises(AssertionError) as err:
        T.get_valid_path(pd.DataFrame({k + "_diff": ["('red', 'green')"] for k in keys}),
                         {k: mapping(k, RGBG) for k in keys})
    assert str(err.value) == ("Currently consistent paths created via only 1 category are supported, but multiple "
                              "categories with potential paths are present in the current dataset: '"
                              "dict_keys(%r)'." % keys)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("method, pairs, out, expected", [
    (lambda st: T.join_df(st, st), [("red", "green"), ("green", "blue")], "",
     {("red", "blue", (0, 1)), (None, "green", (-1, 0)), ("green", None, (1, -1))}),
    (T.iteratively_discover_paths_linear, [("red", "green"), ("blue", "grey")],
     "The previous max path length was 2 and this did not change in the last iteration which means we have reached "
     "the longest length possible so the loop will stop early.\n", {(None, "green", (-1, 0)), (None, "grey", (-1, 1))}),
    (T.iteratively_discover_paths_exponential, RGBG, NO_ROWS + " so returning the previous iteration instead.\n",
     {("red", None, (0, 1, 2, -1)), (None, "grey", (-1, 0, 1, 2)), ("green", None, (1, 2, -1)),
      (None, "blue", (-1, 0, 1))}),
    (T.iteratively_discover_paths_combined, RGBG,
     NO_ROWS + " so switching to linear expansion instead.\nEnd of linear run too\n", {(None, "grey", (-1, 0, 1, 2))}),
])
def test_worked_runs(capsys, method, pairs, out, expected):
    assert rows(method(start(pairs))) == Counter(expected)
    assert capsys.readouterr().out == out


def test_valid_path_returns_the_synthetic_rows(capsys):
    mp = mapping("colour", RGBG + [("grey", "red")])
    df = pd.DataFrame({"colour_diff": ["('blue', 'grey')", "('red', 'pink')", "('red', 'green')", "('green', 'blue')"],
                       "v": [1.5, 0.0, 3.5, 2.5]}, index=[9, 8, 7, 6])
    st = T.create_starting_df_for_path_discovery(T.expand_category_edges_in_df(df, {"colour": mp}), {"colour": mp})
    assert st.drop(1).values.tolist() == [[0, "blue", "grey"], [2, "red", "green"], [3, "green", "blue"]]
    assert st.iloc[1, 0] == 1 and st.iloc[1, 1:].isna().all()  # an unknown transition keeps its row
    assert_frame_equal(T.get_valid_path(df, {"colour": mp}), df.iloc[[2, 3, 0]], check_exact=True)
    assert capsys.readouterr().out.endswith("End of linear run too\n")


def overriding(base):
    class Sub(base):
        calls = []

        @classmethod
        def join_df(cls, df_l, df_r, *args, **kwargs):
            cls.calls.append((args, sorted(kwargs)))
            df = super().join_df(df_l, df_r, *args, **kwargs)
            return df[df.iloc[:, 0].notna() & df.iloc[:, 1].notna()]  # complete paths only
    return Sub


@pytest.mark.parametrize("method, args", [("iteratively_discover_paths_linear", (None, 3)),
                                          ("iteratively_discover_paths_exponential", (3,)),
                                          ("iteratively_discover_paths_combined", (3,))])
@pytest.mark.parametrize("path", ["index", "step"])
def test_an_overridden_join_changes_every_strategy(capsys, method, args, path):
    sub, sub_model = overriding(T), overriding(model.TimeseriesDifferenceTransformer)
    got = getattr(sub, method)(start(RGBG, path), *args, index=path)
    assert all(-1 not in p for p in got[path]) and sub.calls[0] == ((), [] if path == "index" else ["index"])
    out = capsys.readouterr().out
    assert_frame_equal(got, getattr(sub_model, method)(start(RGBG, path), *args, index=path), check_exact=True)
    assert (capsys.readouterr().out, sub.calls) == (out, sub_model.calls)
