"""Saving and loading transformers: seconds, file sizes and peak memory, with
pickle's figures beside them for scale, and a check that the loaded
transformer rebuilds exactly what the saved one does.

Inputs: bench_compare.py's seeded frames (entities of 1 to 12 rows, one numeric,
one datetime and one text column); the compatible class differences all three,
the sequence transformer fits the same frame. Each stage runs in a fresh
process (peaks are the resident-size peak during the call, above the size
before it); seconds are medians of --repeat runs.

    python bench/bench_saved.py [--rows 10000 100000 1000000] [--repeat 3] [--out results-saved.json]
"""
import argparse
import json
import os
import pickle
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def fitted(kind, rows):
    from bench_compare import build_input
    df = build_input(rows)
    if kind == "compatible":
        from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer
        return TimeseriesDifferenceTransformer(df, "id", "t", ["value", "stamp", "state"])
    from veltrano.transformer.sequences import SequenceTransformer
    return SequenceTransformer("id", "t").fit(df)


def rebuilt_digest(obj, rows):
    """A digest of what the transformer rebuilds from a fixed synthetic frame."""
    import hashlib
    from bench_compare import bootstrap, build_input
    if hasattr(obj, "postprocess_timeseries_difference_method"):
        out = obj.postprocess_timeseries_difference_method(bootstrap(obj))
    else:
        out = obj.reverse_transform(*obj.transform(build_input(rows)))
    return hashlib.sha256(out.to_csv(index=False).encode()).hexdigest()


def one(kind, rows, fmt, folder):
    """One measurement in this process: save or load seconds and the peak above the start."""
    from peak_memory import peak_mib, reset_peak
    obj = fitted(kind, rows)
    path = os.path.join(folder, "%s-%d.%s" % (kind, rows, fmt))
    cls = type(obj)
    if fmt == "pickle":
        def save():
            with open(path, "wb") as f:
                pickle.dump(obj, f, protocol=4)

        def load():
            with open(path, "rb") as f:
                return pickle.load(f)
    else:
        save, load = (lambda: obj.save(path)), (lambda: cls.load(path))
    out = {}
    for stage, call in (("save", save), ("load", load)):
        reset_peak()
        before = peak_mib()
        start = time.perf_counter()
        result = call()
        out[stage] = time.perf_counter() - start
        out[stage + "_peak"] = peak_mib() - before
    out["bytes"] = os.path.getsize(path)
    out["same"] = rebuilt_digest(result, rows) == rebuilt_digest(obj, rows)
    return out


def measure(kind, rows, fmt, repeat, folder):
    runs = []
    for _ in range(repeat):
        done = subprocess.run([sys.executable, __file__, "--one", kind, str(rows), fmt, folder],
                              capture_output=True, text=True, cwd=HERE)
        if done.returncode != 0:
            raise SystemExit(done.stderr)
        runs.append(json.loads(done.stdout))
    med = {k: statistics.median(r[k] for r in runs) for k in ("save", "load", "save_peak", "load_peak")}
    return dict(med, kind=kind, rows=rows, format=fmt, bytes=runs[0]["bytes"], same=all(r["same"] for r in runs))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, nargs="+", default=[10000, 100000, 1000000])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--out")
    parser.add_argument("--one", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args()
    sys.path.insert(0, HERE)
    if args.one:
        kind, rows, fmt, folder = args.one
        print(json.dumps(one(kind, int(rows), fmt, folder)))
        return
    import pandas as pd
    results = []
    with tempfile.TemporaryDirectory() as folder:
        print("| class | rows | format | save s | load s | MiB on disk | save peak MiB | load peak MiB | same rebuild |")
        print("|---|---|---|---|---|---|---|---|---|")
        for kind in ("compatible", "sequences"):
            for rows in args.rows:
                for fmt in ("saved", "pickle"):
                    r = measure(kind, rows, fmt, args.repeat, folder)
                    results.append(r)
                    print("| %s | %d | %s | %.3f | %.3f | %.2f | %.0f | %.0f | %s |" % (
                        kind, rows, fmt, r["save"], r["load"], r["bytes"] / 2 ** 20, r["save_peak"],
                        r["load_peak"], "yes" if r["same"] else "NO"), flush=True)
    if args.out:
        with open(args.out, "w") as f:
            json.dump({"python": sys.version.split()[0], "pandas": pd.__version__, "runs": results}, f, indent=1)


if __name__ == "__main__":
    main()
