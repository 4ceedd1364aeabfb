"""Seeded random input frames for the transformer, shared by the property tests.

`random_case(seed)` draws one frame together with the constructor arguments
that go with it; `options` pins any of the choices (see `CHOICES`).
"""
import random

import numpy as np
import pandas as pd

# Every choice a case is drawn from (with weights where not uniform); an
# option given as None is drawn. "columns" is a subset of num, int, date, cat
# and cat2; "clash" puts an input "<col>_diff" or "<col>_1"/"<col>_2" beside a
# differenced column; "int_label" gives one differenced column an integer label.
CHOICES = dict(n_entities=list(range(1, 9)), max_rows=[1, 2, 3, 5], singles=["some", "none", "all"],
               id_kind=["int", "text"], time_kind=["text", "int"], missing=[False, True], shuffle=[False, True],
               index_kind=["range", "int", "text"], clash=[None, "diff", "from_to"], int_label=[False, True])
WEIGHTS = dict(singles=[6, 2, 1], clash=[4, 1, 1], int_label=[5, 1])
CATEGORIES = ["A", "B", "C", "D"]


def _draw(rng, options):
    opts = dict(dict.fromkeys(list(CHOICES) + ["columns"]), **options)
    for key, choices in CHOICES.items():
        if opts[key] is None:
            opts[key] = rng.choices(choices, WEIGHTS.get(key))[0]
    if opts["columns"] is None:
        opts["columns"] = [c for c in ["num", "int", "date", "cat", "cat2"] if rng.random() < 0.5]
    return opts


def _row_counts(rng, opts):
    n, top = opts["n_entities"], max(opts["max_rows"], 2)
    if opts["singles"] == "all":
        return [1] * n
    if opts["singles"] == "none":
        return [rng.randint(2, top) for _ in range(n)]
    return [rng.randint(1, top) for _ in range(n)]


def _maybe_missing(rng, values, missing, blank):
    if not missing:
        return values
    return [blank if rng.random() < 0.2 else v for v in values]


def random_case(seed, **options):
    """Returns (frame, constructor arguments as a dict, the options used)."""
    rng = random.Random(seed)
    nprng = np.random.RandomState(seed % (2 ** 32))
    opts = _draw(rng, options)
    counts = _row_counts(rng, opts)
    n_rows = sum(counts)

    raw_ids = rng.sample(range(100, 1000), len(counts))
    ids = raw_ids if opts["id_kind"] == "int" else ["id%d" % i for i in raw_ids]
    id_col, time_col = [], []
    for entity, k in zip(ids, counts):
        days = sorted(rng.sample(range(0, 60), k))
        id_col += [entity] * k
        time_col += days
    if opts["time_kind"] == "text":
        time_col = [(pd.Timestamp("2021-03-01") + pd.Timedelta(d, unit="D")).strftime("%Y-%m-%d") for d in time_col]

    data = {"pid": id_col, "when": time_col, "note": ["n%d" % i for i in range(n_rows)]}
    to_diff = []
    cols = opts["columns"]
    if "num" in cols:
        data["num"] = _maybe_missing(rng, list(nprng.normal(size=n_rows).round(3)), opts["missing"], np.nan)
        to_diff.append("num")
    if "int" in cols:
        data["count"] = list(nprng.randint(-5, 20, size=n_rows))
        to_diff.append("count")
    if "date" in cols:
        stamps = [pd.Timestamp("2020-01-01") + pd.Timedelta(int(h), unit="h")
                  for h in nprng.randint(0, 2000, size=n_rows)]
        data["stamp"] = _maybe_missing(rng, stamps, opts["missing"], pd.NaT)
        to_diff.append("stamp")
    if "cat" in cols:
        cats = [rng.choice(CATEGORIES) for _ in range(n_rows)]
        data["cat"] = _maybe_missing(rng, cats, opts["missing"], None)
        to_diff.append("cat")
    if "cat2" in cols:
        cats = [rng.choice(CATEGORIES[:2]) for _ in range(n_rows)]
        data["kind"] = _maybe_missing(rng, cats, opts["missing"], np.nan)
        to_diff.append("kind")
    rng.shuffle(to_diff)
    opts["int_label_of"] = None

    if opts["int_label"] and to_diff:
        label = to_diff[0]
        opts["int_label_of"] = label
        data[7] = data.pop(label)
        to_diff[0] = 7
    def is_text(c):
        return c in ("cat", "kind") or (c == 7 and opts["int_label_of"] in ("cat", "kind"))

    if opts["clash"] and to_diff:
        text_cols = [c for c in to_diff if is_text(c)]
        target = text_cols[0] if opts["clash"] == "from_to" and text_cols else to_diff[-1]
        if opts["clash"] == "diff":
            data[format(target) + "_diff"] = list(range(n_rows))
        else:
            data[format(target) + "_1"] = ["keep%d" % i for i in range(n_rows)]
            data[format(target) + "_2"] = list(range(n_rows))

    df = pd.DataFrame(data)
    # A category column stays text-typed even when every drawn value is missing.
    for c in filter(is_text, to_diff):
        df[c] = df[c].astype(object)

    order = list(range(n_rows))
    if opts["shuffle"]:
        rng.shuffle(order)
        df = df.iloc[order].reset_index(drop=True)
    if opts["index_kind"] == "int":
        df.index = rng.sample(range(10 * n_rows + 10), n_rows)
    elif opts["index_kind"] == "text":
        df.index = ["r%d" % i for i in rng.sample(range(10 * n_rows + 10), n_rows)]

    kwargs = dict(primary_id_column="pid", primary_timeseries_column="when", columns_to_diff=to_diff,
                  columns_to_cast_to_timeseries_datatypes=["when"] if opts["time_kind"] == "text" else None)
    return df, kwargs, opts
