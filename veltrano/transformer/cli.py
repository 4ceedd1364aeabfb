"""Command-line front end: difference a table, rebuild synthetic rows, find a path.

    python -m veltrano.transformer forward  INPUT --id COL --time COL --diff COLS [--cast-time COLS] [--time-unit U]
    python -m veltrano.transformer backward TRANSFORMER SYNTHETIC [--counts ROWS=ENTITIES,...] [--time-unit U]
    python -m veltrano.transformer paths    TRANSFORMER SYNTHETIC [--column COL] [--max-iterations N] [--quiet]
    python -m veltrano.transformer tables   INPUT --id COL --time COL [--static COLS] [--time-unit U]
    python -m veltrano.transformer rebuild  TRANSFORMER ENTITIES STEPS [--counts ROWS=ENTITIES,...] [--seed N]
    python -m veltrano.transformer tables   INPUT --id COL --time COL [--cast-time COLS]   (sequence pipeline)
    python -m veltrano.transformer rebuild  TRANSFORMER ENTITIES STEPS [--counts ROWS=ENTITIES,...]

Expected user errors end in one line on standard error and exit status 1
(2 for a malformed command line); anything else is a bug and keeps its traceback.
"""

import argparse
import contextlib
import io
import os
import sys

import pandas as pd

from veltrano.transformer import sequence_commands
from veltrano.transformer._cli_io import (UserError, default_path, load_transformer, names, read_table, require_columns,
                                          save_transformer, transformer_path)
from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer

PROG = "python -m veltrano.transformer"

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
    dates (with --time-unit h, the number 2.25), and a transition such as
    "('lab', 'medication')" for text.
Entities with a single row are left out. Added names get _1, _2, ... when the
input already has a column of that name.

The fitted transformer is saved to --transformer (default next to the
output, ending in .transformer.zip); backward and paths need it. It is a zip
of JSON that holds real rows: the whole input table, its single-row entities
and the differenced rows. Share it as you would share INPUT. The row counts
it prints are the default for backward --counts.
"""

BACKWARD_HELP = """\
TRANSFORMER is a file written by forward (.transformer.zip); it holds data
only, and loading it runs no code. Pickles (.pkl) are refused.
SYNTHETIC is a CSV or Parquet table in the layout forward writes, for example
generator output: it needs the id column, NUM_GROUP_ENTRIES and every _diff
column; other columns are carried along. Building an entity of k rows takes
k + 1 synthetic rows whose NUM_GROUP_ENTRIES is k; rows of row counts not
asked for are ignored. Entities are numbered by ascending row count, whatever
the order of --counts.

Time differences may be text ("0 days 02:15:00") or, as most generators write
them, plain numbers; numbers carry no unit, so name it with --time-unit.

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
TRANSFORMER is a file written by forward (.transformer.zip); it holds data
only, and loading it runs no code. Pickles (.pkl) are refused.
SYNTHETIC is a CSV or Parquet table of synthetic transitions of one text
column: its COL_diff column holds values such as "('lab', 'medication')".
Transitions are chained into the longest path in which each one starts where
the previous one ended, every synthetic row used at most once. Progress lines
are printed while it runs (--quiet leaves them out).

The search is greedy and capped: it keeps the 10 longest paths after each of
at most --max-iterations joins (default 100); the first joins double the path
length, later ones add one transition each. With the default, a path stops
near 97 transitions however many rows SYNTHETIC has; a larger count finds
longer paths, in time that grows with it.

