"""Where the Dask route's work runs and what the client gathers: the round
trip from a multi-file Parquet input to Parquet output on a LocalCluster of 2
worker processes, counting the tasks in the scheduler's task stream by worker
and the pickled size of every result dask.compute hands the client.

    PYTHONPATH=<dir holding veltrano/>:tests python bench/sequences_dask_gathered.py [--entities 3000] [--files 4]
"""
import argparse
import os
import pickle
import tempfile

import dask
import dask.dataframe as dd
import numpy as np
from distributed import Client, LocalCluster, get_task_stream

from test_sequences import entities_frame
from veltrano.transformer.sequences import SequenceTransformer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--entities", type=int, default=3000)
    parser.add_argument("--files", type=int, default=4)
    args = parser.parse_args()
    folder = tempfile.mkdtemp()
    real = entities_frame(8, n=args.entities)
    os.mkdir(os.path.join(folder, "visits"))
    for i, rows in enumerate(np.array_split(np.arange(len(real)), args.files)):
        real.iloc[rows].to_parquet(os.path.join(folder, "visits", "part.%d.parquet" % i))
    sizes, compute = [], dask.compute

    def counted(*a, **k):
        results = compute(*a, **k)
        sizes.extend(len(pickle.dumps(r)) for r in results)
        return results

    dask.compute = counted
    path = lambda name: os.path.join(folder, name)  # noqa: E731
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with Client(cluster) as client, get_task_stream(client) as stream:
            st = SequenceTransformer("patient", "visit")
            for table, name in zip(st.fit_transform(dd.read_parquet(path("visits"))), ("entities", "steps")):
                table.to_parquet(path(name))
            fit = len(sizes)
            tables = [dd.read_parquet(path(name)) for name in ("entities", "steps")]
            st.reverse_transform(*tables, {7: 500, 2: 120, 12: 30}).to_parquet(path("rebuilt"))
            workers = set(client.scheduler_info()["workers"])
    print("input: %d rows in %d files, %d bytes in memory" % (len(real), args.files, real.memory_usage(deep=True).sum()))
    print("fit: %d results gathered, %d bytes" % (fit, sum(sizes[:fit])))
    print("reverse: %d results gathered, %d bytes" % (len(sizes) - fit, sum(sizes[fit:])))
    print("tasks: %d, on the workers: %d" % (len(stream.data), sum(t["worker"] in workers for t in stream.data)))


if __name__ == "__main__":
    main()
