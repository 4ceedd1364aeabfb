"""Pictures of fidelity tables (SequenceTransformer.fidelity), one panel per
measure, real against each rebuilt frame. Needs matplotlib (the `demo` extra)."""
import pandas as pd


RELATIVE = ("start mean", "start spread", "step mean")


def plot_fidelity(tables, path, title=None):
    """Writes a PNG comparing the tables' `real` column with their `rebuilt`
    columns. `tables` maps a label (e.g. "pipeline", "compatible") to a table
    of the same transformer; returns path."""
    try:
        import matplotlib
    except ImportError:
        raise ImportError("plot_fidelity needs matplotlib: pip install 'veltrano-transformer[demo]'") from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    first = next(iter(tables.values()))
    measures = [m for m in first["measure"].drop_duplicates() if m != "entities"]
    fig, axes = plt.subplots(len(measures) + 1, 1, figsize=(9, 2.4 * (len(measures) + 1)), squeeze=False)
    panels = [("entities", axes[0][0])] + [(m, axes[i + 1][0]) for i, m in enumerate(measures)]
    width = 0.8 / (len(tables) + 1)
    for measure, ax in panels:
        # Every table's rows: the compatible class's table lacks single-row entities.
        rows = pd.concat([t[t["measure"] == measure] for t in tables.values()])
        rows = rows.assign(column=rows["column"].astype(str)).drop_duplicates("column")
        labels, real = list(rows["column"]), list(rows["real"])
        # Means and spreads of columns on different scales: shown relative to the real value.
        relative = measure in RELATIVE
        scale = [abs(r) if relative and r == r and r != 0 else 1.0 for r in real]
        xs = range(len(labels))
        ax.bar([x - 0.4 + width / 2 for x in xs], [r / s for r, s in zip(real, scale)], width, label="real")
        for i, (name, table) in enumerate(tables.items(), start=1):
            part = table[table["measure"] == measure]
            other = dict(zip(part["column"].astype(str), part["rebuilt"]))
            ax.bar([x - 0.4 + width * (i + 0.5) for x in xs],
                   [other.get(c, float("nan")) / s for c, s in zip(labels, scale)], width, label=name)
        ax.set_xticks(list(xs))
        ax.set_xticklabels(labels, fontsize=8)
        ax.set_title(measure + (" (relative to real)" if relative else ""), fontsize=9)
    axes[0][0].legend(fontsize=8)
    if title:
        fig.suptitle(title)
    fig.tight_layout(rect=(0, 0, 1, 0.98))
    fig.savefig(path, dpi=90)
    plt.close(fig)
    return path
