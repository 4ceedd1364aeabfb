"""Command-line front end: difference a table, rebuild synthetic rows, find a path.

    python -m veltrano.transformer forward  INPUT --id COL --time COL --diff COLS [--cast-time COLS]
    python -m veltrano.transformer backward TRANSFORMER SYNTHETIC [--counts ROWS=ENTITIES,...]
    python -m veltrano.transformer paths    TRANSFORMER SYNTHETIC [--column COL]

    python -m veltrano.transformer seq-fit     INPUT --id COL --time COL [--static COLS] [--time-unit U]
    python -m veltrano.transformer seq-reverse TRANSFORMER ENTITIES STEPS [--counts ROWS=ENTITIES,...] [--seed N]

Expected user errors end in one line on standard error and exit status 1
(2 for a malformed command line); anything else is a bug and keeps its traceback.
"""

import argparse
import importlib.util
import os
import pickle
import re
import sys
import warnings

import pandas as pd

from veltrano.transformer.sequences import SequenceTransformer
from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer

PROG = "python -m veltrano.transformer"

# Protocol 4 is the newest one every supported interpreter reads.
PICKLE_PROTOCOL = 4

FORWARD_HELP = """\
INPUT is a CSV or Parquet table with several rows per entity (a person, a
hospital visit): --id tells the entities apart and --time orders each entity's
rows. CSV stores times as text, so name the time column in --cast-time too
when it holds dates or times.

Written to --out (default INPUT's name with .diff.csv), the table a generator is
trained on, one row per entity row except each entity's first:
  - the input columns that are not differenced, unchanged;
  - NUM_GROUP_ENTRIES: the number of rows the row's entity owns;
  - one COL_diff column per --diff column: the difference from the entity's
    previous row for numbers, a time difference such as "0 days 02:15:00" for
    dates, and a transition such as "('lab', 'medication')" for text.
Entities with a single row are left out. Added names get _1, _2, ... when the
input already has a column of that name.

The fitted transformer is pickled to --transformer (default next to the
output, ending in .transformer.pkl); backward and paths need it. The row
counts it prints are the default for backward --counts.
"""

BACKWARD_HELP = """\
TRANSFORMER is a file written by forward (a pickle: load only files you trust).
SYNTHETIC is a CSV or Parquet table in the layout forward writes, for example
generator output: it needs the id column, NUM_GROUP_ENTRIES and every _diff
column; other columns are carried along. Building an entity of k rows takes
k + 1 synthetic rows whose NUM_GROUP_ENTRIES is k; rows of row counts not
asked for are ignored.

Written to --out (default SYNTHETIC's name with .rebuilt.csv), k rows per
rebuilt entity:
  - UNIQUE_ID: a fresh entity id, 1, 2, 3, ...;
  - the other columns of the synthetic rows used;
  - the differenced columns restored: numbers and times as running sums that
    start from the mean value in the real entities with the same number of
    rows, text from each transition's first category.
NUM_GROUP_ENTRIES and the _diff columns are dropped.
"""

PATHS_HELP = """\
TRANSFORMER is a file written by forward (a pickle: load only files you trust).
SYNTHETIC is a CSV or Parquet table of synthetic transitions of one text
column: its COL_diff column holds values such as "('lab', 'medication')".
Transitions are chained into the longest path in which each one starts where
the previous one ended, every synthetic row used at most once. Progress lines
are printed while it runs.

Written to --out (default SYNTHETIC's name with .path.csv): the synthetic rows
of that path in path order, preceded by synthetic_row, each row's 0-based
position among SYNTHETIC's rows.
"""

