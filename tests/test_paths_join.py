"""join_df on awkward path columns gives exactly the model's frame, entry types
included, and an overridden make_element_a_list is still the one used."""
import itertools

import numpy as np
import pandas as pd
import pytest
from pandas.testing import assert_frame_equal

import model
from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer as T

M = model.TimeseriesDifferenceTransformer
NAN = float("nan")
Path = type("Path", (list,), {"__add__": lambda a, b: Path(list.__add__(a, b))})

PATHS = {
    "int": [0, 1, 2, 3],
    "float": [0.0, 1.5, NAN, 3.0],
    "uint8": np.array([0, 1, 2, 200], dtype=np.uint8),
    "bool": [True, False, True, True],
    "mixed lists": [[0, 1.0], [2], [3.0, -1], [1, True]],
    "mixed scalars": [0, 1.0, "x", None],
    "numpy scalars": [np.int64(1), [np.float64(1.0)], np.float32(2), 3],
    "nan and zero": [[NAN, NAN], [0.0, -0.0], [float("nan")], ["-1", -1]],
    "long lists": [list(range(10)), list(range(9)) + [4.0], [100 + i for i in range(12)], [7] * 9],
    "list subclass": [Path([0]), [1], 2, [3]],
}


def frame(name, closed=False):
    # Closed: every path has partners on both sides, so the merge leaves the
    # path columns' dtypes alone.
    return pd.DataFrame({"index": PATHS[name], "left": ["a", "b", "c", "a"],
                         "right": ["b", "c", "a", "b" if closed else "z"]}, index=[5, 2, 9, 0])


def exactly(frame):
    return [(type(p), [(type(e), repr(e)) for e in p]) for p in frame["index"]]


def same(cls, model_cls, df_l, df_r):
    got, want = cls.join_df(df_l, df_r), model_cls.join_df(df_l, df_r)
    assert_frame_equal(got, want, check_exact=True)
    assert exactly(got) == exactly(want)
    return got


@pytest.mark.parametrize("left, right, closed", [(a, b, False) for a, b in itertools.product(PATHS, repeat=2)]
                         + [(a, a, True) for a in PATHS])
def test_join_matches_model(left, right, closed):
    df_l, df_r = frame(left, closed), frame(right, closed)
    got = same(T, M, df_l, df_r)
    inputs = {id(p) for df in (df_l, df_r) for p in df["index"]}
    assert not any(id(p) in inputs for p in got["index"])  # joined paths are new lists


def test_unhashable_entries_raise_as_in_the_model():
    df = frame("int").assign(index=[[[0]], [1], [2], [3]])
    with pytest.raises(TypeError) as got:
        T.join_df(df, df)
    with pytest.raises(TypeError) as want:
        M.join_df(df, df)
    assert str(got.value) == str(want.value)


def tagged(cls, item):
    return item if isinstance(item, list) else [item, "<%r>" % item]


def tags(frame):
    return [e for p in frame["index"] for e in p if isinstance(e, str)]


@pytest.mark.parametrize("paths", ["int", "float"])
def test_an_overridden_make_element_a_list_is_used(monkeypatch, paths):
    df = frame(paths)
    subs = [type("Sub", (base,), {"make_element_a_list": classmethod(tagged)}) for base in (T, M)]
    assert tags(same(*subs, df, df))
    # Replaced on the class itself, too.
    monkeypatch.setattr(T, "make_element_a_list", classmethod(tagged))
    monkeypatch.setattr(M, "make_element_a_list", classmethod(tagged))
    assert tags(same(T, M, df, df))
