"""End-to-end demo of TimeseriesDifferenceTransformer on made-up hospital visits.

1. Difference 2,000 visits (heart rate, event time, event type).
2. Feed the differenced rows to a stand-in generator.
3. Rebuild visits from the synthetic rows.
4. Chain a few hundred synthetic event-type transitions into one consistent path.

Prints a short report and writes CSV files and one PNG figure to --out.
"""

import argparse
import os
import sys
import time

import numpy as np
import pandas as pd

from hospital_data import make_hospital_visits
from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer

ID, TIME, NUMERIC, EVENT = "visit_id", "event_time", "heart_rate", "event_type"


def stand_in_generator(df_diff, category_column, category_counts, seed):
    """NOT a real generator: a seeded bootstrap of the differenced rows.

    A real model would be trained on df_diff and sample new rows in the same
    layout. Rebuilding an entity of k rows takes k + 1 synthetic rows of
    category k, so rows are drawn per category, with replacement.
    """
    rng = np.random.RandomState(seed)
    parts = []
    for category, count in sorted(category_counts.items()):
        pool = df_diff[df_diff[category_column] == category]
        picks = rng.randint(0, len(pool), size=count * (category + 1))
        parts.append(pool.iloc[picks])
    synthetic = pd.concat(parts)
    # Generators emit rows in no particular order.
    return synthetic.iloc[rng.permutation(len(synthetic))].reset_index(drop=True)


def rows_per_entity(df, id_column):
    """Number of entities owning each row count, as a Series indexed by row count."""
    return df.groupby(id_column).size().value_counts().sort_index()


def print_report(real, transformer, synthetic, rebuilt, path):
    uid = transformer.unique_id_column
    real_counts = rows_per_entity(real, ID)
    rebuilt_counts = rows_per_entity(rebuilt, uid)
    table = pd.DataFrame({"real visits": real_counts, "rebuilt visits": rebuilt_counts}).fillna(0).astype(int)
    table.index.name = "events per visit"
    print()
    print("Real input: %d rows, %d visits. Differenced frame: %d rows. Synthetic rows: %d."
          % (len(real), real[ID].nunique(), len(transformer.df_multi_entry_per_group_diff), len(synthetic)))
    print("Rebuilt: %d rows, %d visits (single-event visits are set aside by the transform)."
          % (len(rebuilt), rebuilt[uid].nunique()))
    print()
    print(table.to_string())
    print()
    print("Heart rate  real: mean %.1f, sd %.1f   rebuilt: mean %.1f, sd %.1f"
          % (real[NUMERIC].mean(), real[NUMERIC].std(), rebuilt[NUMERIC].mean(), rebuilt[NUMERIC].std()))
    stamp = "%Y-%m-%d %H:%M"
    print("Event time  real: %s to %s   rebuilt: %s to %s"
          % tuple(t.strftime(stamp) for t in (real[TIME].min(), real[TIME].max(),
                                               rebuilt[TIME].min(), rebuilt[TIME].max())))
    print()
    print("Every rebuilt visit starts from the mean value of the real visits of its length, so")
    print("restored values, event times above all, bunch around those means. The stand-in draws")
    print("rows independently, so ward and event order do not hang together within a visit;")
    print("a trained generator is what would learn that.")
    print()
    print("Two rebuilt visits (the first ones with 3 and with 5 events):")
    sizes = rebuilt.groupby(uid)[uid].transform("size")
    shown = [rebuilt.loc[sizes == k, uid].iloc[0] for k in (3, 5) if (sizes == k).any()]
    sample = rebuilt[rebuilt[uid].isin(shown)][[uid, TIME, EVENT, NUMERIC, "cost", "ward"]].copy()
    sample[TIME] = sample[TIME].dt.strftime(stamp)
    sample[NUMERIC] = sample[NUMERIC].round(1)
    print(sample.to_string(index=False))
    print()
    mapping = transformer.categorical_column_mappings[EVENT].set_index(EVENT + "_diff")
    steps = mapping.loc[path[EVENT + "_diff"]]
    chain = [steps[EVENT + "_1"].iloc[0]] + list(steps[EVENT + "_2"])
    print("Discovered path: %d transitions, %d events" % (len(path), len(chain)))
    if len(chain) > 16:
        chain = chain[:8] + ["..."] + chain[-7:]
    print("  " + " -> ".join(chain))


