"""Believable entities on real data: every data set of longitudinal.py through
the sequence pipeline with each generator, measured against the targets, and
the compatible class through the same generator for contrast.

Pipeline: fit_transform, train the generator on each table, sample as many
rows as each table has (times a factor that makes at least 2,000 entities),
reverse_transform with the default counts and with a
request for a few row counts in descending order. Compatible class: train on
its differenced rows and sample k + 1 rows of each row count k per entity it
needs (a per-row-count condition), then post-process with its default counts.

Usage: python bench/sequence_targets.py [--data NAME ...] [--generator NAME ...]
           [--seed N] [--markdown]
"""

import argparse
import sys
import time
import warnings

import numpy as np
import pandas as pd

from longitudinal import DATASETS, GENERATORS, TARGETS, available, generator_available, load, measure, roles

MIN_ENTITIES = 2000
MEASURES = ["static", "pairs", "range", "time", "start_mean", "start_spread", "missing"]


class Leaks:
    """Collects the warnings raised inside the transformer's own calls."""

    def __init__(self):
        self.caught = []

    def __call__(self, fn, *args, **kwargs):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            result = fn(*args, **kwargs)
        self.caught += ["%s: %s" % (w.category.__name__, " ".join(str(w.message).split())) for w in caught]
        return result


def entity_counts(df, id_col):
    return df.groupby(id_col, sort=False).size().value_counts().sort_index()


