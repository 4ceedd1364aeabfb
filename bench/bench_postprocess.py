"""Wall time and peak memory of post-processing (1,000,000 synthetic rows into
100,000 entities by default), for the extension and for the plain-Python model
in tests/model.py.

Each measurement runs in a fresh interpreter so that the peak resident size
(ru_maxrss, which also sees numpy's buffers) belongs to that measurement alone.
The transformer is built on a small input; the synthetic rows are drawn, with
replacement, from its differenced rows.

    PYTHONPATH=<dir holding veltrano/> python bench/bench_postprocess.py [--entities M] [--repeat K]
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
SIZES = (6, 8, 10, 12)  # entity row counts; an entity of k rows uses k + 1 synthetic rows


def build_input(per_size=500, seed=0):
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng(seed)
    sizes = np.repeat(SIZES, per_size)
    rows = int(sizes.sum())
    starts = np.repeat(np.cumsum(sizes) - sizes, sizes)
    step = np.arange(rows) - starts
    return pd.DataFrame({
        "id": np.repeat(np.arange(len(sizes), dtype=np.int64), sizes),
        "t": step,
        "value": rng.normal(size=rows),
        "count": rng.integers(0, 50, rows),
        "stamp": pd.Timestamp("2020-01-01") + pd.to_timedelta(step * 24 + rng.integers(0, 24, rows), unit="h"),
        "state": np.array(["A", "B", "C", "D", "E"], dtype=object)[rng.integers(0, 5, rows)],
    })


def build_synthetic(diff, group, request, seed=1):
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng(seed)
    parts = []
    for k, n in request.items():
        block = diff[diff[group] == k]
        parts.append(block.iloc[rng.integers(0, len(block), n * (k + 1))])
    synth = pd.concat(parts)
    # A generator's output comes in no particular order.
    return synth.iloc[rng.permutation(len(synth))].reset_index(drop=True)


def child(impl, entities):
    warnings.simplefilter("ignore")
    if impl == "module":
        from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer as T
    else:
        sys.path.insert(0, TESTS)
        from model import TimeseriesDifferenceTransformer as T
    tr = T(build_input(), "id", "t", ["value", "count", "stamp", "state"])
    request = {k: entities // len(SIZES) for k in SIZES}
    synth = build_synthetic(tr.df_multi_entry_per_group_diff, tr.category_column, request)
    before = peak_mib()
    t0 = time.perf_counter()
    out = tr.postprocess_timeseries_difference_method(synth, request)
    seconds = time.perf_counter() - t0
    print(json.dumps({
        "impl": impl, "seconds": seconds, "peak_before_mib": before, "peak_after_mib": peak_mib(),
        "synthetic_rows": len(synth), "entities": int(out[tr.unique_id_column].nunique()), "rows": len(out),
    }))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--entities", type=int, default=100000, help="entities to build (split over 4 sizes)")
    parser.add_argument("--repeat", type=int, default=3, help="fresh-process runs per implementation")
    parser.add_argument("--child", choices=["module", "model"], help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.entities)
        return
    import pandas as pd
    results = {"module": [], "model": []}
    # Interleaved runs; the fastest wall time is the least disturbed by other load.
    for _ in range(args.repeat):
        for impl in ("module", "model"):
            out = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", impl,
                                  "--entities", str(args.entities)],
                                 check=True, stdout=subprocess.PIPE, universal_newlines=True).stdout
            results[impl].append(json.loads(out.strip().splitlines()[-1]))
    first = results["module"][0]
    print("python %s, pandas %s, %d synthetic rows into %d entities (%d rows)"
          % (sys.version.split()[0], pd.__version__, first["synthetic_rows"], first["entities"], first["rows"]))
    print("%-7s %12s %12s %16s %16s" % ("impl", "min wall s", "max wall s", "peak before MiB", "peak after MiB"))
    for impl, runs in results.items():
        print("%-7s %12.2f %12.2f %16.1f %16.1f" % (
            impl, min(r["seconds"] for r in runs), max(r["seconds"] for r in runs),
            max(r["peak_before_mib"] for r in runs), max(r["peak_after_mib"] for r in runs)))


if __name__ == "__main__":
    main()
