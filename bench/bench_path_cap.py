"""How long a path get_valid_path returns, against the number of synthetic
transitions and the iteration count of the combined discovery.

The combined discovery runs at most max_path_iterations joins (100 in
get_valid_path): doubling while that makes paths longer, then one transition
per join. Past a few hundred transitions the cap, not the data, sets the length.

    python bench/bench_path_cap.py
    python bench/bench_path_cap.py --sizes 400 1600 3200 --iterations 100 400
Put the built package on PYTHONPATH (or install it) first.
"""
import argparse
import contextlib
import os
import time

import pandas as pd

from bench_paths import make_case
from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer as T


def identical(n):
    """n copies of one self-loop transition: any order of them is a path."""
    mapping = pd.DataFrame({"c_1": ["a"], "c_2": ["a"], "c_diff": ["('a', 'a')"]})
    return pd.DataFrame({"value": range(n), "c_diff": "('a', 'a')"}), {"c": mapping}


def path_rows(df, mappings, iterations):
    expanded = T.expand_category_edges_in_df(df, mappings)
    start = T.create_starting_df_for_path_discovery(expanded, mappings)
    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
        paths = T.iteratively_discover_paths_combined(start, iterations)
    return len(T.retrieve_longest_path(df, paths))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[100, 200, 400, 800, 1600, 3200])
    parser.add_argument("--iterations", type=int, nargs="+", default=[100, 200])
    parser.add_argument("--identical", type=int, nargs="+", default=[50, 100, 150, 300])
    args = parser.parse_args()
    print("%-30s %10s %10s %8s" % ("input", "iterations", "path rows", "seconds"))
    cases = [("%d transitions, 8 categories" % n, lambda n=n: make_case(n)) for n in args.sizes]
    cases += [("%d identical transitions" % n, lambda n=n: identical(n)) for n in args.identical]
    for label, build in cases:
        df, mappings = build()
        for iterations in args.iterations:
            t0 = time.perf_counter()
            rows = path_rows(df, mappings, iterations)
            print("%-30s %10d %10d %8.2f" % (label, iterations, rows, time.perf_counter() - t0), flush=True)


if __name__ == "__main__":
    main()