def subset_request(real, id_col):
    """A few row counts of the real data, largest first, with small numbers."""
    present = sorted(entity_counts(real, id_col).index)
    picks = sorted({present[-1], present[len(present) // 2], present[0]}, reverse=True)
    return {int(k): n for k, n in zip(picks, (2, 5, 3))}


def counts_met(rebuilt, id_col, wanted):
    got = entity_counts(rebuilt, id_col)
    wanted = pd.Series(wanted).sort_index()
    return bool(got.index.equals(wanted.index.astype(got.index.dtype)) and (got.values == wanted.values).all())


def scale(real, id_col):
    """How many synthetic rows to draw per real row: enough for MIN_ENTITIES
    entities, so that small data sets are judged on the generator's
    distribution rather than on one small draw of it."""
    return max(1, -(-MIN_ENTITIES // real[id_col].nunique()))


def pipeline(real, ds, generator, seed):
    from veltrano.transformer.sequences import SequenceTransformer

    leaks = Leaks()
    st = SequenceTransformer(id_column=ds.id, time_column=ds.time, random_state=seed)
    entities, steps = leaks(st.fit_transform, real)
    times = scale(real, ds.id)
    synth_entities = generator(seed).fit(entities).sample(times * len(entities))
    synth_steps = generator(seed + 1).fit(steps).sample(times * len(steps))
    rebuilt = leaks(st.reverse_transform, synth_entities, synth_steps)
    # One entity per synthetic entity row, of its (rounded, clipped) row count.
    lengths = synth_entities[st.count_column].round().clip(1, entity_counts(real, ds.id).index.max())
    default_met = counts_met(rebuilt, ds.id, lengths.astype(int).value_counts().to_dict())
    request = subset_request(real, ds.id)
    subset = leaks(st.reverse_transform, synth_entities, synth_steps, counts=request)
    return st, rebuilt, {"counts": default_met and counts_met(subset, ds.id, request)}, leaks.caught


def compatible(real, ds, generator, seed):
    from veltrano.transformer.sequences import SequenceTransformer
    from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer

    leaks = Leaks()
    _, sequence = roles(real, ds.id, ds.time)
    tr = leaks(TimeseriesDifferenceTransformer, real.copy(), ds.id, ds.time, sequence)
    train = tr.df_multi_entry_per_group_diff
    if train.empty:
        raise ValueError("no differenced rows to train on: every step has a missing value in some column")
    gen = generator(seed).fit(train)
    group = tr.category_column
    wanted = {k: n * scale(real, ds.id) for k, n in sorted(tr.category_counts.items())}
    synth = pd.concat([gen.sample(n * (k + 1), {group: k}) for k, n in wanted.items()], ignore_index=True)
    rebuilt = leaks(tr.postprocess_timeseries_difference_method, synth, wanted)
    uid = tr.unique_id_column
    # It sets single-row entities aside: they count as entities it did not rebuild.
    met = counts_met(rebuilt, uid, {k: n * scale(real, ds.id) for k, n in entity_counts(real, ds.id).items()})
    try:
        request = subset_request(real, ds.id)
        met = met and counts_met(leaks(tr.postprocess_timeseries_difference_method, synth, request), uid, request)
    except (AssertionError, KeyError, ValueError):
        met = False
    # Measured by a pipeline fitted on the same real rows, outside the leak count.
    st = SequenceTransformer(id_column=ds.id, time_column=ds.time).fit(real)
    return st, rebuilt.drop(columns=[ds.id]).rename(columns={uid: ds.id}), {"counts": met}, leaks.caught


def evaluate(name, route, generator, seed):
    ds = DATASETS[name]
    real = load(name)
    before = real.copy()
    started = time.time()
    try:
        st, rebuilt, extra, leaked = route(real, ds, GENERATORS[generator], seed)
    except Exception as exc:  # a route that cannot finish is a result too
        return {"error": "%s: %s" % (type(exc).__name__, " ".join(str(exc).split())[:160])}
    result = measure(st, real, rebuilt, ds.id)
    result["counts"] = (float(extra["counts"]), "")
    result["warnings"] = (float(len(leaked)), "; ".join(sorted(set(leaked)))[:160])
    result["untouched"] = (float(real.equals(before)), "")
    result["seconds"] = time.time() - started
    result["rows"] = len(rebuilt)
    return result


LIMITS = dict(TARGETS, counts=lambda v: v == 1.0, warnings=lambda v: v == 0, untouched=lambda v: v == 1.0)
SHOWN = MEASURES + ["counts", "warnings", "untouched"]


def cell(key, value):
    if key in ("start_mean",):
        text = "%.1f%%" % (100 * value)
    elif key == "missing":
        text = "%.1fpt" % value
    elif key in ("counts", "untouched"):
        text = "yes" if value else "no"
    elif key == "warnings":
        text = "%d" % value
    elif key == "start_spread":
        text = "n/a" if np.isnan(value) else "%.2f" % value
    else:
        text = "%.1f%%" % (100 * value)
    return text if LIMITS[key](value) else text + " FAIL"


def table(results, markdown):
    header = ["data", "generator", "route"] + SHOWN
    lines = []
    for (name, generator, route), result in results:
        if "error" in result:
            lines.append([name, generator, route, "error"] + [""] * (len(SHOWN) - 1))
            continue
        lines.append([name, generator, route] + [cell(key, result[key][0]) for key in SHOWN])
    if markdown:
        out = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
        out += ["| " + " | ".join(line) + " |" for line in lines]
        return "\n".join(out)
    widths = [max(len(str(row[i])) for row in [header] + lines) for i in range(len(header))]
    return "\n".join("  ".join(str(v).ljust(w) for v, w in zip(row, widths)) for row in [header] + lines)


def details(results):
    out = []
    for (name, generator, route), result in results:
        if "error" in result:
            out.append("%s/%s/%s: %s" % (name, generator, route, result["error"]))
            continue
        worst = ["%s: %s" % (key, result[key][1]) for key in SHOWN
                 if result[key][1] and not LIMITS[key](result[key][0])]
        out.append("%s/%s/%s: %d rows in %.1fs%s" % (name, generator, route, result["rows"], result["seconds"],
                                                    ("; failing at " + "; ".join(worst)) if worst else ""))
    return "\n".join(out)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data", nargs="+", choices=sorted(DATASETS), default=sorted(DATASETS))
    parser.add_argument("--generator", nargs="+", choices=sorted(GENERATORS), default=sorted(GENERATORS))
    parser.add_argument("--route", nargs="+", choices=["pipeline", "compatible"], default=["pipeline", "compatible"])
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--markdown", action="store_true", help="print the table as Markdown")
    args = parser.parse_args(argv)
    routes = {"pipeline": pipeline, "compatible": compatible}
    results = []
    for name in available(args.data):
        for generator in args.generator:
            if not generator_available(generator):
                print("skipping %s: pip install copulas" % generator, file=sys.stderr)
                continue
            for route in args.route:
                results.append(((name, generator, route), evaluate(name, routes[route], generator, args.seed)))
    print("python %s, pandas %s" % (sys.version.split()[0], pd.__version__))
    print(table(results, args.markdown))
    print(details(results))
    failed = any("error" in r or any(not LIMITS[k](r[k][0]) for k in SHOWN)
                 for (_, _, route), r in results if route == "pipeline")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