EXAMPLE = """\
example:
  python -m veltrano.transformer forward visits.csv --id visit_id --time event_time \\
      --diff heart_rate,event_time,event_type --cast-time event_time
  # train a generator on visits.diff.csv and save its rows as synthetic.csv, then
  python -m veltrano.transformer backward visits.transformer.pkl synthetic.csv --counts 2=100,3=50
  python -m veltrano.transformer paths visits.transformer.pkl synthetic.csv

  python -m veltrano.transformer seq-fit visits.csv --id visit_id --time event_time --cast-time event_time
  # train a generator on each of visits.entities.csv and visits.steps.csv, then
  python -m veltrano.transformer seq-reverse visits.seq.pkl synth_entities.csv synth_steps.csv --counts 5=20,1=100

Run COMMAND --help for the columns each command reads and writes.
"""


class UserError(Exception):
    """A problem with the user's input, reported as one line."""


class _Parser(argparse.ArgumentParser):
    # argparse prints the whole usage block before the message; one line is enough.
    def error(self, message):
        self.exit(2, "%s: error: %s\n" % (self.prog, message))


def _names(values):
    """Column names from repeated and/or comma-separated option values."""
    names = []
    for value in values or []:
        names.extend(name.strip() for name in value.split(",") if name.strip())
    return names


def _counts(values):
    """Parse ROWS=ENTITIES pairs into a dict ordered by row count."""
    counts = {}
    for item in _names(values):
        rows, sep, entities = item.partition("=")
        try:
            rows, entities = int(rows), int(entities)
        except ValueError:
            sep = ""
        if not sep:
            raise UserError("bad count %r: expected ROWS=ENTITIES with whole numbers, e.g. 2=10,3=5" % item)
        if rows < 2 or entities < 1:
            raise UserError("bad count %r: row counts start at 2 (single-row entities are not differenced) "
                            "and entity numbers at 1" % item)
        if rows in counts:
            raise UserError("bad count %r: row count %d given twice" % (item, rows))
        counts[rows] = entities
    # Rows are selected per row count in ascending order; the request must follow it.
    return {rows: counts[rows] for rows in sorted(counts)}


def _format_counts(counts):
    return ",".join("%d=%d" % (int(rows), int(n)) for rows, n in sorted(counts.items()))


def _read_table(path):
    if not os.path.isfile(path):
        raise UserError("no such file: %s" % path)
    if os.path.splitext(path)[1].lower() in (".parquet", ".pq"):
        if not any(importlib.util.find_spec(engine) for engine in ("pyarrow", "fastparquet")):
            raise UserError("reading Parquet needs pyarrow or fastparquet (pip install pyarrow), "
                            "or pass a CSV file: %s" % path)
        return pd.read_parquet(path)
    return pd.read_csv(path)


def _require_columns(df, columns, path):
    missing = [col for col in dict.fromkeys(columns) if col not in df.columns]
    if missing:
        present = [str(col) for col in df.columns]
        if len(present) > 12:
            present = present[:12] + ["..."]
        raise UserError("%s %s not in %s (its columns: %s)" % (
            "column" if len(missing) == 1 else "columns", ", ".join(repr(col) for col in missing),
            path, ", ".join(present)))


def _load_transformer(path, kind=TimeseriesDifferenceTransformer, saved_by="forward"):
    if not os.path.isfile(path):
        raise UserError("no such file: %s" % path)
    try:
        with open(path, "rb") as f:
            transformer = pickle.load(f)
    except Exception as exc:  # any unpickling failure means the same to the user
        raise UserError("cannot read a transformer from %s: %s" % (path, exc))
    if not isinstance(transformer, kind):
        raise UserError("%s holds a %s, not a transformer saved by %s" % (path, type(transformer).__name__, saved_by))
    return transformer


