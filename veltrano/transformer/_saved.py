"""Saved transformers: data-only files that load without running code.

A sequence transformer is one JSON document: its options and fitted facts. A
TimeseriesDifferenceTransformer is a zip: manifest.json (its plain attributes
and the list of frames) and two members per frame: NN-name.json, each column
tagged with its dtype, and NN-name.bin, the little-endian bytes of its
numbers, times and codes, which the JSON points into as [offset, size]. Text
and other objects are JSON values (distinct ones once, with codes). Loading
reads JSON and bytes only: no pickle, no eval, no name looked up from the file.

Values that JSON cannot tell apart are tagged with a one-key object whose key
starts with "$": {"$tuple": [...]}, {"$dict": [[key, value], ...]} (keys that
are not text), {"$float": "nan"}, {"$numpy": ["int64", 5]}, {"$dtype": ...},
{"$na": "NA"} and {"$timestamp"/"$timedelta": [count, unit, tz]}.
"""

import base64
import hashlib
import importlib.util
import io
import json
import math
import os
import pickletools
import struct
import threading
import zipfile
import zlib

import numpy as np
import pandas as pd

FORMAT = "veltrano.transformer"
VERSION = 1
MANIFEST = "manifest.json"

PICKLE_ADVICE = ("%s is a pickle, and loading a pickle runs whatever code it holds, so it is not loaded here. "
                 "If you wrote it yourself or trust its author, convert it in Python: "
                 "import pickle; pickle.load(open(%r, 'rb')).save('NEW_FILE')")


class SavedFileError(ValueError):
    """A saved transformer that cannot be loaded: not one of ours, damaged or
    truncated, of a newer format, or holding values of the wrong type."""


class _Bad(Exception):
    """A problem found while decoding; reported with the file's name."""


def _require(condition, message, *args):
    if not condition:
        raise _Bad(message % args if args else message)


# ----- dtypes ---------------------------------------------------------------------------

_NUMPY = {"bool", "object", "float32", "float64", "int8", "int16", "int32", "int64",
          "uint8", "uint16", "uint32", "uint64"}
_MASKED = {"Int8", "Int16", "Int32", "Int64", "UInt8", "UInt16", "UInt32", "UInt64", "Float32", "Float64", "boolean"}
_UNITS = {"s", "ms", "us", "ns"}


def encode_dtype(dtype):
    name = str(dtype)
    if isinstance(dtype, pd.CategoricalDtype):
        return {"kind": "category", "ordered": bool(dtype.ordered), "categories": encode_index(dtype.categories)}
    if isinstance(dtype, pd.StringDtype):
        na = "nan" if getattr(dtype, "na_value", pd.NA) is not pd.NA else "NA"
        return {"kind": "string", "storage": str(dtype.storage), "na": na}
    if isinstance(dtype, pd.DatetimeTZDtype):
        # The zone is saved by its name, so only a zone that its name gives back can be.
        if not _zone_by_name(dtype):
            raise TypeError("the time zone %s has no name that gives it back, so it cannot be saved" % dtype.tz)
        return {"kind": "datetime", "unit": dtype.unit, "tz": str(dtype.tz)}
    if isinstance(dtype, np.dtype) and dtype.kind in "mM":
        unit = np.datetime_data(dtype)[0]
        if unit in _UNITS:
            return {"kind": "datetime" if dtype.kind == "M" else "timedelta", "unit": unit, "tz": None}
    if isinstance(dtype, np.dtype) and name in _NUMPY or name in _MASKED:
        return name
    raise TypeError("columns of dtype %s cannot be saved" % name)


def _zone_by_name(dtype):
    try:
        return pd.DatetimeTZDtype(dtype.unit, str(dtype.tz)) == dtype
    except (ValueError, TypeError, KeyError):  # KeyError: pytz's and zoneinfo's unknown zone
        return False


def _datetime_dtype(kind, unit, tz):
    if tz is not None:
        try:
            return pd.DatetimeTZDtype(unit, tz)
        except ValueError:  # pandas before 2.0 holds nanoseconds only
            return pd.DatetimeTZDtype("ns", tz)
    return np.dtype("%s8[%s]" % ("M" if kind == "datetime" else "m", unit))


def _string_dtype(storage, na):
    if storage == "pyarrow" and importlib.util.find_spec("pyarrow") is None:
        storage = "python"  # the same text, held by Python objects
    if na == "NA":
        return pd.StringDtype(storage)
    try:
        return pd.StringDtype(storage, na_value=np.nan)
    except TypeError:  # pandas before 2.3 reads such text as objects, missing as nan
        return np.dtype(object)


