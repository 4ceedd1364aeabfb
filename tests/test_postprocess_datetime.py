"""Post-processing of datetime columns: the driver restores them on nanoseconds
without boxing Timestamps whenever that gives the model's frame, and takes the
pandas route (the model's) whenever it might not."""
import numpy as np
import pandas as pd
import pytest
from pandas.testing import assert_frame_equal

import model
from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer as T

PANDAS_2 = int(pd.__version__.split(".")[0]) >= 2


def visits(stamps=None):
    sizes = [2, 3, 3, 4, 2]
    rows = sum(sizes)
    step = np.concatenate([np.arange(k) for k in sizes])
    if stamps is None:
        stamps = pd.Timestamp("2021-03-01") + pd.to_timedelta(step * 30 + np.arange(rows) % 7, unit="h")
        stamps = stamps.astype("datetime64[ns]")
    return pd.DataFrame({"id": np.repeat(np.arange(len(sizes)), sizes), "t": step,
                         "stamp": stamps, "x": np.linspace(0.0, 1.0, rows)})


def overflow(tr, synth):
    # Only the four-row entities leave the Timestamp range.
    synth["stamp_diff"] = pd.Timedelta(40000, unit="D")


def nat_difference(tr, synth):
    synth.loc[synth.index[::4], "stamp_diff"] = pd.NaT


def difference_kept(tr, synth):
    tr.diff_col_names = [c for c in tr.diff_col_names if c != "stamp_diff"]


def shared_difference(tr, synth):
    # Two restored columns read the one difference column.
    tr.continuous_columns_to_diff_map["stamp_again"] = "stamp_diff"
    tr.df_augmented["stamp_again"] = tr.df_augmented["stamp"]


def id_overwritten(tr, synth):
    # Seeding the second column writes into the id column the sums are grouped by.
    tr.continuous_columns_to_diff_map = {"stamp": "stamp_diff", "x": tr.unique_id_column}


def unseeded_size(tr, synth):
    # Entities of size 3 get a missing mean: no input row has that size any more.
    groups = tr.df_augmented[tr.category_column]
    tr.df_augmented.loc[groups == 3, tr.category_column] = 30


def labels_swapped(tr, synth):
    # The first rows of a two-row and a four-row entity swap labels: labels are
    # no longer positions, though each still names an entity's first row.
    build = tr._construct_vectors_of_identical_shape_to_allow_vectorized_operations_for_performance_enhancements

    def swapped(*args):
        out = build(*args)
        ids = out[tr.unique_id_column].to_numpy()
        first, last = np.flatnonzero(np.r_[True, ids[1:] != ids[:-1]])[[0, -1]]
        labels = np.arange(len(out))
        labels[[first, last]] = [last, first]
        out.index = labels
        return out

    tr._construct_vectors_of_identical_shape_to_allow_vectorized_operations_for_performance_enhancements = swapped


CASES = {  # name: (input stamps, change to transformer and synthetic frame or request, native route)
    "plain": (None, None, True),
    "single_entity": (None, {4: 1}, True),
    "tz_aware": (pd.date_range("2021-03-01", periods=14, freq="5h", tz="Europe/Paris"), None, True),
    "overflow": (None, overflow, False),
    "nat_difference": (None, nat_difference, False),
    "difference_kept": (None, difference_kept, False),
    "shared_difference": (None, shared_difference, False),
    "id_overwritten": (None, id_overwritten, False),
    "unseeded_size": (None, unseeded_size, False),
    "labels_swapped": (None, labels_swapped, False),
}


def differences_in(unit):
    def change(tr, synth):
        synth["stamp_diff"] = synth["stamp_diff"].astype("timedelta64[%s]" % unit)
    return change


if PANDAS_2:  # every unit, also where the differences come in another one than the input
    for unit, diff_unit in [("s", None), ("ms", None), ("us", None), ("s", "ns"), ("ns", "s"), ("us", "ms")]:
        stamps = pd.date_range("2021-03-01", periods=14, freq="5h").astype("datetime64[%s]" % unit)
        CASES["%s_%s" % (unit, diff_unit)] = (stamps, diff_unit and differences_in(diff_unit), True)


def outcome(tr, synth, request):
    try:
        return tr.postprocess_timeseries_difference_method(synth, request)
    except Exception as error:
        return type(error), str(error)


# Misused attributes make pandas itself warn, as it does for the model.
@pytest.mark.filterwarnings("ignore::FutureWarning")
@pytest.mark.parametrize("name", CASES)
def test_same_frame_as_model(name, monkeypatch):
    stamps, change, native_route = CASES[name]
    results, boxed = [], []
    for cls in (model.TimeseriesDifferenceTransformer, T):
        tr = cls(visits(stamps), "id", "t", ["stamp", "x"])
        synth = pd.concat([tr.df_multi_entry_per_group_diff] * 4, ignore_index=True)
        request = {2: 2, 3: 2, 4: 1}
        if isinstance(change, dict):
            request = change
        elif change:
            change(tr, synth)
        calls = []
        # The pandas route ends in pd.to_datetime on the object sums.
        monkeypatch.setattr(pd, "to_datetime", lambda *a, _f=pd.to_datetime, **k: calls.append(1) or _f(*a, **k))
        results.append(outcome(tr, synth, request))
        monkeypatch.undo()
        boxed.append(bool(calls))
    expected, got = results
    if isinstance(expected, tuple):
        assert got == expected
    else:
        assert_frame_equal(got, expected, check_exact=True)
    if not isinstance(expected, tuple) and expected["stamp"].dtype.kind == "M":
        assert boxed[1] is not native_route
        # The input's unit comes back (a time zone as UTC).
        unit = getattr(visits(stamps)["stamp"].dt, "unit", "ns")
        assert str(got["stamp"].dtype) == "datetime64[%s]" % unit


def test_overriding_method_still_called_and_sees_seeded_differences():
    seen = []

    class Sub(T):
        def _undiff_continuous_columns(self, df_synth, desired_category_counts, first_rows_of_each_person_idx):
            out = super()._undiff_continuous_columns(df_synth, desired_category_counts, first_rows_of_each_person_idx)
            seen.append(out.loc[first_rows_of_each_person_idx, "stamp_diff"].map(type).unique().tolist())
            return out

    frames = []
    for tr in (Sub(visits(), "id", "t", ["stamp", "x"]), T(visits(), "id", "t", ["stamp", "x"])):
        synth = pd.concat([tr.df_multi_entry_per_group_diff] * 4, ignore_index=True)
        frames.append(tr.postprocess_timeseries_difference_method(synth, {2: 2, 3: 2}))
    assert seen and seen[0] and all(t is not pd.Timedelta for t in seen[0])
    assert_frame_equal(frames[0], frames[1], check_exact=True)
