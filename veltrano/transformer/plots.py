"""Pictures of fidelity tables (SequenceTransformer.fidelity), one panel per
measure, real against each rebuilt frame. Needs matplotlib (the `demo` extra)."""


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
        rows = first[first["measure"] == measure]
        labels = [str(c) for c in rows["column"]]
        xs = range(len(labels))
        ax.bar([x - 0.4 + width / 2 for x in xs], rows["real"], width, label="real")
        for i, (name, table) in enumerate(tables.items(), start=1):
            part = table[table["measure"] == measure]
            other = part.set_index(part["column"].astype(str))["rebuilt"]
            ax.bar([x - 0.4 + width * (i + 0.5) for x in xs], other.reindex(labels).to_numpy(), width, label=name)
        ax.set_xticks(list(xs))
        ax.set_xticklabels(labels, fontsize=8)
        ax.set_title(measure, fontsize=9)
    axes[0][0].legend(fontsize=8)
    if title:
        fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)
    return path