def decode_dtype(tag):
    if isinstance(tag, str):
        _require(tag in _NUMPY or tag in _MASKED, "unknown dtype %r", tag)
        return np.dtype(tag) if tag in _NUMPY else pd.api.types.pandas_dtype(tag)
    _require(isinstance(tag, dict), "a dtype must be a name or an object, not %s", type(tag).__name__)
    kind = tag.get("kind")
    if kind in ("datetime", "timedelta"):
        _require(set(tag) == {"kind", "unit", "tz"} and tag["unit"] in _UNITS, "bad %s dtype %r", kind, tag)
        _require(tag["tz"] is None or (kind == "datetime" and isinstance(tag["tz"], str)), "bad time zone %r", tag)
        return _datetime_dtype(kind, tag["unit"], tag["tz"])
    if kind == "category":
        _require(set(tag) == {"kind", "ordered", "categories"} and isinstance(tag["ordered"], bool),
                 "bad category dtype")
        return pd.CategoricalDtype(decode_index(tag["categories"]), ordered=tag["ordered"])
    if kind == "string":
        _require(set(tag) == {"kind", "storage", "na"} and tag["storage"] in ("python", "pyarrow")
                 and tag["na"] in ("NA", "nan"), "bad string dtype %r", tag)
        return _string_dtype(tag["storage"], tag["na"])
    raise _Bad("unknown dtype %r" % (tag,))


# ----- single values --------------------------------------------------------------------

_NON_FINITE = {"nan": float("nan"), "inf": float("inf"), "-inf": float("-inf")}


def _float_out(x):
    return x if math.isfinite(x) else {"$float": "nan" if x != x else ("inf" if x > 0 else "-inf")}


def _time_out(x):
    if isinstance(x, pd.Timestamp):
        tz = None if x.tz is None else str(x.tz)
        return {"$timestamp": [int(x.value), "ns", tz]}
    return {"$timedelta": [int(x.value), "ns", None]}


def encode_value(x):
    """A value made of text, numbers, None, lists, tuples, dicts, dtypes and a
    few pandas scalars, as JSON data; anything else is refused."""
    t = type(x)
    if x is None or t is str or t is bool or t is int:
        return x
    if t is float:
        return _float_out(x)
    if t is list:
        return [encode_value(v) for v in x]
    if t is tuple:
        return {"$tuple": [encode_value(v) for v in x]}
    if t is dict:
        if all(type(k) is str and not k.startswith("$") for k in x):
            return {k: encode_value(v) for k, v in x.items()}
        return {"$dict": [[encode_value(k), encode_value(v)] for k, v in x.items()]}
    if t is np.str_:
        return {"$numpy": ["str", str(x)]}
    if isinstance(x, (np.bool_, np.integer, np.floating)) and x.dtype.name in _NUMPY:
        return {"$numpy": [x.dtype.name, encode_value(x.item())]}
    if x is pd.NA or x is pd.NaT:
        return {"$na": "NA" if x is pd.NA else "NaT"}
    if t is pd.Timestamp or t is pd.Timedelta:
        return _time_out(x)
    if isinstance(x, (np.dtype, pd.api.extensions.ExtensionDtype)):
        return {"$dtype": encode_dtype(x)}
    raise TypeError("a value of type %s cannot be saved" % t.__name__)


def _decode_tagged(tag, body):
    if tag == "$tuple":
        _require(type(body) is list, "$tuple needs a list")
        return tuple(decode_value(v) for v in body)
    if tag == "$dict":
        _require(type(body) is list and all(type(p) is list and len(p) == 2 for p in body), "$dict needs pairs")
        out = {decode_value(k): decode_value(v) for k, v in body}
        _require(len(out) == len(body), "$dict holds a key twice")
        return out
    if tag == "$float":
        _require(body in _NON_FINITE, "bad $float %r", body)
        return _NON_FINITE[body]
    if tag == "$numpy":
        _require(type(body) is list and len(body) == 2 and body[0] in _NUMPY - {"object"} | {"str"},
                 "bad $numpy %r", body)
        value = decode_value(body[1])
        if body[0] == "str":
            _require(type(value) is str, "bad $numpy text %r", value)
            return np.str_(value)
        _require(type(value) in (bool, int, float), "bad $numpy value %r", value)
        return np.dtype(body[0]).type(value)
    if tag == "$na":
        _require(body in ("NA", "NaT"), "bad $na %r", body)
        return pd.NA if body == "NA" else pd.NaT
    if tag in ("$timestamp", "$timedelta"):
        _require(type(body) is list and len(body) == 3 and type(body[0]) is int and body[1] == "ns"
                 and (body[2] is None or (tag == "$timestamp" and type(body[2]) is str)), "bad %s %r", tag, body)
        if tag == "$timedelta":
            return pd.Timedelta(body[0], unit="ns")
        stamp = pd.Timestamp(body[0], unit="ns")
        return stamp if body[2] is None else stamp.tz_localize("UTC").tz_convert(body[2])
    if tag == "$dtype":
        return decode_dtype(body)
    raise _Bad("unknown tag %r" % tag)


