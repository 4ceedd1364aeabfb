"""The sequence pipeline's commands of the command line:

    python -m veltrano.transformer tables  INPUT --id COL --time COL [--static COLS] [--columns COLS] [--time-unit U]
    python -m veltrano.transformer rebuild TRANSFORMER ENTITIES STEPS [--counts ROWS=ENTITIES,...] [--seed N] [--replay]
    python -m veltrano.transformer report  TRANSFORMER REAL REBUILT [--holdout FILE] [--png FILE]
"""
import os
import re
import warnings

import pandas as pd

from veltrano.transformer import _cli_io as io
from veltrano.transformer.sequences import SequenceTransformer

TABLES_HELP = """\
INPUT is a CSV or Parquet table with several rows per entity (a patient, a
customer): --id tells the entities apart and --time orders each entity's rows.
CSV stores times as text, so name the time column in --cast-time too when it
holds dates or times. Columns that never change within an entity are static
unless --static names them; --columns chooses the columns to carry (default:
all but --id).

Written next to INPUT unless --entities, --steps or --transformer say
otherwise (Parquet for names ending in .parquet, else CSV):
  - INPUT.entities.csv, one row per entity, single-row ones included:
    row_count, the static columns, and every other column's first value;
  - INPUT.steps.csv, one row per step from an entity's row i to row i + 1:
    row_count, position (0 for the first step), the static columns, then
    COL_diff for numbers and times, COL_from and COL_to for text.
Times are plain numbers in the printed unit (--time-unit to choose it; dates
count from the column's earliest value). A missing value gives a missing
difference; no row is dropped. Train a generator on each table.

The fitted transformer is saved to INPUT.sequences.json (--transformer to
choose); rebuild needs it. It holds the options and a summary of the data
(row counts, ranges, moments, category pairs and their counts), no rows.
"""

REBUILD_HELP = """\
TRANSFORMER is a file written by tables (.sequences.json); it holds data
only, and loading it runs no code. Pickles (.pkl) are refused.
ENTITIES and STEPS are CSV or Parquet tables in the layouts tables writes, for
example generator output: extra columns are ignored, and row counts may be
fractional or out of range (they are rounded and clipped).

Written to --out (default ENTITIES's name with .rebuilt.csv): the input's
columns in the input's order, one entity per ENTITIES row, or exactly
--counts entities of each row count (any subset, any order), with fresh ids
1, 2, 3, ... Each entity starts at its own row's values and keeps its static
columns; its steps are drawn from the STEPS rows of its row count (the
nearest one where there are none), preferring matching statics and category
pairs seen in the real data. Numbers stay within the real ranges unless
tables was given --no-clip. The same files and --seed give the same output;
--replay takes the steps in table order instead of drawing them (on the
tables of real data, the real rows come back).
"""

REPORT_HELP = """\
TRANSFORMER is a file written by tables; REAL the table it was made from (or
any real table of the same columns), REBUILT a rebuilt one (from rebuild, or
the compatible class's output: its UNIQUE_ID tells the entities apart).
Columns that the transformer holds as dates are read as dates.

Printed:
  - fidelity: real against rebuilt, per measure and column, dynamics included
    (step autocorrelation, level-step correlation, category change rate,
    transition TV distance, mean by category);
  - detection: how well a classifier tells rebuilt entities from real ones
    (ROC AUC 0.5: not at all; 1.0: always), and the features that give them
    away. Needs scikit-learn: pip install 'veltrano-transformer[report]';
  - privacy, with --holdout (real rows the transformer and the generator
    never saw; REAL is then the training table): the share of rebuilt
    entities nearer a REAL entity than a HOLDOUT one (0.5: no memorisation)
    and the rebuilt entities that copy a REAL entity exactly.
--png writes the fidelity picture.
"""

TIME_UNITS = ["D", "h", "min", "s", "ms", "us", "ns"]


def _counts(values):
    """ROWS=ENTITIES pairs in the order given; single-row entities allowed."""
    counts = {}
    for item in io.names(values):
        match = re.fullmatch(r"(\d+)=(\d+)", item)
        rows, entities = (int(match.group(1)), int(match.group(2))) if match else (0, 0)
        if rows < 1 or entities < 1 or rows in counts:
            raise io.UserError("bad count %r: expected ROWS=ENTITIES with whole numbers from 1, each row count "
                                "once, e.g. 5=20,1=100" % item)
        counts[rows] = entities
    return counts or None


