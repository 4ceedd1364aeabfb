"""Native module against the plain-Python model (tests/model.py): wall time and
peak memory of construction, post-processing and path discovery, on the same
interpreter and pandas, in one run.

Inputs (seeded):
  construction   TimeseriesDifferenceTransformer(df, "id", "t", ["value", "stamp", "state"])
                 on 10^4, 10^5 and 10^6 rows: entities of 1 to 12 rows, one numeric
                 ("value"), one datetime ("stamp") and one text ("state", 8 categories)
                 column, rows shuffled.
  postprocess    postprocess_timeseries_difference_method(synthetic) with the default
                 request (the input's own counts per row count k) on the transformer of
                 the same input. The synthetic frame is a seeded bootstrap of the
                 differenced frame: count * (k + 1) rows drawn per k, the fewest the
                 default request accepts, shuffled.
  paths          get_valid_path on 2,000 and 5,000 synthetic transitions over 8 categories.

Floor: the time of the model's vectorised pandas calls alone. It is the model's own
run minus the time spent inside the calls that run a Python callable per row or per
group, as if those calls were replaced by free vectorised work:
  construction   DataFrame.apply(tuple, axis=1) and Series.apply(str) (transition texts);
                 before pandas 2.0 also groupby(...).diff(), which calls DataFrame.diff
                 once per entity (any per-group Python apply is counted)
  postprocess    groupby(...).transform(pd.Series.cumsum) (undifferencing)
  paths          Series.apply(make_element_a_list) and Series.map(<no-repeated-row test>)
Those calls are timed (outermost call only) inside every model run and subtracted;
everything else (sorting, merges, groupby first/diff, dropna, drop_duplicates, ...)
is the same pandas work the module has to do as well.

Every measurement runs in a fresh interpreter (`--one IMPL STAGE SIZE`): the inputs
are built first, then the peak resident size is reset (/proc/self/clear_refs), so
ru_maxrss is the peak while the timed call ran, inputs included. Without that reset
the peak covers the whole child and is marked "~". Times are medians over the
repetitions; the module's and the model's runs alternate. The outputs of both are
hashed and compared. A module peak counts as "not above" the model's within
max(1 MiB, 1%) of it: page-level noise between two fresh processes.

    PYTHONPATH=<dir holding veltrano/> python bench/bench_compare.py [--sizes ...] [--repeat 3]
        [--repeat-large 2] [--stages ...] [--out bench/results.json]
"""
import argparse
import contextlib
import gc
import hashlib
import json
import os
import statistics
import subprocess
import sys
import time
import warnings

from peak_memory import peak_mib, reset_peak

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(os.path.dirname(HERE), "tests")
STAGES = ("construction", "postprocess", "paths")
CATEGORIES = ["ward-%s" % c for c in "ABCDEFGH"]
LARGE = 10 ** 6


# ----- inputs ---------------------------------------------------------------------

