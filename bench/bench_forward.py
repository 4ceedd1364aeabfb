"""Wall time and peak memory of the forward transformation (the constructor),
for the extension and for the plain-Python model in tests/model.py.

Each measurement runs in a fresh interpreter so that the peak resident size
(ru_maxrss, which also sees numpy's buffers) belongs to that measurement alone.

    PYTHONPATH=<dir holding veltrano/> python bench/bench_forward.py [--rows N] [--entities M] [--repeat K]
"""
import argparse
import json
import os
import subprocess
import sys
import time
import warnings

from peak_memory import peak_mib

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(os.path.dirname(HERE), "tests")


def build_frame(rows, entities, seed=0):
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng(seed)
    # Every entity owns at least one row; the rest are spread at random.
    sizes = 1 + rng.multinomial(rows - entities, np.full(entities, 1.0 / entities))
    ids = np.repeat(np.arange(entities, dtype=np.int64), sizes)
    starts = np.repeat(np.cumsum(sizes) - sizes, sizes)
    step = np.arange(rows) - starts
    df = pd.DataFrame({
        "id": ids,
        "t": step,
        "value": rng.normal(size=rows),
        "stamp": pd.Timestamp("2020-01-01") + pd.to_timedelta(step * 24 + rng.integers(0, 24, rows), unit="h"),
        "state": np.array(["A", "B", "C", "D", "E"], dtype=object)[rng.integers(0, 5, rows)],
    })
    # Input order is not entity-then-time order.
    return df.iloc[rng.permutation(rows)].reset_index(drop=True)


def child(impl, rows, entities):
    warnings.simplefilter("ignore")
    if impl == "module":
        from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer as T
    else:
        sys.path.insert(0, TESTS)
        from model import TimeseriesDifferenceTransformer as T
    df = build_frame(rows, entities)
    before = peak_mib()
    t0 = time.perf_counter()
    tr = T(df, "id", "t", ["value", "stamp", "state"])
    seconds = time.perf_counter() - t0
    print(json.dumps({
        "impl": impl, "seconds": seconds, "peak_before_mib": before, "peak_after_mib": peak_mib(),
        "diff_rows": len(tr.df_multi_entry_per_group_diff),
        "mapping_rows": len(tr.categorical_column_mappings["state"]),
    }))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1000000)
    parser.add_argument("--entities", type=int, default=200000)
    parser.add_argument("--repeat", type=int, default=3, help="fresh-process runs per implementation")
    parser.add_argument("--child", choices=["module", "model"], help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.rows, args.entities)
        return
    import pandas as pd
    print("python %s, pandas %s, %d rows, %d entities"
          % (sys.version.split()[0], pd.__version__, args.rows, args.entities))
    results = {"module": [], "model": []}
    # Interleaved runs; the fastest wall time is the least disturbed by other load.
    for _ in range(args.repeat):
        for impl in ("module", "model"):
            out = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", impl,
                                  "--rows", str(args.rows), "--entities", str(args.entities)],
                                 check=True, stdout=subprocess.PIPE, universal_newlines=True).stdout
            results[impl].append(json.loads(out.strip().splitlines()[-1]))
    print("%-7s %12s %12s %16s %16s %10s" % ("impl", "min wall s", "max wall s", "peak before MiB",
                                           "peak after MiB", "diff rows"))
    for impl, runs in results.items():
        print("%-7s %12.2f %12.2f %16.1f %16.1f %10d" % (
            impl, min(r["seconds"] for r in runs), max(r["seconds"] for r in runs),
            max(r["peak_before_mib"] for r in runs), max(r["peak_after_mib"] for r in runs), runs[0]["diff_rows"]))

if __name__ == "__main__":
    main()
