"""The same seeded inputs through forward, post-processing and path discovery,
on whichever pandas is installed, written in a form that reads text of any
dtype as one kind, datetimes and timedeltas by their value in nanoseconds and
every missing marker as None, so that runs on different pandas versions can
be compared line for line.

    python cross_pandas.py dump FILE        # results of this interpreter's pandas
    python cross_pandas.py compare FILE...  # exit 1 unless all are equal
    python cross_pandas.py save DIR         # saved transformers of some cases, with their results
    python cross_pandas.py load DIR         # the results of the transformers saved in DIR
"""
import contextlib
import io
import json
import os
import sys

import numpy as np
import pandas as pd

import frames
from veltrano.transformer.sequences import SequenceTransformer
from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer as T

SEEDS = range(60)


def _value(v):
    if isinstance(v, (list, tuple)):
        return [_value(x) for x in v]
    if v is None or (not isinstance(v, str) and pd.isna(v)):
        return None
    if isinstance(v, (pd.Timestamp, np.datetime64)):
        return "T%d" % pd.Timestamp(v).value
    if isinstance(v, (pd.Timedelta, np.timedelta64)):
        return "D%d" % pd.Timedelta(v).value
    return v.item() if isinstance(v, np.generic) else v


def _kind(dtype):
    if dtype == object or isinstance(dtype, (pd.StringDtype, pd.CategoricalDtype)):
        return "text"
    return {"M": "datetime", "m": "timedelta", "b": "bool"}.get(dtype.kind, "number")


def _frame(df):
    return {"columns": [[str(c), _kind(t)] for c, t in df.dtypes.items()],
            "index": [_value(v) for v in df.index],
            "rows": [[_value(v) for v in row] for row in df.itertuples(index=False)]}


def _outcome(call):
    out = io.StringIO()
    try:
        with contextlib.redirect_stdout(out):
            return {"result": call(), "printed": out.getvalue()}
    except Exception as error:  # the failure is part of the result
        return {"error": type(error).__name__}


def _input(seed):
    # Text as a CSV reader gives it (missing as nan; pandas infers object or
    # str), and for some seeds the category columns in string or category dtype.
    df, kwargs, _ = frames.random_case(seed)
    text_dtype = [None, "string", "category"][seed % 3]
    for col in df.columns:
        # Built alike, pandas 2 stores the timestamps in ns and pandas 3 in s;
        # the seeding means keep the input's unit, so both get the same one.
        if df[col].dtype.kind == "M":
            df[col] = df[col].astype("datetime64[ns]")
        if df[col].dtype == object and all(isinstance(v, str) or v is None or v != v for v in df[col]):
            values = [np.nan if v is None else v for v in df[col]]
            diffed = col in kwargs["columns_to_diff"]
            df[col] = pd.Series(values, index=df.index, dtype=text_dtype if diffed else None)
    return df, kwargs


def results(seed):
    df, kwargs = _input(seed)
    made = _outcome(lambda: T(df, **kwargs))
    if "error" in made:
        return {"forward": made}
    tr = made["result"]
    forward = {"split": [[str(c) for c in tr.continuous_columns_to_diff],
                         [str(c) for c in tr.categorical_columns_to_diff]],
               "diff": _frame(tr.df_multi_entry_per_group_diff), "single": _frame(tr.df_1_entry_per_group),
               "mappings": {str(k): _frame(v) for k, v in tr.categorical_column_mappings.items()},
               "counts": sorted(tr.category_counts.items())}
    return dict(after(tr), forward=forward)


def after(tr):
    """Post-processing and path discovery on three copies of the differenced rows."""
    # Not by concat: pandas 2.3 warns for empty timedelta columns under numpy 2.5.
    diff = tr.df_multi_entry_per_group_diff
    synth = diff.iloc[[i for _ in range(3) for i in range(len(diff))]].reset_index(drop=True)
    back = _outcome(lambda: _frame(tr.postprocess_timeseries_difference_method(synth)))
    paths = {}
    for col, mapping in tr.categorical_column_mappings.items():
        found = _outcome(lambda: T.get_valid_path(synth, {col: mapping}))
        if "result" in found:
            found["result"] = _frame(found["result"])
        paths[str(col)] = found
    return {"backward": back, "paths": paths}


SAVED_SEEDS = range(1, 60, 10)  # every text dtype twice


def _sequence_input(seed):
    df, kwargs = _input(seed)
    T(df, **kwargs)  # converts the time columns in place
    return df, SequenceTransformer(kwargs["primary_id_column"], kwargs["primary_timeseries_column"], random_state=seed)


def _rebuilt(st, df):
    entities, steps = st.transform(df)
    return _frame(st.reverse_transform(entities, steps))


def save(folder):
    """Each case's two transformers saved to `folder`, their results in results.json."""
    os.makedirs(folder)
    results = {}
    for seed in SAVED_SEEDS:
        df, kwargs = _input(seed)
        made = _outcome(lambda: T(df, **kwargs))
        if "result" in made:
            made["result"].save(os.path.join(folder, "%d.zip" % seed))
            results["%d.zip" % seed] = after(made["result"])
        df, st = _sequence_input(seed)
        if "result" in _outcome(lambda: st.fit(df)):
            st.save(os.path.join(folder, "%d.json" % seed))
            results["%d.json" % seed] = _outcome(lambda: _rebuilt(st, df))
    with open(os.path.join(folder, "results.json"), "w") as f:
        json.dump(results, f, sort_keys=True)


def saved_results(folder):
    """Per file: the results of the transformer loaded from it, and of the one
    this pandas builds from the same input."""
    results = {}
    for name in sorted(os.listdir(folder)):
        path, seed = os.path.join(folder, name), name.split(".")[0]
        if name.endswith(".zip"):
            df, kwargs = _input(int(seed))
            results[name] = {"loaded": after(T.load(path)), "built": after(T(df, **kwargs))}
        elif name != "results.json":
            df, st = _sequence_input(int(seed))
            results[name] = {"loaded": _outcome(lambda: _rebuilt(SequenceTransformer.load(path), df)),
                             "built": _outcome(lambda: _rebuilt(st.fit(df), df))}
    return results


def dump(path):
    with open(path, "w") as f:
        for seed in SEEDS:
            f.write(json.dumps({"seed": seed, **results(seed)}, sort_keys=True) + "\n")
    print("cross-pandas: %d seeded cases on pandas %s written to %s" % (len(SEEDS), pd.__version__, path))


def compare(paths):
    runs = []
    for path in paths:
        with open(path) as f:
            runs.append(f.read().splitlines())
    for path, run in zip(paths[1:], runs[1:]):
        for ours, theirs in zip(runs[0] + [""] * len(run), run + [""] * len(runs[0])):
            if ours != theirs:
                print("cross-pandas: results differ between %s and %s:\n%s\n%s" % (paths[0], path, ours, theirs))
                return 1
    print("cross-pandas: %d seeded cases identical across %s" % (len(runs[0]), ", ".join(paths)))
    return 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["dump"] and len(sys.argv) == 3:
        dump(sys.argv[2])
    elif sys.argv[1:2] == ["save"] and len(sys.argv) == 3:
        save(sys.argv[2])
    elif sys.argv[1:2] == ["load"] and len(sys.argv) == 3:
        print(json.dumps(saved_results(sys.argv[2]), sort_keys=True))
    elif sys.argv[1:2] == ["compare"] and len(sys.argv) >= 4:
        sys.exit(compare(sys.argv[2:]))
    else:
        sys.exit(__doc__)