def decode_value(x):
    t = type(x)
    if x is None or t is str or t is bool or t is int or t is float:
        return x
    if t is list:
        return [decode_value(v) for v in x]
    _require(t is dict, "unexpected %s", t.__name__)
    if len(x) == 1:
        (key, body), = x.items()
        if key.startswith("$"):
            return _decode_tagged(key, body)
    _require(not any(k.startswith("$") for k in x), "unknown tag among %r", sorted(x)[:3])
    return {k: decode_value(v) for k, v in x.items()}


# ----- columns and indexes --------------------------------------------------------------

def _cells_out(values):
    return [v if type(v) is str else encode_value(v) for v in values]


def _packed(array, blob=None):
    """Numbers as their little-endian bytes: exact, and far faster to write and
    read than one JSON number each. Appended to `blob` (a frame's binary member)
    as [offset, size] where there is one, else as base64 text."""
    raw = np.ascontiguousarray(array).astype(array.dtype.newbyteorder("<"), copy=False).tobytes()
    if blob is None:
        return base64.b64encode(raw).decode("ascii")
    blob += raw
    return [len(blob) - len(raw), len(raw)]


def _raw(packed, blob):
    if type(packed) is str:
        return base64.b64decode(packed.encode("ascii"), validate=True)
    _require(blob is not None and type(packed) is list and len(packed) == 2 and all(type(v) is int for v in packed)
             and 0 <= packed[0] and 0 <= packed[1] and packed[0] + packed[1] <= len(blob),
             "packed numbers must be text or a range of the frame's bytes")
    return blob[packed[0]:packed[0] + packed[1]]


def _unpacked(packed, dtype, length, blob=None):
    raw = _raw(packed, blob)
    little = np.dtype(dtype).newbyteorder("<")
    _require(len(raw) % little.itemsize == 0 and (length is None or len(raw) == length * little.itemsize),
             "a column holds %d bytes where %s values of %s were expected", len(raw), length, dtype)
    values = np.frombuffer(raw, dtype=little).astype(dtype)
    if values.dtype.kind == "b":
        _require(values.view(np.uint8).max(initial=0) <= 1, "a bool column holds bytes other than 0 and 1")
    return values


def _as_texts(array, blob=None):
    """Object cells as distinct values and int64 codes. Equal texts share one
    entry, as do all None and all NaN cells, so a text is written and read once
    and the loaded column holds one object per text; any other cell has its own."""
    n = len(array)
    kinds = np.fromiter((0 if type(v) is str else 1 if v is None else 2 if type(v) is float and v != v else 3
                         for v in array), dtype=np.int8, count=n)
    codes = np.empty(n, dtype="int64")
    text_codes, texts = pd.factorize(array[kinds == 0])  # text only: exact, nothing counts as missing
    codes[kinds == 0] = text_codes
    codes[kinds == 1], codes[kinds == 2] = len(texts), len(texts) + 1
    others = np.flatnonzero(kinds == 3)
    codes[others] = len(texts) + 2 + np.arange(len(others))
    uniques = list(texts) + [None, float("nan")] + array[others].tolist()
    return {"uniques": _cells_out(uniques), "codes": _packed(codes, blob)}


def _column_data(values, dtype, blob):
    """The column's data, in the encoding its dtype implies: packed numbers,
    distinct values and codes for text and objects, JSON values otherwise."""
    if isinstance(dtype, pd.CategoricalDtype):
        return {"packed": _packed(np.asarray(values.codes, dtype="int64"), blob)}
    if isinstance(dtype, pd.StringDtype) or str(dtype) in _MASKED:
        cells = np.asarray(values.astype(object), dtype=object)
        cells[np.asarray(pd.isna(values), dtype=bool)] = None
        if isinstance(dtype, pd.StringDtype):  # text, however it is held
            return _as_texts(np.array([v if v is None else str(v) for v in cells], dtype=object), blob)
        return {"values": _cells_out(cells.tolist())}
    if isinstance(dtype, pd.DatetimeTZDtype) or dtype.kind in "mM":
        return {"packed": _packed(np.asarray(pd.array(values).asi8, dtype="int64"), blob)}
    array = np.asarray(values)
    return _as_texts(array, blob) if dtype.kind == "O" else {"packed": _packed(array, blob)}


