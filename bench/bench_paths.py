"""Time and peak memory of get_valid_path, native module against the Python model.

Every measurement runs in a fresh interpreter, so ru_maxrss is the peak of that
one call (plus the imports and the input frame, reported separately as the
baseline). The scaling run doubles the number of transitions under an address
space limit (RLIMIT_AS) until a run fails, and reports the largest that ran.

    python bench/bench_paths.py                     # 2,000 transitions, then scaling
    python bench/bench_paths.py --sizes 2000 --no-scaling
Put the built package on PYTHONPATH (or install it) first.
"""
import argparse
import contextlib
import json
import os
import random
import resource
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(os.path.dirname(HERE), "tests")
GIB = 1024 ** 3


def make_case(n, categories=8, seed=0):
    import pandas as pd
    rng = random.Random(seed)
    cats = ["cat%d" % i for i in range(categories)]
    pairs = [(a, b) for a in cats for b in cats]
    mapping = pd.DataFrame({"c_1": [a for a, _ in pairs], "c_2": [b for _, b in pairs],
                            "c_diff": [str(p) for p in pairs]})
    moves = [rng.choice(pairs) for _ in range(n)]
    df = pd.DataFrame({"value": [rng.random() for _ in moves], "c_diff": [str(m) for m in moves]})
    return df, {"c": mapping}


def child(impl, n, limit):
    if limit:
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    if impl == "module":
        from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer as cls
    else:
        sys.path.insert(0, TESTS)
        from model import TimeseriesDifferenceTransformer as cls
    import warnings
    warnings.simplefilter("ignore")
    df, mappings = make_case(n)
    base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
        t0 = time.perf_counter()
        path = cls.get_valid_path(df, mappings)
        seconds = time.perf_counter() - t0
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"seconds": seconds, "baseline_kib": base, "peak_kib": peak, "path_rows": len(path)}))


def measure(impl, n, limit=None, timeout=None):
    cmd = [sys.executable, os.path.abspath(__file__), "--child", impl, str(n), str(limit or 0)]
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"error": "timeout after %ss" % timeout}
    if proc.returncode != 0:
        lines = proc.stderr.strip().splitlines() or ["exit %d" % proc.returncode]
        return {"error": lines[-1][:120]}
    return json.loads(proc.stdout.strip().splitlines()[-1])


def fmt(r):
    if "error" in r:
        return "failed: " + r["error"]
    return "%8.2f s  peak %7.0f MiB  (baseline %4.0f MiB)  path of %d rows" % (
        r["seconds"], r["peak_kib"] / 1024, r["baseline_kib"] / 1024, r["path_rows"])


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    ap.add_argument("--sizes", type=int, nargs="+", default=[2000], help="transitions for the timed runs")
    ap.add_argument("--repeat", type=int, default=3, help="fresh processes per timed size")
    ap.add_argument("--impl", nargs="+", default=["module", "model"], choices=["module", "model"])
    ap.add_argument("--no-scaling", action="store_true", help="skip the largest-input search")
    ap.add_argument("--limit-gib", type=float, default=8.0, help="address space limit of the scaling runs")
    ap.add_argument("--start", type=int, default=2000, help="first size of the scaling runs")
    ap.add_argument("--max-size", type=int, default=1 << 20, help="stop doubling beyond this size")
    ap.add_argument("--timeout", type=float, default=1800, help="seconds per scaling run")
    args = ap.parse_args()
    if args.child:
        impl, n, limit = args.child
        return child(impl, int(n), int(limit))

    for n in args.sizes:
        for impl in args.impl:
            runs = [measure(impl, n) for _ in range(args.repeat)]
            ok = [r for r in runs if "error" not in r]
            print("%-6s n=%-7d %s" % (impl, n, fmt(runs[-1]) if not ok else fmt(dict(
                ok[0], seconds=statistics.median(r["seconds"] for r in ok),
                peak_kib=max(r["peak_kib"] for r in ok)))), flush=True)
    if args.no_scaling:
        return
    limit = int(args.limit_gib * GIB)
    for impl in args.impl:
        n, best = args.start, None
        while n <= args.max_size:
            r = measure(impl, n, limit, args.timeout)
            print("%-6s n=%-7d limit %.0f GiB: %s" % (impl, n, args.limit_gib, fmt(r)), flush=True)
            if "error" in r:
                break
            best, n = n, n * 2
        print("%-6s largest input within %.0f GiB: %s transitions" % (impl, args.limit_gib, best), flush=True)


if __name__ == "__main__":
    main()