def _load(path, seed):
    st = io.load_transformer(path, SequenceTransformer, "tables")
    if seed is None:
        return st
    # The seed is fixed at construction: make the same transformer with another.
    cls, args, state = st.__reduce__()
    fresh = cls(*args)
    fresh.__setstate__(dict(state, random_state=seed))
    return fresh


def _cast_times(df, columns):
    for col in columns:
        try:
            with warnings.catch_warnings():
                # Parsing element by element is what a column of mixed formats needs.
                warnings.simplefilter("ignore", UserWarning)
                df[col] = pd.to_datetime(df[col])
        except (ValueError, TypeError) as exc:
            raise io.UserError("column %r cannot be read as dates: %s" % (col, exc))


def tables(args):
    df = io.read_table(args.input)
    static, columns, cast = io.names(args.static), io.names(args.columns), io.names(args.cast_time)
    io.require_columns(df, [args.id, args.time] + static + columns + cast, args.input)
    if df.empty:
        raise io.UserError("%s has no rows" % args.input)
    _cast_times(df, cast)
    stem = os.path.splitext(args.input)[0]
    outputs = [args.entities or stem + ".entities.csv", args.steps or stem + ".steps.csv"]
    for path in outputs:
        io.is_parquet_out(path)
    saved = io.transformer_path(args.transformer or stem + ".sequences.json", ".json")
    st = SequenceTransformer(args.id, args.time, static_columns=static or None, columns=columns or None,
                             time_unit=args.time_unit, clip=not args.no_clip, random_state=args.seed)
    for path, table, kind in zip(outputs, st.fit_transform(df), ("entity", "step")):
        io.write_table(table, path)
        print("wrote %d %s rows to %s" % (len(table), kind, path))
    io.save_transformer(st, saved)
    print("saved the transformer to %s" % saved)
    print("static columns: %s; time unit: %s" % (", ".join(str(c) for c in st.static_columns) or "none",
                                                 st.time_unit or "none (plain numbers)"))
    return 0


def rebuild(args):
    counts = _counts(args.counts)
    out = args.out or io.default_path(args.entities, ".rebuilt.csv")
    io.is_parquet_out(out)
    st = _load(args.transformer, args.seed)
    entities, steps = io.read_table(args.entities), io.read_table(args.steps)
    try:
        rebuilt = st.reverse_transform(entities, steps, counts, replay=args.replay)
    except KeyError as exc:  # the pipeline's own message names the table and column
        raise io.UserError(exc.args[0] if exc.args else "a column is missing")
    io.write_table(rebuilt, out)
    print("wrote %d rows of %d entities to %s" % (len(rebuilt), rebuilt[st.id_column].nunique(), out))
    return 0


def _read_like(path, st):
    """A table with the transformer's datetime columns read as datetimes (CSV keeps them as text)."""
    df = io.read_table(path)
    io.require_columns(df, [st.id_column, st.time_column], path)
    _cast_times(df, [col for col in st.time_origins if col in df.columns and df[col].dtype.kind != "M"])
    return df


def _section(title, table):
    print()
    print(title)
    with pd.option_context("display.max_rows", None, "display.width", 120, "display.max_colwidth", 40):
        print(table.to_string(index=False))


def report(args):
    if args.png:
        _pyplot_or_error()
    st = _load(args.transformer, None)
    real, rebuilt = _read_like(args.real, st), _read_like(args.rebuilt, st)
    holdout = _read_like(args.holdout, st) if args.holdout else None
    id_option = {"rebuilt_id_column": args.rebuilt_id} if args.rebuilt_id else {}
    if args.rebuilt_id:
        io.require_columns(rebuilt, [args.rebuilt_id], args.rebuilt)
    try:
        fidelity = st.fidelity(real, rebuilt, **id_option)
        _section("Fidelity (real against rebuilt)", fidelity)
        try:
            _section("Detection (ROC AUC 0.5: rebuilt entities cannot be told from real ones)",
                     st.detection(real, rebuilt, random_state=args.seed, **id_option))
        except ImportError as exc:
            print()
            print("Detection skipped: %s" % exc)
        if holdout is not None:
            _section("Privacy (DCR share 0.5: no memorisation of %s)" % args.real,
                     st.privacy(real, holdout, rebuilt, random_state=args.seed, **id_option))
    except KeyError as exc:  # the pipeline's own message names the frame and column
        raise io.UserError(exc.args[0] if exc.args else "a column is missing")
    if args.png:
        from veltrano.transformer.plots import plot_fidelity

        print()
        print("wrote the fidelity picture to %s" % plot_fidelity({"rebuilt": fidelity}, args.png))
    return 0