def encode_column(values, dtype, blob=None):
    tag = encode_dtype(dtype)  # first: it refuses the dtypes the format lacks
    return dict(_column_data(values, dtype, blob), dtype=tag)


_CELLS = (str, bool, int, float, type(None), np.str_, type(pd.NA), type(pd.NaT), pd.Timestamp, pd.Timedelta) + tuple(
    np.dtype(name).type for name in sorted(_NUMPY - {"object"}))


def _cells_in(values, allowed=_CELLS):
    """Object cells: text as it is, every other value decoded and checked."""
    array = np.empty(len(values), dtype=object)
    array[:] = values
    for i in [i for i, v in enumerate(values) if type(v) is not str]:
        array[i] = decode_value(values[i])
        _require(type(array[i]) in allowed, "a column holds a %s", type(array[i]).__name__)
    return array


def _times_in(counts, tag, dtype):
    kind = "M" if tag["kind"] == "datetime" else "m"
    raw = counts.view("%s8[%s]" % (kind, tag["unit"]))
    target = dtype if isinstance(dtype, np.dtype) else np.dtype("M8[%s]" % dtype.unit)
    if target != raw.dtype:
        # An older pandas holds only nanoseconds: exact, unless the value is out of its range.
        converted = raw.astype(target)
        nat = counts == np.iinfo("int64").min
        _require(((converted.astype(raw.dtype) == raw) | nat).all(), "a time is out of this pandas' range")
        raw = converted
    if isinstance(dtype, pd.DatetimeTZDtype):
        return pd.DatetimeIndex(raw).tz_localize("UTC").tz_convert(dtype.tz).array
    return raw


def _layout(tag):
    """The keys a column of this dtype tag is written with."""
    if type(tag) is dict:
        return {"dtype", "uniques", "codes"} if tag["kind"] == "string" else {"dtype", "packed"}
    return {"dtype", "values"} if tag in _MASKED else {"dtype", "uniques", "codes"} if tag == "object" else {
        "dtype", "packed"}


def _from_texts(column, length, allowed, blob):
    _require(type(column["uniques"]) is list, "distinct values must be a list")
    uniques = _cells_in(column["uniques"], allowed)
    codes = _unpacked(column["codes"], "int64", length, blob)
    _require(((codes >= 0) & (codes < len(uniques))).all(), "a code is out of range")
    return uniques[codes]


def decode_column(column, length=None, blob=None):
    """The column's values as an array; `length` (if given) is the number
    expected, `blob` the frame's binary member its packed numbers may be in."""
    _require(type(column) is dict and "dtype" in column, "a column needs a dtype")
    tag = column["dtype"]
    dtype = decode_dtype(tag)
    _require(set(column) == _layout(tag), "a column of dtype %r needs %s", tag, sorted(_layout(tag)))
    if "packed" in column:
        numbers = _unpacked(column["packed"], dtype if isinstance(dtype, np.dtype) and dtype.kind not in "mM"
                            else "int64", length, blob)
        if isinstance(dtype, pd.CategoricalDtype):
            return pd.Categorical.from_codes(numbers, dtype=dtype)
        return _times_in(numbers, tag, dtype) if type(tag) is dict else numbers
    if tag == "object":
        return _from_texts(column, length, _CELLS, blob)
    if "uniques" in column:  # a string dtype
        cells = _from_texts(column, length, (str, type(None), float), blob)
        _require(not any(type(v) is float and v == v for v in column["uniques"]), "a text column holds a number")
        if dtype == object:  # pandas' str dtype read back on a pandas without it
            cells[pd.isna(cells)] = np.nan
            return cells
        return pd.array(cells, dtype=dtype)
    values = column["values"]
    _require(type(values) is list and (length is None or len(values) == length),
             "a column holds %s values where %s were expected", len(values) if type(values) is list else "no list of",
             length)
    return pd.array(list(_cells_in(values, (str, bool, int, float, type(None)))), dtype=dtype)


def encode_index(index, blob=None):
    _require_saveable(not isinstance(index, pd.MultiIndex), "an index of several levels cannot be saved")
    name = encode_value(index.name)
    if isinstance(index, pd.RangeIndex):
        return {"range": [int(index.start), int(index.stop), int(index.step)], "name": name}
    return dict(encode_column(index.array if not isinstance(index.dtype, np.dtype) else index.values, index.dtype,
                              blob), name=name)