def _restore_dtypes(synth, transformer):
    """Give columns read back from text the dtypes the differenced frame had."""
    reference = transformer.df_multi_entry_per_group_diff.dtypes
    types = pd.api.types
    for col in synth.columns:
        if col not in reference.index:
            continue
        dtype, values = reference[col], synth[col]
        try:
            if types.is_timedelta64_dtype(dtype) and not types.is_timedelta64_dtype(values):
                synth[col] = pd.to_timedelta(values)
            elif types.is_datetime64_any_dtype(dtype) and not types.is_datetime64_any_dtype(values):
                synth[col] = pd.to_datetime(values)
        except (ValueError, TypeError) as exc:
            raise UserError("column %r cannot be read as %s: %s" % (col, dtype, exc))
    # Generators may write row counts as 3.0; selection compares them with whole numbers.
    group = transformer.category_column
    if group in synth.columns and types.is_float_dtype(synth[group]):
        values = synth[group]
        if values.notna().all() and (values % 1 == 0).all():
            synth[group] = values.astype("int64")
    return synth


def _default_path(path, suffix):
    return os.path.splitext(path)[0] + suffix


def _chain(path_rows, mapping):
    """The categories a path runs through, e.g. ['admission', 'lab', 'discharge']."""
    from_col, to_col, transition_col = mapping.columns[:3]
    steps = mapping.drop_duplicates(transition_col).set_index(transition_col)
    known = path_rows[transition_col][path_rows[transition_col].isin(steps.index)]
    if known.empty:
        return []
    return [str(steps.loc[known.iloc[0], from_col])] + [str(steps.loc[t, to_col]) for t in known]


def forward(args):
    df = _read_table(args.input)
    diff, cast = _names(args.diff), _names(args.cast_time)
    if not diff:
        raise UserError("--diff names no column")
    _require_columns(df, [args.id, args.time] + diff + cast, args.input)
    if args.time not in cast and df[args.time].dtype == object:
        print("note: time column %r is text and is sorted as text; add it to --cast-time to read it as "
              "dates" % args.time, file=sys.stderr)
    transformer = TimeseriesDifferenceTransformer(df, args.id, args.time, diff, cast or None)
    out = args.out or _default_path(args.input, ".diff.csv")
    # visits.diff.csv -> visits.transformer.pkl, other.csv -> other.transformer.pkl
    stem = out[:-len(".diff.csv")] if out.endswith(".diff.csv") else os.path.splitext(out)[0]
    saved = args.transformer or stem + ".transformer.pkl"
    result = transformer.df_multi_entry_per_group_diff
    result.to_csv(out, index=False)
    with open(saved, "wb") as f:
        pickle.dump(transformer, f, protocol=PICKLE_PROTOCOL)
    print("wrote %d differenced rows to %s" % (len(result), out))
    print("saved the transformer to %s" % saved)
    print("entities per row count: %s" % (_format_counts(transformer.category_counts) or "none"))
    return 0


def backward(args):
    counts = _counts(args.counts)
    transformer = _load_transformer(args.transformer)
    synth = _read_table(args.synthetic)
    _require_columns(synth, [transformer.primary_id_column, transformer.category_column]
                     + list(transformer.diff_col_names), args.synthetic)
    synth = _restore_dtypes(synth, transformer)
    # Entities are cut from the row-count blocks in ascending order starting at
    # the lowest one present, so rows of row counts not asked for would shift them.
    wanted = counts or transformer.category_counts
    group = transformer.category_column
    present = set(synth[group].dropna())
    absent = [str(rows) for rows in wanted if rows not in present]
    if absent:
        raise UserError("%s has no rows with %s = %s (it has %s)" % (
            args.synthetic, group, ", ".join(absent), ", ".join(str(k) for k in sorted(present)) or "none"))
    synth = synth[synth[group].isin(list(wanted))]
    rebuilt = transformer.postprocess_timeseries_difference_method(synth, counts or None)
    out = args.out or _default_path(args.synthetic, ".rebuilt.csv")
    rebuilt.to_csv(out, index=False)
    print("wrote %d rows of %d entities to %s" % (len(rebuilt), rebuilt[transformer.unique_id_column].nunique(),
                                                 out))
    return 0