Written to --out (default SYNTHETIC's name with .path.csv): the synthetic rows
of that path in path order, preceded by synthetic_row, each row's 0-based
position among SYNTHETIC's rows.
"""

EXAMPLE = """\
example:
  python -m veltrano.transformer forward visits.csv --id visit_id --time event_time \\
      --diff heart_rate,event_time,event_type --cast-time event_time
  # train a generator on visits.diff.csv and save its rows as synthetic.csv, then
  python -m veltrano.transformer backward visits.transformer.zip synthetic.csv --counts 2=100,3=50
  python -m veltrano.transformer paths visits.transformer.zip synthetic.csv

  python -m veltrano.transformer tables visits.csv --id visit_id --time event_time --cast-time event_time
  # train a generator on each of visits.entities.csv and visits.steps.csv, then
  python -m veltrano.transformer rebuild visits.sequences.json synth_entities.csv synth_steps.csv --counts 5=20,1=100

Run COMMAND --help for the columns each command reads and writes.
"""


TIME_UNITS = ["s", "min", "h", "D"]


class _Parser(argparse.ArgumentParser):
    # argparse prints the whole usage block before the message; one line is enough.
    def error(self, message):
        self.exit(2, "%s: error: %s\n" % (self.prog, message))


def _positive(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError("expected a whole number of at least 1, got %r" % text)
    return value


def _counts(values):
    """Parse ROWS=ENTITIES pairs into a dict ordered by row count."""
    counts = {}
    for item in names(values):
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
    # Ascending, so that the order in which --counts is written never changes the output.
    return {rows: counts[rows] for rows in sorted(counts)}


def _format_counts(counts):
    return ",".join("%d=%d" % (int(rows), int(n)) for rows, n in sorted(counts.items()))


def _restore_dtypes(synth, transformer):
    """Give columns read back from text the dtypes the differenced frame had."""
    reference = transformer.df_multi_entry_per_group_diff.dtypes
    types = pd.api.types
    for col in synth.columns:
        if col not in reference.index:
            continue
        dtype, values = reference[col], synth[col]
        try:
            # Numbers have no unit to read them in: _read_time_numbers decides.
            if (types.is_timedelta64_dtype(dtype) and not types.is_timedelta64_dtype(values)
                    and not types.is_numeric_dtype(values)):
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


def _time_columns(frame):
    return [col for col in frame.columns if pd.api.types.is_timedelta64_dtype(frame[col])]


def _read_time_numbers(synth, transformer, unit):
    """Time-difference columns written as numbers, read as counts of `unit`."""
    reference = transformer.df_multi_entry_per_group_diff
    numeric = [col for col in _time_columns(reference)
               if col in synth.columns and pd.api.types.is_numeric_dtype(synth[col])]
    if numeric and unit is None:
        one = len(numeric) == 1
        raise UserError("%s %s %s numbers, not time differences: give --time-unit (s, min, h or D) to say what "
                        "they count" % ("column" if one else "columns", ", ".join(repr(col) for col in numeric),
                                        "holds" if one else "hold"))
    for col in numeric:
        synth[col] = pd.to_timedelta(synth[col], unit=unit)
    return synth


def _chain(path_rows, mapping):
    """The categories a path runs through, e.g. ['admission', 'lab', 'discharge']."""
    from_col, to_col, transition_col = mapping.columns[:3]
    steps = mapping.drop_duplicates(transition_col).set_index(transition_col)
    known = path_rows[transition_col][path_rows[transition_col].isin(steps.index)]
    if known.empty:
        return []
    return [str(steps.loc[known.iloc[0], from_col])] + [str(steps.loc[t, to_col]) for t in known]


def forward(args):
    out = args.out or default_path(args.input, ".diff.csv")
    # visits.diff.csv -> visits.transformer.zip, other.csv -> other.transformer.zip
    stem = out[:-len(".diff.csv")] if out.endswith(".diff.csv") else os.path.splitext(out)[0]
    saved = transformer_path(args.transformer or stem + ".transformer.zip", ".zip")
    df = read_table(args.input)
    diff, cast = names(args.diff), names(args.cast_time)
    if not diff:
        raise UserError("--diff names no column")
    require_columns(df, [args.id, args.time] + diff + cast, args.input)
    if args.time not in cast and (df[args.time].dtype == object or isinstance(df[args.time].dtype, pd.StringDtype)):
        print("note: time column %r is text and is sorted as text; add it to --cast-time to read it as "
              "dates" % args.time, file=sys.stderr)
    transformer = TimeseriesDifferenceTransformer(df, args.id, args.time, diff, cast or None)
    result = transformer.df_multi_entry_per_group_diff
    if args.time_unit:
        # Generators take numbers, not time differences: write counts of the unit.
        result = result.copy()
        for col in _time_columns(result):
            result[col] = result[col] / pd.Timedelta(1, unit=args.time_unit)
    save_transformer(transformer, saved)  # first: a transformer that cannot be saved leaves no table behind
    result.to_csv(out, index=False)
    print("wrote %d differenced rows to %s" % (len(result), out))
    print("saved the transformer to %s" % saved)
    print("entities per row count: %s" % (_format_counts(transformer.category_counts) or "none"))
    return 0


def backward(args):
    counts = _counts(args.counts)
    transformer = load_transformer(args.transformer, TimeseriesDifferenceTransformer, "forward")
    synth = read_table(args.synthetic)
    require_columns(synth, [transformer.primary_id_column, transformer.category_column]
                     + list(transformer.diff_col_names), args.synthetic)
    synth = _read_time_numbers(_restore_dtypes(synth, transformer), transformer, args.time_unit)
    # Only the rows of the row counts asked for go on, so rows of other row
    # counts in the file cannot change which rows a block yields.
    wanted = counts or transformer.category_counts
    group = transformer.category_column
    present = set(synth[group].dropna())
    absent = [str(rows) for rows in wanted if rows not in present]
    if absent:
        raise UserError("%s has no rows with %s = %s (it has %s)" % (
            args.synthetic, group, ", ".join(absent), ", ".join(str(k) for k in sorted(present)) or "none"))
    synth = synth[synth[group].isin(list(wanted))]
    rebuilt = transformer.postprocess_timeseries_difference_method(synth, counts or None)
    out = args.out or default_path(args.synthetic, ".rebuilt.csv")
    rebuilt.to_csv(out, index=False)
    print("wrote %d rows of %d entities to %s" % (len(rebuilt), rebuilt[transformer.unique_id_column].nunique(),
                                                 out))
    return 0


def paths(args):
    transformer = load_transformer(args.transformer, TimeseriesDifferenceTransformer, "forward")
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
    synth = read_table(args.synthetic).reset_index(drop=True)
    require_columns(synth, [mapping.columns[2]], args.synthetic)
    synth = _restore_dtypes(synth, transformer)
    # get_valid_path's own steps, with the iteration count made a choice.
    T = TimeseriesDifferenceTransformer
    chosen = {column: mapping}
    start = T.create_starting_df_for_path_discovery(T.expand_category_edges_in_df(synth, chosen), chosen)
    with contextlib.redirect_stdout(io.StringIO()) if args.quiet else contextlib.nullcontext():
        found = T.iteratively_discover_paths_combined(start, args.max_iterations)
    if found.empty:
        raise UserError("%s has no transitions" % args.synthetic if start.empty else
                        "no path left after %d joins: the last one ended the doubling; try a larger --max-iterations"
                        % args.max_iterations)
    path = T.retrieve_longest_path(synth, found)
    out = args.out or default_path(args.synthetic, ".path.csv")
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
    p.add_argument("--time-unit", choices=TIME_UNITS, help="write time differences as numbers of this unit")
    p.add_argument("--out", metavar="CSV", help="differenced table to write")
    p.add_argument("--transformer", metavar="ZIP", help="where to save the fitted transformer")
    p.set_defaults(run=forward)

    p = commands.add_parser("backward", help="rebuild entities from synthetic differenced rows",
                            description=BACKWARD_HELP, formatter_class=raw)
    p.add_argument("transformer", metavar="TRANSFORMER", help="transformer saved by forward")
    p.add_argument("synthetic", metavar="SYNTHETIC", help="CSV or Parquet file of synthetic differenced rows")
    p.add_argument("--counts", action="append", metavar="ROWS=ENTITIES",
                   help="entities to build per row count, e.g. 2=10,3=5 (any order; repeatable); "
                        "default: as many as the input had")
    p.add_argument("--time-unit", choices=TIME_UNITS, help="unit of time differences written as numbers")
    p.add_argument("--out", metavar="CSV", help="rebuilt table to write")
    p.set_defaults(run=backward)

    p = commands.add_parser("paths", help="chain synthetic transitions into the longest consistent path",
                            description=PATHS_HELP, formatter_class=raw)
    p.add_argument("transformer", metavar="TRANSFORMER", help="transformer saved by forward")
    p.add_argument("synthetic", metavar="SYNTHETIC", help="CSV or Parquet file of synthetic differenced rows")
    p.add_argument("--column", metavar="COL",
                   help="the differenced text column to follow; needed when there are several")
    p.add_argument("--max-iterations", type=_positive, default=100, metavar="N",
                   help="joins to run at most (default 100); more finds longer paths, slower")
    p.add_argument("--quiet", action="store_true", help="print no progress lines")
    p.add_argument("--out", metavar="CSV", help="path rows to write")
    p.set_defaults(run=paths)

    sequence_commands.add_commands(commands, raw)
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
