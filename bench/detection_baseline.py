"""How easily a classifier tells rebuilt entities from held-back real ones:
the detection AUC of both routes, with the bootstrap of each table and with
SDV's GaussianCopulaSynthesizer (metadata detected from each table, as a user
would), on every development data set of longitudinal.py.

Protocol, per data set and seed: the entities are split in half (seeded),
train and holdout. Each route learns from train only:
  pipeline    SequenceTransformer.fit_transform(train); the generator learns
              each table and samples as many rows as it has; reverse_transform.
  compatible  TimeseriesDifferenceTransformer on train; the generator learns its
              differenced rows and samples k + 1 rows of each row count k per
              entity it needs (a condition on the row-count column);
              postprocess_timeseries_difference_method with its default counts
              (it sets single-row entities aside).
Measured by a SequenceTransformer fitted on train: detection(holdout, rebuilt)
(gradient boosting, mean over 5-fold CV repeated 3 times; the linear model
too), and the floor detection(holdout, train). DCR share of privacy(train,
holdout, rebuilt) alongside.

    PYTHONPATH=<dir holding veltrano/> python bench/detection_baseline.py [--data ...] [--generator ...]
        [--seeds 0 1 2] [--json FILE] [--markdown]
"""
import argparse
import json
import sys
import time
import warnings

import numpy as np
import pandas as pd

from longitudinal import DATASETS, DataUnavailable, Resampler, load, roles


class SDVCopula:
    """SDV's GaussianCopulaSynthesizer with metadata detected from the table."""

    def __init__(self, random_state=0):
        self.random_state = random_state

    def fit(self, df):
        from sdv.metadata import Metadata
        from sdv.single_table import GaussianCopulaSynthesizer

        if hasattr(Metadata, "detect_from_dataframe"):
            metadata = Metadata.detect_from_dataframe(df, table_name="table")
            data = df
        else:  # SDV 2 takes tables by name only
            metadata = Metadata.detect_from_dataframes({"table": df})
            data = {"table": df}
        self.model = GaussianCopulaSynthesizer(metadata)
        self.model.fit(data)
        return self

    def sample(self, n, conditions=None):
        import torch  # SDV's sampling draws from numpy and torch

        np.random.seed(self.random_state)
        torch.manual_seed(self.random_state)
        self.random_state += 1
        if not conditions:
            out = self.model.sample(num_rows=n)
        else:
            from sdv.sampling import Condition

            out = self.model.sample_from_conditions([Condition(num_rows=n, column_values=conditions)])
        return out["table"] if isinstance(out, dict) else out


GENERATORS = {"bootstrap": Resampler, "sdv": SDVCopula}


def pipeline(train, ds, generator, seed):
    from veltrano.transformer.sequences import SequenceTransformer

    st = SequenceTransformer(id_column=ds.id, time_column=ds.time, random_state=seed)
    entities, steps = st.fit_transform(train)
    synth_entities = generator(seed).fit(entities).sample(len(entities))
    synth_steps = generator(seed + 1).fit(steps).sample(len(steps))
    return st.reverse_transform(synth_entities, synth_steps)


def compatible(train, ds, generator, seed):
    from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer

    _, sequence = roles(train, ds.id, ds.time)
    tr = TimeseriesDifferenceTransformer(train.copy(), ds.id, ds.time, sequence)
    gen = generator(seed).fit(tr.df_multi_entry_per_group_diff)
    group = tr.category_column
    wanted = dict(sorted(tr.category_counts.items()))
    synth = pd.concat([gen.sample(n * (k + 1), {group: k}) for k, n in wanted.items()], ignore_index=True)
    return tr.postprocess_timeseries_difference_method(synth, wanted)


ROUTES = {"pipeline": pipeline, "compatible": compatible}


def halves(df, id_col, seed):
    ids = df[id_col].unique()
    np.random.RandomState(seed).shuffle(ids)
    train = set(ids[: len(ids) // 2])
    inside = df[id_col].isin(train)
    return df[inside].reset_index(drop=True), df[~inside].reset_index(drop=True)


def auc(table):
    return table.set_index("name").loc[["gradient boosting", "linear"], "value"].tolist()


def run(name, generators, routes, seed):
    from veltrano.transformer.sequences import SequenceTransformer

    ds = DATASETS[name]
    train, holdout = halves(load(name), ds.id, seed)
    st = SequenceTransformer(ds.id, ds.time).fit(train)
    out = [{"data": name, "seed": seed, "route": "real vs real", "generator": "",
            "auc": auc(st.detection(holdout, train, random_state=seed)), "dcr": None, "seconds": 0.0}]
    for generator in generators:
        for route in routes:
            started = time.time()
            row = {"data": name, "seed": seed, "route": route, "generator": generator}
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    rebuilt = ROUTES[route](train, ds, GENERATORS[generator], seed)
                row["auc"] = auc(st.detection(holdout, rebuilt, random_state=seed))
                privacy = st.privacy(train, holdout, rebuilt, random_state=seed).set_index("measure").value
                row["dcr"], row["copies"] = float(privacy["DCR share"]), int(privacy["exact copies"])
            except Exception as exc:  # a route that cannot finish is a result too
                row["error"] = "%s: %s" % (type(exc).__name__, " ".join(str(exc).split())[:200])
            row["seconds"] = time.time() - started
            out.append(row)
            print(json.dumps(row), file=sys.stderr)
    return out


def summary(rows, markdown):
    frame = pd.DataFrame([r for r in rows if "error" not in r])
    frame["gradient boosting"] = frame.auc.str[0]
    frame["linear"] = frame.auc.str[1]
    frame["route"] = np.where(frame.generator == "", frame.route, frame.route + " + " + frame.generator)
    table = frame.groupby(["route", "data"], sort=False)["gradient boosting"].agg(["mean", "std", "count"])
    cells = table.apply(lambda r: "%.2f" % r["mean"] + (" ± %.2f" % r["std"] if r["count"] > 1 else ""), axis=1)
    wide = cells.unstack("data")
    if markdown:
        lines = ["| route | " + " | ".join(wide.columns) + " |", "|---|" + "---|" * len(wide.columns)]
        lines += ["| %s | %s |" % (i, " | ".join(str(v) for v in r)) for i, r in wide.fillna("error").iterrows()]
        return "\n".join(lines)
    return wide.to_string()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data", nargs="+", choices=sorted(DATASETS), default=["dietox", "quinidine", "covid"])
    parser.add_argument("--generator", nargs="+", choices=sorted(GENERATORS), default=["bootstrap", "sdv"])
    parser.add_argument("--route", nargs="+", choices=sorted(ROUTES), default=["pipeline", "compatible"])
    parser.add_argument("--seeds", nargs="+", type=int, default=[0])
    parser.add_argument("--json", help="also write every row to this file")
    parser.add_argument("--markdown", action="store_true")
    args = parser.parse_args()
    rows = []
    for name in args.data:
        try:
            load(name)
        except DataUnavailable as exc:
            print("skipping %s: %s" % (name, exc), file=sys.stderr)
            continue
        for seed in args.seeds:
            rows += run(name, args.generator, args.route, seed)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(rows, f, indent=1)
    print(summary(rows, args.markdown))
    errors = [r for r in rows if "error" in r]
    for r in errors:
        print("%(data)s/%(route)s/%(generator)s seed %(seed)d: %(error)s" % r)


if __name__ == "__main__":
    main()