def paths(args):
    transformer = _load_transformer(args.transformer)
    mappings = transformer.categorical_column_mappings
    names = ", ".join(repr(col) for col in mappings)
    if not mappings:
        raise UserError("the transformer differenced no text column; path discovery needs one")
    if args.column is None:
        if len(mappings) > 1:
            raise UserError("the transformer differenced several text columns (%s): choose one with --column"
                            % names)
        column = next(iter(mappings))
    elif args.column in mappings:
        column = args.column
    else:
        raise UserError("--column %r is not a differenced text column; choose from %s" % (args.column, names))
    mapping = mappings[column]
    # Path rows keep their labels, which then are positions in the file.
    synth = _read_table(args.synthetic).reset_index(drop=True)
    _require_columns(synth, [mapping.columns[2]], args.synthetic)
    synth = _restore_dtypes(synth, transformer)
    path = TimeseriesDifferenceTransformer.get_valid_path(synth, {column: mapping})
    out = args.out or _default_path(args.synthetic, ".path.csv")
    rows = path.reset_index(drop=True)
    if "synthetic_row" not in rows.columns:
        rows.insert(0, "synthetic_row", list(path.index))
    rows.to_csv(out, index=False)
    chain = _chain(path, mapping)
    if len(chain) > 12:
        chain = chain[:6] + ["..."] + chain[-5:]
    print("path of %d transitions: %s" % (len(path), " -> ".join(chain)))
    print("wrote its rows to %s" % out)
    return 0


SEQ_FIT_HELP = """\
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

The fitted transformer is pickled to INPUT.seq.pkl; seq-reverse needs it.
"""

SEQ_REVERSE_HELP = """\
TRANSFORMER is a file written by seq-fit (a pickle: load only files you trust).
ENTITIES and STEPS are CSV or Parquet tables in the layouts seq-fit writes,
for example generator output: extra columns are ignored, and row counts may
be fractional or out of range (they are rounded and clipped).

Written to --out (default ENTITIES's name with .rebuilt.csv): the input's
columns in the input's order, one entity per ENTITIES row, or exactly
--counts entities of each row count (any subset, any order), with fresh ids
1, 2, 3, ... Each entity starts at its own row's values and keeps its static
columns; its steps are drawn from the STEPS rows of its row count (the
nearest one where there are none), preferring matching statics and category
pairs seen in the real data. Numbers stay within the real ranges unless
seq-fit was given --no-clip. The same files and --seed give the same output.
"""


def _is_parquet_out(path):
    """Whether to write Parquet: called before any work, so a missing engine stops it."""
    if os.path.splitext(path)[1].lower() not in (".parquet", ".pq"):
        return False
    if not any(importlib.util.find_spec(engine) for engine in ("pyarrow", "fastparquet")):
        raise UserError("writing Parquet needs pyarrow or fastparquet (pip install pyarrow), "
                        "or name a .csv file: %s" % path)
    return True


def _write_table(df, path):
    if _is_parquet_out(path):
        df.to_parquet(path, index=False)
    else:
        df.to_csv(path, index=False)


def _seq_counts(values):
    """ROWS=ENTITIES pairs in the order given; single-row entities allowed."""
    counts = {}
    for item in _names(values):
        match = re.fullmatch(r"(\d+)=(\d+)", item)
        rows, entities = (int(match.group(1)), int(match.group(2))) if match else (0, 0)
        if rows < 1 or entities < 1 or rows in counts:
            raise UserError("bad count %r: expected ROWS=ENTITIES with whole numbers from 1, each row count "
                            "once, e.g. 5=20,1=100" % item)
        counts[rows] = entities
    return counts


def _load_sequence_transformer(path, seed):
    st = _load_transformer(path, SequenceTransformer, "seq-fit")
    if seed is None:
        return st
    # The seed is fixed at construction: rebuild the transformer with another.
    cls, args, state = st.__reduce__()
    fresh = cls(*args)
    fresh.__setstate__(dict(state, random_state=seed))
    return fresh


