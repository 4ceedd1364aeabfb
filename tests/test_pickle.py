"""A fitted transformer survives pickling and deep copies unchanged."""
import copy
import pickle

import pandas as pd
import pytest

from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer as T


def fitted():
    df = pd.DataFrame({
        "id": [7, 7, 7, 3, 3, 9, 5, 5, 5, 5],
        "t": ["2024-01-0%d" % d for d in (3, 1, 2, 1, 4, 1, 2, 3, 5, 9)],
        "v": [1.5, 2.0, -1.0, 4.0, 4.5, 0.0, 3.0, 2.0, 1.0, 7.0],
        "k": ["a", "b", "a", "c", "a", "b", "b", "b", "c", "a"],
        "other": range(10),
    })
    return T(df, "id", "t", ["v", "t", "k"], ["t"])


def assert_same(a, b):
    assert type(a) is type(b)
    if isinstance(a, pd.DataFrame):
        pd.testing.assert_frame_equal(a, b, check_exact=True)
    elif isinstance(a, dict):
        assert list(a) == list(b)
        for key in a:
            assert_same(a[key], b[key])
    else:
        assert a == b


@pytest.mark.parametrize("clone", [
    lambda t: pickle.loads(pickle.dumps(t, protocol=2)),
    lambda t: pickle.loads(pickle.dumps(t, protocol=pickle.HIGHEST_PROTOCOL)),
    copy.deepcopy,
], ids=["pickle-2", "pickle-highest", "deepcopy"])
def test_clone_has_identical_state_and_results(clone):
    original = fitted()
    twin = clone(original)
    assert type(twin) is T and twin is not original and twin.df is not original.df
    assert list(vars(twin)) == list(vars(original))
    for name, value in vars(original).items():
        assert_same(value, getattr(twin, name))

    synth = pd.concat([original.df_multi_entry_per_group_diff] * 4, ignore_index=True)
    for counts in (None, {2: 1, 3: 2}):
        pd.testing.assert_frame_equal(
            twin.postprocess_timeseries_difference_method(synth, counts),
            original.postprocess_timeseries_difference_method(synth, counts), check_exact=True)