def _pyplot_or_error():
    import importlib.util

    if importlib.util.find_spec("matplotlib") is None:
        raise io.UserError("--png needs matplotlib: pip install 'veltrano-transformer[demo]'")


def add_commands(commands, formatter):
    p = commands.add_parser("tables", help="split a table into entity and step tables for generators",
                            description=TABLES_HELP, formatter_class=formatter)
    p.add_argument("input", metavar="INPUT", help="CSV or Parquet file")
    p.add_argument("--id", required=True, metavar="COL", help="entity id column")
    p.add_argument("--time", required=True, metavar="COL", help="column that orders each entity's rows")
    p.add_argument("--static", action="append", metavar="COLS",
                   help="columns constant within every entity (default: detected); repeat or separate by commas")
    p.add_argument("--columns", action="append", metavar="COLS",
                   help="columns to carry besides --id (default: all); repeat or separate by commas")
    p.add_argument("--cast-time", action="append", metavar="COLS",
                   help="columns to convert to datetimes first; repeat or separate by commas")
    p.add_argument("--time-unit", choices=TIME_UNITS,
                   help="unit of time differences in the tables (default: the largest dividing every step)")
    p.add_argument("--no-clip", action="store_true", help="let rebuilt numbers leave the real ranges")
    p.add_argument("--seed", type=int, default=0, metavar="N", help="seed of rebuild's draws (default 0)")
    p.add_argument("--entities", metavar="FILE", help="entity table to write")
    p.add_argument("--steps", metavar="FILE", help="step table to write")
    p.add_argument("--transformer", metavar="JSON", help="where to save the fitted transformer")
    p.set_defaults(run=tables)

    p = commands.add_parser("rebuild", help="rebuild entities from synthetic entity and step tables",
                            description=REBUILD_HELP, formatter_class=formatter)
    p.add_argument("transformer", metavar="TRANSFORMER", help="transformer saved by tables")
    p.add_argument("entities", metavar="ENTITIES", help="CSV or Parquet file of synthetic entity rows")
    p.add_argument("steps", metavar="STEPS", help="CSV or Parquet file of synthetic step rows")
    p.add_argument("--counts", action="append", metavar="ROWS=ENTITIES",
                   help="entities to build per row count, e.g. 5=20,1=100 (this order; repeatable); "
                        "default: one per ENTITIES row")
    p.add_argument("--seed", type=int, metavar="N", help="seed of the step draws (default: the one given to tables)")
    p.add_argument("--replay", action="store_true", help="take the steps in table order instead of drawing them")
    p.add_argument("--out", metavar="FILE", help="rebuilt table to write")
    p.set_defaults(run=rebuild)

    p = commands.add_parser("report", help="fidelity, detection and privacy of rebuilt entities against real ones",
                            description=REPORT_HELP, formatter_class=formatter)
    p.add_argument("transformer", metavar="TRANSFORMER", help="transformer saved by tables")
    p.add_argument("real", metavar="REAL", help="CSV or Parquet file of real rows (the training rows with --holdout)")
    p.add_argument("rebuilt", metavar="REBUILT", help="CSV or Parquet file of rebuilt rows")
    p.add_argument("--holdout", metavar="FILE", help="real rows kept out of training: adds the privacy table")
    p.add_argument("--png", metavar="FILE", help="write the fidelity picture here")
    p.add_argument("--rebuilt-id", metavar="COL",
                   help="column telling rebuilt entities apart (default: UNIQUE_ID where only REBUILT has it, "
                        "else the id column)")
    p.add_argument("--seed", type=int, default=0, metavar="N", help="seed of the reports' subsampling and folds")
    p.set_defaults(run=report)