def _require_saveable(condition, message):
    if not condition:
        raise TypeError(message)


def decode_index(data, blob=None):
    _require(type(data) is dict and "name" in data, "an index needs a name")
    name = decode_value(data["name"])
    _require(name is None or type(name) in (str, int, float, bool, tuple), "bad index name")
    if "range" in data:
        r = data["range"]
        _require(set(data) == {"range", "name"} and type(r) is list and len(r) == 3
                 and all(type(v) is int for v in r) and r[2] != 0, "bad range index")
        return pd.RangeIndex(r[0], r[1], r[2], name=name)
    values = decode_column({k: v for k, v in data.items() if k != "name"}, blob=blob)
    dtype = values.dtype if isinstance(values, np.ndarray) else None
    return pd.Index(values, dtype=dtype, name=name)


def _frame_column(df, i, blob):
    dtype = df.dtypes.iloc[i]
    try:
        values = df.iloc[:, i].to_numpy() if isinstance(dtype, np.dtype) else df.iloc[:, i].array
        return encode_column(values, dtype, blob)
    except TypeError as exc:
        raise TypeError("column %r: %s" % (df.columns[i], exc)) from None


def encode_frame(df, blob=None):
    """The frame as JSON data; with `blob` (a bytearray), its packed numbers go there."""
    return {"index": encode_index(df.index, blob), "columns": encode_index(df.columns),
            "data": [_frame_column(df, i, blob) for i in range(df.shape[1])]}


def decode_frame(data, blob=None):
    _require(type(data) is dict and set(data) == {"index", "columns", "data"} and type(data["data"]) is list,
             "a frame needs index, columns and data")
    index, columns = decode_index(data["index"], blob), decode_index(data["columns"])
    _require(len(columns) == len(data["data"]), "a frame names %d columns but holds %d", len(columns),
             len(data["data"]))
    # Each column as a Series of its own dtype: pandas 3 would otherwise read
    # object columns of text as its str dtype.
    columns_in = {i: pd.Series(values, dtype=values.dtype, copy=False)
                  for i, values in enumerate(decode_column(col, len(index), blob) for col in data["data"])}
    df = pd.DataFrame(columns_in) if columns_in else pd.DataFrame(index=pd.RangeIndex(len(index)))
    df.index, df.columns = index, columns
    return df


# ----- files ----------------------------------------------------------------------------

def _dumps(data):
    return json.dumps(data, ensure_ascii=False, allow_nan=False, separators=(",", ":"))


def _digest(content):
    return hashlib.sha256(_dumps(content).encode("utf-8")).hexdigest()


def _no_duplicates(pairs):
    out = dict(pairs)
    _require(len(out) == len(pairs), "an object holds a key twice")
    return out


def _parse_constant(name):
    raise _Bad("%s is not JSON" % name)


def _loads(raw):
    return json.loads(raw.decode("utf-8"), object_pairs_hook=_no_duplicates, parse_constant=_parse_constant)


def _header(kind, content):
    return {"format": FORMAT, "version": VERSION, "class": kind, "sha256": _digest(content)}


def _check_header(header, kind, keys):
    _require(type(header) is dict and header.get("format") == FORMAT, "not a file saved by veltrano.transformer")
    version = header.get("version")
    _require(type(version) is int, "no format version")
    _require(version <= VERSION, "format version %d is newer than this veltrano.transformer reads (%d): "
             "upgrade the package", version, VERSION)
    _require(version == VERSION, "unknown format version %d", version)
    _require(header.get("class") == kind, "it holds a %s, not a %s", header.get("class"), kind)
    _require(set(header) == keys, "unexpected fields %s", sorted(set(header) ^ keys))


def _is_pickle(raw):
    """Whether `raw` reads as a pickle's opcodes, up to its STOP; they are only
    parsed here, never run."""
    if raw[:1] in (b"{", b"P"):
        return False
    try:
        last = None
        for last, _, _ in pickletools.genops(raw):
            pass
        return last is not None and last.name == "STOP"
    except Exception:  # not opcodes, or cut short: not a pickle we need to name
        return False


def _read_bytes(path):
    with open(path, "rb") as f:
        raw = f.read()
    if _is_pickle(raw):
        raise SavedFileError(PICKLE_ADVICE % (path, os.fspath(path)))
    return raw


def _fail(path, problem):
    return SavedFileError("cannot load a transformer from %s: %s" % (path, problem))


