"""The extension's forward transformation against the plain-Python model, on
seeded random frames: every piece of state must come out identical."""
import pytest
from pandas.testing import assert_frame_equal, assert_index_equal

import frames
import model
from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer as T

pytestmark = pytest.mark.filterwarnings(r"ignore:\s*A value is trying to be set on a copy")

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
