"""Small frames whose results were worked out by hand: the forward pass, the
way back into entities, and path discovery."""
from collections import Counter

import pandas as pd
import pytest
from pandas.testing import assert_frame_equal

from twins import M, T

DAY = pd.Timedelta(1, unit="D")


def frame(columns, index):
    # Category columns hold Python objects on every pandas (pandas 3 would read None as nan).
    return pd.DataFrame({k: pd.Series(v, index=index, dtype=object) if k in ("c", "c_1", "c_2") else v
                         for k, v in columns.items()}, index=index)


def three_entities(**extra):
    # Out of order, with labels that are neither ordered nor 0-based.
    return frame(dict({"id": [30, 10, 20, 10, 30, 10], "x": [7.0, 6.0, 5.0, 1.0, 2.0, 4.0],
                       "t": ["2021-01-02", "2021-01-03", "2021-01-05", "2021-01-01", "2021-01-01", "2021-01-02"],
                       "c": [None, "B", "B", "A", "B", "A"], "note": list("uvwxyz")}, **extra), [50, 40, 30, 20, 10, 0])


def test_three_entities_forward():
    df = three_entities()
    tr = T(df, "id", "t", ["x", "t", "c"], ["t"])
    times = pd.to_datetime(["2021-01-01", "2021-01-02", "2021-01-03", "2021-01-05", "2021-01-01", "2021-01-02"])
    assert_frame_equal(tr.df_augmented, frame({
        "id": [10, 10, 10, 20, 30, 30], "x": [1.0, 4.0, 6.0, 5.0, 2.0, 7.0], "t": times,
        "c": ["A", "A", "B", "B", "B", None], "note": list("xzvwyu"), "NUM_GROUP_ENTRIES": [3, 3, 3, 1, 2, 2]},
        range(6)), check_exact=True)
    assert_frame_equal(tr.df_1_entry_per_group, frame(
        {"id": [20], "x": [5.0], "t": times[3:4], "c": ["B"], "note": ["w"]}, [3]), check_exact=True)
    assert_frame_equal(tr.df_multi_entry_per_group_diff, frame({
        "id": [10, 10, 30], "note": list("zvu"), "NUM_GROUP_ENTRIES": [3, 3, 2], "x_diff": [3.0, 2.0, 5.0],
        "t_diff": [DAY, DAY, DAY], "c_diff": ["('A', 'A')", "('A', 'B')", "('B', None)"]}, [1, 2, 5]),
        check_exact=True)
    assert_frame_equal(tr.categorical_column_mappings["c"], frame(
        {"c_1": ["A", "A"], "c_2": ["A", "B"], "c_diff": ["('A', 'A')", "('A', 'B')"]}, [1, 2]), check_exact=True)
    assert list(tr.category_counts.items()) == [(2, 1), (3, 1)] and df["t"].dtype.kind == "M" and tr.df is df
    # Without continuous columns the first rows stay, with a transition from None.
    diff = T(three_entities(), "id", "t", ["c"], ["t"]).df_multi_entry_per_group_diff
    assert list(diff["c_diff"]) == ["(None, 'A')", "('A', 'A')", "('A', 'B')", "(None, 'B')", "('B', None)"]


def visits():
    # Entity sizes 3, 2, 2 and 1: means of x are 3.0 (size 3) and 25.0 (size 2).
    return pd.DataFrame({"id": [1, 1, 1, 2, 2, 3, 3, 4], "x": [1.0, 2.0, 6.0, 10.0, 20.0, 30.0, 40.0, 99.0],
                         "t": ["2021-01-01", "2021-01-03", "2021-01-05", "2021-01-01", "2021-01-02", "2021-01-03",
                               "2021-01-04", "2021-01-09"], "c": ["A", "B", "A", "B", "B", "A", "C", "D"]})


