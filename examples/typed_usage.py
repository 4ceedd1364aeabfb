"""A typed round trip, checked with `mypy --strict` against the shipped stubs."""
import os
from typing import Dict, List

import pandas as pd

from veltrano.transformer import SavedFileError
from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer


def round_trip(visits: pd.DataFrame, counts: Dict[int, int]) -> pd.DataFrame:
    tr = TimeseriesDifferenceTransformer(visits, "visit", "time", ["heart_rate", "time", "event"], ["time"])
    training: pd.DataFrame = tr.df_multi_entry_per_group_diff
    synthetic = training.sample(frac=4.0, replace=True, random_state=0)
    rebuilt = tr.postprocess_timeseries_difference_method(synthetic, counts or None)
    names: List[str] = tr.diff_col_names
    assert tr.unique_id_column in rebuilt.columns and all(n not in rebuilt.columns for n in names)
    return rebuilt


def longest_event_path(tr: TimeseriesDifferenceTransformer, synthetic: pd.DataFrame) -> pd.DataFrame:
    mapping = {"event": tr.categorical_column_mappings["event"]}
    return TimeseriesDifferenceTransformer.get_valid_path(synthetic, mapping)


def saved_and_loaded(tr: TimeseriesDifferenceTransformer, path: "os.PathLike[str]") -> TimeseriesDifferenceTransformer:
    tr.save(path)
    try:
        return TimeseriesDifferenceTransformer.load(path)
    except SavedFileError as exc:  # damaged, foreign or newer files
        raise SystemExit(str(exc))