def _guarded(path, load):
    """Runs `load`; every way a file can be wrong ends in SavedFileError."""
    try:
        return load()
    except SavedFileError:
        raise
    except _Bad as exc:
        raise _fail(path, exc) from None
    # RuntimeError covers a zip member flagged as encrypted, an unknown compression
    # (NotImplementedError) and nesting too deep to decode (RecursionError).
    except (ValueError, TypeError, LookupError, ArithmeticError, RuntimeError, AttributeError, EOFError,
            zipfile.BadZipFile, zlib.error, struct.error) as exc:
        raise _fail(path, "it is damaged or holds what no saved transformer does (%s: %s)" % (
            type(exc).__name__, exc)) from None


def _write(path, write):
    # Written beside the target and moved over it, so a failed save leaves no half file.
    temp = "%s.%d-%d.partial" % (os.fspath(path), os.getpid(), threading.get_ident())
    try:
        with open(temp, "wb") as f:
            write(f)
        os.replace(temp, path)
    finally:
        if os.path.exists(temp):
            os.remove(temp)


# ----- the sequence transformer -----------------------------------------------------------

_OPTIONS = ("id_column", "time_column", "static_columns", "columns", "time_unit", "clip", "random_state")

_LABEL = (str, int, float, bool, tuple, type(None))
_COUNTS = ("observed", "missing", "constant")
_NUMBER = _COUNTS + ("in_range", "rising", "lo", "hi", "step_lo", "step_hi", "step_gcd", "value_gcd", "first", "step")

_OPTION_CHECKS = {
    "id_column": lambda v: isinstance(v, _LABEL),
    "time_column": lambda v: isinstance(v, _LABEL),
    "static_columns": lambda v: v is None or (type(v) is list and all(isinstance(x, _LABEL) for x in v)),
    "columns": lambda v: v is None or (type(v) is list and all(isinstance(x, _LABEL) for x in v)),
    "time_unit": lambda v: v is None or type(v) is str,
    "clip": lambda v: type(v) is bool,
    "random_state": lambda v: type(v) is int and 0 <= v < 2 ** 64,
}


def save_sequence(st, path):
    cls, (id_column, time_column), state = st.__reduce__()
    options = {"id_column": id_column, "time_column": time_column}
    options.update((k, state[k]) for k in _OPTIONS[2:])
    content = {"options": encode_value(options), "facts": encode_value(state["facts"])}
    document = dict(_header("SequenceTransformer", content), content=content)
    raw = json.dumps(document, ensure_ascii=False, allow_nan=False, indent=1).encode("utf-8") + b"\n"
    _write(path, lambda f: f.write(raw))


def _sequence_content(path, kind):
    raw = _read_bytes(path)
    _require(raw[:4] != b"PK\x03\x04", "it is a zip, as TimeseriesDifferenceTransformer.save writes, not a "
             "SequenceTransformer's JSON")
    _require(raw[:1] == b"{", "not a JSON file saved by veltrano.transformer (it starts with %r)", raw[:8])
    document = _loads(raw)
    _check_header(document, kind, {"format", "version", "class", "sha256", "content"})
    content = document["content"]
    _require(document["sha256"] == _digest(content), "its checksum does not match its content (damaged or edited)")
    _require(type(content) is dict and set(content) == {"options", "facts"}, "content needs options and facts")
    options = decode_value(content["options"])
    _require(type(options) is dict and list(options) == list(_OPTIONS), "options need %s", ", ".join(_OPTIONS))
    for name, check in _OPTION_CHECKS.items():
        _require(check(options[name]), "the option %s holds %r", name, options[name])
    return options, decode_value(content["facts"])


def load_sequence(cls, path):
    def load():
        options, facts = _sequence_content(path, "SequenceTransformer")
        _check_facts(facts)
        st = cls(*[options[k] for k in _OPTIONS[:2]], **{k: options[k] for k in _OPTIONS[2:]})
        if facts is not None:
            st._fit_facts(facts)
        return st
    return _guarded(path, load)


def _check_counts(mapping, what):
    _require(type(mapping) is dict and all(type(k) is int and type(v) is int and k >= 1 and v >= 0
                                           for k, v in mapping.items()),
             "%s must map whole numbers to counts", what)