def worked_synthetic():
    # Rows are equal within a category, so the order in which pandas sorts a block does not matter.
    two = dict(id=7, NUM_GROUP_ENTRIES=2, t_diff=DAY, x_diff=0.5, c_diff="('B', 'A')")
    three = dict(id=8, NUM_GROUP_ENTRIES=3, t_diff=2 * DAY, x_diff=-1.0, c_diff="('A', 'C')")
    five = dict(id=9, NUM_GROUP_ENTRIES=5, t_diff=DAY, x_diff=0.0, c_diff="('B', 'B')")
    return pd.DataFrame([three, two, five, two, three, two, two, three, two, three, two, three, three, three, three])


# Any subset of the pool's row counts, in any order: ids follow the request.
@pytest.mark.parametrize("request_, sizes", [(None, [2, 2, 3]), ({2: 2}, [2, 2]), ({3: 1, 2: 2}, [3, 2, 2])])
def test_postprocess_worked_example(request_, sizes):
    synth = worked_synthetic()
    out = T(visits(), "id", "t", ["t", "x", "c"], ["t"]).postprocess_timeseries_difference_method(synth, request_)
    start = {2: (pd.Timestamp("2021-01-02 12:00"), 25.0), 3: (pd.Timestamp("2021-01-03"), 3.0)}
    rows = []
    for uid, k in enumerate(sizes, 1):
        step_t, step_x, ident, cat = (DAY, 0.5, 7, "B") if k == 2 else (2 * DAY, -1.0, 8, "A")
        rows += [dict(UNIQUE_ID=uid, id=ident, c=cat, t=start[k][0] + j * step_t, x=start[k][1] + j * step_x)
                 for j in range(1, k + 1)]
    assert_frame_equal(out, pd.DataFrame(rows).astype({"c": object}), check_exact=True)
    assert_frame_equal(synth, worked_synthetic())


@pytest.mark.parametrize("dtype", ["int64", "float64"])
def test_time_differences_given_as_numbers(dtype):
    hours = (worked_synthetic()["t_diff"] / pd.Timedelta(1, unit="h")).astype(dtype)
    for K in (T, M):
        with pytest.raises(TypeError, match=r"^Column 't_diff' holds numbers \(%s\), .*pd\.to_timedelta" % dtype):
            K(visits(), "id", "t", ["t", "x", "c"], ["t"]).postprocess_timeseries_difference_method(
                worked_synthetic().assign(t_diff=hours))


RGBG = [("red", "green"), ("green", "blue"), ("blue", "grey")]
NO_ROWS = "The previous max path length was 4 and the last iteration resulted in 0 rows produced and max path length nan"


def start(pairs):
    return pd.DataFrame({"index": range(len(pairs)), "left": [a for a, _ in pairs], "right": [b for _, b in pairs]})


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
def test_path_runs(capsys, method, pairs, out, expected):
    got = method(start(pairs))
    # Outer-merge row order differs between pandas versions: compared as a multiset.
    assert Counter((None if pd.isna(a) else a, None if pd.isna(b) else b, tuple(p))
                   for a, b, p in zip(got["left"], got["right"], got["index"])) == Counter(expected)
    assert capsys.readouterr().out == out


def test_valid_path_returns_the_synthetic_rows(capsys):
    pairs = RGBG + [("grey", "red")]
    mp = {"colour": pd.DataFrame({"colour_1": [a for a, _ in pairs], "colour_2": [b for _, b in pairs],
                                  "colour_diff": [str(p) for p in pairs]})}
    df = pd.DataFrame({"colour_diff": ["('blue', 'grey')", "('red', 'pink')", "('red', 'green')", "('green', 'blue')"],
                       "v": [1.5, 0.0, 3.5, 2.5]}, index=[9, 8, 7, 6])
    st = T.create_starting_df_for_path_discovery(T.expand_category_edges_in_df(df, mp), mp)
    assert st.drop(1).values.tolist() == [[0, "blue", "grey"], [2, "red", "green"], [3, "green", "blue"]]
    assert st.iloc[1, 0] == 1 and st.iloc[1, 1:].isna().all()  # an unknown transition keeps its row
    assert_frame_equal(T.get_valid_path(df, mp), df.iloc[[2, 3, 0]], check_exact=True)
    assert capsys.readouterr().out.endswith("End of linear run too\n")
