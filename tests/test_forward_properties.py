"""The extension's forward transformation against the plain-Python model, on
seeded random frames: every piece of state must come out identical."""
import random

import numpy as np
import pandas as pd
import pytest
from pandas.testing import assert_frame_equal, assert_index_equal

import frames
import model
from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer as T


STATE = ["df", "primary_id_column", "primary_timeseries_column", "columns_to_diff", "timeseries_columns",
         "category_column", "unique_id_column", "continuous_columns_to_diff", "categorical_columns_to_diff",
         "continuous_columns_to_diff_map", "categorical_columns_to_diff_map", "diff_col_names", "df_augmented",
         "df_1_entry_per_group", "df_multi_entry_per_group_diff", "categorical_column_mappings", "category_counts"]


def recording(base):
    # Keeps the intermediate frames, including the multi-entry frame that the
    # differencing changes in place.
    class Recording(base):
        def _split_df_into_single_and_multi_entry_dfs(self, group_counts):
            self.seen_group_counts = group_counts
            return super()._split_df_into_single_and_multi_entry_dfs(group_counts)

        def _get_diff(self, df_multi_entry_per_group):
            self.seen_multi = df_multi_entry_per_group
            return super()._get_diff(df_multi_entry_per_group)

    return Recording


NATIVE, MODEL = recording(T), recording(model.TimeseriesDifferenceTransformer)


def assert_same_value(a, b):
    assert type(a) is type(b)
    if hasattr(a, "columns"):
        assert_frame_equal(a, b, check_exact=True)
    elif isinstance(a, dict):
        assert list(a) == list(b) and [type(k) for k in a] == [type(k) for k in b]
        for key in a:
            assert_same_value(a[key], b[key])
    elif isinstance(a, list):
        assert len(a) == len(b)
        for x, y in zip(a, b):
            assert_same_value(x, y)
    else:
        assert a == b or (a is None and b is None)


def construct(cls, df, kwargs):
    frame = df.copy()
    try:
        return cls(frame, **kwargs), frame
    except Exception as error:  # the model's failure is the expected result
        return error, frame


def check_case(df, kwargs):
    ours, our_input = construct(NATIVE, df, kwargs)
    theirs, their_input = construct(MODEL, df, kwargs)
    assert_frame_equal(our_input, their_input, check_exact=True)
    if isinstance(theirs, Exception):
        assert (type(ours), str(ours)) == (type(theirs), str(theirs))
        return
    assert not isinstance(ours, Exception), ours
    for name in STATE + ["seen_group_counts", "seen_multi"]:
        assert_same_value(getattr(ours, name), getattr(theirs, name))
    assert ours.df is our_input
    # The first-row look-up on a shuffled copy of the multi-entry frame.
    multi = ours.seen_multi.sample(frac=1, random_state=len(ours.seen_multi))
    got = ours._get_indexes_of_first_row_of_each_unique_id(multi, ours.primary_id_column)
    assert_index_equal(got, theirs._get_indexes_of_first_row_of_each_unique_id(multi, ours.primary_id_column),
                       exact=True)


@pytest.mark.parametrize("seed", range(200))
def test_random_frames_match_model(seed):
    df, kwargs, _ = frames.random_case(seed)
    check_case(df, kwargs)


FORCED = [
    dict(singles="all"),
    dict(singles="all", columns=["cat"]),
    dict(singles="none", missing=True),
    dict(id_kind="text", time_kind="int", shuffle=True),
    dict(index_kind="text", shuffle=True, columns=["num", "date", "cat"]),
    dict(columns=[]),
    dict(columns=["cat", "cat2"], missing=True),
    dict(clash="diff", columns=["cat", "num"]),
    dict(clash="from_to", columns=["cat", "cat2", "int"]),
    dict(int_label=True, columns=["cat"]),
]


@pytest.mark.parametrize("options", FORCED, ids=lambda o: ",".join("%s=%s" % kv for kv in o.items()))
@pytest.mark.parametrize("seed", range(1000, 1004))
def test_forced_shapes_match_model(options, seed):
    df, kwargs, _ = frames.random_case(seed, **options)
    check_case(df, kwargs)


class Counted:
    """Renders differently on every call: each row's text must come from its own repr calls, in row order."""
    calls = 0

    def __repr__(self):
        Counted.calls += 1
        return "Counted#%d" % Counted.calls


class Unprintable:
    def __repr__(self):
        raise ValueError("no text for this one")


class Quoted(str):
    def __repr__(self):
        return "Quoted<%s>" % str.__repr__(self)


ONE, TWO, THREE = Counted(), Counted(), Quoted("q")
AWKWARD = {
    "ints": [1, 2, -3, 10 ** 30],
    "ints_none": [1, 2, None],
    "floats_nan": [1.5, -0.0, float("nan"), np.nan, 2.0],
    "bools": [True, False, None],
    "numpy_scalars": [np.float64(1.5), np.int64(3), np.bool_(True), "A"],
    "stamps": [pd.Timestamp("2021-01-01"), pd.Timestamp("2021-01-02 03:04"), pd.NaT],
    "stamps_tz_mixed": [pd.Timestamp("2021-01-01", tz="UTC"), pd.Timestamp("2021-01-01"), "A", None],
    "text": ["é", "中文", "x" * 500, "", "a'b\"c\n", "\U0001F600", "\x80", None],
    "tuples": [(1, "a"), (), ("é",), (None, (2.5,))],
    "mixed": [1, "A", None, True, 2.5, pd.Timestamp("2021-01-01"), (1, 2), b"raw", np.nan],
    "changing_repr": [ONE, TWO, THREE, "A", None],
    "unprintable": ["A", "B", Unprintable()],
}


@pytest.mark.parametrize("kind", list(AWKWARD))
def test_transition_texts_of_awkward_values(kind):
    rng = random.Random(kind)
    pool = AWKWARD[kind]
    sizes = [rng.randint(1, 5) for _ in range(12)]
    n = sum(sizes)
    # The same objects recur on many rows, as in a real categorical column.
    values = np.empty(n, dtype=object)
    values[:] = [rng.choice(pool) for _ in range(n)]
    df = pd.DataFrame({"pid": [i for i, k in enumerate(sizes) for _ in range(k)],
                       "when": [t for k in sizes for t in range(k)], "val": values},
                      index=["r%d" % i for i in rng.sample(range(10 * n), n)])
    # pandas would store Timestamps alone as datetimes.
    df["val"] = df["val"].astype(object)
    df = df.iloc[rng.sample(range(n), n)]
    outcomes = []
    for cls in (T, model.TimeseriesDifferenceTransformer):
        Counted.calls = 0
        outcomes.append(construct(cls, df, dict(primary_id_column="pid", primary_timeseries_column="when",
                                                columns_to_diff=["val"]))[0])
    ours, theirs = outcomes
    if isinstance(theirs, Exception):
        assert (type(ours), str(ours)) == (type(theirs), str(theirs))
        return
    for name in ("df_multi_entry_per_group_diff", "categorical_column_mappings"):
        assert_same_value(getattr(ours, name), getattr(theirs, name))
