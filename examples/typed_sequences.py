"""The sequence pipeline's round trip, checked with `mypy --strict` against the shipped stubs."""
from typing import Dict

import pandas as pd

from veltrano.transformer.sequences import SequenceTransformer


def round_trip(visits: pd.DataFrame, counts: Dict[int, int]) -> pd.DataFrame:
    st = SequenceTransformer("visit", "time", static_columns=["ward"], random_state=7)
    entities, steps = st.fit_transform(visits)
    synthetic_entities = entities.sample(frac=2.0, replace=True, random_state=0)
    synthetic_steps = steps.sample(frac=2.0, replace=True, random_state=1)
    rebuilt = st.reverse_transform(synthetic_entities, synthetic_steps, counts or None)
    unit = st.time_unit
    assert unit is None or unit in ("D", "h", "min", "s", "ms", "us", "ns")
    report: pd.DataFrame = st.fidelity(visits, rebuilt)
    assert set(report.columns) == {"measure", "column", "real", "rebuilt"}
    return rebuilt


def saved_and_loaded(st: SequenceTransformer, path: str) -> SequenceTransformer:
    st.save(path)
    return SequenceTransformer.load(path)