def seq_fit(args):
    df = _read_table(args.input)
    static, columns, cast = _names(args.static), _names(args.columns), _names(args.cast_time)
    _require_columns(df, [args.id, args.time] + static + columns + cast, args.input)
    if df.empty:
        raise UserError("%s has no rows" % args.input)
    for col in cast:
        try:
            with warnings.catch_warnings():
                # Parsing element by element is what a column of mixed formats needs.
                warnings.simplefilter("ignore", UserWarning)
                df[col] = pd.to_datetime(df[col])
        except (ValueError, TypeError) as exc:
            raise UserError("column %r cannot be read as dates: %s" % (col, exc))
    stem = os.path.splitext(args.input)[0]
    outputs = [args.entities or stem + ".entities.csv", args.steps or stem + ".steps.csv"]
    for path in outputs:
        _is_parquet_out(path)
    st = SequenceTransformer(args.id, args.time, static_columns=static or None, columns=columns or None,
                             time_unit=args.time_unit, clip=not args.no_clip, random_state=args.seed)
    for path, table, kind in zip(outputs, st.fit_transform(df), ("entity", "step")):
        _write_table(table, path)
        print("wrote %d %s rows to %s" % (len(table), kind, path))
    saved = args.transformer or stem + ".seq.pkl"
    with open(saved, "wb") as f:
        pickle.dump(st, f, protocol=PICKLE_PROTOCOL)
    print("saved the transformer to %s" % saved)
    print("static columns: %s; time unit: %s" % (", ".join(str(c) for c in st.static_columns) or "none",
                                                 st.time_unit or "none (plain numbers)"))
    return 0


def seq_reverse(args):
    counts = _seq_counts(args.counts)
    out = args.out or _default_path(args.entities, ".rebuilt.csv")
    _is_parquet_out(out)
    st = _load_sequence_transformer(args.transformer, args.seed)
    entities, steps = _read_table(args.entities), _read_table(args.steps)
    try:
        rebuilt = st.reverse_transform(entities, steps, counts or None)
    except KeyError as exc:  # the pipeline's own message names the table and column
        raise UserError(exc.args[0] if exc.args else "a column is missing")
    _write_table(rebuilt, out)
    print("wrote %d rows of %d entities to %s" % (len(rebuilt), rebuilt[st.id_column].nunique(), out))
    return 0


def _add_sequence_commands(commands):
    raw = argparse.RawDescriptionHelpFormatter
    p = commands.add_parser("seq-fit", help="split a table into entity and step tables for generators",
                            description=SEQ_FIT_HELP, formatter_class=raw)
    p.add_argument("input", metavar="INPUT", help="CSV or Parquet file")
    p.add_argument("--id", required=True, metavar="COL", help="entity id column")
    p.add_argument("--time", required=True, metavar="COL", help="column that orders each entity's rows")
    p.add_argument("--static", action="append", metavar="COLS",
                   help="columns constant within every entity (default: detected); repeat or separate by commas")
    p.add_argument("--columns", action="append", metavar="COLS",
                   help="columns to carry besides --id (default: all); repeat or separate by commas")
    p.add_argument("--cast-time", action="append", metavar="COLS",
                   help="columns to convert to datetimes first; repeat or separate by commas")
    p.add_argument("--time-unit", choices=["D", "h", "min", "s", "ms", "us", "ns"],
                   help="unit of time differences in the tables (default: the largest dividing every step)")
    p.add_argument("--no-clip", action="store_true", help="let rebuilt numbers leave the real ranges")
    p.add_argument("--seed", type=int, default=0, metavar="N", help="seed of seq-reverse's draws (default 0)")
    p.add_argument("--entities", metavar="FILE", help="entity table to write")
    p.add_argument("--steps", metavar="FILE", help="step table to write")
    p.add_argument("--transformer", metavar="PKL", help="where to save the fitted transformer")
    p.set_defaults(run=seq_fit)

    p = commands.add_parser("seq-reverse", help="rebuild entities from synthetic entity and step tables",
                            description=SEQ_REVERSE_HELP, formatter_class=raw)
    p.add_argument("transformer", metavar="TRANSFORMER", help="transformer saved by seq-fit")
    p.add_argument("entities", metavar="ENTITIES", help="CSV or Parquet file of synthetic entity rows")
    p.add_argument("steps", metavar="STEPS", help="CSV or Parquet file of synthetic step rows")
    p.add_argument("--counts", action="append", metavar="ROWS=ENTITIES",
                   help="entities to build per row count, e.g. 5=20,1=100 (this order; repeatable); "
                        "default: one per ENTITIES row")
    p.add_argument("--seed", type=int, metavar="N", help="seed of the step draws (default: seq-fit's)")
    p.add_argument("--out", metavar="FILE", help="rebuilt table to write")
    p.set_defaults(run=seq_reverse)


