"""The sequence pipeline's commands of the command line:

    python -m veltrano.transformer tables  INPUT --id COL --time COL [--static COLS] [--cast-time COLS] ...
    python -m veltrano.transformer rebuild TRANSFORMER ENTITIES STEPS [--counts ROWS=ENTITIES,...] [--replay]
"""
import os
import pickle

import pandas as pd

from veltrano.transformer import cli
from veltrano.transformer.sequences import SequenceTransformer

TABLES_HELP = """\
INPUT is a CSV or Parquet table with several rows per entity: --id tells the
entities apart and --time orders each entity's rows. CSV stores times as text,
so name datetime columns in --cast-time.

Written next to --out (default INPUT's name), two tables for any single-table
generator, and the fitted transformer (a pickle) that rebuild needs:
  - STEM.entities.csv: one row per entity: row_count, the static columns
    (constant within every entity), each other column's first value;
  - STEM.steps.csv: one row per step from a row to the next: row_count,
    position, the statics, COL_diff for numbers and times (times as numbers
    in the printed unit), COL_from and COL_to for text;
  - STEM.sequences.pkl: the transformer.
"""

REBUILD_HELP = """\
TRANSFORMER is a file written by tables (a pickle: load only files you trust).
ENTITIES and STEPS are CSV or Parquet tables in the layouts tables writes, for
example generator output: extra columns are ignored, row counts may be
floats. Each entity row gives one rebuilt entity (or, with --counts, exactly
the entities asked for), with fresh ids 1, 2, 3, ... in the id column.
"""


def _counts(values):
    counts = {}
    for item in cli._names(values):
        rows, _, entities = item.partition("=")
        try:
            counts[int(rows)] = int(entities)
        except ValueError:
            raise cli.UserError("bad count %r: expected ROWS=ENTITIES, e.g. 3=10" % item)
    return counts or None


def tables(args):
    df = cli._read_table(args.input)
    cast = cli._names(args.cast_time)
    cli._require_columns(df, [args.id, args.time] + cast + cli._names(args.static), args.input)
    for col in cast:
        df[col] = pd.to_datetime(df[col])
    st = SequenceTransformer(args.id, args.time, static_columns=cli._names(args.static) or None,
                             time_unit=args.time_unit, clip=not args.no_clip, random_state=args.seed)
    entities, steps = st.fit_transform(df)
    stem = args.out or os.path.splitext(args.input)[0]
    entities.to_csv(stem + ".entities.csv", index=False)
    steps.to_csv(stem + ".steps.csv", index=False)
    with open(stem + ".sequences.pkl", "wb") as f:
        pickle.dump(st, f, protocol=cli.PICKLE_PROTOCOL)
    print("wrote %d entity rows to %s.entities.csv and %d step rows to %s.steps.csv" % (
        len(entities), stem, len(steps), stem))
    print("statics: %s; time unit: %s" % (", ".join(map(str, st.static_columns)) or "none", st.time_unit))
    print("saved the transformer to %s.sequences.pkl" % stem)
    return 0


def rebuild(args):
    if not os.path.isfile(args.transformer):
        raise cli.UserError("no such file: %s" % args.transformer)
    with open(args.transformer, "rb") as f:
        st = pickle.load(f)
    if not isinstance(st, SequenceTransformer):
        raise cli.UserError("%s holds a %s, not a transformer saved by tables" % (args.transformer, type(st).__name__))
    entities, steps = cli._read_table(args.entities), cli._read_table(args.steps)
    rebuilt = st.reverse_transform(entities, steps, _counts(args.counts), replay=args.replay)
    out = args.out or os.path.splitext(args.entities)[0] + ".rebuilt.csv"
    rebuilt.to_csv(out, index=False)
    print("wrote %d rows of %d entities to %s" % (len(rebuilt), rebuilt[st.id_column].nunique(), out))
    return 0


def add_commands(commands, formatter):
    p = commands.add_parser("tables", help="entity and step tables of a table, for any single-table generator",
                            description=TABLES_HELP, formatter_class=formatter)
    p.add_argument("input", metavar="INPUT", help="CSV or Parquet file")
    p.add_argument("--id", required=True, metavar="COL", help="entity id column")
    p.add_argument("--time", required=True, metavar="COL", help="column that orders each entity's rows")
    p.add_argument("--static", action="append", metavar="COLS", help="static columns (default: detected)")
    p.add_argument("--cast-time", action="append", metavar="COLS", help="columns to read as datetimes")
    p.add_argument("--time-unit", choices=["D", "h", "min", "s", "ms", "us", "ns"],
                   help="unit of times in the tables (default: from the data)")
    p.add_argument("--no-clip", action="store_true", help="let rebuilt values leave the real ranges")
    p.add_argument("--seed", type=int, default=0, help="seed of the step draws (default 0)")
    p.add_argument("--out", metavar="STEM", help="path stem of the files to write")
    p.set_defaults(run=tables)

    p = commands.add_parser("rebuild", help="rebuild entities from synthetic entity and step tables",
                            description=REBUILD_HELP, formatter_class=formatter)
    p.add_argument("transformer", metavar="TRANSFORMER", help="transformer saved by tables")
    p.add_argument("entities", metavar="ENTITIES", help="CSV or Parquet file of synthetic entity rows")
    p.add_argument("steps", metavar="STEPS", help="CSV or Parquet file of synthetic step rows")
    p.add_argument("--counts", action="append", metavar="ROWS=ENTITIES",
                   help="exactly these entities per row count, e.g. 12=20,7=2 (kept in the order given)")
    p.add_argument("--replay", action="store_true", help="take the steps in order instead of drawing them")
    p.add_argument("--out", metavar="CSV", help="rebuilt table to write")
    p.set_defaults(run=rebuild)
