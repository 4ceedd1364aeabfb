"""The per-entity running sums of _undiff_continuous_columns against pandas'
groupby(...).transform(pd.Series.cumsum), on columns where exactness is easy to lose."""
import warnings
from decimal import Decimal

import numpy as np
import pandas as pd
import pytest
from pandas.testing import assert_frame_equal

import model
from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer as T

INPUT = pd.DataFrame({"id": [1, 1, 2, 2], "t": [1, 2, 1, 2], "x": [1.0, 2.0, 3.0, 4.0]})
TS, TD = pd.Timestamp("2020-02-28 23:00"), pd.Timedelta(1, unit="h")


def cancelling(rows=3000):
    # Magnitudes far apart: any reordering or pairwise summation changes the bits.
    rng = np.random.RandomState(5)
    values = np.where(rng.rand(rows) < 0.5, rng.normal(scale=1e16, size=rows), rng.normal(size=rows))
    values[rng.rand(rows) < 0.05] = np.nan
    return np.sort(rng.randint(0, rows // 20, rows)), values


CASES = {  # name: (ids, values, index or None, summed natively)
    "nan_inf_signed_zero": ([1, 1, 1, 1, 2, 2, 2, 3], [-0.0, np.nan, -0.0, 1.0, np.inf, 2.0, np.inf, np.nan],
                            None, True),
    # numpy warns (or raises under np.seterr) at these additions: left to pandas.
    "overflow": ([1, 1, 2, 2], [1e308, 1e308, np.inf, -np.inf], None, False),
    "object_overflow": ([1, 1], np.array([1e308, 1e308], dtype=object), None, False),
    "cancelling": cancelling() + (None, True),
    "int64_wraps": ([4, 4, 4, 9, 9], [2 ** 62, 2 ** 62, 2 ** 62, -5, 7], None, True),
    "timestamps": ([1, 1, 1, 2, 2], np.array([np.datetime64(TS), TD, TD, TS, -TD], dtype=object),
                   ["e", "d", "c", "b", "a"], True),
    "object_missing": ([1, 1, 1, 2, 2], np.array([1, 2.5, None, None, Decimal("0.1")], dtype=object),
                       [3, 3, 0, 0, 1], True),
    "nat_in_object": ([1, 1, 1], np.array([TS, pd.NaT, TD], dtype=object), None, True),
    "ids_unsorted": ([2, 2, 1, 1, 2], [0.1, 0.2, 0.3, 0.4, 0.5], None, False),
    "nullable_int": ([1, 1, 2], pd.array([1, None, 3], dtype="Int64"), None, False),
    "empty": ([], np.array([], dtype=float), None, False),
}


def run(transformer, df):
    """_undiff_continuous_columns with no first rows to seed, so the sums see the column as given."""
    transformer.unique_id_column = "entity"
    transformer.continuous_columns_to_diff_map = {"value": "value_diff"}
    transformer.df_augmented = pd.DataFrame({"value": [0.0], transformer.category_column: [2]})
    try:
        return transformer._undiff_continuous_columns(df, {}, [])
    except Exception as error:
        return type(error), str(error)


@pytest.mark.parametrize("name", CASES)
def test_running_sums_identical_to_pandas_transform(name, monkeypatch):
    ids, values, index, native = CASES[name]
    df = pd.DataFrame({"entity": np.asarray(ids, dtype=np.int64), "num_repetitions": 2, "value_diff": values},
                      index=index)
    reference, native_transformer = (cls(INPUT.copy(), "id", "t", ["x"]) for cls in (model.TimeseriesDifferenceTransformer, T))
    with warnings.catch_warnings(record=True) as expected_warnings:
        warnings.simplefilter("always")
        expected = run(reference, df.copy())
    if native:
        # The native pass makes no groupby call; falling back to pandas would lose the speed.
        monkeypatch.setattr(pd.DataFrame, "groupby", lambda *a, **k: pytest.fail("pandas groupby called"))
    with warnings.catch_warnings(record=True) as got_warnings:
        warnings.simplefilter("always")
        got = run(native_transformer, df.copy())
    assert [str(w.message) for w in got_warnings] == [str(w.message) for w in expected_warnings]
    if isinstance(expected, tuple):
        assert got == expected
        return
    assert_frame_equal(got, expected, check_exact=True)
    sums, want = got["value"].to_numpy(), expected["value"].to_numpy()
    if sums.dtype == object:
        assert [type(v) for v in sums] == [type(v) for v in want]
    else:
        assert sums.tobytes() == want.tobytes()
