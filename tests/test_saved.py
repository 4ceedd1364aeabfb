"""Saved transformers: round trips give the in-process object's state and
results, files move between interpreter/pandas pairs, and every damaged or
foreign file ends in SavedFileError."""
import io
import json
import os
import random
import re
import subprocess
import sys
import zipfile

import dateutil.tz
import pandas as pd
import pytest

import cross_pandas
from test_interface import fitted
from test_sequences import TEXT_DTYPES, entities_frame
from twins import assert_same
from veltrano.transformer import SavedFileError, _saved
from veltrano.transformer.sequences import SequenceTransformer as ST
from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer as T

SEEDS = range(0, 60, 4)


def round_trip(obj, path):
    obj.save(str(path))
    return type(obj).load(str(path))


def seeded(seed):
    df, kwargs = cross_pandas._input(seed)
    try:
        return T(df, **kwargs)
    except Exception:  # inputs the class refuses have nothing to save
        return None


@pytest.mark.parametrize("seed", SEEDS)
def test_compatible_class_round_trip_keeps_state_and_results(tmp_path, seed):
    tr = seeded(seed) or fitted()
    twin = round_trip(tr, tmp_path / "t.zip")
    assert type(twin) is T and list(vars(twin)) == list(vars(tr))
    assert_same(vars(twin), vars(tr))
    assert cross_pandas.after(twin) == cross_pandas.after(tr)


@pytest.mark.parametrize("text", TEXT_DTYPES)
@pytest.mark.parametrize("tz", [None, "Europe/Berlin"])
def test_every_column_kind_round_trips(tmp_path, text, tz):
    df = entities_frame(3, n=25, text=text, tz=tz)
    tr = T(df, "patient", "visit", ["lab", "visit", "score", "count", "stay", "insured", "state"])
    assert_same(vars(round_trip(tr, tmp_path / "t.zip")), vars(tr))
    st = ST("patient", "visit", random_state=5).fit(df)
    twin = round_trip(st, tmp_path / "s.json")
    assert_same(twin.__reduce__()[1:], st.__reduce__()[1:])
    entities, steps = st.transform(df)
    counts = {3: 4, 1: 2}
    assert_same(twin.reverse_transform(entities, steps, counts), st.reverse_transform(entities, steps, counts))


def test_unfitted_and_odd_values_round_trip(tmp_path):
    st = ST(("id", 1), 7, static_columns=[], columns=None, time_unit="h", clip=False, random_state=11)
    assert_same(round_trip(st, tmp_path / "s.json").__reduce__()[1:], st.__reduce__()[1:])
    values = [None, True, 3, -0.0, float("nan"), float("-inf"), "$x", (1, ("a", None)), {(1, 2): [1.5]},
              {"$tuple": 1}, pd.NA, pd.NaT, pd.Timestamp("2024-01-01 10:00", tz="UTC"), pd.Timedelta(5)]
    again = _saved.decode_value(json.loads(json.dumps(_saved.encode_value(values), allow_nan=False)))
    assert_same(again, values)
    assert [str(v.tz) for v in again[12:13]] == ["UTC"]


@pytest.mark.parametrize("bad, error", [
    (lambda tr: setattr(tr, "extra", 1), "it holds other attributes (extra)"),
    (lambda tr: vars(tr).update(df=tr.df.assign(x=[object()] * len(tr.df))), "df cannot be saved: column 'x': a value of type object"),
    (lambda tr: vars(tr).update(df=tr.df.assign(x=pd.period_range("2020", periods=len(tr.df)))),
     "column 'x': columns of dtype period[D] cannot"),
    (lambda tr: vars(tr).update(df=tr.df.assign(t=tr.df["t"].dt.tz_localize(dateutil.tz.tzoffset("X", 3600)))),
     "the time zone tzoffset('X', 3600) has no name that gives it back"),
])
def test_what_cannot_be_saved_is_refused_before_writing(tmp_path, bad, error):
    tr = fitted()
    bad(tr)
    with pytest.raises((TypeError, ValueError), match=re.escape(error)):
        tr.save(str(tmp_path / "t.zip"))
    assert os.listdir(str(tmp_path)) == []


