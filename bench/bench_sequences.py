"""SequenceTransformer against the compatible class on the same data: wall
time and peak memory, each measurement in a fresh process.

Input: bench_compare.build_input(ROWS), entities of 1 to 12 rows with one
numeric, one datetime and one text column, rows shuffled.
  forward   SequenceTransformer("id", "t").fit_transform(df)
            against TimeseriesDifferenceTransformer(df, "id", "t", ["value", "stamp", "state"])
  reverse   ROWS rebuilt rows as ROWS / 10 entities of 10 rows:
            reverse_transform(entities, steps, {10: ROWS // 10}) on the crudest
            generator's output (each table's rows resampled, as many as the input's)
            against postprocess_timeseries_difference_method(synthetic, {10: ROWS // 10})
            on a bootstrap of the differenced rows of row count 10 (11 per entity).
Peak: resident-size peak during the timed call above the size just before it
(/proc/self/clear_refs), next to the input frame's deep size. The inputs are
built in one process and pickled; a fresh process loads them and makes the
timed call, so no freed memory of the preparation hides the call's own.

    PYTHONPATH=<dir holding veltrano/> python bench/bench_sequences.py [--rows 1000000] [--repeat 3]
        [--out bench/results-sequences.json]
"""
import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
import warnings

from peak_memory import peak_mib, reset_peak

HERE = os.path.dirname(os.path.abspath(__file__))
IMPLS = ("sequences", "compatible")
STAGES = ("forward", "reverse")


def prepare(impl, stage, rows, path):
    """Builds the timed call's inputs and pickles them to path, so that the
    measuring process starts from them alone."""
    import pickle

    import numpy as np

    from bench_compare import build_input

    df = build_input(rows)
    inputs = {"input_mib": df.memory_usage(deep=True).sum() / 2 ** 20}
    if stage == "forward":
        inputs["df"] = df
    elif impl == "sequences":
        from veltrano.transformer.sequences import SequenceTransformer

        st = SequenceTransformer("id", "t")
        entities, steps = st.fit_transform(df)
        inputs.update(st=st, entities=entities.sample(frac=1.0, replace=True, random_state=1).reset_index(drop=True),
                      steps=steps.sample(frac=1.0, replace=True, random_state=2).reset_index(drop=True))
    else:
        from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer

        tr = TimeseriesDifferenceTransformer(df, "id", "t", ["value", "stamp", "state"])
        diff = tr.df_multi_entry_per_group_diff
        pool = np.flatnonzero(diff[tr.category_column].to_numpy() == 10)
        picks = np.random.default_rng(1).integers(0, len(pool), 11 * (rows // 10))
        inputs.update(tr=tr, synthetic=diff.iloc[pool[picks]].reset_index(drop=True))
    with open(path, "wb") as f:
        pickle.dump(inputs, f, protocol=pickle.HIGHEST_PROTOCOL)


def timed_call(impl, stage, rows, inputs):
    if impl == "sequences":
        from veltrano.transformer.sequences import SequenceTransformer

        if stage == "forward":
            st = SequenceTransformer("id", "t")
            return lambda: st.fit_transform(inputs["df"])
        return lambda: inputs["st"].reverse_transform(inputs["entities"], inputs["steps"], {10: rows // 10})
    from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer

    if stage == "forward":
        return lambda: TimeseriesDifferenceTransformer(inputs["df"], "id", "t", ["value", "stamp", "state"])
    return lambda: inputs["tr"].postprocess_timeseries_difference_method(inputs["synthetic"], {10: rows // 10})


def one(impl, stage, rows, path):
    import pickle

    warnings.simplefilter("error")
    with open(path, "rb") as f:
        inputs = pickle.load(f)
    run = timed_call(impl, stage, rows, inputs)
    gc.collect()
    exact = reset_peak()
    baseline = peak_mib()
    t0 = time.perf_counter()
    result = run()
    seconds = time.perf_counter() - t0
    del result
    print(json.dumps({"seconds": seconds, "peak_mib": peak_mib() - baseline, "input_mib": inputs["input_mib"],
                      "exact_peak": exact}))


def measure(impl, stage, rows):
    """One measurement; None where the implementation fails (the compatible
    class does not run on every pandas)."""
    path = os.path.join(tempfile.gettempdir(), "bench-sequences-%d-%s-%s.pkl" % (os.getpid(), impl, stage))
    try:
        for mode in ("--prepare", "--one"):
            out = subprocess.run([sys.executable, os.path.abspath(__file__), mode, impl, stage, str(rows), path],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
            if out.returncode != 0:
                if impl == "sequences":
                    sys.exit(out.stderr)
                print("%s %s failed: %s" % (impl, stage, out.stderr.strip().splitlines()[-1]), file=sys.stderr)
                return None
        return json.loads(out.stdout.strip().splitlines()[-1])
    finally:
        if os.path.exists(path):
            os.remove(path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--one", nargs=4, help=argparse.SUPPRESS)
    parser.add_argument("--prepare", nargs=4, help=argparse.SUPPRESS)
    parser.add_argument("--rows", type=int, default=10 ** 6)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--out")
    args = parser.parse_args()
    if args.prepare:
        prepare(args.prepare[0], args.prepare[1], int(args.prepare[2]), args.prepare[3])
        return
    if args.one:
        one(args.one[0], args.one[1], int(args.one[2]), args.one[3])
        return
    import pandas as pd

    results = {"python": sys.version.split()[0], "pandas": pd.__version__, "rows": args.rows, "stages": {}}
    print("| stage | rows | sequences s | compatible s | compatible/sequences | sequences peak MiB "
          "| input MiB | peak/input | compatible peak MiB |")
    print("|---|---|---|---|---|---|---|---|---|")
    for stage in STAGES:
        runs = {impl: [] for impl in IMPLS}
        for _ in range(args.repeat):
            for impl in IMPLS:  # alternating, so machine noise hits both alike
                runs[impl].append(measure(impl, stage, args.rows))
        runs = {impl: [r for r in runs[impl] if r is not None] for impl in IMPLS}
        med = {impl: statistics.median(r["seconds"] for r in runs[impl]) if runs[impl] else None for impl in IMPLS}
        peak = {impl: max(r["peak_mib"] for r in runs[impl]) if runs[impl] else None for impl in IMPLS}
        input_mib = runs["sequences"][0]["input_mib"]
        results["stages"][stage] = {"seconds": med, "peak_mib": peak, "input_mib": input_mib, "runs": runs}
        compatible = med["compatible"] is not None
        print("| %s | %s | %.3f | %s | %s | %.0f | %.0f | %.2f | %s |" % (
            stage, format(args.rows, ","), med["sequences"], "%.3f" % med["compatible"] if compatible else "n/a",
            "%.1fx" % (med["compatible"] / med["sequences"]) if compatible else "n/a", peak["sequences"], input_mib,
            peak["sequences"] / input_mib, "%.0f" % peak["compatible"] if compatible else "n/a"))
    if args.out:
        with open(args.out, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    sys.path.insert(0, HERE)
    main()
