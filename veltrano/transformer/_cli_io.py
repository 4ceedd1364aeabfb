"""Files of the command line: tables in and out, saved transformers, and the
one kind of error a user is shown as a single line."""

import importlib.util
import os

import pandas as pd

from veltrano.transformer._saved import SavedFileError


class UserError(Exception):
    """A problem with the user's input, reported as one line."""


def names(values):
    """Column names from repeated and/or comma-separated option values."""
    names = []
    for value in values or []:
        names.extend(name.strip() for name in value.split(",") if name.strip())
    return names


def read_table(path):
    if not os.path.isfile(path):
        raise UserError("no such file: %s" % path)
    if os.path.splitext(path)[1].lower() in (".parquet", ".pq"):
        if not any(importlib.util.find_spec(engine) for engine in ("pyarrow", "fastparquet")):
            raise UserError("reading Parquet needs pyarrow or fastparquet (pip install pyarrow), "
                            "or pass a CSV file: %s" % path)
        return pd.read_parquet(path)
    return pd.read_csv(path)


def require_columns(df, columns, path):
    missing = [col for col in dict.fromkeys(columns) if col not in df.columns]
    if missing:
        present = [str(col) for col in df.columns]
        if len(present) > 12:
            present = present[:12] + ["..."]
        raise UserError("%s %s not in %s (its columns: %s)" % (
            "column" if len(missing) == 1 else "columns", ", ".join(repr(col) for col in missing),
            path, ", ".join(present)))


def is_parquet_out(path):
    """Whether to write Parquet: called before any work, so a missing engine stops it."""
    if os.path.splitext(path)[1].lower() not in (".parquet", ".pq"):
        return False
    if not any(importlib.util.find_spec(engine) for engine in ("pyarrow", "fastparquet")):
        raise UserError("writing Parquet needs pyarrow or fastparquet (pip install pyarrow), "
                        "or name a .csv file: %s" % path)
    return True


def write_table(df, path):
    if is_parquet_out(path):
        df.to_parquet(path, index=False)
    else:
        df.to_csv(path, index=False)


def load_transformer(path, kind, saved_by):
    """The transformer of class `kind` that the command `saved_by` saved to `path`.
    Pickles are refused: loading one runs whatever code it holds."""
    if not os.path.isfile(path):
        raise UserError("no such file: %s" % path)
    try:
        return kind.load(path)
    except SavedFileError as exc:
        raise UserError("the transformer must be a file saved by %s: %s" % (saved_by, exc))


def transformer_path(path, suffix):
    """`path`, checked before any work: a saved transformer is data, and a .pkl
    name would tell the next reader it is a pickle. `suffix` is the name to suggest."""
    if os.path.splitext(path)[1].lower() in (".pkl", ".pickle"):
        raise UserError("%s: transformers are saved as data, not pickled; name the file %s instead" % (
            path, default_path(path, suffix)))
    return path


def save_transformer(transformer, path):
    transformer.save(path)


def default_path(path, suffix):
    return os.path.splitext(path)[0] + suffix