# ----- other interpreter/pandas pairs ---------------------------------------------------------

VENVS = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, ".venv")
# In the order scripts/test.sh installs them: each pair trades files with the
# one installed before it in the same run (the first with the last).
PAIRS = ["py311-pandas2", "py313-pandas3", "py37-pandas135"]
FORMAT_DIGEST = ("import hashlib, veltrano.transformer._saved as s; "
                 "print(hashlib.sha256(open(s.__file__, 'rb').read()).hexdigest())")


def other_python(pair):
    """The pair's interpreter and whether its pandas is 2 or newer; skips unless
    the pair holds this very file format (a venv left from an earlier run may not)."""
    python = os.path.join(VENVS, pair, "bin", "python")
    if not os.path.exists(python):
        pytest.skip("no %s under .venv/ (scripts/test.sh builds it)" % pair)
    theirs = subprocess.run([python, "-c", FORMAT_DIGEST + "; import pandas; print(pandas.__version__)"],
                            capture_output=True, text=True, cwd=os.path.dirname(os.path.abspath(__file__)))
    ours = subprocess.run([sys.executable, "-c", FORMAT_DIGEST], capture_output=True, text=True).stdout.strip()
    lines = theirs.stdout.split()
    if not lines or lines[0] != ours:
        pytest.skip("%s holds another version of the package (installed by an earlier run)" % pair)
    return python, int(lines[1].split(".")[0]) >= 2