def build_parser():
    parser = _Parser(prog=PROG, description="Difference multi-row tables for synthetic data generators and "
                                            "turn generated rows back into entities.",
                     epilog=EXAMPLE, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True
    raw = argparse.RawDescriptionHelpFormatter

    p = commands.add_parser("forward", help="difference a table and save the fitted transformer",
                            description=FORWARD_HELP, formatter_class=raw)
    p.add_argument("input", metavar="INPUT", help="CSV or Parquet file")
    p.add_argument("--id", required=True, metavar="COL", help="entity id column")
    p.add_argument("--time", required=True, metavar="COL", help="column that orders each entity's rows")
    p.add_argument("--diff", action="append", required=True, metavar="COLS",
                   help="columns to difference; repeat or separate by commas")
    p.add_argument("--cast-time", action="append", metavar="COLS",
                   help="columns to convert to datetimes first; repeat or separate by commas")
    p.add_argument("--out", metavar="CSV", help="differenced table to write")
    p.add_argument("--transformer", metavar="PKL", help="where to save the fitted transformer")
    p.set_defaults(run=forward)

    p = commands.add_parser("backward", help="rebuild entities from synthetic differenced rows",
                            description=BACKWARD_HELP, formatter_class=raw)
    p.add_argument("transformer", metavar="TRANSFORMER", help="transformer saved by forward")
    p.add_argument("synthetic", metavar="SYNTHETIC", help="CSV or Parquet file of synthetic differenced rows")
    p.add_argument("--counts", action="append", metavar="ROWS=ENTITIES",
                   help="entities to build per row count, e.g. 2=10,3=5 (any order; repeatable); "
                        "default: as many as the input had")
    p.add_argument("--out", metavar="CSV", help="rebuilt table to write")
    p.set_defaults(run=backward)

    p = commands.add_parser("paths", help="chain synthetic transitions into the longest consistent path",
                            description=PATHS_HELP, formatter_class=raw)
    p.add_argument("transformer", metavar="TRANSFORMER", help="transformer saved by forward")
    p.add_argument("synthetic", metavar="SYNTHETIC", help="CSV or Parquet file of synthetic differenced rows")
    p.add_argument("--column", metavar="COL",
                   help="the differenced text column to follow; needed when there are several")
    p.add_argument("--out", metavar="CSV", help="path rows to write")
    p.set_defaults(run=paths)

    _add_sequence_commands(commands)
    return parser


def _describe(exc):
    if isinstance(exc, UserError):
        return str(exc)
    if isinstance(exc, FileNotFoundError):
        return "no such file or directory: %s" % exc.filename
    if isinstance(exc, OSError) and exc.filename and exc.strerror:
        return "%s: %s" % (exc.filename, exc.strerror)
    if isinstance(exc, KeyError):
        return "not found: %r" % (exc.args[0] if exc.args else "")
    return str(exc) or type(exc).__name__


def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except (UserError, OSError, AssertionError, KeyError, ValueError, TypeError, IndexError) as exc:
        message = " ".join(_describe(exc).split())
        sys.stderr.write("%s %s: error: %s\n" % (PROG, args.command, message))
        return 1