def _check_column_facts(entry):
    _require(type(entry) is dict and isinstance(entry.get("name"), _LABEL) and entry.get("kind") in
             ("number", "datetime", "timedelta", "category") and isinstance(entry.get("dtype"), (
                 np.dtype, pd.api.extensions.ExtensionDtype)), "a column's facts need name, kind and dtype")
    names = ("name", "kind", "dtype") + (_COUNTS + ("pairs",) if entry["kind"] == "category" else _NUMBER)
    _require(list(entry) == list(names), "the facts of column %r hold %s, not %s", entry["name"], list(entry),
             list(names))
    _require(all(type(entry[k]) is int for k in _COUNTS), "counts must be whole numbers")
    if entry["kind"] == "category":
        pairs = entry["pairs"]
        _require(type(pairs) is dict and all(type(k) is tuple and len(k) == 2 and type(v) is int
                                             and not any(isinstance(x, (list, dict, tuple)) for x in k)
                                             for k, v in pairs.items()), "pairs must map pairs of values to counts")
        return
    for key in ("lo", "hi", "step_lo", "step_hi"):  # None where nothing was observed
        _require(entry[key] is None or type(entry[key]) in (int, float), "%s must be a number", key)
    for key in ("in_range", "rising", "step_gcd", "value_gcd"):
        _require(type(entry[key]) is int, "%s must be a whole number", key)
    for key in ("first", "step"):
        _require(type(entry[key]) is tuple and len(entry[key]) == 3
                 and all(type(v) is float for v in entry[key]), "%s must be three numbers", key)


def _check_facts(facts):
    if facts is None:
        return
    keys = ["rows", "entities", "lengths", "order", "columns"]
    _require(type(facts) is dict and list(facts) == keys, "the facts need %s", ", ".join(keys))
    _require(all(type(facts[k]) is int and facts[k] >= 0 for k in ("rows", "entities")),
             "rows and entities must be counts")
    _check_counts(facts["lengths"], "lengths")
    _require(type(facts["order"]) is list and all(isinstance(v, _LABEL) for v in facts["order"]),
             "order must list column names")
    _require(type(facts["columns"]) is list, "columns must be a list")
    for entry in facts["columns"]:
        _check_column_facts(entry)


# ----- the compatible class ---------------------------------------------------------------------

_TIMESERIES = "TimeseriesDifferenceTransformer"

# The constructor's attributes in the order it sets them, and what each holds.
_ATTRIBUTES = [("df", "frame"), ("primary_id_column", "label"), ("primary_timeseries_column", "label"),
               ("columns_to_diff", "labels"), ("timeseries_columns", "labels or None"), ("category_column", "text"),
               ("unique_id_column", "text"), ("continuous_columns_to_diff", "labels"),
               ("categorical_columns_to_diff", "labels"), ("continuous_columns_to_diff_map", "names"),
               ("categorical_columns_to_diff_map", "names"), ("diff_col_names", "labels"),
               ("df_augmented", "frame"), ("df_1_entry_per_group", "frame"),
               ("df_multi_entry_per_group_diff", "frame"), ("categorical_column_mappings", "frames"),
               ("category_counts", "counts")]


def _frames_of(state):
    """(attribute, key or None, frame) for every frame the state holds."""
    for name, kind in _ATTRIBUTES:
        if kind == "frame":
            yield name, None, state[name]
        elif kind == "frames":
            for key, frame in state[name].items():
                yield name, key, frame


def _plain(state):
    return {name: state[name] for name, kind in _ATTRIBUTES if kind not in ("frame", "frames")}


def _state_of(tr):
    """The attributes to save: exactly the constructor's, as it left them."""
    state, names = vars(tr), [name for name, _ in _ATTRIBUTES]
    missing, extra = [n for n in names if n not in state], [str(n) for n in state if n not in names]
    if missing or extra or list(state) != names:
        problem = ("it lacks %s" % ", ".join(missing) if missing else
                   "it holds other attributes (%s)" % ", ".join(extra) if extra else "its attributes were reordered")
        raise ValueError("only a transformer as its constructor left it can be saved: " + problem)
    return state


def save_timeseries(tr, path):
    state = _state_of(tr)
    members, listing = [], []
    for i, (name, key, frame) in enumerate(_frames_of(state)):
        where = name + ("" if key is None else "[%r]" % (key,))
        if not isinstance(frame, pd.DataFrame):
            raise TypeError("%s is a %s, not a DataFrame" % (where, type(frame).__name__))
        member, blob = "frames/%02d-%s" % (i, name), bytearray()
        try:
            members.append((member + ".json", _dumps(encode_frame(frame, blob)).encode("utf-8")))
        except TypeError as exc:
            raise TypeError("%s cannot be saved: %s" % (where, exc)) from None
        members.append((member + ".bin", bytes(blob)))
        listing.append({"attribute": name, "key": encode_value(key), "member": member + ".json",
                        "numbers": member + ".bin", "rows": len(frame)})
    content = {"attributes": encode_value(_plain(state)), "frames": listing,
               "member_sha256": {m: hashlib.sha256(raw).hexdigest() for m, raw in members}}
    manifest = dict(_header(_TIMESERIES, content), content=content)
    members.insert(0, (MANIFEST, json.dumps(manifest, ensure_ascii=False, indent=1).encode("utf-8")))
    _write(path, lambda f: _zip(f, members))