def build_input(rows, seed=0):
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng(seed)
    sizes = rng.integers(1, 13, size=rows // 5 + 20)
    last = int(np.searchsorted(np.cumsum(sizes), rows))
    sizes = sizes[:last + 1]
    sizes[-1] -= int(sizes.sum()) - rows  # the last entity keeps at least one row
    starts = np.repeat(np.cumsum(sizes) - sizes, sizes)
    step = np.arange(rows) - starts
    first_day = np.repeat(rng.integers(0, 365, len(sizes)), sizes)
    df = pd.DataFrame({
        "id": np.repeat(np.arange(len(sizes), dtype=np.int64), sizes),
        "t": step,
        "value": rng.normal(size=rows).round(4),
        "stamp": pd.Timestamp("2020-01-01") + pd.to_timedelta(first_day * 24 + step * 6 + rng.integers(0, 6, rows),
                                                              unit="h"),
        "state": np.array(CATEGORIES, dtype=object)[rng.integers(0, len(CATEGORIES), rows)],
    })
    return df.iloc[rng.permutation(rows)].reset_index(drop=True)


def bootstrap(transformer, seed=1):
    import numpy as np

    rng = np.random.default_rng(seed)
    diff = transformer.df_multi_entry_per_group_diff
    groups = diff[transformer.category_column].to_numpy()
    picks = []
    for k, count in sorted(transformer.category_counts.items()):
        rows = np.flatnonzero(groups == k)
        picks.append(rows[rng.integers(0, len(rows), count * (k + 1))])
    return diff.iloc[rng.permutation(np.concatenate(picks))].reset_index(drop=True)


def path_case(n, seed=0):
    import random

    import pandas as pd

    rng = random.Random(seed)
    pairs = [(a, b) for a in CATEGORIES for b in CATEGORIES]
    mapping = pd.DataFrame({"state_1": [a for a, _ in pairs], "state_2": [b for _, b in pairs],
                            "state_diff": [str(p) for p in pairs]})
    moves = [rng.choice(pairs) for _ in range(n)]
    df = pd.DataFrame({"value": [rng.random() for _ in moves], "state_diff": [str(m) for m in moves]})
    return df, {"state": mapping}


# ----- one measurement (child process) ------------------------------------------------

class CallbackClock:
    """Sums the time spent inside pandas calls that run a Python callable per row
    or per group (outermost call only)."""

    def __init__(self):
        self.seconds = 0.0
        self._depth = 0

    def wrap(self, owner, name):
        original = getattr(owner, name)
        clock = self

        def timed(obj, func=None, *args, **kwargs):
            if not callable(func) or clock._depth:
                return original(obj, func, *args, **kwargs)
            clock._depth += 1
            t0 = time.perf_counter()
            try:
                return original(obj, func, *args, **kwargs)
            finally:
                clock.seconds += time.perf_counter() - t0
                clock._depth -= 1

        setattr(owner, name, timed)

    def install(self):
        import pandas as pd
        from pandas.core.groupby import generic, groupby

        self.wrap(pd.DataFrame, "apply")
        self.wrap(pd.Series, "apply")
        self.wrap(pd.Series, "map")
        self.wrap(generic.SeriesGroupBy, "transform")
        self.wrap(generic.DataFrameGroupBy, "transform")
        # Where pandas runs a method once per group from Python (groupby diff
        # before pandas 2.0), it goes through here.
        self.wrap(groupby.GroupBy, "_python_apply_general")


def digest(*frames):
    import pandas as pd

    h = hashlib.sha1()
    for frame in frames:
        h.update(repr((list(frame.columns), [str(t) for t in frame.dtypes], len(frame))).encode())
        h.update(str(int(pd.util.hash_pandas_object(frame, index=True).sum())).encode())
    return h.hexdigest()[:16]


def one(impl, stage, size):
    warnings.simplefilter("ignore")
    if impl == "module":
        from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer as T
    else:
        sys.path.insert(0, TESTS)
        from model import TimeseriesDifferenceTransformer as T

    # run() is the timed call; fingerprint() hashes its result afterwards.
    if stage == "construction":
        df = build_input(size)

        def run():
            return T(df, "id", "t", ["value", "stamp", "state"])

        def fingerprint(tr):
            return digest(tr.df_multi_entry_per_group_diff, tr.categorical_column_mappings["state"])
    elif stage == "postprocess":
        tr = T(build_input(size), "id", "t", ["value", "stamp", "state"])
        synth = bootstrap(tr)

        def run():
            return tr.postprocess_timeseries_difference_method(synth)

        fingerprint = digest
    else:
        df, mappings = path_case(size)

        def run():
            with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
                return T.get_valid_path(df, mappings)

        fingerprint = digest

    clock = CallbackClock()
    if impl == "model":
        clock.install()
    gc.collect()
    exact_peak = reset_peak()
    baseline = peak_mib()
    t0 = time.perf_counter()
    try:
        result = run()
    except NotImplementedError as error:
        print(json.dumps({"skipped": "NotImplementedError: %s" % error}))
        return
    seconds = time.perf_counter() - t0
    peak = peak_mib()
    record = {"seconds": seconds, "peak_mib": peak, "baseline_mib": baseline, "exact_peak": exact_peak,
              "digest": fingerprint(result)}
    if impl == "model":
        record["callback_seconds"] = clock.seconds
    print(json.dumps(record))


# ----- driver -------------------------------------------------------------------------

def measure(impl, stage, size, timeout):
    cmd = [sys.executable, os.path.abspath(__file__), "--one", impl, stage, str(size)]
    try:
        proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                              timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"error": "timeout after %ss" % timeout}
    if proc.returncode != 0:
        lines = proc.stderr.strip().splitlines() or ["exit status %d" % proc.returncode]
        return {"error": lines[-1][:160]}
    return json.loads(proc.stdout.strip().splitlines()[-1])


def summarise(stage, size, runs):
    """One table row from the runs of both implementations."""
    row = {"stage": stage, "size": size}
    for impl in ("module", "model"):
        done = [r for r in runs[impl] if "seconds" in r]
        other = [r for r in runs[impl] if "seconds" not in r]
        if not done:
            row[impl] = {"status": (other[0].get("skipped") or other[0].get("error")) if other else "not run"}
            continue
        entry = {"median_s": statistics.median(r["seconds"] for r in done),
                 "runs_s": [r["seconds"] for r in done],
                 "peak_mib": max(r["peak_mib"] for r in done),
                 "baseline_mib": max(r["baseline_mib"] for r in done),
                 "exact_peak": all(r["exact_peak"] for r in done),
                 "digests": sorted({r["digest"] for r in done})}
        if impl == "model":
            entry["floor_s"] = statistics.median(r["seconds"] - r["callback_seconds"] for r in done)
        row[impl] = entry
    module, model = row["module"], row["model"]
    if "median_s" in module and "median_s" in model:
        row["model_over_module"] = model["median_s"] / module["median_s"]
        row["floor_s"] = model["floor_s"]
        row["module_over_floor"] = module["median_s"] / model["floor_s"] if model["floor_s"] > 0 else None
        row["identical_outputs"] = module["digests"] == model["digests"] and len(module["digests"]) == 1
        row["module_peak_not_above_model"] = module["peak_mib"] <= model["peak_mib"] + max(1.0, 0.01 * model["peak_mib"])
    return row


