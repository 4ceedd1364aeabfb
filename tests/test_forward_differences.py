"""Per-entity differences of _get_diff against the model, on columns where
exactness is easy to lose. Before pandas 2.0 the extension computes them
natively (pandas calls DataFrame.diff once per entity there); any frame it
cannot vouch for goes to pandas."""
import numpy as np
import pandas as pd
import pytest
from pandas.testing import assert_frame_equal

import model
from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer as T

NATIVE = int(pd.__version__.split(".")[0]) < 2
TS = pd.Timestamp("2021-03-01 08:00")
BIG = 2 ** 62

CASES = {  # name: (ids, values, index or None, computed natively)
    # int64 steps beyond 2**53 must be taken in int64, not as floats.
    "int64_large": ([1, 1, 1, 2, 2], [1, 2 ** 53 + 1, -BIG, 5, 3], None, True),
    "int64_overflow": ([1, 1], [-BIG * 2 + 5, BIG], None, False),
    "float_special": ([1, 1, 1, 1, 2, 2], [np.inf, np.inf, -0.0, np.nan, 1e300, -1e300], [9, 7, 5, 3, 1, 0], True),
    "datetime_missing": ([1, 1, 1, 4, 4], [TS, pd.NaT, TS, TS, TS + pd.Timedelta(1)], None, True),
    "datetime_overflow": ([3, 3], [pd.Timestamp.min, pd.Timestamp.max], None, False),
    "single_rows": ([1, 2, 3], [1.5, 2.5, 4.0], None, True),
    "ids_unsorted": ([2, 2, 1, 1], [1.0, 3.0, 10.0, 30.0], None, False),
    "index_repeated": ([1, 1, 2], [1.0, 3.0, 10.0], [0, 0, 1], False),
    "int32": ([1, 1, 2], np.array([1, 3, 10], dtype=np.int32), None, False),
    "timezone": ([1, 1], pd.DatetimeIndex([TS, TS]).tz_localize("UTC"), None, False),
}


def differenced(cls, df):
    tr = cls(pd.DataFrame({"id": [1, 1], "t": [1, 2], "v": [0.0, 1.0]}), "id", "t", ["v"])
    try:
        return tr._get_diff(df)[0]
    except Exception as error:
        return type(error), str(error)


@pytest.mark.parametrize("name", CASES)
def test_differences_identical_to_model(name, monkeypatch):
    ids, values, index, native = CASES[name]
    df = pd.DataFrame({"id": np.asarray(ids, dtype=np.int64), "v": values}, index=index)
    expected = differenced(model.TimeseriesDifferenceTransformer, df.copy())
    if native and NATIVE:
        from pandas.core.groupby import groupby
        monkeypatch.setattr(groupby.GroupBy, "_python_apply_general",
                            lambda *a, **k: pytest.fail("per-entity pandas diff called"))
    got = differenced(T, df.copy())
    if isinstance(expected, tuple):
        assert got == expected
    else:
        assert_frame_equal(got, expected, check_exact=True)