def _zip(f, members):
    with zipfile.ZipFile(f, "w", zipfile.ZIP_DEFLATED) as z:
        for name, raw in members:
            # A fixed time stamp: the same transformer gives the same bytes.
            info = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, raw, compresslevel=1)  # five times faster than 6, a fifth larger


def _members(z, digests):
    """Every member's bytes, each checked against the manifest before any is decoded."""
    raw = {}
    for name in sorted(digests):
        raw[name] = z.read(name)
        _require(hashlib.sha256(raw[name]).hexdigest() == digests[name], "member %s does not match its checksum",
                 name)
    return raw


def _manifest(path, kind):
    raw = _read_bytes(path)
    _require(raw[:1] != b"{", "it is JSON, as SequenceTransformer.save writes, not a "
             "TimeseriesDifferenceTransformer's zip")
    _require(raw[:4] == b"PK\x03\x04", "not a zip saved by veltrano.transformer (it starts with %r)", raw[:8])
    z = zipfile.ZipFile(io.BytesIO(raw))
    manifest = _loads(z.read(MANIFEST))
    _check_header(manifest, kind, {"format", "version", "class", "sha256", "content"})
    content = manifest["content"]
    _require(manifest["sha256"] == _digest(content), "its checksum does not match its content (damaged or edited)")
    _require(type(content) is dict and set(content) == {"attributes", "frames", "member_sha256"}
             and type(content["frames"]) is list and type(content["member_sha256"]) is dict,
             "the manifest needs attributes, frames and member_sha256")
    _require(sorted(z.namelist()) == sorted([MANIFEST] + list(content["member_sha256"])),
             "its members are not the ones its manifest lists")
    return z, content


def _read_frames(z, content):
    frames, members = {}, _members(z, content["member_sha256"])
    for entry in content["frames"]:
        _require(type(entry) is dict and set(entry) == {"attribute", "key", "member", "numbers", "rows"}
                 and entry["member"] in members and entry["numbers"] in members, "bad frame entry")
        frame = decode_frame(_loads(members.pop(entry["member"])), memoryview(members.pop(entry["numbers"])))
        _require(len(frame) == entry["rows"], "frame %s has %d rows, not %r", entry["member"], len(frame),
                 entry["rows"])
        where = entry["attribute"], decode_value(entry["key"])
        _require(where not in frames, "two frames for %s", where)
        frames[where] = frame
    return frames


_CHECKS = {
    "label": lambda v: isinstance(v, _LABEL),
    "labels": lambda v: type(v) in (list, tuple) and all(isinstance(x, _LABEL) for x in v),
    "labels or None": lambda v: v is None or _CHECKS["labels"](v),
    "text": lambda v: type(v) is str,
    "names": lambda v: type(v) is dict and all(isinstance(k, _LABEL) and type(x) is str for k, x in v.items()),
    "counts": lambda v: type(v) is dict and all(type(k) is int and type(x) is int for k, x in v.items()),
}


def _timeseries_state(z, content):
    plain = decode_value(content["attributes"])
    frames = _read_frames(z, content)
    state = {}
    for name, kind in _ATTRIBUTES:
        if kind == "frame":
            _require((name, None) in frames, "the frame %s is missing", name)
            state[name] = frames.pop((name, None))
        elif kind == "frames":
            state[name] = {key: frames.pop((attr, key)) for attr, key in list(frames) if attr == name}
        else:
            _require(type(plain) is dict and name in plain, "the attribute %s is missing", name)
            _require(_CHECKS[kind](plain[name]), "%s must be %s, not %r", name, kind, plain[name])
            state[name] = plain[name]
    _require(not frames, "unexpected frames %s", sorted(map(str, frames))[:3])
    _require(len(plain) == len(state) - sum(kind in ("frame", "frames") for _, kind in _ATTRIBUTES),
             "unexpected attributes")
    return state


def load_timeseries(cls, path):
    def load():
        z, content = _manifest(path, _TIMESERIES)
        state = _timeseries_state(z, content)
        tr = cls.__new__(cls)
        vars(tr).update(state)
        return tr
    return _guarded(path, load)
