"""SequenceTransformer on Dask: a LocalCluster of 2 worker processes (1 thread,
4 GiB memory limit each) runs the round trip from and to Parquet; each
worker's peak resident size is read from /proc (VmHWM) when it is done, and
the client's own peak next to it.

  input     bench_compare.build_input in chunks of 10^6 rows (entities of 1 to
            12 rows; ids distinct across chunks), one Parquet file per chunk,
            so the client never holds the data; read with dd.read_parquet.
  forward   st.fit_transform(ddf); both tables written to Parquet in one compute.
  generator the crudest: each table partition's rows resampled with replacement.
  reverse   st.reverse_transform(entities, steps) (one entity per entity row)
            and, with --counts, {10: entities // 2, 3: entities // 4}; the
            rebuilt rows written to Parquet.
With --compare (meant for 10^6 rows) the same steps run on pandas in this
process, from the same files, and the result reports both times.

    PYTHONPATH=<dir holding veltrano/> python bench/bench_sequences_dask.py [--rows 10000000]
        [--compare] [--out bench/results-sequences-dask.json]
"""
import argparse
import json
import os
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CHUNK = 10 ** 6


def write_input(rows, folder):
    from bench_compare import build_input

    os.makedirs(folder)
    base = 0
    for i, start in enumerate(range(0, rows, CHUNK)):
        df = build_input(min(CHUNK, rows - start), seed=i)
        df["id"] += base
        base = int(df["id"].max()) + 1
        df.to_parquet(os.path.join(folder, "part-%03d.parquet" % i), index=False)


def resampled(part, seed):
    return part.sample(frac=1.0, replace=True, random_state=seed).reset_index(drop=True)


def peaks(client):
    """Each worker's peak resident size so far, in MiB."""

    def vm_hwm():
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) / 1024.0 for line in f if line.startswith("VmHWM"))

    return sorted(client.run(vm_hwm).values())


def dask_round_trip(st, folder, counts):
    import dask
    import dask.dataframe as dd

    t0 = time.perf_counter()
    entities, steps = st.fit_transform(dd.read_parquet(os.path.join(folder, "input")))
    dask.compute(entities.to_parquet(os.path.join(folder, "entities"), compute=False),
                 steps.to_parquet(os.path.join(folder, "steps"), compute=False))
    t1 = time.perf_counter()
    synthetic = [dd.read_parquet(os.path.join(folder, name)).map_partitions(resampled, seed)
                 for seed, name in enumerate(("entities", "steps"))]
    rebuilt = st.reverse_transform(*synthetic, counts)
    rebuilt.to_parquet(os.path.join(folder, "rebuilt"))
    t2 = time.perf_counter()
    return t1 - t0, t2 - t1, len(dd.read_parquet(os.path.join(folder, "rebuilt")))


def pandas_round_trip(st, folder, counts):
    import pandas as pd

    t0 = time.perf_counter()
    entities, steps = st.fit_transform(pd.read_parquet(os.path.join(folder, "input")))
    t1 = time.perf_counter()
    # The same synthetic tables as the dask route's, rebuilt in one call.
    import dask.dataframe as dd

    synthetic = [dd.read_parquet(os.path.join(folder, name)).map_partitions(resampled, seed).compute()
                 for seed, name in enumerate(("entities", "steps"))]
    t2 = time.perf_counter()
    rebuilt = st.reverse_transform(*synthetic, counts)
    t3 = time.perf_counter()
    return t1 - t0, t3 - t2, len(rebuilt)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=10 ** 7)
    parser.add_argument("--counts", action="store_true", help="rebuild an exact request instead")
    parser.add_argument("--compare", action="store_true", help="also time the pandas route")
    parser.add_argument("--out", help="JSON file to add the result to")
    args = parser.parse_args()
    sys.path.insert(0, HERE)

    from distributed import Client, LocalCluster

    from peak_memory import peak_mib
    from veltrano.transformer.sequences import SequenceTransformer

    folder = tempfile.mkdtemp(prefix="vt-bench-dask-")
    try:
        write_input(args.rows, os.path.join(folder, "input"))
        with LocalCluster(n_workers=2, threads_per_worker=1, memory_limit="4GiB", dashboard_address=None) as cluster:
            with Client(cluster) as client:
                counts = None
                if args.counts:
                    n = args.rows // 6
                    counts = {10: n // 2, 3: n // 4}
                st = SequenceTransformer("id", "t")
                forward, reverse, rebuilt = dask_round_trip(st, folder, counts)
                result = {"rows": args.rows, "route": "dask", "forward_s": round(forward, 2),
                          "reverse_s": round(reverse, 2), "rebuilt_rows": rebuilt, "counts": bool(counts),
                          "worker_peak_mib": [round(p) for p in peaks(client)], "limit_mib": 4096,
                          "client_peak_mib": round(peak_mib()),
                          "python": sys.version.split()[0]}
        if args.compare:
            # Once the cluster is gone; the same synthetic tables.
            p_forward, p_reverse, p_rebuilt = pandas_round_trip(SequenceTransformer("id", "t"), folder, counts)
            result.update(pandas_forward_s=round(p_forward, 2), pandas_reverse_s=round(p_reverse, 2),
                          pandas_rebuilt_rows=p_rebuilt)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    import pandas as pd

    result["pandas"] = pd.__version__
    print(json.dumps(result))
    if args.out:
        results = json.load(open(args.out)) if os.path.exists(args.out) else []
        results.append(result)
        with open(args.out, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
