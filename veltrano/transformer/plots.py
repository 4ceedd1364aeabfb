"""Pictures of the reports: fidelity tables (SequenceTransformer.fidelity),
one panel per measure, real against each rebuilt frame; and real and rebuilt
trajectories side by side. Needs matplotlib (the `demo` extra)."""
import numpy as np
import pandas as pd


RELATIVE = ("start mean", "start spread", "step mean", "mean by category")
# Bars per panel: beyond it a panel shows the columns whose rebuilt value is
# farthest from the real one (and says so), so the labels stay readable.
MOST_BARS = 24
LABEL_LENGTH = 28


def _pyplot(function):
    try:
        import matplotlib
    except ImportError:
        raise ImportError("%s needs matplotlib: pip install 'veltrano-transformer[demo]'" % function) from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def _short(label):
    # Cut in the middle: "NUMBER by TEXT=VALUE" keeps its number and its value.
    if len(label) <= LABEL_LENGTH:
        return label
    head = (LABEL_LENGTH - 1) // 2
    return label[:head] + "…" + label[len(label) - (LABEL_LENGTH - 1 - head):]


def _panel_rows(tables, measure):
    """The panel's columns with the real value and each table's rebuilt one,
    relative to the real value where the measure's columns differ in scale."""
    # Every table's rows: the compatible class's table lacks single-row entities.
    rows = pd.concat([t[t["measure"] == measure] for t in tables.values()])
    rows = rows.assign(column=rows["column"].astype(str)).drop_duplicates("column").set_index("column")
    real = rows["real"].astype(float)
    scale = real.abs().where((real != 0) & real.notna(), 1.0) if measure in RELATIVE else real * 0 + 1.0
    out = pd.DataFrame({"real": real / scale})
    for name, table in tables.items():
        part = table[table["measure"] == measure]
        other = pd.Series(part["rebuilt"].to_numpy(dtype=float), index=part["column"].astype(str))
        out[name] = other[~other.index.duplicated()].reindex(out.index) / scale
    return out


def plot_fidelity(tables, path, title=None):
    """Writes a PNG comparing the tables' `real` column with their `rebuilt`
    columns. `tables` maps a label (e.g. "pipeline", "compatible") to a table
    of the same transformer; returns path."""
    plt = _pyplot("plot_fidelity")
    first = next(iter(tables.values()))
    measures = ["entities"] + [m for m in first["measure"].drop_duplicates() if m != "entities"]
    panels = [_panel_rows(tables, m) for m in measures]
    bars = min(MOST_BARS, max(len(p) for p in panels))
    fig, axes = plt.subplots(len(measures), 1, figsize=(max(9, 0.45 * bars * (len(tables) + 1) / 2), 3.1 * len(measures)),
                             squeeze=False)
    width = 0.8 / (len(tables) + 1)
    for measure, rows, ax in zip(measures, panels, axes[:, 0]):
        shown = rows
        if len(rows) > MOST_BARS:
            gap = rows.drop(columns="real").sub(rows["real"], axis=0).abs().max(axis=1).fillna(np.inf)
            farthest = set(gap.sort_values(ascending=False, kind="mergesort").index[:MOST_BARS])
            shown = rows[[c in farthest for c in rows.index]]
        xs = np.arange(len(shown))
        for i, name in enumerate(shown.columns):
            ax.bar(xs - 0.4 + width * (i + 0.5), shown[name], width, label=name)
        ax.set_xticks(xs)
        ax.set_xticklabels([_short(c) for c in shown.index], fontsize=7, rotation=35, ha="right")
        note = " (relative to real)" if measure in RELATIVE else ""
        if len(shown) < len(rows):
            note += " — the %d of %d farthest from real" % (len(shown), len(rows))
        ax.set_title(measure + note, fontsize=9)
    axes[0][0].legend(fontsize=8)
    if title:
        fig.suptitle(title)
    fig.tight_layout(rect=(0, 0, 1, 0.98))
    fig.savefig(path, dpi=90)
    plt.close(fig)
    return path


def _time_since_start(frame, id_column, time_column):
    times = frame[time_column]
    since = times - frame.groupby(id_column, sort=False)[time_column].transform("min")
    if since.dtype.kind == "m":
        unit = pd.Timedelta(1, "D") if since.max() >= pd.Timedelta(1, "D") else pd.Timedelta(1, "h")
        return since / unit, "days" if unit == pd.Timedelta(1, "D") else "hours"
    return since, "units"


def plot_trajectories(real, rebuilt, column, *, id_column, time_column, n=12, path="trajectories.png",
                      rebuilt_id_column=None, random_state=0, title=None):
    """Writes a PNG of n real and n rebuilt entities side by side, one line
    per entity: `column` against the time since the entity's first row, on
    the same axes scales. Entities of more than one row are drawn, chosen at
    random (seeded). The rebuilt entities are told apart by
    rebuilt_id_column; by default by UNIQUE_ID where rebuilt has it and real
    does not (the compatible class's ids), else by id_column. Returns path."""
    plt = _pyplot("plot_trajectories")
    if rebuilt_id_column is None:
        compatible = "UNIQUE_ID" in rebuilt.columns and "UNIQUE_ID" not in real.columns
        rebuilt_id_column = "UNIQUE_ID" if compatible else id_column
    if not (isinstance(n, (int, np.integer)) and n >= 1):
        raise ValueError("n must be a whole number of at least 1, not %r" % (n,))
    sides = [("real", real, id_column), ("rebuilt", rebuilt, rebuilt_id_column)]
    for label, frame, ids in sides:
        missing = [c for c in (ids, time_column, column) if c not in frame.columns]
        if missing:
            raise KeyError("the %s frame has no column %s" % (label, ", ".join(repr(c) for c in missing)))
    fig, axes = plt.subplots(1, 2, figsize=(11, 4.2), sharex=True, sharey=True, squeeze=False)
    rng = np.random.RandomState(random_state)
    for ax, (label, frame, ids) in zip(axes[0], sides):
        sizes = frame.groupby(ids, sort=False).size()
        many = sizes.index[sizes > 1]
        chosen = many[np.sort(rng.choice(len(many), size=min(n, len(many)), replace=False))] if len(many) else many
        part = frame[frame[ids].isin(chosen)].sort_values([ids, time_column], kind="mergesort")
        x, unit = _time_since_start(part, ids, time_column)
        for _, rows in part.assign(_x=x).groupby(ids, sort=False):
            ax.plot(rows["_x"], rows[column], marker=".", linewidth=1, markersize=3, alpha=0.8)
        ax.set_title("%s: %d of %d entities with more than one row" % (label, len(chosen), len(many)), fontsize=9)
        ax.set_xlabel("%s since the entity's first row (%s)" % (time_column, unit), fontsize=8)
    axes[0][0].set_ylabel(str(column), fontsize=8)
    if title:
        fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)
    return path