def run_other(python, *args):
    done = subprocess.run([python, "cross_pandas.py"] + list(args), cwd=os.path.dirname(os.path.abspath(__file__)),
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return done.stdout


def partner():
    here = "py%d%d-" % sys.version_info[:2]
    mine = [i for i, pair in enumerate(PAIRS) if pair.startswith(here)]
    if not mine:
        pytest.skip("this interpreter is not one of %s" % PAIRS)
    return PAIRS[mine[0] - 1]


def assert_loaded_as_built(results):
    assert results and all(r["loaded"] == r["built"] for r in results.values())


def test_files_move_between_pairs_both_ways(tmp_path):
    python, modern = other_python(partner())
    theirs, ours = tmp_path / "theirs", tmp_path / "ours"
    # Written there, loaded here: what this pair builds itself from the same
    # input, and where both have pandas 2 or newer (which agree), the writer's results.
    run_other(python, "save", str(theirs))
    loaded = cross_pandas.saved_results(str(theirs))
    assert_loaded_as_built(loaded)
    if modern and int(pd.__version__.split(".")[0]) >= 2:
        with open(str(theirs / "results.json")) as f:
            assert {name: r["loaded"] for name, r in loaded.items()} == json.load(f)
    # Written here, loaded there.
    cross_pandas.save(str(ours))
    assert_loaded_as_built(json.loads(run_other(python, "load", str(ours))))


# ----- damaged and foreign files ------------------------------------------------------------

def load_or_fail(cls, path, original):
    """A damaged file either fails with SavedFileError or still holds the same transformer."""
    try:
        loaded = cls.load(path)
    except SavedFileError as exc:
        assert str(path) in str(exc)
        return 1
    assert_same(state_of(loaded), state_of(original))
    return 0


def state_of(obj):
    return vars(obj) if isinstance(obj, T) else obj.__reduce__()[1:]


@pytest.fixture(scope="module")
def saved(tmp_path_factory):
    folder = tmp_path_factory.mktemp("saved")
    df = entities_frame(1, n=6, text="category")
    tr = T(df, "patient", "visit", ["lab", "visit", "state", "count"])
    st = ST("patient", "visit").fit(df)
    tr.save(str(folder / "t.zip"))
    st.save(str(folder / "s.json"))
    return folder, {T: tr, ST: st}


def damaged(raw, rng):
    n = len(raw)
    kind = rng.randrange(3)
    if kind == 0:
        return raw[:rng.randrange(n)]
    pos = rng.randrange(n)
    value = rng.randrange(256) if kind == 1 else raw[pos] ^ (1 << rng.randrange(8))
    return raw[:pos] + bytes([value]) + raw[pos + 1:]


@pytest.mark.parametrize("cls, name, cases", [(ST, "s.json", 1000), (T, "t.zip", 600)])
def test_truncated_and_flipped_bytes_end_in_one_error(saved, tmp_path, cls, name, cases):
    folder, originals = saved
    raw = (folder / name).read_bytes()
    rng, path, failed = random.Random(name), tmp_path / name, 0
    for _ in range(cases):
        path.write_bytes(damaged(raw, rng))
        failed += load_or_fail(cls, path, originals[cls])
    assert failed > cases * 0.9


def reseal_json(document):
    document["sha256"] = _saved._digest(document["content"])
    return json.dumps(document).encode()


def reseal_zip(z, manifest, members):
    content = manifest["content"]
    content["member_sha256"] = {m: _saved.hashlib.sha256(raw).hexdigest() for m, raw in members.items()}
    manifest["sha256"] = _saved._digest(content)
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as w:
        w.writestr("manifest.json", json.dumps(manifest))
        for m, raw in members.items():
            w.writestr(m, raw)
    return out.getvalue()


WRONG = [None, True, -1, 2 ** 70, 0.5, "x", "$float", [], [1, "a"], {}, {"$tuple": 1}, {"$dict": [[1]]},
         {"$numpy": ["object", 1]}, {"$dtype": "period"}, {"$float": "zero"}, {"kind": "category"}]


def mutate(data, rng):
    """`data` with one value somewhere inside replaced by a value of another type."""
    if isinstance(data, (list, dict)) and data and rng.random() < 0.8:
        keys = list(range(len(data))) if isinstance(data, list) else list(data)
        key = rng.choice(keys)
        data[key] = mutate(data[key], rng)
        return data
    return rng.choice(WRONG)


@pytest.mark.parametrize("cls, name, cases", [(ST, "s.json", 300), (T, "t.zip", 200)])
def test_wrong_types_and_versions_end_in_one_error(saved, tmp_path, cls, name, cases):
    folder, originals = saved
    raw, rng, path, failed = (folder / name).read_bytes(), random.Random(7), tmp_path / name, 0
    for i in range(cases):
        if cls is ST:
            document = json.loads(raw)
            target = document if i % 10 == 0 else document["content"]
            mutate(target, rng)
            path.write_bytes(reseal_json(document))
        else:
            z = zipfile.ZipFile(io.BytesIO(raw))
            members = {m: z.read(m) for m in z.namelist() if m != "manifest.json"}
            manifest = json.loads(z.read("manifest.json"))
            member = rng.choice([m for m in sorted(members) if m.endswith(".json")] + ["manifest"] * 3)
            if member == "manifest":
                mutate(manifest if i % 10 == 0 else manifest["content"], rng)
            else:
                members[member] = json.dumps(mutate(json.loads(members[member]), rng)).encode()
            path.write_bytes(reseal_zip(z, manifest, members))
        try:
            cls.load(str(path))
        except SavedFileError:
            failed += 1
    assert failed > cases * 0.7


@pytest.mark.parametrize("version, words", [(2, "newer than this"), ("1", "no format version"),
                                            (0, "unknown format version")])
def test_versions(saved, tmp_path, version, words):
    document = json.loads((saved[0] / "s.json").read_bytes())
    document["version"] = version
    (tmp_path / "s.json").write_bytes(reseal_json(document))
    with pytest.raises(SavedFileError, match=words):
        ST.load(str(tmp_path / "s.json"))
