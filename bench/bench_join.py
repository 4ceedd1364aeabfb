"""Time and peak memory of one join_df call: the first self-join of the starting
frame of 2,000 synthetic transitions over 8 categories (about half a million
result rows), native module against the Python model (tests/model.py).

Every run is a fresh interpreter: the starting frame is built first, then the
peak resident size is reset (/proc/self/clear_refs), so ru_maxrss is the peak
while join_df ran, input included; "~" marks a peak that could not be reset
and covers the whole child. Module and model runs alternate; times are medians.
The results of both are hashed and compared.

    PYTHONPATH=<dir holding veltrano/> python bench/bench_join.py [--repeat 5] [--transitions 2000]
"""
import argparse
import gc
import hashlib
import json
import os
import random
import statistics
import subprocess
import sys
import time
import warnings

from peak_memory import peak_mib, reset_peak

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(os.path.dirname(HERE), "tests")


def starting_frame(cls, n, categories=8, seed=0):
    import pandas as pd
    rng = random.Random(seed)
    cats = ["cat%d" % i for i in range(categories)]
    pairs = [(a, b) for a in cats for b in cats]
    mapping = {"c": pd.DataFrame({"c_1": [a for a, _ in pairs], "c_2": [b for _, b in pairs],
                                  "c_diff": [str(p) for p in pairs]})}
    moves = [rng.choice(pairs) for _ in range(n)]
    df = pd.DataFrame({"value": [rng.random() for _ in moves], "c_diff": [str(m) for m in moves]})
    return cls.create_starting_df_for_path_discovery(cls.expand_category_edges_in_df(df, mapping), mapping)


def digest(frame):
    h = hashlib.sha1()
    h.update(repr((list(frame.columns), [str(t) for t in frame.dtypes], list(frame.index))).encode())
    h.update(repr(frame.values.tolist()).encode())
    return h.hexdigest()[:16]


def child(impl, n):
    warnings.simplefilter("ignore")
    if impl == "module":
        from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer as cls
    else:
        sys.path.insert(0, TESTS)
        from model import TimeseriesDifferenceTransformer as cls
    start = starting_frame(cls, n)
    gc.collect()
    exact = reset_peak()
    baseline = peak_mib()
    t0 = time.perf_counter()
    joined = cls.join_df(start, start)
    seconds = time.perf_counter() - t0
    peak = peak_mib()
    print(json.dumps({"seconds": seconds, "peak_mib": peak, "baseline_mib": baseline, "exact": exact,
                      "rows": len(joined), "digest": digest(joined)}))


def measure(impl, n):
    cmd = [sys.executable, os.path.abspath(__file__), "--child", impl, str(n)]
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    if proc.returncode != 0:
        sys.exit("%s run failed:\n%s" % (impl, proc.stderr))
    return json.loads(proc.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    ap.add_argument("--repeat", type=int, default=5, help="fresh processes per implementation")
    ap.add_argument("--transitions", type=int, default=2000)
    args = ap.parse_args()
    if args.child:
        return child(args.child[0], int(args.child[1]))

    runs = {"module": [], "model": []}
    for _ in range(args.repeat):
        for impl in runs:
            runs[impl].append(measure(impl, args.transitions))
    summary = {}
    for impl, rs in runs.items():
        summary[impl] = statistics.median(r["seconds"] for r in rs)
        peak = max(r["peak_mib"] for r in rs)
        print("%-6s %6.3f s median of %d  (%s)  peak %s%.0f MiB (input %.0f MiB)  %d rows" % (
            impl, summary[impl], len(rs), " ".join("%.3f" % r["seconds"] for r in rs),
            "" if all(r["exact"] for r in rs) else "~", peak, max(r["baseline_mib"] for r in rs), rs[0]["rows"]))
    same = {r["digest"] for rs in runs.values() for r in rs}
    print("speed-up %.1fx; results %s" % (summary["model"] / summary["module"],
                                          "identical" if len(same) == 1 else "DIFFER: %s" % sorted(same)))


if __name__ == "__main__":
    main()