def plot(real, rebuilt, uid, filename):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 3, figsize=(16, 4.8))
    real_style = dict(color="#3b6ea5", alpha=0.55, label="real")
    rebuilt_style = dict(color="#e07b39", alpha=0.55, label="rebuilt")

    ax = axes[0]
    real_counts = rows_per_entity(real, ID)
    rebuilt_counts = rows_per_entity(rebuilt, uid).reindex(real_counts.index, fill_value=0)
    x = np.arange(len(real_counts))
    ax.bar(x - 0.2, real_counts.values, width=0.4, **real_style)
    ax.bar(x + 0.2, rebuilt_counts.values, width=0.4, **rebuilt_style)
    ax.set_xticks(x)
    ax.set_xticklabels([str(k) for k in real_counts.index])
    if real_counts.index[0] == 1:
        ax.annotate("set aside", (x[0] - 0.2, real_counts.iloc[0]), xytext=(0, 4), textcoords="offset points",
                    ha="center", fontsize=8)
    ax.set_xlabel("events per visit")
    ax.set_ylabel("visits")
    ax.set_title("Visits by number of events")
    ax.legend()

    ax = axes[1]
    values = pd.concat([real[NUMERIC], rebuilt[NUMERIC]])
    bins = np.linspace(values.min(), values.max(), 40)
    ax.hist(real[NUMERIC], bins=bins, density=True, **real_style)
    ax.hist(rebuilt[NUMERIC], bins=bins, density=True, **rebuilt_style)
    ax.set_xlabel("heart rate (beats per minute)")
    ax.set_ylabel("density")
    ax.set_title("Heart rate, restored from differences")
    ax.legend()

    ax = axes[2]
    day = pd.Timedelta(1, unit="D")
    start = real[TIME].min().normalize()
    real_days = (real[TIME] - start) / day
    rebuilt_days = (rebuilt[TIME] - start) / day
    days = pd.concat([real_days, rebuilt_days])
    bins = np.linspace(days.min(), days.max(), 60)
    ax.hist(real_days, bins=bins, density=True, **real_style)
    ax.hist(rebuilt_days, bins=bins, density=True, **rebuilt_style)
    ax.set_xlabel("event time (days since %s)" % start.date())
    ax.set_ylabel("density")
    ax.set_title("Event time, restored from differences")
    ax.legend()

    fig.suptitle("Real visits against visits rebuilt from stand-in synthetic rows", fontsize=13)
    fig.tight_layout()
    fig.savefig(filename, dpi=110)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", default=os.path.join("out", "demo"), help="output folder (default: out/demo)")
    parser.add_argument("--visits", type=int, default=2000, help="number of visits to make up (default: 2000)")
    parser.add_argument("--seed", type=int, default=7, help="seed of the stand-in generator (default: 7)")
    parser.add_argument("--path-rows", type=int, default=300,
                        help="synthetic transitions handed to path discovery (default: 300)")
    args = parser.parse_args(argv)
    if args.visits < 50 or args.path_rows < 2:
        parser.error("use at least 50 visits and 2 path rows")

    started = time.time()
    os.makedirs(args.out, exist_ok=True)

    real = make_hospital_visits(args.visits)
    print("1. Forward transform of %d events in %d visits" % (len(real), real[ID].nunique()))
    # The transformer converts the time columns of the frame it is given in
    # place; hand it a copy so `real` stays the untouched input.
    transformer = TimeseriesDifferenceTransformer(real.copy(), ID, TIME, [NUMERIC, TIME, EVENT], [TIME])
    df_diff = transformer.df_multi_entry_per_group_diff
    print(df_diff.head(4).to_string())

    print("2. Stand-in generator: seeded bootstrap of the differenced rows")
    synthetic = stand_in_generator(df_diff, transformer.category_column, transformer.category_counts, args.seed)

    print("3. Post-processing the synthetic rows back into visits")
    rebuilt = transformer.postprocess_timeseries_difference_method(synthetic)

    print("4. Path discovery on %d synthetic %s transitions" % (args.path_rows, EVENT))
    subset = synthetic.sample(n=min(args.path_rows, len(synthetic)), random_state=args.seed)
    path = TimeseriesDifferenceTransformer.get_valid_path(
        subset, {EVENT: transformer.categorical_column_mappings[EVENT]})

    print_report(real, transformer, synthetic, rebuilt, path)

    outputs = [("real.csv", real), ("differenced.csv", df_diff), ("synthetic.csv", synthetic),
               ("rebuilt.csv", rebuilt), ("path.csv", path)]
    for name, frame in outputs:
        frame.to_csv(os.path.join(args.out, name), index=False)
    figure = os.path.join(args.out, "demo.png")
    plot(real, rebuilt, transformer.unique_id_column, figure)
    print()
    print("Wrote %s and %s to %s/ in %.1f s"
          % (", ".join(name for name, _ in outputs), os.path.basename(figure), args.out, time.time() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