def fmt_row(row):
    def t(entry):
        return "%9.3f" % entry["median_s"] if "median_s" in entry else "%9s" % "n/a"

    def mem(entry):
        if "peak_mib" not in entry:
            return "%8s" % "n/a"
        return "%s%7.0f" % (" " if entry["exact_peak"] else "~", entry["peak_mib"])

    module, model = row["module"], row["model"]
    if "model_over_module" in row:
        tail = "%7.2fx %9.3f %7.2fx %s %s %s" % (
            row["model_over_module"], row["floor_s"], row["module_over_floor"] or float("nan"),
            mem(module), mem(model), "yes" if row["identical_outputs"] else "NO")
    else:
        reasons = {m.get("status") for m in (module, model) if "status" in m}
        tail = "skipped: %s" % "; ".join(sorted(r for r in reasons if r))
    return "%-12s %9d %s %s %s" % (row["stage"], row["size"], t(module), t(model), tail)


HEADER = "%-12s %9s %9s %9s %8s %9s %8s %8s %8s %s" % (
    "stage", "size", "module s", "model s", "speedup", "floor s", "vs floor", "mod MiB", "mdl MiB", "same")


def targets(rows):
    """The goals at 10^6 rows, as (description, value, met)."""
    out = []
    speedups = {"construction": 4, "postprocess": 10}
    for row in rows:
        if row["stage"] in speedups and row["size"] == LARGE and "model_over_module" in row:
            goal = speedups[row["stage"]]
            out.append(("%s at 10^6: model / module >= %d" % (row["stage"], goal), row["model_over_module"],
                        row["model_over_module"] >= goal))
            if row["module_over_floor"] is not None:
                out.append(("%s at 10^6: module / floor <= 1.5" % row["stage"], row["module_over_floor"],
                            row["module_over_floor"] <= 1.5))
    measured = [r for r in rows if "model_over_module" in r]
    if measured:
        worst = max(r["module"]["peak_mib"] - r["model"]["peak_mib"] for r in measured)
        out.append(("peak memory: module never above model (worst module - model, MiB)", worst,
                    all(r["module_peak_not_above_model"] for r in measured)))
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter, epilog=__doc__)
    parser.add_argument("--one", nargs=3, metavar=("IMPL", "STAGE", "SIZE"), help=argparse.SUPPRESS)
    parser.add_argument("--sizes", type=int, nargs="+", default=[10 ** 4, 10 ** 5, LARGE],
                        help="input rows for construction and post-processing")
    parser.add_argument("--path-sizes", type=int, nargs="+", default=[2000, 5000],
                        help="transitions for path discovery")
    parser.add_argument("--stages", nargs="+", choices=STAGES, default=list(STAGES))
    parser.add_argument("--repeat", type=int, default=3, help="runs per implementation and size")
    parser.add_argument("--repeat-large", type=int, default=2, help="runs at 10^6 rows and more")
    parser.add_argument("--timeout", type=float, default=1800, help="seconds per run")
    parser.add_argument("--out", default=os.path.join(HERE, "results.json"), help="JSON file of the table")
    args = parser.parse_args()
    if args.one:
        impl, stage, size = args.one
        return one(impl, stage, int(size))

    import numpy
    import pandas as pd

    print("python %s, pandas %s, numpy %s" % (sys.version.split()[0], pd.__version__, numpy.__version__))
    print(HEADER, flush=True)
    rows = []
    for stage in args.stages:
        for size in (args.path_sizes if stage == "paths" else args.sizes):
            repeat = args.repeat_large if size >= LARGE else args.repeat
            runs = {"module": [], "model": []}
            for _ in range(repeat):
                for impl in ("module", "model"):
                    result = measure(impl, stage, size, args.timeout)
                    runs[impl].append(result)
                # Nothing more to learn from a stage that is not there.
                if any("skipped" in r for r in runs["module"] + runs["model"]):
                    break
            row = summarise(stage, size, runs)
            rows.append(row)
            print(fmt_row(row), flush=True)
    goals = targets(rows)
    print()
    for text, value, met in goals:
        print("%-70s %8.2f  %s" % (text, value, "met" if met else "NOT met"))
    with open(args.out, "w") as f:
        json.dump({"python": sys.version.split()[0], "pandas": pd.__version__, "numpy": numpy.__version__,
                   "rows": rows, "targets": [{"goal": t, "value": v, "met": m} for t, v, m in goals]},
                  f, indent=1)
    print("written to %s" % args.out)


if __name__ == "__main__":
    main()
